#!/usr/bin/env bash
# SOURCE_DIR WORK_DIR: commits the working tree as it is to a scratch clone,
# makes the release archive there with the release preset, unsigned and then
# signed with a throwaway self-signed certificate (PFX with a password, and
# PEM), and checks each archive; requires a wrong password or a missing
# certificate to fail with a clear error and no archive; and verifies
# archives from a fresh clone elsewhere. bundle_test.sh does the rest.
set -euo pipefail
source=$(cd "$1" && pwd)
work=$2
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work" && mkdir -p "$work" && cd "$work"
archive=legalnotice-*-win-x64.zip
password="pw-$RANDOM-$RANDOM"
fail() { echo "FAIL: $*" >&2; exit 1; }

bash "$here/scratch_commit.sh" "$source" repo
# The release archive alone: bundle_test.sh makes the test bundle.
(cd repo && cmake --preset release -DBUILD_TESTING=OFF && cmake --build --preset release && cpack --preset release) \
  >"$work/build.log" 2>&1 ||
  fail "release preset: $(cat build.log)"
build=$work/repo/build/release

# release NAME [VAR=VALUE...]: cpack with only the given signing variables.
release() {
  local name=$1; shift
  env -u LEGALNOTICE_SIGN_PFX -u LEGALNOTICE_SIGN_CERT -u LEGALNOTICE_SIGN_KEY -u LEGALNOTICE_SIGN_PASSWORD \
      -u LEGALNOTICE_SIGN_TIMESTAMP_URL "$@" cpack --config "$build/CPackConfig.cmake" -B "$work/$name" >"$name.log" 2>&1
}
# unpack NAME: extracts NAME's archive and checks its contents, SHA256SUMS and
# the width of README.txt.
unpack() {
  local zip
  zip=$(ls "$1"/$archive) || fail "$1: no archive"
  python3 -m zipfile -e "$zip" "$1/files"
  cd "$1"/files/legalnotice-*-win-x64
  [ "$(ls | sort | tr '\n' ' ')" = "BUILDINFO.txt LICENSE README.txt SHA256SUMS legalnotice.exe " ] ||
    fail "$1: archive holds $(ls)"
  sha256sum --quiet -c SHA256SUMS || fail "$1: SHA256SUMS does not match"
  python3 - <<'PY' || fail "$1: README.txt is not UTF-8 with a BOM within 80 columns, glossing every Russian text"
import re, sys
text = open("README.txt", encoding="utf-8").read()
lines = text.lstrip("\ufeff").splitlines()
glosses = {"Настройка LegalNotice": "LegalNotice settings", "Создать и применить": "Create and apply",
           "Успех": "Success", "Перезагрузите компьютер.": "Restart the computer.", "Ошибка": "Error",
           "Не удалось записать в реестр": "Could not write to the registry",
           "не более 255 знаков": "at most 255 characters", "Поле ввода не создано": "input field was not created"}
# Each Russian text, and its English on the same line or the next.
glossed = all(any(russian in line and english in line + " " + (lines[i + 1] if i + 1 < len(lines) else "")
                  for i, line in enumerate(lines)) for russian, english in glosses.items())
sys.exit(not (text.startswith("\ufeff") and glossed and max(map(len, lines)) <= 80))
PY
  cd "$work"
}

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=legalnotice test signer" \
  -keyout key.pem -out cert.pem 2>/dev/null
openssl pkcs12 -export -inkey key.pem -in cert.pem -out signer.pfx -passout "pass:$password"

release unsigned || fail "unsigned release: $(cat unsigned.log)"
unpack unsigned
grep -q 'NOT signed' unsigned/files/*/README.txt || fail "the unsigned README does not say so"
cmp unsigned/files/*/legalnotice.exe "$build/legalnotice.exe" || fail "the archived exe is not the build's"
cmp unsigned/$archive "$build"/$archive || fail "two releases of one commit differ"
grep -q "^legalnotice.exe unsigned sha256: $(sha256sum <"$build/legalnotice.exe" | cut -d' ' -f1)" \
  unsigned/files/*/BUILDINFO.txt || fail "BUILDINFO.txt does not record the exe's hash"

release pfx LEGALNOTICE_SIGN_PFX="$work/signer.pfx" LEGALNOTICE_SIGN_PASSWORD="$password" || fail "PFX: $(cat pfx.log)"
release pem LEGALNOTICE_SIGN_CERT="$work/cert.pem" LEGALNOTICE_SIGN_KEY="$work/key.pem" || fail "PEM: $(cat pem.log)"
for signed in pfx pem; do
  unpack $signed
  exe=$(echo "$work"/$signed/files/*/legalnotice.exe)
  osslsigncode verify -CAfile cert.pem -in "$exe" >$signed-verify.log 2>&1 || fail "$signed: $(cat $signed-verify.log)"
  grep -q 'signed with Authenticode' $signed/files/*/README.txt || fail "$signed: the README does not say it is signed"
  osslsigncode remove-signature -in "$exe" -out $signed-unsigned.exe >/dev/null
  cmp $signed-unsigned.exe "$build/legalnotice.exe" || fail "$signed: without its signature the exe is not the build's"
  cmp $signed/files/*/BUILDINFO.txt unsigned/files/*/BUILDINFO.txt || fail "$signed: BUILDINFO.txt is not the unsigned one's"
done
! grep -rqF "$password" ./*.log || fail "the password appears in the output"

# Refusals: a clear error, and no archive.
refused() {
  local name=$1 expected=$2; shift 2
  release "$name" "$@" && fail "$name: cpack succeeded"
  grep -q "$expected" "$name.log" || fail "$name: no clear error: $(cat "$name.log")"
  ! ls "$name"/$archive >/dev/null 2>&1 || fail "$name: an archive was left"
}
refused wrong-password 'signing legalnotice.exe failed' LEGALNOTICE_SIGN_PFX="$work/signer.pfx" LEGALNOTICE_SIGN_PASSWORD=wrong
refused missing-pfx 'LEGALNOTICE_SIGN_PFX: no such file' LEGALNOTICE_SIGN_PFX="$work/absent.pfx" LEGALNOTICE_SIGN_PASSWORD="$password"

# scripts/verify-release.sh, run from a fresh clone in another folder: exit 0
# for the unsigned and the signed archive, 1 for an exe with one byte changed
# (even with SHA256SUMS made to match), 2 for what cannot be checked; it
# leaves nothing behind.
git clone -q repo verifier
mkdir scratch
verify() {
  local status=0
  TMPDIR=$work/scratch "$work/verifier/scripts/verify-release.sh" "$1" >"verify-$2.log" 2>&1 || status=$?
  [ $status -eq "$3" ] || fail "verify-release $2: exit status $status, not $3: $(cat "verify-$2.log")"
  [ -z "$(ls -A scratch)" ] || fail "verify-release $2 left $(ls scratch) behind"
}
# rezip NAME PYTHON [old-sums]: a copy of the unsigned archive whose files (a
# dict of name to bytes) PYTHON changes, with SHA256SUMS recomputed to match
# (or left as it was).
rezip() {
  python3 - unsigned/$archive "$1.zip" "$2" ${3:-} <<'PY'
import hashlib, re, sys, zipfile
source, target, change = sys.argv[1:4]
with zipfile.ZipFile(source) as z:
    files = {i.filename: z.read(i) for i in z.infolist()}
folder = next(n for n in files if n.endswith("/SHA256SUMS"))[: -len("SHA256SUMS")]
exec(change)
names = [line.split("  ", 1)[1] for line in files[folder + "SHA256SUMS"].decode().splitlines()]
names = [n for n in names if folder + n in files]
if len(sys.argv) == 4:
    files[folder + "SHA256SUMS"] = "".join(f"{hashlib.sha256(files[folder + n]).hexdigest()}  {n}\n" for n in names).encode()
with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as z:
    for name, data in files.items():
        z.writestr(name, data)
PY
}
rezip tampered 'exe = bytearray(files[folder + "legalnotice.exe"]); exe[len(exe) // 2] ^= 1; files[folder + "legalnotice.exe"] = bytes(exe)
files[folder + "BUILDINFO.txt"] = re.sub(rb"compiler: [^\r]*", b"compiler: another g++", files[folder + "BUILDINFO.txt"])'
rezip not-clean 'files[folder + "BUILDINFO.txt"] = files[folder + "BUILDINFO.txt"].replace(b"tree: clean", b"tree: not clean")'
rezip unknown-commit 'files[folder + "BUILDINFO.txt"] = re.sub(rb"commit: \w+", b"commit: " + b"1" * 40, files[folder + "BUILDINFO.txt"])'
rezip no-record 'del files[folder + "BUILDINFO.txt"]'
rezip readme-changed 'files[folder + "README.txt"] += b"Run anything it tells you to.\r\n"' old-sums
# The three verdicts with the osslsigncode installed and with Debian 12's own
# (2.5, unpacked here where apt's sources have Debian 12), which says other
# things than 2.9 (backports, Debian 13) of an unsigned exe.
osslsigncodes=("$(dirname "$(command -v osslsigncode)")")
if ! osslsigncode --version | grep -q '^osslsigncode 2\.5,' &&
   (mkdir bookworm && cd bookworm && apt-get download -q osslsigncode/bookworm) >bookworm.log 2>&1; then
  dpkg-deb -x bookworm/osslsigncode_*.deb bookworm
  osslsigncodes+=("$work/bookworm/usr/bin")
fi
for tools in "${osslsigncodes[@]}"; do
  version=$("$tools/osslsigncode" --version | head -n 1 | cut -d, -f1)
  PATH=$tools:$PATH verify "$work"/unsigned/$archive unsigned 0
  grep -q '^IDENTICAL' verify-unsigned.log && grep -q 'is not signed' verify-unsigned.log ||
    fail "verify-release unsigned, $version: $(cat verify-unsigned.log)"
  PATH=$tools:$PATH verify "$work"/pfx/$archive signed 0
  grep -q 'Subject: /CN=legalnotice test signer' verify-signed.log ||
    fail "verify-release does not show the signer, $version: $(cat verify-signed.log)"
  PATH=$tools:$PATH verify tampered.zip tampered 1
  grep -q '^DIFFERENT' verify-tampered.log && grep -q '< compiler: another g++' verify-tampered.log ||
    fail "verify-release tampered, $version: no verdict, or not the compiler that differs: $(cat verify-tampered.log)"
  echo "verify-release with $version: unsigned, signed and tampered archives as expected"
done
verify readme-changed.zip readme-changed 1  # the exe alone would pass: the sums catch the rest
grep -q '^DIFFERENT: .*README.txt' verify-readme-changed.log || fail "verify-release, README.txt changed: $(cat verify-readme-changed.log)"
verify absent.zip absent 2
verify cert.pem not-a-zip 2
for case in not-clean unknown-commit no-record; do verify $case.zip $case 2; done

echo "release archives: unsigned, PFX-signed and PEM-signed checked and verified from a fresh clone, a changed exe" \
     "fails verification; wrong password and missing certificate refused"
rm -rf "$work"
