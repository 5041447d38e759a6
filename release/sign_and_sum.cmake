# Run by CPack once the exe is staged, before it is archived: has
# build_record.cmake write BUILDINFO.txt (from the unsigned exe), signs the
# exe when a certificate is given, writes README.txt and LICENSE, then
# SHA256SUMS over the exe and the three texts. Any failure stops CPack and leaves no archive behind.
# The certificate comes from the environment (authenticode.cmake).
set(stage ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
set(exe ${stage}/legalnotice.exe)
if(NOT EXISTS ${exe})
  message(FATAL_ERROR "legalnotice.exe is not in the staging folder ${stage}")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/build_record.cmake)

include(${CMAKE_CURRENT_LIST_DIR}/authenticode.cmake)
authenticode_given(signing)
if(signing)
  authenticode_sign(${CPACK_TOPLEVEL_DIRECTORY}/signing ${exe})
  # README.txt indents this by two and keeps to 80 columns.
  set(SIGNATURE "This copy is signed with Authenticode (SHA-256). Windows shows the
  signer's name as the publisher in the UAC prompt; check it as described
  below before you run it.")
  message(STATUS "legalnotice.exe signed")
else()
  set(SIGNATURE "This copy is NOT signed. The UAC prompt will say \"Unknown publisher\".
  Run it only if its SHA-256 matches the one published by whoever built it
  for you.")
  message(STATUS "legalnotice.exe is not signed: no certificate was given")
endif()

set(VERSION ${CPACK_PACKAGE_VERSION})
configure_file(${CPACK_LEGALNOTICE_README_TEMPLATE} ${stage}/README.txt @ONLY NEWLINE_STYLE CRLF)
# CRLF like README.txt, whatever line ends the checkout has.
configure_file(${CPACK_LEGALNOTICE_SOURCE_DIR}/LICENSE ${stage}/LICENSE @ONLY NEWLINE_STYLE CRLF)
set(sums)
foreach(name legalnotice.exe README.txt BUILDINFO.txt LICENSE)
  file(SHA256 ${stage}/${name} hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE ${stage}/SHA256SUMS "${sums}")
message(STATUS "SHA256SUMS:\n${sums}")
