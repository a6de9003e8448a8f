#!/usr/bin/env bash
# Builds the Windows programs and packs them into
# dist/tonewell-<version>-windows.zip with README.txt, CHANGES.txt and
# SHA256SUMS.txt, after checking that each program needs no DLL beyond
# Windows' own and carries its version resource, and that the README names
# every option of the program's usage text and its version.
#
#   tools/release.sh                               build and pack
#   tools/release.sh --check-readme FILE PROGRAM   only check FILE against the
#                                                  usage text of PROGRAM -h
set -euo pipefail
# Bytes, not characters: the texts are Japanese and the patterns ASCII.
export LC_ALL=C

# Each option of the usage text, short and long, and the version its first
# line shows must stand in the README as words of their own: "-e" inside
# "--extensible" or "1.1.0" inside "1.1.01" does not count.
check_readme() {  # readme program
  local readme usage version words word missing=0
  readme=$(<"$1")  # read once: it may be a pipe
  if ! usage=$("$2" -h); then
    echo "$2 -h failed" >&2
    return 1
  fi
  version=$(sed -n '1s/.*(version \([0-9][0-9.]*\)).*/\1/p' <<<"$usage")
  # Option lines start with the option: "-e --extensible    ...", and a
  # short or long form alone would count too.
  words=$(sed -n 's/^ *\(--\?[A-Za-z0-9][A-Za-z0-9-]*\)\( --[A-Za-z0-9-]*\)\? .*/\1\2/p' \
    <<<"$usage")
  if [ -z "$version" ] || [ -z "$words" ]; then
    echo "the usage text of $2 shows no version or no options" >&2
    return 1
  fi
  for word in $words "$version"; do
    if ! grep -qP -- "(?<![\\w.-])\\Q$word\\E(?![\\w-]|\\.\\w)" <<<"$readme"; then
      echo "README $1 lacks $word" >&2
      missing=1
    fi
  done
  if [ "$missing" = 0 ]; then
    echo "README $1 names every option of the usage text and the version $version"
  fi
  return "$missing"
}

if [ "${1:-}" = --check-readme ]; then
  [ $# = 3 ] || { echo "usage: $0 --check-readme FILE PROGRAM" >&2; exit 2; }
  check_readme "$2" "$3"
  exit
fi

cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(tonewell VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
allowed_dlls=" avifil32.dll kernel32.dll msvcrt.dll ole32.dll shlwapi.dll user32.dll "

check_program() {  # preset program objdump
  local exe="build/$1/$2.exe"
  local dll
  for dll in $("$3" -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z'); do
    if [[ "$allowed_dlls" != *" $dll "* ]]; then
      echo "$exe imports $dll, which Windows does not provide" >&2
      return 1
    fi
  done
  # The version resource's strings are UTF-16.
  local strings
  strings=$(strings -el "$exe")
  if ! grep -qx "$2.exe" <<<"$strings" || [ "$(grep -cx "$version" <<<"$strings")" -ne 2 ]; then
    echo "$exe lacks its version resource ($2.exe, $version)" >&2
    return 1
  fi
}

# Notepad before Windows 10 1903 may take UTF-8 without a byte order mark for
# the ANSI code page, and before 1809 breaks lines at CRLF only: the texts
# get both.
as_notepad_text() {  # file
  printf '\xEF\xBB\xBF'
  sed 's/\r*$/\r/' "$1"
}

for preset in win64 win32; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
check_program win64 tonewell64 x86_64-w64-mingw32-objdump
check_program win32 tonewell32 i686-w64-mingw32-objdump

# The usage text comes from the same code natively, without a Wine prefix.
cmake --preset linux64 >/dev/null
cmake --build --preset linux64 --target tonewell64
check_readme tools/release/README.txt build/linux64/tonewell64

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp build/win64/tonewell64.exe build/win32/tonewell32.exe "$stage"
as_notepad_text tools/release/README.txt >"$stage/README.txt"
as_notepad_text CHANGES >"$stage/CHANGES.txt"
(cd "$stage" && sha256sum tonewell64.exe tonewell32.exe | sed 's/$/\r/' >SHA256SUMS.txt)

zip_path="$PWD/dist/tonewell-$version-windows.zip"
mkdir -p dist
rm -f "$zip_path"
(cd "$stage" && zip -X -q "$zip_path" tonewell64.exe tonewell32.exe README.txt CHANGES.txt \
  SHA256SUMS.txt)
echo "$zip_path"
zip -sf "$zip_path"
