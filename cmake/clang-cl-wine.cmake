# An MSVC-style cross build on Linux: LLVM's clang-cl, lld-link and llvm-rc
# stand in for cl, link and rc, so CMake takes the project's MSVC branch
# (MSVC is true). There is no Windows SDK or MSVC runtime here; Wine's
# headers and import libraries (libwine-dev) take their place, and everything
# that only this substitute needs is kept in this file.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

# Debian links only some of LLVM's tools into /usr/bin (clang-cl is not one),
# so every tool is taken from the folder of the release that "clang" is.
find_program(LLVM_CLANG clang REQUIRED)
file(REAL_PATH ${LLVM_CLANG} llvm_clang)
get_filename_component(llvm_bin ${llvm_clang} DIRECTORY)
set(CMAKE_C_COMPILER ${llvm_bin}/clang-cl)
set(CMAKE_CXX_COMPILER ${llvm_bin}/clang-cl)
set(CMAKE_LINKER ${llvm_bin}/lld-link)
set(CMAKE_RC_COMPILER ${llvm_bin}/llvm-rc)
set(CMAKE_AR ${llvm_bin}/llvm-lib)
set(CMAKE_MT ${llvm_bin}/llvm-mt)

# Wine's SDK headers. WINE_UNICODE_NATIVE makes WCHAR wchar_t, as in the
# real SDK; Wine's inline _InterlockedCompareExchange128 clashes with clang's
# builtin. /GS- because no runtime here has the security cookie that /GS
# checks against.
set(wine_headers /usr/include/wine/wine/windows /usr/include/wine/wine/msvcrt)
set(wine_compile_flags "-DWINE_UNICODE_NATIVE -D_InterlockedCompareExchange128=__wine_InterlockedCompareExchange128 /GS-")
foreach(dir ${wine_headers})
  string(APPEND wine_compile_flags " -imsvc ${dir}")
  string(APPEND CMAKE_RC_FLAGS_INIT " /I ${dir}")
endforeach()
set(CMAKE_C_FLAGS_INIT "${wine_compile_flags}")
set(CMAKE_CXX_FLAGS_INIT "${wine_compile_flags}")

# Wine's PE import libraries, under the names lld-link looks for.
set(wine_import_libs ${CMAKE_BINARY_DIR}/wine-import-libs)
file(MAKE_DIRECTORY ${wine_import_libs})
foreach(name kernel32 user32 gdi32 winspool shell32 ole32 oleaut32 uuid comdlg32 advapi32 msvcrt)
  file(CREATE_LINK /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/lib${name}.a ${wine_import_libs}/${name}.lib SYMBOLIC)
endforeach()

# The runtime: no static libcmt exists here, so the exe links Wine's msvcrt,
# whose static start-up mainCRTStartup calls WinMain for a GUI program. The
# exe then imports msvcrt.dll, as the mingw-w64 build does.
set(CMAKE_EXE_LINKER_FLAGS_INIT
  "/LIBPATH:${wine_import_libs} /NODEFAULTLIB:libcmt /NODEFAULTLIB:libcmtd /NODEFAULTLIB:msvcrtd /NODEFAULTLIB:oldnames msvcrt.lib /ENTRY:mainCRTStartup")
