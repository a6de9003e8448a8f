#!/usr/bin/env bash
# Builds the native program and runs its main job on an AviSynth script:
# build/sample/tone.avs, three seconds of a 440 Hz sine from AviSynth+'s
# Tone(), converted with verbose messages to build/sample/tone.avs.wav, whose
# samples are then checked against the sine computed here. AviSynth+ must be
# installed (tools/install-deps.sh build does it).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset linux64 -DBUILD_TESTING=OFF >/dev/null
cmake --build --preset linux64 --target tonewell64

mkdir -p build/sample
cat >build/sample/tone.avs <<'AVS'
# A 440 Hz sine at half scale, stereo, 44.1 kHz, 3 seconds. Tone() makes
# float samples, which reach tonewell as 16-bit PCM.
Tone(length=3, frequency=440, samplerate=44100, channels=2, type="Sine", level=0.5)
AVS
build/linux64/tonewell64 -v build/sample/tone.avs
python3 - build/sample/tone.avs.wav <<'PY'
import array, math, sys, wave
with wave.open(sys.argv[1], "rb") as w:
    shape = (w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes())
    samples = array.array("h", w.readframes(w.getnframes()))
assert shape == (2, 2, 44100, 3 * 44100), shape
off = max(abs(samples[i] - 0.5 * 32767 * math.sin(2 * math.pi * 440 * (i // 2) / 44100))
          for i in range(len(samples)))
assert off <= 1, f"a sample is {off:.1f} off the sine"
print(f"{sys.argv[1]}: 3 s of 16-bit stereo, every sample within 1 of the sine")
PY
