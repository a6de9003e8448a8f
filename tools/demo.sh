#!/usr/bin/env bash
# Builds the native program and runs its main job on a generated sample:
# a 3-second 16-bit stereo sine wave in build/sample/tone.wav, converted with
# verbose messages to build/sample/tone.wav.wav.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset linux64 -DBUILD_TESTING=OFF >/dev/null
cmake --build --preset linux64 --target tonewell64

mkdir -p build/sample
python3 - build/sample/tone.wav <<'PY'
import math, struct, sys, wave
with wave.open(sys.argv[1], "wb") as out:
    out.setnchannels(2)
    out.setsampwidth(2)
    out.setframerate(44100)
    frames = bytearray()
    for i in range(3 * 44100):
        v = int(12000 * math.sin(2 * math.pi * 440 * i / 44100))
        frames += struct.pack("<hh", v, v)
    out.writeframes(bytes(frames))
PY
build/linux64/tonewell64 -v build/sample/tone.wav
cmp <(tail -c +45 build/sample/tone.wav.wav) <(tail -c +45 build/sample/tone.wav) && echo "data identical"
