# Run by the test_bundle target (cmake -P): makes the test bundle
# legalnotice-VERSION-win-x64-tests.zip beside the release archive. It holds
# the exe as built (unsigned), the test programs and their runner under
# tests\ (signed when a certificate is given, as the release is: Smart App
# Control blocks programs that no publisher it trusts has signed),
# run-tests.cmd, run-in-sandbox.cmd, README.txt and LICENSE (CRLF: cmd.exe
# misreads labels in LF batch files), and SHA256SUMS. Its entries take the
# release's time and are normalised like the release archive's, so one
# commit gives the same bytes anywhere.
# -D: VERSION SOURCE_DIR OUTPUT_DIR EXE PROGRAMS (the files for tests\)
include(${CMAKE_CURRENT_LIST_DIR}/../release/source_date_epoch.cmake)
set(name legalnotice-${VERSION}-win-x64-tests)
set(stage ${OUTPUT_DIR}/test-bundle)
set(bundle ${stage}/${name})
file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${bundle}/tests)

file(COPY_FILE ${EXE} ${bundle}/legalnotice.exe)
set(programs)
foreach(program ${PROGRAMS})
  get_filename_component(file ${program} NAME)
  file(COPY_FILE ${program} ${bundle}/tests/${file})
  list(APPEND programs ${bundle}/tests/${file})
endforeach()
include(${CMAKE_CURRENT_LIST_DIR}/../release/authenticode.cmake)
authenticode_given(signing)
if(signing)
  authenticode_sign(${stage}/signing ${programs})
  set(BUNDLE_SIGNED signed)  # for run-tests.cmd
else()
  set(BUNDLE_SIGNED unsigned)
endif()
foreach(text run-tests.cmd run-in-sandbox.cmd)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${text} ${bundle}/${text} @ONLY NEWLINE_STYLE CRLF)
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/README.txt.in ${bundle}/README.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(${SOURCE_DIR}/LICENSE ${bundle}/LICENSE @ONLY NEWLINE_STYLE CRLF)

file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${bundle} ${bundle}/*)
list(SORT files)
set(sums)
foreach(file ${files})
  file(SHA256 ${bundle}/${file} hash)
  string(APPEND sums "${hash}  ${file}\n")
endforeach()
file(WRITE ${bundle}/SHA256SUMS "${sums}")

source_date_epoch(epoch ${SOURCE_DIR})
set(zip ${OUTPUT_DIR}/${name}.zip)
file(REMOVE ${zip})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip ${name}
                WORKING_DIRECTORY ${stage} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "could not archive ${bundle} (${result})")
endif()
# The release archive's normalisation, on this archive.
set(CPACK_PACKAGE_FILES ${zip})
set(LEGALNOTICE_SOURCE_DATE_EPOCH ${epoch})
include(${CMAKE_CURRENT_LIST_DIR}/../release/normalize_archive.cmake)
file(SIZE ${zip} size)
message(STATUS "test bundle: ${zip} (${size} bytes)")
