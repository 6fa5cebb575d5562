#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on a fresh Debian 12 machine.
# Safe to run again: apt is skipped once everything is there, the binfmt registration is checked.
# QWI_SKIP_WINE32=1 leaves out 32-bit Wine (its tests are then reported as skipped).
set -euo pipefail

need_i386=1
[ "${QWI_SKIP_WINE32:-0}" = 1 ] && need_i386=0
export DEBIAN_FRONTEND=noninteractive

pkgs=(cmake make g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
      wine wine64 xvfb xauth x11-apps imagemagick googletest python3 python3-pil python3-asn1crypto openssl
      osslsigncode curl procps file util-linux fonts-dejavu-core fonts-liberation)

# 32-bit Linux programs (the 32-bit Wine loader) run through qemu user emulation on this kernel.
register_qemu_i386() {
    [ -x /usr/bin/qemu-i386-static ] || return 0
    if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || true
    fi
    if [ -e /proc/sys/fs/binfmt_misc/register ] && [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
        printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
            >/proc/sys/fs/binfmt_misc/register 2>/dev/null ||
            echo "note: could not register qemu-i386; 32-bit Wine checks will be skipped"
    fi
}

missing=()
for p in "${pkgs[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ "$need_i386" = 1 ]; then
    dpkg -s qemu-user-static >/dev/null 2>&1 || missing+=(qemu-user-static)
    dpkg -s wine32:i386 >/dev/null 2>&1 || missing+=(wine32:i386)
fi

if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$need_i386" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    apt-get update -q
    if [ "$need_i386" = 1 ]; then
        # Register qemu before any i386 package, so their install scripts can run.
        apt-get install -y -q --no-install-recommends qemu-user-static
        register_qemu_i386
    fi
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
[ "$need_i386" = 1 ] && register_qemu_i386
exit 0
