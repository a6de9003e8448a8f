// Stand-in of the Windows AVI file layer (avifil32) for the calls tonewell
// makes, with two handlers chosen by content: RIFF WAVE and RIFF AVI. Results
// follow what Windows answers (as measured under Wine, its reference here);
// where it is undefined or unsafe the stand-in picks a documented code.
//
// Every number in the file is untrusted: all chunk bounds are checked against
// their parent in 64-bit arithmetic before use, nothing is allocated from a
// size field beyond a fixed cap, and sample data goes by pread straight from
// the file into the caller's buffer through a per-stream table of chunks.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "platform/standin.h"
#include "platform/standin_faults.h"

// Share-mode registry, in share-posix.cc.
void standin_share_hold(dev_t dev, ino_t ino);
void standin_share_release(dev_t dev, ino_t ino);

namespace {

constexpr uint32_t fourcc(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
         uint32_t(uint8_t(s[3])) << 24;
}

uint32_t le16(const uint8_t* p) { return p[0] | p[1] << 8; }
uint32_t le32(const uint8_t* p) { return le16(p) | le16(p + 2) << 16; }

constexpr size_t kMaxFormat = 18 + 0xFFFF;  // a WAVEFORMATEX with the largest cbSize
constexpr int kMaxStreams = 100;            // chunk ids carry two decimal digits

// A run of the stream's bytes stored contiguously in the file.
struct Piece {
  uint64_t start;        // offset in the stream's data
  uint64_t file_offset;  // where it lies in the file
};

struct Track {
  std::vector<uint8_t> format;   // strf / fmt bytes as stored
  uint32_t block = 0;            // nBlockAlign
  uint32_t length = 0;           // blocks reported: the AVI strh dwLength, or what exists
  uint32_t claim = 0xFFFFFFFFu;  // AVI strh dwLength
  uint32_t largest = 0;          // largest piece, for dwSuggestedBufferSize
  uint64_t total = 0;            // bytes in all pieces
  std::vector<Piece> pieces;     // ascending start, no empty pieces
  WORD priority = 0;
  WORD language = 0;

  void add(uint64_t file_offset, uint32_t size) {
    if (size == 0) return;
    pieces.push_back({total, file_offset});
    total += size;
    largest = std::max(largest, size);
  }
};

}  // namespace

struct IAVIFile {
  int fd = -1;
  bool avi = false;  // which handler: AVI or WAVE
  bool held = false;
  dev_t dev = 0;
  ino_t ino = 0;
  int refs = 1;               // the caller's handle plus one per live stream
  std::vector<Track> tracks;  // audio streams only, in stream order

  ~IAVIFile() {
    if (held) standin_share_release(dev, ino);
    if (fd >= 0) close(fd);
  }
};

struct IAVIStream {
  IAVIFile* file;
  const Track* track;
};

namespace {

void unref(IAVIFile* f) {
  if (--f->refs == 0) delete f;
}

// Exactly `n` bytes at `offset`, or AVIERR_FILEREAD (an I/O error, or the file
// ended early).
HRESULT read_at(int fd, void* dst, size_t n, uint64_t offset) {
  auto* p = static_cast<uint8_t*>(dst);
  while (n > 0) {
    ssize_t r = pread(fd, p, n, static_cast<off_t>(offset));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return AVIERR_FILEREAD;
    p += r;
    n -= static_cast<size_t>(r);
    offset += static_cast<uint64_t>(r);
  }
  return S_OK;
}

struct Chunk {
  uint32_t id;
  uint32_t size;
  uint32_t type;  // the form or list type of a RIFF or LIST chunk, else 0
  uint64_t data;  // first byte of the body
  uint64_t next;  // the following chunk: after the body and its pad byte
};

// The chunk at `pos` of a parent whose body ends at `end`. S_FALSE when fewer
// than 8 bytes remain (trailing bytes are ignored, as readers commonly do);
// AVIERR_BADFORMAT when the chunk overruns its parent. A missing pad byte
// after the last chunk is tolerated.
HRESULT read_chunk(int fd, uint64_t pos, uint64_t end, Chunk* c) {
  if (end - pos < 8) return S_FALSE;
  uint8_t h[12];
  HRESULT r = read_at(fd, h, 8, pos);
  if (r != S_OK) return r;
  c->id = le32(h);
  c->size = le32(h + 4);
  c->type = 0;
  c->data = pos + 8;
  if (c->size > end - c->data) return AVIERR_BADFORMAT;
  c->next = std::min(c->data + c->size + (c->size & 1), end);
  if (c->id == fourcc("LIST") || c->id == fourcc("RIFF")) {
    if (c->size < 4) return AVIERR_BADFORMAT;
    if ((r = read_at(fd, h + 8, 4, c->data)) != S_OK) return r;
    c->type = le32(h + 8);
  }
  return S_OK;
}

// Calls visit(chunk) for every chunk of [begin, end); stops at its first
// result other than S_OK.
template <typename Visit>
HRESULT walk(int fd, uint64_t begin, uint64_t end, Visit visit) {
  Chunk c;
  for (uint64_t pos = begin;; pos = c.next) {
    HRESULT r = read_chunk(fd, pos, end, &c);
    if (r == S_FALSE) return S_OK;
    if (r == S_OK) r = visit(c);
    if (r != S_OK) return r;
  }
}

// A wave format chunk: at least the 16 bytes of PCMWAVEFORMAT, nBlockAlign > 0.
HRESULT load_format(int fd, const Chunk& c, Track* t) {
  if (c.size < 16 || c.size > kMaxFormat) return AVIERR_BADFORMAT;
  t->format.resize(c.size);
  HRESULT r = read_at(fd, t->format.data(), c.size, c.data);
  if (r != S_OK) return r;
  t->block = le16(&t->format[12]);
  return t->block == 0 ? AVIERR_BADFORMAT : S_OK;
}

HRESULT parse_wave(IAVIFile* f, uint64_t end) {
  Chunk fmt{}, data{};
  HRESULT r = walk(f->fd, 12, end, [&](const Chunk& c) {
    if (c.id == fourcc("fmt ") && fmt.id == 0) fmt = c;
    if (c.id == fourcc("data") && data.id == 0) data = c;
    return S_OK;
  });
  if (r != S_OK) return r;
  if (fmt.id == 0 || data.id == 0) return AVIERR_BADFORMAT;
  f->tracks.emplace_back();
  Track& t = f->tracks.back();
  if ((r = load_format(f->fd, fmt, &t)) != S_OK) return r;
  t.add(data.data, data.size);
  return S_OK;
}

// The stream number of a movi chunk id "NNxx", or -1.
int stream_of(uint32_t id) {
  int hi = int(id & 0xFF) - '0', lo = int(id >> 8 & 0xFF) - '0';
  return hi >= 0 && hi <= 9 && lo >= 0 && lo <= 9 ? hi * 10 + lo : -1;
}

struct AviParse {
  IAVIFile* f;
  int audio[kMaxStreams];  // stream number -> index in f->tracks, or -1
  int streams = 0;
  Chunk movi{}, idx1{};
  bool hdrl = false;

  Track* track_of(uint32_t id) {
    int n = stream_of(id);
    return n >= 0 && n < streams && audio[n] >= 0 ? &f->tracks[size_t(audio[n])] : nullptr;
  }

  HRESULT strl(const Chunk& list) {
    if (streams == kMaxStreams) return AVIERR_BADFORMAT;
    Chunk strh{}, strf{};
    HRESULT r = walk(f->fd, list.data + 4, list.next, [&](const Chunk& c) {
      if (c.id == fourcc("strh") && strh.id == 0) strh = c;
      if (c.id == fourcc("strf") && strf.id == 0) strf = c;
      return S_OK;
    });
    if (r != S_OK) return r;
    if (strh.id == 0 || strh.size < 48) return AVIERR_BADFORMAT;
    uint8_t h[48];
    if ((r = read_at(f->fd, h, sizeof h, strh.data)) != S_OK) return r;
    audio[streams++] = -1;
    if (le32(h) != streamtypeAUDIO) return S_OK;
    if (strf.id == 0) return AVIERR_BADFORMAT;
    audio[streams - 1] = int(f->tracks.size());
    f->tracks.emplace_back();
    Track& t = f->tracks.back();
    t.priority = WORD(le16(h + 12));
    t.language = WORD(le16(h + 14));
    t.claim = le32(h + 32);
    return load_format(f->fd, strf, &t);
  }

  HRESULT top(const Chunk& c) {
    if (c.id == fourcc("LIST") && c.type == fourcc("hdrl") && !hdrl) {
      hdrl = true;
      return walk(f->fd, c.data + 4, c.next, [&](const Chunk& s) {
        return s.id == fourcc("LIST") && s.type == fourcc("strl") ? strl(s) : S_OK;
      });
    }
    if (c.id == fourcc("LIST") && c.type == fourcc("movi") && movi.id == 0) movi = c;
    if (c.id == fourcc("idx1") && idx1.id == 0) idx1 = c;
    return S_OK;
  }

  // The movi list's chunks in file order, descending into 'rec ' lists.
  HRESULT scan(uint64_t begin, uint64_t end, int depth) {
    return walk(f->fd, begin, end, [&](const Chunk& c) {
      if (c.id == fourcc("LIST")) {
        return c.type == fourcc("rec ") && depth < 4 ? scan(c.data + 4, c.next, depth + 1) : S_OK;
      }
      if (Track* t = track_of(c.id)) t->add(c.data, c.size);
      return S_OK;
    });
  }

  // idx1 entries (id, flags, offset, size), their offsets relative to the
  // 'movi' type field or absolute, as the first entry shows.
  HRESULT index() {
    const uint64_t count = idx1.size / 16, body = movi.data + 4, end = movi.data + movi.size;
    uint64_t base = 0;
    std::vector<uint8_t> e(16 * 4096);
    for (uint64_t i = 0; i < count; i += 4096) {
      size_t n = size_t(std::min<uint64_t>(4096, count - i));
      HRESULT r = read_at(f->fd, e.data(), 16 * n, idx1.data + 16 * i);
      if (r != S_OK) return r;
      for (size_t k = 0; k < n; ++k) {
        const uint8_t* p = &e[16 * k];
        uint64_t offset = le32(p + 8);
        uint32_t size = le32(p + 12);
        if (i + k == 0 && (r = find_base(le32(p), offset, &base)) != S_OK) return r;
        Track* t = track_of(le32(p));
        if (!t) continue;
        uint64_t at = base + offset;
        if (at < body || at > end || 8 + uint64_t{size} > end - at) return AVIERR_BADFORMAT;
        t->add(at + 8, size);
      }
    }
    return S_OK;
  }

  HRESULT find_base(uint32_t id, uint64_t offset, uint64_t* base) {
    for (uint64_t b : {movi.data, uint64_t{0}}) {
      uint8_t h[4];
      if (b + offset < movi.data + 4 || b + offset + 4 > movi.data + movi.size) continue;
      HRESULT r = read_at(f->fd, h, 4, b + offset);
      if (r != S_OK) return r;
      if (le32(h) == id) {
        *base = b;
        return S_OK;
      }
    }
    return AVIERR_BADFORMAT;
  }

  HRESULT run(uint64_t end) {
    HRESULT r = walk(f->fd, 12, end, [&](const Chunk& c) { return top(c); });
    if (r != S_OK) return r;
    if (!hdrl || movi.id == 0) return AVIERR_BADFORMAT;
    if (idx1.size >= 16) return index();
    return scan(movi.data + 4, movi.data + movi.size, 0);
  }
};

HRESULT parse(IAVIFile* f, uint64_t file_size) {
  uint8_t h[12];
  if (file_size < 12) return REGDB_E_CLASSNOTREG;
  HRESULT r = read_at(f->fd, h, 12, 0);
  if (r != S_OK) return r;
  uint32_t form = le32(h + 8);
  if (le32(h) != fourcc("RIFF") || (form != fourcc("WAVE") && form != fourcc("AVI "))) {
    return REGDB_E_CLASSNOTREG;
  }
  uint64_t end = 8 + uint64_t{le32(h + 4)};
  if (end < 12 || end > file_size) return AVIERR_BADFORMAT;
  f->avi = form == fourcc("AVI ");
  if (f->avi) {
    AviParse avi{f, {}};
    r = avi.run(end);
  } else {
    r = parse_wave(f, end);
  }
  if (r != S_OK) return r;
  // An AVI stream's length is reported as its header declares it, as
  // Windows does; blocks declared but not stored fail to read.
  for (Track& t : f->tracks) {
    t.length = f->avi ? t.claim : uint32_t(t.total / t.block);
  }
  return S_OK;
}

// Chunk headers and pad bytes that may lie between two pieces of a stream
// stored one after the other; a larger gap holds other chunks.
constexpr uint64_t kMaxGap = 9;
constexpr int kMaxRun = 512;  // pieces in one preadv: two iovecs each, within IOV_MAX

// Copies stream bytes [start, start + n) into dst, across pieces. Pieces that
// follow each other in the file are read by one preadv that drops the chunk
// headers between them into scratch space, so a stream stored in many small
// chunks costs few system calls.
HRESULT read_data(const IAVIFile* f, const Track& t, uint64_t start, uint64_t n, uint8_t* dst) {
  auto it = std::upper_bound(t.pieces.begin(), t.pieces.end(), start,
                             [](uint64_t s, const Piece& p) { return s < p.start; });
  --it;
  uint8_t gap[kMaxGap];
  iovec iov[2 * kMaxRun];
  while (n > 0) {
    const uint64_t offset = it->file_offset + (start - it->start);
    uint64_t file_end = offset, data = 0;
    int count = 0;
    for (int pieces = 0; pieces < kMaxRun && data < n; ++pieces, ++it) {
      const uint64_t at = it->file_offset + (start + data - it->start);
      if (at < file_end || at - file_end > kMaxGap) break;
      if (at > file_end) iov[count++] = {gap, size_t(at - file_end)};
      const uint64_t piece_end = it + 1 == t.pieces.end() ? t.total : (it + 1)->start;
      const size_t len = size_t(std::min(n - data, piece_end - (start + data)));
      iov[count++] = {dst + data, len};
      data += len;
      file_end = at + len;
    }
    ssize_t r = preadv(f->fd, iov, count, off_t(offset));
    if (r < 0 || uint64_t(r) != file_end - offset) {
      // Interrupted, or the file ended early: piece by piece, to tell which.
      uint64_t pos = offset;
      for (int i = 0; i < count; pos += iov[i++].iov_len) {
        HRESULT result = read_at(f->fd, iov[i].iov_base, iov[i].iov_len, pos);
        if (result != S_OK) return result;
      }
    }
    dst += data;
    start += data;
    n -= data;
  }
  return S_OK;
}

}  // namespace

HRESULT AVIFileOpenA(PAVIFILE* ppfile, LPCSTR szFile, UINT uMode, LPCLSID) {
  standin_log.calls.push_back("AVIFileOpenA");
  if (!ppfile) return AVIERR_BADPARAM;
  *ppfile = nullptr;
  if (standin_faults.open_result != 0) return standin_faults.open_result;
  int fd = szFile ? open(szFile, O_RDONLY | O_CLOEXEC | O_NONBLOCK) : -1;
  if (fd < 0) return AVIERR_FILEOPEN;
  std::unique_ptr<IAVIFile> f(new IAVIFile);
  f->fd = fd;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return AVIERR_FILEOPEN;
  HRESULT r;
  try {
    r = parse(f.get(), uint64_t(st.st_size));
  } catch (const std::bad_alloc&) {
    r = AVIERR_MEMORY;
  }
  if (r != S_OK) return r;
  if (uMode & OF_SHARE_DENY_WRITE) {
    f->dev = st.st_dev;
    f->ino = st.st_ino;
    standin_share_hold(f->dev, f->ino);
    f->held = true;
  }
  *ppfile = f.release();
  return S_OK;
}

ULONG AVIFileRelease(PAVIFILE pfile) {
  standin_log.calls.push_back("AVIFileRelease");
  if (!pfile) return 0;
  ULONG left = ULONG(pfile->refs - 1);
  unref(pfile);
  return left;
}

HRESULT AVIFileGetStream(PAVIFILE pfile, PAVISTREAM* ppavi, DWORD fccType, LONG lParam) {
  standin_log.calls.push_back("AVIFileGetStream");
  if (!ppavi || !pfile) return AVIERR_BADPARAM;
  // The AVI handler rejects a negative number before touching the stream
  // pointer; the WAVE handler treats it as a stream that does not exist.
  if (pfile->avi && lParam < 0) return AVIERR_BADPARAM;
  *ppavi = nullptr;
  if (standin_faults.get_stream_result != 0) return standin_faults.get_stream_result;
  if (fccType != streamtypeAUDIO || lParam < 0 || size_t(lParam) >= pfile->tracks.size()) {
    return AVIERR_NODATA;
  }
  *ppavi = new IAVIStream{pfile, &pfile->tracks[size_t(lParam)]};
  ++pfile->refs;
  return S_OK;
}

ULONG AVIStreamRelease(PAVISTREAM pavi) {
  standin_log.calls.push_back("AVIStreamRelease");
  if (!pavi) return 0;
  unref(pavi->file);
  delete pavi;
  return 0;
}

HRESULT AVIStreamInfoA(PAVISTREAM pavi, AVISTREAMINFOA* psi, LONG lSize) {
  if (standin_faults.info_result != 0) return standin_faults.info_result;
  if (!pavi || !psi) return AVIERR_BADPARAM;
  if (lSize < LONG(sizeof(AVISTREAMINFOA))) return AVIERR_BADSIZE;
  const Track& t = *pavi->track;
  AVISTREAMINFOA info;
  std::memset(&info, 0, sizeof info);
  info.fccType = streamtypeAUDIO;
  info.wPriority = t.priority;
  info.wLanguage = t.language;
  info.dwScale = t.block;
  info.dwRate = le32(&t.format[8]);  // nAvgBytesPerSec
  info.dwLength = standin_faults.override_facts ? standin_faults.length : t.length;
  info.dwSuggestedBufferSize = t.largest;
  info.dwQuality = 0xFFFFFFFFu;
  info.dwSampleSize = standin_faults.override_facts ? standin_faults.sample_size : t.block;
  std::strcpy(info.szName, pavi->file->avi ? "AVI audio" : "WAVE audio");
  *psi = info;
  return S_OK;
}

HRESULT AVIStreamReadFormat(PAVISTREAM pavi, LONG, LPVOID lpFormat, LONG* lpcbFormat) {
  const StandinFaults& faults = standin_faults;
  if (!lpFormat && faults.format_size_result != 0) return faults.format_size_result;
  if (lpFormat && faults.format_read_result != 0) return faults.format_read_result;
  if (!pavi || !lpcbFormat) return AVIERR_BADPARAM;
  const std::vector<uint8_t>& format = pavi->track->format;
  const LONG real = LONG(format.size());
  // Any value but -1 overrides (the header documents >= 0; a negative size
  // lets tests drive the caller's unsigned check).
  const bool override_size = faults.format_size != -1;
  if (!lpFormat) {
    *lpcbFormat = override_size ? faults.format_size : real;
    return S_OK;
  }
  const LONG copied = std::max<LONG>(0, std::min(*lpcbFormat, real));
  std::memcpy(lpFormat, format.data(), size_t(copied));
  if (override_size || copied == real) {
    *lpcbFormat = copied;
    return S_OK;
  }
  *lpcbFormat = real;
  return AVIERR_BUFFERTOOSMALL;
}

HRESULT AVIStreamRead(PAVISTREAM pavi, LONG lStart, LONG lSamples, LPVOID lpBuffer, LONG cbBuffer,
                      LONG* plBytes, LONG* plSamples) {
  const int call = int(standin_log.reads.size());
  standin_log.reads.push_back({lStart, lSamples, cbBuffer});
  if (plBytes) *plBytes = 0;
  if (plSamples) *plSamples = 0;
  if (call == standin_faults.read_fail_call) return standin_faults.read_fail_result;
  if (!pavi) return AVIERR_BADPARAM;
  const Track& t = *pavi->track;
  // Outside the stream: the AVI handler refuses, the WAVE handler reads nothing.
  if (lStart < 0 || uint32_t(lStart) > t.length) return pavi->file->avi ? AVIERR_NODATA : S_OK;
  uint64_t n =
      std::min<uint64_t>(lSamples < 0 ? 0 : uint32_t(lSamples), t.length - uint32_t(lStart));
  if (n == 0) return S_OK;
  if (lpBuffer) {
    uint64_t fit = cbBuffer < 0 ? 0 : uint32_t(cbBuffer) / t.block;
    if (fit == 0) return AVIERR_BUFFERTOOSMALL;
    n = std::min(n, fit);
  } else {
    n = std::min<uint64_t>(n, 0x7FFFFFFF / t.block);  // the byte count must fit a LONG
  }
  if (call == standin_faults.short_read_call) --n;
  // Blocks the header declares beyond the stored data cannot be delivered:
  // failing the read keeps the caller from taking a shorter stream as whole.
  if (lpBuffer && (uint64_t(lStart) + n) * t.block > t.total) return AVIERR_FILEREAD;
  if (lpBuffer && n > 0) {
    HRESULT r = read_data(pavi->file, t, uint64_t(lStart) * t.block, n * t.block,
                          static_cast<uint8_t*>(lpBuffer));
    if (r != S_OK) return r;
  }
  if (plBytes) *plBytes = LONG(n * t.block + (call == standin_faults.bad_bytes_call ? 1 : 0));
  if (plSamples) *plSamples = LONG(n);
  return S_OK;
}
