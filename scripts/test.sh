#!/usr/bin/env bash
# Builds and runs every test: host unit tests on the Win32 stand-in, then the
# cross-built Windows tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --workflow --preset host
cmake --workflow --preset windows
