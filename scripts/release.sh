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
echo
echo "release: $zip"
echo "sha256 of the archive: $(sha256sum "$zip" | cut -d' ' -f1)"
echo "test bundle: $tests"
echo "sha256 of the test bundle: $(sha256sum "$tests" | cut -d' ' -f1)"
echo "publish both hashes, the archive's and legalnotice.exe's, where administrators can compare them;"
echo "anyone can then check the archive against this source with scripts/verify-release.sh $(basename "$zip")"
