// What the handlers of the Linux layer's AVI file layer share: reading RIFF chunks
// from an untrusted file, and the table of pieces through which a stream's
// bytes are read straight from the file.
//
// Every number in a file is untrusted: chunk bounds are checked against their
// parent in 64-bit arithmetic before use, and nothing is allocated from a
// size field beyond a fixed cap.
#ifndef TONEWELL_PLATFORM_RIFF_POSIX_H_
#define TONEWELL_PLATFORM_RIFF_POSIX_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/windows-posix.h"

namespace posix {

constexpr uint32_t fourcc(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
         uint32_t(uint8_t(s[3])) << 24;
}

inline uint32_t le16(const uint8_t* p) { return p[0] | p[1] << 8; }
inline uint32_t le32(const uint8_t* p) { return le16(p) | le16(p + 2) << 16; }
inline uint64_t le64(const uint8_t* p) { return le32(p) | uint64_t{le32(p + 4)} << 32; }

// A run of the stream's bytes stored contiguously in the file.
struct Piece {
  uint64_t start;        // offset in the stream's data
  uint64_t file_offset;  // where it lies in the file
  // The id of the chunk header that must stand just before it, when only an
  // index said so; 0 when the header was read where the piece was found.
  uint32_t named_id;
};

// One audio stream as a handler found it.
struct Track {
  std::vector<uint8_t> format;  // strf / fmt bytes as stored
  uint32_t block = 0;           // nBlockAlign
  uint32_t length = 0;          // blocks reported as dwLength
  uint32_t largest = 0;         // largest piece, for dwSuggestedBufferSize
  uint64_t total = 0;           // bytes in all pieces
  std::vector<Piece> pieces;    // ascending start, no empty pieces
  WORD priority = 0;
  WORD language = 0;

  void add(uint64_t file_offset, uint64_t size, uint32_t named_id = 0) {
    if (size == 0) return;
    pieces.push_back({total, file_offset, named_id});
    total += size;
    largest = uint32_t(std::max<uint64_t>(largest, std::min<uint64_t>(size, 0xFFFFFFFFu)));
  }
};

// Exactly `n` bytes at `offset`, or AVIERR_FILEREAD (an I/O error, or the file
// ended early).
HRESULT read_at(int fd, void* dst, size_t n, uint64_t offset);

// The 12 bytes that open a RIFF file: id, size, form type. AVIERR_FILEREAD
// when the file is shorter.
HRESULT read_riff_header(int fd, uint64_t file_size, uint8_t h[12]);

struct Chunk {
  uint32_t id;
  uint64_t size;
  uint32_t type;  // the form or list type of a RIFF or LIST chunk, else 0
  uint64_t data;  // first byte of the body
  uint64_t next;  // where the following chunk starts: after the body and its pad byte

  // Whether the body runs past `end`; `data` is at most `end`.
  bool runs_past(uint64_t end) const { return size > end - data; }
};

// A 32-bit size field of 0xFFFFFFFF in an RF64 file: the size is stored
// elsewhere, in 64 bits.
constexpr uint32_t kSizeElsewhere = 0xFFFFFFFFu;

// The chunk whose header is at `pos`: S_FALSE when fewer than 8 bytes remain
// before `end`. Its body may run past `end`. A data chunk whose size field is
// kSizeElsewhere has the size `long_data` (RF64); otherwise leave it as
// stored.
HRESULT read_chunk(int fd, uint64_t pos, uint64_t end, Chunk* c,
                   uint64_t long_data = kSizeElsewhere);

// Calls visit(chunk) for every chunk of a list whose body is [begin, end),
// AVIERR_BADFORMAT for one that overruns the list; stops at visit's first
// result other than S_OK. Bytes too few for a chunk header at the end are
// ignored, as readers commonly do, and so is a missing pad byte after the
// last chunk.
template <typename Visit>
HRESULT walk(int fd, uint64_t begin, uint64_t end, Visit visit) {
  Chunk c;
  for (uint64_t pos = begin;; pos = c.next) {
    HRESULT r = read_chunk(fd, pos, end, &c);
    if (r == S_FALSE) return S_OK;
    if (r == S_OK && c.runs_past(end)) r = AVIERR_BADFORMAT;
    if (r == S_OK) r = visit(c);
    if (r != S_OK) return r;
  }
}

// Where the chunk after `c` starts, in a file of `file_size` bytes: after its
// pad byte, or at the pad byte when that is not 0, since some writers leave
// the pad out (and Windows' WAVE reader never skips it).
HRESULT skip_pad(int fd, uint64_t file_size, Chunk* c);

// Calls visit(chunk) for the chunks of a RIFF file's body as Windows' reader
// finds them: each whose header starts before the body's declared end,
// `riff_end`. A chunk may run past that end, up to the end of the file:
// writers often miscount the RIFF size, and the data is there. The walk ends
// after a chunk that runs past the end of the file (visit decides what that
// means for the chunk it sought), and at visit's first result other than
// S_OK, which it returns.
template <typename Visit>
HRESULT walk_riff(int fd, uint64_t riff_end, uint64_t file_size, Visit visit,
                  uint64_t long_data = kSizeElsewhere) {
  Chunk c;
  for (uint64_t pos = 12; pos < riff_end; pos = c.next) {
    HRESULT r = read_chunk(fd, pos, file_size, &c, long_data);
    if (r == S_FALSE) return S_OK;
    if (r == S_OK) r = visit(c);
    if (r != S_OK || c.runs_past(file_size)) return r;
    if ((r = skip_pad(fd, file_size, &c)) != S_OK) return r;
  }
  return S_OK;
}

// A wave format chunk: at least the 16 bytes of PCMWAVEFORMAT, nBlockAlign > 0.
HRESULT load_format(int fd, const Chunk& c, Track* t);

}  // namespace posix

#endif  // TONEWELL_PLATFORM_RIFF_POSIX_H_
