#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Prints the wall time of whole ctest runs in each build tree that exists
# (builds nothing); the goals on a 2-core machine are in HACKING.md.
#   bench/ctest-times.sh [RUNS] [TREE...]     trees: build build-i386 build-asan
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-1}
case $runs in ''|*[!0-9]*) echo "usage: bench/ctest-times.sh [RUNS] [TREE...]" >&2; exit 2 ;; esac
[ $# -gt 0 ] && shift
[ $# -gt 0 ] || set -- build build-i386 build-asan
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
for tree in "$@"; do
  dir=$top/$tree
  if [ ! -f "$dir/CTestTestfile.cmake" ]; then
    echo "$tree: not built (scripts/build.sh)"
    continue
  fi
  times=""
  i=0
  while [ "$i" -lt "$runs" ]; do
    i=$((i + 1))
    start=$(date +%s.%N)
    result=ok
    ctest --test-dir "$dir" -j2 >"$log" 2>&1 || { result=FAILED; status=1; }
    end=$(date +%s.%N)
    t=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.2f", e - s }')
    [ "$result" = ok ] || t="$t(FAILED)"
    times="$times $t"
  done
  echo "$tree:$times s ($(grep -E 'tests passed' "$log" || echo 'see ctest'))"
done
exit $status
