// The Linux layer's AVI handler: the audio streams of a RIFF AVI file, their
// bytes found through the idx1 index or, without one, by walking the movi
// list.
#include "platform/handlers-posix.h"

namespace posix {
namespace {

constexpr int kMaxStreams = 100;  // chunk ids carry two decimal digits

// The stream number of a movi chunk id "NNxx", or -1.
int stream_of(uint32_t id) {
  int hi = int(id & 0xFF) - '0', lo = int(id >> 8 & 0xFF) - '0';
  return hi >= 0 && hi <= 9 && lo >= 0 && lo <= 9 ? hi * 10 + lo : -1;
}

struct AviParse {
  int fd;
  uint64_t file_size;
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
    HRESULT r = walk(fd, list.data + 4, list.data + list.size, [&](const Chunk& c) {
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

  // A chunk of the file's body. A header list that the end of the file cuts
  // short is not found, as under Windows, and an index cut short is not
  // used: the movi walk finds the chunks, as Windows does. A movi list cut
  // short holds less than its streams declare, refused before any output
  // exists.
  HRESULT top(const Chunk& c) {
    const bool whole = !c.runs_past(file_size);
    if (c.id == fourcc("LIST") && c.type == fourcc("hdrl") && !hdrl && whole) {
      hdrl = true;
      return walk(fd, c.data + 4, c.data + c.size, [&](const Chunk& s) {
        return s.id == fourcc("LIST") && s.type == fourcc("strl") ? strl(s) : S_OK;
      });
    }
    if (c.id == fourcc("LIST") && c.type == fourcc("movi") && movi.id == 0) {
      if (!whole) return AVIERR_BADFORMAT;
      movi = c;
    }
    if (c.id == fourcc("idx1") && idx1.id == 0 && whole) idx1 = c;
    return S_OK;
  }

  // The movi list's chunks in file order, descending into 'rec ' lists.
  HRESULT scan(uint64_t begin, uint64_t end, int depth) {
    return walk(fd, begin, end, [&](const Chunk& c) {
      if (c.id == fourcc("LIST")) {
        return c.type == fourcc("rec ") && depth < 4 ? scan(c.data + 4, c.data + c.size, depth + 1)
                                                     : S_OK;
      }
      if (Track* t = track_of(c.id)) t->add(c.data, c.size);
      return S_OK;
    });
  }

  // The audio streams' idx1 entries (id, flags, offset, size), in index
  // order. Each must lie inside the movi list; whether it names a chunk of
  // its stream, of its size, is checked as its bytes are read, where the
  // header comes along at no cost (one read per entry here would slow the
  // open of a long stream stored in small chunks several times over). The
  // offsets count from the 'movi' type field or from the start of the file,
  // as the first audio entry shows; entries of other streams and of 'rec '
  // lists are not needed.
  HRESULT index() {
    const uint64_t count = idx1.size / 16;
    uint64_t base = 0;
    bool based = false;
    std::vector<uint8_t> e(16 * 4096);
    for (uint64_t i = 0; i < count; i += 4096) {
      size_t n = size_t(std::min<uint64_t>(4096, count - i));
      HRESULT r = read_at(fd, e.data(), 16 * n, idx1.data + 16 * i);
      if (r != S_OK) return r;
      for (size_t k = 0; k < n; ++k) {
        const uint8_t* p = &e[16 * k];
        const uint32_t id = le32(p), size = le32(p + 12);
        const uint64_t offset = le32(p + 8);
        Track* t = track_of(id);
        if (!t) continue;
        r = based ? inside_movi(base + offset, size) : find_base(offset, id, size, &base);
        if (r == S_FALSE) return AVIERR_BADFORMAT;
        if (r != S_OK) return r;
        based = true;
        t->add(base + offset + 8, size, id);
      }
    }
    return S_OK;
  }

  // The base of the index's offsets that puts an entry on its chunk: the
  // 'movi' type field or the start of the file. S_FALSE when neither does.
  HRESULT find_base(uint64_t offset, uint32_t id, uint32_t size, uint64_t* base) {
    for (uint64_t b : {movi.data, uint64_t{0}}) {
      HRESULT r = holds_chunk(b + offset, id, size);
      if (r == S_OK) *base = b;
      if (r != S_FALSE) return r;
    }
    return S_FALSE;
  }

  // S_OK when a chunk of `size` bytes starting at `at` fits inside the movi
  // list, S_FALSE when not.
  HRESULT inside_movi(uint64_t at, uint32_t size) const {
    const uint64_t body = movi.data + 4, end = movi.data + movi.size;
    return at < body || at > end || 8 + uint64_t{size} > end - at ? S_FALSE : S_OK;
  }

  // S_OK when a chunk `id` of `size` bytes starts at `at` inside the movi
  // list, S_FALSE when not.
  HRESULT holds_chunk(uint64_t at, uint32_t id, uint32_t size) {
    if (inside_movi(at, size) != S_OK) return S_FALSE;
    uint8_t h[8];
    HRESULT r = read_at(fd, h, sizeof h, at);
    if (r != S_OK) return r;
    return le32(h) == id && le32(h + 4) == size ? S_OK : S_FALSE;
  }

  HRESULT run(uint64_t end) {
    HRESULT r = walk_riff(fd, end, file_size, [&](const Chunk& c) { return top(c); });
    if (r != S_OK) return r;
    // The lists not found are lists Windows could not read.
    if (!hdrl || movi.id == 0) return AVIERR_FILEREAD;
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
  AviParse avi{fd, file_size, tracks, {}};
  return avi.run(8 + uint64_t{le32(h + 4)});
}

}  // namespace

// A negative stream number is a bad parameter, and a read outside the
// stream has no data: Windows' answers.
const FileHandler kAviHandler = {open_avi, "AVI audio", true, AVIERR_NODATA};

}  // namespace posix
