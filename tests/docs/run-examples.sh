#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs the examples of one document against the simulated card and compares
# what they print with what the document shows.
#
# Usage: run-examples.sh [--list] DOCUMENT
#   DOCUMENT  a Markdown file (*.md) or a manual page (*.1)
#   --list    print the examples found, run nothing
# Environment: PATH must find the ravelins, ravelin and cardsim to test.
#
# An example is a terminal session: in Markdown a fenced block marked
# "console", in a manual page an .EX/.EE block.  Lines that start with "$ "
# are commands (one whose line ends in a backslash goes on on the next line,
# as in the shell); what follows a command up to the next command is its
# output, standard output and standard error as a terminal shows them.  An
# output that ends without a newline is followed on the same line by the
# next prompt, as in a terminal, or ends the block.
#
# Each example gets a new card (its own cardsim state folder), a new empty
# working and home folder, and a temporary folder ($TMPDIR, for mktemp) that
# is removed with it.  Its commands run one after the other in one shell,
# so a later command sees what an earlier one stored.
# ravelins, ravelin and ravelinctl written bare run under "cardsim --"; a
# command that names cardsim itself gets the card's state folder and keeps
# the options it shows.  A document with no example fails: it is listed to be tested.
#
# Exit status: 0 when every example printed what the document shows, 1 when
# one did not (each difference is shown), 2 for a bad document.
set -u

list_only=
if [[ ${1:-} == --list ]]; then
    list_only=1
    shift
fi
doc=${1:?usage: run-examples.sh [--list] DOCUMENT}
[[ -r $doc ]] || { echo "cannot read $doc" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The examples of the document, one file each, numbered; a second file
# .line holds the line number where each starts.
extract()
{
    case $doc in
    *.md)
        awk -v dir="$work" '
            /^```/ {
                if (!inside && $0 ~ /^```console[ \t]*$/) {
                    inside = 1; n++; f = sprintf("%s/ex%03d", dir, n)
                    printf "" > f; print NR + 1 > (f ".line"); next
                }
                if (inside) { inside = 0; close(f); next }
            }
            inside { print > f }
            END { if (inside) { print "unterminated example at the end" > "/dev/stderr"; exit 2 } }
        ' "$doc"
        ;;
    *.[1-9])
        # Roff escapes that may stand in an example; any other is refused so
        # that no example is compared in a form the reader does not see.
        awk -v dir="$work" '
            function unescape(s,   out, c) {
                out = ""
                while ((i = index(s, "\\")) > 0) {
                    out = out substr(s, 1, i - 1); s = substr(s, i + 1)
                    if (s ~ /^-/) { out = out "-"; s = substr(s, 2) }
                    else if (s ~ /^e/) { out = out "\\"; s = substr(s, 2) }
                    else if (s ~ /^&/) { s = substr(s, 2) }
                    else if (s ~ /^ /) { out = out " "; s = substr(s, 2) }
                    else if (s ~ /^\(aq/) { out = out "\047"; s = substr(s, 4) }
                    else if (s ~ /^\(dq/) { out = out "\""; s = substr(s, 4) }
                    else if (s ~ /^\(ti/) { out = out "~"; s = substr(s, 4) }
                    else if (s ~ /^\(ha/) { out = out "^"; s = substr(s, 4) }
                    else if (s ~ /^\(ga/) { out = out "`"; s = substr(s, 4) }
                    else {
                        printf "line %d: escape \\%s not known in an example\n", NR, substr(s, 1, 3) > "/dev/stderr"
                        bad = 1; s = substr(s, 2)
                    }
                }
                return out s
            }
            /^\.EX[ \t]*$/ { inside = 1; n++; f = sprintf("%s/ex%03d", dir, n); printf "" > f; print NR + 1 > (f ".line"); next }
            /^\.EE[ \t]*$/ { if (inside) { inside = 0; close(f) }; next }
            inside && /^\.\\"/ { next }
            inside && /^[.\047]/ { printf "line %d: request %s inside an example\n", NR, $1 > "/dev/stderr"; bad = 1; next }
            inside { print unescape($0) > f }
            END { if (inside || bad) exit 2 }
        ' "$doc"
        ;;
    *)
        echo "$doc: not a Markdown file or a manual page" >&2
        return 2
        ;;
    esac
}

extract || exit 2
shopt -s nullglob
examples=("$work"/ex[0-9][0-9][0-9])
if ((${#examples[@]} == 0)); then
    echo "$doc: no examples found" >&2
    exit 2
fi

if [[ -n $list_only ]]; then
    for ex in "${examples[@]}"; do
        echo "== $doc:$(cat "$ex.line")"
        cat "$ex"
    done
    exit 0
fi

# run_example FILE: runs one session in a subshell of its own; prints the
# differences and returns 1 when the output is not what the document shows.
run_example()
(
    _ex_file=$1
    _ex_line=$(cat "$_ex_file.line")
    _ex_state=$(mktemp -d "$work/state.XXXXXX")
    _ex_home=$(mktemp -d "$work/home.XXXXXX")
    TMPDIR=$(mktemp -d "$work/tmp.XXXXXX") || exit 2
    export TMPDIR
    _ex_out=$work/out
    _ex_rest=$(cat "$_ex_file"; printf x)
    _ex_rest=${_ex_rest%x}

    # Bare program names reach the simulated card; cardsim gets this
    # example's card and the options the example gives it.
    ravelins() { command cardsim --state "$_ex_state" -- ravelins "$@"; }
    ravelin() { command cardsim --state "$_ex_state" -- ravelin "$@"; }
    ravelinctl() { command cardsim --state "$_ex_state" -- ravelinctl "$@"; }
    cardsim() { command cardsim --state "$_ex_state" "$@"; }
    _ex_status() { return "$1"; }

    export HOME=$_ex_home
    cd "$_ex_home" || exit 2
    _ex_last=0
    _ex_n=0
    while [[ -n $_ex_rest ]]; do
        if [[ $_ex_rest != '$ '* ]]; then
            echo "$doc:$_ex_line: example: expected a command (\"\$ \"), found:"
            printf '%s\n' "${_ex_rest%%$'\n'*}"
            return 1
        fi
        _ex_cmd=${_ex_rest%%$'\n'*}
        _ex_rest=${_ex_rest#"$_ex_cmd"}
        _ex_rest=${_ex_rest#$'\n'}
        while [[ $_ex_cmd == *'\' && -n $_ex_rest ]]; do
            _ex_more=${_ex_rest%%$'\n'*}
            _ex_rest=${_ex_rest#"$_ex_more"}
            _ex_rest=${_ex_rest#$'\n'}
            _ex_cmd+=$'\n'$_ex_more
        done
        _ex_cmd=${_ex_cmd#'$ '}
        _ex_n=$((_ex_n + 1))
        _ex_status "$_ex_last"
        eval "$_ex_cmd" </dev/null >"$_ex_out" 2>&1
        _ex_last=$?
        _ex_got=$(cat "$_ex_out"; printf x)
        _ex_got=${_ex_got%x}
        # The output must be all the document shows before the next prompt.
        if [[ $_ex_rest == "$_ex_got"* ]]; then
            _ex_after=${_ex_rest#"$_ex_got"}
            if [[ -z $_ex_after || $_ex_after == "\$ "* ]]; then
                _ex_rest=$_ex_after
                continue
            fi
        fi
        # The document's output of this command: up to the next prompt at
        # the start of a line.
        _ex_want=$_ex_rest
        if [[ $_ex_want == *$'\n$ '* ]]; then
            _ex_want=${_ex_want%%$'\n$ '*}$'\n'
        fi
        echo "$doc:$_ex_line: example, command $_ex_n: \$ $_ex_cmd"
        diff -u --label "shown in the document" --label "printed (exit status $_ex_last)" \
            <(printf "%s" "$_ex_want") "$_ex_out"
        return 1
    done
    return 0
)

failed=0
for ex in "${examples[@]}"; do
    if ! run_example "$ex"; then
        failed=$((failed + 1))
    fi
done
echo "$doc: ${#examples[@]} examples, $failed failed"
((failed == 0))
