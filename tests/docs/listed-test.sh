#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Fails when a document of the tree has examples (a "console" block in
# Markdown, an .EX block in a manual page) but is not listed for the
# examples' test, so that a new guide cannot escape it.
# Usage: listed-test.sh TOP LISTED-DOCUMENT...   (paths relative to TOP)
top=${1:?source tree}
shift
declare -A listed
for doc in "$@"; do
    [[ -e $top/$doc ]] || { echo "listed but missing: $doc"; exit 1; }
    listed[$doc]=1
done

cd "$top" || exit 2
missing=0
shopt -s nullglob globstar
for doc in *.md docs/**/*.md packaging/man/*.[1-9]; do
    case $doc in
    *.md) grep -q '^```console[[:space:]]*$' "$doc" || continue ;;
    *) grep -q '^\.EX[[:space:]]*$' "$doc" || continue ;;
    esac
    if [[ -z ${listed[$doc]:-} ]]; then
        echo "$doc has examples but is not listed in tests/docs/CMakeLists.txt"
        missing=$((missing + 1))
    fi
done
echo "documents with examples not listed: $missing"
((missing == 0))
