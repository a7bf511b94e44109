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

# The requests of one trace against the minimum: per EEPROM read command the
# command word, one status read in each handshake phase, the acknowledge and
# one data word per four bytes; the bytes read, grouped into runs of
# consecutive addresses, in as few commands of at most 8 bytes as possible;
# and the register reads.
count() {
  # Command words are 0xAACC..OO: address, 0, count, opcode (mawk: no bit operations).
  awk '
    function hex(t,   v, i) { v = 0; for (i = 1; i <= length(t); i++) v = v * 16 + index("0123456789abcdef", substr(t, i, 1)) - 1; return v }
    / (REG|WINDOW)_(READ|WRITE) / { requests++ }
    / REG_READ / { regs++ }
    / WINDOW_WRITE 0x00 / {
      w = substr($4, 3); op = hex(substr(w, 7, 2))
      if (op == 49) {
        n = hex(substr(w, 5, 2)); a = hex(substr(w, 1, 2)); commands++
        for (k = 0; k < n; k++) { if (seen[a + k]++) twice++; bytes++ }
      } else other++
    }
    END {
      min = regs; mincmd = 0
      for (a = 0; a < 256; a++) {
        if (!(a in seen)) continue
        if (a > 0 && ((a - 1) in seen)) continue
        len = 0; while ((a + len) in seen) len++
        while (len > 0) { n = len > 8 ? 8 : len; mincmd++; min += 4 + int((n + 3) / 4); len -= n }
      }
      printf "  %d requests (minimum %d: %d register reads, %d EEPROM bytes in %d commands, fewest %d)\n",
             requests, min, regs, bytes, commands, mincmd
      printf "  EEPROM bytes read twice: %d; mailbox commands other than reads: %d\n", twice + 0, other + 0
    }' "$1"
}

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
