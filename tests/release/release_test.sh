#!/usr/bin/env bash
# BUILD_DIR WORK_DIR WINE_SESSION_DIR EXE_TESTS: makes the release archive
# from BUILD_DIR's CPack configuration unsigned, then signed with a throwaway
# self-signed certificate (PFX with a password, and PEM), and checks each
# archive; a wrong password or a missing certificate must fail with a clear
# error and leave no archive.
set -euo pipefail
build=$(cd "$1" && pwd)
work=$2
session=$3
exe_tests=$4
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work" && mkdir -p "$work" && cd "$work"
archive=legalnotice-*-win-x64.zip
password="pw-$RANDOM-$RANDOM"
fail() { echo "FAIL: $*" >&2; exit 1; }

# release NAME [VAR=VALUE...]: cpack with only the given signing variables.
release() {
  local name=$1; shift
  env -u LEGALNOTICE_SIGN_PFX -u LEGALNOTICE_SIGN_CERT -u LEGALNOTICE_SIGN_KEY -u LEGALNOTICE_SIGN_PASSWORD \
      -u LEGALNOTICE_SIGN_TIMESTAMP_URL "$@" cpack --config "$build/CPackConfig.cmake" -B "$work/$name" >"$name.log" 2>&1
}
# unpack NAME: extracts NAME's archive and checks its contents and SHA256SUMS.
unpack() {
  local zip
  zip=$(ls "$1"/$archive) || fail "$1: no archive"
  python3 -m zipfile -e "$zip" "$1/files"
  cd "$1"/files/legalnotice-*-win-x64
  [ "$(ls | sort | tr '\n' ' ')" = "README.txt SHA256SUMS legalnotice.exe " ] || fail "$1: archive holds $(ls)"
  sha256sum --quiet -c SHA256SUMS || fail "$1: SHA256SUMS does not match"
  cd "$work"
}

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=legalnotice test signer" \
  -keyout key.pem -out cert.pem 2>/dev/null
openssl pkcs12 -export -inkey key.pem -in cert.pem -out signer.pfx -passout "pass:$password"

release unsigned || fail "unsigned release: $(cat unsigned.log)"
unpack unsigned
grep -q 'NOT signed' unsigned/files/*/README.txt || fail "the unsigned README does not say so"
cmp unsigned/files/*/legalnotice.exe "$build/legalnotice.exe" || fail "the archived exe is not the build's"

release pfx LEGALNOTICE_SIGN_PFX="$work/signer.pfx" LEGALNOTICE_SIGN_PASSWORD="$password" || fail "PFX: $(cat pfx.log)"
release pem LEGALNOTICE_SIGN_CERT="$work/cert.pem" LEGALNOTICE_SIGN_KEY="$work/key.pem" || fail "PEM: $(cat pem.log)"
for signed in pfx pem; do
  unpack $signed
  exe=$(echo "$work"/$signed/files/*/legalnotice.exe)
  osslsigncode verify -CAfile cert.pem -in "$exe" >$signed-verify.log 2>&1 || fail "$signed: $(cat $signed-verify.log)"
  grep -q 'signed with Authenticode' $signed/files/*/README.txt || fail "$signed: the README does not say it is signed"
  osslsigncode remove-signature -in "$exe" -out $signed-unsigned.exe >/dev/null
  cmp $signed-unsigned.exe "$build/legalnotice.exe" || fail "$signed: without its signature the exe is not the build's"
done
! grep -rqF "$password" ./*.log || fail "the password appears in the output"

# The signed exe starts and closes normally under Wine.
LEGALNOTICE_EXE="Z:${exe//\//\\}" "$here/../wine/wine-run.sh" "$session" "$exe_tests" \
  --gtest_filter=ExeTest.ClosingAtOnceTouchesNothing >signed-run.log 2>&1 || fail "signed exe under Wine: $(cat signed-run.log)"

# Refusals: a clear error, and no archive.
refused() {
  local name=$1 expected=$2; shift 2
  release "$name" "$@" && fail "$name: cpack succeeded"
  grep -q "$expected" "$name.log" || fail "$name: no clear error: $(cat "$name.log")"
  ! ls "$name"/$archive >/dev/null 2>&1 || fail "$name: an archive was left"
}
refused wrong-password 'signing legalnotice.exe failed' LEGALNOTICE_SIGN_PFX="$work/signer.pfx" LEGALNOTICE_SIGN_PASSWORD=wrong
refused missing-pfx 'LEGALNOTICE_SIGN_PFX: no such file' LEGALNOTICE_SIGN_PFX="$work/absent.pfx" LEGALNOTICE_SIGN_PASSWORD="$password"
echo "release archives: unsigned, PFX-signed and PEM-signed verified; wrong password and missing certificate refused"
rm -rf "$work"
