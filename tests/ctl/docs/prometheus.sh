#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The collector as Prometheus meets it: its file checked by promtool, served
# by a real prometheus-node-exporter on 127.0.0.1 (a port the kernel picks)
# and read back over HTTP; and the example alert rules' own tests.
#   prometheus.sh CARDSIM RAVELINCTL RULES_TEST
# Skipped (77) where promtool or the node exporter is not installed.
# Environment: RAVELIN_EMULATOR runs CARDSIM (qemu-i386 for a 32-bit tree on
# a kernel without 32-bit support).
set -u
cardsim=$1 ctl=$2 rules_test=$3
emu=${RAVELIN_EMULATOR:-}
for tool in promtool:prometheus prometheus-node-exporter:prometheus-node-exporter curl:curl; do
  if ! command -v "${tool%%:*}" >/dev/null; then
    echo "SKIP: ${tool%%:*} not found: install the Debian package ${tool#*:}"
    exit 77
  fi
done
work=$(mktemp -d)
exporter=
cleanup() {
  [ -z "$exporter" ] || kill "$exporter" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

mkdir -p "$work/card" "$work/etc" "$work/textfile"
# Two nodes, one description that the card does not store (a drift), no input.
printf '{"output": {"mode": "preset", "preset": 2}}\n' >"$work/etc/adapter1-frontend0.json"
$emu "$cardsim" --state "$work/card" --node 0:0 --node 1:0 --signal 0x0@0p -- \
  "$ctl" metrics --config "$work/etc" --output "$work/textfile/ravelin.prom" || fail "metrics exit $?"

if ! out=$(promtool check metrics <"$work/textfile/ravelin.prom" 2>&1) || [ -n "$out" ]; then
  fail "promtool check metrics: $out"
fi

coproc EXPORTER { exec prometheus-node-exporter --web.listen-address=127.0.0.1:0 \
  --collector.disable-defaults --collector.textfile \
  --collector.textfile.directory="$work/textfile" 2>&1; }
exporter=$EXPORTER_PID
# The exporter says where it listens once it does.
address=
while IFS= read -r line <&"${EXPORTER[0]}"; do
  case $line in
    *'msg="Listening on"'*) address=${line##*address=}; break ;;
  esac
done
[ -n "$address" ] || { fail "the node exporter did not start"; exit 1; }
curl -sS "http://$address/metrics" >"$work/scraped" || fail "curl http://$address/metrics"

# Every sample of the file, as served (the exporter sorts the labels and
# writes each value in its shortest form: 0.010960 comes back as 0.01096).
sort_labels() {
  sed -n 's/^\(ravelin_[a-z_]*\)\({\(.*\)}\)\{0,1\} \(.*\)$/\1 \3 \4/p' | while read -r name labels value; do
    case $value in '') value=$labels labels= ;; esac
    printf '%s{%s} %s\n' "$name" "$(printf '%s' "$labels" | tr ',' '\n' | sort | paste -sd, -)" \
      "$(awk -v v="$value" 'BEGIN { printf "%.9g", v }')"
  done | sort
}
sort_labels <"$work/textfile/ravelin.prom" >"$work/written"
grep '^ravelin_' "$work/scraped" | sort_labels >"$work/served"
[ "$(wc -l <"$work/written")" -ge 10 ] || fail "the file holds too few samples: $(cat "$work/written")"
if ! diff -u "$work/written" "$work/served"; then
  fail "the node exporter serves other values than the file holds"
fi
for want in 'node_textfile_scrape_error 0' \
            'ravelin_input_signal{adapter="0",frontend="0"} 0' \
            "ravelin_config_match{adapter=\"1\",file=\"$work/etc/adapter1-frontend0.json\",frontend=\"0\"} 0" \
            'ravelin_collector_success 1'; do
  grep -qxF "$want" "$work/scraped" || fail "not served: $want"
done

out=$(cd "$(dirname "$rules_test")" && promtool test rules "$(basename "$rules_test")" 2>&1) ||
  fail "promtool test rules: $out"

[ $failed -eq 0 ] && echo "PASS: collector file checked, served and read back; alert rules tested"
exit $failed
