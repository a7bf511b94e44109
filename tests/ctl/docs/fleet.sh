#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The fleet playbook of docs/fleet.md, run by Debian's ansible-core under
# cardsim on two local hosts, each with a simulated card of its own: the
# first run changes both, the second changes nothing, and its trace holds
# no EEPROM write and no capture restart.
#
# Usage: fleet.sh CARDSIM RAVELINCTL PLAYBOOK
# Exits 77 (skipped) with a message when ansible-playbook is not installed.
cardsim=${1:?cardsim}
ctl=${2:?ravelinctl}
playbook=${3:?playbook}

if ! command -v ansible-playbook >/dev/null; then
    echo "SKIP: ansible-playbook not found: install the Debian package ansible-core to run the fleet playbook"
    exit 77
fi

# Ansible runs its modules in a folder of its own.
ctl=$(realpath "$ctl") || exit 1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

# Ansible keeps its temporary and cached files under HOME; no colours, and
# the UTF-8 locale that ansible-core insists on.
export HOME=$work/home ANSIBLE_NOCOLOR=1 ANSIBLE_FORCE_COLOR=0 ANSIBLE_RETRY_FILES_ENABLED=0 LC_ALL=C.UTF-8
unset ANSIBLE_CONFIG
mkdir "$HOME"

# The reference card: preset 2, muted, named; saved as the description.
ref=$work/reference
{ "$cardsim" --state "$ref" -- "$ctl" --quiet set preset 2 &&
    "$cardsim" --state "$ref" -- "$ctl" --quiet mute on &&
    "$cardsim" --state "$ref" -- "$ctl" --quiet name "Studio 1" &&
    "$cardsim" --state "$ref" -- "$ctl" --json status >"$work/card.json"; } ||
    { echo "FAIL: making the reference card.json"; cat "$work/card.json"; exit 1; }

# Two hosts, both this machine, each with its own simulated card: rack-a's
# is new on adapter 0; rack-b's already stores preset 2 and sits on adapter
# 1. Neither holds cardsim's own choice of what a real card holds as it will
# (version word, new EEPROM bytes). A host's ravelinctl is a wrapper that
# points the interposer, which cardsim loads into every program, at that
# host's card.
inventory=$work/hosts
echo '[racks]' >"$inventory"
for host in rack-a:0:0:0x00000000:ff rack-b:1:0:0xa5a5a5a5:00; do
    IFS=: read -r name adapter frontend version fill <<<"$host"
    mkdir -m 700 "$work/$name"
    printf '#!/bin/bash\nCARDSIM_STATE=%q CARDSIM_NODES=%q CARDSIM_VTIME=1 CARDSIM_VERSION_WORD=%q CARDSIM_FACTORY_FILL=%q exec %q "$@"\n' \
        "$work/$name" "$adapter:$frontend" "$version" "$fill" "$ctl" >"$work/$name/ravelinctl"
    chmod +x "$work/$name/ravelinctl"
    echo "$name ansible_python_interpreter=/usr/bin/python3 ravelinctl=\"$work/$name/ravelinctl\"" >>"$inventory"
done
"$cardsim" --state "$work/rack-b" --node 1:0 -- "$work/rack-b/ravelinctl" -a 1 --quiet set preset 2 ||
    { echo "FAIL: setting up rack-b's card"; exit 1; }

# play N: runs the playbook under cardsim, tracing into trace.N; sets recap
play()
{
    "$cardsim" --state "$work/rack-a" --real-time --trace "$work/trace.$1" -- \
        ansible-playbook -c local -i "$inventory" "$playbook" \
        -e card_json="$work/card.json" >"$work/play.$1" 2>&1
    local rc=$?
    recap=$(grep -E '^rack-[ab] +: ok=' "$work/play.$1")
    echo "run $1:"
    echo "${recap:-no recap}"
    if [[ $rc -ne 0 || $(wc -l <<<"$recap") -ne 2 ]]; then
        echo "FAIL: ansible-playbook run $1 exited with $rc:"
        cat "$work/play.$1"
        exit 1
    fi
}

# EEPROM writes are mailbox commands with opcode 0x30, reads 0x31; a capture
# restart is a write of register 0x44.
eeprom_writes() { grep -cE 'WINDOW_WRITE 0x00 0x[0-9a-f]{6}30$' "$1"; }
eeprom_reads() { grep -cE 'WINDOW_WRITE 0x00 0x[0-9a-f]{6}31$' "$1"; }
restarts() { grep -c 'REG_WRITE 0x44 ' "$1"; }

play 1
for host in rack-a rack-b; do
    grep -qE "^$host +: ok=2 +changed=1 +unreachable=0 +failed=0 " <<<"$recap" ||
        fail "run 1 does not report $host changed"
done
grep -q '^changed: \[rack-a\] => (item=/dev/dvb/adapter0/frontend0 (00:1a:2b:3c:4d:5e))' "$work/play.1" ||
    fail "run 1 did not change rack-a's card on adapter 0"
grep -q '^changed: \[rack-b\] => (item=/dev/dvb/adapter1/frontend0 (00:1a:2b:3c:4d:5e))' "$work/play.1" ||
    fail "run 1 did not change rack-b's card on adapter 1"
writes1=$(eeprom_writes "$work/trace.1")
((writes1 > 0)) || fail "run 1 wrote nothing to the EEPROM"

play 2
for host in rack-a rack-b; do
    grep -qE "^$host +: ok=2 +changed=0 +unreachable=0 +failed=0 " <<<"$recap" ||
        fail "run 2 reports a change or a failure on $host"
done
grep -q '^ok: \[rack-b\] => (item=/dev/dvb/adapter1/frontend0' "$work/play.2" ||
    fail "run 2 did not look at rack-b's card"
writes2=$(eeprom_writes "$work/trace.2")
((writes2 == 0)) || fail "run 2 wrote to the EEPROM $writes2 times"
n=$(restarts "$work/trace.2")
((n == 0)) || fail "run 2 restarted the capture $n times"
reads2=$(eeprom_reads "$work/trace.2")
((reads2 > 0)) || fail "run 2 did not read the cards' EEPROM (is the trace empty?)"

# Both cards now store what the reference card stores.
for host in rack-a:0 rack-b:1; do
    IFS=: read -r name adapter <<<"$host"
    "$cardsim" --state "$work/$name" --node "$adapter:0" -- "$ctl" -a "$adapter" --json status >"$work/$name.status"
    python3 -c '
import json, sys
want, got = (json.load(open(f)) for f in sys.argv[1:])
sys.exit(any(want[k] != got[k] for k in ("output", "mute", "program_name")))' \
        "$work/card.json" "$work/$name.status" ||
        { fail "$name's card does not store what card.json says:"; cat "$work/$name.status"; }
done

echo "EEPROM commands: run 1 $writes1 writes; run 2 $writes2 writes, $reads2 reads"
if ((failed)); then
    echo "fleet playbook: $failed check(s) failed"
    exit 1
fi
echo "fleet playbook: the first run changed both hosts' cards, the second changed nothing"
