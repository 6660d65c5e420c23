#!/usr/bin/env bash
# Installs what building and testing need on Debian 12: cmake and make, the MinGW-w64 cross
# compilers, Wine for 32-bit programs, GoogleTest's sources, clang with libFuzzer and the
# sanitizer runtimes for the native fuzz build, strace, which counts the server's calls, gcovr
# for tools/coverage.sh, and gnuplot for the benchmark's drawing. Silent when all is there.
#
# Some kernels run no 32-bit Linux programs, and Wine's 32-bit half is one. There the
# kernel is taught to hand such programs to qemu-i386 (binfmt_misc); bookworm's qemu 7.2
# takes about 50 s to start each Windows program, the backported qemu 10 a fraction of a second.
set -euo pipefail

packages=(cmake make g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine32:i386 wine64 googletest
          clang libclang-rt-14-dev strace gcovr gnuplot-nox)
binfmt=/proc/sys/fs/binfmt_misc
i386_magic='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

fail() { echo "setup: $*" >&2; exit 1; }

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
apt_install() {  # apt_install [apt options] PACKAGE...
    echo "setup: installing ${*}" >&2
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "$@" \
        >"$apt_log" 2>&1 || { tail -n 20 "$apt_log" >&2; fail "apt-get could not install: $*"; }
}

# A mirror caught mid-sync fails one index (seen: bookworm-security's i386 list) while the rest
# are fresh; the install that follows says whether what it needs was found.
update_packages() {
    "${as_root[@]}" apt-get update -qq >"$apt_log" 2>&1 ||
        echo "setup: apt-get update failed in part; installing from the lists it has" >&2
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

recent_qemu() { /usr/bin/qemu-i386-static --version 2>/dev/null | grep -q 'version \([89]\|[1-9][0-9]\)\.'; }

# Does this kernel run Wine's 32-bit programs, natively or through a recent qemu?
if [ -e "$binfmt/qemu-i386" ]; then
    recent_qemu && exit 0
elif /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
    exit 0
fi

if ! recent_qemu; then
    list=/etc/apt/sources.list.d/bookworm-backports.list
    if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d; then
        echo 'deb http://deb.debian.org/debian bookworm-backports main' | "${as_root[@]}" tee "$list" >/dev/null
    fi
    update_packages
    apt_install -t bookworm-backports qemu-user-static
fi
[ -e "$binfmt/register" ] || "${as_root[@]}" mount -t binfmt_misc binfmt_misc "$binfmt" \
    || fail "cannot mount $binfmt"
# A registration keeps the qemu it opened: replace it so an upgraded qemu takes effect.
[ -e "$binfmt/qemu-i386" ] && { echo -1 | "${as_root[@]}" tee "$binfmt/qemu-i386" >/dev/null; }
printf ':qemu-i386:M::%s:%s:/usr/bin/qemu-i386-static:F\n' "$i386_magic" "$i386_mask" \
    | "${as_root[@]}" tee "$binfmt/register" >/dev/null || fail "cannot register qemu-i386"
/usr/lib/wine/wineserver32 --version >/dev/null 2>&1 || fail "32-bit programs still do not run"
