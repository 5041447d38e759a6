# Run by CPack once the archive is written. strip-nondeterminism (from the
# Reproducible Builds project) gives every entry the time build_record.cmake
# chose, sorts the entries, and drops what only describes the build machine:
# owner and group, permission bits other than "executable", extra time
# fields. The same commit then gives the same archive in any folder, at any
# time, under any user, umask, locale or time zone.
find_program(STRIP_NONDETERMINISM strip-nondeterminism)
foreach(package ${CPACK_PACKAGE_FILES})
  if(STRIP_NONDETERMINISM)
    execute_process(COMMAND ${STRIP_NONDETERMINISM} --type zip --timestamp ${LEGALNOTICE_SOURCE_DATE_EPOCH} ${package}
                    RESULT_VARIABLE result)
  else()
    set(result "strip-nondeterminism is not installed")
  endif()
  if(NOT result EQUAL 0)
    file(REMOVE ${package})
    message(FATAL_ERROR "could not normalize ${package} (${result}). No release was made.")
  endif()
endforeach()
