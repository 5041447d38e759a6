# Included by sign_and_sum.cmake before the exe is signed: writes
# BUILDINFO.txt, the record that lets anyone rebuild the exe and compare
# (scripts/verify-release.sh). Refuses a source tree with uncommitted
# changes, since no one else could rebuild it, unless
# LEGALNOTICE_RELEASE_ALLOW_DIRTY=1; the record then says "not clean".
#
# Sets LEGALNOTICE_SOURCE_DATE_EPOCH for the scripts that run after it:
# SOURCE_DATE_EPOCH from the environment, else the commit's time.
set(stage ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
set(source ${CPACK_LEGALNOTICE_SOURCE_DIR})
set(ENV{LC_ALL} C)  # version lines in English, whatever the builder's locale

# run(VARIABLE COMMAND...): VARIABLE gets the command's output, trimmed, or
# nothing if the command failed.
function(run variable)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_QUIET
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT result EQUAL 0)
    set(output "")
  endif()
  set(${variable} "${output}" PARENT_SCOPE)
endfunction()
function(first_line variable)
  run(output ${ARGN})
  string(REGEX REPLACE "\n.*" "" output "${output}")
  set(${variable} "${output}" PARENT_SCOPE)
endfunction()

# The source: its commit, and whether the tree matches it.
find_program(GIT_EXECUTABLE git)
set(commit "")
if(GIT_EXECUTABLE)
  run(commit ${GIT_EXECUTABLE} -C ${source} rev-parse --verify HEAD)
endif()
if(commit STREQUAL "")
  set(commit unknown)
  set(changes "not a git checkout")
else()
  run(changes ${GIT_EXECUTABLE} -C ${source} status --porcelain)
endif()
if(changes STREQUAL "")
  set(tree clean)
elseif("$ENV{LEGALNOTICE_RELEASE_ALLOW_DIRTY}" STREQUAL "1")
  set(tree "not clean")
  message(WARNING "releasing from a source tree that is not clean, as LEGALNOTICE_RELEASE_ALLOW_DIRTY=1 asks; "
                  "BUILDINFO.txt says so, and the release cannot be verified by rebuilding it:\n${changes}")
else()
  message(FATAL_ERROR "${source} has uncommitted changes:\n${changes}\n"
                      "A release must be rebuildable from its commit, so none was made. Commit the changes, or "
                      "set LEGALNOTICE_RELEASE_ALLOW_DIRTY=1 to release anyway (BUILDINFO.txt then says "
                      "\"not clean\", and no one can verify the release).")
endif()

include(${CMAKE_CURRENT_LIST_DIR}/source_date_epoch.cmake)
source_date_epoch(epoch ${source})
set(LEGALNOTICE_SOURCE_DATE_EPOCH ${epoch})
set(ENV{SOURCE_DATE_EPOCH} ${epoch})  # string(TIMESTAMP) takes it from there
string(TIMESTAMP date "%Y-%m-%d %H:%M:%S UTC" UTC)

# The toolchain, each tool by its own version line, and, on Debian, the
# packages that supply the compiler, its runtime, binutils, the mingw-w64
# headers and libraries, and CMake.
set(cxx ${CPACK_LEGALNOTICE_CXX_COMPILER})
first_line(compiler_version ${cxx} --version)
if(CPACK_LEGALNOTICE_CXX_COMPILER_ID STREQUAL "GNU")
  run(linker ${cxx} -print-prog-name=ld)
else()
  set(linker ${CPACK_LEGALNOTICE_LINKER})
endif()
first_line(linker_version ${linker} --version)
first_line(cmake_version ${CPACK_LEGALNOTICE_CMAKE} --version)
set(toolchain "compiler: ${compiler_version}\nlinker: ${linker_version}\ncmake: ${cmake_version}\n")

find_program(DPKG_QUERY dpkg-query)
if(DPKG_QUERY)
  set(files ${cxx} ${linker} ${CPACK_LEGALNOTICE_RC_COMPILER} ${CPACK_LEGALNOTICE_CMAKE} ${CPACK_LEGALNOTICE_CMAKE_ROOT}/Modules/CPack.cmake)
  if(CPACK_LEGALNOTICE_CXX_COMPILER_ID STREQUAL "GNU")
    foreach(query -print-prog-name=cc1plus -print-libgcc-file-name -print-file-name=libstdc++.a
                  -print-file-name=crt2.o -print-file-name=libmsvcrt.a)
      run(file ${cxx} ${query})
      list(APPEND files ${file})
    endforeach()
    # The header search finds the SDK's windows.h wherever this toolchain keeps it.
    file(WRITE ${CPACK_TOPLEVEL_DIRECTORY}/windows_h.cpp "#include <windows.h>\n")
    run(dependencies ${cxx} -M ${CPACK_TOPLEVEL_DIRECTORY}/windows_h.cpp)
    file(REMOVE ${CPACK_TOPLEVEL_DIRECTORY}/windows_h.cpp)
    if(dependencies MATCHES "[ \n](/[^ \n]*/windows\\.h)")
      list(APPEND files ${CMAKE_MATCH_1})
    endif()
  endif()
  # One search for all the files (each search reads every package's file
  # list); it fails for a file no package owns, and says the rest.
  set(real_files)
  foreach(file ${files})
    file(REAL_PATH ${file} file)
    list(APPEND real_files ${file})
  endforeach()
  execute_process(COMMAND ${DPKG_QUERY} -S ${real_files} OUTPUT_VARIABLE owners ERROR_QUIET)
  string(REPLACE "\n" ";" owners "${owners}")
  set(packages)
  foreach(owner ${owners})
    if(owner MATCHES "^([^:, ]+)(:[^:, ]+)?: ")
      list(APPEND packages ${CMAKE_MATCH_1})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES packages)
  list(SORT packages)
  foreach(package ${packages})
    run(version ${DPKG_QUERY} -W -f=\${Version} ${package})
    string(APPEND toolchain "package ${package}: ${version}\n")
  endforeach()
endif()

file(SHA256 ${stage}/legalnotice.exe exe_sha256)
set(title "legalnotice ${CPACK_PACKAGE_VERSION} for Windows (x64): build record")
string(LENGTH "${title}" length)
string(REPEAT "=" ${length} underline)
set(record "${title}
${underline}

version: ${CPACK_PACKAGE_VERSION}
commit: ${commit}
tree: ${tree}
SOURCE_DATE_EPOCH: ${epoch} (${date})
legalnotice.exe unsigned sha256: ${exe_sha256}

The toolchain that built it
${toolchain}
To rebuild it and compare, on Debian 12 in a clone of the legalnotice
repository:
  scripts/verify-release.sh ${CPACK_PACKAGE_FILE_NAME}.zip
checks SHA256SUMS, removes a signature, rebuilds the commit above and
compares the exe. By hand:
  git checkout ${commit}
  SOURCE_DATE_EPOCH=${epoch} cmake --workflow --preset release
then build/release/legalnotice.exe must have the sha256 above.
")
string(REPLACE "\n" "\r\n" record "${record}")  # CRLF, like README.txt
file(WRITE ${stage}/BUILDINFO.txt "${record}")
message(STATUS "BUILDINFO.txt: commit ${commit} (${tree}), SOURCE_DATE_EPOCH ${epoch}")
