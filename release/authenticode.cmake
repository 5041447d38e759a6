# Authenticode signing with the certificate given in the environment, never
# in the repository (scripts/release.sh says how):
#   LEGALNOTICE_SIGN_PFX             a PKCS#12 file with the certificate and its key, or
#   LEGALNOTICE_SIGN_CERT, _KEY      a PEM certificate (chain) and its private key;
#   LEGALNOTICE_SIGN_PASSWORD        the PFX's or the key's password, if it has one;
#   LEGALNOTICE_SIGN_TIMESTAMP_URL   an RFC 3161 time-stamp server (optional).
# Used by sign_and_sum.cmake for the release's exe, and by the test bundle for
# its own programs.

# authenticode_given(VARIABLE): TRUE in VARIABLE if a certificate is given.
function(authenticode_given variable)
  if(DEFINED ENV{LEGALNOTICE_SIGN_PFX} OR DEFINED ENV{LEGALNOTICE_SIGN_CERT})
    set(${variable} TRUE PARENT_SCOPE)
  else()
    set(${variable} FALSE PARENT_SCOPE)
  endif()
endfunction()

function(authenticode_require_file variable)
  if(NOT EXISTS "$ENV{${variable}}" OR IS_DIRECTORY "$ENV{${variable}}")
    message(FATAL_ERROR "${variable}: no such file: '$ENV{${variable}}'. No release was made.")
  endif()
endfunction()

# authenticode_sign(PRIVATE_DIR FILE...): signs each FILE in place. PRIVATE_DIR
# is made for the password, readable by its owner only, and removed again.
# Any failure stops with an error and leaves FILE unsigned.
function(authenticode_sign private)
  find_program(OSSLSIGNCODE osslsigncode)
  if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "a certificate was given, but osslsigncode is not installed. No release was made.")
  endif()
  if(DEFINED ENV{LEGALNOTICE_SIGN_PFX})
    authenticode_require_file(LEGALNOTICE_SIGN_PFX)
    set(credentials -pkcs12 "$ENV{LEGALNOTICE_SIGN_PFX}")
  else()
    authenticode_require_file(LEGALNOTICE_SIGN_CERT)
    authenticode_require_file(LEGALNOTICE_SIGN_KEY)
    set(credentials -certs "$ENV{LEGALNOTICE_SIGN_CERT}" -key "$ENV{LEGALNOTICE_SIGN_KEY}")
  endif()
  # The password goes through a file only its owner can read, not the
  # command line, where every user of the machine could see it.
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
  foreach(file ${ARGN})
    get_filename_component(name ${file} NAME)
    execute_process(
      COMMAND ${OSSLSIGNCODE} sign ${credentials} -h sha256 ${timestamp} -in ${file} -out ${private}/${name}
      RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
      file(REMOVE_RECURSE ${private})
      message(FATAL_ERROR "signing ${name} failed (wrong password, or a certificate without its key?). "
                          "No release was made. osslsigncode said:\n${output}")
    endif()
    file(RENAME ${private}/${name} ${file})
  endforeach()
  file(REMOVE_RECURSE ${private})
endfunction()
