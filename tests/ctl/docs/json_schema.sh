#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Every kind of object that ravelinctl --json prints, from real runs under
# the simulated card, validated against docs/ravelinctl.schema.json with
# Debian's python3-jsonschema; then broken copies of each, which the schema
# must refuse.
#
# Usage: json_schema.sh CARDSIM RAVELINCTL SCHEMA VALIDATOR
# Environment: RAVELIN_EMULATOR runs CARDSIM (qemu-i386 for a 32-bit tree on
# a kernel without 32-bit support); RAVELIN_POINTER_SIZE 4 in a 32-bit tree.
emu=${RAVELIN_EMULATOR:-}
cardsim=${1:?cardsim}
ctl=${2:?ravelinctl}
schema=${3:?schema}
validator=${4:?validate_json.py}

# Debian's python3 with Debian's jsonschema; another python3 first in PATH
# may lack it.
python=
for p in /usr/bin/python3 python3; do
    if "$p" -c 'import jsonschema' 2>/dev/null; then
        python=$p
        break
    fi
done
if [[ -z $python ]]; then
    echo "python3 with the module jsonschema not found: install the Debian package python3-jsonschema"
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
state=$work/state
out=$work/out
mkdir "$out"
failed=0
pairs=()

# run NAME STATUS KIND [CARDSIM-OPTIONS...] -- RAVELINCTL-ARGS...
# Runs ravelinctl --json under cardsim with the shared state; the exit status
# must be STATUS, and the output is validated as KIND later.
run()
{
    local name=$1 want=$2 kind=$3
    shift 3
    local opts=()
    while [[ $1 != -- ]]; do
        opts+=("$1")
        shift
    done
    shift
    $emu "$cardsim" --state "$state" "${opts[@]}" -- "$ctl" --json "$@" \
        <"${stdin:-/dev/null}" >"$out/$name.json" 2>"$out/$name.err"
    local rc=$?
    if [[ $rc -ne $want ]]; then
        echo "FAIL: $name: ravelinctl --json $* exited with $rc, not $want; stdout and stderr:"
        cat "$out/$name.json" "$out/$name.err"
        failed=$((failed + 1))
    fi
    pairs+=("$kind" "$out/$name.json")
}

# A new card stores the automatic output format.
run status-auto 0 'status:{"adapter":0,"frontend":0,"mac":"00:1a:2b:3c:4d:5e","output":{"mode":"auto"},"input":{"width":1280,"height":720,"rate":50,"progressive":false,"signal":true},"mute":false,"program_name":""}' \
    --signal 1280x720@50i -- status
run status-no-signal 0 'status:{"input":{"width":0,"height":0,"rate":0,"progressive":false,"signal":false}}' \
    --signal 0x0@0i -- status
run set-preset 0 'change:{"changed":true,"written":["output"]}' -- set preset 3
run status-preset 0 'status:{"output":{"mode":"preset","preset":3,"name":"excellent"}}' -- status
run set-preset-again 0 'change:{"changed":false,"written":[]}' -- set preset excellent
run set-preset-forced 0 'change:{"changed":true}' -- --force set preset 3
run set-advanced 0 'change:{"changed":true}' -- set advanced --profile high --level 41 \
    --width 1280 --height 720 --bitrate 5000 --frame-rate 30
run mute-on 0 'change:{"changed":true,"written":["mute"]}' -- mute on
run name 0 'change:{"changed":true,"written":["program_name"]}' -- name "News 24"
run status-advanced 0 'status:{"output":{"mode":"advanced","profile":"high","level":41,"width":1280,"height":720,"bitrate":5000,"frame_rate":30},"mute":true,"program_name":"News 24"}' -- status
cp "$out/status-advanced.json" "$work/card.json"
run name-latin1 0 'change:{"changed":true,"written":["program_name"]}' -- name $'Caf\xe9'
run status-latin1 0 'status:{"program_name":"Café","program_name_hex":"436166e9"}' -- status
run refused-latin1 2 'error:{"exit":2}' -- set preset $'\xe9'
stdin=$work/card.json run apply-name 0 'change:{"changed":true,"written":["program_name"]}' -- apply -
# diff: the card against a description it stores, then against one it does not
run diff-same 0 'diff:{"different":false,"would_write":[]}' -- diff "$work/card.json"
run name-other 0 'change:{"changed":true}' -- name "Sport 2"
run diff-name 1 'diff:{"different":true,"would_write":["program_name"]}' -- diff "$work/card.json"
run name-back 0 'change:{"changed":true}' -- name "News 24"
run partial 1 'error:{"exit":1,"changed":true,"written":["output"]}' --fault busy=forever -- set preset 6
run help 0 help -- --help
run help-set 0 help -- help set
run version 0 version -- --version
run set-auto 0 'change:{"changed":true}' -- set auto
run apply 0 'change:{"changed":true,"written":["output"]}' -- apply "$work/card.json"
stdin=$work/card.json run apply-stdin 0 'change:{"changed":false}' -- apply -
run name-latin1-again 0 'change:{"changed":true}' -- name $'Caf\xe9'
stdin=$work/card.json run diff-latin1 1 'diff:{"would_write":["program_name"]}' -- diff -
echo '{"mute": false}' >"$work/mute-off.json"
run diff-mute 1 'diff:{"would_write":["mute"],"before":{"mute":true},"after":{"mute":false}}' -- diff "$work/mute-off.json"
run by-mac 0 status -- --mac 00:1a:2b:3c:4d:5e status
run reset-capture 0 'reset:{"reset":"capture"}' -- reset capture
run reset-mcu 0 'reset:{"reset":"mcu","busy_rounds":3}' --fault busy=3 -- reset mcu
run flash-id 0 'flash_id:{"known":true,"size":4194304}' -- flash id
# A 64 KiB flash (capacity code 0x10) is read in a moment; the card's own
# 4 MiB one takes seconds.
small=(--flash-id c2:20:10)
run flash-read 0 'flash_read:{"size":65536}' "${small[@]}" -- flash read "$work/flash.bin"
run flash-verify 0 'flash_verify:{"identical":true}' "${small[@]}" -- flash verify "$work/flash.bin"
if [[ -s $work/flash.bin ]]; then
    printf '\x00' | dd of="$work/flash.bin" bs=1 seek=4660 conv=notrunc status=none
    run flash-differs 1 'flash_verify:{"identical":false,"first_difference":4660}' "${small[@]}" -- \
        flash verify "$work/flash.bin"
fi
run list 0 list --node 0:0 --node 1:0 --node 1:1 -- list
# Nodes that cannot be used: one that fails the identifying read, and one
# that another process holds open (the shell, whose descriptor 3 is the node;
# a 64-bit shell, so only where ravelinctl is 64-bit too).
run list-failing 0 list --fault reg-read-fail -- list
unusable=(list-failing)
if [[ ${RAVELIN_POINTER_SIZE:-8} == 8 ]]; then
    "$cardsim" --state "$state" --node 0:0 --node 1:0 -- \
        sh -c 'exec 3<>/dev/dvb/adapter1/frontend0 && exec "$0" --json list' "$ctl" >"$out/list-busy.json"
    rc=$?
    ((rc == 0)) || { echo "FAIL: list-busy: ravelinctl --json list exited with $rc"; failed=$((failed + 1)); }
    pairs+=(list "$out/list-busy.json")
    unusable+=(list-busy)
fi
for name in "${unusable[@]}"; do
    grep -q '"kind": *"unusable"' "$out/$name.json" ||
        { echo "FAIL: $name: no unusable node:"; cat "$out/$name.json"; failed=$((failed + 1)); }
done

# What the programs never store, written into the simulated EEPROM by hand:
# poke ADDRESS BYTE...
poke()
{
    local addr=$1
    shift
    printf "$(printf '\\x%02x' "$@")" | dd of="$state/eeprom" bs=1 seek="$addr" conv=notrunc status=none
}
run set-advanced-again 0 'change:{"changed":true}' -- set advanced --profile main --level 30 \
    --width 480 --height 272 --bitrate 350 --frame-rate 24
poke 66 0 5   # the value of the ninth encoder entry, always 0
run status-inconsistent 0 'status:{"output":{"mode":"advanced","profile":"main","level":30,"width":480,"height":272,"bitrate":350,"frame_rate":24,"consistent":false}}' -- status
poke 16 0 0 0x60 0 0 9   # no entries, automatic mode off, preset 9
run status-invalid-preset 0 'status:{"output":{"mode":"none","invalid_preset":9}}' -- status
poke 21 0
run status-none 0 'status:{"output":{"mode":"none"}}' -- status
stdin=$out/status-none.json run apply-none 0 'change:{"changed":false}' -- apply -

# Refusals, exit status 2, before the card is touched.
run refuse-preset 2 'error:{"exit":2}' -- set preset 9
run refuse-mute 2 'error:{"exit":2}' -- mute maybe
run refuse-command 2 'error:{"exit":2}' -- frobnicate
run refuse-level 2 'error:{"exit":2}' -- set advanced --profile high --level 43 \
    --width 1280 --height 720 --bitrate 5000 --frame-rate 30
run refuse-adapter 2 'error:{"exit":2}' -- -a 08 status
echo '{"output": {"mode": "preset", "preset": 9}}' >"$work/bad.json"
run refuse-apply 2 'error:{"exit":2}' -- apply "$work/bad.json"
run refuse-diff 2 'error:{"exit":2}' -- diff "$work/bad.json"

# The node cannot be used: exit status 3.
run missing-node 3 'error:{"exit":3}' -- -a 5 status
run missing-mac 3 'error:{"exit":3}' -- --mac 00:00:00:00:00:01 status

# Card faults: exit status 1, naming the step.
run fault-write 1 'error:{"exit":1}' --fault write-error -- mute off
run fault-register 1 'error:{"exit":1}' --fault reg-read-fail -- status
run fault-receiver 1 'error:{"exit":1}' --fault receiver-busy -- status
run fault-completion 1 'error:{"exit":1}' --fault no-completion -- set preset 1
run fault-busy 1 'error:{"exit":1}' --fault busy=forever -- reset capture
run fault-spi 1 'error:{"exit":1}' --fault spi-busy -- flash id

echo "validating $((${#pairs[@]} / 2)) outputs against $schema with $python"
"$python" "$validator" "$schema" --mutate "${pairs[@]}" || failed=$((failed + 1))
if ((failed)); then
    echo "json_schema: failed"
    exit 1
fi
echo "json_schema: every output is valid, and the schema refuses their broken copies"
