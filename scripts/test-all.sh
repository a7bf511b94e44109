#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Sets up, builds the x86-64, i386, sanitizer and fuzz trees, and runs every test
# in each (in the fuzz tree: a fixed number of executions of each fuzz target);
# then the window's tests in a tree that builds it with Qt 6 (the rest of that
# tree is the x86-64 one again).
# All trees are built first: some tests of one tree use the other class's interposer.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup-debian.sh"
jobs=$(nproc 2>/dev/null || echo 2)
for tree in x86-64 i386 asan fuzz; do
  echo "=== $tree: build"
  "$top/scripts/build.sh" "$tree"
done
echo "=== qt6: build the window's tests"
"$top/scripts/build.sh" qt6 tst_gui_form tst_gui_window tst_gui_command tst_gui_hdmi
status=0
for dir in build build-i386 build-asan build-fuzz; do
  echo "=== $dir: test"
  (cd "$top/$dir" && ctest --output-on-failure -j "$jobs") || status=1
done
echo "=== build-qt6: test the window"
(cd "$top/build-qt6" && ctest --output-on-failure -j "$jobs" -R '^gui_') || status=1
exit $status
