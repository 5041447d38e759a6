#!/usr/bin/env bash
# [PAIRS]: measures legalnotice.exe against the floor program under Wine:
# start-up to the first visible window and peak working set, PAIRS (default
# 21) alternating pairs after a warm-up, plus both files' sizes. Figures from
# a shared machine: read the ratios, not the absolute numbers.
set -euo pipefail
cd "$(dirname "$0")/.."
pairs=${1:-21}
scripts/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target legalnotice floor startup_bench >/dev/null
session=build/windows/bench-session
trap 'bash tests/wine/wine-session.sh stop "$session"' EXIT
bash tests/wine/wine-session.sh start "$session" >/dev/null
windows_path() { echo "Z:$(realpath "$1" | tr / '\\')"; }
tests/wine/wine-run.sh "$session" build/windows/bench/startup_bench.exe "$pairs" \
  "$(windows_path build/windows/legalnotice.exe)" "$(windows_path build/windows/bench/floor.exe)"
program=$(stat -c %s build/windows/legalnotice.exe)
floor=$(stat -c %s build/windows/bench/floor.exe)
awk -v p="$program" -v f="$floor" 'BEGIN { printf "file size (bytes)        %9d  %9d    %.3f\n", p, f, p / f }'
budget=$(python3 tests/binary/check_pe.py --size-budget)
echo "size budget              legalnotice.exe <= $budget bytes: $([ "$program" -le "$budget" ] && echo met || echo EXCEEDED)"
