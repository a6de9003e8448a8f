#!/usr/bin/env bash
# Builds the Windows programs and packs them with their README.txt into
# dist/tonewell-<version>-windows.zip, after checking that each needs no DLL
# beyond Windows' own and carries its version resource.
set -euo pipefail
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

for preset in win64 win32; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
check_program win64 tonewell64 x86_64-w64-mingw32-objdump
check_program win32 tonewell32 i686-w64-mingw32-objdump

zip_path="dist/tonewell-$version-windows.zip"
mkdir -p dist
rm -f "$zip_path"
zip -j -X -q "$zip_path" build/win64/tonewell64.exe build/win32/tonewell32.exe \
  tools/release/README.txt
echo "$zip_path"
zip -sf "$zip_path"
