# The release archive, made by CPack from the exe as built:
# legalnotice-VERSION-win-x64.zip holding legalnotice.exe, README.txt for
# administrators and SHA256SUMS. sign_and_sum.cmake signs the exe first when
# a certificate is given (scripts/release.sh says how).
install(TARGETS legalnotice RUNTIME DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME legalnotice)
set(CPACK_PACKAGE_VENDOR legalnotice)
set(CPACK_PACKAGE_FILE_NAME legalnotice-${PROJECT_VERSION}-win-x64)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/sign_and_sum.cmake)
set(CPACK_LEGALNOTICE_README_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/README.txt.in)
include(CPack)
