#!/usr/bin/env bash
# start|stop DIR: a private Xvfb display and a persistent wineserver on the
# scratch prefix DIR/prefix, for Windows programs run by wine-run.sh.
# Wine's own output goes to DIR/wine.log: a server that inherited a test's
# pipe would keep it open and hang whoever reads it.
set -euo pipefail
action=$1
dir=$(mkdir -p "$2" && cd "$2" && pwd)
wine=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver
export WINEPREFIX=$dir/prefix WINEDEBUG=-all,err+winediag WINEDLLOVERRIDES="mscoree,mshtml="
log=$dir/wine.log

stop() {
  if [ -d "$WINEPREFIX" ]; then "$server" -k </dev/null >>"$log" 2>&1 || true; fi
  if [ -s "$dir/xvfb.pid" ]; then
    pid=$(cat "$dir/xvfb.pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -f "$dir/xvfb.pid" "$dir/display"
}

start() {
  stop
  # Xvfb writes its display number to fd 3 once it accepts connections.
  setsid Xvfb -displayfd 3 -noreset -screen 0 1024x768x24 -nolisten tcp 3>"$dir/display" </dev/null >"$dir/xvfb.log" 2>&1 &
  echo $! >"$dir/xvfb.pid"
  for _ in $(seq 100); do [ -s "$dir/display" ] && break; sleep 0.1; done
  [ -s "$dir/display" ] || { echo "Xvfb did not start; see $dir/xvfb.log" >&2; exit 1; }
  export DISPLAY=:$(cat "$dir/display")
  # A Russian keymap, as a person typing the notice would have. xdotool then
  # finds every Cyrillic key in the map instead of remapping a spare keycode
  # per character, which Wine reads racily (keys dropped under load). Loaded
  # before the first Wine process, so Wine detects it once at start.
  setxkbmap -layout ru

  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$wine" wineboot --init </dev/null >>"$log" 2>&1
    # This wine64 does not find fonts-wine's TrueType fonts by itself; without
    # Marlett the caption buttons draw as letters, without Tahoma text differs.
    cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    # No window manager here: unmanaged windows avoid a 2 s stall per hidden window.
    "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >>"$log" 2>&1
    "$server" -k </dev/null >>"$log" 2>&1 || true
  fi
  # The screen's DPI, LEGALNOTICE_WINE_DPI or 96 (100 %). Above 96, Wine 9.17
  # and later stretch a DPI-unaware window as Windows does; Wine 8 only
  # enlarges its fonts. A new server takes it up.
  dpi=$(printf 'dword:%08x' "${LEGALNOTICE_WINE_DPI:-96}")
  if ! awk -v want="\"LogPixels\"=$dpi" '/^\[/ { desktop = index($0, "[Control Panel\\\\Desktop]") == 1 }
                                           desktop && $0 == want { found = 1 } END { exit !found }' "$WINEPREFIX/user.reg"; then
    for key in 'HKCU\Control Panel\Desktop' 'HKCC\Software\Fonts'; do
      "$wine" reg add "$key" /v LogPixels /t REG_DWORD /d "${LEGALNOTICE_WINE_DPI:-96}" /f </dev/null >>"$log" 2>&1
    done
    "$server" -k </dev/null >>"$log" 2>&1 || true
  fi
  "$server" -w </dev/null >>"$log" 2>&1 || true  # let a winding-down server finish
  setsid "$server" -p </dev/null >>"$log" 2>&1
  "$wine" wineboot </dev/null >>"$log" 2>&1  # starts the services and the desktop once, off our pipes
  echo "wine session ready on DISPLAY=$DISPLAY, prefix $WINEPREFIX"
}

"$action"
