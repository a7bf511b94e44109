#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The systemd units and the udev rule of the package:
#   units.sh units PACKAGING_DIR RAVELINCTL CARDSIM
#     systemd-analyze verify of every unit (warnings count as failures), in a
#     root that holds the system's units, the units and ravelinctl where they
#     are installed; then the path from the rule to the unit to the command:
#     the unit the rule wants for adapter 3, frontend 1 exists, and its
#     command configures the card on that node.
#   units.sh udev PACKAGING_DIR
#     udevadm verify (systemd 254 and later: Debian 13 on); 77 (skipped) where
#     udevadm has no verify.
# Environment: RAVELIN_EMULATOR runs CARDSIM (qemu-i386 for a 32-bit tree).
set -u
what=$1 src=$2
rules=$src/udev/60-ravelin.rules
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }
pass() { echo "PASS: $*"; }

if [ "$what" = udev ]; then
  if ! udevadm verify --help >/dev/null 2>&1; then
    echo "SKIP: this udevadm ($(udevadm --version)) has no verify (systemd 254 and later)"
    exit 77
  fi
  if out=$(udevadm verify --resolve-names=never "$rules" 2>&1); then pass "udevadm verify"; else fail "$out"; fi
  exit $failed
fi

ctl=$3 cardsim=$4
emu=${RAVELIN_EMULATOR:-}
command -v systemd-analyze >/dev/null || { echo "FAIL: systemd-analyze not found: install the Debian package systemd"; exit 1; }
units=/usr/lib/systemd/system
[ -d $units ] || units=/lib/systemd/system
root=$work/root
mkdir -p "$root/usr/lib/systemd/system" "$root/usr/bin" "$root/bin"
cp -r "$units/." "$root/usr/lib/systemd/system/"
cp "$src"/systemd/* "$root/usr/lib/systemd/system/"
cp "$ctl" "$root/usr/bin/ravelinctl"
cp /bin/sh "$root/bin/sh"

# The instance the rule asks for, for adapter 3, frontend 1.
wants=$(sed -n 's/.*ENV{SYSTEMD_WANTS}+="\([^"]*\)".*/\1/p' "$rules")
instance=$(printf '%s' "$wants" | sed 's/\$env{DVB_ADAPTER_NUM}/3/; s/\$env{DVB_DEVICE_NUM}/1/')
case $instance in
  ravelin-configure@*.service) ;;
  *) fail "the rule wants \"$wants\", no ravelin-configure@ instance" ;;
esac

if out=$(systemd-analyze verify --root="$root" --man=no \
           ravelin-metrics.service ravelin-metrics.timer "$instance" 2>&1) && [ -z "$out" ]; then
  pass "systemd-analyze verify: ravelin-metrics.service ravelin-metrics.timer $instance"
else
  fail "systemd-analyze verify: $out"
fi

# The unit's command for that instance, with %f as systemd expands it.
node=$(systemd-escape --unescape --path "${instance#ravelin-configure@}" | sed 's/\.service$//')
[ "$node" = /dev/dvb/adapter3/frontend1 ] || fail "the instance names $node, not /dev/dvb/adapter3/frontend1"
exec_start=$(sed -n 's/^ExecStart=//p' "$src/systemd/ravelin-configure@.service")
[ "${exec_start%% *}" = /usr/bin/ravelinctl ] || fail "ExecStart runs ${exec_start%% *}"
read -r -a args <<<"${exec_start#* }"
args=("${args[@]/\%f/$node}")
mkdir -p "$work/card" "$work/etc"
printf '{"mute": true}\n' >"$work/etc/adapter3-frontend1.json"
out=$($emu "$cardsim" --state "$work/card" --busy-time 0 --node 3:1 -- "$ctl" "${args[@]}" \
        --config "$work/etc" 2>&1) || fail "ravelinctl ${args[*]}: $out"
state=$($emu "$cardsim" --state "$work/card" --node 3:1 -- "$ctl" -a 3 -n 1 status 2>&1)
if printf '%s\n' "$state" | grep -qx 'mute: on'; then
  pass "the rule's unit runs: ravelinctl ${args[*]}"
else
  fail "the card on $node was not configured: $state"
fi
exit $failed
