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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", default=str(ROOT / "build/linux64/tonewell64"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sizes", default="64,512", help="input sizes in MiB, comma-separated")
    parser.add_argument("--with-2gib", action="store_true", help="add inputs of 2 GiB")
    parser.add_argument("--dir", default=str(ROOT / "build/bench"),
                        help="where inputs and outputs are written")
    args = parser.parse_args()

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
