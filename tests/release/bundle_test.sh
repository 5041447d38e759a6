#!/usr/bin/env bash
# SOURCE_DIR WORK_DIR WINDOW_PROBE WINE_STANDINS: commits the working tree as it is to a
# scratch clone and makes the release archive and the test bundle there;
# runs that test bundle in a fresh Wine prefix as an administrator would, on
# the exe and on a signed copy, behind a window that holds the foreground,
# while reprotest builds both again with all that can be varied here varied
# and compares them.
set -euo pipefail
source=$(cd "$1" && pwd)
work=$2
window_probe=$3
wine_standins=$4
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work" && mkdir -p "$work" && cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }
bash "$here/scratch_commit.sh" "$source" repo

# A fresh Wine prefix of the bundle's own, made while the release builds.
bundle_session=$work/bundle-session
reprotest_run=
trap '[ -z "$reprotest_run" ] || kill $reprotest_run 2>/dev/null; bash "$here/../wine/wine-session.sh" stop "$bundle_session"' EXIT
bash "$here/../wine/wine-session.sh" start "$bundle_session" >/dev/null &
session_started=$!

# The release as anyone makes it, in a clone of its own: reprotest's control.
git clone -q repo control-source
(cd control-source && cmake --workflow --preset release) >control.log 2>&1 || fail "release preset: $(tail -n 30 control.log)"
control=$work/control/source-root/build/release
mkdir -p "$control" && cp control-source/build/release/legalnotice-*-win-x64*.zip "$control/"

# reprotest: the unsigned release and the test bundle built again, with all
# that can be varied here varied, beside the Wine runs below. Not the user (this
# reprotest calls "sudo -h localhost", which Debian 12's sudo refuses); and
# in a container, perhaps not what needs FUSE, user namespaces or a free hand
# with the process personality: each is dropped, and said, where it fails.
variations=-user_group,locales.locale=ru_RU.CP1251  # a Russian program, and a charset that is not UTF-8
# can VARIATION WHY COMMAND...: keeps VARIATION only if COMMAND works here.
can() {
  local variation=$1 why=$2; shift 2
  "$@" >/dev/null 2>&1 || { variations+=",-$variation"; echo "reprotest keeps $variation: $why"; }
}
can fileordering "no /dev/fuse for disorderfs" test -c /dev/fuse
can domain_host "unshare cannot make a user namespace" unshare -r --uts true
can kernel "setarch cannot change the reported kernel" setarch "$(uname -m)" --uname-2.6 true
can aslr "setarch cannot turn address randomisation off" setarch "$(uname -m)" -R true
# Builds on fewer than 2 CPUs would take twice as long: the CPU count varies
# from 2 upwards, so not at all on a 2-CPU machine.
can num_cpus "this machine has only $(nproc) CPUs" test "$(nproc)" -gt 2
(cd repo && reprotest --vary="$variations" --min-cpus 2 --no-diffoscope --control-build "$work/control" \
  --store-dir "$work/reprotest-store" "cmake --workflow --preset release >/dev/null 2>&1" \
  "build/release/legalnotice-*-win-x64*.zip") >reprotest.log 2>&1 &
reprotest_run=$!

# The test bundle: its files, the release's unsigned exe, CRLF texts.
tests_zip=$(ls "$control"/legalnotice-*-win-x64-tests.zip) || fail "no test bundle beside the release archive"
wait $session_started || fail "the Wine session did not start: $(cat "$bundle_session/wine.log")"
downloads="$bundle_session/prefix/drive_c/Пользователи/Иван/Загрузки/тесты legalnotice"
python3 -m zipfile -e "$tests_zip" "$downloads"
bundle=$(echo "$downloads"/legalnotice-*-win-x64-tests)
[ "$(cd "$bundle" && find . -type f | sort | tr '\n' ' ')" = "./LICENSE ./README.txt ./SHA256SUMS ./legalnotice.exe \
./run-in-sandbox.cmd ./run-tests.cmd ./tests/driver_tests.exe ./tests/exe_tests.exe ./tests/floor.exe \
./tests/planted_probe.dll ./tests/store_tests.exe ./tests/testkit.exe " ] || fail "the test bundle holds $(cd "$bundle" && find . -type f)"
(cd "$bundle" && sha256sum --quiet -c SHA256SUMS) || fail "the test bundle's SHA256SUMS does not match"
python3 -m zipfile -e "$control"/legalnotice-*-win-x64.zip release
cmp "$bundle/legalnotice.exe" release/*/legalnotice.exe || fail "the test bundle's exe is not the release's"
for text in LICENSE README.txt run-tests.cmd run-in-sandbox.cmd; do
  ! grep -qv $'\r$' "$bundle/$text" || fail "the test bundle's $text is not CRLF throughout"
done
[ -z "$(awk 'length > 81' "$bundle/README.txt")" ] || fail "the test bundle's README.txt is over 80 columns"
[ "$(head -c 3 "$bundle/README.txt" | od -An -tx1 | tr -d ' ')" = efbbbf ] || fail "the test bundle's README.txt has no BOM"

# The bundle as an administrator runs it, from a folder whose path has spaces
# and Cyrillic letters, with nothing from the build tree or this environment.
win() {  # for 2 minutes at most, or LIMIT seconds
  timeout "${LIMIT:-120}" env -i PATH=/usr/bin:/bin HOME="$bundle_session" LANG=C.UTF-8 DISPLAY=":$(cat "$bundle_session/display")" \
    WINEPREFIX="$bundle_session/prefix" WINEDEBUG=-all "$@" </dev/null
}
# in_bundle LOG COMMAND...: runs COMMAND in the bundle's folder; its output goes to LOG.
in_bundle() { local log=$work/$1; shift; (cd "$bundle" && win "$@") >"$log" 2>&1; }
# An administrator starts the bundle elevated. Wine 8 starts every program so,
# Wine 10, as Windows with UAC, only when asked.
as_admin=(/usr/lib/wine/wine64 "$window_probe" elevated)
key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Winlogon'
# state NAME: the whole Winlogon key (every subkey, value and security
# descriptor), and any scratch folder a run left behind.
state() {
  { win /usr/lib/wine/wine64 "$window_probe" state || echo "no Winlogon key"
    ls "$bundle_session/prefix/drive_c/windows/temp" | grep '^legalnotice-tests-' || true; } >"$1.state"
}
unchanged() { cmp -s before.state "$1.state" || fail "$2: the machine is not as it was: $(diff before.state "$1.state" | head)"; }
last_line() { tail -n 1 "$1" | tr -d '\r'; }
# An administrator's machine has a notice already: a restore that never
# writes a value would go unseen on a machine without one.
for value in 'LegalNoticeText=Только для сотрудников' 'LegalNoticeCaption=Внимание'; do
  win /usr/lib/wine/wine64 reg add "$key" /v "${value%%=*}" /d "${value#*=}" /f >/dev/null 2>&1
done
# Some keys' DACLs are stored with spare room past their entries; a DACL put
# back rebuilt would then come back with other bytes.
win /usr/lib/wine/wine64 "$window_probe" roomy-dacl || fail "could not give the Winlogon key's DACL spare room"
state before
# As on a hosted runner, whose console holds the foreground, every window of
# the runs below opens behind another: a stand-in for Windows' rule on the
# foreground puts back behind it any window that takes the foreground without
# input since it appeared. The tests must bring their windows forward as
# Windows allows. It ends with the Wine session.
foreground_log=$bundle_session/prefix/drive_c/foreground.log
LIMIT=900 win /usr/lib/wine/wine64 "$wine_standins" hold-foreground 'C:\foreground.log' >/dev/null 2>&1 &

status=0
in_bundle unelevated.log /usr/lib/wine/wine64 "$window_probe" unelevated "cmd /c run-tests.cmd" || status=$?
[ $status -eq 2 ] && grep -q 'must run as an administrator' unelevated.log && [ ! -e "$bundle/report" ] &&
  [ "$(last_line unelevated.log)" = "0 passed, 0 failed" ] || fail "not elevated, exit $status: $(cat unelevated.log)"
state unelevated && unchanged unelevated "not elevated"
# Unpacked by Explorer from a downloaded zip, every file carries the Mark of
# the Web; Wine reads a file named NAME:Zone.Identifier as that stream.
mark="$bundle/tests/exe_tests.exe:Zone.Identifier"
printf '[ZoneTransfer]\r\nZoneId=3\r\n' >"$mark"
status=0
in_bundle marked.log "${as_admin[@]}" "cmd /c run-tests.cmd" || status=$?
rm "$mark"
[ $status -eq 2 ] && grep -q 'exe_tests.exe' marked.log && grep -q Unblock-File marked.log && [ ! -e "$bundle/report" ] ||
  fail "with the Mark of the Web, exit $status: $(cat marked.log)"
# Smart App Control on: an unsigned bundle is refused before anything runs.
policy='HKLM\SYSTEM\CurrentControlSet\Control\CI\Policy'
win /usr/lib/wine/wine64 reg add "$policy" /v VerifiedAndReputablePolicyState /t REG_DWORD /d 1 /f >/dev/null 2>&1
status=0
in_bundle smart-app-control.log "${as_admin[@]}" "cmd /c run-tests.cmd" || status=$?
win /usr/lib/wine/wine64 reg delete "$policy" /v VerifiedAndReputablePolicyState /f >/dev/null 2>&1
[ $status -eq 2 ] && grep -q 'Smart App Control is on' smart-app-control.log && [ ! -e "$bundle/report" ] ||
  fail "with Smart App Control on, exit $status: $(cat smart-app-control.log)"
# A test program that Windows will not start (here, not a program at all):
# the run names it and gives Windows' reason, exits 2, and puts back what the
# programs before it changed.
mv "$bundle/tests/exe_tests.exe" exe_tests.exe
printf 'not a program\r\n' >"$bundle/tests/exe_tests.exe"
status=0
in_bundle unstartable.log "${as_admin[@]}" "cmd /c run-tests.cmd" || status=$?
mv exe_tests.exe "$bundle/tests/exe_tests.exe"
[ $status -eq 2 ] && grep -q 'exe_tests.exe could not be started (error 193: .*exe_tests.exe' unstartable.log ||
  fail "with a test program that cannot start, exit $status: $(cat unstartable.log)"
state unstartable && unchanged unstartable "a test program that cannot start"

# start_holding TEST [RELEASE [FILTER]]: a run that stops in TEST while its
# change to the key is in effect, and goes on once the file RELEASE (under
# C:\) exists; FILTER (GTEST_FILTER) leaves out the tests before it.
start_holding() {
  rm -rf "$bundle/report"
  in_bundle hold.log LEGALNOTICE_TEST_HOLD="$1" LEGALNOTICE_TEST_RELEASE="C:\\${2:-never}" GTEST_FILTER="${3:-*}" \
    "${as_admin[@]}" "cmd /c run-tests.cmd" &
  held_run=$!
  for _ in $(seq 300); do grep -qs "holding in $1" "$bundle/report/run-tests.log" && break; sleep 0.1; done
  grep -qs "holding in $1" "$bundle/report/run-tests.log" || fail "the run never reached $1: $(cat hold.log)"
}
# hold TEST: a run killed where TEST's change to the key is in effect.
hold() {
  start_holding "$1" never "$1"
  win /usr/lib/wine/wine64 taskkill /f /im testkit.exe >/dev/null 2>&1
  wait $held_run || true
  state held
  ! cmp -s before.state held.state || fail "killed in $1, the run left the key as it was: nothing was tested"
}
# restored WHAT: /restore puts back what the killed run left, and nothing else.
restored() {
  in_bundle restore.log "${as_admin[@]}" "cmd /c run-tests.cmd /restore" || fail "run-tests.cmd /restore: $(cat restore.log)"
  state restored && unchanged restored "killed with $1, then /restore"
}

# A whole run, which passes beside a second one: while it holds the key
# changed, a second run and a test program started by hand refuse, saying
# so, and touch nothing.
start_holding ExeTest.StoresCyrillicAndNonBmpTextExactlyAndConfirms release
for second in run-tests.cmd tests\\store_tests.exe; do
  status=0
  in_bundle second.log "${as_admin[@]}" "cmd /c $second" || status=$?
  [ $status -eq 2 ] && grep -q 'A test run is in progress' second.log ||
    fail "$second during a run: exit $status: $(cat second.log)"
done
touch "$bundle_session/prefix/drive_c/release"
wait $held_run || fail "run-tests.cmd, beside a second run: $(cat hold.log)"
cases=$(cat "$bundle"/report/*.xml | grep -c '<testcase ')  # and the check of the whole key
[ "$(last_line hold.log)" = "$((cases + 1)) passed, 0 failed" ] || fail "run-tests.cmd ended with '$(last_line hold.log)'"
for file in run-tests.log store_tests.xml exe_tests.xml driver_tests.xml confirmation.bmp; do
  [ -s "$bundle/report/$file" ] || fail "the report has no $file"
done
[ "$(identify -format %wx%h "$bundle/report/main-window.bmp")" = 340x200 ] || fail "no picture of the main window"
state run && unchanged run "after a run"
grep -q 'took the foreground back from LegalNoticeWindow' "$foreground_log" ||
  fail "no window of legalnotice.exe took the foreground by itself: the run never met the foreground rule"

hold ExeTest.DeniedKeyIsReportedForBothValuesAndNothingWritten
restored "the DACL changed"
grep -q "put back the key's DACL" restore.log || fail "run-tests.cmd /restore: $(cat restore.log)"
hold ExeTest.StoresCyrillicAndNonBmpTextExactlyAndConfirms
restored "a test's notice values in effect"
hold ExeTest.MissingKeyIsReportedForBothValuesAndNotCreated
# The next run tests the signed exe, as one from a download: run-tests.cmd EXE.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=legalnotice test signer" \
  -keyout key.pem -out cert.pem 2>/dev/null
mkdir "$downloads/подписанный"
osslsigncode sign -certs cert.pem -key key.pem -h sha256 -in "$bundle/legalnotice.exe" \
  -out "$downloads/подписанный/legalnotice.exe" >/dev/null
in_bundle rerun.log "${as_admin[@]}" 'cmd /c run-tests.cmd ..\подписанный\legalnotice.exe' &&
  grep -q 'renamed the Winlogon key back' rerun.log && [[ "$(last_line rerun.log)" =~ \ 0\ failed$ ]] &&
  grep -q "SHA-256: *$(sha256sum <"$downloads/подписанный/legalnotice.exe" | cut -d' ' -f1)" rerun.log ||
  fail "the run after a killed one, on the signed exe: $(cat rerun.log)"
state rerun && unchanged rerun "killed with the key moved aside, then run again"
# Made with a certificate, the bundle's own programs are signed with it too
# (Smart App Control lets through what a publisher it trusts has signed), and
# run-tests.cmd knows it; the exe under test stays the release's.
(cd control-source/build/release && LEGALNOTICE_SIGN_CERT=$work/cert.pem LEGALNOTICE_SIGN_KEY=$work/key.pem \
  cmake --build . --target test_bundle) >signed-bundle.log 2>&1 || fail "signed test bundle: $(cat signed-bundle.log)"
python3 -m zipfile -e control-source/build/release/legalnotice-*-win-x64-tests.zip signed-bundle
for program in signed-bundle/*/tests/*; do
  osslsigncode verify -CAfile cert.pem -in "$program" >/dev/null 2>&1 || fail "the signed bundle's $program is not signed"
done
grep -q '"signed %policy%"' signed-bundle/*/run-tests.cmd && cmp signed-bundle/*/legalnotice.exe "$bundle/legalnotice.exe" ||
  fail "the signed bundle's run-tests.cmd or exe is not as it should be"

# run-in-sandbox.cmd: with no Windows Sandbox here it says how to get it,
# after writing a configuration that maps the right folders.
status=0
in_bundle sandbox.log /usr/lib/wine/wine64 cmd /c run-in-sandbox.cmd || status=$?
[ $status -eq 2 ] && grep -q Containers-DisposableClientVM sandbox.log || fail "run-in-sandbox.cmd: $(cat sandbox.log)"
python3 - "$bundle" <<'PY' || fail "run-in-sandbox.cmd wrote a wrong configuration: $(cat sandbox.log)"
import os, sys, xml.etree.ElementTree as ET
bundle = sys.argv[1]
windows = lambda path: "C:\\" + path.split("/drive_c/", 1)[1].replace("/", "\\")
root = ET.parse(bundle + "-results/legalnotice-tests.wsb").getroot()
mapped = [(m.findtext("HostFolder"), m.findtext("SandboxFolder"), m.findtext("ReadOnly"))
          for m in root.find("MappedFolders")]
assert [(host, read_only) for host, _, read_only in mapped] == [
    (windows(bundle), "true"), (windows(bundle) + "-results", "false")], mapped
assert all(inside[1:3] == ":\\" for _, inside, _ in mapped), mapped
command = root.find("LogonCommand").findtext("Command")
assert f"{mapped[0][1]}\\run-tests.cmd /report {mapped[1][1]}" in command, command
PY
# With a stand-in for Windows Sandbox, which runs the configuration's logon
# command in folders mapped as it says, run-in-sandbox.cmd waits for that run
# and exits with its exit code; the report is in the results folder.
drive_c=$bundle_session/prefix/drive_c
ln -s "$bundle" "$drive_c/legalnotice-tests" && ln -s "$bundle-results" "$drive_c/legalnotice-results"
cp "$window_probe" "$drive_c/windows/system32/WindowsSandbox.exe"
opener="\"$(win /usr/lib/wine/wine64 winepath -w "$wine_standins" 2>/dev/null | tr -d '\r')\" sandbox \"%1\""
win /usr/lib/wine/wine64 reg add 'HKCR\.wsb' /ve /d legalnotice.stand-in-sandbox /f >/dev/null 2>&1
win /usr/lib/wine/wine64 reg add 'HKCR\legalnotice.stand-in-sandbox\shell\open\command' /ve /d "$opener" /f >/dev/null 2>&1
status=0
in_bundle sandboxed.log GTEST_FILTER='StoreTest.*' /usr/lib/wine/wine64 cmd /c run-in-sandbox.cmd || status=$?
[ $status -eq 0 ] && grep -q 'ended with exit code 0' sandboxed.log && [ -s "$bundle-results/store_tests.xml" ] &&
  [ "$(last_line "$bundle-results/run-tests.log")" = "5 passed, 0 failed" ] ||
  fail "run-in-sandbox.cmd with a stand-in sandbox, exit $status: $(cat sandboxed.log)"
state sandboxed && unchanged sandboxed "a run in the stand-in sandbox"

bash "$here/../wine/wine-session.sh" stop "$bundle_session"
status=0
wait $reprotest_run || status=$?
reprotest_run=
trap - EXIT
[ $status -eq 0 ] && grep -q 'Reproduction successful' reprotest.log || fail "reprotest (exit $status): $(cat reprotest.log)"
echo "test bundle: reprotest reproduces it and the release archive; in a fresh Wine prefix, behind a window that" \
     "holds the foreground, it refuses what it cannot run, passes, and puts the Winlogon key back byte for byte" \
     "after a run, after /restore and after a run that follows a killed one, also on a signed exe and in a" \
     "stand-in Windows Sandbox"
rm -rf "$work"
