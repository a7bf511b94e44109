#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Measures the card simulator in an existing build folder (builds nothing):
# requests per second through the interposer, the start-up cost of the private
# /dev (RUNS runs of "cardsim -- true" with it and without it), then the wall
# time of the whole ctest run.
#   bench/run.sh BUILD_DIR [COUNT [RUNS]]
set -eu
if [ $# -lt 1 ] || [ ! -x "$1/sim/cardsim" ] || [ ! -x "$1/bench/cardsim_bench" ]; then
  echo "usage: bench/run.sh BUILD_DIR [COUNT [RUNS]]   (a build folder with sim/cardsim and bench/cardsim_bench)" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT

echo "== requests through the interposer ($build)"
"$build/sim/cardsim" --state "$state" -- "$build/bench/cardsim_bench" ${2:-}

echo "== start-up cost of the private /dev"
runs=${3:-500}
# "WALL CPU": microseconds per run of "cardsim [OPTION] -- true" over $runs
# runs, in wall time and in processor time (user and system, of cardsim and
# true); the processor time holds still on a busy machine.
per_run() {
  start=$(date +%s%N)
  times=$(
    i=0
    while [ "$i" -lt "$runs" ]; do
      "$build/sim/cardsim" --state "$state/card" "$@" -- true 2>/dev/null
      i=$((i + 1))
    done
    times
  )
  end=$(date +%s%N)
  echo "$times" | awk -v n="$runs" -v wall=$(((end - start) / 1000)) '
    function us(t) { split(t, p, "m"); sub("s", "", p[2]); return (p[1] * 60 + p[2]) * 1e6 }
    END { printf "%d %d\n", wall / n, (us($1) + us($2)) / n }'
}
per_run >/dev/null  # the card is made, the caches are warm
set -- "$1" "${2:-}" $(per_run --no-isolation) $(per_run)
echo "cardsim -- true, $runs runs: $5 us wall, $6 us processor a run with the private /dev;" \
  "$3 us wall, $4 us processor without it"
echo "isolation costs $(($5 - $3)) us wall, $(($6 - $4)) us processor a run"

echo "== whole test suite"
start=$(date +%s.%N)
status=0
ctest --test-dir "$build" -j2 --output-on-failure >"$state/ctest.log" 2>&1 || status=$?
end=$(date +%s.%N)
grep -E 'tests passed|tests failed' "$state/ctest.log" || tail -5 "$state/ctest.log"
awk -v s="$start" -v e="$end" 'BEGIN { printf "ctest wall time: %.2f s\n", e - s }'
exit $status
