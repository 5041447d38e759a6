#!/usr/bin/env bash
# SOURCE_DIR WORK_DIR TOOLCHAIN_FILE: builds legalnotice.exe twice from the
# same sources in two clean folders and requires the two files to be
# byte-identical.
set -euo pipefail
source=$(cd "$1" && pwd)
work=$2
toolchain=$3
rm -rf "$work"
mkdir -p "$work"
for build in first second; do
  cmake -S "$source" -B "$work/$build" --toolchain "$toolchain" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF >"$work/$build.log" 2>&1
  cmake --build "$work/$build" --target legalnotice -j 2 >>"$work/$build.log" 2>&1
done
if cmp "$work/first/legalnotice.exe" "$work/second/legalnotice.exe"; then
  echo "two clean builds are byte-identical ($(stat -c %s "$work/first/legalnotice.exe") bytes, sha256 $(sha256sum <"$work/first/legalnotice.exe" | cut -c1-16)…)"
  rm -rf "$work"
else
  echo "FAIL: two clean builds differ; see $work" >&2
  exit 1
fi
