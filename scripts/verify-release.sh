#!/usr/bin/env bash
# Usage: scripts/verify-release.sh legalnotice-VERSION-win-x64.zip
#
# Checks a downloaded release against this repository, on Debian 12 (on
# Windows, in WSL). It checks every hash in the archive's SHA256SUMS, shows
# the signer of a signed exe and removes the signature, then rebuilds the
# commit named in the archive's BUILDINFO.txt, taken from git into a scratch
# folder (local changes and the current branch do not matter), with the
# release preset at the record's SOURCE_DATE_EPOCH, and compares the two exes
# (the release archive only: the test bundle beside it, and the test programs
# that only it needs, are not rebuilt).
#
# Exit status: 0 the exe is that commit rebuilt, byte for byte; 1 it is not
# (the reasons follow: toolchain versions that differ from this machine's,
# and diffoscope's summary); 2 the archive cannot be checked. Nothing is left
# behind.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

cannot() { echo "verify-release: $*" >&2; exit 2; }
# field NAME: the value of "NAME: value" in the archive's build record.
field() { sed -n "s/^$1: //p" "$record" | tr -d '\r' | head -n 1; }
toolchain() { tr -d '\r' <"$1" | grep -E '^(compiler|linker|cmake|package [^ ]+):' || true; }

[ $# -eq 1 ] || { echo "usage: $0 legalnotice-VERSION-win-x64.zip" >&2; exit 2; }
[ -f "$1" ] || cannot "$1: no such file"
archive=$(realpath "$1")
git -C "$repo" rev-parse --git-dir >/dev/null 2>&1 || cannot "$repo is not a git clone: run this script from a clone of the repository"
"$repo/scripts/install-deps.sh" release >&2
python3 -m zipfile -t "$archive" >/dev/null 2>&1 || cannot "$1: not a zip archive"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/verify-release.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
python3 -m zipfile -e "$archive" "$scratch/archive"  # refuses absolute and ../ names
record=$(find "$scratch/archive" -name BUILDINFO.txt -type f | head -n 1)
[ -n "$record" ] || cannot "$1 has no BUILDINFO.txt: it was not made by scripts/release.sh, or by an older one"
files=$(dirname "$record")
for name in legalnotice.exe SHA256SUMS; do
  [ -f "$files/$name" ] || cannot "$1 has no $name beside its BUILDINFO.txt"
done
commit=$(field commit)
epoch=$(field SOURCE_DATE_EPOCH | cut -d' ' -f1)
[ "$(field tree)" = clean ] || cannot "$1 was made from a source tree with uncommitted changes (BUILDINFO.txt: tree: $(field tree)); it cannot be reproduced"
[[ "$epoch" =~ ^[0-9]+$ ]] || cannot "BUILDINFO.txt has no SOURCE_DATE_EPOCH"
[[ "$commit" =~ ^[0-9a-f]{40}$ ]] && git -C "$repo" cat-file -e "$commit^{commit}" 2>/dev/null ||
  cannot "commit '$commit' named in BUILDINFO.txt is not in this clone ($repo); fetch it (git fetch --tags) and try again"

echo "archive: $1"
# A changed README.txt or BUILDINFO.txt is caught here; the rebuild compares the exe alone.
if ! (cd "$files" && sha256sum --strict -c SHA256SUMS) >"$scratch/sums.log" 2>&1; then
  cat "$scratch/sums.log"
  echo "DIFFERENT: $(sed -n 's/: FAILED.*$//p' "$scratch/sums.log" | tr '\n' ' ')does not match the archive's own SHA256SUMS"
  exit 1
fi
cat "$scratch/sums.log"

# Whether the exe is signed is read from its PE header's certificate table
# entry, not from osslsigncode's words for an unsigned file, which change
# between its releases.
certificate_table_size() {
  python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
try:
    header = struct.unpack_from("<I", data, 0x3C)[0]
    optional = header + 24
    magic, = struct.unpack_from("<H", data, optional)
    directories = optional + {0x10B: 96, 0x20B: 112}[magic]
    count, = struct.unpack_from("<I", data, directories - 4)
    assert data[:2] == b"MZ" and data[header:header + 4] == b"PE\0\0"
    print(struct.unpack_from("<I", data, directories + 4 * 8 + 4)[0] if count > 4 else 0)
except (struct.error, KeyError, AssertionError):
    sys.exit("not a PE file")
PY
}
exe=$scratch/legalnotice.exe
unsigned_archive=no
certificates=$(certificate_table_size "$files/legalnotice.exe" 2>&1) || cannot "legalnotice.exe: $certificates"
if [ "$certificates" -ne 0 ]; then
  osslsigncode remove-signature -in "$files/legalnotice.exe" -out "$exe" >"$scratch/unsign.log" 2>&1 ||
    cannot "legalnotice.exe carries a signature that osslsigncode cannot remove: $(cat "$scratch/unsign.log")"
  osslsigncode verify -in "$files/legalnotice.exe" >"$scratch/signer.log" 2>&1 || true
  echo "legalnotice.exe is signed; the signature is removed for the comparison. Signer, as osslsigncode reads it:"
  grep -m 2 -E '^[[:space:]]+(Subject|Issuer) *:' "$scratch/signer.log" | sed 's/^[[:space:]]*/    /' || true
  echo "  $(grep -m 1 '^Signature verification:' "$scratch/signer.log" || echo 'Signature verification: unknown')" \
       "(against this machine's CA certificates; whether you trust the signer is yours to judge)"
else
  echo "legalnotice.exe is not signed"
  unsigned_archive=yes
  cp "$files/legalnotice.exe" "$exe"
fi

echo "rebuilding commit $commit at SOURCE_DATE_EPOCH=$epoch with the release preset..."
git clone -q --shared --no-checkout "$repo" "$scratch/source"
git -C "$scratch/source" -c advice.detachedHead=false checkout -q "$commit"
(cd "$scratch/source" &&
  env -u LEGALNOTICE_SIGN_PFX -u LEGALNOTICE_SIGN_CERT -u LEGALNOTICE_SIGN_KEY -u LEGALNOTICE_SIGN_PASSWORD \
      -u LEGALNOTICE_RELEASE_ALLOW_DIRTY SOURCE_DATE_EPOCH="$epoch" \
      sh -c 'cmake --preset release -DBUILD_TESTING=OFF && cmake --build --preset release && cpack --preset release') \
  >"$scratch/rebuild.log" 2>&1 || { tail -n 30 "$scratch/rebuild.log" >&2; cannot "the rebuild of $commit failed"; }
rebuilt=$scratch/source/build/release
rebuilt_record=$(find "$rebuilt/_CPack_Packages" -name BUILDINFO.txt -type f | head -n 1)

sha() { sha256sum "$1" | cut -d' ' -f1; }
if cmp -s "$exe" "$rebuilt/legalnotice.exe"; then
  echo "IDENTICAL: legalnotice.exe is commit $commit rebuilt here, byte for byte (sha256 $(sha "$exe"))"
  if [ $unsigned_archive = yes ] && cmp -s "$archive" "$rebuilt"/legalnotice-*-win-x64.zip; then
    echo "and so is the whole archive"
  fi
  exit 0
fi
echo "DIFFERENT: legalnotice.exe is not commit $commit as rebuilt here"
echo "  archive (unsigned): $(stat -c %s "$exe") bytes, sha256 $(sha "$exe")"
echo "  rebuilt:            $(stat -c %s "$rebuilt/legalnotice.exe") bytes, sha256 $(sha "$rebuilt/legalnotice.exe")"
[ "$(field 'legalnotice.exe unsigned sha256')" = "$(sha "$exe")" ] ||
  echo "  BUILDINFO.txt records sha256 $(field 'legalnotice.exe unsigned sha256') for the unsigned exe, not the archive's"
if differences=$(diff <(toolchain "$record") <(toolchain "$rebuilt_record")); then
  echo "  the toolchain here is the one BUILDINFO.txt records, version for version"
else
  echo "  the toolchain differs (< as BUILDINFO.txt records it, > this machine):"
  grep '^[<>]' <<<"$differences" | sed 's/^/    /'
fi
if command -v diffoscope >/dev/null; then
  echo "  diffoscope (first 40 lines):"
  diffoscope --text - "$exe" "$rebuilt/legalnotice.exe" 2>/dev/null | head -n 40 | sed 's/^/    /' || true
fi
exit 1
