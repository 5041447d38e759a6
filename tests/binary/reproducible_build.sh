#!/usr/bin/env bash
# SOURCE_DIR WORK_DIR TOOLCHAIN_FILE EXE: builds legalnotice.exe from the same
# sources in a clean folder of its own and requires it to be byte-identical
# to EXE, the exe the test tree built in its folder.
set -euo pipefail
source=$(cd "$1" && pwd)
work=$2
toolchain=$3
exe=$4
rm -rf "$work"
mkdir -p "$work"
cmake -S "$source" -B "$work" --toolchain "$toolchain" -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF >"$work.log" 2>&1
cmake --build "$work" --target legalnotice -j 2 >>"$work.log" 2>&1
if cmp "$exe" "$work/legalnotice.exe"; then
  echo "a clean build elsewhere is byte-identical ($(stat -c %s "$exe") bytes, sha256 $(sha256sum <"$exe" | cut -c1-16)…)"
  rm -rf "$work" "$work.log"
else
  echo "FAIL: a clean build in $work differs from $exe; see $work.log" >&2
  exit 1
fi
