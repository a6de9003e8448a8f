#!/usr/bin/env python3
"""End-to-end suite: the four programs on the same cases, byte for byte.

tonewell64.exe and tonewell32.exe run under Wine against its real avifil32,
in a throw-away prefix; tonewell64 and tonewell32 run natively against our
Linux layer. Every case writes its input files from known bytes, runs the
program in a directory of its own, and checks the exit status, every byte
of standard output and standard error (Shift_JIS with "\\r\\n" from the
Windows programs, UTF-8 with "\\n" from the Linux ones) and every output
file. Since all four programs are held to one expectation, a case passing on
all of them means they agree, except where DIFFERENCES says why not.

Run alone, after building the presets win64, win32, linux64 and linux32:
    python3 tests/e2e/run_e2e.py
    python3 tests/e2e/run_e2e.py -k "held against a second run"   # the rows so named
"""

import argparse
import contextlib
import functools
import hashlib
import itertools
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests/support"))
import corpus  # noqa: E402
import screen  # noqa: E402
from media import (PCM_SUBTYPE_GUID, AviTrack, WaveFormat, avi_file, chunk, pattern,  # noqa: E402
                   rf64_header, wav_file)
from watch import Watched, hear_ctrl_c, signals  # noqa: E402
from wine import (WINE32, WINE64, register_avisynth, register_test_source, wine_path,  # noqa: E402
                  wine_prefix)
RUN_TIMEOUT_S = 120
# In a case's arguments: the directory the case runs in, as the program
# spells it (Z:\... under Wine).
WORK_DIR = "%WORK%"
START_TIMEOUT_S = 60

# ---------------------------------------------------------------------------
# Programs


@dataclass(frozen=True)
class Program:
    label: str
    path: Path
    under_wine: bool
    bits: int
    qemu_route: bool = False  # tools/wine32 made to run it under qemu-i386 on any kernel

    @property
    def name(self):
        return f"tonewell{self.bits}"

    def encode(self, text):
        """Message bytes as this program prints them: the Windows programs hold
        Shift_JIS texts and print through text-mode streams."""
        if self.under_wine:
            return text.replace("\n", "\r\n").encode("cp932")
        return text.encode("utf-8")

    def decode(self, data):
        if self.under_wine:
            return data.decode("cp932", "replace").replace("\r\n", "\n")
        return data.decode("utf-8", "replace")

    @property
    def has_avisynth(self):
        """Whether AviSynth+ serves its scripts: under Wine both widths have
        it registered; natively only the 64-bit library is installed."""
        return self.under_wine or self.bits == 64

    def runs(self, case):
        if self.qemu_route:
            return case.name in QEMU_ROUTE_CASES
        return self.under_wine or not case.wine_only


PROGRAMS = [
    Program("wine64", ROOT / "build/win64/tonewell64.exe", True, 64),
    Program("wine32", ROOT / "build/win32/tonewell32.exe", True, 32),
    Program("linux64", ROOT / "build/linux64/tonewell64", False, 64),
    Program("linux32", ROOT / "build/linux32/tonewell32", False, 32),
    Program("wine32-qemu", ROOT / "build/win32/tonewell32.exe", True, 32, qemu_route=True),
]

# Where the kernel runs 32-bit code, tools/wine32 is Debian's wine and
# "wine32" never meets qemu; "wine32-qemu" keeps the route that kernels
# without 32-bit support take tested on these rows (elsewhere it repeats them).
QEMU_ROUTE_CASES = {
    "names with spaces, quotes and a dollar sign",
    "standard output carries the WAVE bytes untranslated",
    "2>&1: the error between the messages before and after it",
    "missing input",
    "handler: a short read in piece 2",
    "handler: 6 GiB to standard output as RF64",
    "nBlockAlign 0",
    "avisynth: 16-bit stereo",
    "avisynth: script error, an unknown function",
}


def wine_command(program):
    """The command that starts a Windows program under Wine, its arguments
    to follow. tools/wine32 runs Wine's 32-bit loader natively where the
    kernel can and under qemu-i386 where it cannot."""
    if program.bits == 64:
        return [WINE64, str(program.path)]
    route = ["env", "TONEWELL_WINE32_QEMU=1"] if program.qemu_route else []
    return route + [WINE32, str(program.path)]


def starts_under_wine(program, env):
    """Whether the program runs under Wine on this machine at all."""
    try:
        result = subprocess.run(wine_command(program) + ["-h"], env=env,
                                stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=START_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        return False
    return result.returncode == 0


# ---------------------------------------------------------------------------
# Messages, written once in UTF-8 and encoded per program

ERROR, INFO, VERBOSE, DEBUG = 0, 1, 2, 3

INPUT_OPENED = "入力ファイルを開きました。\n"
INPUT_CLOSED = "入力ファイルを閉じました。\n"
STREAM_OPENED = "オーディオストリームを開きました。\n"
STREAM_CLOSED = "オーディオストリームを閉じました。\n"
INFO_READ = "オーディオストリーム情報を取得しました。\n"
FORMAT_READ = "オーディオストリームのWaveフォーマットを取得しました。\n"
OUTPUT_OPENED = "出力ファイルを開きました。\n"
STDOUT_CHOSEN = "出力先を標準出力に設定しました。\n"
WRITING_ENDED = "データ書き出しが終了しました。\n"
OUTPUT_CLOSED = "出力ファイルを閉じました。\n"

NO_HANDLER = ("入力ファイルが開けません。指定されたファイルタイプを持つハンドラが、"
              "レジストリに見つかりませんでした。\n")
OPEN_DISK_READ = "入力ファイルが開けません。読み込み中にディスクエラーが発生しました。\n"
OPEN_DAMAGED = "入力ファイルが開けません。ファイルが破損しているか、フォーマットが不明です。\n"
NO_SUCH_STREAM = "オーディオストリームが開けません。指定されたストリームは存在しません。\n"
STREAM_UNKNOWN = "オーディオストリームが開けません。不明なエラーが発生しました。\n"
FORMAT_FAILED = "オーディオストリームのWaveフォーマット取得に失敗しました。\n"
OUTPUT_FAILED = "出力ファイルが開けません。パスを確認してください。\n"
DATA_TOO_LARGE = "オーディオストリームのデータサイズが大きすぎるため出力できません。\n"
INVALID_STREAM = "オーディオストリームが不正なため出力できません。\n"
NOT_WAVE = "出力ファイルが既に存在し、WAVEファイルではないため上書きできません。\n"
FAULT = "予期しない例外が発生したため処理を中止しました。\n"
READ_DISK = "オーディオストリーム読み込みに失敗しました。ディスクエラーが発生しました。\n"

DASH_CONFLICT = "出力ファイルと - オプションは同時に指定出来ません。\n"
BAD_OPTION = "{} オプションは使用できません。\n"
NO_STREAM_NUMBER = "--stream-number(-s)オプションの値を指定してください。\n"
TOO_MANY = "引数が多すぎます。({})\n"
NO_INPUT = "入力ファイルを指定してください。\n"
INPUT_MISSING = "入力ファイルのパスを確認してください。\n"
CONSOLE_REFUSED = ("標準出力がコンソールのため出力できません。"
                   "リダイレクトするかパイプで渡してください。\n")

# The version as the build defines it, from its one place.
VERSION = re.search(r"^project\(tonewell VERSION ([0-9.]+)",
                    (ROOT / "CMakeLists.txt").read_text(), re.M).group(1)
USAGE = """\
{name}  (version VERSION)
  Copyright (c) 2026 the tonewell developers

Usage:
  {name} <オプション> 入力ファイル <出力ファイル>

  入力ファイル    AVSファイル
  出力ファイル    WAVEファイル(省略可)
                  省略した場合は入力ファイルに.wavを追加したパスが使用される
                  - を指定するとファイルに書き出さず標準出力に出力する

  オプション (省略可)
    -h --help          ヘルプメッセージを表示
    -q --quit          メッセージ出力を抑制
    -v --verbose       詳しいメッセージを出力
    -d --debug         開発者用のメッセージを出力
    -s --stream-number 0開始で出力するストリーム番号を指定す デフォルトは0
    -e --extensible    3ch以上か16bit超のPCMと浮動小数点を拡張フォーマットで出力
""".replace("VERSION", VERSION)

LEVEL_FLAGS = {0: ["-q"], 1: [], 2: ["-v"], 3: ["-d"]}


# ---------------------------------------------------------------------------
# Expectations


@dataclass
class Expectation:
    status: int                  # None: the program crashes (any status but 0 and 1)
    out: str = ""                # message text on standard output
    err: str = ""                # message text on standard error
    stdout_data: bytes = None    # the WAVE bytes, when standard output carries them
    files: dict = field(default_factory=dict)  # name -> exact bytes, or None: absent
    partial: object = None       # PartialOutput: standard output cut short by a failure
    stdout_digest: object = None  # Digest: standard output too large to hold
    one_stream: str = None       # both texts in order, standard error sent to standard output
    faulted: bool = False        # only that a fault ended the run: status 1, FAULT last


def route(messages, level, data_to_stdout):
    """Standard output and error texts of `messages` ((level, text) pairs)
    as the program prints them at verbosity `level`."""
    out, err = "", ""
    for message_level, text in messages:
        if message_level == ERROR or data_to_stdout:
            if message_level <= level:
                err += text
        elif message_level <= level:
            out += text
    return out, err


def in_order(messages, level):
    """The text of `messages` as one place receiving both streams (2>&1)
    shows it: in the order of events."""
    return "".join(text for message_level, text in messages if message_level <= level)


@dataclass(frozen=True)
class Stream:
    """An audio stream as the layer reports it: its format, the bytes stored
    for it, and the number of whole blocks it declares."""
    fmt: WaveFormat
    data: bytes
    length: int = None
    extensible: bytes = None  # the stored 40-byte WAVE_FORMAT_EXTENSIBLE, which passes through

    @property
    def sample_count(self):
        if self.length is not None:
            return self.length
        return len(self.data) // self.fmt.block_align

    def wave(self):
        """The WAVE file the program must make of this stream."""
        size = self.sample_count * self.fmt.block_align
        fmt = self.extensible or self.fmt.pcm_fields()
        return (b"RIFF" + struct.pack("<I", size + 20 + len(fmt)) + b"WAVE" + chunk("fmt ", fmt) +
                b"data" + struct.pack("<I", size) + self.data[:size])

    def facts_messages(self):
        return [(INFO, INFO_READ),
                (VERBOSE, f"サンプルのサイズ: {self.fmt.block_align} Byte\n"),
                (VERBOSE, f"総サンプル数: {self.sample_count}\n")]

    def format_messages(self):
        return [(INFO, FORMAT_READ),
                (VERBOSE, f"チャンネル数: {self.fmt.channels}\n"),
                (VERBOSE, f"ビット数: {self.fmt.bits}\n"),
                (VERBOSE, f"サンプリングレート: {self.fmt.rate}\n")]

    def transfer_messages(self, output):
        """A complete transfer. The debug lines assume one piece, which holds
        for every stream within a quarter of the ring."""
        size = self.sample_count * self.fmt.block_align
        pieces = [] if size == 0 else [
            (DEBUG, f"0 - {size - 1} のデータを読み取りました。\n"),
            (DEBUG, f"0 - {size - 1} のデータを書き出しました。\n")]
        opened = STDOUT_CHOSEN if output is None else OUTPUT_OPENED
        closed = [] if output is None else [(VERBOSE, OUTPUT_CLOSED)]
        return [(INFO, opened), *pieces, (INFO, WRITING_ENDED), *closed]


def run_messages(input_path, output, stream_number, middle):
    """All messages of a run past the command line: the settings, then
    `middle`, which ends where the run ends."""
    return [(VERBOSE, f"入力ファイル: {input_path}\n"),
            (VERBOSE, "出力ファイル: 標準出力\n" if output is None else f"出力ファイル: {output}\n"),
            (VERBOSE, f"対象ストリーム番号: {stream_number}\n"),
            *middle]


def with_input(*inside):
    return [(INFO, INPUT_OPENED), *inside, (INFO, INPUT_CLOSED)]


def with_stream(*inside):
    return [(INFO, STREAM_OPENED), *inside, (INFO, STREAM_CLOSED)]


@dataclass
class Run:
    """One run past the command line, from which expectations are built."""
    input_path: str
    output: str = None          # None: derived from the input
    to_stdout: bool = False
    stream_number: int = 0
    level: int = 1

    def args(self):
        args = LEVEL_FLAGS[self.level] + [self.input_path]
        if self.stream_number:
            args = ["-s", str(self.stream_number)] + args
        if self.to_stdout:
            return args + ["-"]
        return args + ([self.output] if self.output else [])

    @property
    def output_path(self):
        if self.to_stdout:
            return None
        return self.output or self.input_path + ".wav"

    def expect(self, status, middle, files=None, stdout_data=None):
        messages = run_messages(self.input_path, self.output_path, self.stream_number, middle)
        out, err = route(messages, self.level, self.to_stdout)
        return Expectation(status, out, err, stdout_data, files or {})

    def in_one_stream(self, status, middle, files=None):
        """As `expect`, with standard error sent to standard output."""
        messages = run_messages(self.input_path, self.output_path, self.stream_number, middle)
        return Expectation(status, files=files or {}, one_stream=in_order(messages, self.level))

    def converted(self, stream):
        middle = with_input(*with_stream(*stream.facts_messages(), *stream.format_messages(),
                                         *stream.transfer_messages(self.output_path)))
        if self.to_stdout:
            return self.expect(0, middle, stdout_data=stream.wave())
        return self.expect(0, middle, {self.output_path: stream.wave()})

    def open_failed(self, error):
        return self.expect(1, [(ERROR, error)], {self.output_path: None})

    def stream_failed(self, error):
        return self.expect(1, with_input((ERROR, error)), {self.output_path: None})

    def format_failed(self, stream):
        middle = with_input(*with_stream(*stream.facts_messages(), (ERROR, FORMAT_FAILED)))
        return self.expect(1, middle, {self.output_path: None})

    def read_failed(self, stream):
        """The header for all the stream declares, then a first read, of the
        whole stream, that fails."""
        errors = [(INFO, OUTPUT_OPENED), (ERROR, READ_DISK), (INFO, WRITING_ENDED),
                  (VERBOSE, OUTPUT_CLOSED)]
        header = Stream(stream.fmt, b"", stream.sample_count, stream.extensible).wave()
        return self.transfer_failed(stream, errors, {self.output_path: header})

    def transfer_failed(self, stream, errors, files=None):
        """The transfer refused or failed with `errors` ((level, text)
        pairs) after the format was read."""
        middle = with_input(*with_stream(*stream.facts_messages(), *stream.format_messages(),
                                         *errors))
        return self.expect(1, middle, files if files is not None else {self.output_path: None})


# ---------------------------------------------------------------------------
# Cases


@dataclass
class Case:
    name: str
    args: list
    files: dict            # input files written before the run: name -> bytes, or a
                           # function of the Program that gives them
    expect: object         # Program -> Expectation
    run: Run = None        # the run, when the command line is accepted
    stream: Stream = None  # the stream it converts
    big: bool = False      # started first, so that the pool ends together
    # Cases of the test source handler run on the Windows programs only: the
    # Linux layer's handler for ".avs" is AviSynth+.
    wine_only: bool = False
    # Run before the handler is registered, and on the Linux programs as on a
    # machine without AviSynth+ (tools/without-avisynth).
    before_handler: bool = False
    avisynth: bool = False  # run where AviSynth+ serves ".avs" (a prefix of its own)
    # Shell redirections of the run's standard streams onto its files, such as
    # "2>> in.wav"; a stream so redirected is not captured.
    redirection: str = None
    # Standard output and error on one terminal (a console under Wine), whose
    # screen is checked against Expectation.one_stream.
    terminal: bool = False


def run_case_of(name, run, files, outcome, stream=None, big=False, **options):
    """A case whose command line is accepted. `outcome` is the Expectation,
    or a function of the Program for outcomes that depend on the width;
    `options` are further fields of the Case."""
    expect = outcome if callable(outcome) else lambda program: outcome
    return Case(name, run.args(), files, expect, run, stream, big, **options)


def conversion(name, stream, file_bytes, run, big=False):
    return run_case_of(name, run, {run.input_path: file_bytes}, run.converted(stream), stream, big)


def command_line(name, args, files, status, out="", err=""):
    expect = lambda program: Expectation(status, out.format(name=program.name), err)
    return Case(name, args, files, expect)


STEREO16 = WaveFormat(2, 44100, 16)
MONO8 = WaveFormat(1, 22050, 8)
INFO_CHUNK = ("LIST", b"INFO" + chunk("ISFT", b"tonewell e2e\0"))


def pcm_cases():
    """Every PCM layout: 8 to 32 bits, 1, 2 and 6 channels, the format
    stored as 16 and as 18 bytes."""
    cases = []
    rates = [8000, 22050, 44100, 48000, 96000, 192000]
    for i, (bits, channels) in enumerate((b, c) for b in (8, 16, 24, 32) for c in (1, 2, 6)):
        fmt = WaveFormat(channels, rates[i % len(rates)], bits)
        stored_size = 16 if i % 2 == 0 else 18
        stream = Stream(fmt, pattern(fmt.block_align * (1000 + i), i))
        cases.append(conversion(f"pcm {bits}-bit {channels}ch, {stored_size}-byte format", stream,
                                wav_file(fmt.stored(stored_size), stream.data),
                                Run("in.wav", level=2)))
    return cases


def wave_cases():
    odd = Stream(STEREO16, pattern(4 * 10 + 3, 20))
    plain = Stream(STEREO16, pattern(4 * 500, 21))
    plain_wav = wav_file(STEREO16.stored(16), plain.data)
    empty = Stream(STEREO16, b"")
    # 8-bit mono: the ring holds 8 MiB, so this wraps it twice.
    long = Stream(WaveFormat(1, 48000, 8), pattern(21 * 2**20 + 12345, 22))
    piped = Stream(STEREO16, b"\n\x1a\r\n\x1a\n\n\r" + b"\x0a\x1a" * 1000 +
                   pattern(4 * 250000, 25) + b"\n")
    six = WaveFormat(6, 48000, 24)
    extensible = Stream(six, pattern(18 * 100, 23), extensible=six.stored(40))
    ext_run = Run("ext.wav", level=2)
    # 512-byte samples: a ring of 2^23 of them would not fit a 32-bit word.
    wide = Stream(WaveFormat(256, 8000, 16), pattern(512 * 3, 24))
    wide_run = Run("wide.wav", level=3)
    return [
        conversion("odd data size: the partial block is dropped", odd,
                   wav_file(STEREO16.stored(16), odd.data), Run("odd.wav", "out.wav")),
        conversion("LIST chunk before the data", plain,
                   wav_file(STEREO16.stored(18), plain.data, [INFO_CHUNK]),
                   Run("list.wav", "out.wav", level=2)),
        conversion("padded odd-sized chunk before the data", plain,
                   wav_file(STEREO16.stored(16), plain.data, [("note", b"12345")]),
                   Run("padded.wav", "out.wav")),
        conversion("stream of 0 samples", empty, wav_file(STEREO16.stored(16), b""),
                   Run("empty.wav", "out.wav", level=2)),
        conversion("one piece, debug lines", plain, plain_wav,
                   Run("debug.wav", "out.wav", level=3)),
        conversion("quiet run prints nothing", plain, plain_wav, Run("quiet.wav", level=0)),
        conversion("stream longer than the ring", long, wav_file(long.fmt.stored(16), long.data),
                   Run("long.wav", "out.wav"), big=True),
        conversion("standard output carries the WAVE bytes untranslated", piped,
                   wav_file(STEREO16.stored(16), piped.data),
                   Run("piped.wav", to_stdout=True, level=2)),
        conversion("extensible format passes through", extensible,
                   wav_file(extensible.extensible, extensible.data), ext_run),
        run_case_of("WAVE stream number 1 does not exist", Run("in.wav", stream_number=1),
                    {"in.wav": plain_wav},
                    Run("in.wav", stream_number=1).stream_failed(NO_SUCH_STREAM)),
        run_case_of("WAVE stream number -1 does not exist", Run("in.wav", stream_number=-1),
                    {"in.wav": plain_wav},
                    Run("in.wav", stream_number=-1).stream_failed(NO_SUCH_STREAM)),
        conversion("512-byte samples", wide, wav_file(wide.fmt.stored(18), wide.data), wide_run),
    ]


def avi_cases():
    first = Stream(STEREO16, pattern(4 * 3001, 30))
    second = Stream(MONO8, pattern(2003, 31))
    movie = {"movie.avi": avi_file([
        AviTrack.video(5), AviTrack.audio(first.fmt, 16, first.data),
        AviTrack.audio(second.fmt, 18, second.data, piece_blocks=700)])}
    large = Stream(STEREO16, pattern(4 * 100, 32))
    # One sample more than AVIStreamRead's signed 32-bit positions reach;
    # only 1000 samples are stored.
    claimed = Stream(STEREO16, pattern(4 * 1000, 33), length=2**31 + 1)
    claim_run = Run("claim.avi", "out.wav", level=2)
    cases = [
        run_case_of("AVI audio stream 0 after a video stream", Run("movie.avi", "out.wav", level=2),
                    movie, Run("movie.avi", "out.wav", level=2).converted(first), first),
        run_case_of("AVI audio stream 1", Run("movie.avi", "out.wav", stream_number=1, level=2),
                    movie, Run("movie.avi", "out.wav", stream_number=1, level=2).converted(second),
                    second),
    ]
    for number, error in ((2, NO_SUCH_STREAM), (-1, STREAM_UNKNOWN)):
        run = Run("movie.avi", stream_number=number)
        cases.append(run_case_of(f"AVI audio stream {number}", run, movie,
                                 run.stream_failed(error)))
    leading_digits = Run("movie.avi", "out.wav", stream_number=1)
    cases.append(Case("stream number read from leading digits",
                      ["-s", "1abc", "movie.avi", "out.wav"], movie,
                      lambda program: leading_digits.converted(second)))
    cases.append(run_case_of("AVI audio format larger than 18 bytes", Run("movie.avi"),
                             {"movie.avi": avi_file([AviTrack.audio(large.fmt, 20, large.data)])},
                             Run("movie.avi").format_failed(large), large))
    cases.append(run_case_of("AVI declaring 2^31 + 1 samples", claim_run,
                             {"claim.avi": avi_file([AviTrack.audio(
                                 claimed.fmt, 16, claimed.data, length=claimed.length)])},
                             claim_run.transfer_failed(claimed, [(ERROR, DATA_TOO_LARGE)]),
                             claimed))
    return cases


def file_cases():
    stream = Stream(STEREO16, pattern(4 * 100, 40))
    wav = wav_file(STEREO16.stored(16), stream.data)
    script = Run("script.avs")
    empty = Run("empty.avs")
    no_dir = Run("in.wav", "nodir/out.wav")
    itself = Run("in.wav", "in.wav")
    one_place = Run("in.wav", "nodir/out.wav", level=2)
    # The extension picks the handler, which answers for content of another type.
    mismatched = [("AVI content in a .wav file", "movie.wav",
                   avi_file([AviTrack.audio(STEREO16, 16, stream.data)]), OPEN_DAMAGED),
                  ("text in a .wav file", "text.wav", b"BlankClip()\n", OPEN_DISK_READ),
                  ("WAVE content in a .avi file", "sound.avi", wav, OPEN_DISK_READ)]
    return [
        *(run_case_of(name, Run(path), {path: content}, Run(path).open_failed(error))
          for name, path, content, error in mismatched),
        run_case_of("AVS script with no handler", script,
                    {"script.avs": b'AudioDub(BlankClip(), WavSource("in.wav"))\n'},
                    script.open_failed(NO_HANDLER), before_handler=True),
        run_case_of("empty file with no handler", empty, {"empty.avs": b""},
                    empty.open_failed(NO_HANDLER), before_handler=True),
        command_line("missing input", ["missing.avs"], {}, 1, err=INPUT_MISSING),
        run_case_of("output directory does not exist", no_dir, {"in.wav": wav},
                    no_dir.transfer_failed(stream, [(ERROR, OUTPUT_FAILED)], {"nodir": None}),
                    stream),
        run_case_of("the input named as output is refused and kept", itself, {"in.wav": wav},
                    itself.transfer_failed(stream, [(ERROR, OUTPUT_FAILED)], {"in.wav": wav}),
                    stream),
        run_case_of("2>&1: the error between the messages before and after it", one_place,
                    {"in.wav": wav},
                    one_place.in_one_stream(1, with_input(*with_stream(
                        *stream.facts_messages(), *stream.format_messages(),
                        (ERROR, OUTPUT_FAILED))), {"nodir": None}),
                    stream),
    ]


def spelled_for(program, expectation, name):
    """`expectation` with `name` in the messages as the program's code page
    spells it: Wine's 1252 has none of its non-ASCII characters."""
    if program.under_wine:
        spelled = "".join(c if c.isascii() else "?" for c in name)
        expectation.out = expectation.out.replace(name, spelled)
    return expectation


def name_cases():
    """Names that the Windows code page cannot spell: the files are found and
    the outputs carry the same characters, byte for byte."""
    stream = Stream(STEREO16, pattern(4 * 100, 60))
    wav = wav_file(STEREO16.stored(16), stream.data)
    cases = []
    for name, run in (("Japanese input name", Run("音声.wav")),
                      ("Japanese and Korean input name", Run("音声_한국어.wav", level=2)),
                      ("Korean output name", Run("in.wav", "출력_音声.wav", level=2))):
        outcome = lambda program, run=run: spelled_for(program, run.converted(stream),
                                                       run.output or run.input_path)
        cases.append(run_case_of(name, run, {run.input_path: wav}, outcome, stream))
    # Through every layer that starts a program (tools/wine32 and its shell
    # scripts, Wine's command line) no argument is split, joined or expanded.
    spaced = Run("in 'a' b.wav", "out $HOME ;x.wav", level=2)
    cases.append(run_case_of("names with spaces, quotes and a dollar sign", spaced,
                             {spaced.input_path: wav}, spaced.converted(stream), stream))
    return cases


def standard_stream_cases():
    """Standard output, standard error or both opened by the shell on the
    run's input or output, with each operator, for a named and a standard
    output: on the input the run is refused before anything is written; on
    the output it converts, and nothing printed lands in a file of the run:
    messages move to the other stream while that one is free."""
    stream = Stream(STEREO16, pattern(4 * 100, 61))
    wav = wav_file(STEREO16.stored(16), stream.data)
    cases = []
    for run in (Run("in.wav", "out.wav", level=2), Run("in.wav", to_stdout=True, level=2)):
        converted = with_input(*with_stream(*stream.facts_messages(), *stream.format_messages(),
                                            *stream.transfer_messages(run.output_path)))
        for target, fds, operator in itertools.product(("in.wav", "out.wav"), ((1,), (2,), (1, 2)),
                                                       (">", ">>", "<>")):
            redirection = f"{fds[0]}{operator} {target}" + (" 2>&1" if len(fds) > 1 else "")
            if run.to_stdout and 1 not in fds:
                redirection = "> out.wav " + redirection
            refused = target == "in.wav"
            taken = {1: 1 in fds or run.to_stdout, 2: 2 in fds or (run.to_stdout and len(fds) > 1)}

            def free(preferred):
                other = 3 - preferred
                return preferred if not taken[preferred] else None if taken[other] else other

            middle = [(ERROR, OUTPUT_FAILED)] if refused else converted
            texts = {1: "", 2: ""}
            for level, text in run_messages(run.input_path, run.output_path, 0, middle):
                to = free(2 if level == ERROR or run.to_stdout else 1)
                if to and level <= run.level:
                    texts[to] += text
            # The shell itself cuts a file it opens with ">".
            files = {"in.wav": b"" if refused and operator == ">" else wav}
            if not refused:
                files["out.wav"] = stream.wave()
            else:  # nothing written; the shell may have made an empty file
                files["out.wav"] = b"" if run.to_stdout and 1 not in fds else None
            streams = {(1,): "stdout", (2,): "stderr", (1, 2): "both"}[fds]
            name = (f"{streams} {operator} the {'input' if refused else 'output'}, "
                    f"{'standard output' if run.to_stdout else 'named output'}")
            cases.append(run_case_of(name, run, {"in.wav": wav},
                                     Expectation(int(refused), texts[1], texts[2], files=files),
                                     stream, redirection=redirection))
    return cases


def terminal_cases():
    """Standard output and error on a terminal, which a Windows program under
    Wine takes for a console: the screen shows every message as Japanese
    text, whatever code page the console has (Wine's is 437 here), while the
    same runs redirected give the bytes the other cases check."""
    stream = Stream(STEREO16, pattern(4 * 100, 62))
    wav = {"in.wav": wav_file(STEREO16.stored(16), stream.data)}
    converted = Run("in.wav", "out.wav", level=2)
    failed = Run("in.wav", "nodir/out.wav", level=2)
    refused = Run("in.wav", to_stdout=True, level=0)
    return [
        run_case_of("terminal: a conversion's messages", converted, wav,
                    converted.in_one_stream(0, with_input(*with_stream(
                        *stream.facts_messages(), *stream.format_messages(),
                        *stream.transfer_messages("out.wav"))), {"out.wav": stream.wave()}),
                    stream, terminal=True),
        run_case_of("terminal: an error among the messages", failed, wav,
                    failed.in_one_stream(1, with_input(*with_stream(
                        *stream.facts_messages(), *stream.format_messages(),
                        (ERROR, OUTPUT_FAILED))), {"nodir": None}),
                    stream, terminal=True),
        run_case_of("terminal: WAVE data refused", refused, wav,
                    refused.in_one_stream(1, [(ERROR, CONSOLE_REFUSED)]), terminal=True),
        Case("terminal: the usage text", ["-h"], {},
             lambda program: Expectation(0, one_stream=USAGE.format(name=program.name)),
             terminal=True),
        Case("terminal: a command-line error", ["-x"], {},
             lambda program: Expectation(1, one_stream=BAD_OPTION.format("-x")), terminal=True),
    ]


def command_line_cases():
    stream = Stream(STEREO16, pattern(4 * 100, 50))
    wav = {"in.wav": wav_file(STEREO16.stored(16), stream.data)}
    cases = [
        command_line("no arguments: usage", [], {}, 0, USAGE),
        command_line("-h: usage", ["-h"], {}, 0, USAGE),
        command_line("--help after a missing path: usage", ["missing.avs", "--help"], {}, 0, USAGE),
        command_line("--version: the name and version alone", ["--version"], {}, 0,
                     "{name} " + VERSION + "\n"),
        command_line("--version after a missing path and -v", ["missing.avs", "-v", "--version"],
                     {}, 0, "{name} " + VERSION + "\n"),
        command_line("single dash and version", ["-version"], {}, 1,
                     err=BAD_OPTION.format("-version")),
        command_line("- before the input", ["-", "in.wav"], wav, 1, err=DASH_CONFLICT),
        command_line("- after an output", ["in.wav", "out.wav", "-"], wav, 1, err=DASH_CONFLICT),
        command_line("output after -", ["in.wav", "-", "out.wav"], wav, 1,
                     err=TOO_MANY.format("out.wav")),
        command_line("third path", ["in.wav", "out.wav", "more.wav"], wav, 1,
                     err=TOO_MANY.format("more.wav")),
        command_line("unknown short option", ["-x", "in.wav"], wav, 1,
                     err=BAD_OPTION.format("-x")),
        command_line("lone --", ["in.wav", "--"], wav, 1, err=BAD_OPTION.format("--")),
        command_line("single dash and long name", ["-help"], {}, 1,
                     err=BAD_OPTION.format("-help")),
        command_line("double dash and initial", ["--v", "in.wav"], wav, 1,
                     err=BAD_OPTION.format("--v")),
        command_line("-s without a value", ["in.wav", "-s"], wav, 1, err=NO_STREAM_NUMBER),
        command_line("no input path", ["-v"], {}, 1, err=NO_INPUT),
    ]
    # Level options in orders whose outcome is easy to get wrong; -s takes
    # "-v" as its value (stream 0), so the level stays at 1.
    for name, args, level in (("-s consumes the next argument", ["-s", "-v", "in.wav"], 1),
                              ("-q then -v gives verbose", ["-q", "-v", "in.wav"], 2),
                              ("-d then -q stays debug", ["-d", "-q", "in.wav"], 3)):
        run = Run("in.wav", level=level)
        cases.append(Case(name, args, wav, lambda program, run=run: run.converted(stream),
                          run, stream))
    return cases


# ---------------------------------------------------------------------------
# Through the test source handler (tests/test_source): real handler answers,
# failures on demand and streams larger than any file, on the Windows programs

SOURCE_RUN = 65521       # the handler's data steps once every this many bytes
QUARTER_SAMPLES = 2**21  # a read asks for at most a quarter of the 2^23-sample ring

REGDB_E_CLASSNOTREG, E_FAIL = 0x80040154, 0x80004005
AVIERR_BADFORMAT, AVIERR_MEMORY = 0x80044066, 0x80044067
AVIERR_FILEREAD, AVIERR_FILEOPEN = 0x8004406D, 0x8004406F
AVIERR_NODATA, AVIERR_BUFFERTOOSMALL = 0x80044073, 0x80044074

OPEN_BAD_FORMAT = "入力ファイルが開けません。ファイルが破損しているか、フォーマットが不明です。\n"
OPEN_MEMORY = "入力ファイルが開けません。メモリが足りなくなりました。\n"
OPEN_FILE_OPEN = "入力ファイルが開けません。ファイルを開く際にディスクエラーが発生しました。\n"
OPEN_UNKNOWN = "入力ファイルが開けません。不明なエラーが発生しました。\n"
STREAM_MEMORY = "オーディオストリームが開けません。メモリが足りなくなりました。\n"
INFO_FAILED = "オーディオストリーム情報の取得に失敗しました。\n"
READ_FAILED = "オーディオストリーム読み込みに失敗しました。"
READ_TOO_SMALL = READ_FAILED + "読み込みバッファのサイズが小さすぎます。\n"
READ_MEMORY = READ_FAILED + "メモリが足りなくなりました。\n"
READ_DISK = READ_FAILED + "ディスクエラーが発生しました。\n"
READ_UNKNOWN = READ_FAILED + "不明なエラーが発生しました。\n"
READ_INCONSISTENT = READ_FAILED + "データサイズに不整合が発生しました。\n"
INTERRUPTED = "処理を中断しました。\n"


@functools.lru_cache(maxsize=None)
def source_period(index):
    """Stream `index`'s data until it repeats: byte k is ((k mod 65521) x 31
    + k div 65521 + 101 x index) mod 256, so 256 steps of 65521 bytes."""
    table = bytes(j * 31 & 255 for j in range(SOURCE_RUN))
    return b"".join(table.translate(bytes((b + step + 101 * index) & 255 for b in range(256)))
                    for step in range(256))


def source_data(index, size):
    period = source_period(index)
    return period * (size // len(period)) + period[:size % len(period)]


def source_file(fmt=STEREO16, **keys):
    """A test source file of streams in `fmt`, with further keys."""
    keys = {"tag": fmt.tag, "channels": fmt.channels, "rate": fmt.rate, "bits": fmt.bits, **keys}
    return ("tonewell test source\n" + "".join(f"{k}={v}\n" for k, v in keys.items())).encode()


def extensible_wave(fmt, valid_bits, channel_mask, subformat, data):
    """The WAVE file of a stream whose 40-byte extensible format passes
    through: a 68-byte header."""
    fmt_chunk = (struct.pack("<HHIIHHHHI", 0xFFFE, fmt.channels, fmt.rate, fmt.avg_bytes,
                             fmt.block_align, fmt.bits, 22, valid_bits, channel_mask) +
                 struct.pack("<I", subformat) + PCM_SUBTYPE_GUID[4:])
    return (b"RIFF" + struct.pack("<I", 60 + len(data)) + b"WAVE" + chunk("fmt ", fmt_chunk) +
            b"data" + struct.pack("<I", len(data)) + data)


def source_case(name, run, outcome, stream=None, fmt=STEREO16, big=False, **keys):
    return run_case_of(name, run, {run.input_path: source_file(fmt, **keys)}, outcome, stream,
                       big, wine_only=True)


def source_open_cases():
    """Each open code a handler may answer, a file it does not know, and a
    success code other than S_OK, which opens the file."""
    stream = Stream(STEREO16, source_data(0, 4 * 1000))
    run = Run("open.avs")
    cases = [source_case(f"handler: open answers {name}", run, run.open_failed(message),
                         open_error=hex(code))
             for name, code, message in (("REGDB_E_CLASSNOTREG", REGDB_E_CLASSNOTREG, NO_HANDLER),
                                         ("AVIERR_BADFORMAT", AVIERR_BADFORMAT, OPEN_BAD_FORMAT),
                                         ("AVIERR_MEMORY", AVIERR_MEMORY, OPEN_MEMORY),
                                         ("AVIERR_FILEREAD", AVIERR_FILEREAD, OPEN_DISK_READ),
                                         ("AVIERR_FILEOPEN", AVIERR_FILEOPEN, OPEN_FILE_OPEN),
                                         ("an unknown code", E_FAIL, OPEN_UNKNOWN))]
    script = Run("script.avs")
    cases.append(run_case_of("handler: a script it does not know", script,
                             {"script.avs": b'AudioDub(BlankClip(), WavSource("in.wav"))\n'},
                             script.open_failed(OPEN_BAD_FORMAT), wine_only=True))
    opened = Run("opened.avs", "out.wav", level=2)
    cases.append(source_case("handler: open answers S_FALSE", opened, opened.converted(stream),
                             stream, samples=1000, open_error=1))
    unregistered = Run("unregistered.avs")
    cases.append(run_case_of("test source with no handler registered", unregistered,
                             {"unregistered.avs": source_file(samples=1000)},
                             unregistered.open_failed(NO_HANDLER), before_handler=True))
    return cases


def source_stream_cases():
    """Stream, info and format answers, a second stream, and the format
    sizes; a 40-byte format passes through, and a 0xFFFE tag without the
    extensible fields is refused."""
    plain = Stream(STEREO16, source_data(0, 4 * 1000))
    run = Run("stream.avs")
    cases = [source_case(f"handler: stream answers {name}", run, run.stream_failed(message),
                         stream_error=hex(code))
             for name, code, message in (("AVIERR_NODATA", AVIERR_NODATA, NO_SUCH_STREAM),
                                         ("AVIERR_MEMORY", AVIERR_MEMORY, STREAM_MEMORY),
                                         ("an unknown code", E_FAIL, STREAM_UNKNOWN))]
    second = Stream(STEREO16, source_data(1, 4 * 1000))
    two = Run("two.avs", "out.wav", stream_number=1, level=3)
    past = Run("two.avs", stream_number=2)
    info = Run("info.avs")
    fmt = Run("format.avs")
    cases += [
        source_case("handler: stream 1 of 2", two, two.converted(second), second,
                    streams=2, samples=1000),
        source_case("handler: stream 2 of 2", past, past.stream_failed(NO_SUCH_STREAM),
                    streams=2),
        source_case("handler: info fails", info,
                    info.expect(1, with_input(*with_stream((ERROR, INFO_FAILED))),
                                {info.output_path: None}),
                    info_error=hex(E_FAIL)),
        source_case("handler: format fails", fmt, fmt.format_failed(plain), plain,
                    samples=1000, format_error=hex(AVIERR_MEMORY)),
    ]
    float32 = WaveFormat(1, 96000, 32, tag=3)
    surround = WaveFormat(6, 48000, 24)
    sized = [("16-byte format", Stream(STEREO16, source_data(0, 4 * 700)), 16, {}),
             ("18-byte float format", Stream(float32, source_data(0, 4 * 500)), 18, {}),
             ("40-byte extensible format passes through",
              Stream(surround, source_data(0, 18 * 300)), 40,
              dict(valid_bits=20, channel_mask=0x60F, subformat=1))]
    for name, stream, size, keys in sized:
        run = Run("sized.avs", "out.wav", level=2)
        outcome = run.converted(stream)
        if size == 40:
            outcome.files[run.output_path] = extensible_wave(stream.fmt, 20, 0x60F, 1, stream.data)
        cases.append(source_case(f"handler: {name}", run, outcome, stream, stream.fmt,
                                 samples=stream.sample_count, format_size=size, **keys))
    tagged = Run("tagged.avs")
    cases.append(source_case("handler: 0xFFFE tag in an 18-byte format is refused", tagged,
                             tagged.format_failed(plain), plain, samples=1000, tag=0xFFFE,
                             format_size=18))
    return cases


def source_read_cases():
    """Read failures in the first ring, where every piece is a quarter of it:
    the output holds the header and at most the pieces before the failing
    one, never a byte of it. A short read and a size mismatch print the
    piece's line before the inconsistency. All messages go to standard error,
    in order, with standard output carrying the data."""
    fmt = WaveFormat(1, 48000, 8)
    stream = Stream(fmt, source_data(0, 5 * QUARTER_SAMPLES * fmt.block_align + 1000))
    piece_bytes = QUARTER_SAMPLES * fmt.block_align

    def read_line(piece, samples=QUARTER_SAMPLES):
        first = piece * piece_bytes
        last = first + samples * fmt.block_align - 1
        return (DEBUG, f"{first} - {last} のデータを読み取りました。\n")

    cases = []
    for name, piece, key, code, failure in (
            ("read answers AVIERR_BUFFERTOOSMALL", 0, "read_error", AVIERR_BUFFERTOOSMALL,
             [(ERROR, READ_TOO_SMALL)]),
            ("read answers AVIERR_MEMORY", 1, "read_error", AVIERR_MEMORY, [(ERROR, READ_MEMORY)]),
            ("read answers AVIERR_FILEREAD", 2, "read_error", AVIERR_FILEREAD,
             [(ERROR, READ_DISK)]),
            ("read answers an unknown code", 3, "read_error", E_FAIL, [(ERROR, READ_UNKNOWN)]),
            ("a short read", 2, "short_read", None,
             [read_line(2, QUARTER_SAMPLES - 1), (ERROR, READ_INCONSISTENT)]),
            ("a size mismatch", 3, "size_mismatch", None,
             [read_line(3), (ERROR, READ_INCONSISTENT)])):
        at = piece * QUARTER_SAMPLES + 12345
        value = f"{hex(code)}@{at}" if code else at
        run = Run("read.avs", to_stdout=True, level=3)
        middle = with_input(*with_stream(
            *stream.facts_messages(), *stream.format_messages(), (INFO, STDOUT_CHOSEN),
            *(read_line(i) for i in range(piece)), *failure, (INFO, WRITING_ENDED)))
        outcome = run.expect(1, middle)
        outcome.partial = PartialOutput(stream.wave()[:44], stream.data, piece * piece_bytes)
        cases.append(source_case(f"handler: {name} in piece {piece}", run,
                                 outcome, stream, fmt, samples=stream.sample_count,
                                 **{key: value}))
    return cases


def source_size_cases():
    """Beyond 4 GiB and the layer's 2^31 samples, where no file could take
    us: 6 GiB through a pipe into a hashing reader, and into NUL."""
    samples = 6 * 2**30 // STEREO16.block_align
    big = Stream(STEREO16, b"", length=samples)
    size = samples * STEREO16.block_align

    def converted(run):
        return run.expect(0, with_input(*with_stream(*big.facts_messages(), *big.format_messages(),
                                                     *big.transfer_messages(run.output_path))))

    piped = Run("big.avs", to_stdout=True, level=2)
    to_pipe = converted(piped)
    to_pipe.stdout_digest = Digest(rf64_header(STEREO16, size), 0, size)
    nul = Run("big.avs", "NUL", level=2)
    to_nul = converted(nul)
    to_nul.files = {"NUL": None}
    mono8 = WaveFormat(1, 48000, 8)
    huge = Stream(mono8, b"", length=2**31 + 1)
    refused = Run("huge.avs", "NUL")
    return [
        source_case("handler: 6 GiB to standard output as RF64", piped, to_pipe, big, big=True,
                    samples=samples),
        source_case("handler: 6 GiB to NUL", nul, to_nul, big, big=True, samples=samples),
        source_case("handler: 2^31 + 1 samples are refused", refused,
                    refused.transfer_failed(huge, [(ERROR, DATA_TOO_LARGE)], {"NUL": None}), huge,
                    mono8, samples=2**31 + 1),
    ]


SCRIPT_FAILED = "スクリプトでエラーが発生しました。\n"
FREE_LOG, FREED = "freed.log", b"file object freed\n"


def source_script_cases():
    """A script that failed, as script handlers report it: the file opens, and
    its IAvisynthClipInfo gives the text, which follows the program's own
    message byte for byte, a line at a time; nothing is converted. Shift_JIS
    holds 0x5C (a backslash) as the second byte of ソ, 表 and 能, and a path
    holds "\\n". Every row checks that the handler's file object was freed."""
    ascii_text = "Script error: There is no function named 'AudioDubb'."
    cases = []
    for name, text, printed in (
            ("an ASCII text", ascii_text, ascii_text + "\n"),
            ("a Shift_JIS text", "スクリプトエラー: ソース「表示.avs」の機能が見つかりません。\n",
             "スクリプトエラー: ソース「表示.avs」の機能が見つかりません。\n"),
            ("several lines with backslashes",
             "Script error: Invalid arguments to function 'AudioDub'.\r\n"
             "(C:\\clips\\new\\movie.avs, line 3)\n(C:\\plugins\\x.avsi, line 12)",
             "Script error: Invalid arguments to function 'AudioDub'.\n"
             "(C:\\clips\\new\\movie.avs, line 3)\n(C:\\plugins\\x.avsi, line 12)\n")):
        escaped = text.encode("cp932").replace(b"\\", b"\\\\").replace(b"\n", b"\\n")
        content = source_file(free_log=FREE_LOG) + b"script_error=" + escaped + b"\n"
        for run in (Run("script.avs"), Run("script.avs", level=0),
                    *([Run("script.avs", to_stdout=True)] if text == ascii_text else [])):
            where = "to standard output" if run.to_stdout else f"at level {run.level}"
            files = {FREE_LOG: FREED, **({} if run.to_stdout else {run.output_path: None})}
            outcome = run.expect(1, with_input((ERROR, SCRIPT_FAILED), (ERROR, printed)), files)
            cases.append(run_case_of(f"handler: script error, {name}, {where}", run,
                                     {run.input_path: content}, outcome, wine_only=True))
    stream = Stream(STEREO16, source_data(0, 4 * 1000))
    clean = Run("clean.avs", "out.wav", level=2)
    outcome = clean.converted(stream)
    outcome.files[FREE_LOG] = FREED
    cases.append(source_case("handler: no script error converts", clean, outcome, stream,
                             samples=1000, free_log=FREE_LOG))
    return cases


def source_guard_cases():
    """What a script handler could make the run hide or destroy: a read that
    fails tells the script's reason; a stream that goes on past its declared
    length (AviSynth+'s clips of 2^32 samples and more) is refused, while one
    of exactly 2^31 samples converts; the script itself, by any spelling, and
    a source the script holds open are refused as outputs and kept, as is a
    console (CON), which gets no WAVE bytes."""
    stream = Stream(STEREO16, source_data(0, 4 * 1000))
    header = Stream(STEREO16, b"", 1000).wave()
    text = ("Script error: WavSource: cannot read \"C:\\clips\\src.wav\"\r\n"
            "(C:\\clips\\reason.avs, line 1)")
    printed = text.replace("\r\n", "\n") + "\n"
    escaped = text.encode("cp932").replace(b"\\", b"\\\\").replace(b"\n", b"\\n")
    reason = (source_file(samples=1000, read_error=f"{hex(E_FAIL)}@500", free_log=FREE_LOG) +
              b"read_error_text=" + escaped + b"\n")
    cases = []
    for run in (Run("reason.avs", "out.wav", level=2), Run("reason.avs", "out.wav", level=0)):
        errors = [(INFO, OUTPUT_OPENED), (ERROR, READ_UNKNOWN), (ERROR, SCRIPT_FAILED),
                  (ERROR, printed), (INFO, WRITING_ENDED), (VERBOSE, OUTPUT_CLOSED)]
        outcome = run.transfer_failed(stream, errors, {run.output_path: header, FREE_LOG: FREED})
        cases.append(run_case_of(f"handler: a failed read tells the script's reason, level "
                                 f"{run.level}", run, {run.input_path: reason}, outcome, stream,
                                 wine_only=True))
    mono8 = WaveFormat(1, 48000, 8)
    for name, samples in (("1000 samples and one past them", 1000),
                          ("2^32 samples declared as none", 0),
                          ("2^31 samples and one past them", 2**31)):
        declared = Stream(mono8, b"", samples)
        run = Run("long.avs", "out.wav", level=2)
        cases.append(source_case(f"handler: {name} are refused", run,
                                 run.transfer_failed(declared, [(ERROR, DATA_TOO_LARGE)]),
                                 declared, mono8, samples=samples, samples_beyond=1))
    exact = Stream(mono8, b"", 2**31)
    nul = Run("exact.avs", "NUL", level=2)
    to_nul = nul.expect(0, with_input(*with_stream(*exact.facts_messages(),
                                                   *exact.format_messages(),
                                                   *exact.transfer_messages("NUL"))))
    to_nul.files = {"NUL": None}
    cases.append(source_case("handler: 2^31 samples, as declared, convert", nul, to_nul, exact,
                             mono8, big=True, samples=2**31))
    script = source_file(samples=1000)
    for name, output in (("the script named as the output", "self.avs"),
                         ("the script by another spelling", ".\\self.avs"),
                         ("the script in capitals", "SELF.AVS"),
                         ("the script by its full path", WORK_DIR + "\\self.avs")):
        run = Run("self.avs", output)
        cases.append(run_case_of(f"handler: {name} is refused and kept", run,
                                 {"self.avs": script},
                                 run.transfer_failed(stream, [(ERROR, OUTPUT_FAILED)],
                                                     {"self.avs": script}),
                                 stream, wine_only=True))
    source = wav_file(STEREO16.stored(16), pattern(4000, 70))
    held = Run("holds.avs", "src.wav")
    cases.append(run_case_of("handler: a source the script holds, named as the output, is "
                             "refused and kept", held,
                             {"holds.avs": source_file(samples=1000, hold_file="src.wav"),
                              "src.wav": source},
                             held.transfer_failed(stream, [(ERROR, OUTPUT_FAILED)],
                                                  {"src.wav": source}),
                             stream, wine_only=True))
    mono8 = WaveFormat(1, 48000, 8)
    for name, fmt, keys in (
            ("a block other than the sample size", STEREO16, {"sample_size": 6}),
            ("a rate past 2^31", WaveFormat(2, 0x80000000, 16), {})):
        declared = Stream(fmt, b"", 1000)
        if "sample_size" in keys:
            declared = Stream(WaveFormat(2, 44100, 16), b"", 1000)
            facts = [(INFO, INFO_READ), (VERBOSE, "サンプルのサイズ: 6 Byte\n"),
                     (VERBOSE, "総サンプル数: 1000\n")]
        else:
            facts = declared.facts_messages()
        run = Run("bad.avs", "out.wav", level=2)
        # The rate is shown as a signed number, as it always was.
        shown = [(level, text.replace(f" {fmt.rate}\n", f" {fmt.rate - (fmt.rate >> 31 << 32)}\n"))
                 for level, text in declared.format_messages()]
        middle = with_input(*with_stream(*facts, *shown, (ERROR, INVALID_STREAM)))
        cases.append(source_case(f"handler: {name} is refused", run,
                                 run.expect(1, middle, {"out.wav": None}), declared, fmt,
                                 samples=1000, **keys))
    # The legacy devices but NUL: written to, they would take WAVE bytes to a
    # serial port or a printer.
    for device in ("COM1", "AUX", "COM1.wav", "LPT1", "PRN"):
        run = Run("device.avs", device)
        cases.append(run_case_of(f"handler: the device {device} named as the output is refused",
                                 run, {"device.avs": script},
                                 run.transfer_failed(stream, [(ERROR, OUTPUT_FAILED)],
                                                     {"device.avs": script}),
                                 stream, wine_only=True))
    console = Run("console.avs", "CON")
    cases.append(run_case_of("terminal: CON named as the output is refused", console,
                             {"console.avs": script},
                             console.in_one_stream(1, with_input(*with_stream(
                                 *stream.facts_messages(), *stream.format_messages(),
                                 (ERROR, OUTPUT_FAILED)))),
                             stream, wine_only=True, terminal=True))
    return cases


def test_source_cases():
    return (source_open_cases() + source_stream_cases() + source_read_cases() +
            source_size_cases() + source_script_cases() + source_guard_cases())


# ---------------------------------------------------------------------------
# Through AviSynth+, the script handler users have, registered for ".avs" in
# a prefix of its own. Its test plugin TonewellPattern (tests/avs_plugin)
# makes audio of the test source's stream 0, so every byte is known.

def pattern_script(*lines):
    """A script that loads TonewellPattern, then `lines`: a function of the
    Program, whose build holds the plugin."""
    def script(program):
        if program.under_wine:
            plugin = wine_path(program.path.parent / "tonewell_avs_pattern.dll")
        else:
            plugin = program.path.parent / "tonewell_avs_pattern.so"
        return (f'LoadPlugin("{plugin}")\n' + "".join(f"{line}\n" for line in lines)).encode()
    return script


def pattern_call(fmt, samples, **more):
    """TonewellPattern's call for `samples` samples in `fmt`."""
    arguments = dict(channels=fmt.channels, rate=fmt.rate,
                     sample_type="float" if fmt.tag == 3 else f"{fmt.bits}bit", samples=samples,
                     **more)
    return "TonewellPattern(" + ", ".join(
        f'{k}="{v}"' if isinstance(v, str) else f"{k}={v}" for k, v in arguments.items()) + ")"


def avs_extensible(fmt, channel_mask):
    """The 40-byte format AviSynth+ gives `fmt` as WAVE_FORMAT_EXTENSIBLE:
    all bits valid, the subformat PCM or float as the tag."""
    return (struct.pack("<HHIIHHHHII", 0xFFFE, fmt.channels, fmt.rate, fmt.avg_bytes,
                        fmt.block_align, fmt.bits, 22, fmt.bits, channel_mask, fmt.tag) +
            PCM_SUBTYPE_GUID[4:])


def avisynth_case(name, run, files, outcome, stream=None, big=False, windows_only=False):
    """A script through AviSynth+, on every program: the Linux ones read it
    through the library, as the Windows ones through AviSynth.dll, and must
    give the same bytes and messages. `windows_only` for what Linux lacks
    (WavSource, drive letters)."""
    return run_case_of(name, run, files, outcome, stream, big, wine_only=windows_only,
                       avisynth=True)


ALLOW_FLOAT = "global OPT_AllowFloatAudio = true"
USE_EXTENSIBLE = "global OPT_UseWaveExtensible = true"
FLOAT_STEREO = WaveFormat(2, 48000, 32, tag=3)
SURROUND24 = WaveFormat(6, 48000, 24)


def avisynth_format_cases():
    """Every sample type AviSynth has, channel counts and masks, as AviSynth+
    hands them to the layer: float as 16-bit unless the script allows float
    (ConvertAudioToFloat of 16-bit samples comes back exact), and an
    extensible format where the channel mask is known or the script asks."""
    # name, format, samples, lines before the clip, further arguments of the
    # call, filters after it, and the mask of an extensible format
    rows = [("8-bit mono", WaveFormat(1, 22050, 8), 1001, [], {}, "", None),
            ("16-bit stereo", STEREO16, 1002, [], {}, "", None),
            ("24-bit 3 channels", WaveFormat(3, 96000, 24), 1003, [], {}, "", None),
            ("32-bit stereo", WaveFormat(2, 192000, 32), 1004, [], {}, "", None),
            ("float arrives as 16-bit without OPT_AllowFloatAudio", STEREO16, 1005, [], {},
             ".ConvertAudioToFloat()", None),
            ("float with OPT_AllowFloatAudio", FLOAT_STEREO, 1006, [ALLOW_FLOAT], {}, "", None),
            ("6 channels with a known mask: extensible", SURROUND24, 1007, [],
             {"channel_mask": 63}, "", 0x3F),
            ('SetChannelMask("5.1"): extensible', WaveFormat(6, 44100, 16), 1008, [], {},
             '.SetChannelMask("5.1")', 0x3F),
            ("OPT_UseWaveExtensible, stereo", STEREO16, 1009, [USE_EXTENSIBLE], {}, "", 0x3),
            ("OPT_UseWaveExtensible, float", FLOAT_STEREO, 1010, [ALLOW_FLOAT, USE_EXTENSIBLE],
             {}, "", 0x3),
            ("no audio samples", STEREO16, 0, [], {}, "", None)]
    cases = []
    for name, fmt, samples, options, arguments, filters, mask in rows:
        stream = Stream(fmt, source_data(0, samples * fmt.block_align),
                        extensible=None if mask is None else avs_extensible(fmt, mask))
        script = pattern_script(*options, pattern_call(fmt, samples, **arguments) + filters)
        run = Run("pattern.avs", "out.wav", level=2)
        cases.append(avisynth_case(f"avisynth: {name}", run, {"pattern.avs": script},
                                   run.converted(stream), stream))
    # Four stereo clips side by side: 8 channels, each block the stereo
    # block four times, with AviSynth's mask for 8 channels.
    pair = source_data(0, 500 * 4)
    eight = WaveFormat(8, 44100, 16)
    merged = Stream(eight, b"".join(pair[i:i + 4] * 4 for i in range(0, len(pair), 4)),
                    extensible=avs_extensible(eight, 0x63F))
    run = Run("merged.avs", "out.wav", level=2)
    script = pattern_script(f"a = {pattern_call(STEREO16, 500)}", "MergeChannels(a, a, a, a)")
    cases.append(avisynth_case("avisynth: MergeChannels of four stereo clips: extensible", run,
                               {"merged.avs": script}, run.converted(merged), merged))
    return cases


def avisynth_script_cases():
    """Scripts that fail at open, each with AviSynth+'s own text after the
    program's message; nothing is made."""
    rows = [("an unknown function", {"unknown.avs": b"BlankClip()\nAudioDubb()\n"},
             "Script error: There is no function named 'AudioDubb'.\n(unknown.avs, line 2)\n"),
            ("an error inside an Imported file",
             {"import.avs": b'Import("inc.avsi")\n', "inc.avsi": b"x = 1\nAudioDubb()\n"},
             "Script error: There is no function named 'AudioDubb'.\n(inc.avsi, line 2)\n"
             "(import.avs, line 1)\n"),
            ("a value that is not a clip", {"number.avs": b"42\n"},
             "The script's return value was not a video clip, (Is an int, 42).\n"),
            ("an empty file", {"empty.avs": b""},
             "The script's return value was not a video clip, (Is the undefined value).\n")]
    cases = []
    for name, files, text in rows:
        run = Run(next(iter(files)))
        cases.append(avisynth_case(
            f"avisynth: script error, {name}", run, files,
            run.expect(1, with_input((ERROR, SCRIPT_FAILED), (ERROR, text)),
                       {run.output_path: None})))
    return cases


def avisynth_stream_cases():
    """A clip without audio, stream numbers past the first (AviSynth+ takes a
    negative one for 0), a name outside the code page, and WavSource of a
    generated file."""
    stream = Stream(STEREO16, source_data(0, 4 * 1000))
    script = {"clip.avs": pattern_script(pattern_call(STEREO16, 1000))}
    cases = [avisynth_case("avisynth: a clip without audio", Run("silent.avs"),
                           {"silent.avs": pattern_script(pattern_call(STEREO16, 1000) +
                                                         ".KillAudio()")},
                           Run("silent.avs").stream_failed(NO_SUCH_STREAM))]
    for number in (1, 2):
        run = Run("clip.avs", stream_number=number)
        cases.append(avisynth_case(f"avisynth: stream number {number}", run, script,
                                   run.stream_failed(NO_SUCH_STREAM)))
    negative = Run("clip.avs", "out.wav", stream_number=-1, level=2)
    cases.append(avisynth_case("avisynth: stream number -1 is the audio", negative, script,
                               negative.converted(stream), stream))
    named = Run("音声_한국어.avs", level=2)
    cases.append(avisynth_case(
        "avisynth: a script name outside the code page", named,
        {named.input_path: pattern_script(pattern_call(STEREO16, 1000))},
        lambda program: spelled_for(program, named.converted(stream), named.input_path), stream))
    source = Stream(STEREO16, pattern(4 * 96000, 70))
    wav = Run("wav.avs", "out.wav", level=2)
    cases.append(avisynth_case(
        "avisynth: WavSource of a generated file", wav,
        {"src.wav": wav_file(STEREO16.stored(16), source.data),
         "wav.avs": b'WavSource("src.wav")\n'}, wav.converted(source), source,
        windows_only=True))
    return cases


SCRIPT_MESSAGE = "TonewellPattern: the source file went away at 1:23:45"


def avisynth_read_cases():
    """A filter that fails while the audio is read: the read's message, then
    the script failed message and AviSynth+'s text, in the first piece to a
    named file (the header alone) and in the third to standard output."""
    stream = Stream(STEREO16, source_data(0, 4 * 1000))
    run = Run("fails.avs", "out.wav", level=2)
    failure = [(ERROR, READ_UNKNOWN), (ERROR, SCRIPT_FAILED), (ERROR, SCRIPT_MESSAGE + "\n")]
    header = Stream(STEREO16, b"", 1000).wave()
    cases = [avisynth_case(
        "avisynth: a read fails in the first piece", run,
        {"fails.avs": pattern_script(pattern_call(STEREO16, 1000, fail_at=500,
                                                  fail_message=SCRIPT_MESSAGE))},
        run.transfer_failed(stream, [(INFO, OUTPUT_OPENED), *failure, (INFO, WRITING_ENDED),
                                     (VERBOSE, OUTPUT_CLOSED)], {"out.wav": header}), stream)]
    fmt = WaveFormat(1, 48000, 8)
    samples = 5 * QUARTER_SAMPLES + 1000
    long = Stream(fmt, source_data(0, samples))
    piped = Run("fails.avs", to_stdout=True, level=3)
    reads = [(DEBUG, f"{i * QUARTER_SAMPLES} - {(i + 1) * QUARTER_SAMPLES - 1} のデータを読み取りました。\n")
             for i in range(2)]
    outcome = piped.expect(1, with_input(*with_stream(
        *long.facts_messages(), *long.format_messages(), (INFO, STDOUT_CHOSEN), *reads, *failure,
        (INFO, WRITING_ENDED))))
    outcome.partial = PartialOutput(long.wave()[:44], long.data, 2 * QUARTER_SAMPLES)
    cases.append(avisynth_case(
        "avisynth: a read fails in piece 2, to standard output", piped,
        {"fails.avs": pattern_script(pattern_call(fmt, samples, fail_at=2 * QUARTER_SAMPLES + 12345,
                                                  fail_message=SCRIPT_MESSAGE))},
        outcome, long))
    return cases


def avisynth_size_cases():
    """Past 4 GiB of 32-bit stereo into a pipe, hashed as it arrives."""
    fmt = WaveFormat(2, 48000, 32)
    samples = (4 * 2**30 + 2**24) // fmt.block_align
    big = Stream(fmt, b"", length=samples)
    size = samples * fmt.block_align
    run = Run("big.avs", to_stdout=True, level=2)
    outcome = run.expect(0, with_input(*with_stream(*big.facts_messages(), *big.format_messages(),
                                                    *big.transfer_messages(None))))
    outcome.stdout_digest = Digest(rf64_header(fmt, size), 0, size)
    return [avisynth_case("avisynth: past 4 GiB to standard output as RF64", run,
                          {"big.avs": pattern_script(pattern_call(fmt, samples))}, outcome, big,
                          big=True)]


def avisynth_guard_cases():
    """What AviSynth+ lets through unless the program guards it, each with
    status 1 and every file as it was: the script named as its own output
    (AviSynth+ reads a script at open and closes it, so no share mode
    protects it), in three spellings; the file WavSource reads named as the
    output; and a clip of 2^32 + 1000 samples, whose length the layer
    reports modulo 2^32."""
    blank = b'BlankClip(length=25, fps=25, audio_rate=48000, channels=2, sample_type="16bit")\n'
    stream = Stream(STEREO16, b"", 48000)
    cases = []
    for spelling, shown, level in (("movie.avs", "movie.avs", 1), ("./movie.avs", "./movie.avs", 0),
                                   (WORK_DIR + "\\MOVIE.AVS", "Z:\\...\\MOVIE.AVS", 0)):
        run = Run("movie.avs", spelling, level=level)
        cases.append(avisynth_case(
            f"avisynth: the script named as the output, as {shown}, is refused and kept", run,
            {"movie.avs": blank},
            run.transfer_failed(stream, [(ERROR, OUTPUT_FAILED)], {"movie.avs": blank}), stream,
            windows_only=spelling.startswith(WORK_DIR)))
    source = Stream(STEREO16, pattern(4 * 96000, 71))
    wav = wav_file(STEREO16.stored(16), source.data)
    run = Run("wav.avs", "src.wav", level=0)
    cases.append(avisynth_case(
        "avisynth: the file WavSource reads named as the output is refused and kept", run,
        {"src.wav": wav, "wav.avs": b'WavSource("src.wav")\n'},
        run.transfer_failed(source, [(ERROR, OUTPUT_FAILED)], {"src.wav": wav}), source,
        windows_only=True))
    # A file the script read and let go (an Import, a library of functions,
    # the plugin it loaded) is no WAVE file: refused as the output, named or
    # as standard output opened read and write on it.
    imports = b'Import("common.avsi")\n' + b"Louder(" + blank.rstrip(b"\n") + b")\n"
    common = b"function Louder(clip c) { return c.Amplify(1.0) }\n"
    for output, redirection in (("common.avsi", None), (None, "1<> common.avsi")):
        run = Run("imports.avs", output, to_stdout=output is None, level=0)
        files = {"imports.avs": imports, "common.avsi": common}
        cases.append(avisynth_case(
            "avisynth: the library the script imports, as the output "
            f"{'named' if output else 'on standard output, 1<>'}, is refused and kept", run,
            files, run.transfer_failed(stream, [(ERROR, NOT_WAVE)], dict(files)), stream))
        if redirection:
            cases[-1].redirection = redirection
    # What a user does every day goes on: an earlier output is replaced.
    blank_format = WaveFormat(2, 48000, 16)
    earlier = Stream(STEREO16, pattern(4 * 1000, 72))
    again = Run("movie.avs", "out.wav", level=0)
    cases.append(avisynth_case(
        "avisynth: an earlier WAVE output is replaced by a second run", again,
        {"movie.avs": blank, "out.wav": earlier.wave()},
        again.expect(0, [], {"out.wav": Stream(blank_format, bytes(4 * 48000)).wave()}), stream))
    # Frames the header cannot describe: 65,537 channels of 8-bit, whose
    # count and block the layer's 16-bit fields cut to one.
    wide = Stream(WaveFormat(1, 8000, 8), b"", 8000)
    run = Run("wide.avs", "out.wav", level=2)
    facts = [(INFO, INFO_READ), (VERBOSE, "サンプルのサイズ: 65537 Byte\n"),
             (VERBOSE, "総サンプル数: 8000\n")]
    cases.append(avisynth_case(
        "avisynth: 65537 channels are refused", run,
        {"wide.avs": b'BlankClip(length=1, fps=1, audio_rate=8000, channels=65537, '
                     b'sample_type="8bit")\n'},
        run.expect(1, with_input(*with_stream(*facts, *wide.format_messages(),
                                              (ERROR, INVALID_STREAM))), {"out.wav": None}),
        wide))
    # A negative length, as DelayAudio makes of a clip shorter than its delay.
    short = Stream(blank_format, b"", 2**32 - 47999)  # 48,001 samples less the delay's 96,000
    run = Run("short.avs", "out.wav", level=2)
    cases.append(avisynth_case(
        "avisynth: a negative length is refused", run,
        {"short.avs": blank.rstrip(b"\n") + b".DelayAudio(-2)\n"},
        run.transfer_failed(short, [(ERROR, INVALID_STREAM)]), short))
    long = Stream(WaveFormat(1, 1073742074, 8), b"", 1000)  # the length the layer reports
    run = Run("long.avs", "out.wav", level=2)
    cases.append(avisynth_case(
        "avisynth: 2^32 + 1000 samples are refused", run,
        {"long.avs": b'BlankClip(length=4, fps=1, audio_rate=1073742074, channels=1, '
                     b'sample_type="8bit")\n'},
        run.transfer_failed(long, [(ERROR, DATA_TOO_LARGE)]), long))
    return cases


def avisynth_crash_cases():
    """A fault in the handler or a plugin, at open or while reading, and a
    script that recurses until its stack is gone: status 1 and the one
    message, every file as it was, never a bare signal or a dialog."""
    stream = Stream(STEREO16, b"", 100000)
    cases = []
    for name, script, middle in (
            ("a plugin that crashes as the script is evaluated",
             pattern_script("TonewellCrash()"), []),
            ("a plugin that crashes in a read",
             pattern_script(pattern_call(STEREO16, 100000, crash_at=50000)),
             with_input(*with_stream(*stream.facts_messages(), *stream.format_messages(),
                                     (INFO, OUTPUT_OPENED)))[:-2]),
            ("a script that imports itself", b'Import("crash.avs")\n', []),
            ("a function that recurses without end",
             b"function f(int x) { return f(x + 1) }\nf(1)\n", [])):
        run = Run("crash.avs", "out.wav", level=2)

        def outcome(program, run=run, script=script, middle=middle):
            kept = {"crash.avs": script(program) if callable(script) else script}
            if not middle:  # a crash in a read leaves what had reached the file
                kept["out.wav"] = None
                # AviSynth's handler for the AVI file layer runs the script
                # when first asked about it, after the open.
                if program.under_wine:
                    middle = [(INFO, INPUT_OPENED)]
            return run.expect(1, [*middle, (ERROR, FAULT)], kept)

        cases.append(avisynth_case(f"avisynth: {name}", run, {"crash.avs": script}, outcome,
                                   stream))
    return cases


def avisynth_cases():
    return (avisynth_format_cases() + avisynth_script_cases() + avisynth_stream_cases() +
            avisynth_read_cases() + avisynth_size_cases() + avisynth_guard_cases() +
            avisynth_crash_cases())


OPEN_ERRORS = {corpus.FILEREAD: OPEN_DISK_READ, corpus.BADFORMAT: OPEN_DAMAGED}


def corpus_cases():
    """The files from elsewhere (corpus.py), each converted verbosely to a file."""
    cases = []
    for entry in corpus.entries():
        run = Run(entry.file, "out.wav", level=2)
        stream = entry.fmt and Stream(entry.fmt, entry.data, entry.length, entry.stored)
        if entry.error:
            outcome = run.open_failed(OPEN_ERRORS[entry.error])
        else:
            declared_more = entry.length is not None
            outcome = run.read_failed(stream) if declared_more else run.converted(stream)
        cases.append(run_case_of(entry.name, run, {entry.file: entry.content}, outcome, stream))
    return cases


def all_cases():
    return (pcm_cases() + wave_cases() + avi_cases() + file_cases() + name_cases() +
            standard_stream_cases() + terminal_cases() + command_line_cases() + test_source_cases() +
            avisynth_cases() + corpus_cases())


# Where Wine's avifil32 and our Linux layer answer differently, and why: the
# case, the programs that answer otherwise, the reason, and their answer.
DIFFERENCES = [
    ("AVS script with no handler", "wine",
     "Wine picks a handler by extension alone and hands anything unknown to its AVI "
     "handler, which answers AVIERR_FILEREAD; Windows documents REGDB_E_CLASSNOTREG for a "
     "type with no handler, and that is what the Linux layer answers",
     lambda case: case.run.open_failed(OPEN_DISK_READ)),
    ("empty file with no handler", "wine", "as for the AVS script",
     lambda case: case.run.open_failed(OPEN_DISK_READ)),
    ("padded odd-sized chunk before the data", "wine",
     "Wine 8.0's WAVE handler does not skip the pad byte after an odd-sized chunk, loses "
     "its way to the data chunk and answers AVIERR_FILEREAD; RIFF requires the pad, and "
     "the Linux layer skips it",
     lambda case: case.run.open_failed(OPEN_DISK_READ)),
    ("test source with no handler registered", "wine",
     "with nothing registered for \".avs\", Wine hands the file to its AVI handler, as for "
     "the AVS script; the suite registers the test source handler only after this case",
     lambda case: case.run.open_failed(OPEN_DISK_READ)),
    ("ffmpeg: RF64", "wine",
     "Wine 8.0's WAVE handler knows RIFF only and answers AVIERR_FILEREAD; the Linux layer "
     "reads RF64, which tonewell itself writes for streams past 4 GiB",
     lambda case: case.run.open_failed(OPEN_DISK_READ)),
    ("RIFF size 0xFFFFFFFF, data size right", "wine",
     "Wine's WAVE reader computes the RIFF body's end, 8 + size, in 32 bits, finds nothing "
     "in a body that ends before it starts and answers AVIERR_FILEREAD; tonewell itself "
     "writes that size for the largest plain WAVE, and the Linux layer reads it",
     lambda case: case.run.open_failed(OPEN_DISK_READ)),
    ("ffmpeg to a pipe: sizes 0xFFFFFFFF", "wine",
     "as for a RIFF size of 0xFFFFFFFF; the Linux layer finds the data chunk, whose size runs "
     "past the end of the file",
     lambda case: case.run.open_failed(OPEN_DISK_READ)),
    ("WAVE cut inside the data", "wine",
     "Wine declares the length the data chunk claims, and its reads fail at the end of the "
     "file after the program has written a header promising the rest; the Linux layer counts "
     "only data that exists and refuses the file before any output is made",
     lambda case: wine_read_fails(case)),
    ("WAVE cut after the data header", "wine", "as for a WAVE cut inside the data",
     lambda case: wine_read_fails(case)),
    ("sox to a pipe: sizes of 2 GiB", "wine", "as for a WAVE cut inside the data",
     lambda case: wine_read_fails(case)),
    ("AVI without index cut inside the movi list", "wine",
     "as for a WAVE cut inside the data: Wine declares the stream header's length",
     lambda case: wine_read_fails(case)),
    ("AVI index entry pointing past the end of the file", "wine",
     "Wine opens the file and its reads fail where the index points outside it, after the "
     "header is written; the Linux layer checks every index entry of an audio stream at open",
     lambda case: wine_read_fails(case)),
    ("AVI rec lists, index without their entries", "wine",
     "Wine takes index offsets as relative to the movi list only when the first entry "
     "points at its first chunk, here inside a rec list; it takes them as absolute and its "
     "reads fail. The Linux layer finds the base that puts the first audio entry on its chunk",
     lambda case: wine_read_fails(case)),
    ("14-byte fmt without wBitsPerSample", "wine",
     "Wine converts it, writing a header of 0 bits per sample that readers refuse; the "
     "Linux layer asks for the 16 bytes of PCMWAVEFORMAT",
     lambda case: case.run.converted(case.stream)),
    ("nBlockAlign 0", "wine",
     "Wine's WAVE handler divides by it, and the program reports the fault; the Linux layer refuses it",
     lambda case: CRASHED),
    ("AVI RIFF size ending inside the movi list", "wine",
     "Wine's AVI handler, without the index it did not find inside the RIFF size, crashes "
     "in its first read; the Linux layer reads the whole movi list, which the file holds",
     lambda case: CRASHED),
    ("AVI cut before the index", "wine", "as for an AVI RIFF size ending inside the movi list",
     lambda case: CRASHED),
    ("AVI cut after the movi type", "wine",
     "Wine crashes in its first read, as for an AVI RIFF size ending inside the movi list; "
     "the Linux layer counts only data that exists and refuses a movi list cut short",
     lambda case: CRASHED),
    ("AVI cut inside the movi list", "wine", "as for an AVI cut after the movi type",
     lambda case: CRASHED),
    ("AVI stream header declaring more than is stored", "wine",
     "Wine fails an assertion when a read runs past the data stored, and its C runtime "
     "ends the process; the Linux layer's read fails",
     lambda case: ENDED),
]

# Wine's handler reads past what it found and crashes the program, which
# reports the fault; what came before depends on memory the handler never
# filled, so only the report is checked. Wine's failed assertion ends the
# process by abort() instead, before anything the program could say: only
# that the run ends is checked then.
CRASHED = Expectation(1, faulted=True)
ENDED = Expectation(None)


def wine_read_fails(case):
    """Wine's answer to a stream declaring more than it can read."""
    return case.run.read_failed(case.stream)


def without_avisynth(case, program):
    """A script row where the program finds no AviSynth+ (no 32-bit library
    is installed for the 32-bit Linux program): the no-handler message, and
    every file as it was."""
    files = {name: data(program) if callable(data) else data for name, data in case.files.items()}
    output = case.run.output_path
    if output is not None and all(Path(output) != Path(name) for name in files):
        files[output] = None
    return case.run.expect(1, [(ERROR, NO_HANDLER)], files)


def expectation_for(case, program):
    if case.avisynth and not program.has_avisynth:
        return without_avisynth(case, program)
    for name, programs, _reason, answer in DIFFERENCES:
        if name == case.name and program.label.startswith(programs):
            return answer(case)
    return case.expect(program)


# ---------------------------------------------------------------------------
# Checking

WAVE_FIELDS = [("RIFF", 0, 4), ("RIFF size", 4, 4), ("WAVE", 8, 4), ("fmt ", 12, 4),
               ("fmt size", 16, 4), ("wFormatTag", 20, 2), ("nChannels", 22, 2),
               ("nSamplesPerSec", 24, 4), ("nAvgBytesPerSec", 28, 4), ("nBlockAlign", 32, 2),
               ("wBitsPerSample", 34, 2), ("data", 36, 4), ("data size", 40, 4)]


def wave_difference(expected, actual):
    """Where `actual` first departs from the expected WAVE bytes, or None."""
    for name, offset, size in WAVE_FIELDS:
        want, got = expected[offset:offset + size], actual[offset:offset + size]
        if want != got:
            return f"header field {name}: expected {want.hex()}, got {got.hex()}"
    if expected == actual:
        return None
    for i, (want, got) in enumerate(zip(expected, actual)):
        if want != got:
            return f"data byte {i - 44}: expected {want:#04x}, got {got:#04x}"
    return f"{len(actual)} bytes, expected {len(expected)}"


def text_difference(program, expected_text, actual):
    expected = program.encode(expected_text)
    if expected == actual:
        return None
    got = actual.decode("cp932" if program.under_wine else "utf-8", "replace")
    if program.under_wine:
        got = got.replace("\r\n", "\n")
    if got == expected_text:  # the same text in other bytes: show them
        return f"expected {expected!r}\n      got {actual!r}"
    return f"expected {expected_text!r}\n      got {got!r}"


WRITTEN_LINE = re.compile(r"(-?\d+) - (-?\d+) のデータを書き出しました。\n")


@dataclass
class PartialOutput:
    """Standard output of a transfer that a failure stopped: the header, then
    the data as far as the writer got, which never reaches `limit`. The
    writer's debug lines say how far; since they fall anywhere among the
    reader's messages, they are taken out of the messages and checked here."""
    header: bytes
    data: bytes
    limit: int

    def split(self, program, messages):
        """`messages` without the writer's lines, and the ranges those give."""
        lines = program.decode(messages).splitlines(keepends=True)
        ranges = [tuple(map(int, m.groups())) for m in map(WRITTEN_LINE.fullmatch, lines) if m]
        kept = "".join(line for line in lines if not WRITTEN_LINE.fullmatch(line))
        return program.encode(kept), ranges

    def difference(self, ranges, actual):
        end = 0
        for first, last in ranges:
            if first != end:
                return f"the writer wrote {first} - {last} after {end} bytes"
            end = last + 1
        if end > self.limit:
            return f"the writer wrote {end} bytes, into the failing piece at {self.limit}"
        return wave_difference(self.header + self.data[:end], actual)


class Digest:
    """Standard output too large to hold: `header`, then `size` bytes of test
    source stream `index`, known by its size, first bytes and SHA-256. The
    hash is computed once, when first needed."""

    def __init__(self, header, index, size):
        self.header, self.index, self.size = header, index, size
        self._sha256 = None
        self._lock = threading.Lock()

    def sha256(self):
        with self._lock:
            if self._sha256 is None:
                digest = hashlib.sha256(self.header)
                period = memoryview(source_period(self.index))
                for at in range(0, self.size, len(period)):
                    digest.update(period[:min(len(period), self.size - at)])
                self._sha256 = digest.hexdigest()
            return self._sha256

    def difference(self, actual):
        size, head, sha256 = actual
        want_head = (self.header + source_data(self.index, len(head)))[:len(head)]
        if head != want_head:
            return f"first bytes {head.hex()}, expected {want_head.hex()}"
        if size != len(self.header) + self.size:
            return f"{size} bytes, expected {len(self.header) + self.size}"
        if sha256 != self.sha256():
            return f"SHA-256 {sha256}, expected {self.sha256()}"
        return None


TERMINAL_COLUMNS = 120  # every message fits a line


def run_hashing(command, cwd, env):
    """Runs `command` with its standard output hashed as it arrives, never
    held: (status, (size, first 128 bytes, SHA-256), standard error)."""
    with tempfile.TemporaryFile() as errors:
        process = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=errors)
        killed = threading.Event()
        timer = threading.Timer(RUN_TIMEOUT_S, lambda: (killed.set(), process.kill()))
        timer.start()
        digest, size, head = hashlib.sha256(), 0, b""
        while chunk := process.stdout.read(1 << 22):
            digest.update(chunk)
            size += len(chunk)
            head += chunk[:128 - len(head)]
        status = process.wait()
        timer.cancel()
        if killed.is_set():
            raise subprocess.TimeoutExpired(command, RUN_TIMEOUT_S)
        errors.seek(0)
        return status, (size, head, digest.hexdigest()), errors.read()


def start_under_wine(program, args, work, env):
    """A run of a Windows program, its standard output and error piped;
    killed if it outlives RUN_TIMEOUT_S."""
    process = subprocess.Popen(wine_command(program) + args, cwd=work, env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    timer = threading.Timer(RUN_TIMEOUT_S, process.kill)
    timer.daemon = True
    timer.start()
    return process


def held_at(gate, process):
    """Waits until the test source holds `process` at `gate` (it has made
    the file gate.wait); False if the process ended first."""
    while process.poll() is None and not gate.with_name(gate.name + ".wait").exists():
        time.sleep(0.01)
    return process.poll() is None


def interrupt_difference(program, expected, status, took, out, err):
    """Problems of an interrupted run: its status, its time, its messages."""
    problems = [] if status == 1 and took < 3 else [f"status {status}, {took:.1f} s"]
    for name, want, got in (("stdout", expected.out, out), ("stderr", expected.err, err)):
        difference = text_difference(program, want, got)
        if difference:
            problems.append(f"{name}: {difference}")
    return problems


def prefix_difference(stream, taken):
    """Problems unless `taken` is the header and a prefix of the data, as an
    interrupted output must be."""
    header = stream.wave()
    data = taken[len(header):]
    if (taken[:len(header)] != header or data != source_data(0, len(data)) or
            len(data) == stream.sample_count * stream.fmt.block_align):
        return [f"{len(taken)} bytes, not the header and a prefix of the data"]
    return []


INTERRUPTED_STREAM = Stream(WaveFormat(1, 48000, 8), b"", 40_000_000)


def interrupted_at_gate_problems(program, env, work, held):
    """Ctrl+C under Wine (SIGINT, which Wine hands to the console control
    routine as CTRL_C_EVENT) while a run of INTERRUPTED_STREAM from
    `work`/held.avs into a named file waits at its gate, the file `work`/go,
    once `held(process)` says so: the idle writer says at once that the run
    was interrupted, and once the read is let go the run ends within 3 s with
    the teardown, the output the header and a prefix of the data."""
    stream, run = INTERRUPTED_STREAM, Run("held.avs", "out.wav", level=2)
    expected = run.transfer_failed(stream, [(INFO, OUTPUT_OPENED), (ERROR, INTERRUPTED),
                                            (INFO, WRITING_ENDED), (VERBOSE, OUTPUT_CLOSED)])
    process = start_under_wine(program, run.args(), work, env)
    out, err = Watched(process.stdout), Watched(process.stderr)
    problems = [] if held(process) else ["the run ended before its read was held"]
    process.send_signal(signal.SIGINT)
    if not err.wait_for(program.encode(INTERRUPTED), RUN_TIMEOUT_S):
        problems.append("no interrupt message while the read was held")
    (work / "go").touch()
    let_go = time.monotonic()
    status = process.wait()
    problems += interrupt_difference(program, expected, status, time.monotonic() - let_go,
                                     out.all(RUN_TIMEOUT_S), err.all(RUN_TIMEOUT_S))
    problems += prefix_difference(stream, (work / "out.wav").read_bytes())
    shutil.rmtree(work, ignore_errors=True)
    return problems


def held_read_interrupt_problems(program, env, work_root):
    """Ctrl+C while the test source holds the second read."""
    stream, work = INTERRUPTED_STREAM, Path(tempfile.mkdtemp(dir=work_root))
    (work / "held.avs").write_bytes(source_file(stream.fmt, samples=stream.sample_count,
                                                read_gate=f"go@{QUARTER_SAMPLES}"))
    return interrupted_at_gate_problems(program, env, work,
                                        lambda process: held_at(work / "go", process))


def stuck_writer_interrupt_problems(program, env, work_root):
    """Ctrl+C under Wine while standard output is never drained again: the
    writer, stuck in its write, is left behind, and the process ends within
    3 s all the same, with status 1 and the teardown."""
    stream, run = INTERRUPTED_STREAM, Run("fast.avs", to_stdout=True, level=2)
    expected = run.transfer_failed(stream, [(INFO, STDOUT_CHOSEN), (ERROR, INTERRUPTED)])
    work = Path(tempfile.mkdtemp(dir=work_root))
    (work / "fast.avs").write_bytes(source_file(stream.fmt, samples=stream.sample_count))
    process = start_under_wine(program, run.args(), work, env)
    err = Watched(process.stderr)
    taken = process.stdout.read(1000)  # the transfer has begun
    sent = time.monotonic()
    process.send_signal(signal.SIGINT)
    status = process.wait()
    took = time.monotonic() - sent
    taken += process.stdout.read()
    problems = interrupt_difference(program, expected, status, took, b"", err.all(RUN_TIMEOUT_S))
    problems += prefix_difference(stream, taken)
    shutil.rmtree(work, ignore_errors=True)
    return problems


def opening_interrupt_problems(program, env, work_root):
    """Ctrl+C twice under Wine while the test source holds the open, as a
    script handler holds it while it evaluates a heavy script: the second
    ends the run at once (within 3 s), status 1, the one message after the
    settings, and no output."""
    run = Run("opening.avs", "out.wav", level=2)
    expected = run.expect(1, [(ERROR, INTERRUPTED)])
    work = Path(tempfile.mkdtemp(dir=work_root))
    (work / "opening.avs").write_bytes(source_file(open_gate="go"))
    process = start_under_wine(program, run.args(), work, env)
    out, err = Watched(process.stdout), Watched(process.stderr)
    problems = [] if held_at(work / "go", process) else ["the run ended before its open was held"]
    for _ in range(2):
        process.send_signal(signal.SIGINT)
        # A signal sent while the same one is still pending merges with it.
        while process.poll() is None and signal.SIGINT in signals(process.pid, "ShdPnd"):
            time.sleep(0.001)
    sent = time.monotonic()
    status = process.wait()
    problems += interrupt_difference(program, expected, status, time.monotonic() - sent,
                                     out.all(RUN_TIMEOUT_S), err.all(RUN_TIMEOUT_S))
    if (work / "out.wav").exists():
        problems.append("out.wav exists, expected none")
    shutil.rmtree(work, ignore_errors=True)
    return problems


def avisynth_interrupt_problems(program, env, work_root):
    """Ctrl+C while AviSynth+ reads a script whose reads past the first
    piece wait at the plugin's gate, once the output has data."""
    stream, work = INTERRUPTED_STREAM, Path(tempfile.mkdtemp(dir=work_root))
    script = pattern_script(pattern_call(stream.fmt, stream.sample_count, gate="go",
                                         gate_at=QUARTER_SAMPLES))
    (work / "held.avs").write_bytes(script(program))
    output = work / "out.wav"

    def held(process):
        while process.poll() is None and (not output.exists() or
                                          output.stat().st_size <= len(stream.wave())):
            time.sleep(0.01)
        return process.poll() is None

    return interrupted_at_gate_problems(program, env, work, held)


# Readers that take our WAVE bytes on standard input and give back the
# samples they decoded, raw, on standard output; `raw` is ffmpeg's name of
# the stream's sample format. flac encodes, then decodes what it made.
READERS = {
    "flac": lambda raw: ["sh", "-c", "flac -s -c - | flac -s -d -c --force-raw-format "
                                     "--endian=little --sign=signed -"],
    "ffmpeg": lambda raw: ["ffmpeg", "-v", "error", "-f", "wav", "-i", "-", "-f", raw, "-"],
    "sox": lambda raw: ["sox", "-t", "wav", "-", "-t", "raw", "-"],
}


def piped_reader_problems(fmt, arguments, raw, reader, program, env, work_root):
    """A second of the pattern in `fmt` converted to standard output, piped
    into `reader`, whose decoded samples must be the pattern, exactly."""
    data = source_data(0, 48000 * fmt.block_align)
    script = pattern_script(*([ALLOW_FLOAT] if fmt.tag == 3 else []),
                            pattern_call(fmt, 48000, **arguments))
    work = Path(tempfile.mkdtemp(dir=work_root))
    try:
        (work / "clip.avs").write_bytes(script(program))
        ours = subprocess.Popen(wine_command(program) + ["-q", "clip.avs", "-"], cwd=work, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        theirs = subprocess.run(READERS[reader](raw), cwd=work, stdin=ours.stdout,
                                capture_output=True, timeout=RUN_TIMEOUT_S)
        ours.stdout.close()
        errors = ours.stderr.read()
        ours.wait(timeout=RUN_TIMEOUT_S)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    problems = []
    if ours.returncode != 0 or errors:
        problems.append(f"tonewell ended {ours.returncode}: {errors!r}")
    if theirs.returncode != 0:
        problems.append(f"{reader} ended {theirs.returncode}: {theirs.stderr[-300:]!r}")
    elif theirs.stdout != data:
        problems.append(f"{reader} decoded {len(theirs.stdout)} bytes, not the {len(data)} of "
                        f"the pattern")
    return problems


# Rows of their own through AviSynth+, as OWN_RUN_ROWS: Ctrl+C on a run held
# at the plugin's gate, and scripts' output read back by flac, ffmpeg and sox
# through a pipe. Float goes to ffmpeg alone: flac takes none, and sox makes
# integers of it on the way.
AVISYNTH_OWN_RUN_ROWS = {
    "avisynth: Ctrl+C while a read is held at the plugin's gate": avisynth_interrupt_problems,
    **{f"avisynth: {name} read back by {reader} through a pipe":
       functools.partial(piped_reader_problems, fmt, arguments, raw, reader)
       for name, fmt, arguments, raw, readers in (
           ("16-bit stereo", STEREO16, {}, "s16le", ("flac", "ffmpeg", "sox")),
           ("24-bit 5.1, extensible", SURROUND24, {"channel_mask": 63}, "s24le",
            ("flac", "ffmpeg", "sox")),
           ("float stereo", FLOAT_STEREO, {}, "f32le", ("ffmpeg",)))
       for reader in readers},
}


def run_case(case, program, wine_env, work_root):
    """Runs one case on one program; a list of what went wrong."""
    expected = expectation_for(case, program)
    work = Path(tempfile.mkdtemp(dir=work_root))
    try:
        for name, data in case.files.items():
            (work / name).write_bytes(data(program) if callable(data) else data)
        work_dir = wine_path(work) if program.under_wine else str(work)
        args = [arg.replace(WORK_DIR, work_dir) for arg in case.args]
        command = [str(program.path)] + args
        env = None
        if case.before_handler and not program.under_wine:
            command = [str(ROOT / "tools/without-avisynth")] + command
        if program.under_wine:
            command = wine_command(program) + args
            env = wine_env
        one_stream = expected.one_stream is not None
        try:
            if case.terminal:
                status, console = screen.run_on_console(command, TERMINAL_COLUMNS, cwd=work,
                                                        env=env, timeout_s=RUN_TIMEOUT_S)
                stdout = stderr = b""
            elif expected.stdout_digest is not None:
                status, stdout, stderr = run_hashing(command, work, env)
            else:
                if case.redirection:
                    command = ["sh", "-c", f'exec "$@" {case.redirection}', "sh"] + command
                result = subprocess.run(
                    command, cwd=work, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                    stderr=subprocess.STDOUT if one_stream else subprocess.PIPE,
                    timeout=RUN_TIMEOUT_S)
                status, stdout = result.returncode, result.stdout or b""
                stderr = result.stderr or b""
        except subprocess.TimeoutExpired:
            return [f"no exit within {RUN_TIMEOUT_S} s"]
        if expected.status is None:
            return []
        problems = []
        if status != expected.status:
            problems.append(f"exit status {status}, expected {expected.status}")
        if expected.faulted:
            if not stderr.endswith(program.encode(FAULT)):
                problems.append(f"standard error {stderr[-200:]!r} does not end in the report")
            return problems
        if case.terminal:
            if console.shown() != expected.one_stream.splitlines():
                problems.append(f"the terminal shows {console.shown()}, expected "
                                f"{expected.one_stream.splitlines()}")
        elif one_stream:
            difference = text_difference(program, expected.one_stream, stdout)
            if difference:
                problems.append(f"standard output and error as one: {difference}")
        else:
            if expected.partial is not None:
                stderr, written = expected.partial.split(program, stderr)
                difference = expected.partial.difference(written, stdout)
            elif expected.stdout_digest is not None:
                difference = expected.stdout_digest.difference(stdout)
            elif expected.stdout_data is not None:
                difference = wave_difference(expected.stdout_data, stdout)
            else:
                difference = text_difference(program, expected.out, stdout)
            if difference:
                problems.append(f"standard output: {difference}")
        difference = text_difference(program, expected.err, stderr)
        if difference:
            problems.append(f"standard error: {difference}")
        for name, want in expected.files.items():
            path = work / name
            if want is None:
                if path.exists():
                    problems.append(f"{name} exists, expected none")
            elif not path.is_file():
                problems.append(f"{name} missing")
            elif not want.startswith((b"RIFF", b"RF64")):
                if path.read_bytes() != want:
                    problems.append(f"{name}: {path.read_bytes()[:200]!r}, expected {want!r}")
            else:
                difference = wave_difference(want, path.read_bytes())
                if difference:
                    problems.append(f"{name}: {difference}")
        return problems
    finally:
        shutil.rmtree(work, ignore_errors=True)


def held_output_problems(program, env, work_root):
    """While a run writes its named output, held by the test source in its
    second read, a second run may not write that file: the first holds it by
    its share mode, and the second's open is refused. Let go, the first run
    ends exact."""
    work = Path(tempfile.mkdtemp(dir=work_root))
    stream = Stream(MONO8, source_data(0, 1 << 23))
    (work / "held.avs").write_bytes(source_file(MONO8, samples=1 << 23,
                                                read_gate=f"go@{QUARTER_SAMPLES}"))
    (work / "in.wav").write_bytes(wav_file(MONO8.stored(16), bytes(4000)))
    command = wine_command(program) + ["-q"]
    first = subprocess.Popen(command + ["held.avs", "held.wav"], cwd=work, env=env,
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    problems = [] if held_at(work / "go", first) else ["the first run ended before it was held"]
    second = subprocess.run(command + ["in.wav", "held.wav"], cwd=work, env=env,
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=RUN_TIMEOUT_S)
    if second.returncode != 1 or second.stderr != program.encode(OUTPUT_FAILED):
        problems.append(f"the second run ended {second.returncode}: {second.stderr!r}")
    (work / "go").touch()
    first.communicate(timeout=RUN_TIMEOUT_S)
    difference = wave_difference(stream.wave(), (work / "held.wav").read_bytes())
    if first.returncode != 0 or difference:
        problems.append(f"the first run ended {first.returncode}: {difference}")
    shutil.rmtree(work, ignore_errors=True)
    return problems


# The form the progress line takes on a terminal of each width, as the
# robustness suite finds on Linux: the widest that leaves the last column free.
WINE_PROGRESS_FORM_AT = {40: "no amounts", 120: "full"}


def progress_on_a_terminal(program, env, work_root, widths):
    """tonewell64.exe with standard error on a pseudo-terminal, narrow and
    wide, standard output drained slowly: Wine makes a console of the
    terminal, whose width (taken once, at start) the program reads; the
    progress line is drawn in the form that fits, never wraps, and leaves the
    finished screen as a run too short to draw it leaves it (the messages
    themselves pass through Wine's console as they do without the line).
    At each of `widths`, a list of (name, problems)."""
    work = Path(tempfile.mkdtemp(dir=work_root))
    data = pattern(48 << 20, 8)
    (work / "long.wav").write_bytes(wav_file(MONO8.stored(16), data))
    (work / "short.wav").write_bytes(wav_file(MONO8.stored(16), data[:1 << 16]))
    command = wine_command(program)
    results = []
    try:
        for columns in widths:
            form = WINE_PROGRESS_FORM_AT[columns]
            run = screen.run_on_terminal(command + ["long.wav", "-"], columns, cwd=work, env=env,
                                         timeout_s=RUN_TIMEOUT_S)
            reference = screen.run_on_terminal(command + ["short.wav", "-"], columns, pace_s=0,
                                               cwd=work, env=env, timeout_s=RUN_TIMEOUT_S)
            forms = [screen.form_of(line) for line in run.console.progress]
            problems = []
            if run.status != 0 or run.stdout != wav_file(MONO8.stored(16), data):
                problems.append(f"status {run.status}, {len(run.stdout)} bytes on standard output")
            if set(forms) != {form} or len(forms) < 2:
                problems.append(f"progress drawn as {run.console.progress!r}, expected the form "
                                f"{form!r} twice or more")
            if reference.console.progress:
                problems.append(f"progress drawn in the short run: {reference.console.progress!r}")
            if run.console.wraps != reference.console.wraps:
                problems.append(f"{run.console.wraps} lines wrapped, without the progress line "
                                f"{reference.console.wraps}")
            if run.console.shown() != reference.console.shown():
                problems.append(f"the screen shows {run.console.shown()!r}, without the progress "
                                f"line {reference.console.shown()!r}")
            results.append((f"progress on a terminal of {columns} columns", problems))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return results


# Rows that start runs of their own, beside each other, held midway or
# interrupted, on the Windows programs (the qemu route runs its few cases
# only): each a function of the program, the prefix's environment and the
# suite's work folder, returning its problems.
OWN_RUN_ROWS = {
    "named output held against a second run": held_output_problems,
    "Ctrl+C while a read is held, into a named file": held_read_interrupt_problems,
    "Ctrl+C, standard output never drained again: the process ends":
        stuck_writer_interrupt_problems,
    "Ctrl+C twice while the script is opened": opening_interrupt_problems,
}


def progress_row(columns):
    return f"progress on a terminal of {columns} columns"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-k", dest="keyword", metavar="TEXT",
                        help="run only the rows whose name, \"[program] case\" as a failure "
                             "shows it, holds TEXT")
    args = parser.parse_args()
    hear_ctrl_c()
    os.chdir(ROOT)
    cases = sorted(all_cases(), key=lambda c: not c.big)
    known = {c.name for c in cases}
    for name, *_ in DIFFERENCES:
        assert name in known, f"difference for unknown case {name!r}"
    for name in QEMU_ROUTE_CASES:
        assert name in known, f"qemu route for unknown case {name!r}"

    def wanted(program, name):
        return args.keyword is None or args.keyword in f"[{program.label}] {name}"

    # What runs is chosen before anything runs: a program, the Wine prefix
    # and the test source handler only where a chosen row needs them.
    jobs = [(case, program) for case in cases for program in PROGRAMS
            if program.runs(case) and wanted(program, case.name)]
    own_runs = [(program, name, function) for program in PROGRAMS
                if program.under_wine and not program.qemu_route
                for name, function in OWN_RUN_ROWS.items() if wanted(program, name)]
    avisynth_runs = [(program, name, function) for program in PROGRAMS
                     if program.under_wine and not program.qemu_route
                     for name, function in AVISYNTH_OWN_RUN_ROWS.items()
                     if wanted(program, name)]
    widths = {program: [columns for columns in WINE_PROGRESS_FORM_AT
                        if wanted(program, progress_row(columns))]
              for program in PROGRAMS if program.under_wine and not program.qemu_route}
    programs = [p for p in PROGRAMS if any(job[1] == p for job in jobs) or
                any(row[0] == p for row in own_runs + avisynth_runs) or widths.get(p)]
    missing = [p for p in programs if not p.path.is_file()]
    for program in missing:
        print(f"FAIL {program.label}: {program.path} not built")
    programs = [p for p in programs if p not in missing]

    failed = len(missing)
    passed = 0

    def record(program, name, problems):
        nonlocal failed, passed
        if problems:
            failed += 1
            print(f"FAIL [{program.label}] {name}")
            for problem in problems:
                print(f"    {problem}")
        else:
            passed += 1

    def run_jobs(phase, env):
        with ThreadPoolExecutor(max_workers=2) as pool:
            results = pool.map(lambda job: run_case(*job, env, work_root), phase)
            for (case, program), problems in zip(phase, results):
                record(program, case.name, problems)

    under_wine = [p for p in programs if p.under_wine]
    work_root = tempfile.mkdtemp(prefix="tonewell-e2e-")
    try:
        with (wine_prefix() if under_wine else contextlib.nullcontext()) as wine_env:
            for program in under_wine:
                if not starts_under_wine(program, wine_env):
                    print(f"FAIL {program.label}: does not start under Wine on this machine")
                    failed += 1
                    programs.remove(program)
            jobs = [job for job in jobs if job[1] in programs]
            own_runs = [row for row in own_runs if row[0] in programs]
            # The cases that need ".avs" unregistered first, then the rest.
            for before_handler in (True, False):
                phase = [job for job in jobs
                         if job[0].before_handler == before_handler and not job[0].avisynth]
                if not before_handler and (own_runs or any(job[1].under_wine for job in phase)):
                    register_test_source(wine_env)
                run_jobs(phase, wine_env)
            for program, name, function in own_runs:
                record(program, name, function(program, wine_env, work_root))
            for program in programs:
                if widths.get(program):
                    for name, problems in progress_on_a_terminal(program, wine_env, work_root,
                                                                 widths[program]):
                        record(program, name, problems)
        avisynth_jobs = [job for job in jobs if job[0].avisynth]
        avisynth_runs = [row for row in avisynth_runs if row[0] in programs]
        if avisynth_jobs or avisynth_runs:
            # AviSynth+ for ".avs", in a prefix of its own where a Windows
            # program runs a script; the Linux programs load the library.
            needs_wine = avisynth_runs or any(job[1].under_wine for job in avisynth_jobs)
            with wine_prefix() if needs_wine else contextlib.nullcontext() as avisynth_env:
                if needs_wine:
                    register_avisynth(avisynth_env)
                run_jobs(avisynth_jobs, avisynth_env)
                for program, name, function in avisynth_runs:
                    record(program, name, function(program, avisynth_env, work_root))
    finally:
        shutil.rmtree(work_root, ignore_errors=True)

    chosen = {case.name for case, _ in jobs}
    differences = [row for row in DIFFERENCES if row[0] in chosen]
    if differences:
        print("designed differences between Wine and the Linux layer:")
    for name, programs, reason, _ in differences:
        print(f"  {name} ({programs}): {reason}")
    print(f"{passed} passed, {failed} failed")
    if passed + failed == 0:
        print(f"no row's name holds {args.keyword!r}")
        return 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
