#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs COMMAND as a kernel of the other kind would: in a user and mount
# namespace of its own, whose binfmt_misc (Linux 6.7 or later) takes every
# 32-bit x86 program before the kernel's own loader does. Nothing outside
# the namespace changes; root keeps its user IDs (all are mapped).
#
# Usage: scripts/ia32-kernel.sh none|qemu COMMAND [ARG...]
#   none  each start of a 32-bit program fails with "Exec format error", as
#         on a kernel without 32-bit support
#   qemu  each starts through qemu-i386 as if the kernel ran it, as a
#         binfmt_misc entry makes a kernel without 32-bit support do
set -eu
usage() { echo "usage: ia32-kernel.sh none|qemu COMMAND [ARG...]" >&2; exit 2; }
[ $# -ge 2 ] || usage
mode=$1
case "$mode" in
  none) handler=$(mktemp) && printf 'no program\n' > "$handler" && chmod 755 "$handler" ;;
  qemu) handler=$(command -v qemu-i386) || { echo "ia32-kernel.sh: no qemu-i386 (apt-get install qemu-user)" >&2; exit 1; } ;;
  *) usage ;;
esac
shift
# The ELF header of a 32-bit x86 executable or shared object, and its mask.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
inner='mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc &&
  printf "%s" ":ravelin-i386:M::$1:$2:$3:" > /proc/sys/fs/binfmt_misc/register && shift 3 && exec "$@"'
status=0
if [ "$(id -u)" -ne 0 ]; then
  unshare --user --map-root-user --mount sh -c "$inner" sh "$magic" "$mask" "$handler" "$@" || status=$?
else
  # Root maps every user ID, so that setpriv --reuid=nobody works inside. The
  # map is written once the namespace exists (the process in it gives its
  # pid on a pipe) and before anything runs in it (it waits for "go").
  fifos=$(mktemp -d)
  mkfifo "$fifos/pid" "$fifos/go"
  exec 3<>"$fifos/pid" 4<>"$fifos/go"
  rm -r "$fifos"
  { unshare --user --mount sh -c 'echo $$ >&3 && read -r go <&4 && [ "$go" = go ] && exec 3>&- 4>&- &&
      '"$inner" sh "$magic" "$mask" "$handler" "$@" || echo failed >&3; } &
  runner=$!
  read -r pid <&3
  if [ "$pid" != failed ] && echo "0 0 4294967295" > "/proc/$pid/uid_map" &&
     echo "0 0 4294967295" > "/proc/$pid/gid_map"; then
    echo go >&4
  else
    echo stop >&4
    status=1
  fi
  wait "$runner" || status=$?
fi
[ "$mode" != none ] || rm -f "$handler"
exit "$status"
