#!/usr/bin/env bash
# Builds the libFuzzer targets of the Linux layer's AVI file layer (clang, with
# AddressSanitizer and UBSan) and runs each in turn for a bounded time.
#   fuzz/run_fuzz.sh [SECONDS_PER_TARGET]   (default 60)
# The corpus grows in build/fuzz/corpus/<target> from run to run; a crash,
# hang or leak stops the script with the failing input saved in
# build/fuzz/artifacts/. One target runs at a time.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
out=build/fuzz
mkdir -p "$out/seeds/wave" "$out/seeds/avi" "$out/corpus/wave" "$out/corpus/avi" "$out/artifacts"

flags=(-std=c++17 -O1 -g -Wall -Wextra -Werror -I. -D_FILE_OFFSET_BITS=64 -pthread)
sanitize=(-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
# The layer and what it calls: its share mode, and the handles behind it.
# The script handler comes with the layer's registry; no target names a
# script.
platform=(platform/avifile-posix.cc platform/avi-handler-posix.cc platform/wave-handler-posix.cc
  platform/avisynth-handler-posix.cc platform/riff-posix.cc platform/faults-posix.cc
  platform/share-posix.cc platform/kernel-posix.cc)

echo "== building the fuzz targets in $out"
clang++ "${flags[@]}" -o "$out/make_seeds" fuzz/make_seeds.cc tests/support/media_files.cc
"$out/make_seeds" "$out/seeds/wave" "$out/seeds/avi"
for target in wave avi; do
  clang++ "${flags[@]}" "${sanitize[@]}" -o "$out/${target}_fuzzer" "fuzz/${target}_fuzzer.cc" \
    fuzz/avifile_driver.cc "${platform[@]}"
done

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
