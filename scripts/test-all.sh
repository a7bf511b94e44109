#!/bin/sh
# Sets up, builds the x86-64, i386 and sanitizer trees, and runs every test in each.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup-debian.sh"
jobs=$(nproc 2>/dev/null || echo 2)
status=0
for tree in x86-64 i386 asan; do
  echo "=== $tree: build"
  "$top/scripts/build.sh" "$tree"
  case $tree in x86-64) dir=build ;; i386) dir=build-i386 ;; asan) dir=build-asan ;; esac
  echo "=== $tree: test"
  (cd "$top/$dir" && ctest --output-on-failure -j "$jobs") || status=1
done
exit $status
