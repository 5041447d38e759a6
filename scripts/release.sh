#!/usr/bin/env bash
# Makes build/release/legalnotice-VERSION-win-x64.zip: legalnotice.exe,
# README.txt for administrators, BUILDINFO.txt (the build record) and
# SHA256SUMS; and beside it the test bundle legalnotice-VERSION-win-x64-tests.zip
# (the unsigned exe, the test programs and run-tests.cmd, for a real Windows).
# Both are the same bytes wherever the same commit is built. Refuses a
# source tree with uncommitted changes (LEGALNOTICE_RELEASE_ALLOW_DIRTY=1
# overrides). Unsigned unless a certificate is given in the environment
# (never in the repository):
#   LEGALNOTICE_SIGN_PFX=signer.pfx LEGALNOTICE_SIGN_PASSWORD=... scripts/release.sh
#   LEGALNOTICE_SIGN_CERT=cert.pem LEGALNOTICE_SIGN_KEY=key.pem scripts/release.sh
# LEGALNOTICE_SIGN_TIMESTAMP_URL adds an RFC 3161 time stamp (needs the network).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh release
rm -f build/release/legalnotice-*-win-x64*.zip
cmake --workflow --preset release
zip=$(ls build/release/legalnotice-*-win-x64.zip)
tests=$(ls build/release/legalnotice-*-win-x64-tests.zip)
version=$(basename "$zip" -win-x64.zip)
version=${version#legalnotice-}
# The hashes administrators compare, for the message of the release's signed
# tag: published apart from the archive, and checked by the workflow against
# what it builds from that tag.
message=build/release/tag-message.txt
{
  echo "legalnotice $version"
  echo
  sha256sum "$zip" "$tests" | sed 's| build/release/| |'
  python3 - "$zip" <<'PY'
import hashlib, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as archive:
    exe = next(name for name in archive.namelist() if name.endswith("/legalnotice.exe"))
    print(hashlib.sha256(archive.read(exe)).hexdigest() + "  " + exe)
PY
} >"$message"
echo
cat "$message"
echo
echo "Publish these hashes apart from the archive, in the release's signed tag (unsigned builds only:"
echo "the workflow builds those from the tag and refuses to publish archives the message does not name):"
echo "  git tag -s v$version -F $message && git push origin v$version"
echo "Anyone can then check the archive against this source with scripts/verify-release.sh $(basename "$zip")."
