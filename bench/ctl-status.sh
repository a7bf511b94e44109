#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# What `ravelinctl status` costs, in an existing build folder (builds nothing):
# the requests it makes against the fewest the mailbox protocol allows for
# the EEPROM bytes it reads, whether it reads any byte twice, and its wall
# time against a card that answers in real time.
#   bench/ctl-status.sh BUILD_DIR [RUNS]
set -eu
if [ $# -lt 1 ] || [ ! -x "$1/sim/cardsim" ] || [ ! -x "$1/ctl/ravelinctl" ]; then
  echo "usage: bench/ctl-status.sh BUILD_DIR [RUNS]   (a build folder with sim/cardsim and ctl/ravelinctl)" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
runs=${2:-20}
state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
cardsim="$build/sim/cardsim"
ctl="$build/ctl/ravelinctl"

# The requests of one trace against the minimum (requests.awk).
count() { awk -f "$(dirname "$0")/requests.awk" "$1"; }

for card in auto preset advanced; do
  rm -rf "$state/card" && mkdir -m 700 "$state/card"
  case $card in
    preset) "$cardsim" --state "$state/card" --busy-time 0 -- "$ctl" --quiet set preset 3 ;;
    advanced) "$cardsim" --state "$state/card" --busy-time 0 -- "$ctl" --quiet set advanced --profile high \
                --level 41 --width 1920 --height 1080 --bitrate 8000 --frame-rate 30 ;;
    *) : ;;
  esac
  "$cardsim" --state "$state/card" --trace "$state/trace.$card" -- "$ctl" status >/dev/null
  echo "== status of a card with output $card"
  count "$state/trace.$card"
done

echo "  (the simulated card needs two status reads in each handshake phase, one more than the minimum)"

# The mean wall time of a command under cardsim --real-time.
timed() {
  rm -rf "$state/card" && mkdir -m 700 "$state/card"
  start=$(date +%s.%N)
  i=0
  while [ $i -lt "$runs" ]; do
    "$cardsim" --state "$state/card" --real-time -- "$ctl" "$@" >/dev/null
    i=$((i + 1))
  done
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" -v n="$runs" 'BEGIN { printf "%.1f", (e - s) * 1000 / n }'
}
echo "== wall time, default card, --real-time, mean of $runs runs"
base=$(timed --version)
status=$(timed status)
echo "  status: $status ms; ravelinctl --version under cardsim (no card): $base ms"
awk -v a="$status" -v b="$base" 'BEGIN { printf "  status itself: %.1f ms\n", a - b }'
