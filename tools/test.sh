#!/usr/bin/env bash
# The whole test suite: unit and pipeline tests on 64- and 32-bit Linux, under
# AddressSanitizer+UBSan and ThreadSanitizer, the install suite, the
# robustness suite and the fuzzers, the Windows cross builds, and the
# end-to-end suite over all four programs.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 tests/docs/check_links.py  # every relative link in README.md and docs/ resolves
python3 tests/layers/check_layers.py  # no room of the program includes one above it

run_preset() {
  cmake --preset "$1" -DTONEWELL_WERROR=ON -DBUILD_TESTING=ON >/dev/null
  cmake --build --preset "$1"
}

for preset in linux64 linux32 asan tsan; do
  echo "== $preset"
  run_preset "$preset"
  ctest --preset "$preset"
done

echo "== install: cmake --install, the manual page, the Linux release and its Debian package"
python3 tests/install/run_install.py

echo "== robustness: damaged inputs, failing outputs, 3 GiB streams, soak"
python3 tests/robustness/run_robustness.py

echo "== fuzzing the Linux layer's AVI file layer, a minute a target"
fuzz/run_fuzz.sh 60

for preset in win64 win32; do
  echo "== $preset"
  run_preset "$preset"
done

echo "== end to end: the Windows programs under Wine and the Linux programs"
python3 tests/e2e/run_e2e.py
