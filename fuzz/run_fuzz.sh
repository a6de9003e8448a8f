#!/usr/bin/env bash
# Builds the libFuzzer targets of the Linux layer's AVI file layer (preset
# "fuzz": clang, with AddressSanitizer and UBSan) and runs each in turn for
# a bounded time.
#   fuzz/run_fuzz.sh [SECONDS_PER_TARGET]   (default 60)
# The corpus grows in build/fuzz/corpus/<target> from run to run; a crash,
# hang or leak stops the script with the failing input saved in
# build/fuzz/artifacts/. One target runs at a time.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
out=build/fuzz
mkdir -p "$out/seeds/wave" "$out/seeds/avi" "$out/corpus/wave" "$out/corpus/avi" "$out/artifacts"

echo "== building the fuzz targets in $out"
cmake --preset fuzz -DTONEWELL_WERROR=ON >/dev/null
cmake --build --preset fuzz
"$out/make_seeds" "$out/seeds/wave" "$out/seeds/avi"

for target in wave avi; do
  echo "== $target: ${seconds}s"
  # -timeout: one input that takes a second is a hang; -rss_limit_mb: so is
  # memory the layer should never need.
  "$out/${target}_fuzzer" "$out/corpus/$target" "$out/seeds/$target" \
    -max_total_time="$seconds" -max_len=16384 -timeout=5 -rss_limit_mb=1024 \
    -print_final_stats=1 -artifact_prefix="$out/artifacts/$target-" 2>"$out/$target.log" || {
    tail -n 60 "$out/$target.log"
    echo "fuzz target $target failed; input saved under $out/artifacts/" >&2
    exit 1
  }
  grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$out/$target.log" || true
done
