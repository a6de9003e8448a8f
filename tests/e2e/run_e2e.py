#!/usr/bin/env python3
"""End-to-end suite: the four programs on the same cases, byte for byte.

tonewell64.exe and tonewell32.exe run under Wine against its real avifil32,
in a throw-away prefix; tonewell64 and tonewell32 run natively against our
stand-in. Every case writes its input files from known bytes, runs the
program in a directory of its own, and checks the exit status, every byte
of standard output and standard error (Shift_JIS with "\\r\\n" from the
Windows programs, UTF-8 with "\\n" from the Linux ones) and every output
file. Since all four programs are held to one expectation, a case passing on
all of them means they agree, except where DIFFERENCES says why not.

Run alone, after building the presets win64, win32, linux64 and linux32:
    python3 tests/e2e/run_e2e.py
"""

import contextlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

import corpus
from media import AviTrack, WaveFormat, avi_file, chunk, pattern, wav_file

ROOT = Path(__file__).resolve().parents[2]
RUN_TIMEOUT_S = 120

# ---------------------------------------------------------------------------
# Programs


@dataclass(frozen=True)
class Program:
    label: str
    path: Path
    under_wine: bool
    bits: int

    @property
    def name(self):
        return f"tonewell{self.bits}"

    def encode(self, text):
        """Message bytes as this program prints them: the Windows programs hold
        Shift_JIS texts and print through text-mode streams."""
        if self.under_wine:
            return text.replace("\n", "\r\n").encode("cp932")
        return text.encode("utf-8")


# Debian's `wine` starts the 32-bit loader first, which hands 64-bit programs
# on; the 64-bit loader alone also runs where 32-bit programs cannot.
WINE64 = "/usr/lib/wine/wine64"


def i386_emulated():
    """True where the kernel cannot run 32-bit programs and qemu-user does
    (tools/install-deps.sh sets that up): Wine's 32-bit loader then takes
    about 90 s to start a program, too long for a suite of a hundred runs."""
    return Path("/proc/sys/fs/binfmt_misc/qemu-i386").exists()


PROGRAMS = [
    Program("wine64", ROOT / "build/win64/tonewell64.exe", True, 64),
    Program("wine32", ROOT / "build/win32/tonewell32.exe", True, 32),
    Program("linux64", ROOT / "build/linux64/tonewell64", False, 64),
    Program("linux32", ROOT / "build/linux32/tonewell32", False, 32),
]


@contextlib.contextmanager
def wine_prefix():
    """The environment of a Wine prefix made for this run, its server kept
    up until the end. One 64-bit prefix serves both widths."""
    prefix = tempfile.mkdtemp(prefix="tonewell-wine-")
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", DISPLAY="",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    if i386_emulated():
        env["WINELOADER"] = WINE64  # no 32-bit process started in vain while the prefix is made
    try:
        subprocess.run(["wineserver", "-p"], env=env, check=True)
        subprocess.run([WINE64, "wineboot", "--init"], env=env, check=True,
                       stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        yield env
    finally:
        subprocess.run(["wineserver", "-k"], env=env)
        shutil.rmtree(prefix, ignore_errors=True)


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
READ_DISK = "オーディオストリーム読み込みに失敗しました。ディスクエラーが発生しました。\n"

DASH_CONFLICT = "出力ファイルと - オプションは同時に指定出来ません。\n"
BAD_OPTION = "{} オプションは使用できません。\n"
NO_STREAM_NUMBER = "--stream-number(-s)オプションの値を指定してください。\n"
TOO_MANY = "引数が多すぎます。({})\n"
NO_INPUT = "入力ファイルを指定してください。\n"
INPUT_MISSING = "入力ファイルのパスを確認してください。\n"

USAGE = """\
{name}  (version 1.0.1)
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
"""

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
    files: dict            # input files written before the run: name -> bytes
    expect: object         # Program -> Expectation
    run: Run = None        # the run, when the command line is accepted
    stream: Stream = None  # the stream it converts
    big: bool = False      # started first, so that the pool ends together


def run_case_of(name, run, files, outcome, stream=None, big=False):
    """A case whose command line is accepted. `outcome` is the Expectation,
    or a function of the Program for outcomes that depend on the width."""
    expect = outcome if callable(outcome) else lambda program: outcome
    return Case(name, run.args(), files, expect, run, stream, big)


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
                    script.open_failed(NO_HANDLER)),
        run_case_of("empty file with no handler", empty, {"empty.avs": b""},
                    empty.open_failed(NO_HANDLER)),
        command_line("missing input", ["missing.avs"], {}, 1, err=INPUT_MISSING),
        run_case_of("output directory does not exist", no_dir, {"in.wav": wav},
                    no_dir.transfer_failed(stream, [(ERROR, OUTPUT_FAILED)], {"nodir": None}),
                    stream),
        run_case_of("the input named as output is refused and kept", itself, {"in.wav": wav},
                    itself.transfer_failed(stream, [(ERROR, OUTPUT_FAILED)], {"in.wav": wav}),
                    stream),
    ]


def command_line_cases():
    stream = Stream(STEREO16, pattern(4 * 100, 50))
    wav = {"in.wav": wav_file(STEREO16.stored(16), stream.data)}
    cases = [
        command_line("no arguments: usage", [], {}, 0, USAGE),
        command_line("-h: usage", ["-h"], {}, 0, USAGE),
        command_line("--help after a missing path: usage", ["missing.avs", "--help"], {}, 0, USAGE),
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
    return (pcm_cases() + wave_cases() + avi_cases() + file_cases() + command_line_cases() +
            corpus_cases())


# Where Wine's avifil32 and our stand-in answer differently, and why: the
# case, the programs that answer otherwise, the reason, and their answer.
DIFFERENCES = [
    ("AVS script with no handler", "wine",
     "Wine picks a handler by extension alone and hands anything unknown to its AVI "
     "handler, which answers AVIERR_FILEREAD; Windows documents REGDB_E_CLASSNOTREG for a "
     "type with no handler, and that is what the stand-in answers",
     lambda case: case.run.open_failed(OPEN_DISK_READ)),
    ("empty file with no handler", "wine", "as for the AVS script",
     lambda case: case.run.open_failed(OPEN_DISK_READ)),
    ("padded odd-sized chunk before the data", "wine",
     "Wine 8.0's WAVE handler does not skip the pad byte after an odd-sized chunk, loses "
     "its way to the data chunk and answers AVIERR_FILEREAD; RIFF requires the pad, and "
     "the stand-in skips it",
     lambda case: case.run.open_failed(OPEN_DISK_READ)),
    ("ffmpeg: RF64", "wine",
     "Wine 8.0's WAVE handler knows RIFF only and answers AVIERR_FILEREAD; the stand-in "
     "reads RF64, which tonewell itself writes for streams past 4 GiB",
     lambda case: case.run.open_failed(OPEN_DISK_READ)),
    ("RIFF size 0xFFFFFFFF, data size right", "wine",
     "Wine's WAVE reader computes the RIFF body's end, 8 + size, in 32 bits, finds nothing "
     "in a body that ends before it starts and answers AVIERR_FILEREAD; tonewell itself "
     "writes that size for the largest plain WAVE, and the stand-in reads it",
     lambda case: case.run.open_failed(OPEN_DISK_READ)),
    ("ffmpeg to a pipe: sizes 0xFFFFFFFF", "wine",
     "as for a RIFF size of 0xFFFFFFFF; the stand-in finds the data chunk, whose size runs "
     "past the end of the file",
     lambda case: case.run.open_failed(OPEN_DISK_READ)),
    ("WAVE cut inside the data", "wine",
     "Wine declares the length the data chunk claims, and its reads fail at the end of the "
     "file after the program has written a header promising the rest; the stand-in counts "
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
     "header is written; the stand-in checks every index entry of an audio stream at open",
     lambda case: wine_read_fails(case)),
    ("AVI rec lists, index without their entries", "wine",
     "Wine takes index offsets as relative to the movi list only when the first entry "
     "points at its first chunk, here inside a rec list; it takes them as absolute and its "
     "reads fail. The stand-in finds the base that puts the first audio entry on its chunk",
     lambda case: wine_read_fails(case)),
    ("14-byte fmt without wBitsPerSample", "wine",
     "Wine converts it, writing a header of 0 bits per sample that readers refuse; the "
     "stand-in asks for the 16 bytes of PCMWAVEFORMAT",
     lambda case: case.run.converted(case.stream)),
    ("nBlockAlign 0", "wine",
     "Wine's WAVE handler divides by it and the program crashes; the stand-in refuses it",
     lambda case: CRASHED),
    ("AVI RIFF size ending inside the movi list", "wine",
     "Wine's AVI handler, without the index it did not find inside the RIFF size, crashes "
     "in its first read; the stand-in reads the whole movi list, which the file holds",
     lambda case: CRASHED),
    ("AVI cut before the index", "wine", "as for an AVI RIFF size ending inside the movi list",
     lambda case: CRASHED),
    ("AVI cut after the movi type", "wine",
     "Wine crashes in its first read, as for an AVI RIFF size ending inside the movi list; "
     "the stand-in counts only data that exists and refuses a movi list cut short",
     lambda case: CRASHED),
    ("AVI cut inside the movi list", "wine", "as for an AVI cut after the movi type",
     lambda case: CRASHED),
    ("AVI stream header declaring more than is stored", "wine",
     "Wine fails an assertion when a read runs past the data stored; the stand-in's read "
     "fails",
     lambda case: CRASHED),
]

# A crash of the program under Wine: its status and Wine's dump on standard
# output say nothing worth comparing.
CRASHED = Expectation(None)


def wine_read_fails(case):
    """Wine's answer to a stream declaring more than it can read."""
    return case.run.read_failed(case.stream)


def expectation_for(case, program):
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


def run_case(case, program, wine_env, work_root):
    """Runs one case on one program; a list of what went wrong."""
    expected = expectation_for(case, program)
    work = Path(tempfile.mkdtemp(dir=work_root))
    try:
        for name, data in case.files.items():
            (work / name).write_bytes(data)
        command = [str(program.path)] + case.args
        env = None
        if program.under_wine:
            command = [WINE64 if program.bits == 64 else "wine"] + command
            env = wine_env
        try:
            result = subprocess.run(command, cwd=work, env=env, stdin=subprocess.DEVNULL,
                                    capture_output=True, timeout=RUN_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            return [f"no exit within {RUN_TIMEOUT_S} s"]
        if expected.status is None:
            return [] if result.returncode not in (0, 1) else [
                f"exit status {result.returncode}, expected a crash"]
        problems = []
        if result.returncode != expected.status:
            problems.append(f"exit status {result.returncode}, expected {expected.status}")
        if expected.stdout_data is not None:
            difference = wave_difference(expected.stdout_data, result.stdout)
            if difference:
                problems.append(f"standard output: {difference}")
        else:
            difference = text_difference(program, expected.out, result.stdout)
            if difference:
                problems.append(f"standard output: {difference}")
        difference = text_difference(program, expected.err, result.stderr)
        if difference:
            problems.append(f"standard error: {difference}")
        for name, want in expected.files.items():
            path = work / name
            if want is None:
                if path.exists():
                    problems.append(f"{name} exists, expected none")
            elif not path.is_file():
                problems.append(f"{name} missing")
            else:
                difference = wave_difference(want, path.read_bytes())
                if difference:
                    problems.append(f"{name}: {difference}")
        return problems
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    os.chdir(ROOT)
    cases = sorted(all_cases(), key=lambda c: not c.big)
    known = {c.name for c in cases}
    for name, *_ in DIFFERENCES:
        assert name in known, f"difference for unknown case {name!r}"

    missing = [p for p in PROGRAMS if not p.path.is_file()]
    for program in missing:
        print(f"FAIL {program.label}: {program.path} not built")
    programs = [p for p in PROGRAMS if p not in missing]
    if i386_emulated():
        print("SKIP wine32: this kernel runs 32-bit programs only under qemu-user, where "
              "Wine's 32-bit loader takes about 90 s to start a program")
        programs = [p for p in programs if p.label != "wine32"]

    failed = len(missing)
    passed = 0
    work_root = tempfile.mkdtemp(prefix="tonewell-e2e-")
    try:
        with wine_prefix() as wine_env:
            jobs = [(case, program) for case in cases for program in programs]
            with ThreadPoolExecutor(max_workers=2) as pool:
                results = pool.map(lambda job: run_case(*job, wine_env, work_root), jobs)
                for (case, program), problems in zip(jobs, results):
                    if problems:
                        failed += 1
                        print(f"FAIL [{program.label}] {case.name}")
                        for problem in problems:
                            print(f"    {problem}")
                    else:
                        passed += 1
    finally:
        shutil.rmtree(work_root, ignore_errors=True)

    print("designed differences between Wine and the stand-in:")
    for name, programs, reason, _ in DIFFERENCES:
        print(f"  {name} ({programs}): {reason}")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
