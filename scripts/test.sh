#!/usr/bin/env bash
# Builds and runs every test: host unit tests on the Win32 stand-in, then the
# cross-built Windows tests under Wine, on the mingw-w64 exe and on the exe
# built through the MSVC branch by clang-cl (the windows tree configures and
# builds that one from scratch, as the clang-cl preset would).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --workflow --preset host
cmake --workflow --preset windows
