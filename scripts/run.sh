#!/usr/bin/env bash
# Builds legalnotice.exe and opens its window under Wine, in a prefix of its
# own under build/. On a desktop the window stays until you close it. With no
# display, it starts Xvfb, saves build/windows/run/screenshot.png and closes
# the window as a user would (Alt+F4).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target legalnotice
exe=build/windows/legalnotice.exe
session=build/windows/run
ls -l "$exe"

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  export WINEPREFIX=$PWD/$session/prefix WINEDEBUG=-all,err+winediag WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$WINEPREFIX"
  status=0
  /usr/lib/wine/wine64 "$exe" || status=$?
  echo "legalnotice.exe exited with code $status"
  exit "$status"
fi

trap 'bash tests/wine/wine-session.sh stop "$session"' EXIT
bash tests/wine/wine-session.sh start "$session"
export DISPLAY=:$(cat "$session/display")
tests/wine/wine-run.sh "$session" "$exe" &
program=$!
window=$(timeout 30 xdotool search --sync --onlyvisible --name 'Настройка LegalNotice' | head -n 1)
sleep 1  # let the controls paint
import -window "$window" "$session/screenshot.png"
echo "window $window is up; screenshot saved to $session/screenshot.png"
xdotool mousemove --window "$window" 200 180 click 1 key alt+F4
status=0
wait "$program" || status=$?
echo "legalnotice.exe exited with code $status"
exit "$status"
