#!/bin/sh
# Installs what building and testing ravelin needs on Debian 12 (asks for sudo when not root).
set -eu
packages="cmake ninja-build g++ gcc-multilib g++-multilib qemu-user qtbase5-dev googletest
  xvfb xauth dpkg-dev file"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
echo "Installing:$missing"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q $missing
