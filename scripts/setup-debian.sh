#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs what building and testing ravelin needs on Debian 12, 13 or
# testing: the build dependencies that debian/control lists, and what the
# README's commands need besides them (the i386 test tree's compilers,
# qemu-i386, Qt 6 for the tree that builds the window with it, clang and its
# libFuzzer for the fuzz tree, ansible-core for the test of the fleet
# playbook, Prometheus's promtool, its node exporter and curl for the test of
# the metrics, udev for its rule's check).  Asks for sudo when not root.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
extra="gcc-multilib g++-multilib qemu-user qt6-base-dev clang libclang-rt-dev ansible-core
  prometheus prometheus-node-exporter curl systemd udev"
missing=""
for p in $extra; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -z "$missing" ] && command -v dpkg-checkbuilddeps >/dev/null &&
   (cd "$top" && dpkg-checkbuilddeps) 2>/dev/null; then
  exit 0
fi
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
echo "Installing the build dependencies of debian/control and:$missing"
$sudo apt-get update -q
cd "$top"
DEBIAN_FRONTEND=noninteractive $sudo apt-get build-dep -y -q ./
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $extra
