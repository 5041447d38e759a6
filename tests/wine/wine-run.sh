#!/usr/bin/env bash
# DIR PROGRAM [ARGS...]: runs a Windows program in the Wine session that
# wine-session.sh started in DIR. CTest uses this as the cross-compiling emulator.
set -euo pipefail
dir=$(cd "$1" && pwd)
shift
[ -s "$dir/display" ] || { echo "no Wine session in $dir (wine-session.sh start)" >&2; exit 1; }
export WINEPREFIX=$dir/prefix WINEDEBUG=-all,err+winediag WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
export DISPLAY=:$(cat "$dir/display")
exec /usr/lib/wine/wine64 "$@" </dev/null
