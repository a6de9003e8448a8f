#!/usr/bin/env bash
# Builds AviSynth+ 3.7.5, the script handler users have, for the tests:
#   tools/build-avisynth.sh native   libavisynth.so, installed into /usr/local
#   tools/build-avisynth.sh win64    AviSynth.dll for 64-bit Windows (mingw-w64)
#   tools/build-avisynth.sh win32    AviSynth.dll for 32-bit Windows
# Each build is cached in /var/cache/tonewell/avisynth and made again only
# when the source or this recipe changes. The DLLs stay there (the test
# suites register them in prefixes of their own) and are never shipped.
#
# The source is ../shared/avisynth/AviSynthPlus-3.7.5.tar.gz beside the
# clone, checked by its SHA-256; where that folder is absent, the tag v3.7.5
# of the AviSynth+ repository, checked by its commit id.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly version=3.7.5
readonly archive_sha256=27081dc01caaa9c05bc45d984810e5202cd4254f06ad462f4249dcdff3e3eeb5
readonly commit=6c7c26617a6675eec89e4d4a3565ed709df6511f
readonly repository=https://github.com/AviSynth/AviSynthPlus.git
readonly archive=../shared/avisynth/AviSynthPlus-$version.tar.gz
readonly cache=/var/cache/tonewell/avisynth

# Raise when the way a build is made changes, so that caches make it anew.
readonly recipe=1
stamp=${commit:0:12}-$recipe

say() { echo "build-avisynth.sh: $*" >&2; }

# The source tree, unpacked once into $cache/src-$commit.
unpack_source() {
  local src=$cache/src-$commit
  if [ -f "$src/.complete" ]; then
    echo "$src"
    return
  fi
  rm -rf "$src" "$src.new"
  mkdir -p "$src.new"
  if [ -d ../shared/avisynth ]; then
    echo "$archive_sha256  $archive" | sha256sum --check --quiet >&2 ||
      { say "$archive is not the pinned AviSynth+ $version"; return 1; }
    tar -xzf "$archive" -C "$src.new" --strip-components=1
  else
    say "no ../shared/avisynth: fetching the tag v$version"
    git clone --quiet --depth 1 --branch "v$version" "$repository" "$src.new/git" >&2
    [ "$(git -C "$src.new/git" rev-parse HEAD)" = "$commit" ] ||
      { say "the tag v$version is not commit $commit"; return 1; }
    git -C "$src.new/git" archive HEAD | tar -x -C "$src.new"
    rm -rf "$src.new/git"
  fi
  touch "$src.new/.complete"
  mv -T "$src.new" "$src"
  echo "$src"
}

# A CMake toolchain for mingw-w64 with the POSIX thread model, which
# AviSynth+'s std::thread needs.
write_toolchain() {
  local arch=$1 file=$2
  cat >"$file" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR $arch)
set(CMAKE_C_COMPILER $arch-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER $arch-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER $arch-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$arch-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
EOF
}

build() {
  local target=$1 src=$2 out=$cache/$1-$stamp
  if [ -f "$out/.complete" ]; then
    echo "$out"
    return
  fi
  say "building AviSynth+ $version for $target (2 to 4 minutes on 2 cores)"
  rm -rf "$out"
  mkdir -p "$out"
  local options=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DENABLE_PLUGINS=OFF)
  case $target in
    win64 | win32)
      local arch=x86_64
      [ "$target" = win32 ] && arch=i686
      write_toolchain "$arch" "$out/toolchain.cmake"
      # The COM entries the AVI file layer looks up must be exported by
      # name. The 32-bit source .def carries MSVC's decorated names.
      local def=$src/avs_core/core/avisynth64.def
      if [ "$target" = win32 ]; then
        def=$out/avisynth32.def
        printf '%s\n' 'LIBRARY AviSynth.dll' EXPORTS 'DllGetClassObject = DllGetClassObject@12 PRIVATE' \
          'DllCanUnloadNow = DllCanUnloadNow@0 PRIVATE' >"$def"
      fi
      # AviSynth+ sets CMAKE_SHARED_LINKER_FLAGS itself; the Release flags
      # reach the link. Static: the DLL needs no MinGW runtime beside it.
      options+=(-DCMAKE_TOOLCHAIN_FILE="$out/toolchain.cmake"
                -DCMAKE_SHARED_LINKER_FLAGS_RELEASE="$def -static-libgcc -static-libstdc++ -static")
      ;;
    native)
      options+=(-DCMAKE_INSTALL_PREFIX=/usr/local)
      ;;
    *)
      say "unknown target $target"
      return 1
      ;;
  esac
  cmake -S "$src" -B "$out/build" "${options[@]}" >"$out/configure.log" 2>&1 ||
    { tail -20 "$out/configure.log" >&2; return 1; }
  cmake --build "$out/build" --target AvsCore >"$out/build.log" 2>&1 ||
    { tail -40 "$out/build.log" >&2; return 1; }
  touch "$out/.complete"
  echo "$out"
}

target=${1:?usage: tools/build-avisynth.sh native|win64|win32}
mkdir -p "$cache"
# One caller at a time: suites running side by side may ask at once, and a
# second build into the same folder would spoil the first.
exec 9>"$cache/.lock"
flock 9
src=$(unpack_source)
out=$(build "$target" "$src")
if [ "$target" = native ]; then
  # As a user installs it: the library where the loader finds it by soname.
  cmake --install "$out/build" >/dev/null
  ldconfig
  echo /usr/local/lib/libavisynth.so
else
  echo "$out/build/avs_core/AviSynth.dll"
fi
