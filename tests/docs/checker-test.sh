#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks run-examples.sh on small documents: what is shown right passes,
# every kind of changed output fails, each example gets a new card.
# Usage: checker-test.sh RUN-EXAMPLES.SH   (PATH finds ravelins and cardsim)
run=${1:?path of run-examples.sh}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

# expect STATUS NAME [GREP-PATTERN]: the checker on $work/NAME exits with
# STATUS and, if given, says something matching the pattern.
expect()
{
    local want=$1 name=$2 pattern=${3:-}
    bash "$run" "$work/$name" >"$work/log" 2>&1
    local got=$?
    if [[ $got -ne $want ]]; then
        echo "FAIL: $name: exit status $got, expected $want"
        sed 's/^/    /' "$work/log"
        failed=$((failed + 1))
    elif [[ -n $pattern ]] && ! grep -q -- "$pattern" "$work/log"; then
        echo "FAIL: $name: no \"$pattern\" in:"
        sed 's/^/    /' "$work/log"
        failed=$((failed + 1))
    else
        echo "PASS: $name"
    fi
}

fence='```'
# md NAME BODY: a Markdown document with one console example
md()
{
    printf 'Text.\n\n%sconsole\n%s%s\n\nMore text.\n' "$fence" "$2" "$fence" >"$work/$1"
}

good=$'$ ravelins -M 3\nset output format to manual mode:\nexcellent 1280*720 \nFormat is setting, please wait...\nFormat is set OK!\n$ ravelins -c\nthe latest setting is Manual mode:excellent 1280*720 \n'
md good.md "$good"
expect 0 good.md "1 examples, 0 failed"

md changed-line.md "${good/Format is set OK!/Format is set!}"
expect 1 changed-line.md "^+Format is set OK!"

md trailing-blank.md "${good/Manual mode:excellent 1280\*720 /Manual mode:excellent 1280*720}"
expect 1 trailing-blank.md "command 2: \$ ravelins -c"

md missing-line.md "${good/Format is setting, please wait...$'\n'/}"
expect 1 missing-line.md "^+Format is setting, please wait..."

md extra-line.md "$good"$'surplus\n'
expect 1 extra-line.md "^-surplus"

md no-output-shown.md $'$ ravelins -N\n'
expect 1 no-output-shown.md "^+mac address"

# An output without a newline: the next prompt follows on its line.
md no-newline.md $'$ ravelins -a 2 -i\nopening device /dev/dvb/adapter2/frontend0 failed (No such file or directory)$ echo $?\n1\n'
expect 0 no-newline.md
md no-newline-wrong.md $'$ ravelins -a 2 -i\nopening device /dev/dvb/adapter2/frontend0 failed (No such file or directory)\n$ echo $?\n1\n'
expect 1 no-newline-wrong.md "No newline"

# Each example has a card of its own: the second one sees no preset 3.
printf '%sconsole\n$ ravelins -M 3 >/dev/null\n%s\n\n%sconsole\n$ ravelins -c\nthe latest setting is Auto mode!\n%s\n' \
    "$fence" "$fence" "$fence" "$fence" >"$work/new-card.md"
expect 0 new-card.md "2 examples, 0 failed"

# cardsim options written in the example reach cardsim.
md node.md $'$ cardsim --node 1:0 --signal 1280x720@50i -- ravelins -a 1 -i\ninput format:\nVRow= 1280, VColumn= 720, VFreq= 50, VScan= 0\n'
expect 0 node.md

# A command continued with a backslash is one command; its second line is
# not taken for output.
md continued.md $'$ cardsim --node 1:0 \\\n    --signal 1280x720@50i -- ravelins -a 1 -i\ninput format:\nVRow= 1280, VColumn= 720, VFreq= 50, VScan= 0\n'
expect 0 continued.md "1 examples, 0 failed"
md continued-wrong.md $'$ cardsim --node 1:0 \\\n    --signal 1280x720@50i -- ravelins -a 1 -i\ninput format:\nVRow= 1280, VColumn= 720, VFreq= 60, VScan= 0\n'
expect 1 continued-wrong.md "^+VRow= 1280, VColumn= 720, VFreq= 50, VScan= 0"

# mktemp makes its folders inside the example's own temporary folder, which
# is new for each example.
printf '%sconsole\n$ d=$(mktemp -d); touch "$d/mark"; ls "$TMPDIR"/*/mark | wc -l\n1\n%s\n\n%sconsole\n$ ls -A "$TMPDIR" | wc -l\n0\n%s\n' \
    "$fence" "$fence" "$fence" "$fence" >"$work/tmpdir.md"
expect 0 tmpdir.md "2 examples, 0 failed"

# A block not marked console is not run.
printf '%ssh\n$ ravelins -i\nnot what it prints\n%s\n' "$fence" "$fence" >"$work/not-console.md"
expect 2 not-console.md "no examples found"

# Manual pages: .EX/.EE blocks, roff escapes undone.
cat >"$work/page.1" <<'EOF'
.TH T 1
.SH EXAMPLES
.EX
$ ravelins \-\-manual=3 \-c
the latest setting is Auto mode!
set output format to manual mode:
excellent 1280*720 \&
Format is setting, please wait...
Format is set OK!
$ printf \(aq%s\en\(aq 00Capture
00Capture
.EE
EOF
expect 0 page.1
sed 's/Auto mode!/Manual mode!/' "$work/page.1" >"$work/changed.1"
expect 1 changed.1 "^-the latest setting is Manual mode!"
sed 's/\\(aq/\\(oq/' "$work/page.1" >"$work/escape.1"
expect 2 escape.1 "not known in an example"

echo "checker: $failed failed"
((failed == 0))
