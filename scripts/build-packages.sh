#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian packages from this tree's debian/ and checks them:
# the amd64 build (which runs the tests), the i386 cross build, a second
# build of each in another folder that must give the same .deb files,
# lintian, hardening-check, and then (with --install) the packages
# installed with apt and checked as a user meets them, amd64 first, then
# the i386 ravelins and libcardsim:i386 under the amd64 cardsim.
#
# Usage: scripts/build-packages.sh [--install] [OUT]
#   OUT   where the packages go (default: a new temporary folder)
# Installs what it needs with apt (root). The i386 cross compilers conflict
# with gcc-multilib, which the i386 test tree uses, so run this where that
# may be replaced: a chroot (scripts/check-pristine.sh does) or a machine
# of its own.
# Prints PASS/FAIL lines; exits 1 if any check failed.
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
install=no
if [[ ${1:-} == --install ]]; then
    install=yes
    shift
fi
out=${1:-$(mktemp -d)}
mkdir -p "$out"
out=$(cd "$out" && pwd)

passed=0
failed=0
pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
section() { printf '\n=== %s\n' "$*"; }
summary()
{
    section "summary"
    echo "packages in $out"
    echo "packages: $passed passed, $failed failed"
    ((failed == 0))
    exit
}

if [[ $(id -u) -ne 0 ]]; then
    echo "build-packages.sh installs build dependencies with apt: run it as root" >&2
    exit 2
fi
export DEBIAN_FRONTEND=noninteractive
apt_install() { apt-get install -y -q --no-install-recommends "$@" >>"$out/apt.log" 2>&1; }

# ---------------------------------------------------------------- tools
section "tools"
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
apt-get update -q >>"$out/apt.log" 2>&1 || fail "apt-get update (see $out/apt.log)"
# dpkg-shlibdeps and the configure probes of the cross build want the i386
# C and C++ libraries as dpkg knows them (libc6:i386, libstdc++6:i386),
# beside the cross compilers. The checks of the i386 programs run them
# through qemu-i386 where the kernel runs no 32-bit program.
if apt_install build-essential crossbuild-essential-i386 libc6-dev:i386 libstdc++6:i386 lintian devscripts \
    autopkgtest file qemu-user; then
    pass "installed the packaging tools and crossbuild-essential-i386"
else
    tail -20 "$out/apt.log"
    fail "apt-get install of the packaging tools (see $out/apt.log)"
    summary
fi

# copy_tree DEST: the tree as git would archive it, without build folders
copy_tree()
{
    rm -rf "$1"
    mkdir -p "$1"
    if git -C "$top" rev-parse --git-dir >/dev/null 2>&1; then
        (cd "$top" && git ls-files -z --cached --others --exclude-standard |
            xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' _ |
            tar --null -cf - -T -) | tar -xf - -C "$1"
    else
        (cd "$top" && tar --exclude='./build*' --exclude='./obj-*' -cf - .) | tar -xf - -C "$1"
    fi
}

# build LABEL DIR [dpkg-buildpackage options]: builds in DIR/ravelin,
# leaves the .deb files in DIR
build()
{
    local label=$1 dir=$2
    shift 2
    copy_tree "$dir/ravelin"
    section "build $label in $dir/ravelin: dpkg-buildpackage -us -uc -b $*"
    local profile_args=()
    local a
    for a in "$@"; do
        case $a in -a*|-P*) profile_args+=("$a") ;; esac
    done
    if ! (cd "$dir/ravelin" && apt-get build-dep -y -q "${profile_args[@]}" ./) >>"$out/apt.log" 2>&1; then
        tail -20 "$out/apt.log"
        fail "$label: apt-get build-dep ${profile_args[*]} ./"
        return 1
    fi
    if (cd "$dir/ravelin" && env ${build_env:+"$build_env"} dpkg-buildpackage -us -uc -b -j2 "$@") >"$dir/build.log" 2>&1; then
        grep -E 'tests passed|tests failed' "$dir/build.log"
        pass "$label: dpkg-buildpackage -us -uc -b $*"
    else
        tail -40 "$dir/build.log"
        fail "$label: dpkg-buildpackage -us -uc -b $* (log: $dir/build.log)"
        return 1
    fi
}

# same_debs DIR1 DIR2 LABEL: both builds made the same files, byte for byte
same_debs()
{
    local a=$1 b=$2 label=$3 f differ=0 count=0
    for f in "$a"/*.deb; do
        count=$((count + 1))
        if ! cmp -s "$f" "$b/${f##*/}"; then
            echo "differs: ${f##*/}"
            differ=1
        fi
    done
    if ((count > 0 && differ == 0)) && [[ $(ls "$a"/*.deb | wc -l) -eq $(ls "$b"/*.deb | wc -l) ]]; then
        pass "$label: the $count .deb files of a build in another folder are byte-identical"
    else
        fail "$label: a build in another folder gives different .deb files"
    fi
}

# check_debs DIR ARCH: contents, lintian and hardening of one build
check_debs()
{
    local dir=$1 arch=$2 deb
    for deb in "$dir"/*_"$arch".deb; do
        section "${deb##*/}"
        dpkg-deb -f "$deb" Package Architecture Multi-Arch Depends
        dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $6, $7, $8 }'
    done
    section "lintian --pedantic ($arch)"
    lintian --pedantic --suppress-tags initial-upload-closes-no-bugs "$dir"/*_"$arch".changes \
        >"$dir/lintian.log" 2>&1
    grep -v '^running with root privileges' "$dir/lintian.log"
    if grep -q '^[EW]: ' "$dir/lintian.log"; then
        fail "lintian --pedantic ($arch): errors or warnings"
    else
        pass "lintian --pedantic ($arch): no error or warning"
    fi
    section "hardening-check ($arch)"
    local root=$dir/unpacked elf bad=0 n=0
    # Control-flow protection is not among Debian 12's hardening flags; where
    # it is (-fcf-protection), the linked programs still carry no CET marking,
    # as some of what Debian links in has none. Newer hardening-check also asks
    # for it as "Branch Protection", an option the older one does not know.
    local skip=(--nocfprotection)
    hardening-check --help 2>&1 | grep -q -- --nobranchprotection && skip+=(--nobranchprotection)
    rm -rf "$root"
    mkdir -p "$root"
    for deb in "$dir"/*_"$arch".deb; do
        [[ $deb == *-dbgsym_* ]] || dpkg -x "$deb" "$root"
    done
    while IFS= read -r elf; do
        n=$((n + 1))
        if hardening-check "${skip[@]}" "$elf" >"$dir/hardening.log" 2>&1; then
            grep -E 'Position|Stack protected|Fortify|relocations|Immediate' "$dir/hardening.log" |
                sed "s|^|${elf#"$root"}: |"
        else
            cat "$dir/hardening.log"
            bad=1
        fi
    done < <(find "$root" -type f -exec sh -c 'file -b "$1" | grep -q "^ELF"' _ {} \; -print | sort)
    if ((bad == 0 && n > 0)); then
        pass "hardening-check ($arch): PIE, stack protector, fortify, RELRO and BIND_NOW on all $n ELF files"
    else
        fail "hardening-check ($arch) fails on a shipped ELF file (or none found)"
    fi
}

work=$out/work
build_env=
build amd64 "$work/amd64" || summary
mkdir -p "$out/amd64" && cp "$work"/amd64/*.deb "$work"/amd64/*.changes "$work"/amd64/*.buildinfo "$out/amd64/"
# The second build only skips running the tests; it builds the same way.
build_env=DEB_BUILD_OPTIONS=nocheck
build "amd64 again" "$work/other-folder/amd64" &&
    same_debs "$work/amd64" "$work/other-folder/amd64" amd64
build_env=
check_debs "$work/amd64" amd64

build i386 "$work/i386" -ai386 -Pcross,nocheck || summary
mkdir -p "$out/i386" && cp "$work"/i386/*.deb "$work"/i386/*.changes "$work"/i386/*.buildinfo "$out/i386/"
build "i386 again" "$work/other-folder/i386" -ai386 -Pcross,nocheck &&
    same_debs "$work/i386" "$work/other-folder/i386" i386
check_debs "$work/i386" i386

[[ $install == yes ]] || summary

# ---------------------------------------------------------------- install
section "autopkgtest (null runner) with the amd64 packages"
debs64=()
for f in "$out"/amd64/*.deb; do [[ $f == *-dbgsym_* ]] || debs64+=("$f"); done
copy_tree "$work/autopkgtest-src"
if autopkgtest -B "${debs64[@]}" "$work/autopkgtest-src" -- null >"$out/autopkgtest.log" 2>&1; then
    grep -E '^[A-Za-z0-9_-]+ +(PASS|FAIL|SKIP)' "$out/autopkgtest.log"
    pass "autopkgtest: debian/tests pass on the installed packages"
else
    tail -40 "$out/autopkgtest.log"
    fail "autopkgtest (log: $out/autopkgtest.log)"
fi

section "apt-get install of the amd64 packages"
if apt-get install -y -q "${debs64[@]}" >>"$out/apt.log" 2>&1; then
    pass "apt-get install ${debs64[*]##*/}"
else
    tail -20 "$out/apt.log"
    fail "apt-get install of the amd64 packages"
fi
scratch=$(mktemp -d)
mkdir -p "$scratch/state"
# run_sim LABEL EXPECTED-FILE-TYPE: cardsim -- ravelins -i from PATH
run_sim()
{
    local label=$1 class=$2 got
    printf 'input format:\nVRow= 1920, VColumn= 1080, VFreq= 60, VScan= 1\n' >"$scratch/expected"
    (cd / && cardsim --state "$scratch/state" -- ravelins -i) >"$scratch/out" 2>&1
    local rc=$?
    got=$(file -bL "$(command -v ravelins)")
    if [[ $rc -eq 0 && $got == *"$class"* ]] && cmp -s "$scratch/expected" "$scratch/out"; then
        echo "\$ cardsim -- ravelins -i   # $(command -v ravelins): ${got%%,*}"
        cat "$scratch/out"
        pass "$label"
    else
        cat "$scratch/out"
        fail "$label (status $rc, ravelins is: $got)"
    fi
}
run_sim "cardsim -- ravelins -i from the installed amd64 packages" "ELF 64-bit"
bash "$top/packaging/tests/check-installed.sh" / && pass "installed amd64 packages: check-installed.sh /" ||
    fail "installed amd64 packages: check-installed.sh /"

section "apt-get install of libcardsim:i386 beside the amd64 packages"
if apt-get install -y -q "$out"/i386/libcardsim_*_i386.deb >>"$out/apt.log" 2>&1; then
    pass "apt-get install libcardsim_*_i386.deb"
else
    tail -20 "$out/apt.log"
    fail "apt-get install of libcardsim:i386"
fi
# The i386 ravelins unpacked apart, beside the installed amd64 one: the
# amd64 cardsim runs it, and a script that starts both.
dpkg -x "$out"/i386/ravelins_*_i386.deb "$scratch/root32"
bash "$top/packaging/tests/check-installed.sh" / "$scratch/root32" &&
    pass "installed amd64 packages and libcardsim:i386: check-installed.sh / ROOT32" ||
    fail "installed amd64 packages and libcardsim:i386: check-installed.sh / ROOT32"

section "apt-get install of the i386 ravelins"
if apt-get install -y -q "$out"/i386/ravelins_*_i386.deb >>"$out/apt.log" 2>&1; then
    pass "apt-get install ravelins_*_i386.deb"
    dpkg-query -W -f='${Package}:${Architecture} ${Version}\n' ravelins ravelin cardsim 'libcardsim:*'
else
    tail -20 "$out/apt.log"
    fail "apt-get install of the i386 ravelins"
fi
run_sim "the amd64 cardsim runs the i386 ravelins (libcardsim:i386)" "ELF 32-bit"
bash "$top/packaging/tests/check-installed.sh" / && pass "with the i386 ravelins: check-installed.sh /" ||
    fail "with the i386 ravelins: check-installed.sh /"
rm -rf "$scratch"
summary
