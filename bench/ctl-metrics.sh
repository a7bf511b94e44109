#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# What `ravelinctl metrics` costs, in an existing build folder (builds
# nothing): its requests per card against the fewest the mailbox protocol
# allows for what it reads (one identifying register read, the input's two,
# the EEPROM bytes of status), and its wall time over 8 cards that answer in
# real time.
#   bench/ctl-metrics.sh BUILD_DIR [RUNS]
set -eu
if [ $# -lt 1 ] || [ ! -x "$1/sim/cardsim" ] || [ ! -x "$1/ctl/ravelinctl" ]; then
  echo "usage: bench/ctl-metrics.sh BUILD_DIR [RUNS]   (a build folder with sim/cardsim and ctl/ravelinctl)" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
runs=${2:-5}
bench=$(cd "$(dirname "$0")" && pwd)
state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
cardsim="$build/sim/cardsim"
ctl="$build/ctl/ravelinctl"
mkdir "$state/etc"

for card in auto preset advanced; do
  rm -rf "$state/card" && mkdir -m 700 "$state/card"
  case $card in
    preset) "$cardsim" --state "$state/card" --busy-time 0 -- "$ctl" --quiet set preset 3 ;;
    advanced) "$cardsim" --state "$state/card" --busy-time 0 -- "$ctl" --quiet set advanced --profile high \
                --level 41 --width 1920 --height 1080 --bitrate 8000 --frame-rate 30 ;;
    *) : ;;
  esac
  "$cardsim" --state "$state/card" --trace "$state/trace.$card" -- "$ctl" metrics --config "$state/etc" >/dev/null
  echo "== metrics of one card with output $card"
  awk -v regs_needed=3 -f "$bench/requests.awk" "$state/trace.$card"
done
echo "  (the minimum counts one identifying register read; the collector makes two, a read-only"
echo "   look that tells this card from other DVB cards and the session's own; the simulated card"
echo "   needs two status reads in each handshake phase, one more than the minimum)"

# 8 nodes (the same simulated card at 8 places until cardsim serves distinct ones).
nodes=""
a=0
while [ $a -lt 8 ]; do nodes="$nodes --node $a:0"; a=$((a + 1)); done
timed() {
  start=$(date +%s.%N)
  i=0
  while [ $i -lt "$runs" ]; do
    # shellcheck disable=SC2086
    "$cardsim" --state "$state/card" --real-time $nodes -- "$ctl" "$@" >/dev/null
    i=$((i + 1))
  done
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" -v n="$runs" 'BEGIN { printf "%.1f", (e - s) * 1000 / n }'
}
rm -rf "$state/card" && mkdir -m 700 "$state/card"
echo "== wall time, 8 cards, --real-time, mean of $runs runs"
base=$(timed --version)
metrics=$(timed metrics --config "$state/etc")
echo "  metrics: $metrics ms; ravelinctl --version under cardsim (no card): $base ms"
awk -v a="$metrics" -v b="$base" 'BEGIN { printf "  metrics itself: %.1f ms, %.1f ms per card\n", a - b, (a - b) / 8 }'
