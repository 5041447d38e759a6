#!/usr/bin/env bash
# Builds the Windows program with mingw-w64.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset windows
cmake --build --preset windows
