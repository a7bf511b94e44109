#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks an installed tree the way a user meets it: the programs run from
# their installed paths, cardsim finds its installed interposer, man pages
# render, the desktop entry validates and the completions load.
#
# Usage: check-installed.sh ROOT [ROOT32]
#   ROOT    root of an install of the 64-bit packages (dpkg -x, or
#           DESTDIR=ROOT cmake --install with prefix /usr)
#   ROOT32  root holding the i386 ravelins, run through ROOT's cardsim
# Environment: RAVELIN_EMULATOR runs ROOT's programs (e.g. qemu-i386).
# Prints one PASS/FAIL line per check; exits 1 if any failed.
root=${1:?root of the installed tree}
root32=${2:-}
emu=${RAVELIN_EMULATOR:-}
failed=0
passed=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

# have PROGRAM PACKAGE: the tool is there, or a failure names its package
have()
{
    command -v "$1" >/dev/null && return 0
    fail "$1 not found: install the Debian package $2"
    return 1
}

# usage text of ravelins, byte for byte
usage_text()
{
    printf '\n'
    printf 'Usage: ravelins:\n'
    printf -- '-a <adapter> -n <frontend number> \n'
    printf -- '-i : putout the information format of the input\n'
    printf -- '-r : software reset\n'
    printf -- '-R : MCU reset\n'
    printf -- '-N : Mac address \n'
    printf '\n\n'
    printf -- '-c : check the latest configuration of the output format\n'
    printf -- '-x : set output mute(1:mute,0:normal) when audio and video are out of sync\n'
    printf -- '-K <progName> : set program Name \n'
    printf 'set output Format,one of the following three:\n'
    printf '\n'
    printf 'Auto mode: -A (the same with input format)\n'
    printf '\n'
    printf 'Manual: -M (1--7,1:super 1920*1080,2:ultra 1440*1080,3:excellent 1280*720,4:good 1120*720,5:fair 960*540,6:poor 800*480,7:mobile 480*272)\n'
    printf '\n'
    printf 'Advanced: -p : profile(0:high, 1:Main) -l :level (30/31/32/40/41/42) -H(size) -V(size)(1920*1080--480*272) -B : bitRate(350--18000K) -F : frameRate : (24--60)\n'
    printf '~Output Format:\n'
    printf '\n'
}
usage_text >"$work/usage.expected"

# check_usage LABEL RAVELINS [ARGS...]: usage text on stdout, status 1
check_usage()
{
    local label=$1
    shift
    "$@" >"$work/out" 2>"$work/err"
    local rc=$?
    if [[ $rc -eq 1 ]] && cmp -s "$work/out" "$work/usage.expected"; then
        pass "$label prints the usage text and exits with 1"
    else
        fail "$label: exit status $rc, output differs from the usage text:"
        diff "$work/usage.expected" "$work/out" | head -20
    fi
}

# check_simulated LABEL CARDSIM RAVELINS: cardsim -- ravelins -i from the
# installed paths reports the simulated input signal
check_simulated()
{
    local label=$1 cardsim=$2 ravelins=$3 state
    state=$(mktemp -d "$work/state.XXXXXX")
    $emu "$cardsim" --state "$state" --signal 1280x720@50i -- "$ravelins" -i \
        >"$work/out" 2>"$work/err"
    local rc=$?
    printf 'input format:\nVRow= 1280, VColumn= 720, VFreq= 50, VScan= 0\n' >"$work/sim.expected"
    if [[ $rc -eq 0 ]] && cmp -s "$work/out" "$work/sim.expected"; then
        pass "$label"
    else
        fail "$label: exit status $rc; stdout and stderr:"
        cat "$work/out" "$work/err" | head -20
    fi
}

# emulator_for PROGRAM: what runs PROGRAM here: RAVELIN_EMULATOR, or
# qemu-i386 for an i386 program the kernel refuses to execute (status 126),
# as on a kernel without 32-bit support once the i386 package is installed.
emulator_for()
{
    if [[ -n $emu ]]; then
        echo "$emu"
        return
    fi
    "$1" --help >/dev/null 2>&1 </dev/null
    [[ $? -eq 126 ]] && command -v qemu-i386
    return 0
}

# check_ctl LABEL CARDSIM RAVELINCTL [EMULATOR]: its help (run by EMULATOR,
# if given), and its JSON status of the simulated card's input signal
check_ctl()
{
    local label=$1 cardsim=$2 ctl=$3 ctl_emu=${4-$emu} state rc
    $ctl_emu "$ctl" --help >"$work/out" 2>"$work/err"
    rc=$?
    if [[ $rc -eq 0 ]] && head -1 "$work/out" | grep -q '^Usage: ravelinctl '; then
        pass "$label --help"
    else
        fail "$label --help: exit status $rc; stdout and stderr:"
        cat "$work/out" "$work/err" | head -20
    fi
    state=$(mktemp -d "$work/state.XXXXXX")
    $emu "$cardsim" --state "$state" --signal 1280x720@50i -- "$ctl" --json status >"$work/out" 2>"$work/err"
    rc=$?
    if [[ $rc -eq 0 ]] && tr -d ' \n' <"$work/out" |
        grep -q '"input":{"width":1280,"height":720,"rate":50,"progressive":false}'; then
        pass "cardsim -- $label --json status reports the simulated input signal"
    else
        fail "cardsim -- $label --json status: exit status $rc; stdout and stderr:"
        cat "$work/out" "$work/err" | head -30
    fi
}

bin=$root/usr/bin
if [[ -x $bin/ravelins ]]; then
    bin_emu=$(emulator_for "$bin/ravelins")
    check_usage "ravelins (no arguments)" $bin_emu "$bin/ravelins"
    check_usage "ravelins --help" $bin_emu "$bin/ravelins" --help
fi
if [[ -x $bin/cardsim && -x $bin/ravelins ]]; then
    check_simulated "cardsim -- ravelins -i from $bin" "$bin/cardsim" "$bin/ravelins"
fi
if [[ -x $bin/cardsim && -x $bin/ravelinctl ]]; then
    check_ctl "ravelinctl from $bin" "$bin/cardsim" "$bin/ravelinctl" "$(emulator_for "$bin/ravelinctl")"
fi
if [[ -n $root32 ]]; then
    if [[ -x $root32/usr/bin/ravelins ]]; then
        emu32=$(emulator_for "$root32/usr/bin/ravelins")
        check_usage "i386 ravelins (no arguments)" $emu32 "$root32/usr/bin/ravelins"
    else
        fail "no i386 ravelins in $root32/usr/bin"
    fi
    if [[ -x $bin/cardsim && -f $root/usr/lib/i386-linux-gnu/cardsim/libcardsim.so ]]; then
        check_simulated "cardsim -- i386 ravelins -i (i386 interposer)" "$bin/cardsim" "$root32/usr/bin/ravelins"
        if [[ -x $root32/usr/bin/ravelinctl ]]; then
            check_ctl "i386 ravelinctl" "$bin/cardsim" "$root32/usr/bin/ravelinctl" "$emu32"
        else
            fail "no i386 ravelinctl in $root32/usr/bin"
        fi
        # A script may start programs of both classes; each gets its own interposer.
        if [[ -z $emu32 && -z $emu ]]; then
            printf '#!/bin/sh\n"%s" -i && "%s" -i\n' "$root32/usr/bin/ravelins" "$bin/ravelins" >"$work/both.sh"
            chmod +x "$work/both.sh"
            state=$(mktemp -d "$work/state.XXXXXX")
            "$bin/cardsim" --state "$state" --signal 1280x720@50i -- "$work/both.sh" >"$work/out" 2>"$work/err"
            rc=$?
            printf 'input format:\nVRow= 1280, VColumn= 720, VFreq= 50, VScan= 0\n%.0s' 1 2 >"$work/both.expected"
            if [[ $rc -eq 0 ]] && cmp -s "$work/out" "$work/both.expected"; then
                pass "a script under cardsim runs the i386 and the 64-bit ravelins, both simulated"
            else
                fail "script with both classes: exit status $rc; stdout and stderr:"
                cat "$work/out" "$work/err" | head -20
            fi
        fi
    fi
fi

# Every man page renders without a warning from man or groff.
for page in "$root"/usr/share/man/man1/{ravelins,ravelinctl,ravelin,cardsim}.1.gz \
    ${root32:+"$root32"/usr/share/man/man1/ravelins.1.gz}; do
    [[ -f $page ]] || continue
    have man man-db || break
    shown=${page#"$root32"}
    [[ $shown == "$page" ]] && shown=${page#"$root"} || shown="$shown (i386 package)"
    MANWIDTH=80 man --warnings -l "$page" >"$work/out" 2>"$work/err"
    rc=$?
    if [[ $rc -eq 0 && ! -s $work/err && -s $work/out ]]; then
        pass "man -l $shown renders without warnings"
    else
        fail "man -l $page (status $rc):"
        head -20 "$work/err"
    fi
done

# The guides that a man page names in SEE ALSO are installed with its
# package.  A plain cmake install has no package folder under
# /usr/share/doc and installs no guides, so it is not checked here.
for page in "$root"/usr/share/man/man1/{ravelins,ravelin,cardsim}.1.gz; do
    [[ -f $page ]] || continue
    name=$(basename "$page" .1.gz)
    [[ -f $root/usr/share/doc/$name/copyright ]] || continue
    named=$(gzip -dc "$page" | grep -o '/usr/share/doc/[^ ]*' | sort -u)
    for doc in $named; do
        if [[ -f $root$doc ]]; then
            pass "$name(1) names $doc, which is installed"
        else
            fail "$name(1) names $doc, which is not in $root"
        fi
    done
done

desktop=$root/usr/share/applications/ravelin.desktop
if [[ -f $desktop ]] && have desktop-file-validate desktop-file-utils; then
    if desktop-file-validate "$desktop" >"$work/out" 2>&1 && ! grep -q . "$work/out"; then
        pass "desktop-file-validate ${desktop#"$root"}"
    else
        fail "desktop-file-validate $desktop:"
        cat "$work/out"
    fi
    icon=$(sed -n 's/^Icon=//p' "$desktop")
    if [[ -f $root/usr/share/icons/hicolor/scalable/apps/$icon.svg ]]; then
        pass "icon $icon.svg installed in the hicolor theme"
    else
        fail "the desktop entry names icon '$icon', which is not installed"
    fi
    exe=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
    if [[ -x $bin/$exe ]]; then
        pass "the desktop entry runs the installed $exe"
    else
        fail "the desktop entry runs '$exe', which is not in $bin"
    fi
fi

for prog in ravelins ravelinctl cardsim; do
    comp=$root/usr/share/bash-completion/completions/$prog
    [[ -f $comp ]] || continue
    if out=$(bash -c 'source "$1" && complete -p "$2"' _ "$comp" "$prog" 2>&1) &&
        [[ $out == "complete -F _$prog $prog" ]]; then
        pass "bash completion for $prog loads ($out)"
    else
        fail "bash completion for $prog: $out"
    fi
done

# The rack's pieces, beside ravelinctl: the metrics timer and its service,
# the unit the udev rule starts, the rule; each runs the installed ravelinctl.
if [[ -x $bin/ravelinctl ]]; then
    for unit in lib/systemd/system/ravelin-metrics.service lib/systemd/system/ravelin-metrics.timer \
                lib/systemd/system/ravelin-configure@.service lib/udev/rules.d/60-ravelin.rules; do
        if [[ -f $root/usr/$unit ]]; then
            pass "/usr/$unit installed"
        else
            fail "/usr/$unit is not installed"
        fi
    done
    for unit in "$root"/usr/lib/systemd/system/ravelin-*.service; do
        [[ -f $unit ]] || continue
        exe=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
        if [[ $exe == /usr/bin/ravelinctl ]]; then
            pass "${unit##*/} runs the installed ravelinctl"
        else
            fail "${unit##*/} runs '$exe'"
        fi
    done
    rule_wants=$(sed -n 's/.*SYSTEMD_WANTS}+="\(ravelin-configure@\).*/\1.service/p' \
                 "$root/usr/lib/udev/rules.d/60-ravelin.rules" 2>/dev/null)
    if [[ -n $rule_wants && -f $root/usr/lib/systemd/system/$rule_wants ]]; then
        pass "the udev rule starts the installed $rule_wants"
    else
        fail "the udev rule starts no installed ravelin-configure@.service"
    fi
fi

echo "installed tree: $passed passed, $failed failed"
((failed == 0))
