#!/usr/bin/env bash
# The whole test suite: unit and pipeline tests on 64- and 32-bit Linux, under
# AddressSanitizer+UBSan and ThreadSanitizer, and the Windows cross builds.
set -euo pipefail
cd "$(dirname "$0")/.."

run_preset() {
  cmake --preset "$1" -DTONEWELL_WERROR=ON >/dev/null
  cmake --build --preset "$1"
}

for preset in linux64 linux32 asan tsan; do
  echo "== $preset"
  run_preset "$preset"
  ctest --preset "$preset"
done

for preset in win64 win32; do
  echo "== $preset"
  run_preset "$preset"
done
