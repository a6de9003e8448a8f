#!/usr/bin/env bash
# Builds the Windows programs and packs them into
# dist/tonewell-<version>-windows.zip with README.txt, CHANGES.txt,
# LICENSE.txt and SHA256SUMS.txt, after checking that each program needs no
# DLL beyond Windows' own and carries its version resource, and that the
# README names every option of the program's usage text and its version.
# Then packs the native 64-bit program with its manual page into
# dist/tonewell-<version>-linux-<machine>.tar.gz (with README.md, LICENSE and
# CHANGES) and dist/tonewell_<version>_<arch>.deb, after the same check of
# the manual page.
#
#   tools/release.sh                               build and pack both
#   tools/release.sh --linux                       only the Linux archives
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
      echo "$1 lacks $word" >&2
      missing=1
    fi
  done
  if [ "$missing" = 0 ]; then
    echo "$1 names every option of the usage text and the version $version"
  fi
  return "$missing"
}

if [ "${1:-}" = --check-readme ]; then
  [ $# = 3 ] || { echo "usage: $0 --check-readme FILE PROGRAM" >&2; exit 2; }
  check_readme "$2" "$3"
  exit
fi

case "${1:-}" in
  "" | --linux) ;;
  *) echo "usage: $0 [--linux | --check-readme FILE PROGRAM]" >&2; exit 2 ;;
esac

cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(tonewell VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
allowed_dlls=" avifil32.dll kernel32.dll msvcrt.dll ole32.dll shlwapi.dll user32.dll "
# The Debian package's maintainer, in its control file and its changelog.
maintainer="the tonewell developers <tonewell@users.noreply.example>"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p dist

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

pack_windows() {
  local preset
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

  local files="$stage/windows"
  mkdir "$files"
  cp build/win64/tonewell64.exe build/win32/tonewell32.exe "$files"
  as_notepad_text tools/release/README.txt >"$files/README.txt"
  as_notepad_text CHANGES >"$files/CHANGES.txt"
  as_notepad_text LICENSE >"$files/LICENSE.txt"
  (cd "$files" && sha256sum tonewell64.exe tonewell32.exe | sed 's/$/\r/' >SHA256SUMS.txt)

  local zip_path="$PWD/dist/tonewell-$version-windows.zip"
  rm -f "$zip_path"
  (cd "$files" && zip -X -q "$zip_path" tonewell64.exe tonewell32.exe README.txt CHANGES.txt \
    LICENSE.txt SHA256SUMS.txt)
  echo "$zip_path"
  zip -sf "$zip_path"
}

# CHANGES as a Debian changelog, newest first: each version's list becomes
# its entry, dated by the commit that first wrote the version into CHANGES.
debian_changelog() {
  local entry date
  if [ "$(git rev-parse --is-shallow-repository)" = true ]; then
    echo "CHANGES: a shallow clone does not date its versions; fetch the whole history" >&2
    return 1
  fi
  for entry in $(grep -Ex '[0-9]+(\.[0-9]+)+' CHANGES); do
    date=$(git log --reverse --format=%aD -G"^${entry//./\\.}\$" -- CHANGES | sed -n 1p)
    if [ -z "$date" ]; then
      echo "CHANGES: version $entry is not committed, so its entry has no date" >&2
      return 1
    fi
    printf 'tonewell (%s) unstable; urgency=medium\n\n' "$entry"
    # "- item" becomes "  * item", its lines go two columns in, and blank
    # lines stay only between lines of the entry.
    awk -v entry="$entry" '
      $0 == entry { inside = 1; getline; next }  # the heading and its dashes
      !inside { next }
      /^[0-9]+(\.[0-9]+)+$/ { exit }
      /^$/ { if (printed) blank = 1; next }
      {
        if (blank) print ""
        blank = 0
        printed = 1
        if (!sub(/^- /, "  * ") && !sub(/^  /, "    ")) $0 = "  " $0
        print
      }' CHANGES
    printf '\n -- %s  %s\n\n' "$maintainer" "$date"
  done
}

# Machine-readable (DEP-5), with the licence text of LICENSE.
debian_copyright() {
  cat <<EOF
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: tonewell
Comment: AviSynth+, which reads the scripts, is a separate program under the
 GPL, loaded at run time where it is installed: it is neither part of this
 package nor linked to it.

Files: *
Copyright: $(sed -n 's/^Copyright (c) //p' LICENSE)
License: Expat

License: Expat
EOF
  sed -n '/^Permission/,$p' LICENSE | sed -e 's/^$/./' -e 's/^/ /'
}

# The packages whose libraries the program links, at the versions its
# symbols need. dpkg-shlibdeps reads them from a source package's control.
debian_depends() {  # program
  local source="$stage/shlibdeps"
  mkdir -p "$source/debian"
  printf 'Source: tonewell\n\nPackage: tonewell\nArchitecture: any\n' >"$source/debian/control"
  (cd "$source" && dpkg-shlibdeps -O "$1") | sed -n 's/^shlibs:Depends=//p'
}

debian_control() {  # root arch
  cat <<EOF
Package: tonewell
Version: $version
Architecture: $2
Maintainer: $maintainer
Installed-Size: $(du -sk "$1/usr" | cut -f1)
Depends: $(debian_depends "$1/usr/bin/tonewell64")
Suggests: avisynthplus (>= 3.7.5)
Section: sound
Priority: optional
Description: write the audio of an AviSynth script as a WAVE file
 tonewell64 reads one audio stream of an AviSynth script (or of a WAVE or
 AVI file) and writes it as a RIFF/WAVE file: to a named file, to the
 input's path with .wav appended, or to standard output, for piping into an
 encoder such as flac or ffmpeg. Streams past 4 GiB are written as RF64.
 Its messages are in Japanese.
 .
 To read scripts, AviSynth+ 3.7.5 or later must be installed (its library
 libavisynth.so.11, loaded at run time). Debian has no package of it: it
 builds from its source with CMake.
EOF
}

pack_linux() {
  cmake --preset linux64 >/dev/null
  cmake --build --preset linux64 --target tonewell64
  local root="$stage/linux"
  DESTDIR="$root" cmake --install build/linux64 --prefix /usr >/dev/null
  local program="$root/usr/bin/tonewell64" page="$root/usr/share/man/man1/tonewell64.1"
  # As Debian strips programs: the symbols and the compiler's notes go.
  strip --strip-unneeded --remove-section=.comment --remove-section=.note "$program"
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" >"$stage/tonewell64.1.txt"
  check_readme "$stage/tonewell64.1.txt" "$program"

  local name
  name="tonewell-$version-linux-$(uname -m)"
  mkdir "$stage/$name"
  cp "$program" "$page" README.md LICENSE CHANGES "$stage/$name"
  tar -C "$stage" --sort=name --owner=0 --group=0 --numeric-owner --mode=go-w,a+rX -cf - \
    "$name" | gzip -9n >"dist/$name.tar.gz"
  echo "$PWD/dist/$name.tar.gz"
  tar -tzf "dist/$name.tar.gz"

  local arch doc="$root/usr/share/doc/tonewell"
  arch=$(dpkg --print-architecture)
  gzip -9n "$page"
  mkdir -p "$doc" "$root/DEBIAN"
  debian_copyright >"$doc/copyright"
  debian_changelog | gzip -9n >"$doc/changelog.gz"
  find "$root" -type d -exec chmod 0755 {} +
  find "$root" -type f -exec chmod 0644 {} +
  chmod 0755 "$program"
  debian_control "$root" "$arch" >"$root/DEBIAN/control"
  (cd "$root" && find usr -type f | sort | xargs md5sum) >"$root/DEBIAN/md5sums"
  chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
  local deb="dist/tonewell_${version}_$arch.deb"
  dpkg-deb --root-owner-group --build "$root" "$deb" >/dev/null
  echo "$PWD/$deb"
  dpkg-deb --contents "$deb"
}

[ "${1:-}" = --linux ] || pack_windows
pack_linux
