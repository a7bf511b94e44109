#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The fleet playbook of docs/fleet.md, run by Debian's ansible-core under
# cardsim on two local hosts, each with a simulated card of its own: the
# first run changes both, the second changes nothing, and its trace holds
# no EEPROM write and no capture restart; check mode previews and writes
# nothing.
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
    printf '#!/bin/bash\nCARDSIM_STATE=%q CARDSIM_NODES=%q CARDSIM_VTIME=1 CARDSIM_VERSION_WORD=%q CARDSIM_FACTORY_FILL=%q CARDSIM_FAULTS="$FLEET_FAULTS" exec %q "$@"\n' \
        "$work/$name" "$adapter:$frontend" "$version" "$fill" "$ctl" >"$work/$name/ravelinctl"
    chmod +x "$work/$name/ravelinctl"
    echo "$name ansible_python_interpreter=/usr/bin/python3 ravelinctl=\"$work/$name/ravelinctl\"" >>"$inventory"
done
"$cardsim" --state "$work/rack-b" --node 1:0 -- "$work/rack-b/ravelinctl" -a 1 --quiet set preset 2 ||
    { echo "FAIL: setting up rack-b's card"; exit 1; }

# run_play N [ANSIBLE-ARGS...]: runs the playbook under cardsim, tracing
# into trace.N, output in play.N; sets rc and recap
run_play()
{
    local n=$1
    shift
    "$cardsim" --state "$work/rack-a" --real-time --trace "$work/trace.$n" -- \
        ansible-playbook -c local -i "$inventory" "$playbook" \
        -e card_json="${card_json:-$work/card.json}" "$@" >"$work/play.$n" 2>&1
    rc=$?
    recap=$(grep -E '^rack-[ab] +: ok=' "$work/play.$n")
    echo "run $n:"
    echo "${recap:-no recap}"
}

# play N [ANSIBLE-ARGS...]: the same, and it must succeed
play()
{
    run_play "$@"
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

# check_play N: a run in check mode, which writes nothing and restarts nothing
check_play()
{
    play "$1" --check --diff
    n=$(eeprom_writes "$work/trace.$1")
    ((n == 0)) || fail "check mode (run $1) wrote to the EEPROM $n times"
    n=$(restarts "$work/trace.$1")
    ((n == 0)) || fail "check mode (run $1) restarted the capture $n times"
}

# Check mode lists the cards, previews each and writes nothing: both cards
# would change, rack-b's (which stores preset 2 already) in its mute flag and
# name only.
check_play 0
for host in rack-a rack-b; do
    grep -qE "^$host +: ok=3 +changed=1 +unreachable=0 +failed=0 " <<<"$recap" ||
        fail "check run 0 does not report $host as one that would change"
done
python3 - "$work/play.0" <<'PY' || fail "check run 0 does not show each card's before and after"
import json, re, sys
text = open(sys.argv[1]).read()
# the debug task's output, one JSON object per card after "ok: [host] => (item=path) =>"
shown = {}
for host, path, body in re.findall(r"^ok: \[(rack-[ab])\] => \(item=(\S+)\) => (\{.*?^\})$", text, re.M | re.S):
    shown[host] = json.loads(body)["msg"]
a, b = shown["rack-a"], shown["rack-b"]
assert a["would_write"] == ["output", "mute", "program_name"], a
assert a["diff"]["after"]["output"] == {"mode": "preset", "preset": 2, "name": "ultra"}, a
assert b["would_write"] == ["mute", "program_name"], b
assert b["diff"]["before"]["program_name"] == "" and b["diff"]["after"]["program_name"] == "Studio 1", b
PY

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

# Check mode on cards that already match: nothing would change, nothing shown.
check_play 2c
for host in rack-a rack-b; do
    grep -qE "^$host +: ok=2 +changed=0 +unreachable=0 +failed=0 " <<<"$recap" ||
        fail "check run 2c reports a change or a failure on $host"
done
grep -q '"would_write"' "$work/play.2c" && fail "check run 2c shows a preview of cards that match"

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

# A host with fewer cards than it should have fails, and says so.
run_play 3 -e expected_cards=2
((rc != 0)) || fail "run 3 passed with one card of the two expected"
for host in rack-a rack-b; do
    grep -qE "^$host +: ok=1 +changed=0 +unreachable=0 +failed=1 " <<<"$recap" ||
        fail "run 3 does not fail $host for a missing card"
done
grep -q '1 usable capture cards, 2 expected' "$work/play.3" || fail "run 3 does not say how many cards it found"

# A card that refuses the write: changed (it may store part of it) and
# failed, with ravelinctl's own message.
printf '{"mute": false}' >"$work/unmute.json"
FLEET_FAULTS=write-error card_json=$work/unmute.json run_play 4
((rc != 0)) || fail "run 4 passed although the card refused the write"
grep -qE "^rack-a +: ok=[0-9]+ +changed=1 +unreachable=0 +failed=1 " <<<"$recap" ||
    fail "run 4 does not report rack-a changed and failed"
grep -q '"msg": "/dev/dvb/adapter0/frontend0: the card reported a failed EEPROM write of 1 byte at 22"' \
    "$work/play.4" || { fail "run 4 does not give ravelinctl's message"; cat "$work/play.4"; }

echo "EEPROM commands: run 1 $writes1 writes; run 2 $writes2 writes, $reads2 reads"
if ((failed)); then
    echo "fleet playbook: $failed check(s) failed"
    exit 1
fi
echo "fleet playbook: the first run changed both hosts' cards, the second changed nothing"
