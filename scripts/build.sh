#!/bin/sh
# Configures and builds one tree: build.sh x86-64|i386|asan
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)
case "${1:-x86-64}" in
  x86-64) dir=build;      opts="" ;;
  i386)   dir=build-i386; opts="-DCMAKE_TOOLCHAIN_FILE=$top/cmake/i386.cmake -DRAVELIN_FORCE_QEMU=ON" ;;
  asan)   dir=build-asan; opts="-DRAVELIN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug" ;;
  *) echo "usage: build.sh x86-64|i386|asan" >&2; exit 2 ;;
esac
# shellcheck disable=SC2086
cmake -S "$top" -B "$top/$dir" -G Ninja $opts >/dev/null
cmake --build "$top/$dir" -j "$jobs"
