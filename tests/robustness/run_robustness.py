#!/usr/bin/env python3
"""Robustness suite: the native programs on damaged inputs, failing devices
and pipes, streams past 2 GiB, and a soak of random conversions.

Every failure case must end with status 1, print its one error message
(once), never hang, and leave the input as it was; every conversion must
reproduce its input's data byte for byte.

Run after building the presets linux64 (and linux32, for its cases):
    python3 tests/robustness/run_robustness.py               # about 2 minutes
    python3 tests/robustness/run_robustness.py --soak-seconds 1800 --soak-max-mib 160
    python3 tests/robustness/run_robustness.py -k interrupt  # the rows so named
"""

import argparse
import contextlib
import fcntl
import hashlib
import itertools
import os
import pty
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests/support"))
import media  # noqa: E402
import screen  # noqa: E402
from media import WaveFormat, chunk, rf64_header, wav_file  # noqa: E402
from suite import Suite  # noqa: E402
from watch import Watched, hear_ctrl_c, signals  # noqa: E402

TIMEOUT_S = 120
RING_SAMPLES = 1 << 23

OPEN_DAMAGED = "入力ファイルが開けません。ファイルが破損しているか、フォーマットが不明です。\n"
INTERNAL = "内部エラーが発生しました。\n"
READ_DISK = "オーディオストリーム読み込みに失敗しました。ディスクエラーが発生しました。\n"
READ_UNKNOWN = "オーディオストリーム読み込みに失敗しました。不明なエラーが発生しました。\n"
WRITE_FAILED = "データ書き出し中にエラーが発生しました。再実行してください。\n"
OUTPUT_FAILED = "出力ファイルが開けません。パスを確認してください。\n"
TOO_LARGE = "オーディオストリームのデータサイズが大きすぎるため出力できません。\n"
OPEN_REFUSED = "入力ファイルが開けません。ファイルを開く際にディスクエラーが発生しました。\n"
CONSOLE_REFUSED = ("標準出力がコンソールのため出力できません。"
                   "リダイレクトするかパイプで渡してください。\n")
USAGE_LOST = "ヘルプメッセージを出力できませんでした。\n"
VERSION_LOST = "バージョン情報を出力できませんでした。\n"
INTERRUPTED = "処理を中断しました。\n"
SCRIPT_FAILED = "スクリプトでエラーが発生しました。\n"
NOT_WAVE = "出力ファイルが既に存在し、WAVEファイルではないため上書きできません。\n"
FAULT = "予期しない例外が発生したため処理を中止しました。\n"
NO_HANDLER = ("入力ファイルが開けません。指定されたファイルタイプを持つハンドラが、"
              "レジストリに見つかりませんでした。\n")
WITHOUT_AVISYNTH = str(ROOT / "tools/without-avisynth")
# Level-1 messages before a transfer and after it, in the order printed.
BEFORE_TRANSFER = ("入力ファイルを開きました。\nオーディオストリームを開きました。\n"
                   "オーディオストリーム情報を取得しました。\n"
                   "オーディオストリームのWaveフォーマットを取得しました。\n")
AFTER_TRANSFER = "オーディオストリームを閉じました。\n入力ファイルを閉じました。\n"
WRITING_ENDED = "データ書き出しが終了しました。\n"

MONO8 = WaveFormat(1, 8000, 8)
STEREO16 = WaveFormat(2, 44100, 16)


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            digest.update(block)
    return digest.hexdigest()


def wave_header(fmt, data_size):
    """The 44 bytes tonewell writes before `data_size` bytes of `fmt`."""
    return (b"RIFF" + struct.pack("<I", (data_size + 36) & 0xFFFFFFFF) + b"WAVEfmt " +
            struct.pack("<I", 16) + fmt.pcm_fields() + b"data" + struct.pack("<I", data_size))


def expect_failure(result, message, stdout_empty=False):
    """Problems with a run that should have failed with `message`."""
    problems = []
    err = result.stderr.decode("utf-8", "replace")
    if result.returncode != 1:
        problems.append(f"status {result.returncode}, expected 1")
    count = err.splitlines(keepends=True).count(message)
    if count != 1:
        problems.append(f"{message.strip()!r} printed {count} times; stderr: {err!r}")
    if stdout_empty and result.stdout:
        problems.append(f"{len(result.stdout)} bytes on standard output, expected none")
    return problems


def run(args, **kwargs):
    """A finished run; its standard output and error are captured unless
    `kwargs` send them elsewhere."""
    streams = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, **kwargs}
    return subprocess.run(args, timeout=TIMEOUT_S, **streams)


def start(args, **kwargs):
    """A running program that is killed if it outlives TIMEOUT_S, so that a
    hang shows as a failure (status -9) instead of stalling the suite on its
    pipes."""
    proc = subprocess.Popen(args, **kwargs)
    timer = threading.Timer(TIMEOUT_S, proc.kill)
    timer.daemon = True
    timer.start()
    return proc


def avi_file(fmt, data, piece_bytes, index=True, length=None):
    """An AVI holding one audio stream of `fmt`, its data cut in chunks of
    `piece_bytes` (whole blocks or not), with or without an idx1 index; the
    stream header declares `length` blocks, or the whole blocks stored."""
    block = fmt.block_align
    length = len(data) // block if length is None else length
    strh = b"auds\0\0\0\0" + struct.pack("<IHHIIIIIIIIhhhh", 0, 0, 0, 0, block, fmt.avg_bytes,
                                           0, length, piece_bytes, 0xFFFFFFFF, block, 0, 0, 0, 0)
    strl = chunk("LIST", b"strl" + chunk("strh", strh) + chunk("strf", fmt.stored(16)))
    hdrl = chunk("LIST", b"hdrl" + chunk("avih", bytes(56)) + strl)
    movi = [b"movi"]
    entries = []
    offset = 4  # from the "movi" type field, as is customary
    for at in range(0, len(data), piece_bytes):
        piece = data[at:at + piece_bytes]
        entries.append(b"00wb" + struct.pack("<III", 0x10, offset, len(piece)))
        movi.append(chunk("00wb", piece))
        offset += len(movi[-1])
    body = b"AVI " + hdrl + chunk("LIST", b"".join(movi))
    if index:
        body += chunk("idx1", b"".join(entries))
    return b"RIFF" + struct.pack("<I", len(body)) + body


def set_u32(data, at, value):
    return data[:at] + struct.pack("<I", value) + data[at + 4:]


def data_offset(wav):
    return wav.index(b"data") + 8


# ---------------------------------------------------------------------------
# Damaged inputs: each is refused with a message, and no output appears.


def damaged_inputs():
    data = bytes(range(256)) * 64
    good_wav = wav_file(STEREO16.stored(16), data)
    good_avi = avi_file(STEREO16, data, 2000)
    idx1 = good_avi.rindex(b"idx1") + 8
    strh = good_avi.index(b"strh") + 8
    wav_block_align = good_wav.index(b"fmt ") + 8 + 12
    avi_block_align = good_avi.index(b"strf") + 8 + 12
    data_size_at = good_wav.index(b"data") + 4

    cut_wav = good_wav[:len(good_wav) // 2]
    return [
        ("WAVE: data chunk overruns its parent", set_u32(good_wav, data_size_at, len(data) + 2),
         ".wav", OPEN_DAMAGED),
        ("AVI: strf chunk overruns its strl list",
         set_u32(good_avi, good_avi.index(b"strf") + 4, 4000), ".avi", OPEN_DAMAGED),
        ("WAVE: file cut inside the data chunk", cut_wav, ".wav", OPEN_DAMAGED),
        ("WAVE: data chunk cut short, RIFF size matching the file",
         set_u32(cut_wav, 4, len(cut_wav) - 8), ".wav", OPEN_DAMAGED),
        ("WAVE: nBlockAlign 0", good_wav[:wav_block_align] + b"\0\0" +
         good_wav[wav_block_align + 2:], ".wav", OPEN_DAMAGED),
        ("AVI: nBlockAlign 0", good_avi[:avi_block_align] + b"\0\0" +
         good_avi[avi_block_align + 2:], ".avi", OPEN_DAMAGED),
        ("AVI: index entry outside the file", set_u32(good_avi, idx1 + 16 + 8, 0x7FFFFFF0),
         ".avi", OPEN_DAMAGED),
        ("AVI: index entry size beyond the movi list", set_u32(good_avi, idx1 + 12, 1 << 30),
         ".avi", OPEN_DAMAGED),
        ("AVI: stream header declares more samples than stored",
         set_u32(good_avi, strh + 32, len(data) // 4 + 1), ".avi", READ_DISK),
        ("AVI without index: stream header declares more samples than stored",
         set_u32(avi_file(STEREO16, data, 2000, index=False), strh + 32, len(data) // 4 * 3),
         ".avi", READ_DISK),
        ("AVI: stream header declares 2^31 + 1 samples",
         set_u32(good_avi, strh + 32, (1 << 31) + 1), ".avi", TOO_LARGE),
    ]


def test_damaged_inputs(suite, program, work):
    for name, content, suffix, message in damaged_inputs():
        for to_stdout in (False, True):
            row = f"{Path(program).name} {name} ({'stdout' if to_stdout else 'file'})"
            if not suite.wants(row):
                continue
            case = work / "damaged"
            shutil.rmtree(case, ignore_errors=True)
            case.mkdir()
            source = case / ("in" + suffix)
            source.write_bytes(content)
            out = case / "out.wav"
            args = [program, str(source)] + (["-"] if to_stdout else [str(out)])
            result = run(args)
            problems = expect_failure(result, message,
                                      stdout_empty=to_stdout and message != READ_DISK)
            if message != READ_DISK and out.exists():
                problems.append("an output file was created")
            if source.read_bytes() != content:
                problems.append("the input changed")
            suite.check(row, problems)


# ---------------------------------------------------------------------------
# Failing destinations and inputs.


def write_input(path, fmt, data):
    path.write_bytes(wav_file(fmt.stored(16), data))
    return sha256(path)


def test_full_device(suite, program, work):
    for label, size in (("small, failing when closed", 400), ("large", 6 << 20)):
        if not suite.wants(f"output on a full device ({label})"):
            continue
        source = work / "full.wav"
        digest = write_input(source, STEREO16, random.Random(size).randbytes(size))
        problems = expect_failure(run([program, str(source), "/dev/full"]), WRITE_FAILED)
        if sha256(source) != digest:
            problems.append("the input changed")
        suite.check(f"output on a full device ({label})", problems)


def test_reader_quits(suite, program, work):
    if not suite.wants("standard output closed early by its reader (| head -c 1000)"):
        return
    source = work / "pipe.wav"
    digest = write_input(source, STEREO16, random.Random(5).randbytes(16 << 20))
    with open(work / "pipe.err", "w+b") as err:
        writer = start([program, str(source), "-"], stdout=subprocess.PIPE, stderr=err)
        head = start(["head", "-c", "1000"], stdin=writer.stdout, stdout=subprocess.PIPE)
        writer.stdout.close()
        taken = head.communicate()[0]
        writer.wait()
        err.seek(0)
        result = subprocess.CompletedProcess(writer.args, writer.returncode, b"", err.read())
    problems = expect_failure(result, WRITE_FAILED)
    if taken != source.read_bytes()[:1000]:
        problems.append("the first 1000 bytes differ from the input's")
    if sha256(source) != digest:
        problems.append("the input changed")
    suite.check("standard output closed early by its reader (| head -c 1000)", problems)


def test_unwritable_directory(suite, program, work):
    if not suite.wants("output directory without write permission"):
        return
    case = work / "perm"
    case.mkdir()
    for directory in (work, case):
        directory.chmod(0o755)
    source = case / "in.wav"
    digest = write_input(source, STEREO16, bytes(4000))
    source.chmod(0o644)
    locked = case / "locked"
    locked.mkdir()
    # The program is copied where any user may run it.
    runnable = case / Path(program).name
    shutil.copy(program, runnable)
    runnable.chmod(0o755)
    args = [str(runnable), str(source), str(locked / "out.wav")]
    if os.geteuid() == 0:
        # root writes anywhere: run as nobody, who may read the input only.
        args = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] + args
        locked.chmod(0o755)
    else:
        locked.chmod(0o555)
    problems = expect_failure(run(args), OUTPUT_FAILED)
    if any(locked.iterdir()):
        problems.append("something was written in the directory")
    if sha256(source) != digest:
        problems.append("the input changed")
    suite.check("output directory without write permission", problems)


def test_input_truncated(suite, program, work):
    """The input shrinks while a conversion reads it. The run is held still by
    its own output pipe: once 1 MiB has been taken, the writer blocks and the
    reader can be at most a ring (8 MiB of 8-bit mono) further on, so cutting
    the file at 16 MiB always falls in data not read yet."""
    if not suite.wants("input truncated while it is read"):
        return
    source = work / "shrink.wav"
    data = random.Random(6).randbytes(48 << 20)
    write_input(source, MONO8, data)
    cut = 16 << 20
    with open(work / "shrink.err", "w+b") as err:
        proc = start([program, str(source), "-"], stdout=subprocess.PIPE, stderr=err)
        taken = proc.stdout.read(44 + (1 << 20))
        os.truncate(source, cut)
        taken += proc.stdout.read()
        proc.wait()
        err.seek(0)
        result = subprocess.CompletedProcess(proc.args, proc.returncode, b"", err.read())
    problems = expect_failure(result, READ_DISK)
    got = taken[44:]
    if taken[:44] != wave_header(MONO8, len(data)):
        problems.append("the header differs")
    if not (1 << 20) <= len(got) <= cut - 44:
        problems.append(f"{len(got)} data bytes written, expected 1 MiB up to the cut")
    if got != data[:len(got)]:
        problems.append("the data written differs from the input's")
    suite.check("input truncated while it is read", problems)


def sparse_wave(path, header, data_size):
    """`header` and `data_size` data bytes, mostly holes, with marks where a
    wrong offset would show: at the start, around 2 and 4 GiB and at the
    end."""
    with open(path, "wb") as f:
        f.write(header)
        f.truncate(len(header) + data_size)
        for at in (0, (1 << 31) - 3, (1 << 32) - 3, data_size - 5):
            if 0 <= at <= data_size - 5:
                f.seek(len(header) + at)
                f.write(b"\x11\x22\x33\x44\x55")


def compare_stream(stream, path, start, size):
    """Problems, reading `stream` to its end against `size` bytes of `path`
    from `start`."""
    seen = 0
    with open(path, "rb") as want:
        want.seek(start)
        while block := stream.read(1 << 20):
            if want.read(len(block)) != block:
                return [f"data differs in the MiB from {seen}"]
            seen += len(block)
    return [] if seen == size else [f"{seen} data bytes, expected {size}"]


def test_over_2_gib(suite, program, work, to_file):
    """A data size between 2 and 4 GiB converts exactly; debug offsets show as
    negative past 2 GiB."""
    name = f"{Path(program).name} data of 3 GiB to {'a file' if to_file else 'stdout'}"
    if not suite.wants(name):
        return
    source = work / "big.wav"
    size = (3 << 30) + 4 * 12345
    sparse_wave(source, wave_header(STEREO16, size), size)
    out = work / "big-out.wav"
    args = [program, "-d", str(source), str(out) if to_file else "-"]
    problems = []
    with open(work / "big.err", "w+b") as err:
        # Writing to a file, the program prints its messages on standard output.
        proc = start(args, stdout=err if to_file else subprocess.PIPE, stderr=err)
        if not to_file:
            if proc.stdout.read(44) != wave_header(STEREO16, size):
                problems.append("the header differs")
            problems += compare_stream(proc.stdout, source, 44, size)
        proc.wait()
        err.seek(0)
        messages = err.read().decode("utf-8", "replace")
    if to_file:
        with open(out, "rb") as f:
            if f.read(44) != wave_header(STEREO16, size):
                problems.append("the header differs")
            problems += compare_stream(f, source, 44, size)
        out.unlink()
    source.unlink()
    if proc.returncode != 0:
        problems.append(f"status {proc.returncode}; stderr ends {messages[-300:]!r}")
    last = size - 1 - (1 << 32)
    if f"- {last} のデータを書き出しました。" not in messages:
        problems.append(f"no debug line for the last byte at {last}")
    if not re.search(r"^-\d+ - -\d+ のデータを読み取りました。$", messages, re.M):
        problems.append("no read past 2 GiB shown with negative offsets")
    suite.check(name, problems)


def test_too_many_samples(suite, program, work):
    """More than 2^31 samples, which AVIStreamRead cannot address, are refused
    before any output exists: declared by an AVI, or stored in a WAVE file of
    8-bit mono."""
    def row(suffix, to_stdout):
        return (f"{Path(program).name} {suffix}: 2^31 + 1 samples refused "
                f"({'stdout' if to_stdout else 'file'})")

    if not suite.wants(*(row(suffix, to_stdout) for suffix in (".avi", ".wav")
                         for to_stdout in (False, True))):
        return
    avi = work / "huge.avi"
    avi.write_bytes(avi_file(STEREO16, bytes(4000), 1000, length=(1 << 31) + 1))
    wav = work / "huge.wav"
    sparse_wave(wav, wave_header(MONO8, (1 << 31) + 1), (1 << 31) + 1)
    out = work / "huge-out.wav"
    for source in (avi, wav):
        digest = sha256(source)
        for to_stdout in (False, True):
            if not suite.wants(row(source.suffix, to_stdout)):
                continue
            result = run([program, str(source), "-" if to_stdout else str(out)])
            problems = expect_failure(result, TOO_LARGE, stdout_empty=to_stdout)
            if out.exists():
                problems.append("an output file was created")
            if sha256(source) != digest:
                problems.append("the input changed")
            suite.check(row(source.suffix, to_stdout), problems)
    wav.unlink()


def samples_read_by(path):
    """The sample count that sox and ffprobe find in `path`'s header."""
    sox = run(["sox", "--i", "-s", str(path)]).stdout.decode().strip()
    probe = run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                 "stream=duration_ts", "-of", "default=nw=1:nk=1", str(path)])
    return sox, probe.stdout.decode().strip()


def test_rf64(suite, program, work, to_file):
    """4 GiB + 4 KiB of 16-bit stereo, from RF64 to RF64, exactly; sox and
    ffmpeg count its samples."""
    name = f"{Path(program).name} RF64 of 4 GiB + 4 KiB to {'a file' if to_file else 'stdout'}"
    if not suite.wants(name):
        return
    source = work / "rf64.wav"
    size = (4 << 30) + 4096
    sparse_wave(source, rf64_header(STEREO16, size), size)
    out = work / "rf64-out.wav"
    problems = []
    with open(work / "rf64.err", "w+b") as err:
        proc = start([program, "-q", str(source), str(out) if to_file else "-"],
                     stdout=subprocess.PIPE, stderr=err)
        if not to_file:
            if proc.stdout.read(80) != rf64_header(STEREO16, size):
                problems.append("the header differs")
            problems += compare_stream(proc.stdout, source, 80, size)
        proc.wait()
        err.seek(0)
        messages = err.read()
    if proc.returncode != 0 or messages:
        problems.append(f"status {proc.returncode}, stderr {messages[-300:]!r}")
    if to_file:
        with open(out, "rb") as f:
            if f.read(80) != rf64_header(STEREO16, size):
                problems.append("the header differs")
            problems += compare_stream(f, source, 80, size)
        counted = samples_read_by(out)
        if counted != (str(size // 4),) * 2:
            problems.append(f"sox and ffprobe count {counted}, expected {size // 4}")
        out.unlink()
    source.unlink()
    suite.check(name, problems)


def test_rf64_boundary(suite, program, work):
    """The largest data the plain header holds (36 + data = 2^32 - 1) keeps
    it; one sample more makes the output RF64. 24-bit mono, so that both
    sizes are whole samples, fewer than 2^31."""
    mono24 = WaveFormat(1, 48000, 24)
    largest = 0xFFFFFFFF - 36
    for size, header in ((largest, wave_header(mono24, largest)),
                         (largest + 3, rf64_header(mono24, largest + 3))):
        name = f"{size} bytes of 24-bit mono: {header[:4].decode()} header"
        if not suite.wants(name):
            continue
        source = work / "edge.wav"
        sparse_wave(source, header, size)
        problems = []
        proc = start([program, "-q", str(source), "-"], stdout=subprocess.PIPE,
                     stderr=subprocess.DEVNULL)
        if proc.stdout.read(len(header)) != header:
            problems.append("the header differs")
        seen = 0
        while block := proc.stdout.read(1 << 20):
            seen += len(block)
        if proc.wait() != 0 or seen != size:
            problems.append(f"status {proc.returncode}, {seen} data bytes, expected {size}")
        source.unlink()
        suite.check(name, problems)


def test_block_sizes(suite, program, work):
    """Blocks of any size convert exactly: compressed pass-through, large PCM
    frames, and the largest nBlockAlign there is."""
    cases = [(0x2000, 6, 1792, 3000), (1, 256, 512, 3000), (1, 512, 1024, 2000),
             (1, 2048, 4096, 3), (1, 1, 65535, 3)]
    for tag, channels, block, count in cases:
        if not suite.wants(f"{Path(program).name} {count} blocks of {block} bytes"):
            continue
        fmt = WaveFormat(channels, 48000, 16, tag)
        fmt.block_align = block
        fmt.avg_bytes = 48000 * block
        data = random.Random(block).randbytes(block * count)
        source = work / "blocks.wav"
        source.write_bytes(wav_file(fmt.stored(16), data))
        out = work / "blocks-out.wav"
        result = run([program, "-q", str(source), str(out)])
        problems = [] if result.returncode == 0 and not result.stderr else [
            f"status {result.returncode}, stderr {result.stderr[-300:]!r}"]
        if not out.exists() or out.read_bytes() != wave_header(fmt, len(data)) + data:
            problems.append("the output differs from header and data")
        out.unlink(missing_ok=True)
        suite.check(f"{Path(program).name} {count} blocks of {block} bytes", problems)


def test_extensible_for_flac(suite, program, work):
    """flac takes 6 channels only with a speaker mask: -e gives plain PCM
    the extensible format and the usual 5.1 mask, and an extensible input
    keeps its own mask."""
    six = WaveFormat(6, 48000, 24)
    data = random.Random(7).randbytes(six.block_align * 4800)
    side_speakers = six.stored(40)[:20] + struct.pack("<I", 0x60F) + six.stored(40)[24:]
    for name, stored, args, mask in (("plain", six.stored(16), [], None),
                                     ("plain, -e", six.stored(16), ["-e"], 0x3F),
                                     ("extensible 0x60F", side_speakers, [], 0x60F)):
        row = f"6-channel 24-bit, {name}: flac {'takes' if mask else 'refuses'} it"
        if not suite.wants(row):
            continue
        source = work / "six.wav"
        source.write_bytes(wav_file(stored, data))
        out = work / "six-out.wav"
        result = run([program, "-q"] + args + [str(source), str(out)])
        problems = [] if result.returncode == 0 else [f"status {result.returncode}"]
        wave = out.read_bytes() if out.exists() else b""
        got_mask = struct.unpack_from("<I", wave, 40)[0] if wave[20:22] == b"\xfe\xff" else None
        if got_mask != mask:
            problems.append(f"channel mask {got_mask}, expected {mask}")
        if wave[-len(data):] != data:
            problems.append("the data differs")
        flac = run(["flac", "-s", "-f", "-o", str(work / "six.flac"), str(out)])
        if (flac.returncode == 0) != (mask is not None):
            problems.append(f"flac ended with {flac.returncode}: {flac.stderr[-200:]!r}")
        out.unlink(missing_ok=True)
        suite.check(row, problems)


# What each reader makes of -e's output for samples narrower than their
# containers, measured with Debian 12's flac 1.4.2, ffmpeg 5.1 and sox 14.4.2.
# sox takes no such file ("WAVE file fmt with padded samples is not supported
# yet"); ffmpeg picks its decoder by the valid bits alone, so 24 bits in 32
# become 3-byte floats ("pcm_f24le") and 4/3 as many frames.
PADDED_CASES = [  # valid bits, container bits, each reader's outcome
    (24, 32, {"flac": "exact", "ffmpeg": "misreads", "sox": "refuses"}),
    (20, 24, {"flac": "exact", "ffmpeg": "exact", "sox": "refuses"}),
    (12, 16, {"flac": "exact", "ffmpeg": "exact", "sox": "refuses"}),
]


def padded_samples(fmt, container, frames, seed):
    """`frames` of `fmt`, each sample random in its valid bits at the top of
    its container, with the bits below zero."""
    rng = random.Random(seed)
    return b"".join((rng.getrandbits(fmt.bits) << (container - fmt.bits))
                    .to_bytes(container // 8, "little") for _ in range(frames * fmt.channels))


def top_bytes(data, container, keep):
    """Each sample of `data` in its `keep` most significant bytes: cut below,
    or padded with zero bytes where `keep` is wider than the container."""
    size = container // 8
    pad = bytes(max(0, keep - size))
    return b"".join(pad + data[max(i, i + size - keep):i + size]
                    for i in range(0, len(data), size))


def flac_view(wave, work):
    """What flac makes of `wave`: None if it refuses it, else channels,
    frames, bits per sample and the samples as its decoder writes them,
    without any option: -e writes the masks flac knows, 6.1 with side
    speakers (0x70F) for 7 channels among them."""
    encoded = work / "padded.flac"
    if run(["flac", "-s", "-f", "-o", str(encoded), str(wave)]).returncode != 0:
        return None
    facts = run(["metaflac", "--show-channels", "--show-total-samples", "--show-bps",
                 str(encoded)]).stdout.split()
    channels, frames, bits = (int(fact) for fact in facts)
    # The decoder writes a WAVE file; its samples are the end of it.
    decoded = run(["flac", "-s", "-d", "-c", str(encoded)]).stdout
    size = frames * channels * ((bits + 7) // 8)
    return {"channels": channels, "frames": frames, "bits": bits,
            "samples": decoded[max(0, len(decoded) - size):]}


def ffmpeg_view(wave):
    """What ffprobe and ffmpeg make of `wave`: None if they refuse it, else
    channels, frames, container bits and the samples as 32-bit integers."""
    probe = run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                 "stream=channels,duration_ts,bits_per_sample", "-of", "default=nw=1",
                 str(wave)])
    decoded = run(["ffmpeg", "-v", "error", "-i", str(wave), "-f", "s32le", "-"])
    if probe.returncode != 0 or decoded.returncode != 0:
        return None
    facts = dict(line.split("=") for line in probe.stdout.decode().split())
    return {"channels": int(facts["channels"]), "frames": int(facts["duration_ts"]),
            "bits": int(facts["bits_per_sample"]), "samples": decoded.stdout}


def sox_view(wave):
    """What sox makes of `wave`: None if it refuses it, else channels,
    frames, precision and the samples as 32-bit integers."""
    facts = [run(["sox", "--i", option, str(wave)]) for option in ("-c", "-s", "-p")]
    decoded = run(["sox", str(wave), "-t", "s32", "-"])
    if decoded.returncode != 0 or any(fact.returncode != 0 for fact in facts):
        return None
    channels, frames, bits = (int(fact.stdout) for fact in facts)
    return {"channels": channels, "frames": frames, "bits": bits, "samples": decoded.stdout}


def test_extensible_padded(suite, program, work):
    """-e on samples in wider containers declares the container as the bits
    per sample and the stream's bits as the valid bits, so that readers step
    through the data by the container; without -e the header stays the
    stream's own."""
    for valid, container, outcomes in PADDED_CASES:
        readers = ", ".join(f"{reader} {outcome}" for reader, outcome in outcomes.items())
        for channels in range(1, 9):
            name = f"-e, {channels}ch {valid} bits in {container}"
            if not suite.wants(f"{name}: {readers}"):
                continue
            fmt = WaveFormat(channels, 48000, valid, container=container)
            frames = 4800
            data = padded_samples(fmt, container, frames, channels)
            source = work / "padded.wav"
            source.write_bytes(wav_file(fmt.stored(16), data))
            out = work / "padded-out.wav"
            result = run([program, "-q", "-e", str(source), str(out)])
            wave = out.read_bytes() if out.exists() else b""
            problems = [] if result.returncode == 0 and not result.stderr else [
                f"status {result.returncode}, stderr {result.stderr[-300:]!r}"]
            tag, bits = struct.unpack_from("<H12xH", wave, 20) if len(wave) > 68 else (0, 0)
            got_valid = struct.unpack_from("<H", wave, 38)[0] if tag == 0xFFFE else 0
            if (tag, bits, got_valid) != (0xFFFE, container, valid) or wave[68:] != data:
                problems.append(f"header {wave[:68].hex()}, expected extensible, "
                                f"{container} bits, {valid} valid, then the data")
            # Each reader as it presents the samples: flac in the bytes the
            # valid bits need, ffmpeg and sox as 32-bit integers.
            facts = {"channels": channels, "frames": frames}
            as_int32 = top_bytes(data, container, 4)
            expected = {
                "flac": (flac_view(out, work),
                         dict(facts, bits=valid,
                              samples=top_bytes(data, container, (valid + 7) // 8))),
                "ffmpeg": (ffmpeg_view(out), dict(facts, bits=container, samples=as_int32)),
                "sox": (sox_view(out), dict(facts, bits=valid, samples=as_int32)),
            }
            for reader, (view, truth) in expected.items():
                wrong = [] if view is None else [key for key in truth if view[key] != truth[key]]
                outcome = "refuses" if view is None else "misreads" if wrong else "exact"
                if outcome != outcomes[reader]:
                    problems.append(f"{reader} {outcome}, expected it {outcomes[reader]}")
                    problems += [f"     {key} {view[key]}, expected {truth[key]}"
                                 if key != "samples" else "     the samples differ"
                                 for key in wrong]
            out.unlink(missing_ok=True)
            suite.check(f"{name}: {readers}", problems)
        # Without the option the output is the stream's own header and data.
        name = f"no -e, 8ch {valid} bits in {container}: the plain header"
        if not suite.wants(name):
            continue
        fmt = WaveFormat(8, 48000, valid, container=container)
        data = padded_samples(fmt, container, 4800, 8)
        source = work / "padded.wav"
        source.write_bytes(wav_file(fmt.stored(16), data))
        out = work / "padded-out.wav"
        result = run([program, "-q", str(source), str(out)])
        if result.returncode != 0 or out.read_bytes() != wave_header(fmt, len(data)) + data:
            problems = [f"status {result.returncode}, the output differs from the plain header"]
        else:
            problems = []
        out.unlink(missing_ok=True)
        suite.check(name, problems)


def test_rec_lists(suite, program, work):
    """Audio in LIST 'rec ' chunks, as older writers interleave it, converts
    exactly whether the index lists the lists (offsets of either base) or
    there is none."""
    data = random.Random(8).randbytes(4 * 30000)
    tracks = [media.AviTrack.video(4), media.AviTrack.audio(STEREO16, 16, data, 7001)]
    def row(index, to_stdout):
        return (f"{Path(program).name} AVI in rec lists, index "
                f"{index or 'none'} ({'stdout' if to_stdout else 'file'})")

    for index in ("relative", "absolute", None):
        if not suite.wants(row(index, False), row(index, True)):
            continue
        source = work / "rec.avi"
        content = media.avi_file(tracks, index, rec=True)
        source.write_bytes(content)
        for to_stdout in (False, True):
            if not suite.wants(row(index, to_stdout)):
                continue
            out = work / "rec-out.wav"
            result = run([program, "-q", str(source), "-" if to_stdout else str(out)])
            produced = result.stdout if to_stdout else out.read_bytes() if out.exists() else b""
            problems = [] if result.returncode == 0 and not result.stderr else [
                f"status {result.returncode}, stderr {result.stderr[-300:]!r}"]
            if produced != wave_header(STEREO16, len(data)) + data:
                problems.append(f"output of {len(produced)} bytes differs from the stream's")
            if source.read_bytes() != content:
                problems.append("the input changed")
            out.unlink(missing_ok=True)
            suite.check(row(index, to_stdout), problems)


# ---------------------------------------------------------------------------
# The run's surroundings: closed standard descriptors, other runs on the same
# files, a file-size limit, both streams to one place, a lost usage text.


def in_shell(args, redirections):
    """`args` run with the shell's `redirections` (such as "<&- >&-")."""
    return ["sh", "-c", f'exec "$@" {redirections}', "sh"] + [str(a) for a in args]


def test_closed_standard_descriptors(suite, program, work):
    """A standard descriptor closed at start keeps its place: no file of the
    run takes it, so no message lands in the output (the debug lines of 200
    MiB outgrow stdio's buffer during the run), and data sent to a closed
    standard output is reported lost."""
    cases = {"<&- >&-": "debug lines", "<&- 2>&-": "a read error", ">&-": "data to standard output"}
    names = {closed: f"standard descriptors closed ({closed}): {name}"
             for closed, name in cases.items()}
    if not suite.wants(*names.values()):
        return
    big = work / "closed.wav"
    sparse_wave(big, wave_header(MONO8, 200 << 20), 200 << 20)
    data = bytes(range(256)) * 64
    short = work / "closed.avi"  # declares one sample more than it stores
    short.write_bytes(avi_file(STEREO16, data, 2000, length=len(data) // 4 + 1))
    digests = [sha256(big), sha256(short)]
    out = work / "closed-out.wav"
    wave = wave_header(STEREO16, len(data) + 4) + data
    # Closed, the case, the run, its status and message (None where standard
    # error is closed), and what the output must be.
    rows = [("<&- >&-", "debug lines", ["-d", big, out], 0, None,
             lambda got: got is not None and hashlib.sha256(got).hexdigest() == digests[0]),
            ("<&- 2>&-", "a read error", ["-d", short, out], 1, None,
             lambda got: got is not None and len(got) >= 44 and wave.startswith(got)),
            (">&-", "data to standard output", [big, "-"], 1, WRITE_FAILED,
             lambda got: got is None)]
    for closed, name, args, status, message, output_ok in rows:
        if not suite.wants(names[closed]):
            continue
        out.unlink(missing_ok=True)
        result = run(in_shell([program] + args, closed))
        if message:
            problems = expect_failure(result, message)
        else:
            problems = [] if result.returncode == status else [f"status {result.returncode}"]
        if not output_ok(out.read_bytes() if out.exists() else None):
            problems.append("the output is not what the run wrote")
        if [sha256(big), sha256(short)] != digests:
            problems.append("the input changed")
        suite.check(names[closed], problems)
    big.unlink()


# How a row opens a standard stream on a file, by operator: ">" cuts it, ">>"
# appends, "<>" opens it for reading and writing without cutting.
STREAM_FDS = {"stdout": (1,), "stderr": (2,), "both": (1, 2)}


def redirections(fds, operator, path):
    """Standard output and/or error opened on `path` with `operator`; with
    both, standard error follows standard output there (2>&1)."""
    first = f"{fds[0]}{operator} {path}"
    return first + (" 2>&1" if len(fds) > 1 else "")


def routed(data_to_stdout, out_taken, err_taken, messages, error):
    """What a run prints on standard output and error when the streams not
    taken are pipes: messages on their stream or else on the free one, the
    error on standard error or else on standard output, else nowhere."""
    def free(preferred):
        taken = {"out": out_taken, "err": err_taken}
        other = "err" if preferred == "out" else "out"
        return preferred if not taken[preferred] else other if not taken[other] else None
    texts = {"out": "", "err": ""}
    if free("err" if data_to_stdout else "out"):
        texts[free("err" if data_to_stdout else "out")] += messages
    if error and free("err"):
        texts[free("err")] += error
    return texts["out"], texts["err"]


def test_standard_streams_on_run_files(suite, program, work):
    """Standard output, standard error or both opened by the shell on the
    run's input or output, with each operator, for a named, a derived and a
    standard output: on the input the run is refused before anything is
    written; on the output it converts, and nothing printed lands in a file of
    the run: messages move to the other stream while that one is free."""
    def row(streams, operator, target, kind):
        refused = target == "input"
        return (f"{streams} {operator} the {target}, {kind}: "
                f"{'refused' if refused else 'converted, messages elsewhere'}")

    def rows(kind):
        return [row(streams, operator, target, kind) for target, streams, operator
                in itertools.product(("input", "output"), STREAM_FDS, (">", ">>", "<>"))]

    stdout_names = [f"/dev/stdout named as the output, {name}: data alone"
                    for name in ("on a file", "on a pipe")]
    kinds = ("named", "derived", "standard output")
    if not suite.wants(*stdout_names, *(name for kind in kinds for name in rows(kind))):
        return
    source = work / "rule.wav"
    write_input(source, STEREO16, random.Random(12).randbytes(400000))
    wave = source.read_bytes()
    kinds = {"named": (work / "rule-out.wav", [str(work / "rule-out.wav")]),
             "derived": (Path(str(source) + ".wav"), []),
             "standard output": (work / "rule-out.wav", ["-"])}
    for kind, (out, tail) in kinds.items():
        if not suite.wants(*rows(kind)):
            continue
        args = [program, "-v", str(source)] + tail
        data_to_stdout = tail == ["-"]
        out.unlink(missing_ok=True)
        reference = run(args, stdout=open(out, "wb") if data_to_stdout else subprocess.PIPE)
        messages = (reference.stderr if data_to_stdout else reference.stdout).decode()
        settings = "".join(messages.splitlines(keepends=True)[:3])
        for target, streams, operator in itertools.product(
                ("input", "output"), STREAM_FDS, (">", ">>", "<>")):
            if not suite.wants(row(streams, operator, target, kind)):
                continue
            fds = STREAM_FDS[streams]
            path = source if target == "input" else out
            redirection = redirections(fds, operator, path)
            if data_to_stdout and 1 not in fds:
                redirection = f"> {out} " + redirection
            out.unlink(missing_ok=True)
            source.write_bytes(wave)
            refused = target == "input"
            taken_out = 1 in fds or data_to_stdout
            taken_err = 2 in fds or (data_to_stdout and streams == "both")
            want_out, want_err = routed(data_to_stdout, taken_out, taken_err,
                                        settings if refused else messages,
                                        OUTPUT_FAILED if refused else "")
            result = run(in_shell(args, redirection))
            problems = [] if result.returncode == int(refused) else [
                f"status {result.returncode}"]
            got_out = "" if taken_out else result.stdout.decode("utf-8", "replace")
            got_err = "" if taken_err else result.stderr.decode("utf-8", "replace")
            if (got_out, got_err) != (want_out, want_err):
                problems.append(f"stdout {got_out!r}, stderr {got_err!r}; "
                                f"expected {want_out!r}, {want_err!r}")
            # The shell itself cuts a file it opens with ">".
            cut = refused and operator == ">"
            if source.read_bytes() != (b"" if cut else wave):
                problems.append("the input changed")
            made = out.read_bytes() if out.exists() else None
            # A refused run writes nothing; only the shell may have made an empty file.
            shell_made = data_to_stdout and 1 not in fds
            if made != ((b"" if shell_made else None) if refused else wave):
                problems.append(f"output of {None if made is None else len(made)} bytes")
            suite.check(row(streams, operator, target, kind), problems)
        out.unlink(missing_ok=True)
    # A name of standard output itself, on a file and on a pipe: the data
    # alone goes there.
    out = work / "rule-out.wav"
    for name, redirection in (("on a file", f"> {out}"), ("on a pipe", f"| cat > {out}")):
        if not suite.wants(f"/dev/stdout named as the output, {name}: data alone"):
            continue
        out.unlink(missing_ok=True)
        result = run(["sh", "-c", f'"$@" {redirection}', "sh", program, str(source), "/dev/stdout"])
        problems = [] if result.returncode == 0 else [f"status {result.returncode}"]
        if result.stderr.decode("utf-8", "replace") != BEFORE_TRANSFER + \
                "出力ファイルを開きました。\nデータ書き出しが終了しました。\n" + AFTER_TRANSFER:
            problems.append(f"standard error {result.stderr!r}")
        if not out.exists() or out.read_bytes() != wave:
            problems.append("the output is not the input's exact copy")
        suite.check(f"/dev/stdout named as the output, {name}: data alone", problems)


def test_share_across_processes(suite, program, work):
    """While one run reads its input into a pipe nobody drains, another run
    may not write that file, a third may read it, and the first ends exact;
    an input another process has locked for writing is refused."""
    names = ("another run's input refused as output", "two runs read one input at once, exact",
             "input locked by a writer refused")
    if not suite.wants(*names):
        return
    source = work / "shared.wav"
    digest = write_input(source, STEREO16, random.Random(9).randbytes(16 << 20))
    other = work / "other.wav"
    write_input(other, MONO8, bytes(4000))
    copy = work / "shared-copy.wav"
    if suite.wants(*names[:2]):
        held = start([program, "-q", str(source), "-"], stdout=subprocess.PIPE)
        taken = held.stdout.read(44)  # the input is open
        if suite.wants(names[0]):
            problems = expect_failure(run([program, "-q", str(other), str(source)]),
                                      OUTPUT_FAILED)
            if sha256(source) != digest:
                problems.append("the input changed")
            suite.check(names[0], problems)
        if suite.wants(names[1]):
            result = run([program, "-q", str(source), str(copy)])
        taken += held.stdout.read()
        if suite.wants(names[1]):
            problems = [f"status {code}" for code in (result.returncode, held.wait()) if code != 0]
            if sha256(copy) != digest or hashlib.sha256(taken).hexdigest() != digest:
                problems.append("an output differs from the input")
            suite.check(names[1], problems)
        held.wait()
        copy.unlink(missing_ok=True)
    if not suite.wants(names[2]):
        return

    # Record locks (lockf) and open file description locks conflict.
    with open(source, "r+b") as writer:
        fcntl.lockf(writer, fcntl.LOCK_EX | fcntl.LOCK_NB)
        problems = expect_failure(run([program, "-q", str(source), str(copy)]), OPEN_REFUSED)
    if copy.exists() or sha256(source) != digest:
        problems.append("an output file was created, or the input changed")
    suite.check(names[2], problems)


def locked(path):
    """Whether some open holds a lock on `path` (F_GETLK sees record and open
    file description locks alike)."""
    with open(path, "rb") as f:
        probe = struct.pack("hhqqi", fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0)
        return struct.unpack("hhqqi", fcntl.fcntl(f, fcntl.F_GETLK, probe))[0] != fcntl.F_UNLCK


def stop(proc):
    """Stops `proc` and waits until it is stopped: a signal is delivered
    after kill() returns, and a write may still land meanwhile."""
    proc.send_signal(signal.SIGSTOP)
    while proc.poll() is None and Path(f"/proc/{proc.pid}/stat").read_text().split(") ")[1][0] != "T":
        time.sleep(0.001)


def test_outputs_held(suite, program, work):
    """A run holds its output, named or its standard output on a file: while
    it is stopped mid-run, another run may not write that file, by name or as
    its own standard output, and the first run ends exact."""
    ways = [way for way in ("named output", "standard output on a file")
            if suite.wants(f"{way} held against other runs")]
    if not ways:
        return
    source = work / "hold.wav"
    sparse_wave(source, wave_header(MONO8, 256 << 20), 256 << 20)
    other = work / "hold-other.wav"
    write_input(other, MONO8, bytes(4000))
    held = work / "held.wav"
    for way in ways:
        held.unlink(missing_ok=True)
        with open(held, "wb") as stdout:
            first = start([program, "-q", str(source)] + ([str(held)] if way == "named output" else ["-"]),
                          stdout=stdout)
        while first.poll() is None and not locked(held):
            time.sleep(0.001)
        stop(first)
        size = held.stat().st_size
        problems = [] if first.poll() is None else ["the first run ended before it was seen"]
        problems += expect_failure(run([program, "-q", str(other), str(held)]), OUTPUT_FAILED)
        problems += expect_failure(run(in_shell([program, "-q", str(other), "-"], f">> {held}")),
                                   OUTPUT_FAILED)
        if held.stat().st_size != size:
            problems.append("another run wrote the held file")
        first.send_signal(signal.SIGCONT)
        if first.wait() != 0 or sha256(held) != sha256(source):
            problems.append(f"the first run ended {first.returncode}, its output not exact")
        suite.check(f"{way} held against other runs", problems)
    held.unlink()


def terminal_bytes(leader):
    """Everything the programs wrote to the terminal whose leader side is
    `leader`, once every follower is closed; closes `leader`."""
    screen = b""
    with contextlib.suppress(OSError):
        while block := os.read(leader, 1 << 16):
            screen += block
    os.close(leader)
    return screen


def test_outputs_nobody_else_has(suite, program, work):
    """An output is cut only when it is nobody else's: the input under any
    spelling, a file another process has open (without any lock: a reader, an
    editor) and a terminal named by path are refused before anything is cut
    or written, and every file stays as it was."""
    source = work / "own.wav"
    digest = write_input(source, STEREO16, random.Random(10).randbytes(4000))
    (work / "own-dir").mkdir()
    link = work / "own-link.wav"
    os.link(source, link)
    for name, output in (("by another spelling", f"{work}/./own.wav"),
                         ("through ..", f"{work}/own-dir/../own.wav"),
                         ("by a relative name", "own.wav"),
                         ("by a hard link", str(link))):
        problems = expect_failure(run([program, "-q", str(source), output], cwd=work),
                                  OUTPUT_FAILED)
        if sha256(source) != digest:
            problems.append("the input changed")
        suite.check(f"the input named as the output {name}: refused", problems)

    held = work / "held-by-another.wav"
    for mode in ("rb", "r+b"):
        held_digest = write_input(held, MONO8, bytes(range(256)) * 8)
        holder = start([sys.executable, "-c", "import sys\nf = open(sys.argv[1], sys.argv[2])\n"
                        "print(flush=True)\nsys.stdin.read()", str(held), mode],
                       stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        holder.stdout.readline()  # the file is open
        problems = expect_failure(run([program, "-q", str(source), str(held)]), OUTPUT_FAILED)
        holder.stdin.close()
        holder.wait()
        if sha256(held) != held_digest:
            problems.append("the held file changed")
        suite.check(f"an output another process has open ({mode}): refused", problems)

    leader, follower = pty.openpty()
    results = [run([program, "-q", str(source), os.ttyname(follower)])]
    # /dev/tty, with the terminal as the run's controlling one.
    results.append(run([program, "-q", str(source), "/dev/tty"], stdin=follower,
                       start_new_session=True,
                       preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0)))
    os.close(follower)
    screen = terminal_bytes(leader)
    for name, result in zip(("by its path", "as /dev/tty"), results):
        problems = expect_failure(result, OUTPUT_FAILED)
        if screen:
            problems.append(f"the terminal got {screen[:60]!r}")
        suite.check(f"a terminal named as the output {name}: refused", problems)


def test_wave_data_never_on_a_terminal(suite, program, work):
    """WAVE data for standard output on a terminal is refused before anything
    is written; messages for it, or data to a file, are fine there."""
    source = work / "tty.wav"
    write_input(source, MONO8, bytes(4000))
    for flags, tail, refused in (([], ["-"], True), (["-q"], ["-"], True),
                                 (["-q"], [str(work / "tty-out.wav")], False)):
        name = (f"standard output on a terminal, {' '.join(flags + tail[-1:])}: "
                f"{'refused' if refused else 'converts'}")
        if not suite.wants(name):
            continue
        leader, follower = pty.openpty()
        result = run([program] + flags + [str(source)] + tail, stdout=follower)
        os.close(follower)
        screen = terminal_bytes(leader)
        if refused:
            problems = expect_failure(result, CONSOLE_REFUSED)
            if screen:
                problems.append(f"the terminal got {screen[:60]!r}")
        else:
            problems = [] if result.returncode == 0 and not screen else [
                f"status {result.returncode}, terminal {screen[:60]!r}"]
        suite.check(name, problems)


def test_file_size_limit(suite, program, work):
    """Past the file-size limit (ulimit -f) a write fails and is reported:
    status 1 and the output cut exactly at the limit, to a named file or to
    standard output redirected to one."""
    limit = 100 << 10
    names = {to_stdout: f"file-size limit of {limit} bytes ({'stdout' if to_stdout else 'file'})"
             for to_stdout in (False, True)}
    if not suite.wants(*names.values()):
        return
    source = work / "limit.wav"
    digest = write_input(source, STEREO16, random.Random(10).randbytes(400000))
    out = work / "limit-out.wav"
    for to_stdout in (False, True):
        if not suite.wants(names[to_stdout]):
            continue
        out.unlink(missing_ok=True)
        args = ["prlimit", f"--fsize={limit}", program, "-q", str(source)]
        if to_stdout:
            with open(out, "wb") as f:
                result = run(args + ["-"], stdout=f, stderr=subprocess.PIPE)
        else:
            result = run(args + [str(out)])
        problems = expect_failure(result, WRITE_FAILED)
        if not out.exists() or out.read_bytes() != source.read_bytes()[:limit]:
            problems.append(f"the output is not the input's first {limit} bytes")
        if sha256(source) != digest:
            problems.append("the input changed")
        suite.check(names[to_stdout], problems)


def test_one_place_for_both_streams(suite, program, work):
    """With standard output and error sent to one place (2>&1), an error
    stands where it happened among the messages: from the main thread (no
    output directory) and from the writer (a full device)."""
    def row(name):
        return f"both streams to one place, error in order: {name}"

    if not suite.wants(row("no output directory"), row("full device")):
        return
    source = work / "order.wav"
    digest = write_input(source, STEREO16, random.Random(11).randbytes(6 << 20))
    rows = [("no output directory", work / "nodir/out.wav", OUTPUT_FAILED),
            ("full device", "/dev/full",
             "出力ファイルを開きました。\n" + WRITE_FAILED + "データ書き出しが終了しました。\n")]
    for name, out, middle in rows:
        if not suite.wants(row(name)):
            continue
        result = run([program, str(source), str(out)], stderr=subprocess.STDOUT)
        problems = [] if result.returncode == 1 else [f"status {result.returncode}"]
        text = result.stdout.decode("utf-8", "replace")
        if text != BEFORE_TRANSFER + middle + AFTER_TRANSFER:
            problems.append(f"2>&1 shows {text!r}")
        if sha256(source) != digest:
            problems.append("the input changed")
        suite.check(row(name), problems)


def test_interrupts(suite, program, work):
    """Ctrl+C, Ctrl+Break and a closed console (SIGINT, SIGTERM and SIGHUP to
    the Linux layer) while the run's output is not drained, which holds it in the
    middle until it has said that it was interrupted: then drained, status 1,
    the one message, the whole teardown, within 3 s, and the output the
    header and a prefix of the data. Never drained again, the writer stuck in
    its write is left behind and the process ends all the same. A reader
    ended by the same Ctrl+C adds no second failure; nohup's ignored SIGHUP
    stays ignored."""
    rows = [("SIGINT, named output (a FIFO)", signal.SIGINT, True, True),
            ("SIGTERM, standard output", signal.SIGTERM, False, True),
            ("SIGHUP, named output (a FIFO)", signal.SIGHUP, True, True),
            ("SIGINT, standard output never drained again", signal.SIGINT, False, False),
            ("SIGINT, named output (a FIFO) never drained again", signal.SIGINT, True, False)]
    pipeline = "interrupt: a pipeline, its reader ended by the same Ctrl+C"
    nohup = "interrupt: SIGHUP ignored under nohup"
    if not suite.wants(*(f"interrupt: {row[0]}" for row in rows), pipeline, nohup):
        return
    source = work / "interrupt.wav"
    data = random.Random(12).randbytes(16 << 20)  # twice the 8 MiB ring
    digest = write_input(source, MONO8, data)
    expected = wave_header(MONO8, len(data)) + data
    fifo = work / "interrupt-out.wav"

    def before(output):
        return (f"入力ファイル: {source}\n出力ファイル: {output}\n対象ストリーム番号: 0\n"
                "入力ファイルを開きました。\nオーディオストリームを開きました。\n"
                "オーディオストリーム情報を取得しました。\n"
                "サンプルのサイズ: 1 Byte\n総サンプル数: 16777216\n"
                "オーディオストリームのWaveフォーマットを取得しました。\n"
                "チャンネル数: 1\nビット数: 8\nサンプリングレート: 8000\n")

    # Writing to a named file, the program prints all but errors on stdout.
    # Drained, the writer ends writing; left behind, it does not.
    def want(to_fifo, drained):
        ended = WRITING_ENDED + ("出力ファイルを閉じました。\n" if to_fifo else "") if drained else ""
        if to_fifo:
            return before(fifo) + "出力ファイルを開きました。\n" + ended + AFTER_TRANSFER, INTERRUPTED
        return "", (before("標準出力") + "出力先を標準出力に設定しました。\n" + INTERRUPTED + ended +
                    AFTER_TRANSFER)

    for name, number, to_fifo, drained in rows:
        if not suite.wants(f"interrupt: {name}"):
            continue
        fifo.unlink(missing_ok=True)
        os.mkfifo(fifo)
        proc = start([program, "-v", str(source), str(fifo) if to_fifo else "-"],
                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        errors = Watched(proc.stderr)
        messages = Watched(proc.stdout) if to_fifo else None
        with open(fifo if to_fifo else proc.stdout.fileno(), "rb", closefd=to_fifo) as stream:
            taken = stream.read(1 << 16)  # the transfer has begun
            sent = time.monotonic()
            proc.send_signal(number)
            said = errors.wait_for(INTERRUPTED.encode(), TIMEOUT_S)
            if drained:
                taken += stream.read()
            proc.wait()
            took = time.monotonic() - sent
            taken += stream.read()
        out = messages.all(TIMEOUT_S).decode() if to_fifo else ""
        err = errors.all(TIMEOUT_S).decode()
        problems = [] if said else ["no interrupt message while the output was held"]
        if proc.returncode != 1:
            problems.append(f"status {proc.returncode}")
        if took >= 3:
            problems.append(f"ended {took:.1f} s after the signal")
        if (out, err) != want(to_fifo, drained):
            problems.append(f"stdout {out!r}, stderr {err!r}")
        if len(taken) >= len(expected) or taken != expected[:len(taken)]:
            problems.append(f"{len(taken)} bytes out: not the header and a prefix of the data")
        if sha256(source) != digest:
            problems.append("the input changed")
        suite.check(f"interrupt: {name}", problems)
    fifo.unlink(missing_ok=True)

    # A terminal's Ctrl+C reaches the whole pipeline: its reader dies too,
    # and the run's write may fail first. Where the run then ends before its
    # control routine has been started for the signal, the routine is gone
    # and the signal takes its usual action, as on Windows, where a Ctrl+C
    # that finds no routine ends the process: a failure either way, with at
    # most one message.
    if suite.wants(pipeline):
        proc = start([program, "-q", str(source), "-"], stdout=subprocess.PIPE,
                     stderr=subprocess.PIPE, process_group=0)
        # One process, which SIGINT ends whenever it comes once it has said
        # that the data flows.
        reader = start([sys.executable, "-c",
                        "import signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); "
                        "sys.stdin.buffer.read(1000); print('taken', flush=True); "
                        "signal.pause()"],
                       stdin=proc.stdout, stdout=subprocess.PIPE, process_group=proc.pid)
        proc.stdout.close()
        reader.stdout.readline()  # the data flows: the transfer has begun
        os.killpg(proc.pid, signal.SIGINT)
        reader.wait()
        proc.wait()
        reader.stdout.close()
        err = proc.stderr.read().decode()
        problems = [] if proc.returncode in (1, -signal.SIGINT) else [
            f"status {proc.returncode}"]
        if err not in (INTERRUPTED, WRITE_FAILED) and (proc.returncode, err) != (-signal.SIGINT, ""):
            problems.append(f"stderr {err!r}, expected one failure message")
        suite.check(pipeline, problems)

    # Started ignoring SIGHUP (nohup), the run leaves it ignored while it
    # catches SIGINT: the kernel drops the SIGHUP as it is sent.
    if suite.wants(nohup):
        proc = start([program, "-q", str(source), "-"], stdout=subprocess.PIPE,
                     stderr=subprocess.PIPE,
                     preexec_fn=lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN))
        taken = proc.stdout.read(1 << 16)  # the transfer has begun
        ignored, caught = signals(proc.pid, "SigIgn"), signals(proc.pid, "SigCgt")
        proc.send_signal(signal.SIGHUP)
        taken += proc.stdout.read()
        proc.wait()
        problems = [] if proc.returncode == 0 and taken == expected else [
            f"status {proc.returncode}, {len(taken)} bytes out, stderr {proc.stderr.read()!r}"]
        if signal.SIGHUP not in ignored or signal.SIGINT not in caught:
            problems.append(f"ignored {sorted(ignored)}, caught {sorted(caught)} mid-run")
        suite.check(nohup, problems)


def test_script_errors(suite, program, work):
    """A script that fails in AviSynth+ opens, and the run ends there: status
    1, the script's own text line by line, nothing created."""
    (work / "inner.avsi").write_text("y = 2\nFooBar(3)\n")
    rows = [("an unknown function", "AudioDubb()\n",
             "Script error: There is no function named 'AudioDubb'.\n(x.avs, line 1)\n"),
            ("an error in an imported file", 'x = 1\nImport("inner.avsi")\n',
             "Script error: There is no function named 'FooBar'.\n(inner.avsi, line 2)\n"
             "(x.avs, line 2)\n"),
            ("a value that is not a clip", "42\n",
             "The script's return value was not a video clip, (Is an int, 42).\n")]
    for name, text, error in rows:
        if not suite.wants(f"script: {name}"):
            continue
        (work / "x.avs").write_text(text)
        result = run([program, "-q", "x.avs", "x.wav"], cwd=work)
        problems = [] if (result.returncode, result.stdout) == (1, b"") else [
            f"status {result.returncode}, stdout {result.stdout!r}"]
        if result.stderr.decode() != SCRIPT_FAILED + error:
            problems.append(f"stderr {result.stderr.decode()!r}")
        if (work / "x.wav").exists():
            problems.append("an output file was created")
        suite.check(f"script: {name}", problems)


def test_script_named_as_its_own_output(suite, program, work):
    """AviSynth+ reads a script at open and closes it, so nothing but the
    program keeps the run from replacing it: named as the output by any
    spelling, it is refused and kept. The spellings differ as strings, so
    only the files' identity can tell."""
    script = 'BlankClip(length=25, fps=25, audio_rate=8000, channels=1, sample_type="8bit")\n'
    (work / "sub").mkdir(exist_ok=True)
    for name, output in (("as ./self.avs", "./self.avs"), ("through sub/..", "sub/../self.avs"),
                         ("by its full path", str(work / "self.avs")),
                         ("by a hard link", "link.avs")):
        row = f"script: named as its own output {name}, refused and kept"
        if not suite.wants(row):
            continue
        (work / "self.avs").write_text(script)
        (work / "link.avs").unlink(missing_ok=True)
        os.link(work / "self.avs", work / "link.avs")
        result = run([program, "-q", "self.avs", output], cwd=work)
        problems = expect_failure(result, OUTPUT_FAILED, stdout_empty=True)
        if (work / "self.avs").read_text() != script:
            problems.append("the script changed")
        suite.check(row, problems)


def test_script_interrupted_while_evaluated(suite, program, work):
    """A script is evaluated inside the open. Ctrl+C meanwhile ends the run
    once the open returns: status 1, the interrupt message once, promptly.
    The script holds the open until the test lets it go (it waits for a
    file), having said that it runs by writing one. The routine that takes
    the signal runs on a thread of its own, so the run may get as far as
    its transfer first: either way, it fails with the one message."""
    if not suite.wants("script: Ctrl+C while it is evaluated"):
        return
    (work / "wait.avs").write_text('WriteFileStart(BlankClip(), "started", "1")\n'
                                   'while (!Exist("go")) {\n}\n'
                                   "Tone(length=600, samplerate=8000)\n")
    for name in ("started", "go"):
        (work / name).unlink(missing_ok=True)
    proc = start([program, "-v", "wait.avs", "wait.wav"], cwd=work, stdout=subprocess.PIPE,
                 stderr=subprocess.PIPE)
    deadline = time.monotonic() + TIMEOUT_S
    while not (work / "started").exists() and proc.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    proc.send_signal(signal.SIGINT)
    (work / "go").touch()
    released = time.monotonic()
    out, err = proc.communicate()
    took = time.monotonic() - released
    out = out.decode()
    problems = [] if (proc.returncode, err.decode()) == (1, INTERRUPTED) else [
        f"status {proc.returncode}, stderr {err.decode()!r}"]
    opened = ("入力ファイル: wait.avs\n出力ファイル: wait.wav\n対象ストリーム番号: 0\n"
              "入力ファイルを開きました。\n")
    if not (out.startswith(opened) and out.endswith("入力ファイルを閉じました。\n")):
        problems.append(f"stdout {out!r}")
    if took >= 3:
        problems.append(f"ended {took:.1f} s after the script was let go")
    suite.check("script: Ctrl+C while it is evaluated", problems)


def plugin_pattern(size):
    """The test plugin's audio (tests/avs_plugin): byte k is ((k mod 65521) x
    31 + k div 65521) mod 256."""
    table = bytes(j * 31 & 255 for j in range(65521))
    runs = [table.translate(bytes((b + step) & 255 for b in range(256))) for step in range(256)]
    return b"".join(runs[i % 256] for i in range(size // 65521 + 1))[:size]


def pattern_avs(plugin, arguments):
    return f'LoadPlugin("{plugin}")\nTonewellPattern({arguments})\n'


def written_prefix(path, fmt, size):
    """Problems unless `path` holds the WAVE header of `size` data bytes and
    a first part of the plugin's pattern, shorter than the whole."""
    data = path.read_bytes() if path.exists() else b""
    header = wave_header(fmt, size)
    if not data.startswith(header):
        return ["the output does not start with the header"]
    data = data[len(header):]
    if len(data) >= size or data != plugin_pattern(len(data)):
        return [f"{len(data)} data bytes: not a first part of the stream"]
    return []


def test_script_read_fails(suite, program, plugin, work):
    """A filter that fails while the audio is read (the test plugin's, at a
    chosen sample, in the second read): status 1, the read's failure message
    once, and the output the header and the data read before it."""
    if not suite.wants("script: a read that fails"):
        return
    samples = 3 << 20
    size = samples * STEREO16.block_align
    (work / "failing.avs").write_text(pattern_avs(
        plugin, f"channels=2, rate=44100, samples={samples}, fail_at={5 << 19}, "
                'fail_message="the source went away"'))
    out = work / "failing.wav"
    out.unlink(missing_ok=True)
    result = run([program, "-q", "failing.avs", out.name], cwd=work)
    problems = expect_failure(result, READ_UNKNOWN) + written_prefix(out, STEREO16, size)
    suite.check("script: a read that fails", problems)


def test_script_interrupted_while_read(suite, program, plugin, work):
    """Ctrl+C while a script's read is held (each read of the plugin waits
    for a gate file, which the test makes): status 1, the interrupt message,
    promptly, and the output the header and a first part of the data. Once
    the signal is sent the test opens the gate for every read, so that the
    run may go on until it notices."""
    if not suite.wants("script: Ctrl+C while a read is held"):
        return
    samples = 1 << 24
    size = samples * STEREO16.block_align
    (work / "gated.avs").write_text(
        pattern_avs(plugin, f'channels=2, rate=44100, samples={samples}, gate="gate"'))
    gate, out = work / "gate", work / "gated.wav"
    out.unlink(missing_ok=True)
    gate.touch()  # the first read
    proc = start([program, "-q", "gated.avs", out.name], cwd=work, stdout=subprocess.PIPE,
                 stderr=subprocess.PIPE)
    deadline = time.monotonic() + TIMEOUT_S
    while gate.exists() and proc.poll() is None and time.monotonic() < deadline:
        time.sleep(0.01)
    proc.send_signal(signal.SIGINT)
    sent = time.monotonic()
    while proc.poll() is None and time.monotonic() < deadline:
        gate.touch()
        time.sleep(0.01)
    took = time.monotonic() - sent
    out_text, err = proc.communicate()
    gate.unlink(missing_ok=True)
    problems = [] if (proc.returncode, out_text, err.decode()) == (1, b"", INTERRUPTED) else [
        f"status {proc.returncode}, stdout {out_text!r}, stderr {err.decode()!r}"]
    if took >= 3:
        problems.append(f"ended {took:.1f} s after the signal")
    suite.check("script: Ctrl+C while a read is held", problems + written_prefix(out, STEREO16, size))


def test_script_past_4_gib(suite, program, work):
    """A script's audio of more than 4 GiB (8-channel 16-bit silence from
    BlankClip) goes into a pipe whole, as RF64."""
    fmt = WaveFormat(8, 48000, 16)
    samples = 5600 * 48000
    size = samples * fmt.block_align
    name = f"script: {size} bytes into a pipe"
    if not suite.wants(name):
        return
    (work / "big.avs").write_text("BlankClip(length=5600, fps=1, audio_rate=48000, channels=8, "
                                  'sample_type="16bit")\n')
    proc = start([program, "-q", "big.avs", "-"], cwd=work, stdout=subprocess.PIPE,
                 stderr=subprocess.PIPE)
    problems = [] if proc.stdout.read(80) == rf64_header(fmt, size) else ["the header differs"]
    seen, zeros = 0, bytes(1 << 20)
    while block := proc.stdout.read(1 << 20):
        if block != zeros[:len(block)] and not problems:
            problems.append(f"data not silence in the MiB from {seen}")
        seen += len(block)
    err = proc.stderr.read()
    if proc.wait() != 0 or err or seen != size:
        problems.append(f"status {proc.returncode}, {seen} data bytes of {size}, stderr {err!r}")
    suite.check(name, problems)


def test_files_the_script_read(suite, program, plugin, work):
    """A file the script read and let go (its Import, the plugin it loaded)
    is no WAVE file: named as the output or opened by the shell as standard
    output (1<>, >>), it is refused and kept, and the script still converts
    afterwards; an earlier WAVE output, an empty file and /dev/null are
    written as ever."""
    shutil.copy(plugin, work / "p.so")  # a copy of its own, which a failure may destroy
    (work / "common.avsi").write_text("function Louder(clip c) { return c.Amplify(1.0) }\n")
    (work / "main.avs").write_text('LoadPlugin("p.so")\nImport("common.avsi")\n'
                                   "Louder(TonewellPattern(samples=4800))\n")
    kept = {name: (work / name).read_bytes() for name in ("main.avs", "common.avsi", "p.so")}
    # The plugin named as the output is still mapped, so open: refused as any
    # file another handle has open.
    rows = [("the imported library named as the output", ["common.avsi"], "", NOT_WAVE),
            ("standard output 1<> the imported library", ["-"], "1<> common.avsi", NOT_WAVE),
            ("standard output >> the imported library", ["-"], ">> common.avsi", NOT_WAVE),
            ("standard output 1<> the plugin", ["-"], "1<> p.so", NOT_WAVE),
            ("the plugin named as the output", ["p.so"], "", OUTPUT_FAILED)]
    for name, output, redirection, message in rows:
        if not suite.wants(f"script: {name} is refused"):
            continue
        result = run(in_shell([program, "-q", "main.avs"] + output, redirection), cwd=work)
        problems = expect_failure(result, message)
        for file, data in kept.items():
            if (work / file).read_bytes() != data:
                problems.append(f"{file} changed")
                (work / file).write_bytes(data)
        again = run([program, "-q", "main.avs", "-"], cwd=work)
        if again.returncode != 0 or len(again.stdout) != 44 + 4 * 4800:
            problems.append(f"the script no longer converts: status {again.returncode}")
        suite.check(f"script: {name} is refused", problems)
    earlier = work / "earlier.wav"
    for name, before, redirection, output in (
            ("an earlier WAVE output is replaced", None, "", "earlier.wav"),
            ("an empty file is replaced", b"", "", "earlier.wav"),
            ("standard output 1<> an earlier WAVE output", None, "1<> earlier.wav", "-"),
            ("/dev/null takes the data", None, "", "/dev/null")):
        if not suite.wants(f"script: {name}"):
            continue
        converted = run([program, "-q", "main.avs", "-"], cwd=work).stdout
        earlier.write_bytes(converted[:44] + bytes(100) if before is None else before)
        result = run(in_shell([program, "-q", "main.avs", output], redirection), cwd=work)
        problems = [] if (result.returncode, result.stderr) == (0, b"") else [
            f"status {result.returncode}, stderr {result.stderr.decode()!r}"]
        if output != "/dev/null" and earlier.read_bytes()[:len(converted)] != converted:
            problems.append("the output is not the conversion")
        suite.check(f"script: {name}", problems)


def test_script_crashes(suite, program, plugin, work):
    """A fault in a plugin at open or in a read, and a script that recurses
    until its stack is gone: status 1 and the one report, the script and the
    plugin as they were. With TONEWELL_RAW_CRASH the fault is left as it is:
    the process dies of the signal."""
    load = f'LoadPlugin("{plugin}")\n'
    rows = [("a plugin that crashes as the script is evaluated", load + "TonewellCrash()\n"),
            ("a plugin that crashes in a read",
             load + "TonewellPattern(samples=4000000, crash_at=3000000)\n"),
            ("a script that imports itself", 'Import("crash.avs")\n'),
            ("a function that recurses without end",
             "function f(int x) { return f(x + 1) }\nf(1)\n")]
    plugin_bytes = Path(plugin).read_bytes()
    for name, script in rows:
        if not suite.wants(f"script: {name}"):
            continue
        (work / "crash.avs").write_text(script)
        result = run([program, "-q", "crash.avs", "crash.wav"], cwd=work)
        problems = expect_failure(result, FAULT, stdout_empty=True)
        if result.stderr.decode() != FAULT:
            problems.append(f"stderr {result.stderr.decode()!r}")
        if (work / "crash.avs").read_text() != script or Path(plugin).read_bytes() != plugin_bytes:
            problems.append("the script or the plugin changed")
        (work / "crash.wav").unlink(missing_ok=True)
        suite.check(f"script: {name}", problems)
    name = "script: a crash left as it is with TONEWELL_RAW_CRASH"
    if suite.wants(name):
        (work / "crash.avs").write_text(load + "TonewellCrash()\n")
        result = run([program, "-q", "crash.avs", "crash.wav"], cwd=work,
                     env=dict(os.environ, TONEWELL_RAW_CRASH="1"))
        suite.check(name, [] if (result.returncode, result.stderr) == (-signal.SIGSEGV, b"")
                    else [f"status {result.returncode}, stderr {result.stderr!r}"])


def test_script_library_by_soname(suite, program, work):
    """A machine whose AviSynth+ came from a distribution's runtime package
    has the library by its soname alone, without the link a build adds."""
    name = "script: AviSynth+ found by its soname alone"
    if not suite.wants(name):
        return
    found = run(["ldconfig", "-p"]).stdout.decode()
    library = re.search(r"libavisynth\.so\.11 .*=> (\S+)", found)
    if not library:
        suite.check(name, ["ldconfig knows no libavisynth.so.11"])
        return
    soname_only = work / "soname-only"
    soname_only.mkdir(exist_ok=True)
    shutil.copy(os.path.realpath(library.group(1)), soname_only / "libavisynth.so.11")
    (work / "tone.avs").write_text("Tone(length=1, samplerate=8000)\n")
    result = run([WITHOUT_AVISYNTH, program, "-q", "tone.avs", "-"], cwd=work,
                 env=dict(os.environ, LD_LIBRARY_PATH=str(soname_only)))
    problems = [] if result.returncode == 0 and result.stdout[:4] == b"RIFF" else [
        f"status {result.returncode}, stderr {result.stderr.decode()!r}"]
    shutil.rmtree(soname_only)
    suite.check(name, problems)


def test_script_without_avisynth(suite, programs, work):
    """Where AviSynth+ is not installed (hidden from the 64-bit program;
    none for 32-bit Linux) a script has no handler: status 1, that message,
    nothing created. The 64-bit program converts the same script where it
    is."""
    installed = f"script: {Path(programs[0]).name} with AviSynth+ installed"
    runs = [[WITHOUT_AVISYNTH, programs[0]]] + [[program] for program in programs[1:]]

    def without(command):
        return f"script: {Path(command[-1]).name} without AviSynth+"

    if not suite.wants(installed, *map(without, runs)):
        return
    (work / "tone.avs").write_text("Tone(length=1, samplerate=8000)\n")
    (work / "tone.wav").unlink(missing_ok=True)
    converted = run([programs[0], "-q", "tone.avs", "tone.wav"], cwd=work)
    problems = [] if converted.returncode == 0 and (work / "tone.wav").exists() else [
        f"status {converted.returncode}, stderr {converted.stderr.decode()!r}"]
    (work / "tone.wav").unlink(missing_ok=True)
    suite.check(installed, problems)
    for command in runs:
        if not suite.wants(without(command)):
            continue
        result = run(command + ["-q", "tone.avs", "tone.wav"], cwd=work)
        problems = expect_failure(result, NO_HANDLER, stdout_empty=True)
        if (work / "tone.wav").exists():
            problems.append("an output file was created")
        suite.check(without(command), problems)


def test_usage_lost(suite, program):
    """A usage text or a version that cannot be written ends with status 1
    and says so."""
    for args, redirection, lost in ((["-h"], "> /dev/full", USAGE_LOST),
                                    ([], "> /dev/full", USAGE_LOST),
                                    (["-h"], ">&-", USAGE_LOST),
                                    (["--version"], "> /dev/full", VERSION_LOST),
                                    (["--version"], ">&-", VERSION_LOST)):
        name = f"{'version' if lost == VERSION_LOST else 'usage text'} lost " \
               f"({' '.join(args + [redirection])})"
        if not suite.wants(name):
            continue
        result = run(in_shell([program] + args, redirection))
        problems = [] if result.returncode == 1 and result.stderr == lost.encode() else [
            f"status {result.returncode}, stderr {result.stderr!r}"]
        suite.check(name, problems)


# A console: the progress line, at the levels that show it, at any width.

# The form a progress line of this suite's input takes at each width, given
# what each form takes (full 54 to 57 columns, without the rate 43 to 44,
# without the amounts 26, the shortest 14), with the last column left free.
PROGRESS_FORM_AT = {14: None, 15: "shortest", 20: "shortest", 30: "no amounts",
                    40: "no amounts", 50: "no rate", 60: "full", 80: "full", 120: "full"}


def test_progress_on_a_terminal(suite, program, work):
    """Standard error on a terminal, standard output drained slowly so that
    the run takes about a second, the terminal read back through an
    emulator: at levels 1 and 2 the progress line is drawn and rewritten in
    the widest form that fits, never wrapping (nor filling the last column),
    and cleared before each message, so that the finished screen is the one
    a pipe's messages give at that width; at levels 0 and 3 it never
    appears. Too narrow for any form, it is not drawn at all; widened
    halfway, it takes the wider form."""
    source = work / "progress.wav"
    rows = [([], columns, None) for columns in PROGRESS_FORM_AT]
    rows += [(["-v"], 40, None), (["-q"], 80, None), (["-d"], 80, None), ([], 30, 80)]
    def row(flags, columns, widen_to):
        width = f"{columns} columns" + (f", then {widen_to}" if widen_to else "")
        return f"progress on a terminal {' '.join(flags) or '(level 1)'}, {width}"

    if not suite.wants(*(row(*r) for r in rows)):
        return
    data = random.Random(8).randbytes(48 << 20)
    write_input(source, MONO8, data)  # an 8 MiB ring: the writer reports every few MiB
    for flags, columns, widen_to in rows:
        if not suite.wants(row(flags, columns, widen_to)):
            continue
        args = [program] + flags + [str(source), "-"]
        shown = flags in ([], ["-v"]) and PROGRESS_FORM_AT.get(columns) is not None
        resize = (24 << 20, widen_to) if widen_to else None
        terminal = screen.run_on_terminal(args, columns, resize=resize, timeout_s=TIMEOUT_S)
        console = terminal.console
        forms = [screen.form_of(line) for line in console.progress]
        piped = run(args).stderr.decode("utf-8", "replace")
        # The messages after the data came once the terminal had its last width.
        after = piped.index(WRITING_ENDED) if widen_to else len(piped)
        reference = screen.piped_screen([(columns, piped[:after]),
                                         (widen_to or columns, piped[after:])])
        problems = []
        if terminal.status != 0 or terminal.stdout != wave_header(MONO8, len(data)) + data:
            problems.append(f"status {terminal.status}, {len(terminal.stdout)} bytes on "
                            "standard output")
        if None in forms:
            problems.append(f"a line of no progress form: {console.progress!r}")
        expected = [PROGRESS_FORM_AT[columns]] + ([PROGRESS_FORM_AT[widen_to]] if widen_to else [])
        if shown and (sorted(set(forms)) != sorted(expected) or len(forms) < 2):
            problems.append(f"progress drawn as {forms}, expected {expected} twice or more")
        if not shown and console.progress:
            problems.append(f"progress drawn where none should be: {console.progress!r}")
        if console.wraps != reference.wraps:
            problems.append(f"{console.wraps} lines wrapped, a pipe's messages wrap "
                            f"{reference.wraps}")
        # Debug lines show pieces, which depend on timing.
        if flags != ["-d"] and console.shown() != reference.shown():
            problems.append(f"the screen shows {console.shown()!r}, a pipe's messages "
                            f"{reference.shown()!r}")
        suite.check(f"{row(flags, columns, widen_to)}: {len(forms)} lines drawn "
                    f"{sorted(set(forms))}", problems)


# ---------------------------------------------------------------------------
# Soak: random formats and sizes around the ring's quarter, end and wrap.

FORMATS = [WaveFormat(1, 8000, 8), WaveFormat(2, 22050, 8), WaveFormat(1, 44100, 16),
           WaveFormat(2, 44100, 16), WaveFormat(1, 48000, 24), WaveFormat(2, 96000, 24),
           WaveFormat(2, 48000, 32), WaveFormat(6, 48000, 16)]


def soak_size(rng, block, max_bytes):
    """A sample count near a boundary of the ring, within `max_bytes`."""
    anchors = [0, RING_SAMPLES // 4, RING_SAMPLES // 2, RING_SAMPLES, RING_SAMPLES * 5 // 4,
               RING_SAMPLES * 2, RING_SAMPLES * 9 // 4]
    anchors = [a for a in anchors if (a + 1) * block <= max_bytes] or [0]
    anchor = rng.choice(anchors)
    delta = rng.choice([-1, 0, 1, rng.randint(-4096, 4096), rng.randint(0, 1 << 20)])
    return max(0, min(anchor + delta, max_bytes // block))


def test_soak(suite, program, work, seconds, max_bytes, seed):
    if not suite.wants("soak"):
        return
    rng = random.Random(seed)
    pool = random.Random(seed).randbytes(max_bytes)
    ends = time.monotonic() + seconds
    conversions = 0
    total = 0
    while time.monotonic() < ends:
        fmt = rng.choice(FORMATS)
        count = soak_size(rng, fmt.block_align, max_bytes)
        start = rng.randrange(0, max_bytes - count * fmt.block_align + 1)
        data = pool[start:start + count * fmt.block_align]
        kind = rng.choice(["wav", "avi", "avi-no-index"])
        if kind == "wav":
            content = wav_file(fmt.stored(rng.choice([16, 18])), data)
        else:
            # Chunks of any size, whole blocks or not; not too many of them.
            piece = max(rng.choice([1, 7, 1000, 4096, 65537, 300000]), len(data) // 4096 + 1)
            content = avi_file(fmt, data, piece, index=kind == "avi")
        source = work / f"soak.{kind[:3]}"
        source.write_bytes(content)
        to_stdout = rng.random() < 0.5
        out = work / "soak-out.wav"
        result = run([program, "-q", str(source), "-" if to_stdout else str(out)])
        produced = result.stdout if to_stdout else out.read_bytes() if out.exists() else b""
        problems = []
        if result.returncode != 0 or result.stderr:
            problems.append(f"status {result.returncode}, stderr {result.stderr[-300:]!r}")
        if produced != wave_header(fmt, len(data)) + data:
            problems.append(f"output of {len(produced)} bytes differs from the input's data")
        name = (f"soak {conversions}: {kind}, {fmt.channels}ch {fmt.bits}-bit, "
                f"{count} samples, to {'stdout' if to_stdout else 'a file'}")
        if problems:
            suite.check(name, problems)
        else:
            suite.passed += 1
        out.unlink(missing_ok=True)
        conversions += 1
        total += len(data)
    print(f"ok   soak: {conversions} conversions, {total / (1 << 20):.0f} MiB, seed {seed}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"),
                        help="the directory holding linux64/ and linux32/")
    parser.add_argument("--soak-seconds", type=float, default=60)
    parser.add_argument("--soak-max-mib", type=int, default=24,
                        help="largest soak input (8-bit mono wraps its ring from 8 MiB)")
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("-k", dest="keyword", metavar="TEXT",
                        help="run only the rows whose name holds TEXT (the soak: -k soak)")
    args = parser.parse_args()
    hear_ctrl_c()

    build = Path(args.build)
    program64 = str(build / "linux64/tonewell64")
    program32 = build / "linux32/tonewell32"
    if not Path(program64).is_file():
        print(f"{program64} not built")
        print("0 passed, 1 failed")
        return 1
    programs = [program64] + ([str(program32)] if program32.is_file() else [])

    suite = Suite(args.keyword)
    with tempfile.TemporaryDirectory(prefix="tonewell-robustness-") as tmp:
        work = Path(tmp)
        for program in programs:
            test_damaged_inputs(suite, program, work)
            test_too_many_samples(suite, program, work)
            test_block_sizes(suite, program, work)
            test_rec_lists(suite, program, work)
        test_full_device(suite, program64, work)
        test_reader_quits(suite, program64, work)
        test_unwritable_directory(suite, program64, work)
        test_input_truncated(suite, program64, work)
        test_over_2_gib(suite, program64, work, to_file=False)
        if len(programs) > 1:
            test_over_2_gib(suite, programs[1], work, to_file=True)
        test_rf64(suite, program64, work, to_file=False)
        test_rf64(suite, programs[-1], work, to_file=True)
        test_rf64_boundary(suite, program64, work)
        test_extensible_for_flac(suite, program64, work)
        test_extensible_padded(suite, program64, work)
        test_closed_standard_descriptors(suite, program64, work)
        test_standard_streams_on_run_files(suite, program64, work)
        test_share_across_processes(suite, program64, work)
        test_outputs_held(suite, program64, work)
        test_outputs_nobody_else_has(suite, program64, work)
        test_wave_data_never_on_a_terminal(suite, program64, work)
        test_file_size_limit(suite, program64, work)
        test_one_place_for_both_streams(suite, program64, work)
        test_usage_lost(suite, program64)
        test_interrupts(suite, program64, work)
        test_script_errors(suite, program64, work)
        test_script_named_as_its_own_output(suite, program64, work)
        test_script_interrupted_while_evaluated(suite, program64, work)
        test_script_past_4_gib(suite, program64, work)
        plugin = build / "linux64/tonewell_avs_pattern.so"
        if plugin.is_file():
            test_script_read_fails(suite, program64, plugin, work)
            test_script_interrupted_while_read(suite, program64, plugin, work)
            test_files_the_script_read(suite, program64, plugin, work)
            test_script_crashes(suite, program64, plugin, work)
        else:
            suite.check("script: the test plugin", [f"{plugin} not built"])
        test_script_without_avisynth(suite, programs, work)
        test_script_library_by_soname(suite, program64, work)
        test_progress_on_a_terminal(suite, program64, work)
        test_soak(suite, program64, work, args.soak_seconds, args.soak_max_mib << 20, args.seed)
    return suite.finish()


if __name__ == "__main__":
    sys.exit(main())
