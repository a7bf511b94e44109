#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks the committed tree on a pristine Debian: makes a chroot of SUITE
# with nothing but apt in it (mmdebstrap --variant=apt), copies in
# `git archive HEAD`, runs the README's test command there, then builds and
# checks the Debian packages (scripts/build-packages.sh --install: both
# builds, the rebuild in another folder, lintian, hardening-check,
# autopkgtest, apt install, cardsim -- ravelins -i with amd64 and i386).
#
# Usage: scripts/check-pristine.sh [--packages-only | --tests-only] [--keep] [SUITE]
#   SUITE            bookworm (Debian 12, the default), trixie (13) or forky (testing)
#   --packages-only  skip the README's test command
#   --tests-only     skip the packages
#   --keep           keep the chroot (its path is printed)
# Needs root; installs mmdebstrap with apt when it is missing.
# Exits 1 if any step failed.
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: check-pristine.sh [--packages-only | --tests-only] [--keep] [bookworm|trixie|forky]"
readme_tests=yes
packages=yes
keep=no
suite=bookworm
for arg; do
    case $arg in
        --packages-only) readme_tests=no ;;
        --tests-only) packages=no ;;
        --keep) keep=yes ;;
        -*) echo "$usage" >&2; exit 2 ;;
        *) suite=$arg ;;
    esac
done
if [[ $readme_tests == no && $packages == no ]]; then
    echo "check-pristine.sh: --packages-only and --tests-only leave nothing to check" >&2
    exit 2
fi
# The testing suite's archive may be a snapshot older than its Release
# file's expiry; only there is an expired Release file accepted.
aptopts=()
case $suite in
    bookworm) label="Debian 12 (bookworm)" ;;
    trixie) label="Debian 13 (trixie)" ;;
    forky)
        label="Debian testing (forky)"
        aptopts=(--aptopt='Acquire::Check-Valid-Until "false"')
        ;;
    *)
        echo "check-pristine.sh: unknown suite '$suite'; known suites: bookworm (Debian 12, the default), trixie (Debian 13), forky (Debian testing)" >&2
        exit 2
        ;;
esac
if [[ $(id -u) -ne 0 ]]; then
    echo "check-pristine.sh makes a chroot: run it as root" >&2
    exit 2
fi
commit=$(git -C "$top" rev-parse --short HEAD) || {
    echo "check-pristine.sh checks the committed tree: $top is not a git checkout" >&2
    exit 2
}
if ! command -v mmdebstrap >/dev/null; then
    echo "installing mmdebstrap"
    apt-get update -q >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -q mmdebstrap >/dev/null ||
        { echo "cannot install mmdebstrap: apt-get install mmdebstrap" >&2; exit 2; }
fi

status=0
step() { printf '\n##### %s (%s)\n' "$*" "$(date -u +%H:%M:%S)"; }

root=$(mktemp -d /var/tmp/ravelin-pristine.XXXXXX)
rmdir "$root"
cleanup()
{
    if [[ $keep == yes ]]; then
        echo "chroot kept in $root"
    else
        rm -rf --one-file-system "$root"
    fi
}
trap cleanup EXIT

step "mmdebstrap --variant=apt ${aptopts[*]} $suite $root"
start=$SECONDS
if ! mmdebstrap --variant=apt "${aptopts[@]}" "$suite" "$root" >/tmp/mmdebstrap.$$.log 2>&1; then
    tail -20 /tmp/mmdebstrap.$$.log
    echo "FAIL: mmdebstrap"
    exit 1
fi
rm -f /tmp/mmdebstrap.$$.log
echo "$label chroot made in $((SECONDS - start)) s; $(chroot "$root" dpkg-query -W | wc -l) packages installed"
cp /etc/resolv.conf "$root/etc/resolv.conf"

step "git archive HEAD ($commit) into /root/ravelin"
mkdir -p "$root/root/ravelin"
git -C "$top" archive HEAD | tar -xf - -C "$root/root/ravelin"

# in_chroot COMMAND: runs COMMAND in the chroot, in /root/ravelin, with its
# own /proc, /dev/pts and /dev/shm that vanish with the mount namespace.
in_chroot()
{
    unshare --mount --propagation private --pid --fork -- /bin/sh -c '
        set -e
        r=$1; shift
        mount -t proc proc "$r/proc"
        mount -t devpts -o newinstance,ptmxmode=0666 devpts "$r/dev/pts"
        mount -t tmpfs tmpfs "$r/dev/shm"
        exec chroot "$r" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin \
            LANG=C.UTF-8 TERM=dumb /bin/bash -c "cd /root/ravelin && $*"' _ "$root" "$@"
}

if [[ $readme_tests == yes ]]; then
    step "the README's test command: scripts/test-all.sh"
    start=$SECONDS
    in_chroot scripts/test-all.sh >"$root/root/test-all.log" 2>&1
    rc=$?
    grep -E '^=== |tests passed|tests failed|^Installing|\*\*\*Failed|Failed  |FAIL' "$root/root/test-all.log"
    echo "scripts/test-all.sh exited with $rc after $((SECONDS - start)) s"
    if [[ $rc -ne 0 ]]; then
        tail -60 "$root/root/test-all.log"
        echo "FAIL: scripts/test-all.sh on a pristine $label"
        status=1
    else
        echo "PASS: scripts/test-all.sh on a pristine $label"
    fi
fi

if [[ $packages == yes ]]; then
    step "the packages: scripts/build-packages.sh --install /root/out"
    start=$SECONDS
    in_chroot scripts/build-packages.sh --install /root/out 2>&1
    rc=$?
    echo "scripts/build-packages.sh exited with $rc after $((SECONDS - start)) s"
    if [[ $rc -ne 0 ]]; then
        echo "FAIL: the packages on a pristine $label"
        status=1
    else
        echo "PASS: the packages on a pristine $label"
    fi
fi

step "done"
((status == 0)) && echo "pristine check of $commit on $label: all passed" ||
    echo "pristine check of $commit on $label: FAILED"
exit $status
