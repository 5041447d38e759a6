# The release archive, made by CPack from the exe as built:
# legalnotice-VERSION-win-x64.zip holding legalnotice.exe, README.txt for
# administrators, BUILDINFO.txt (how it was built) and SHA256SUMS. Before
# archiving, sign_and_sum.cmake has build_record.cmake write the record, then
# signs the exe when a certificate is given (scripts/release.sh says how); after,
# normalize_archive.cmake makes the archive the same bytes wherever it is built.
install(TARGETS legalnotice RUNTIME DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME legalnotice)
set(CPACK_PACKAGE_VENDOR legalnotice)
set(CPACK_PACKAGE_FILE_NAME legalnotice-${PROJECT_VERSION}-win-x64)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/sign_and_sum.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/normalize_archive.cmake)
set(CPACK_LEGALNOTICE_README_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/README.txt.in)
# What the build record names: the source, and the tools this tree builds with.
set(CPACK_LEGALNOTICE_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_LEGALNOTICE_CXX_COMPILER ${CMAKE_CXX_COMPILER})
set(CPACK_LEGALNOTICE_CXX_COMPILER_ID ${CMAKE_CXX_COMPILER_ID})
set(CPACK_LEGALNOTICE_LINKER ${CMAKE_LINKER})
set(CPACK_LEGALNOTICE_RC_COMPILER ${CMAKE_RC_COMPILER})
set(CPACK_LEGALNOTICE_CMAKE ${CMAKE_COMMAND})
set(CPACK_LEGALNOTICE_CMAKE_ROOT ${CMAKE_ROOT})
include(CPack)
