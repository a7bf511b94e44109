#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Configures and builds one tree: build.sh x86-64|i386|asan|fuzz|qt6 [TARGET...]
# (with targets, only those and what they need)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
tree=${1:-x86-64}
[ $# -eq 0 ] || shift
case "$tree" in
  x86-64) dir=build;      opts="" ;;
  # Natively where the kernel runs 32-bit programs, else through qemu-i386
  # (cmake/Emulator32.cmake); -DRAVELIN_FORCE_QEMU=ON by hand runs all of it through qemu.
  i386)   dir=build-i386; opts="-DCMAKE_TOOLCHAIN_FILE=$top/cmake/i386.cmake -URAVELIN_FORCE_QEMU" ;;
  asan)   dir=build-asan; opts="-DRAVELIN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug" ;;
  # The simulator's libFuzzer targets, built with clang; nothing else.
  fuzz)   dir=build-fuzz; opts="-DRAVELIN_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++" ;;
  # The x86-64 tree with the window built on Qt 6 instead of Qt 5.
  qt6)    dir=build-qt6;  opts="-DRAVELIN_QT=6" ;;
  *) echo "usage: build.sh x86-64|i386|asan|fuzz|qt6 [TARGET...]" >&2; exit 2 ;;
esac
# Some tests run a script whose programs are of the other class: they take
# that class's interposer from the sibling tree, when it has been built.
case "$dir" in
  build-i386) opts="$opts -DRAVELIN_OTHER_CLASS_PRELOAD=$top/build/sim/libcardsim.so" ;;
  build|build-asan|build-qt6) opts="$opts -DRAVELIN_OTHER_CLASS_PRELOAD=$top/build-i386/sim/libcardsim.so" ;;
esac
# shellcheck disable=SC2086
cmake -S "$top" -B "$top/$dir" -G Ninja $opts >/dev/null
cmake --build "$top/$dir" -j "$jobs" ${1+--target "$@"}
