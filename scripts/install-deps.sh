#!/usr/bin/env bash
# [host|release]: installs, from Debian's packages, whatever the build and the
# tests need and this machine lacks; with "host", only what the host unit
# tests need; with "release", only what making and verifying a release
# needs. Does nothing when everything is already there.
set -euo pipefail
host=(make cmake git python3 g++ libgtest-dev clang-format clang-tidy nodejs ca-certificates)
release=(make cmake git python3 g++-mingw-w64-x86-64-posix googletest osslsigncode strip-nondeterminism diffoscope-minimal)
case "${1:-}" in
  host) packages=("${host[@]}") ;;
  release) packages=("${release[@]}") ;;
  *) packages=("${host[@]}" "${release[@]}" g++-mingw-w64-x86-64-win32 wine64 fonts-wine xvfb xauth xdotool x11-utils
               imagemagick x11-xkb-utils clang lld llvm libwine-dev openssl reprotest faketime disorderfs fuse3 locales-all) ;;
esac
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=; [ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
