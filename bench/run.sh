#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Measures the card simulator in an existing build folder (builds nothing):
# requests per second through the interposer, then the wall time of the whole ctest run.
#   bench/run.sh BUILD_DIR [COUNT]
set -eu
if [ $# -lt 1 ] || [ ! -x "$1/sim/cardsim" ] || [ ! -x "$1/bench/cardsim_bench" ]; then
  echo "usage: bench/run.sh BUILD_DIR [COUNT]   (a build folder with sim/cardsim and bench/cardsim_bench)" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT

echo "== requests through the interposer ($build)"
"$build/sim/cardsim" --state "$state" -- "$build/bench/cardsim_bench" ${2:-}

echo "== whole test suite"
start=$(date +%s.%N)
status=0
ctest --test-dir "$build" -j2 --output-on-failure >"$state/ctest.log" 2>&1 || status=$?
end=$(date +%s.%N)
grep -E 'tests passed|tests failed' "$state/ctest.log" || tail -5 "$state/ctest.log"
awk -v s="$start" -v e="$end" 'BEGIN { printf "ctest wall time: %.2f s\n", e - s }'
exit $status
