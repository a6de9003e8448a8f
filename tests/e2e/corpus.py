"""A corpus of unusual but real WAVE and AVI files, for the end-to-end suite.

Files from elsewhere are not always tidy: writers miscount the RIFF size,
leave out pad bytes, stream with placeholder sizes, order chunks their own
way, and files get cut short. Each row here writes one such file at run time,
by the program that makes it in the wild (Debian's ffmpeg and sox, Python's
`wave`) where one can, by hand where none does, and says what every program
must make of it: the stream it converts, or the error it ends with. Where
Wine's avifil32 answers otherwise, run_e2e.py's DIFFERENCES says how and why.

Sample bytes are known: the external writers get them raw and store them
unchanged, so the expected output does not depend on reading their files;
only an extensible format, which passes through whole, is taken from the
file as the writer stored it.
"""

import io
import os
import random
import struct
import subprocess
import tempfile
import wave
from dataclasses import dataclass

from media import AviTrack, WaveFormat, avi_file, chunk, pattern

# The open errors a row may end with.
FILEREAD = "AVIERR_FILEREAD"
BADFORMAT = "AVIERR_BADFORMAT"


@dataclass
class Entry:
    name: str
    file: str                 # the input's name: its extension picks the handler
    content: bytes
    # The stream as the file declares it: its format, the bytes stored, and
    # the blocks declared where that is more than `data` holds.
    fmt: WaveFormat = None
    data: bytes = b""
    stored: bytes = None      # a 40-byte extensible format, which passes through
    length: int = None
    error: str = None         # the open error, when the file does not open


def converts(name, file, content, fmt, data, stored=None):
    return Entry(name, file, content, fmt, data, stored)


def refused(name, file, content, error, fmt=None, data=b"", length=None):
    """A file refused at open; `fmt`, `data` and `length` tell what it
    declares, where Wine answers otherwise."""
    return Entry(name, file, content, fmt, data, None, length, error)


# ---------------------------------------------------------------------------
# Writers

STEREO16 = WaveFormat(2, 44100, 16)
MONO8 = WaveFormat(1, 8000, 8)
FLOAT = 3  # WAVE_FORMAT_IEEE_FLOAT


def float_samples(count, size, seed):
    """`count` floats of `size` bytes that every writer stores unchanged:
    multiples of 2^-15 in [-1, 1), exact in any float and in sox's 32-bit
    integers alike."""
    rng = random.Random(seed)
    code = "<f" if size == 4 else "<d"
    return b"".join(struct.pack(code, rng.randrange(-32768, 32768) / 32768) for _ in range(count))


def run_writer(args, raw, pipe=False):
    """The file that `args`, a command line with the placeholders IN and OUT,
    writes of `raw`. With `pipe` it reads standard input and writes standard
    output, not knowing the length in advance, as a writer in a pipeline."""
    with tempfile.TemporaryDirectory(prefix="tonewell-corpus-") as tmp:
        source, target = os.path.join(tmp, "in.raw"), os.path.join(tmp, "out")
        with open(source, "wb") as f:
            f.write(raw)
        args = [{"IN": "-" if pipe else source, "OUT": "-" if pipe else target}.get(a, a)
                for a in args]
        result = subprocess.run(args, input=raw if pipe else b"", capture_output=True,
                                check=True)
        if pipe:
            return result.stdout
        with open(target, "rb") as f:
            return f.read()


def ffmpeg(sample_format, codec, fmt, raw, *options, container="wav", pipe=False):
    return run_writer(["ffmpeg", "-nostdin", "-v", "error", "-f", sample_format,
                       "-ar", str(fmt.rate), "-ac", str(fmt.channels), "-i", "IN", *options,
                       "-c:a", codec, "-f", container, "OUT"], raw, pipe)


def sox(encoding, fmt, raw, pipe=False):
    return run_writer(["sox", "-t", "raw", "-r", str(fmt.rate), "-e", encoding,
                       "-b", str(fmt.bits), "-c", str(fmt.channels), "IN", "-t", "wav", "OUT"],
                      raw, pipe)


def python_wave(fmt, raw):
    out = io.BytesIO()
    with wave.open(out, "wb") as w:
        w.setparams((fmt.channels, fmt.bits // 8, fmt.rate, 0, "NONE", None))
        w.writeframes(raw)
    return out.getvalue()


def stored_chunk(content, fourcc):
    """The body of the first `fourcc` chunk of a writer's file, found by its
    id: the headers come before any sample data."""
    at = content.index(fourcc.encode("ascii")) + 4
    size = struct.unpack_from("<I", content, at)[0]
    return content[at + 4:at + 4 + size]


def extensible(content, fourcc="fmt "):
    """The writer's stored format when it is the 40-byte extensible one."""
    stored = stored_chunk(content, fourcc)
    return stored if len(stored) == 40 else None


def riff(chunks, size=None, riff_id=b"RIFF", form=b"WAVE"):
    """A RIFF file of the given chunk bytes, its size field `size` or true."""
    body = form + b"".join(chunks)
    return riff_id + struct.pack("<I", len(body) if size is None else size) + body


def unpadded(fourcc, body):
    """A chunk without the pad byte an odd size needs."""
    return fourcc.encode("ascii") + struct.pack("<I", len(body)) + body


def set_u32(content, at, value):
    return content[:at] + struct.pack("<I", value) + content[at + 4:]


# ---------------------------------------------------------------------------
# WAVE files written by other programs


def tool_wave_entries():
    entries = []

    def add(name, fmt, data, content):
        entries.append(converts(name, "in.wav", content, fmt, data, extensible(content)))

    formats = [  # writer, its name for the samples' encoding, format
        ("ffmpeg", "u8", WaveFormat(1, 8000, 8)),
        ("ffmpeg", "s16le", WaveFormat(2, 44100, 16)),
        ("ffmpeg", "s16le", WaveFormat(3, 44100, 16)),
        ("ffmpeg", "s24le", WaveFormat(6, 48000, 24)),
        ("ffmpeg", "s32le", WaveFormat(8, 96000, 32)),
        ("ffmpeg", "f32le", WaveFormat(2, 48000, 32, FLOAT)),
        ("ffmpeg", "f64le", WaveFormat(1, 48000, 64, FLOAT)),
        ("sox", "unsigned", WaveFormat(1, 11025, 8)),
        ("sox", "signed", WaveFormat(2, 48000, 24)),
        ("sox", "signed", WaveFormat(4, 48000, 32)),
        ("sox", "signed", WaveFormat(5, 32000, 16)),
        ("sox", "signed", WaveFormat(7, 48000, 16)),
        ("sox", "floating-point", WaveFormat(2, 48000, 32, FLOAT)),
        ("sox", "floating-point", WaveFormat(2, 48000, 64, FLOAT)),
        ("Python wave", None, WaveFormat(1, 22050, 8)),
        ("Python wave", None, WaveFormat(2, 22050, 24)),
    ]
    for i, (writer, encoding, fmt) in enumerate(formats):
        blocks = 301 + i
        if fmt.tag == FLOAT:
            data = float_samples(fmt.channels * blocks, fmt.bits // 8, i)
        else:
            data = pattern(fmt.block_align * blocks, 100 + i)
        if writer == "ffmpeg":
            content = ffmpeg(encoding, "pcm_" + encoding, fmt, data)
        elif writer == "sox":
            content = sox(encoding, fmt, data)
        else:
            content = python_wave(fmt, data)
        kind = "float" if fmt.tag == FLOAT else "PCM"
        add(f"{writer}: {fmt.bits}-bit {kind} {fmt.channels}ch", fmt, data, content)

    data = pattern(4 * 1000, 130)
    add("ffmpeg: bext chunk before the data", STEREO16, data,
        ffmpeg("s16le", "pcm_s16le", STEREO16, data, "-write_bext", "1"))
    add("ffmpeg: levl peak chunk after the data", STEREO16, data,
        ffmpeg("s16le", "pcm_s16le", STEREO16, data, "-write_peak", "on"))
    add("sox: no samples", STEREO16, b"", sox("signed", STEREO16, b""))
    # Streamed: sizes that were never filled in.
    entries.append(refused("ffmpeg to a pipe: sizes 0xFFFFFFFF", "in.wav",
                           ffmpeg("s16le", "pcm_s16le", STEREO16, data, pipe=True), BADFORMAT))
    entries.append(refused("sox to a pipe: sizes of 2 GiB", "in.wav",
                           sox("signed", STEREO16, data, pipe=True), BADFORMAT, STEREO16,
                           length=0x7FFFF000 // 4))
    entries.append(converts("ffmpeg: RF64", "in.wav",
                            ffmpeg("s16le", "pcm_s16le", STEREO16, data, "-rf64", "always"),
                            STEREO16, data))
    return entries


# ---------------------------------------------------------------------------
# WAVE files no writer at hand makes, written by hand


def hand_wave_entries():
    data = pattern(4 * 1000, 140)
    fmt = chunk("fmt ", STEREO16.stored(16))
    body = chunk("data", data)
    info = chunk("LIST", b"INFO" + chunk("ISFT", b"elsewhere\0"))
    whole = len(fmt) + len(body) + 4  # the true RIFF size
    odd = pattern(4 * 100 + 1, 141)   # an odd-sized data chunk ends in a partial block

    def wave(name, content):
        return converts(name, "in.wav", content, STEREO16, data)

    # A 14-byte WAVEFORMAT, read as far as it goes.
    bitless = WaveFormat(2, 44100, 16)
    bitless.bits = 0

    entries = [
        wave("RIFF size short of the data chunk's end", riff([fmt, body], whole - 1000)),
        wave("RIFF size beyond the end of the file", riff([fmt, body], whole + 1000)),
        wave("RIFF size 0xFFFFFFFF, data size right", riff([fmt, body], 0xFFFFFFFF)),
        refused("RIFF size ending before the data chunk", "in.wav",
                riff([fmt, info, body], 4 + len(fmt) + len(info)), FILEREAD),
        refused("RIFF size 0, never filled in", "in.wav", riff([fmt, body], 0), FILEREAD),
        wave("bytes after the RIFF", riff([fmt, body]) + b"\0\0trailing garbage\n"),
        wave("JUNK first, cue and LIST after the data",
             riff([chunk("JUNK", bytes(28)), fmt, body, chunk("cue ", struct.pack("<I", 0)),
                   info])),
        wave("fact and JUNK before the data, fact after it",
             riff([fmt, chunk("fact", struct.pack("<I", 1000)), chunk("JUNK", bytes(6)), body,
                   chunk("fact", struct.pack("<I", 1))])),
        wave("odd-sized chunk without its pad byte",
             riff([fmt, unpadded("note", b"12345"), body])),
        wave("two fmt chunks: the first counts",
             riff([fmt, chunk("fmt ", MONO8.stored(16)), body])),
        wave("two data chunks: the first counts", riff([fmt, body, chunk("data", data[:400])])),
        converts("odd-sized data chunk ending the file without its pad byte", "in.wav",
                 riff([fmt, unpadded("data", odd)]), STEREO16, odd),
        refused("data chunk before the fmt chunk", "in.wav", riff([body, fmt]), FILEREAD),
        refused("big-endian RIFX", "in.wav", riff([fmt, body], riff_id=b"RIFX"), FILEREAD),
        refused("empty .wav", "in.wav", b"", FILEREAD),
        refused("14-byte fmt without wBitsPerSample", "in.wav",
                riff([chunk("fmt ", STEREO16.stored(16)[:14]), body]), BADFORMAT, bitless, data),
        refused("nBlockAlign 0", "in.wav",
                riff([set_u32(fmt, 20, struct.unpack_from("<I", fmt, 20)[0] & 0xFFFF0000), body]),
                BADFORMAT),
    ]

    # Cut at every chunk boundary and inside every header: fmt at 12, LIST
    # at 36, data at 36 + len(info).
    complete = riff([fmt, info, body])
    data_at = 36 + len(info)
    cuts = [(4, "inside the RIFF header", FILEREAD),
            (10, "inside the form type", BADFORMAT),
            (12, "after the RIFF header", FILEREAD),
            (16, "inside the first chunk header", FILEREAD),
            (30, "inside the fmt chunk", FILEREAD),
            (36, "after the fmt chunk", FILEREAD),
            (40, "inside the LIST header", FILEREAD),
            (50, "inside the LIST chunk", FILEREAD),
            (data_at, "before the data chunk", FILEREAD),
            (data_at + 4, "inside the data header", FILEREAD),
            (data_at + 8, "after the data header", BADFORMAT),
            (data_at + 8 + 2001, "inside the data", BADFORMAT)]
    for at, where, error in cuts:
        declared = (STEREO16, b"", 1000) if at >= data_at + 8 else ()
        entries.append(refused(f"WAVE cut {where}", "in.wav", complete[:at], error, *declared))
    return entries


# ---------------------------------------------------------------------------
# AVI files


def tool_avi_entries():
    entries = []
    for sample_format, codec, fmt in (("s16le", "pcm_s16le", WaveFormat(2, 44100, 16)),
                                      ("u8", "pcm_u8", WaveFormat(1, 8000, 8)),
                                      ("s24le", "pcm_s24le", WaveFormat(6, 48000, 24))):
        # Odd-sized chunks of 8-bit mono carry pad bytes.
        data = pattern(fmt.block_align * 20001, fmt.channels)
        content = ffmpeg(sample_format, codec, fmt, data, container="avi")
        entries.append(converts(f"ffmpeg AVI: {fmt.bits}-bit {fmt.channels}ch", "in.avi",
                                content, fmt, data, extensible(content, "strf")))
    data = pattern(4 * 1000, 150)
    content = ffmpeg("s16le", "pcm_s16le", STEREO16, data, "-f", "lavfi",
                     "-i", "color=c=red:s=16x16:r=10:d=1", "-c:v", "rawvideo", container="avi")
    entries.append(converts("ffmpeg AVI: video and audio", "in.avi", content, STEREO16, data))
    return entries


def hand_avi_entries():
    data = pattern(4 * 3000, 160)
    audio = AviTrack.audio(STEREO16, 16, data)

    def avi(name, content, stream_data=data):
        return converts(name, "in.avi", content, STEREO16, stream_data)

    entries = []
    for tracks, kind in (([audio], "audio only"), ([AviTrack.video(3), audio], "video, audio")):
        for index in ("relative", "absolute", None):
            for rec in (False, True):
                layout = (f"{kind}, {'rec lists' if rec else 'no rec lists'}, "
                          f"{'index offsets ' + index if index else 'no index'}")
                entries.append(avi(f"AVI {layout}", avi_file(tracks, index, rec)))

    # An index that lists the chunks of rec lists but not the lists.
    with_rec = avi_file([AviTrack.video(3), audio], "relative", rec=True)
    idx1 = with_rec.rindex(b"idx1")
    entries_at = range(idx1 + 8, len(with_rec), 16)
    listed = b"".join(with_rec[at:at + 16] for at in entries_at if with_rec[at:at + 4] != b"rec ")
    entries.append(avi("AVI rec lists, index without their entries",
                       riff([with_rec[12:idx1], chunk("idx1", listed)], form=b"AVI ")))

    good = avi_file([audio])
    size = len(good) - 8
    movi = good.index(b"movi")
    idx1 = good.rindex(b"idx1")
    entries += [
        avi("AVI RIFF size beyond the end of the file", set_u32(good, 4, size + 1000)),
        avi("AVI RIFF size ending inside the movi list", set_u32(good, 4, movi + 100)),
        refused("AVI RIFF size 0", "in.avi", set_u32(good, 4, 0), FILEREAD),
        avi("AVI bytes after the RIFF", good + b"trailing garbage\n"),
        refused("big-endian RIFX AVI", "in.avi", b"RIFX" + good[4:], FILEREAD),
    ]
    cuts = [(10, "inside the RIFF header", FILEREAD),
            (12, "after the RIFF header", FILEREAD),
            (16, "inside the first chunk header", FILEREAD),
            (100, "inside the hdrl list", FILEREAD),
            (movi - 8, "before the movi list", FILEREAD),
            (movi - 2, "inside the movi header", FILEREAD),
            (movi + 4, "after the movi type", BADFORMAT),
            (movi + 2000, "inside the movi list", BADFORMAT),
            (idx1, "before the index", None),
            (idx1 + 28, "inside the index", None)]
    for at, where, error in cuts:
        name = f"AVI cut {where}"
        entries.append(refused(name, "in.avi", good[:at], error) if error else
                       avi(name, good[:at]))
    no_index = avi_file([audio], index=None)
    entries.append(refused("AVI without index cut inside the movi list", "in.avi",
                           no_index[:movi + 2000], BADFORMAT, STEREO16, length=3000))

    # 8-bit mono in chunks of odd size, written without pad bytes.
    odd = pattern(2003, 161)
    for index in ("relative", None):
        padded = avi_file([AviTrack.audio(MONO8, 16, odd, piece_blocks=333)], index)
        content = padded[:padded.index(b"movi") - 8]
        movi_body, listed = b"movi", b""
        for at in range(0, len(odd), 333):
            piece = odd[at:at + 333]
            listed += b"00wb" + struct.pack("<III", 0x10, len(movi_body), len(piece))
            movi_body += unpadded("00wb", piece)
        content += chunk("LIST", movi_body) + (chunk("idx1", listed) if index else b"")
        content = riff([content[12:]], form=b"AVI ")
        name = f"AVI odd-sized chunks without pad bytes, {'index' if index else 'no index'}"
        entries.append(converts(name, "in.avi", content, MONO8, odd) if index else
                       refused(name, "in.avi", content, BADFORMAT))

    strh_length = good.index(b"strh") + 8 + 32
    entries.append(Entry("AVI stream header declaring more than is stored", "in.avi",
                         set_u32(good, strh_length, 3500), STEREO16, data, length=3500))
    entries.append(refused("AVI index entry pointing past the end of the file", "in.avi",
                           set_u32(good, idx1 + 8 + 16 + 8, 0x7FFFFFF0), BADFORMAT, STEREO16,
                           length=3000))
    return entries


def entries():
    return tool_wave_entries() + hand_wave_entries() + tool_avi_entries() + hand_avi_entries()
