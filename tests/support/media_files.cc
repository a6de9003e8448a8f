#include "tests/support/media_files.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

void put16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(Bytes& b, uint64_t v) {
  if (v > 0xFFFFFFFFu) throw std::runtime_error("media file: size does not fit RIFF's 32 bits");
  put16(b, static_cast<uint32_t>(v));
  put16(b, static_cast<uint32_t>(v >> 16));
}

void put64(Bytes& b, uint64_t v) {
  put32(b, v & 0xFFFFFFFFu);
  put32(b, v >> 32);
}

void put_id(Bytes& b, const char* id) { b.insert(b.end(), id, id + 4); }

uint32_t get16(const Bytes& b, size_t at) {
  return b.size() >= at + 2 ? b[at] | b[at + 1] << 8 : 0;
}

uint32_t get32(const Bytes& b, size_t at) {
  return b.size() >= at + 4 ? get16(b, at) | get16(b, at + 2) << 16 : 0;
}

uint64_t padded(uint64_t size) { return size + (size & 1); }

// A whole chunk (header, body, pad byte) appended to `b`.
void put_chunk(Bytes& b, const char* id, const Bytes& body) {
  put_id(b, id);
  put32(b, body.size());
  b.insert(b.end(), body.begin(), body.end());
  if (body.size() & 1) b.push_back(0);
}

// A LIST chunk of `type` around the already built `children`.
Bytes list(const char* type, const Bytes& children) {
  Bytes b;
  put_id(b, "LIST");
  put32(b, 4 + children.size());
  put_id(b, type);
  b.insert(b.end(), children.begin(), children.end());
  return b;
}

struct Output {
  FILE* file;
  explicit Output(const std::string& path) : file(fopen(path.c_str(), "wb")) {
    if (!file) throw std::runtime_error("media file: cannot create " + path);
  }
  ~Output() {
    if (file) fclose(file);
  }
  void write(const uint8_t* p, size_t n) {
    if (n && fwrite(p, 1, n, file) != n) throw std::runtime_error("media file: write failed");
  }
  void write(const Bytes& b) { write(b.data(), b.size()); }
  void close() {
    FILE* f = file;
    file = nullptr;
    if (fclose(f) != 0) throw std::runtime_error("media file: close failed");
  }
};

}  // namespace

Bytes pcm_format(uint16_t channels, uint32_t rate, uint16_t bits, size_t format_size) {
  uint32_t block = channels * ((bits + 7u) / 8u);
  Bytes b;
  put16(b, format_size == 40 ? 0xFFFE : 1);  // WAVE_FORMAT_EXTENSIBLE or WAVE_FORMAT_PCM
  put16(b, channels);
  put32(b, rate);
  put32(b, uint64_t{rate} * block);
  put16(b, block);
  put16(b, bits);
  put16(b, format_size > 18 ? static_cast<uint32_t>(format_size - 18) : 0);
  if (format_size == 40) {
    static const uint8_t kSubtypePcm[16] = {1,    0, 0, 0,    0, 0,    0x10, 0,
                                            0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    uint32_t mask = channels == 1 ? 0x4 : channels == 2 ? 0x3 : channels == 6 ? 0x3F : 0;
    put16(b, bits);  // wValidBitsPerSample
    put32(b, mask);
    b.insert(b.end(), kSubtypePcm, kSubtypePcm + 16);
  }
  b.resize(format_size, 0);
  return b;
}

Bytes pattern_bytes(size_t count, uint32_t seed) {
  Bytes b(count);
  uint32_t x = seed * 2654435761u + 0x9E3779B9u;
  for (size_t i = 0; i < count; i += 4) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    for (size_t k = 0; k < 4 && i + k < count; ++k) b[i + k] = static_cast<uint8_t>(x >> (8 * k));
  }
  return b;
}

Bytes wav_header(const Bytes& format, uint64_t data_size, WavLayout layout) {
  Bytes head;
  put_id(head, layout.rf64 ? "RF64" : "RIFF");
  put32(head, 0);  // patched below
  put_id(head, "WAVE");
  if (layout.rf64) put_chunk(head, "ds64", Bytes(28, 0));  // patched below
  put_chunk(head, "fmt ", format);
  if (layout.list_chunk_before_data) {
    Bytes info;
    put_chunk(info, "ISFT", Bytes{'t', 'o', 'n', 'e', 'w', 'e', 'l', 'l', 0});
    Bytes l = list("INFO", info);
    head.insert(head.end(), l.begin(), l.end());
  }
  if (layout.odd_chunk_before_data) put_chunk(head, "JUNK", Bytes{1, 2, 3});
  put_id(head, "data");
  put32(head, layout.rf64 ? 0xFFFFFFFFu : data_size);
  const uint64_t riff_size = head.size() - 8 + padded(data_size);
  Bytes size;
  put32(size, layout.rf64 ? 0xFFFFFFFFu : riff_size);
  std::memcpy(&head[4], size.data(), 4);
  if (layout.rf64) {
    const uint32_t block = get16(format, 12);
    Bytes ds64;
    put64(ds64, riff_size);
    put64(ds64, data_size);
    put64(ds64, block ? data_size / block : 0);  // the sample count
    std::memcpy(&head[20], ds64.data(), ds64.size());
  }
  return head;
}

void write_wav_file(const std::string& path, const Bytes& format, const Bytes& data,
                    WavLayout layout) {
  Output out(path);
  out.write(wav_header(format, data.size(), layout));
  out.write(data);
  if (data.size() & 1) out.write(Bytes{0});
  out.close();
}

void write_avi_file(const std::string& path, const std::vector<AviTrack>& tracks,
                    AviLayout layout) {
  if (tracks.size() > 100) throw std::runtime_error("media file: at most 100 AVI streams");
  // The movi chunks in file order: round r holds chunk r of every track that has one.
  struct Piece {
    size_t track;
    size_t offset;
    size_t size;
  };
  std::vector<Piece> pieces;
  size_t video_frames = 0;
  for (size_t round = 0;; ++round) {
    bool any = false;
    for (size_t t = 0; t < tracks.size(); ++t) {
      const AviTrack& track = tracks[t];
      if (track.chunk_size == 0) throw std::runtime_error("media file: chunk_size 0");
      size_t offset = round * track.chunk_size;
      if (offset >= track.data.size()) continue;
      pieces.push_back({t, offset, std::min(track.chunk_size, track.data.size() - offset)});
      any = true;
    }
    if (!any) break;
  }

  Bytes strls;
  for (const AviTrack& track : tracks) {
    size_t chunks = (track.data.size() + track.chunk_size - 1) / track.chunk_size;
    uint32_t block = get16(track.format, 12);
    Bytes strh;
    put_id(strh, track.video ? "vids" : "auds");
    put_id(strh, track.video ? "DIB " : "\0\0\0\0");
    put32(strh, 0);                                          // dwFlags
    put32(strh, 0);                                          // wPriority, wLanguage
    put32(strh, 0);                                          // dwInitialFrames
    put32(strh, track.video ? 1 : block);                    // dwScale
    put32(strh, track.video ? 25 : get32(track.format, 8));  // dwRate
    put32(strh, 0);                                          // dwStart
    put32(strh, track.video ? chunks : block ? track.data.size() / block : 0);  // dwLength
    put32(strh, track.chunk_size);         // dwSuggestedBufferSize
    put32(strh, 0xFFFFFFFFu);              // dwQuality
    put32(strh, track.video ? 0 : block);  // dwSampleSize
    strh.resize(strh.size() + 8, 0);       // rcFrame
    if (track.video && !video_frames) video_frames = chunks;
    Bytes strl;
    put_chunk(strl, "strh", strh);
    put_chunk(strl, "strf", track.format);
    Bytes l = list("strl", strl);
    strls.insert(strls.end(), l.begin(), l.end());
  }
  Bytes avih;
  put32(avih, 40000);                                   // dwMicroSecPerFrame
  put32(avih, 0);                                       // dwMaxBytesPerSec
  put32(avih, 0);                                       // dwPaddingGranularity
  put32(avih, (layout.with_index ? 0x10 : 0) | 0x100);  // AVIF_HASINDEX, AVIF_ISINTERLEAVED
  put32(avih, video_frames);
  put32(avih, 0);  // dwInitialFrames
  put32(avih, tracks.size());
  avih.resize(56, 0);
  Bytes hdrl_children;
  put_chunk(hdrl_children, "avih", avih);
  hdrl_children.insert(hdrl_children.end(), strls.begin(), strls.end());
  Bytes head;
  put_id(head, "RIFF");
  put32(head, 0);  // patched below
  put_id(head, "AVI ");
  Bytes hdrl = list("hdrl", hdrl_children);
  head.insert(head.end(), hdrl.begin(), hdrl.end());

  uint64_t movi_body = 4;
  for (const Piece& p : pieces) movi_body += 8 + padded(p.size);
  put_id(head, "LIST");
  put32(head, movi_body);
  size_t movi_type_at = head.size();
  put_id(head, "movi");

  Bytes idx;
  uint64_t at = movi_type_at + 4;
  for (const Piece& p : pieces) {
    char id[5];
    std::snprintf(id, sizeof id, "%02zu%s", p.track, tracks[p.track].video ? "dc" : "wb");
    put_id(idx, id);
    put32(idx, 0x10);  // AVIIF_KEYFRAME
    put32(idx, at - movi_type_at);
    put32(idx, p.size);
    at += 8 + padded(p.size);
  }
  uint64_t riff_size = at - 8 + (layout.with_index ? 8 + idx.size() : 0);
  Bytes size;
  put32(size, riff_size);
  std::memcpy(&head[4], size.data(), 4);

  Output out(path);
  out.write(head);
  for (size_t i = 0; i < pieces.size(); ++i) {
    const Piece& p = pieces[i];
    Bytes chunk_size;
    put32(chunk_size, p.size);
    out.write(&idx[16 * i], 4);  // the chunk id, as the index holds it
    out.write(chunk_size);
    out.write(&tracks[p.track].data[p.offset], p.size);
    if (p.size & 1) out.write(Bytes{0});
  }
  if (layout.with_index) {
    Bytes idx_head;
    put_id(idx_head, "idx1");
    put32(idx_head, idx.size());
    out.write(idx_head);
    out.write(idx);
  }
  out.close();
}
