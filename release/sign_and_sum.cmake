# Run by CPack once the exe is staged, before it is archived: has
# build_record.cmake write BUILDINFO.txt (from the unsigned exe), signs the
# exe when a certificate is given, writes README.txt and LICENSE, then
# SHA256SUMS over the exe and the three texts. Any failure stops CPack and leaves no archive behind.
#
# Signing input, from the environment only (never from the repository):
#   LEGALNOTICE_SIGN_PFX             a PKCS#12 file with the certificate and its key, or
#   LEGALNOTICE_SIGN_CERT, _KEY      a PEM certificate (chain) and its private key;
#   LEGALNOTICE_SIGN_PASSWORD        the PFX's or the key's password, if it has one;
#   LEGALNOTICE_SIGN_TIMESTAMP_URL   an RFC 3161 time-stamp server (optional).
set(stage ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
set(exe ${stage}/legalnotice.exe)
if(NOT EXISTS ${exe})
  message(FATAL_ERROR "legalnotice.exe is not in the staging folder ${stage}")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/build_record.cmake)

function(require_file variable)
  if(NOT EXISTS "$ENV{${variable}}" OR IS_DIRECTORY "$ENV{${variable}}")
    message(FATAL_ERROR "${variable}: no such file: '$ENV{${variable}}'. No release was made.")
  endif()
endfunction()

if(DEFINED ENV{LEGALNOTICE_SIGN_PFX} OR DEFINED ENV{LEGALNOTICE_SIGN_CERT})
  find_program(OSSLSIGNCODE osslsigncode)
  if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "a certificate was given, but osslsigncode is not installed. No release was made.")
  endif()
  if(DEFINED ENV{LEGALNOTICE_SIGN_PFX})
    require_file(LEGALNOTICE_SIGN_PFX)
    set(credentials -pkcs12 "$ENV{LEGALNOTICE_SIGN_PFX}")
  else()
    require_file(LEGALNOTICE_SIGN_CERT)
    require_file(LEGALNOTICE_SIGN_KEY)
    set(credentials -certs "$ENV{LEGALNOTICE_SIGN_CERT}" -key "$ENV{LEGALNOTICE_SIGN_KEY}")
  endif()
  # The password goes through a file only its owner can read, not the
  # command line, where every user of the machine could see it.
  set(private ${CPACK_TOPLEVEL_DIRECTORY}/signing)
  file(REMOVE_RECURSE ${private})
  file(MAKE_DIRECTORY ${private})
  file(CHMOD ${private} DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  if(DEFINED ENV{LEGALNOTICE_SIGN_PASSWORD})
    file(WRITE ${private}/password "$ENV{LEGALNOTICE_SIGN_PASSWORD}")
    list(APPEND credentials -readpass ${private}/password)
  endif()
  set(timestamp)
  if(DEFINED ENV{LEGALNOTICE_SIGN_TIMESTAMP_URL})
    set(timestamp -ts "$ENV{LEGALNOTICE_SIGN_TIMESTAMP_URL}")
  endif()
  execute_process(
    COMMAND ${OSSLSIGNCODE} sign ${credentials} -h sha256 ${timestamp} -in ${exe} -out ${private}/legalnotice.exe
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  file(REMOVE ${private}/password)
  if(NOT result EQUAL 0)
    file(REMOVE_RECURSE ${private})
    message(FATAL_ERROR "signing legalnotice.exe failed (wrong password, or a certificate without its key?). "
                        "No release was made. osslsigncode said:\n${output}")
  endif()
  file(RENAME ${private}/legalnotice.exe ${exe})
  file(REMOVE_RECURSE ${private})
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
