#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# What `ravelinctl metrics` costs, in an existing build folder (builds
# nothing): its requests per card against the fewest the mailbox protocol
# allows for what it reads (one identifying register read, the input's two,
# the EEPROM bytes of status), and its wall time over 8 cards that answer in
# real time.
#   bench/ctl-metrics.sh BUILD_DIR [RUNS]
set -eu
# shellcheck disable=SC2034
usage_name=ctl-metrics.sh default_runs=5
# shellcheck source=bench/ctl-common.sh
. "$(dirname "$0")/ctl-common.sh"
mkdir "$state/etc"

for card in auto preset advanced; do
  fresh_card "$card"
  "$cardsim" --state "$state/card" --trace "$state/trace.$card" -- "$ctl" metrics --config "$state/etc" >/dev/null
  echo "== metrics of one card with output $card"
  awk -v regs_needed=3 -f "$bench/requests.awk" "$state/trace.$card"
done
echo "  (the minimum counts one identifying register read; the collector makes two, a read-only"
echo "   look that tells this card from other DVB cards and the session's own; the simulated card"
echo "   needs two status reads in each handshake phase, one more than the minimum)"

# 8 nodes (the same simulated card at 8 places until cardsim serves distinct ones).
card_options=""
a=0
while [ $a -lt 8 ]; do card_options="$card_options --node $a:0"; a=$((a + 1)); done
fresh_card auto
echo "== wall time, 8 cards, --real-time, mean of $runs runs"
base=$(timed --version)
metrics=$(timed metrics --config "$state/etc")
echo "  metrics: $metrics ms; ravelinctl --version under cardsim (no card): $base ms"
awk -v a="$metrics" -v b="$base" 'BEGIN { printf "  metrics itself: %.1f ms, %.1f ms per card\n", a - b, (a - b) / 8 }'
