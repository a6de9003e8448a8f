// The stand-in's AVI handler: the audio streams of a RIFF AVI file, their
// bytes found through the idx1 index or, without one, by walking the movi
// list.
#include "platform/handlers-posix.h"

namespace standin {
namespace {

constexpr int kMaxStreams = 100;  // chunk ids carry two decimal digits

// The stream number of a movi chunk id "NNxx", or -1.
int stream_of(uint32_t id) {
  int hi = int(id & 0xFF) - '0', lo = int(id >> 8 & 0xFF) - '0';
  return hi >= 0 && hi <= 9 && lo >= 0 && lo <= 9 ? hi * 10 + lo : -1;
}

struct AviParse {
  int fd;
  std::vector<Track>* tracks;
  int audio[kMaxStreams];  // stream number -> index in tracks, or -1
  int streams = 0;
  Chunk movi{}, idx1{};
  bool hdrl = false;

  Track* track_of(uint32_t id) {
    int n = stream_of(id);
    return n >= 0 && n < streams && audio[n] >= 0 ? &(*tracks)[size_t(audio[n])] : nullptr;
  }

  HRESULT strl(const Chunk& list) {
    if (streams == kMaxStreams) return AVIERR_BADFORMAT;
    Chunk strh{}, strf{};
    HRESULT r = walk(fd, list.data + 4, list.next, [&](const Chunk& c) {
      if (c.id == fourcc("strh") && strh.id == 0) strh = c;
      if (c.id == fourcc("strf") && strf.id == 0) strf = c;
      return S_OK;
    });
    if (r != S_OK) return r;
    if (strh.id == 0 || strh.size < 48) return AVIERR_BADFORMAT;
    uint8_t h[48];
    if ((r = read_at(fd, h, sizeof h, strh.data)) != S_OK) return r;
    audio[streams++] = -1;
    if (le32(h) != streamtypeAUDIO) return S_OK;
    if (strf.id == 0) return AVIERR_BADFORMAT;
    audio[streams - 1] = int(tracks->size());
    tracks->emplace_back();
    Track& t = tracks->back();
    t.priority = WORD(le16(h + 12));
    t.language = WORD(le16(h + 14));
    // The length is reported as the header declares it, as Windows does;
    // blocks declared but not stored fail to read.
    t.length = le32(h + 32);
    return load_format(fd, strf, &t);
  }

  HRESULT top(const Chunk& c) {
    if (c.id == fourcc("LIST") && c.type == fourcc("hdrl") && !hdrl) {
      hdrl = true;
      return walk(fd, c.data + 4, c.next, [&](const Chunk& s) {
        return s.id == fourcc("LIST") && s.type == fourcc("strl") ? strl(s) : S_OK;
      });
    }
    if (c.id == fourcc("LIST") && c.type == fourcc("movi") && movi.id == 0) movi = c;
    if (c.id == fourcc("idx1") && idx1.id == 0) idx1 = c;
    return S_OK;
  }

  // The movi list's chunks in file order, descending into 'rec ' lists.
  HRESULT scan(uint64_t begin, uint64_t end, int depth) {
    return walk(fd, begin, end, [&](const Chunk& c) {
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
      HRESULT r = read_at(fd, e.data(), 16 * n, idx1.data + 16 * i);
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
      HRESULT r = read_at(fd, h, 4, b + offset);
      if (r != S_OK) return r;
      if (le32(h) == id) {
        *base = b;
        return S_OK;
      }
    }
    return AVIERR_BADFORMAT;
  }

  HRESULT run(uint64_t end) {
    HRESULT r = walk(fd, 12, end, [&](const Chunk& c) { return top(c); });
    if (r != S_OK) return r;
    if (!hdrl || movi.id == 0) return AVIERR_BADFORMAT;
    if (idx1.size >= 16) return index();
    return scan(movi.data + 4, movi.data + movi.size, 0);
  }
};

HRESULT open_avi(int fd, uint64_t file_size, std::vector<Track>* tracks) {
  uint8_t h[12];
  HRESULT r = read_riff_header(fd, file_size, h);
  if (r != S_OK) return r;
  // Windows' handler cannot read anything but RIFF AVI, WAVE included.
  if (le32(h) != fourcc("RIFF") || le32(h + 8) != fourcc("AVI ")) return AVIERR_FILEREAD;
  const uint64_t riff_size = le32(h + 4);
  if (riff_size < 4 || riff_size > file_size - 8) return AVIERR_BADFORMAT;
  AviParse avi{fd, tracks, {}};
  return avi.run(8 + riff_size);
}

}  // namespace

// A negative stream number is a bad parameter, and a read outside the
// stream has no data: Windows' answers.
const FileHandler kAviHandler = {open_avi, "AVI audio", true, AVIERR_NODATA};

}  // namespace standin
