#!/usr/bin/env bash
# Builds and runs every test: host unit tests on the Win32 stand-in, then the
# cross-built Windows tests under Wine, on the mingw-w64 exe and on the exe
# built through the MSVC branch by clang-cl (the windows tree configures and
# builds that one from scratch, as the clang-cl preset would). The host tests
# build and run while the packages for the Windows tests are installed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh host
mkdir -p build
cmake --workflow --preset host >build/host-tests.log 2>&1 &
host=$!
scripts/install-deps.sh
status=0
wait $host || status=$?
cat build/host-tests.log
[ $status -eq 0 ] || { echo "the host unit tests failed (exit $status)" >&2; exit $status; }
cmake --workflow --preset windows
