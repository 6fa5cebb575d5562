#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on a fresh Debian 12 machine.
# Safe to run again: apt skips what is there, the binfmt registration is checked first.
set -euo pipefail

need_i386=1
[ "${QWI_SKIP_WINE32:-0}" = 1 ] && need_i386=0

export DEBIAN_FRONTEND=noninteractive
stamp=/var/lib/qwi-deps.stamp
if [ ! -f "$stamp" ]; then
  if [ "$need_i386" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -q
  pkgs=(cmake make g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
        wine wine64 xvfb xauth x11-apps imagemagick googletest python3 python3-pil openssl
        osslsigncode curl procps file)
  if [ "$need_i386" = 1 ]; then pkgs+=(wine32:i386 qemu-user-static); fi
  apt-get install -y -q --no-install-recommends "${pkgs[@]}"
  touch "$stamp"
fi

# 32-bit Linux binaries (the 32-bit Wine loader) run through qemu user emulation on this kernel.
if [ "$need_i386" = 1 ] && [ -x /usr/bin/qemu-i386-static ]; then
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || true
  fi
  if [ -e /proc/sys/fs/binfmt_misc/register ] && [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
      > /proc/sys/fs/binfmt_misc/register 2>/dev/null || echo "note: could not register qemu-i386 (32-bit Wine checks will be skipped)"
  fi
fi
