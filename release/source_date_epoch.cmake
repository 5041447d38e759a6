# source_date_epoch(VARIABLE SOURCE_DIR): the time every entry of an archive
# takes: SOURCE_DATE_EPOCH from the environment, else the time of the commit
# checked out in SOURCE_DIR. Stops with an error when there is neither.
function(source_date_epoch variable source)
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  if(epoch STREQUAL "")
    find_program(GIT_EXECUTABLE git)
    if(GIT_EXECUTABLE)
      execute_process(COMMAND ${GIT_EXECUTABLE} -C ${source} log -1 --format=%ct HEAD
                      OUTPUT_VARIABLE epoch ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
  endif()
  if(NOT epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "no time for the archive's entries: SOURCE_DATE_EPOCH is '${epoch}', and there is no "
                        "commit to take the time from. Set SOURCE_DATE_EPOCH to seconds since 1970. No release was made.")
  endif()
  set(${variable} ${epoch} PARENT_SCOPE)
endfunction()
