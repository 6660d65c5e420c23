#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 or 13: cmake and make, the MinGW-w64 cross
# compilers, Wine for 32-bit programs, GoogleTest's sources, clang with libFuzzer and the
# sanitizer runtimes (the release's default, libclang-rt-dev) for the native fuzz build, strace,
# which counts the server's calls, gcovr for tools/coverage.sh, python3 and gnuplot for the
# benchmark's driver and drawing, and cmark-gfm, which renders docs/windows-setup.md (tables
# included) into the release zip's guide page. Silent when all is there.
#
# Some kernels run no 32-bit Linux programs, and Wine's 32-bit half is one. There the
# kernel is taught to hand such programs to qemu-i386 (binfmt_misc); bookworm's qemu 7.2
# takes about 50 s to start each Windows program, qemu 8 and later (bookworm-backports,
# trixie) a fraction of a second.
set -euo pipefail

packages=(cmake make g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine32:i386 wine64 googletest
          clang libclang-rt-dev strace gcovr python3 gnuplot-nox cmark-gfm)
binfmt=/proc/sys/fs/binfmt_misc
i386_magic='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

fail() { echo "setup: $*" >&2; exit 1; }

release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ -n "$release" ] || fail "cannot tell the Debian release from /etc/os-release"

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null; then
    as_root=(sudo)
else
    as_root=(false)
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }

# apt's own output is kept in a log and shown only when it fails.
apt_log=$(mktemp)
trap 'rm -f "$apt_log"' EXIT

# A mirror caught mid-sync serves an index that does not match its Release file (seen:
# bookworm-security's i386 list); a few seconds later it usually does.
update_packages() {
    for attempt in 1 2 3; do
        "${as_root[@]}" apt-get update -qq >"$apt_log" 2>&1 && return
        [ $attempt -eq 3 ] || sleep 5
    done
    echo "setup: apt-get update failed in part; installing from the lists it has" >&2
}

# Prints "PACKAGE AMD64_VERSION I386_VERSIONS" for each library that the i386 PACKAGES need, whose
# native copy is installed at a version the mirror does not offer for i386. Multi-Arch copies
# must be the same version, and apt does not downgrade, so nothing can be installed until the
# mirror has that version.
mismatched_copies() {
    local native
    native=$(dpkg --print-architecture)
    apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
            --no-replaces --no-enhances "$@" 2>/dev/null | grep -o '[^ <>]*:i386' | sort -u |
        while read -r copy; do
            package=${copy%:i386}
            version=$(dpkg-query -W -f='${Status} ${Version}' "$package:$native" 2>/dev/null |
                          awk '$3 == "installed" { print $4 }')
            [ -n "$version" ] || continue
            offered=$(apt-cache madison "$copy" | awk -F' [|] ' '{ print $2 }' | sort -u | paste -sd, -)
            [ -n "$offered" ] || continue
            grep -qxF -- "$version" <<<"${offered//,/$'\n'}" || echo "$package $version ${offered//,/, }"
        done
}

# apt_install PACKAGE...  (PACKAGE/SUITE takes one package from another suite)
# A mirror mid-sync may offer a library's amd64 copy at a newer version than its i386 copy, and
# apt then finds no solution ("held broken packages"): taking every package from the release
# suites, both copies of each agree.
apt_get_install() {
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "$@" \
        >"$apt_log" 2>&1
}
apt_install() {
    echo "setup: installing ${*}" >&2
    apt_get_install "$@" && return
    if ! grep -q 'held broken packages\|but it is not going to be installed' "$apt_log"; then
        tail -n 20 "$apt_log" >&2
        fail "apt-get could not install: $*"
    fi
    echo "setup: the mirror's i386 and amd64 lists differ (mid-sync?); installing both from $release" >&2
    apt_get_install -t "$release" "$@" && return
    local copies
    copies=$(mismatched_copies $(printf '%s\n' "$@" | sed 's,/.*,,' | grep ':i386$') || true)
    if [ -z "$copies" ]; then
        tail -n 20 "$apt_log" >&2
        fail "apt-get could not install: $*"
    fi
    while read -r package version offered; do
        echo "setup: $package is installed at $version (amd64), but the mirror offers $package:i386" \
             "only at $offered; the two copies must be the same version." >&2
    done <<<"$copies"
    fail "the mirror is probably in the middle of a sync: run tools/setup.sh again later"
}

missing=()
for package in "${packages[@]}"; do installed "$package" || missing+=("$package"); done
if [ ${#missing[@]} -gt 0 ]; then
    [ "${as_root[0]:-}" != false ] || fail "installing ${missing[*]} needs root or sudo"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${as_root[@]}" dpkg --add-architecture i386 || fail "cannot add the i386 architecture"
    fi
    update_packages
    apt_install "${missing[@]}"
fi

qemu() { command -v qemu-i386-static || command -v qemu-i386; }
recent_qemu() { "$(qemu)" --version 2>/dev/null | grep -q 'version \([89]\|[1-9][0-9]\)\.'; }

# Does this kernel run Wine's 32-bit programs, natively or through a recent qemu?
if [ -e "$binfmt/qemu-i386" ]; then
    recent_qemu && exit 0
elif /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
    exit 0
fi

if ! recent_qemu; then
    # bookworm's own qemu is too slow; later releases' are recent enough.
    qemu_package=qemu-user-static
    if [ "$release" = bookworm ]; then
        qemu_package=qemu-user-static/bookworm-backports
        if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d; then
            echo 'deb http://deb.debian.org/debian bookworm-backports main' |
                "${as_root[@]}" tee /etc/apt/sources.list.d/bookworm-backports.list >/dev/null
        fi
    fi
    update_packages
    apt_install "$qemu_package"
fi
[ -e "$binfmt/register" ] || "${as_root[@]}" mount -t binfmt_misc binfmt_misc "$binfmt" \
    || fail "cannot mount $binfmt"
# A registration keeps the qemu it opened: replace it so an upgraded qemu takes effect.
[ -e "$binfmt/qemu-i386" ] && { echo -1 | "${as_root[@]}" tee "$binfmt/qemu-i386" >/dev/null; }
printf ':qemu-i386:M::%s:%s:%s:F\n' "$i386_magic" "$i386_mask" "$(qemu)" \
    | "${as_root[@]}" tee "$binfmt/register" >/dev/null || fail "cannot register qemu-i386"
/usr/lib/wine/wineserver32 --version >/dev/null 2>&1 || fail "32-bit programs still do not run"
