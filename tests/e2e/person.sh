#!/usr/bin/env bash
# SESSION_DIR EXE WINDOW_PROBE SCREENSHOT: uses legalnotice.exe as a person would, with the
# mouse and keyboard through X: click each field, type Cyrillic, click the
# button, press Enter on the confirmation, close with Alt+F4. Then checks what
# the registry holds and puts the notice values back as they were.
set -euo pipefail
session=$(cd "$1" && pwd)
exe=$2
window_probe=$3
screenshot=$4
here=$(cd "$(dirname "$0")" && pwd)
run() { "$here/../wine/wine-run.sh" "$session" "$@"; }
export DISPLAY=:$(cat "$session/display") LC_ALL=C.UTF-8
key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Winlogon'
text='Только для сотрудников. Вход фиксируется.'
caption='Внимание'
scratch=$(mktemp -d)
program=

fail() { echo "FAIL: $*" >&2; exit 1; }
restore() {
  [ -n "$program" ] && kill "$program" 2>/dev/null
  run reg delete "$key" /v LegalNoticeText /f >/dev/null 2>&1 || true
  run reg delete "$key" /v LegalNoticeCaption /f >/dev/null 2>&1 || true
  run reg import "Z:$scratch/before.reg" >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
# Exported in UTF-16LE; reg query would turn Cyrillic into '?'.
export_key() { run reg export "$key" "Z:$1" /y >/dev/null && iconv -f UTF-16LE -t UTF-8 "$1" | sed -e '1s/^\xEF\xBB\xBF//' -e 's/\r$//'; }

export_key "$scratch/before.reg" >/dev/null
trap restore EXIT

run "$exe" &
program=$!
window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Настройка LegalNotice$' | head -n 1)
[ -n "$window" ] || fail "the main window did not appear"
# Keys go to the control with the focus when Wine takes them from X. No field
# has the focus at start: wait until the click has given it one.
focused() { run "$window_probe" focus "$@" || fail "$* did not get the focus"; }
field() { run "$window_probe" text LegalNoticeWindow "$1" || echo "<unreadable>"; }
# The session's X keymap is Russian (wine-session.sh), so xdotool types each
# Cyrillic letter with its own key rather than remapping a spare keycode.

# Points in the program's own pixels, relative to its 340x200 window: with
# unmanaged windows Wine draws the frame itself and the client area starts at
# (3,22). Above 100 % Wine 10 stretches the whole window, as Windows does.
eval "$(xdotool getwindowgeometry --shell "$window" | sed 's/^/MAIN_/')"
click() { xdotool mousemove --window "$window" $(($1 * MAIN_WIDTH / 340)) $(($2 * MAIN_HEIGHT / 200)) click 1; }
click 163 62
focused LegalNoticeWindow 101
xdotool type --delay 30 "$text"
click 163 112
focused LegalNoticeWindow 102
xdotool type --delay 30 "$caption"
typed_text=$(field 101) typed_caption=$(field 102)
click 163 147

box=$(timeout 10 xdotool search --sync --onlyvisible --name '^Успех$' | head -n 1)
[ -n "$box" ] || fail "no confirmation titled Успех"
focused '#32770' button  # the box's one button, its default, takes Enter
sleep 0.3  # only so the screenshot shows the box fully painted
# The screenshot: the form as typed and the confirmation over it, side by side.
import -window root "$scratch/screen.png"
eval "$(xdotool getwindowgeometry --shell "$box" | sed 's/^/BOX_/')"
convert -background '#3a6ea5' \
  \( "$scratch/screen.png" -crop "${MAIN_WIDTH}x${MAIN_HEIGHT}+${MAIN_X}+${MAIN_Y}" +repage \) \
  \( "$scratch/screen.png" -crop "${BOX_WIDTH}x${BOX_HEIGHT}+${BOX_X}+${BOX_Y}" +repage \) \
  -bordercolor '#3a6ea5' -border 10 -gravity center +append "$screenshot"

xdotool key Return
for _ in $(seq 100); do xdotool search --onlyvisible --name '^Успех$' >/dev/null || break; sleep 0.1; done
xdotool search --onlyvisible --name '^Успех$' >/dev/null && fail "Enter did not dismiss the confirmation"

click 300 185
focused LegalNoticeWindow  # active again once the box is gone
xdotool key alt+F4
status=0
timeout 20 tail --pid="$program" -f /dev/null || fail "the program did not end after Alt+F4"
wait "$program" || status=$?
program=
[ "$status" -eq 0 ] || fail "exit code $status after Alt+F4, expected 0"

after=$(export_key "$scratch/after.reg")
stored() { grep -x "\"$1\"=.*" <<<"$after" || echo "$1 absent"; }
if ! grep -qxF "\"LegalNoticeText\"=\"$text\"" <<<"$after" ||
   ! grep -qxF "\"LegalNoticeCaption\"=\"$caption\"" <<<"$after"; then
  fail "the stored notice is not what was typed
  typed:      text '$text', caption '$caption'
  the fields: text '$typed_text', caption '$typed_caption'
  registry:   $(stored LegalNoticeText), $(stored LegalNoticeCaption)"
fi
echo "typed, applied, confirmed and closed in a ${MAIN_WIDTH}x$MAIN_HEIGHT window; screenshot in $screenshot"
