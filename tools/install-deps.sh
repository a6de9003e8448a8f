#!/usr/bin/env bash
# Installs what tonewell needs on a fresh Debian machine (as root).
#   tools/install-deps.sh build   the native build
#   tools/install-deps.sh test    everything the whole test suite uses
#   tools/install-deps.sh bench   the native build and bench/run_bench.py's tools
set -euo pipefail

packages=(cmake ninja-build g++ python3)
if [ "${1:-build}" = test ]; then
  # 32-bit Linux build, Windows cross builds, Wine to run them (with its
  # 32-bit half), GoogleTest sources, clang for the fuzzers, zip for releases,
  # the readers that check our output (ffmpeg, sox, flac), and qemu-user for
  # kernels that cannot run 32-bit programs themselves.
  dpkg --add-architecture i386
  packages+=(g++-multilib mingw-w64 wine wine32:i386 wine64 googletest libgtest-dev
             clang libclang-rt-dev clang-format zip ffmpeg sox flac qemu-user-static
             python3-pyte)
fi

if [ "${1:-build}" = bench ]; then
  # The benchmark's reference tools, and GNU time for peak memory.
  packages+=(ffmpeg sox time)
fi

apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${packages[@]}" >/dev/null

# Some kernels are built without 32-bit support: there the 32-bit programs
# (our linux32 build, Wine's 32-bit loader) run under qemu-user instead.
if [ "${1:-build}" = test ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
  if [ ! -e "$binfmt/qemu-i386" ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
      >"$binfmt/register"
  fi
fi
