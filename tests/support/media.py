"""Writers of RIFF WAVE and AVI files with exactly known contents.

Everything here is built from the RIFF rules alone, so the end-to-end suite
knows every byte it hands to the AVI file layer and can check every byte that
comes back.
"""

import random
import struct

WAVE_FORMAT_PCM = 1
WAVE_FORMAT_EXTENSIBLE = 0xFFFE
# KSDATAFORMAT_SUBTYPE_PCM, as it is stored in a file.
PCM_SUBTYPE_GUID = bytes.fromhex("0100000000001000800000aa00389b71")

AVIF_HASINDEX = 0x10
AVIIF_LIST = 0x1
AVIIF_KEYFRAME = 0x10


def pattern(count, seed):
    """`count` bytes that are the same on every run and differ per seed."""
    return random.Random(seed).randbytes(count)


class WaveFormat:
    """A PCM wave format, as the fields of a WAVEFORMATEX. Each sample fills
    a container of `container` bits (the bits rounded up to whole bytes
    unless given), which the block holds once per channel."""

    def __init__(self, channels, rate, bits, tag=WAVE_FORMAT_PCM, container=None):
        self.tag = tag
        self.channels = channels
        self.rate = rate
        self.bits = bits
        self.block_align = channels * (container or 8 * ((bits + 7) // 8)) // 8
        self.avg_bytes = rate * self.block_align

    def pcm_fields(self):
        """The 16 bytes that a WAVE header's format chunk holds."""
        return struct.pack("<HHIIHH", self.tag, self.channels, self.rate,
                           self.avg_bytes, self.block_align, self.bits)

    def stored(self, size):
        """The format as a file stores it: 16 bytes (no cbSize), 18 bytes
        (cbSize 0), 20 bytes (cbSize 2, two extra bytes) or 40 bytes
        (WAVE_FORMAT_EXTENSIBLE around this PCM format)."""
        if size == 16:
            return self.pcm_fields()
        if size == 18:
            return self.pcm_fields() + struct.pack("<H", 0)
        if size == 20:
            return self.pcm_fields() + struct.pack("<H", 2) + b"\x5a\xa5"
        if size == 40:
            head = struct.pack("<HHIIHH", WAVE_FORMAT_EXTENSIBLE, self.channels, self.rate,
                               self.avg_bytes, self.block_align, self.bits)
            channel_mask = (1 << self.channels) - 1
            return head + struct.pack("<HHI", 22, self.bits, channel_mask) + PCM_SUBTYPE_GUID
        raise ValueError(f"no stored form of {size} bytes")


def chunk(fourcc, body):
    """A RIFF chunk: id, size, body and the pad byte an odd size needs."""
    pad = b"\0" if len(body) % 2 else b""
    return fourcc.encode("ascii") + struct.pack("<I", len(body)) + body + pad


def riff(form, body):
    return chunk("RIFF", form.encode("ascii") + body)


def rf64_header(fmt, data_size):
    """The 80 bytes tonewell writes before data too large for RIFF's 32-bit
    sizes: "ds64" first with the true sizes, then a 16-byte "fmt " of `fmt`,
    then "data" with its size left to "ds64"."""
    ds64 = struct.pack("<QQQI", data_size + 72, data_size, data_size // fmt.block_align, 0)
    return (b"RF64" + struct.pack("<I", 0xFFFFFFFF) + b"WAVE" + chunk("ds64", ds64) +
            chunk("fmt ", fmt.pcm_fields()) + b"data" + struct.pack("<I", 0xFFFFFFFF))


def wav_file(stored_format, data, extra_chunks=()):
    """A WAVE file: "fmt ", then `extra_chunks` (fourcc, body) pairs, then
    "data"."""
    body = chunk("fmt ", stored_format)
    for fourcc, extra in extra_chunks:
        body += chunk(fourcc, extra)
    return riff("WAVE", body + chunk("data", data))


class AviTrack:
    """One stream of an AVI file.

    An audio track declares `length` blocks (its data's whole blocks unless
    given); a video track has `frames`, each of `frame_size` bytes.
    """

    def __init__(self, kind, stored_format, data_pieces, scale, rate, sample_size, length):
        self.kind = kind
        self.stored_format = stored_format
        self.pieces = data_pieces
        self.scale = scale
        self.rate = rate
        self.sample_size = sample_size
        self.length = length

    @classmethod
    def audio(cls, fmt, stored_size, data, piece_blocks=1000, length=None):
        step = piece_blocks * fmt.block_align
        pieces = [data[i:i + step] for i in range(0, len(data), step)]
        if length is None:
            length = len(data) // fmt.block_align
        return cls("auds", fmt.stored(stored_size), pieces, fmt.block_align, fmt.avg_bytes,
                   fmt.block_align, length)

    @classmethod
    def video(cls, frames, width=4, height=4):
        frame_size = width * height * 3
        bitmap_info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, frame_size,
                                  0, 0, 0, 0)
        pieces = [pattern(frame_size, 1000 + i) for i in range(frames)]
        return cls("vids", bitmap_info, pieces, 1, 10, 0, frames)

    def chunk_id(self, number):
        return f"{number:02d}" + ("db" if self.kind == "vids" else "wb")

    def stream_header(self):
        handler = b"DIB " if self.kind == "vids" else b"\0\0\0\0"
        suggested = max((len(p) for p in self.pieces), default=0)
        quality = 0xFFFFFFFF
        return (self.kind.encode("ascii") + handler +
                struct.pack("<IHHIIIIIIIIhhhh", 0, 0, 0, 0, self.scale, self.rate, 0,
                            self.length, suggested, quality, self.sample_size, 0, 0, 0, 0))


def avi_file(tracks, index="relative", rec=False):
    """An AVI file with one strl per track and the tracks' pieces interleaved
    round robin in "movi". `index`: an idx1 whose offsets count from the
    "movi" type field ("relative", as is customary), from the start of the
    file ("absolute"), or no idx1 (None). `rec`: each round in a
    LIST "rec ", which the index lists before the chunks it holds."""
    header_list = b"hdrl" + chunk("avih", struct.pack(
        "<IIIIIIIIII16x", 100000, 0, 0, AVIF_HASINDEX if index else 0, 0, 0, len(tracks), 0,
        4, 4))
    for track in tracks:
        header_list += chunk("LIST", b"strl" + chunk("strh", track.stream_header()) +
                             chunk("strf", track.stored_format))
    header_list = chunk("LIST", header_list)
    # The "movi" type field's offset in the file: after RIFF, its form type
    # and the LIST header.
    movi_at = 12 + len(header_list) + 8
    base = movi_at if index == "absolute" else 0

    movi = b"movi"
    entries = b""
    most = max(len(t.pieces) for t in tracks)
    for turn in range(most):
        round_at = len(movi)
        chunks = b""
        round_entries = b""
        for number, track in enumerate(tracks):
            if turn < len(track.pieces):
                piece = track.pieces[turn]
                at = round_at + (12 if rec else 0) + len(chunks)
                round_entries += track.chunk_id(number).encode("ascii") + struct.pack(
                    "<III", AVIIF_KEYFRAME, base + at, len(piece))
                chunks += chunk(track.chunk_id(number), piece)
        if rec:
            entries += b"rec " + struct.pack("<III", AVIIF_LIST, base + round_at, 4 + len(chunks))
            chunks = chunk("LIST", b"rec " + chunks)
        entries += round_entries
        movi += chunks
    body = header_list + chunk("LIST", movi)
    if index:
        body += chunk("idx1", entries)
    return riff("AVI ", body)
