#!/bin/bash
# Builds the Debian packages of both trees, shows their contents, runs
# lintian, installs them into a scratch root and checks the installed files.
#
# Usage: scripts/check-packages.sh BUILD64 [BUILD32]
#   BUILD64  a configured x86-64 tree (e.g. build)
#   BUILD32  a configured i386 tree (e.g. build-i386), optional
# Environment:
#   RAVELIN_PKG_OUT   where the packages go (default: a temporary folder)
#   RAVELIN_PKG_SYSTEM=1, or CI=true: also install the amd64 packages on
#                     this machine with apt-get, check them from /usr and
#                     purge them again (root only)
# Prints PASS/FAIL lines; exits 1 if any check failed.
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
build64=${1:?usage: check-packages.sh BUILD64 [BUILD32]}
build32=${2:-}
build64=$(cd "$build64" && pwd) || exit 2
if [[ -n $build32 ]]; then
    build32=$(cd "$build32" && pwd) || exit 2
fi

passed=0
failed=0
pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
section() { printf '\n=== %s\n' "$*"; }

if [[ $(id -u) -eq 0 ]]; then sudo=(); else sudo=(sudo); fi

# ---------------------------------------------------------------- tools
section "tools"
need=()
for pair in dpkg-shlibdeps:dpkg-dev lintian:lintian desktop-file-validate:desktop-file-utils \
    man:man-db groff:groff-base file:file xz:xz-utils; do
    command -v "${pair%%:*}" >/dev/null || need+=("${pair#*:}")
done
# dpkg-shlibdeps names the right dependencies of i386 programs only when
# the i386 C library is known to dpkg as libc6:i386.
if [[ -n $build32 ]] && ! dpkg-query -W -f='${Status}' libc6:i386 2>/dev/null | grep -q 'ok installed'; then
    dpkg --print-foreign-architectures | grep -qx i386 || "${sudo[@]}" dpkg --add-architecture i386
    need+=(libc6:i386)
fi
if ((${#need[@]})); then
    echo "installing: ${need[*]}"
    "${sudo[@]}" apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${need[@]}" >/dev/null ||
        echo "apt-get could not install ${need[*]}; going on with what is there"
fi
for t in cpack dpkg-deb dpkg-shlibdeps lintian desktop-file-validate man; do
    command -v "$t" >/dev/null && pass "tool $t present" || fail "tool $t missing"
done

out=${RAVELIN_PKG_OUT:-$(mktemp -d)}
mkdir -p "$out"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# ---------------------------------------------------------------- build
# build_packages TREE DEST: builds the tree and makes its packages in DEST
build_packages()
{
    local tree=$1 dest=$2
    section "packages of $tree"
    if ! cmake --build "$tree" -j2 >"$scratch/build.log" 2>&1; then
        tail -30 "$scratch/build.log"
        fail "build of $tree"
        return 1
    fi
    rm -rf "$dest"
    mkdir -p "$dest"
    if cpack --config "$tree/CPackConfig.cmake" -B "$dest" >"$scratch/cpack.log" 2>&1; then
        grep -E 'package: |Depends:' "$scratch/cpack.log"
        pass "cpack in $tree"
    else
        cat "$scratch/cpack.log"
        fail "cpack in $tree"
        return 1
    fi
    rm -rf "$dest/_CPack_Packages"
}

# expect_package DIR NAME ARCH: the package exists; shows its control
# fields and files; checks its dependencies and lintian
expect_package()
{
    local dir=$1 name=$2 arch=$3 deb
    deb=$(ls "$dir/${name}"_*_"$arch".deb 2>/dev/null | head -1)
    if [[ -z $deb ]]; then
        fail "package $name ($arch) was not made"
        return
    fi
    section "${deb##*/}"
    dpkg-deb -f "$deb"
    echo "--- files"
    dpkg-deb -c "$deb" | awk '{ print $1, $3, $6, $7, $8 }'
    pass "package ${deb##*/} made"

    local depends
    depends=$(dpkg-deb -f "$deb" Depends)
    local files
    files=$(dpkg-deb -c "$deb")
    if grep -q '^-rwx.*usr/bin/\|\.so$' <<<"$files"; then
        if [[ $depends == *libc6* ]]; then
            pass "$name ($arch) depends on what its binaries link: $depends"
        else
            fail "$name ($arch): no library dependencies found ($depends)"
        fi
    fi
    if [[ $arch == i386 && $depends =~ (libc6-i386|lib32) ]]; then
        fail "$name (i386) depends on amd64 biarch packages: $depends"
    fi

    # Not a package for the Debian archive: no ITP bug to close.
    lintian --suppress-tags initial-upload-closes-no-bugs "$deb" >"$scratch/lintian" 2>&1
    grep -v '^running with root privileges' "$scratch/lintian"
    if grep -q '^E: ' "$scratch/lintian"; then
        fail "lintian reports errors for ${deb##*/}"
    elif grep -q '^W: ' "$scratch/lintian"; then
        fail "lintian reports warnings for ${deb##*/}"
    else
        pass "lintian ${deb##*/}: no errors or warnings"
    fi
}

arch64=$(dpkg --print-architecture)
build_packages "$build64" "$out/64"
expect_package "$out/64" ravelins "$arch64"
expect_package "$out/64" cardsim "$arch64"
if grep -q '"ravelin"' "$build64/CPackConfig.cmake"; then
    expect_package "$out/64" ravelin "$arch64"
fi
if [[ -n $build32 ]]; then
    build_packages "$build32" "$out/32"
    expect_package "$out/32" ravelins i386
    expect_package "$out/32" cardsim-i386 i386
fi

# ---------------------------------------------------------------- install
section "install into a scratch root"
root=$scratch/root
root32=$scratch/root32
mkdir -p "$root" "$root32"
for deb in "$out"/64/*.deb; do
    [[ -f $deb ]] && dpkg -x "$deb" "$root" && echo "dpkg -x ${deb##*/}"
done
if [[ -n $build32 ]]; then
    # The 32-bit interposer goes beside the 64-bit cardsim, as on an amd64
    # system with cardsim-i386:i386 installed; ravelins:i386 on its own.
    for deb in "$out"/32/cardsim-i386_*.deb; do
        [[ -f $deb ]] && dpkg -x "$deb" "$root" && echo "dpkg -x ${deb##*/}"
    done
    for deb in "$out"/32/ravelins_*.deb; do
        [[ -f $deb ]] && dpkg -x "$deb" "$root32" && echo "dpkg -x ${deb##*/} (separate root)"
    done
fi
(cd "$root" && find . -type f | sort)

section "checks from the scratch root"
if bash "$top/packaging/tests/check-installed.sh" "$root" ${build32:+"$root32"} | tee "$scratch/installed.log"; then
    pass "installed files (scratch root)"
else
    fail "installed files (scratch root)"
fi

# Would apt accept them: every dependency resolvable on this machine.
section "dependencies resolvable"
debs64=("$out"/64/*.deb)
if apt-get install --simulate -q "${debs64[@]}" >"$scratch/apt.log" 2>&1; then
    pass "apt-get install --simulate of the $arch64 packages"
else
    cat "$scratch/apt.log"
    fail "apt-get install --simulate of the $arch64 packages"
fi
if [[ -n $build32 ]]; then
    if dpkg --print-foreign-architectures | grep -qx i386; then
        if apt-get install --simulate -q "$out"/32/*.deb >"$scratch/apt.log" 2>&1; then
            pass "apt-get install --simulate of the i386 packages"
        else
            cat "$scratch/apt.log"
            fail "apt-get install --simulate of the i386 packages"
        fi
    else
        echo "i386 is not a dpkg architecture here: i386 packages not simulated"
    fi
fi

# ---------------------------------------------------------------- system
if [[ ${RAVELIN_PKG_SYSTEM:-} == 1 || ${CI:-} == true ]] && [[ $(id -u) -eq 0 ]]; then
    section "install on this machine"
    names=()
    for deb in "${debs64[@]}"; do names+=("$(dpkg-deb -f "$deb" Package)"); done
    if DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${debs64[@]}" >"$scratch/apt.log" 2>&1; then
        pass "apt-get install ${names[*]}"
        dpkg -L "${names[@]}" | grep -v '/\.$' | sort -u
        if bash "$top/packaging/tests/check-installed.sh" / | tee "$scratch/system.log"; then
            pass "installed files (this machine)"
        else
            fail "installed files (this machine)"
        fi
        if out_usage=$(cd / && ravelins 2>&1); [[ $? -eq 1 && $out_usage == *'Usage: ravelins:'* ]]; then
            pass "ravelins found on PATH"
        else
            fail "ravelins not found on PATH"
        fi
    else
        cat "$scratch/apt.log"
        fail "apt-get install ${names[*]}"
    fi
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -q "${names[@]}" >/dev/null 2>&1
    dpkg-query -W "${names[@]}" 2>/dev/null | grep -q . && fail "purge left packages behind"
fi

section "summary"
echo "packages in $out"
echo "packages: $passed passed, $failed failed"
((failed == 0))
