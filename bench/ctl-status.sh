#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# What `ravelinctl status` costs, in an existing build folder (builds nothing):
# the requests it makes against the fewest the mailbox protocol allows for
# the EEPROM bytes it reads, whether it reads any byte twice, and its wall
# time against a card that answers in real time.
#   bench/ctl-status.sh BUILD_DIR [RUNS]
set -eu
# shellcheck disable=SC2034
usage_name=ctl-status.sh default_runs=20
# shellcheck source=bench/ctl-common.sh
. "$(dirname "$0")/ctl-common.sh"

# The requests of one trace against the minimum (requests.awk).
count() { awk -f "$bench/requests.awk" "$1"; }

for card in auto preset advanced; do
  fresh_card "$card"
  "$cardsim" --state "$state/card" --trace "$state/trace.$card" -- "$ctl" status >/dev/null
  echo "== status of a card with output $card"
  count "$state/trace.$card"
done

echo "  (the simulated card needs two status reads in each handshake phase, one more than the minimum)"

fresh_card auto
echo "== wall time, default card, --real-time, mean of $runs runs"
base=$(timed --version)
status=$(timed status)
echo "  status: $status ms; ravelinctl --version under cardsim (no card): $base ms"
awk -v a="$status" -v b="$base" 'BEGIN { printf "  status itself: %.1f ms\n", a - b }'
