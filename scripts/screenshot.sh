#!/usr/bin/env bash
# Remakes docs/screenshot.png: builds the exe, then uses it under Wine and
# Xvfb as a person would (see tests/e2e/person.sh) and keeps the screenshot.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target legalnotice window_probe
session=build/windows/screenshot
trap 'bash tests/wine/wine-session.sh stop "$session"' EXIT
bash tests/wine/wine-session.sh start "$session"
bash tests/e2e/person.sh "$session" build/windows/legalnotice.exe build/windows/tests/window_probe.exe docs/screenshot.png
