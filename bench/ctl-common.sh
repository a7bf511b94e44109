# SPDX-License-Identifier: GPL-2.0-or-later
# shellcheck shell=sh disable=SC2034,SC2154
# Sourced by the ravelinctl benchmarks (bench/ctl-*.sh BUILD_DIR [RUNS]): checks
# the build folder, makes $state (removed at exit) and sets $build, $cardsim,
# $ctl and $bench. $usage_name and $default_runs are the caller's.
if [ $# -lt 1 ] || [ ! -x "$1/sim/cardsim" ] || [ ! -x "$1/ctl/ravelinctl" ]; then
  echo "usage: bench/$usage_name BUILD_DIR [RUNS]   (a build folder with sim/cardsim and ctl/ravelinctl)" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
runs=${2:-$default_runs}
bench=$(cd "$(dirname "$0")" && pwd)
state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
cardsim="$build/sim/cardsim"
ctl="$build/ctl/ravelinctl"

# A new card in $state/card that stores output $1: auto, preset or advanced.
fresh_card() {
  rm -rf "$state/card" && mkdir -m 700 "$state/card"
  case $1 in
    preset) "$cardsim" --state "$state/card" --busy-time 0 -- "$ctl" --quiet set preset 3 ;;
    advanced) "$cardsim" --state "$state/card" --busy-time 0 -- "$ctl" --quiet set advanced --profile high \
                --level 41 --width 1920 --height 1080 --bitrate 8000 --frame-rate 30 ;;
    *) : ;;
  esac
}

# The mean wall time in ms of `ravelinctl ARGS` under cardsim --real-time,
# over $runs runs, on the card in $state/card with $card_options.
timed() {
  start=$(date +%s.%N)
  i=0
  while [ $i -lt "$runs" ]; do
    # shellcheck disable=SC2086
    "$cardsim" --state "$state/card" --real-time ${card_options:-} -- "$ctl" "$@" >/dev/null
    i=$((i + 1))
  done
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" -v n="$runs" 'BEGIN { printf "%.1f", (e - s) * 1000 / n }'
}
