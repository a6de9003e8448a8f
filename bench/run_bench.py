#!/usr/bin/env python3
"""Benchmark: tonewell64 against the copy limit (cp, cat) and the tools a
user would pick instead (ffmpeg -c copy, sox), on PCM WAVE and AVI inputs.

For each input size, sample format (16-bit stereo; 8-bit mono, the smallest
ring) and container it writes the input, warms the page cache, and runs every
command --runs times, the commands taking turns so that drift hits them alike.
One untimed round comes first, and every run starts with no write-back
pending (sync). It reports the median wall time, CPU time (user + system)
and peak resident memory of each, and checks the targets:
  tonewell to a file       <= 1.15 x the wall time of cp
  tonewell to stdout       <= 1.15 x the wall time of cat
  tonewell to a file       >= 1.3 x faster than ffmpeg -c copy
  peak memory              <= ring + 16 MiB
and prints a Markdown table. Exits 1 if a target is missed.

Needs ffmpeg and sox (tools/install-deps.sh bench). After the build:
    python3 bench/run_bench.py                 # 64 and 512 MiB, about 4 minutes
    python3 bench/run_bench.py --with-2gib     # also 2 GiB, about 15 minutes

With --overlap it measures instead how well reading and writing overlap when
both are slow, as with a script that decodes at its own pace into an encoder:
tonewell64.exe under Wine reads from the test source handler, which waits
before each read, and writes to standard output, which this script drains at
a fixed pace. R, W and B are the times that slow reads, slow writes and both
add to the same run with neither; overlap = (R + W - B) / min(R, W), 1 when
the shorter fully hides behind the longer, 0 when they take turns. Target:
0.9 or better. After building the win64 preset (test source handler
included), about 5 minutes:
    python3 bench/run_bench.py --overlap

With --avisynth it times real scripts through AviSynth+ under Wine instead:
tonewell64.exe converting each script to a file and into a pipe that this
script drains, against bench/read_probe.exe, which opens the script through
the AVI file layer as tonewell does and reads the stream in the same pieces,
writing nothing: the time no converter reading through the layer can beat.
The three take turns as above; each output must end in a data chunk of the
bytes the probe read. Target: tonewell's wall time over the probe's in the
same round, median of the rounds, <= 1.05 both ways. After building the
win64 preset (probe included), AviSynth+ built (tools/build-avisynth.sh
win64 and win32), about 6 minutes:
    python3 bench/run_bench.py --avisynth
"""

import argparse
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
MIB = 1 << 20
RING_SAMPLES = 1 << 23

FILE_RATIO = 1.15
STDOUT_RATIO = 1.15
FFMPEG_SPEEDUP = 1.3
MEMORY_SLACK = 16 * MIB


class Format:
    def __init__(self, name, channels, rate, bits):
        self.name = name
        self.channels = channels
        self.rate = rate
        self.bits = bits
        self.block = channels * bits // 8
        self.ring = self.block * RING_SAMPLES

    def fields(self):
        return struct.pack("<HHIIHH", 1, self.channels, self.rate, self.rate * self.block,
                           self.block, self.bits)


FORMATS = [Format("16-bit stereo", 2, 44100, 16), Format("8-bit mono", 1, 8000, 8)]

OVERLAP_TARGET = 0.9
# 8-bit mono, read in 32 pieces of a quarter ring (2 MiB): small enough that
# the run with neither delay is short against the delays.
OVERLAP_MIB = 64
# (case, delay before each read in ms, standard output drained at MiB/s)
OVERLAP_CASES = [("balanced", 125, 16), ("reads twice as slow", 250, 16),
                 ("writes twice as slow", 125, 8)]

AVISYNTH_RATIO = 1.05
# (name, script): real scripts, each running many times Wine's start-up. The
# first makes little work of each sample, so that writing weighs the most
# against reading; the second mixes, resamples and converts every sample.
AVISYNTH_SCRIPTS = [
    ("10 min of 6-channel Tone, 16-bit",
     'Tone(length=600, frequency=440, samplerate=48000, channels=6, type="Sine")\n'),
    ("10 min of 6 channels mixed, resampled to 44.1 kHz, 24-bit",
     'a = Tone(length=600, frequency=440, samplerate=48000, channels=6, type="Sine")\n'
     'b = Tone(length=600, frequency=1000, samplerate=48000, channels=6, type="Noise")\n'
     "MixAudio(a, b, 0.7, 0.3).ResampleAudio(44100).ConvertAudioTo24bit()\n"),
]


def write_data(f, size):
    """`size` bytes of noise: a random block written over and over."""
    block = os.urandom(4 * MIB)
    while size > 0:
        n = min(size, len(block))
        f.write(block[:n])
        size -= n


def write_wav(path, fmt, size):
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 36 + size) + b"WAVEfmt " + struct.pack("<I", 16) +
                fmt.fields() + b"data" + struct.pack("<I", size))
        write_data(f, size)


def write_avi(path, fmt, size):
    """An AVI holding one audio stream in chunks of a second each, indexed,
    as an AVI writer commonly stores audio."""
    piece = fmt.rate * fmt.block
    pieces = [min(piece, size - at) for at in range(0, size, piece)]
    strh = b"auds\0\0\0\0" + struct.pack("<IHHIIIIIIIIhhhh", 0, 0, 0, 0, fmt.block,
                                         fmt.rate * fmt.block, 0, size // fmt.block, piece,
                                         0xFFFFFFFF, fmt.block, 0, 0, 0, 0)
    strl = b"strl" + b"strh" + struct.pack("<I", len(strh)) + strh + b"strf" + \
        struct.pack("<I", 16) + fmt.fields()
    hdrl = b"hdrl" + b"avih" + struct.pack("<I", 56) + bytes(56) + b"LIST" + \
        struct.pack("<I", len(strl)) + strl
    movi_size = 4 + sum(8 + n + n % 2 for n in pieces)
    index = bytearray()
    offset = 4
    for n in pieces:
        index += b"00wb" + struct.pack("<III", 0x10, offset, n)
        offset += 8 + n + n % 2
    riff_size = 4 + 8 + len(hdrl) + 8 + movi_size + 8 + len(index)
    block = os.urandom(piece + 1)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", riff_size) + b"AVI ")
        f.write(b"LIST" + struct.pack("<I", len(hdrl)) + hdrl)
        f.write(b"LIST" + struct.pack("<I", movi_size) + b"movi")
        for n in pieces:
            f.write(b"00wb" + struct.pack("<I", n) + block[:n + n % 2])
        f.write(b"idx1" + struct.pack("<I", len(index)) + index)


def measure(args, stdout, work):
    """Wall seconds, CPU seconds and peak RSS bytes of one run. GNU time reads
    the peak: a child forked from this script would count the script's own
    memory as its peak."""
    peak = work / "peak"
    with open(stdout, "wb") as out:
        start = time.perf_counter()
        proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak] + args, stdout=out,
                                stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit(f"{' '.join(map(str, args))} failed with status {proc.returncode}")
    return wall, usage.ru_utime + usage.ru_stime, int(peak.read_text().split()[-1]) * 1024


def commands(program, source, out, container):
    """(label, arguments, where standard output goes, output to delete)."""
    wav_out = out.with_suffix(".wav")
    listed = [
        ("tonewell file", [program, source, wav_out], os.devnull, wav_out),
        ("tonewell stdout", [program, source, "-"], os.devnull, None),
        ("cp", ["cp", source, out], os.devnull, out),
        ("cat", ["cat", source], os.devnull, None),
        ("ffmpeg -c copy", ["ffmpeg", "-v", "error", "-nostdin", "-y", "-i", source, "-c", "copy",
                            wav_out], os.devnull, wav_out),
    ]
    if container == "wav":  # sox reads no AVI
        listed.append(("sox", ["sox", source, wav_out], os.devnull, wav_out))
    return listed


def bench_input(program, work, size, fmt, container, runs):
    source = work / f"in.{container}"
    (write_wav if container == "wav" else write_avi)(source, fmt, size)
    out = work / "out.copy"
    subprocess.run(["cat", str(source)], stdout=subprocess.DEVNULL, check=True)  # warm the cache
    listed = commands(program, source, out, container)
    samples = {label: [] for label, *_ in listed}
    # A first round untimed; then each round starts one command later, so
    # that none always follows the same other.
    for turn in range(-1, runs):
        for label, args, stdout, output in listed[turn % len(listed):] + \
                listed[:turn % len(listed)]:
            measured = measure([str(a) for a in args], stdout, work)
            if turn >= 0:
                samples[label].append(measured)
            if output:
                output.unlink()
            # No run pays for the write-back of the output before it.
            os.sync()
    source.unlink()
    return {label: tuple(statistics.median(s[i] for s in runs_) for i in range(3))
            for label, runs_ in samples.items()}


def paced_run(command, env, cwd, pace):
    """Wall seconds of `command`, its standard output drained at `pace`
    bytes a second from the first byte on (None: as fast as it comes)."""
    start = time.perf_counter()
    proc = subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    drained, first = 0, None
    while chunk := os.read(proc.stdout.fileno(), MIB):
        first = first or time.perf_counter()
        drained += len(chunk)
        if pace:
            ahead = first + drained / pace - time.perf_counter()
            if ahead > 0:
                time.sleep(ahead)
    proc.stdout.close()
    if proc.wait() != 0:
        sys.exit(f"{' '.join(command)} failed with status {proc.returncode}")
    return time.perf_counter() - start


def bench_overlap(runs):
    """Overlap of each case in OVERLAP_CASES: medians of `runs` rounds."""
    sys.path.insert(0, str(ROOT / "tests/support"))
    from wine import WINE64, register_test_source, wine_prefix

    program = ROOT / "build/win64/tonewell64.exe"
    samples = OVERLAP_MIB * MIB
    rows = []
    with wine_prefix() as env, tempfile.TemporaryDirectory() as work:
        register_test_source(env)

        def seconds(delay_ms, pace_mib):
            source = Path(work) / f"delay{delay_ms}.avs"
            source.write_text(f"tonewell test source\nchannels=1\nbits=8\nsamples={samples}\n"
                              f"read_delay_ms={delay_ms}\n")
            pace = pace_mib * MIB if pace_mib else None
            return paced_run([WINE64, str(program), source.name, "-"], env, work, pace)

        for name, delay_ms, pace_mib in OVERLAP_CASES:
            print(f"== overlap: {name}", file=sys.stderr, flush=True)
            times = {key: [] for key in ("neither", "reads", "writes", "both")}
            seconds(0, None)  # untimed: loads Wine's files into the cache
            for _ in range(runs):
                times["neither"].append(seconds(0, None))
                times["reads"].append(seconds(delay_ms, None))
                times["writes"].append(seconds(0, pace_mib))
                times["both"].append(seconds(delay_ms, pace_mib))
            t = {key: statistics.median(values) for key, values in times.items()}
            r, w, b = (t[key] - t["neither"] for key in ("reads", "writes", "both"))
            rows.append((name, delay_ms, pace_mib, t["neither"], r, w, b,
                         (r + w - b) / min(r, w)))
    return rows


def report_overlap(rows, runs):
    print(f"\n{OVERLAP_MIB} MiB of 8-bit mono in reads of 2 MiB through the test source "
          f"handler, tonewell64.exe under Wine to standard output; medians of {runs} runs.\n")
    print("| case | read delay | drained at | neither | R | W | B | overlap |")
    print("|---|---|---|---|---|---|---|---|")
    missed = []
    for name, delay_ms, pace_mib, neither, r, w, b, overlap in rows:
        print(f"| {name} | {delay_ms} ms a read | {pace_mib} MiB/s | {neither:.2f} s | "
              f"{r:.2f} s | {w:.2f} s | {b:.2f} s | {overlap:.2f} |")
        if overlap < OVERLAP_TARGET:
            missed.append(f"{name}: overlap {overlap:.2f} < {OVERLAP_TARGET}")
    if missed:
        print("\ntargets missed:\n  " + "\n  ".join(missed))
        return 1
    print("\nall targets met")
    return 0


def drained_run(command, env, cwd, stdout=subprocess.PIPE):
    """Wall seconds and CPU seconds of `command`, the bytes it wrote to
    standard output, drained as fast as they come, and the first 4 KiB of
    them."""
    start = time.perf_counter()
    proc = subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=stdout,
                            stderr=subprocess.DEVNULL)
    drained, head = 0, b""
    if proc.stdout:
        while chunk := os.read(proc.stdout.fileno(), MIB):
            head += chunk[:4096 - len(head)]
            drained += len(chunk)
        proc.stdout.close()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{' '.join(map(str, command))} failed with status "
                 f"{os.waitstatus_to_exitcode(status)}")
    return wall, usage.ru_utime + usage.ru_stime, drained, head


def check_wave(head, size, data_bytes, what):
    """Exits unless a WAVE output of `size` bytes starting with `head` ends
    in a data chunk of `data_bytes`: tonewell wrote what the probe read."""
    header = size - data_bytes
    if not 44 <= header <= len(head) or head[header - 8:header] != \
            b"data" + struct.pack("<I", data_bytes):
        sys.exit(f"{what}: {size} bytes, not a WAVE file of the probe's {data_bytes} bytes")


def bench_avisynth(runs, work_dir):
    """Wine's start-up, (wall, CPU) medians of `tonewell64.exe -h`, and a row
    for each script in AVISYNTH_SCRIPTS: (name, what the probe read,
    {label: (wall, CPU) medians}, {label: median of the round's wall time over
    the probe's in the same round}). Ratios within a round cancel the drift
    of the other load on the machine."""
    sys.path.insert(0, str(ROOT / "tests/support"))
    from wine import WINE64, register_avisynth, wine_prefix

    tonewell = str(ROOT / "build/win64/tonewell64.exe")
    probe = str(ROOT / "build/win64/read_probe.exe")
    for program in (tonewell, probe):
        if not Path(program).is_file():
            sys.exit(f"{program} is not built: cmake --preset win64 && "
                     "cmake --build --preset win64")

    def medians(runs_):
        return tuple(statistics.median(run[i] for run in runs_) for i in range(2))

    rows = []
    with wine_prefix() as env, tempfile.TemporaryDirectory(dir=work_dir) as work:
        register_avisynth(env)
        out = Path(work) / "out.wav"
        start_up = medians([drained_run([WINE64, tonewell, "-h"], env, work)[:2]
                            for _ in range(runs)])
        for name, script in AVISYNTH_SCRIPTS:
            print(f"== avisynth: {name}", file=sys.stderr, flush=True)
            (Path(work) / "bench.avs").write_text(script)
            # "SAMPLES samples, BYTES bytes in READS reads"
            facts = drained_run([WINE64, probe, "bench.avs"], env, work)[3].decode().split()
            data_bytes = int(facts[2])
            read = f"{data_bytes / MIB:.0f} MiB in {facts[5]} reads"

            def probe_run():
                return drained_run([WINE64, probe, "bench.avs"], env, work)[:2]

            def file_run():
                with open(os.devnull, "wb") as null:
                    measured = drained_run([WINE64, tonewell, "bench.avs", out.name], env, work,
                                           stdout=null)
                with open(out, "rb") as f:
                    check_wave(f.read(4096), out.stat().st_size, data_bytes, "tonewell → file")
                out.unlink()
                return measured[:2]

            def pipe_run():
                wall, cpu, drained, head = drained_run([WINE64, tonewell, "bench.avs", "-"], env,
                                                       work)
                check_wave(head, drained, data_bytes, "tonewell → pipe")
                return wall, cpu

            listed = [("probe", probe_run), ("file", file_run), ("pipe", pipe_run)]
            samples = {label: [] for label, _ in listed}
            # An untimed round first; then each round starts one command later.
            for turn in range(-1, runs):
                for label, run in listed[turn % 3:] + listed[:turn % 3]:
                    os.sync()  # no run pays for the write-back of the one before
                    measured = run()
                    if turn >= 0:
                        samples[label].append(measured)
            ratios = {label: statistics.median(wall / probe_wall for (wall, _), (probe_wall, _)
                                               in zip(samples[label], samples["probe"]))
                      for label in ("file", "pipe")}
            rows.append((name, read, {label: medians(s) for label, s in samples.items()}, ratios))
    return start_up, rows


def report_avisynth(start_up, rows, runs):
    print(f"\nAviSynth+ 3.7.5 under Wine: tonewell64.exe against the read-only probe; medians "
          f"of {runs} rounds, wall time (CPU time in brackets); each ratio is the median of the "
          "rounds' own. Wine's start-up (tonewell64.exe -h): "
          f"{start_up[0]:.2f} s ({start_up[1]:.2f} s).\n")
    print("| script | read | probe (read only) | tonewell → file | tonewell → pipe |")
    print("|---|---|---|---|---|")
    missed = []
    for name, read, m, ratios in rows:
        cells = [f"{m['probe'][0]:.2f} s ({m['probe'][1]:.2f} s)"]
        for label in ("file", "pipe"):
            wall, cpu = m[label]
            cells.append(f"{wall:.2f} s ({cpu:.2f} s), {ratios[label]:.2f}×")
            if ratios[label] > AVISYNTH_RATIO:
                missed.append(f"{name}: {label} / probe = {ratios[label]:.3f} > {AVISYNTH_RATIO}")
        print(f"| {name} | {read} | " + " | ".join(cells) + " |")
    if missed:
        print("\ntargets missed:\n  " + "\n  ".join(missed))
        return 1
    print("\nall targets met")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", default=str(ROOT / "build/linux64/tonewell64"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sizes", default="64,512", help="input sizes in MiB, comma-separated")
    parser.add_argument("--with-2gib", action="store_true", help="add inputs of 2 GiB")
    parser.add_argument("--dir", default=str(ROOT / "build/bench"),
                        help="where inputs and outputs are written")
    parser.add_argument("--overlap", action="store_true",
                        help="measure the overlap of slow reads and writes under Wine instead")
    parser.add_argument("--avisynth", action="store_true",
                        help="time real scripts through AviSynth+ under Wine instead")
    args = parser.parse_args()
    if args.overlap:
        return report_overlap(bench_overlap(args.runs), args.runs)
    if args.avisynth:
        Path(args.dir).mkdir(parents=True, exist_ok=True)
        return report_avisynth(*bench_avisynth(args.runs, args.dir), args.runs)

    sizes = [int(s) * MIB for s in args.sizes.split(",")]
    if args.with_2gib:
        sizes.append(2048 * MIB)
    for tool in ("ffmpeg", "sox", "/usr/bin/time"):
        if not shutil.which(tool):
            sys.exit(f"{tool} is missing: tools/install-deps.sh bench")
    if not Path(args.program).is_file():
        sys.exit(f"{args.program} is not built: cmake --preset linux64 && "
                 "cmake --build --preset linux64")
    Path(args.dir).mkdir(parents=True, exist_ok=True)
    free = shutil.disk_usage(args.dir).free
    if free < 3 * max(sizes) + MIB:
        sys.exit(f"{free // MIB} MiB free in {args.dir}: too little for inputs of "
                 f"{max(sizes) // MIB} MiB and their copies")

    rows = []
    missed = []
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        for size in sizes:
            for fmt in FORMATS:
                for container in ("wav", "avi"):
                    name = f"{size // MIB} MiB {fmt.name} {container.upper()}"
                    print(f"== {name}", file=sys.stderr, flush=True)
                    m = bench_input(args.program, Path(tmp), size, fmt, container, args.runs)
                    rows.append((name, fmt, m))
                    checks = [
                        ("file / cp", m["tonewell file"][0] / m["cp"][0], FILE_RATIO),
                        ("stdout / cat", m["tonewell stdout"][0] / m["cat"][0], STDOUT_RATIO),
                        ("file / ffmpeg", m["tonewell file"][0] / m["ffmpeg -c copy"][0],
                         1 / FFMPEG_SPEEDUP),
                        ("peak memory / ring + 16 MiB",
                         max(m["tonewell file"][2], m["tonewell stdout"][2]) /
                         (fmt.ring + MEMORY_SLACK), 1),
                    ]
                    for label, ratio, limit in checks:
                        if ratio > limit:
                            missed.append(f"{name}: {label} = {ratio:.2f} > {limit:.2f}")

    print(f"\n{args.runs} runs each, medians; ratios of wall time to the copy limit "
          "(cp for file outputs, cat for standard output).\n")
    labels = ["tonewell file", "tonewell stdout", "cp", "cat", "ffmpeg -c copy", "sox"]
    print("| input | " + " | ".join(labels) + " | tonewell peak RSS |")
    print("|---" * (len(labels) + 2) + "|")
    for name, fmt, m in rows:
        cells = []
        for label in labels:
            if label not in m:
                cells.append("—")
                continue
            wall, cpu, _ = m[label]
            limit = m["cat"][0] if label in ("tonewell stdout", "cat") else m["cp"][0]
            cells.append(f"{wall:.3f} s ({wall / limit:.2f}×), cpu {cpu:.2f} s")
        rss = max(m["tonewell file"][2], m["tonewell stdout"][2])
        cells.append(f"{rss / MIB:.1f} MiB (ring {fmt.ring // MIB} MiB)")
        print(f"| {name} | " + " | ".join(cells) + " |")
    print()
    for name, fmt, m in rows:
        size_mib = int(name.split()[0])
        print(f"{name}: tonewell file {size_mib / m['tonewell file'][0]:.0f} MiB/s, "
              f"stdout {size_mib / m['tonewell stdout'][0]:.0f} MiB/s, "
              f"{m['ffmpeg -c copy'][0] / m['tonewell file'][0]:.1f}× faster than ffmpeg")
    if missed:
        print("\ntargets missed:\n  " + "\n  ".join(missed))
        return 1
    print("\nall targets met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
