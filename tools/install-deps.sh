#!/usr/bin/env bash
# Installs what tonewell needs on a fresh Debian machine (as root).
#   tools/install-deps.sh build   the native build
#   tools/install-deps.sh test    everything the whole test suite uses
#   tools/install-deps.sh bench   the native build and bench/run_bench.py's tools
set -euo pipefail

packages=(cmake ninja-build g++ python3 git)
if [ "${1:-build}" = test ]; then
  # 32-bit Linux build, Windows cross builds, Wine to run them (with its
  # 32-bit half), GoogleTest sources, clang for the fuzzers, zip for releases,
  # and the readers that check our output (ffmpeg, sox, flac). Kernels that
  # cannot run 32-bit programs themselves get qemu-i386 10, below.
  dpkg --add-architecture i386
  packages+=(g++-multilib mingw-w64 wine wine32:i386 wine64 googletest libgtest-dev
             clang libclang-rt-dev clang-format zip ffmpeg sox flac)
  # A terminal emulator, to read back what a console shows.
  packages+=(python3-pyte)
  # The Linux release and the install suite: man and groff render the manual
  # page, dpkg-dev computes the package's dependencies, lintian checks it.
  packages+=(man-db groff-base dpkg-dev lintian)
fi

if [ "${1:-build}" = bench ]; then
  # The benchmark's reference tools, and GNU time for peak memory.
  packages+=(ffmpeg sox time)
fi

codename=$(. /etc/os-release && echo "$VERSION_CODENAME")

# The package indexes apt-get update failed to fetch, one "suite
# component/binary-arch" a line, from its "Failed to fetch URL" lines.
failed_indexes() {
  sed -n 's|.*Failed to fetch [^ ]*/dists/\([^ ]*\)/\([^/ ]*\)/\([^/ ]*\)/[^ ]*.*|\1 \2/\3|p' "$1" |
    sort -u
}

# A mirror in the middle of a sync may serve an index that disagrees with
# its Release file, sometimes for days. apt then knows those packages from
# the other suites only, and multi-arch packages, whose versions must match
# across architectures, cannot be installed from a mix. So after a second
# try the install takes the release itself as its target: a consistent set,
# without the updates of the index that is missing.
target=()
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for attempt in 1 2; do
  status=0
  apt-get update -qq >"$log" 2>&1 || status=$?
  missing=$(failed_indexes "$log")
  [ "$status" -ne 0 ] || [ -n "$missing" ] || break
  if [ "$attempt" -eq 1 ]; then
    sleep 10
  elif [ -n "$missing" ]; then
    echo "install-deps.sh: the mirror left out $(echo "$missing" | paste -sd ',' | sed 's/,/, /g')" \
      "(mid-sync?); installing from $codename alone, without those updates" >&2
    target=(-t "$codename")
  else
    echo "install-deps.sh: apt-get update failed (status $status); going on with the lists there are" >&2
    cat "$log" >&2
  fi
done
DEBIAN_FRONTEND=noninteractive apt-get install "${target[@]}" -y -qq "${packages[@]}" >/dev/null

# Some kernels are built without 32-bit support. There Wine's 32-bit loader
# runs under qemu-i386 10 (tools/wine32): Debian 12's own qemu 7.2 takes 75 to
# 90 s to start it. qemu 10 comes from bookworm-backports (Debian 13 if
# backports no longer has it), fetched through an APT configuration of its own
# into /var/cache/tonewell and unpacked there: the system's sources and
# packages stay as they are. The end-to-end suite runs a few rows through that
# route on every kernel, so it is fetched on every kernel. Our linux32 build
# runs under the same qemu 10 through binfmt_misc. qemu 7.2 cannot run it:
# there a thread that returns from a signal handler takes the thread-local
# storage of the thread created last (all threads share one descriptor table,
# which each new thread rewrites, and the return reloads the segment from it),
# and the unit tests of the console control crash.
cache=/var/cache/tonewell

is_qemu_10() {
  [[ "$("$1" --version 2>/dev/null)" == "qemu-i386 version 10."* ]]
}

fetch_qemu_i386() {
  if is_qemu_10 "$cache/qemu-i386"; then
    return
  fi
  local apt=$cache/apt site suite missing
  # The system's own mirror of Debian, which serves every suite.
  site=$(apt-get indextargets --format '$(SITE)' "Release: $codename" "Identifier: Packages" |
    sed -n 1p)
  rm -rf "$apt"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/none"
  local options=(-q -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts="$apt/none"
                 -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts="$apt/none"
                 -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache"
                 -o Dir::State::status=/dev/null -o APT::Sandbox::User=root
                 -o APT::Architectures::="$(dpkg --print-architecture)")
  for suite in "$codename-backports" trixie; do
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $site $suite main" \
      >"$apt/sources.list"
    apt-get "${options[@]}" update >"$log" 2>&1 || true
    missing=$(failed_indexes "$log")
    if [ -n "$missing" ]; then
      echo "install-deps.sh: the mirror left out $(echo "$missing" | paste -sd ',' | sed 's/,/, /g')" \
        "(mid-sync?); looking for qemu-user 10 elsewhere" >&2
      continue
    fi
    if (cd "$apt" && apt-get "${options[@]}" download qemu-user >/dev/null) &&
       dpkg-deb --fsys-tarfile "$apt"/qemu-user_*.deb | tar -xO ./usr/bin/qemu-i386 >"$apt/qemu-i386" &&
       chmod 755 "$apt/qemu-i386" &&
       is_qemu_10 "$apt/qemu-i386"; then
      mv "$apt/qemu-i386" "$cache/qemu-i386"
      rm -rf "$apt"
      return
    fi
    rm -f "$apt"/qemu-user_*.deb
  done
  echo "install-deps.sh: found no qemu-user 10 in $codename-backports or trixie" >&2
  return 1
}

if [ "${1:-build}" = test ]; then
  # A mirror may be in the middle of a sync, as for the system's own lists.
  for attempt in 1 2 3; do
    fetch_qemu_i386 && break
    [ "$attempt" -lt 3 ] || exit 1
    sleep $((attempt * 15))
  done
  # An entry for another emulator (Debian's 7.2, as this script registered
  # it before) goes; where the kernel then runs no 32-bit program, ours comes.
  binfmt=/proc/sys/fs/binfmt_misc
  if [ -e "$binfmt/qemu-i386" ] && ! grep -qx "interpreter $cache/qemu-i386" "$binfmt/qemu-i386"; then
    echo -1 >"$binfmt/qemu-i386"
  fi
  if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
    if [ ! -e "$binfmt/qemu-i386" ]; then
      printf '%s' ":qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$cache/qemu-i386:F" \
        >"$binfmt/register"
    fi
  fi
fi

# AviSynth+, the script handler users have: natively into /usr/local, where
# the Linux program's AVI file layer finds it for .avs scripts, and for the
# end-to-end suite the Windows DLLs of both widths, which stay in the cache.
# Built once and cached (tools/build-avisynth.sh).
avisynth_targets=(native)
if [ "${1:-build}" = test ]; then
  avisynth_targets+=(win64 win32)
fi
for avisynth_target in "${avisynth_targets[@]}"; do
  "$(dirname "$0")/build-avisynth.sh" "$avisynth_target" >/dev/null
done
