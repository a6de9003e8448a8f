#!/usr/bin/env bash
# Installs what tonewell needs on a fresh Debian machine (as root).
#   tools/install-deps.sh build   the native build
#   tools/install-deps.sh test    everything the whole test suite uses
#   tools/install-deps.sh bench   the native build and bench/run_bench.py's tools
set -euo pipefail

packages=(cmake ninja-build g++ python3)
if [ "${1:-build}" = test ]; then
  # 32-bit Linux build, Windows cross builds, Wine to run them (with its
  # 32-bit half), GoogleTest sources, clang for the fuzzers, zip for releases.
  dpkg --add-architecture i386
  packages+=(g++-multilib mingw-w64 wine wine32:i386 wine64 googletest libgtest-dev
             clang libclang-rt-dev clang-format zip)
fi

if [ "${1:-build}" = bench ]; then
  # The benchmark's reference tools, and GNU time for peak memory.
  packages+=(ffmpeg sox time)
fi

apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${packages[@]}" >/dev/null
