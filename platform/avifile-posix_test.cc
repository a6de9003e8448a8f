// Tests of the Linux layer's AVI file layer, its share-mode emulation and the
// media file writer that feeds it.
#include <dlfcn.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/faults-posix.h"
#include "platform/platform.h"
#include "tests/support/capture.h"
#include "tests/support/media_files.h"

namespace {

// ---- Byte-level RIFF building, for files the writer would never make ----

void append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

Bytes u32(uint32_t v) {
  return Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

Bytes u64(uint64_t v) {
  Bytes b = u32(uint32_t(v));
  append(b, u32(uint32_t(v >> 32)));
  return b;
}

Bytes id(const char* s) { return Bytes(s, s + 4); }

// `b` with `value` written over its bytes from `at` on.
Bytes put_at(Bytes b, size_t at, const Bytes& value) {
  std::copy(value.begin(), value.end(), b.begin() + std::ptrdiff_t(at));
  return b;
}

// A chunk whose header claims `size`, holding `body` as given (no pad).
Bytes raw_chunk(const char* name, uint32_t size, const Bytes& body) {
  Bytes b = id(name);
  append(b, u32(size));
  append(b, body);
  return b;
}

Bytes chunk(const char* name, const Bytes& body) {
  Bytes b = raw_chunk(name, uint32_t(body.size()), body);
  if (body.size() & 1) b.push_back(0);
  return b;
}

Bytes list(const char* type, const Bytes& children) {
  Bytes body = id(type);
  append(body, children);
  return chunk("LIST", body);
}

Bytes riff(const char* form, const Bytes& children) {
  Bytes body = id(form);
  append(body, children);
  return chunk("RIFF", body);
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (const Bytes& p : parts) append(b, p);
  return b;
}

// An AVI stream header of 56 bytes.
Bytes strh(const char* type, uint32_t block, uint32_t length, size_t size = 56) {
  Bytes b = cat({id(type), u32(0), u32(0), u32(0), u32(0), u32(block), u32(block * 1000), u32(0),
                 u32(length), u32(0), u32(0xFFFFFFFFu), u32(block)});
  b.resize(size, 0);
  return b;
}

Bytes audio_strl(const Bytes& format = pcm_format(2, 8000, 16)) {
  return list("strl", cat({chunk("strh", strh("auds", 4, 2)), chunk("strf", format)}));
}

Bytes hdrl(const Bytes& strls) { return list("hdrl", cat({chunk("avih", Bytes(56, 0)), strls})); }

// A one-audio-stream AVI around the given parts.
Bytes avi(const Bytes& hdrl_part, const Bytes& movi_part, const Bytes& after = Bytes()) {
  return riff("AVI ", cat({hdrl_part, movi_part, after}));
}

Bytes eight_bytes() { return Bytes{1, 2, 3, 4, 5, 6, 7, 8}; }

Bytes good_movi() { return list("movi", chunk("00wb", eight_bytes())); }

Bytes idx1_entry(const char* ckid, uint32_t offset, uint32_t size) {
  return cat({id(ckid), u32(0x10), u32(offset), u32(size)});
}

void write_bytes(const std::string& path, const Bytes& b) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  if (!b.empty()) {
    ASSERT_EQ(fwrite(b.data(), 1, b.size(), f), b.size());
  }
  ASSERT_EQ(fclose(f), 0);
}

Bytes read_bytes(const std::string& path) {
  std::string s = read_file(path);
  return Bytes(s.begin(), s.end());
}

// Overwrites the 32-bit value `at` bytes after the first occurrence of `tag`.
void patch32(const std::string& path, const char* tag, size_t at, uint32_t value) {
  Bytes b = read_bytes(path);
  auto it = std::search(b.begin(), b.end(), tag, tag + 4);
  ASSERT_NE(it, b.end());
  Bytes v = u32(value);
  std::copy(v.begin(), v.end(), it + std::ptrdiff_t(at));
  write_bytes(path, b);
}

Bytes slice(const Bytes& b, size_t from, size_t n) {
  return Bytes(b.begin() + std::ptrdiff_t(from), b.begin() + std::ptrdiff_t(from + n));
}

class AviFileTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_platform(); }
  void TearDown() override {
    close_all();
    reset_platform();
  }

  HRESULT open(const std::string& path, UINT mode = OF_SHARE_DENY_WRITE) {
    if (file) AVIFileRelease(file);
    file = nullptr;
    return AVIFileOpenA(&file, path.c_str(), mode, nullptr);
  }

  // Opens `path` and its audio stream `n`; false (with a failure) otherwise.
  bool open_stream(const std::string& path, LONG n = 0) {
    EXPECT_EQ(open(path), S_OK) << path;
    if (!file) return false;
    EXPECT_EQ(AVIFileGetStream(file, &stream, streamtypeAUDIO, n), S_OK);
    return stream != nullptr;
  }

  // Releases stream and file, so that the file may be written again.
  void close_all() {
    if (stream) AVIStreamRelease(stream);
    if (file) AVIFileRelease(file);
    stream = nullptr;
    file = nullptr;
  }

  AVISTREAMINFOA info() {
    AVISTREAMINFOA i;
    std::memset(&i, 0xCC, sizeof i);
    EXPECT_EQ(AVIStreamInfoA(stream, &i, sizeof i), S_OK);
    return i;
  }

  Bytes format() {
    LONG size = 0;
    EXPECT_EQ(AVIStreamReadFormat(stream, 0, nullptr, &size), S_OK);
    Bytes b(size_t(std::max<LONG>(size, 0)));
    EXPECT_EQ(AVIStreamReadFormat(stream, 0, b.data(), &size), S_OK);
    return b;
  }

  // Every sample, in reads of at most `piece` samples.
  Bytes read_all(LONG piece) {
    AVISTREAMINFOA i = info();
    Bytes out;
    Bytes buf(size_t(piece) * i.dwSampleSize);
    for (DWORD pos = 0; pos < i.dwLength;) {
      LONG bytes = -1, samples = -1;
      HRESULT r =
          AVIStreamRead(stream, LONG(pos), piece, buf.data(), LONG(buf.size()), &bytes, &samples);
      EXPECT_EQ(r, S_OK);
      EXPECT_GT(samples, 0);
      if (r != S_OK || samples <= 0) break;
      EXPECT_EQ(size_t(bytes), size_t(samples) * i.dwSampleSize);
      out.insert(out.end(), buf.begin(), buf.begin() + bytes);
      pos += DWORD(samples);
    }
    return out;
  }

  TempDir dir;
  PAVIFILE file = nullptr;
  PAVISTREAM stream = nullptr;
};

// ---- Opening ----

struct OpenCase {
  const char* name;
  Bytes content;
  HRESULT expected;
  const char* extension = ".dat";  // no handler: chosen by the RIFF form type
};

std::vector<OpenCase> open_cases() {
  const Bytes fmt = chunk("fmt ", pcm_format(2, 8000, 16));
  const Bytes data = chunk("data", eight_bytes());
  Bytes zero_align = pcm_format(2, 8000, 16);
  zero_align[12] = zero_align[13] = 0;
  const Bytes movi = good_movi();
  const Bytes strl = audio_strl();
  const Bytes script{'A', 'V', 'I', 'S', 'o', 'u', 'r', 'c', 'e', '(', '"', 'a', '"', ')'};
  const Bytes wave = riff("WAVE", cat({fmt, data}));
  const Bytes avi_ok = avi(hdrl(strl), movi);
  const Bytes two_chunk_movi =
      list("movi", cat({chunk("00wb", Bytes{1, 2, 3, 4}), chunk("JUNK", Bytes(4, 0)),
                        chunk("00wb", Bytes{5, 6, 7, 8})}));
  WavLayout rf64_layout;
  rf64_layout.rf64 = true;
  // ds64 holds the RIFF size at 20 and the data size at 28.
  const Bytes rf64 = cat({wav_header(pcm_format(2, 8000, 16), 8, rf64_layout), eight_bytes()});
  return {
      {"empty", Bytes(), REGDB_E_CLASSNOTREG},
      {"script", script, REGDB_E_CLASSNOTREG},
      {"riff_header_only", id("RIFF"), REGDB_E_CLASSNOTREG},
      {"riff_other_form", riff("RMID", data), REGDB_E_CLASSNOTREG},
      {"rifx", cat({id("RIFX"), u32(4), id("WAVE")}), REGDB_E_CLASSNOTREG},
      {"wave_ok", riff("WAVE", cat({fmt, data})), S_OK},
      // Windows' reader looks for the data chunk after the fmt chunk only.
      {"wave_data_before_fmt", riff("WAVE", cat({data, fmt})), AVIERR_FILEREAD},
      {"wave_trailing_bytes", cat({riff("WAVE", cat({fmt, data})), Bytes{1, 2, 3}}), S_OK},
      {"wave_no_fmt", riff("WAVE", data), AVIERR_FILEREAD},
      {"wave_no_data", riff("WAVE", fmt), AVIERR_FILEREAD},
      {"wave_nothing", riff("WAVE", Bytes()), AVIERR_FILEREAD},
      {"fmt_14_bytes", riff("WAVE", cat({chunk("fmt ", pcm_format(2, 8000, 16, 14)), data})),
       AVIERR_BADFORMAT},
      {"fmt_huge", riff("WAVE", cat({chunk("fmt ", Bytes(70000, 1)), data})), AVIERR_BADFORMAT},
      {"block_align_0", riff("WAVE", cat({chunk("fmt ", zero_align), data})), AVIERR_BADFORMAT},
      {"data_overruns_file",
       cat({id("RIFF"), u32(4 + 24 + 12), id("WAVE"), fmt,
            raw_chunk("data", 1000, Bytes{1, 2, 3, 4})}),
       AVIERR_BADFORMAT},
      // Chunks are found whose header starts inside the RIFF size; they may
      // run past it, up to the end of the file.
      {"riff_overruns_file", cat({id("RIFF"), u32(1000), id("WAVE"), fmt, data}), S_OK},
      {"riff_size_below_form", cat({id("RIFF"), u32(2), id("WAVE"), fmt, data}), AVIERR_FILEREAD},
      {"riff_ends_inside_fmt", cat({id("RIFF"), u32(5), id("WAVE"), fmt, data}), AVIERR_FILEREAD},
      {"riff_ends_before_data",
       cat({id("RIFF"), u32(uint32_t(4 + fmt.size() + 12)), id("WAVE"), fmt, list("INFO", Bytes()),
            data}),
       AVIERR_FILEREAD},
      {"riff_size_ends_inside_data", cat({id("RIFF"), u32(4 + 24 + 10), id("WAVE"), fmt, data}),
       S_OK},
      // tonewell's own largest plain header, and the placeholder of
      // streaming writers.
      {"riff_size_ffffffff", cat({id("RIFF"), u32(0xFFFFFFFFu), id("WAVE"), fmt, data}), S_OK},
      {"fmt_cut_short", cat({id("RIFF"), u32(100), id("WAVE"), slice(fmt, 0, 20)}),
       AVIERR_FILEREAD},
      {"chunk_before_data_overruns_file",
       riff("WAVE", cat({fmt, raw_chunk("JUNK", 5000, Bytes(4, 0)), data})), AVIERR_FILEREAD},
      {"unread_list_not_examined",
       riff("WAVE", cat({fmt, list("INFO", raw_chunk("ISFT", 100, Bytes(4, 'x'))), data})), S_OK},
      {"list_without_type", riff("WAVE", cat({fmt, raw_chunk("LIST", 2, Bytes{0, 0}), data})),
       S_OK},
      {"size_ffffffff", riff("WAVE", cat({fmt, raw_chunk("data", 0xFFFFFFFFu, eight_bytes())})),
       AVIERR_BADFORMAT},
      {"avi_ok", avi(hdrl(strl), movi), S_OK},
      {"avi_no_audio", avi(hdrl(Bytes()), movi), S_OK},
      {"avi_video_without_strf",
       avi(hdrl(cat({list("strl", chunk("strh", strh("vids", 0, 1))), strl})), movi), S_OK},
      {"avi_strl_chunk_overruns",
       avi(hdrl(list("strl", cat({chunk("strh", strh("auds", 4, 2)),
                                  raw_chunk("strf", 100, pcm_format(2, 8000, 16))}))),
           movi),
       AVIERR_BADFORMAT},
      {"avi_no_hdrl", avi(Bytes(), movi), AVIERR_FILEREAD},
      {"avi_no_movi", avi(hdrl(strl), Bytes()), AVIERR_FILEREAD},
      {"avi_riff_beyond_file", put_at(avi_ok, 4, u32(uint32_t(avi_ok.size()))), S_OK},
      {"avi_riff_size_0", put_at(avi_ok, 4, u32(0)), AVIERR_FILEREAD},
      {"avi_hdrl_cut_short", slice(avi_ok, 0, 40), AVIERR_FILEREAD},
      // A movi list cut short holds less than its streams declare.
      {"avi_movi_cut_short", slice(avi_ok, 0, avi_ok.size() - 2), AVIERR_BADFORMAT},
      {"avi_no_strh", avi(hdrl(list("strl", chunk("strf", pcm_format(2, 8000, 16)))), movi),
       AVIERR_BADFORMAT},
      {"avi_strh_too_small",
       avi(hdrl(list("strl", cat({chunk("strh", strh("auds", 4, 2, 40)),
                                  chunk("strf", pcm_format(2, 8000, 16))}))),
           movi),
       AVIERR_BADFORMAT},
      {"avi_audio_without_strf", avi(hdrl(list("strl", chunk("strh", strh("auds", 4, 2)))), movi),
       AVIERR_BADFORMAT},
      {"avi_strf_too_small", avi(hdrl(audio_strl(Bytes(8, 1))), movi), AVIERR_BADFORMAT},
      {"avi_strf_block_align_0", avi(hdrl(audio_strl(zero_align)), movi), AVIERR_BADFORMAT},
      {"avi_movi_chunk_overruns",
       avi(hdrl(strl), list("movi", raw_chunk("00wb", 500, eight_bytes()))), AVIERR_BADFORMAT},
      {"avi_index_ok", avi(hdrl(strl), movi, chunk("idx1", idx1_entry("00wb", 4, 8))), S_OK},
      {"avi_index_outside_movi",
       avi(hdrl(strl), movi,
           chunk("idx1", cat({idx1_entry("00wb", 4, 8), idx1_entry("00wb", 4, 5000)}))),
       AVIERR_BADFORMAT},
      {"avi_index_far_outside",
       avi(hdrl(strl), movi,
           chunk("idx1", cat({idx1_entry("00wb", 4, 8), idx1_entry("00wb", 0xFFFFFFF0u, 8)}))),
       AVIERR_BADFORMAT},
      {"avi_index_matches_nothing", avi(hdrl(strl), movi, chunk("idx1", idx1_entry("00wb", 6, 8))),
       AVIERR_BADFORMAT},
      {"avi_index_entries_of_other_streams_unchecked",
       avi(hdrl(strl), two_chunk_movi,
           chunk("idx1", cat({idx1_entry("01wb", 999, 4), idx1_entry("00wb", 4, 4)}))),
       S_OK},
      // The extension's first three letters pick the handler, in any case.
      {"wave_as_WAVE", wave, S_OK, ".WAVE"},
      {"avi_as_Avi2", avi_ok, S_OK, ".Avi2"},
      {"avi_in_wav", avi_ok, AVIERR_BADFORMAT, ".wav"},
      {"other_riff_form_in_wav", riff("RMID", data), AVIERR_BADFORMAT, ".wav"},
      {"script_in_wav", script, AVIERR_FILEREAD, ".wav"},
      {"rifx_in_wav",
       cat({id("RIFX"), u32(uint32_t(wave.size() - 8)), slice(wave, 8, wave.size() - 8)}),
       AVIERR_FILEREAD, ".wav"},
      {"riff_id_only_in_wav", id("RIFF"), AVIERR_FILEREAD, ".wav"},
      {"riff_form_cut_in_wav", slice(wave, 0, 10), AVIERR_BADFORMAT, ".wav"},
      {"empty_in_wav", Bytes(), AVIERR_FILEREAD, ".wav"},
      {"wave_in_avi", wave, AVIERR_FILEREAD, ".avi"},
      {"script_in_avi", script, AVIERR_FILEREAD, ".avi"},
      {"empty_in_avi", Bytes(), AVIERR_FILEREAD, ".avi"},
      // Any other extension: the RIFF form type. We have no AU reader, so
      // .au has no handler of its own.
      {"wave_as_av", wave, S_OK, ".av"},
      {"script_as_au", script, REGDB_E_CLASSNOTREG, ".au"},
      {"avi_as_wav_dat", avi_ok, S_OK, ".wav.dat"},
      {"script_in_folder", script, REGDB_E_CLASSNOTREG, ".wav/in"},
      // RF64, in a .wav only.
      {"rf64", rf64, S_OK, ".wav"},
      {"rf64_riff_size_in_header", put_at(rf64, 4, u32(uint32_t(rf64.size() - 8))), S_OK, ".wav"},
      {"rf64_as_dat", rf64, REGDB_E_CLASSNOTREG},
      {"rf64_header_only", slice(rf64, 0, 12), AVIERR_BADFORMAT, ".wav"},
      {"rf64_no_ds64",
       cat({id("RF64"), u32(0xFFFFFFFFu), id("WAVE"), fmt,
            raw_chunk("data", 0xFFFFFFFFu, eight_bytes())}),
       AVIERR_BADFORMAT, ".wav"},
      {"rf64_ds64_too_small", put_at(rf64, 16, u32(24)), AVIERR_BADFORMAT, ".wav"},
      {"rf64_riff_beyond_file", put_at(rf64, 20, u64(rf64.size() - 7)), S_OK, ".wav"},
      {"rf64_riff_size_wraps", put_at(rf64, 20, u64(~0ull)), S_OK, ".wav"},
      {"rf64_data_beyond_file", put_at(rf64, 28, u64(9)), AVIERR_BADFORMAT, ".wav"},
      {"rf64_data_size_wraps", put_at(rf64, 28, u64(~0ull - 7)), AVIERR_BADFORMAT, ".wav"},
  };
}

TEST_F(AviFileTest, OpenResults) {
  for (const OpenCase& c : open_cases()) {
    SCOPED_TRACE(c.name);
    std::string path = dir.file(std::string(c.name) + c.extension);
    mkdir(path.substr(0, path.rfind('/')).c_str(), 0700);  // for a name inside a folder
    write_bytes(path, c.content);
    file = reinterpret_cast<PAVIFILE>(this);  // must be cleared on failure
    HRESULT r = AVIFileOpenA(&file, path.c_str(), OF_SHARE_DENY_WRITE, nullptr);
    EXPECT_EQ(r, c.expected) << std::hex << r;
    EXPECT_EQ(file != nullptr, r == S_OK);
    if (file) AVIFileRelease(file);
    file = nullptr;
  }
}

// Every audio index entry must name its chunk, not only the first: the
// header before each piece is checked as the piece is read, and a wrong one
// fails the read rather than deliver other bytes.
TEST_F(AviFileTest, IndexEntriesAreCheckedAsTheyAreRead) {
  const Bytes two_chunk_movi =
      list("movi", cat({chunk("00wb", Bytes{1, 2, 3, 4}), chunk("JUNK", Bytes(4, 0)),
                        chunk("00wb", Bytes{5, 6, 7, 8})}));
  const Bytes one_chunk_movi = list("movi", chunk("00wb", eight_bytes()));
  const struct {
    const char* name;
    Bytes movi;
    Bytes index;
    HRESULT read;
  } cases[] = {
      {"both on their chunks", two_chunk_movi,
       cat({idx1_entry("00wb", 4, 4), idx1_entry("00wb", 28, 4)}), S_OK},
      {"second on the JUNK chunk", two_chunk_movi,
       cat({idx1_entry("00wb", 4, 4), idx1_entry("00wb", 16, 4)}), AVIERR_FILEREAD},
      {"second of another size", two_chunk_movi,
       cat({idx1_entry("00wb", 4, 4), idx1_entry("00wb", 28, 2)}), AVIERR_FILEREAD},
      {"second inside the first", one_chunk_movi,
       cat({idx1_entry("00wb", 4, 8), idx1_entry("00wb", 8, 4)}), AVIERR_FILEREAD},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file("index.avi");
    uint32_t blocks = 0;  // 8-bit mono: as many as the entries' bytes
    for (size_t at = 12; at < c.index.size(); at += 16) blocks += c.index[at];
    const Bytes strl =
        list("strl",
             cat({chunk("strh", strh("auds", 1, blocks)), chunk("strf", pcm_format(1, 8000, 8))}));
    write_bytes(path, avi(hdrl(strl), c.movi, chunk("idx1", c.index)));
    ASSERT_EQ(open(path), S_OK);
    PAVISTREAM stream = nullptr;
    ASSERT_EQ(AVIFileGetStream(file, &stream, streamtypeAUDIO, 0), S_OK);
    uint8_t got[12] = {};
    LONG bytes = -1, samples = -1;
    EXPECT_EQ(AVIStreamRead(stream, 0, LONG(blocks), got, sizeof got, &bytes, &samples), c.read);
    if (c.read == S_OK) {
      EXPECT_EQ(Bytes(got, got + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    } else {
      EXPECT_EQ(bytes, 0);
    }
    AVIStreamRelease(stream);
    AVIFileRelease(file);
    file = nullptr;
  }
}

TEST_F(AviFileTest, OpenFailsForMissingFileAndDirectory) {
  for (const std::string& path : {dir.file("missing.avs"), dir.path}) {
    file = reinterpret_cast<PAVIFILE>(this);  // must be cleared
    EXPECT_EQ(AVIFileOpenA(&file, path.c_str(), OF_SHARE_DENY_WRITE, nullptr), AVIERR_FILEOPEN);
    EXPECT_EQ(file, nullptr);
  }
}

TEST_F(AviFileTest, OpenFailsWithoutPermission) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  std::string path = dir.file("locked.wav");
  write_wav_file(path, pcm_format(1, 8000, 8), Bytes(10, 1));
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  EXPECT_EQ(open(path), AVIERR_FILEOPEN);
}

TEST_F(AviFileTest, TruncatedWaveIsBadFormat) {
  std::string path = dir.file("cut.wav");
  write_wav_file(path, pcm_format(2, 8000, 16), pattern_bytes(400, 1));
  ASSERT_EQ(truncate(path.c_str(), 300), 0);
  EXPECT_EQ(open(path), AVIERR_BADFORMAT);
}

// ---- WAVE handler ----

struct WaveCase {
  uint16_t bits;
  uint16_t channels;
  size_t format_size;
};

TEST_F(AviFileTest, WaveFormatsReportFactsAndExactBytes) {
  for (uint16_t bits : {8, 16, 24, 32}) {
    for (uint16_t channels : {1, 2, 6}) {
      // 40: WAVE_FORMAT_EXTENSIBLE, reported whole.
      for (size_t format_size : {16, 18, 40}) {
        for (bool rf64 : {false, true}) {
          WavLayout layout;
          layout.rf64 = rf64;
          SCOPED_TRACE(testing::Message()
                       << bits << " bits, " << channels << " channels, " << format_size
                       << "-byte format" << (rf64 ? ", RF64" : ""));
          uint32_t block = channels * bits / 8u;
          Bytes fmt = pcm_format(channels, 44100, bits, format_size);
          Bytes data = pattern_bytes(block * 1000, bits + channels);
          std::string path = dir.file("f.wav");
          write_wav_file(path, fmt, data, layout);
          ASSERT_TRUE(open_stream(path));
          AVISTREAMINFOA i = info();
          EXPECT_EQ(i.fccType, streamtypeAUDIO);
          EXPECT_EQ(i.dwSampleSize, block);
          EXPECT_EQ(i.dwLength, 1000u);
          EXPECT_EQ(i.dwScale, block);
          EXPECT_EQ(i.dwRate, 44100u * block);
          EXPECT_EQ(format(), fmt);
          EXPECT_EQ(read_all(333), data);
          close_all();
        }
      }
    }
  }
}

TEST_F(AviFileTest, WaveChunksBeforeDataAndPartialBlock) {
  for (int layout = 0; layout < 4; ++layout) {
    SCOPED_TRACE(layout);
    WavLayout l;
    l.list_chunk_before_data = layout & 1;
    l.odd_chunk_before_data = layout & 2;
    Bytes data = pattern_bytes(6 * 500 + 5, uint32_t(layout));  // a partial last block, odd size
    std::string path = dir.file("l.wav");
    write_wav_file(path, pcm_format(2, 22050, 24), data, l);
    ASSERT_TRUE(open_stream(path));
    EXPECT_EQ(info().dwLength, 500u);
    EXPECT_EQ(read_all(64), slice(data, 0, 3000));
    close_all();
  }
}

// Files whose writers were careless, read as Windows reads them: the whole
// data chunk, wherever the RIFF size ends.
TEST_F(AviFileTest, WaveReadAsWindowsReadsIt) {
  const Bytes fmt = chunk("fmt ", pcm_format(2, 8000, 16));
  const Bytes data = pattern_bytes(4 * 250, 8);
  const Bytes body = chunk("data", data);
  const uint32_t size = uint32_t(4 + fmt.size() + body.size());
  const Bytes note = cat({id("note"), u32(5), Bytes{1, 2, 3, 4, 5}});  // no pad byte
  struct {
    const char* name;
    Bytes content;
  } const cases[] = {
      {"riff_size_short", cat({id("RIFF"), u32(size - 999), id("WAVE"), fmt, body})},
      {"riff_size_beyond_file", cat({id("RIFF"), u32(size + 999), id("WAVE"), fmt, body})},
      {"riff_size_ffffffff", cat({id("RIFF"), u32(0xFFFFFFFFu), id("WAVE"), fmt, body})},
      {"odd_chunk_without_pad", riff("WAVE", cat({fmt, note, body}))},
      {"odd_chunk_with_pad", riff("WAVE", cat({fmt, chunk("note", Bytes(5, 1)), body}))},
      {"second_data_ignored", riff("WAVE", cat({fmt, body, chunk("data", Bytes(40, 9))}))},
      {"bytes_after_riff", cat({riff("WAVE", cat({fmt, body})), Bytes(7, 0xFF)})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir.file("r.wav");
    write_bytes(path, c.content);
    ASSERT_TRUE(open_stream(path));
    EXPECT_EQ(info().dwLength, 250u);
    EXPECT_EQ(read_all(100), data);
    close_all();
  }
}

// Sparse RF64 files of 4 GiB + 4 KiB of data, marked at 2 GiB, across 4 GiB
// and in their last bytes: every mark a position can reach reads exactly.
TEST_F(AviFileTest, Rf64PastFourGiB) {
  const uint64_t size = (uint64_t{1} << 32) + 4096;
  const uint64_t marks[] = {0x7FFFFFF0u, 0xFFFFFFF8u, size - 16};
  struct {
    uint16_t channels, bits;
    DWORD length;
  } const cases[] = {{2, 16, DWORD(size / 4)}, {1, 8, 0xFFFFFFFFu}};  // more blocks than a DWORD
  WavLayout layout;
  layout.rf64 = true;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bits);
    const Bytes head = wav_header(pcm_format(c.channels, 48000, c.bits), size, layout);
    const uint32_t block = c.channels * c.bits / 8u;
    const std::string path = dir.file("big.wav");
    write_bytes(path, head);
    ASSERT_EQ(truncate(path.c_str(), off_t(head.size() + size)), 0);
    FILE* f = fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    for (uint64_t at : marks) {
      ASSERT_EQ(fseeko(f, off_t(head.size() + at), SEEK_SET), 0);
      ASSERT_EQ(fwrite(pattern_bytes(16, uint32_t(at)).data(), 1, 16, f), 16u);
    }
    ASSERT_EQ(fclose(f), 0);

    ASSERT_TRUE(open_stream(path));
    EXPECT_EQ(info().dwLength, c.length);
    Bytes buf(4096);
    for (uint64_t at : marks) {
      if (at / block > 0x7FFFFFFF) continue;  // beyond a LONG position
      SCOPED_TRACE(at);
      LONG bytes = -1, samples = -1;
      ASSERT_EQ(AVIStreamRead(stream, LONG(at / block), 4096, buf.data(), 4096, &bytes, &samples),
                S_OK);
      EXPECT_EQ(uint64_t(samples), std::min<uint64_t>(4096 / block, (size - at) / block));
      EXPECT_EQ(slice(buf, 0, 16), pattern_bytes(16, uint32_t(at)));
    }
    close_all();
  }
}

TEST_F(AviFileTest, ReadFormatIntoSmallBuffer) {
  Bytes fmt = pcm_format(2, 8000, 16, 18);
  std::string path = dir.file("s.wav");
  write_wav_file(path, fmt, Bytes(16, 0));
  ASSERT_TRUE(open_stream(path));
  Bytes buf(18, 0xEE);
  LONG size = 10;
  EXPECT_EQ(AVIStreamReadFormat(stream, 0, buf.data(), &size), AVIERR_BUFFERTOOSMALL);
  EXPECT_EQ(size, 18);
  EXPECT_EQ(slice(buf, 0, 10), slice(fmt, 0, 10));
  EXPECT_EQ(slice(buf, 10, 8), Bytes(8, 0xEE));
}

TEST_F(AviFileTest, StreamSelectionInWave) {
  std::string path = dir.file("w.wav");
  write_wav_file(path, pcm_format(1, 8000, 8), Bytes(10, 1));
  ASSERT_EQ(open(path), S_OK);
  for (LONG n : {1, 2, -1, 0x7FFFFFFF}) {
    stream = reinterpret_cast<PAVISTREAM>(this);
    EXPECT_EQ(AVIFileGetStream(file, &stream, streamtypeAUDIO, n), AVIERR_NODATA) << n;
    EXPECT_EQ(stream, nullptr);
  }
  EXPECT_EQ(AVIFileGetStream(file, &stream, 0x73646976u /* vids */, 0), AVIERR_NODATA);
  EXPECT_EQ(stream, nullptr);
}

TEST_F(AviFileTest, InfoNeedsTheWholeRecord) {
  std::string path = dir.file("i.wav");
  write_wav_file(path, pcm_format(1, 8000, 8), Bytes(10, 1));
  ASSERT_TRUE(open_stream(path));
  AVISTREAMINFOA i;
  EXPECT_EQ(AVIStreamInfoA(stream, &i, 139), AVIERR_BADSIZE);
  EXPECT_EQ(AVIStreamInfoA(stream, &i, 140), S_OK);
}

// ---- AVI handler ----

struct AviFixture {
  std::vector<AviTrack> tracks;

  AviFixture() {
    AviTrack video;
    video.video = true;
    video.format = pattern_bytes(40, 99);
    video.data = pattern_bytes(5000, 98);
    video.chunk_size = 1000;
    AviTrack a;
    a.format = pcm_format(2, 48000, 16, 18);
    a.data = pattern_bytes(4 * 10000 + 2, 1);  // a partial block at the end
    a.chunk_size = 999;                        // blocks split across chunks, odd sizes padded
    AviTrack b;
    b.format = pcm_format(6, 8000, 24, 40);
    b.data = pattern_bytes(18 * 333, 2);
    b.chunk_size = 777;
    tracks = {video, a, b};
  }
};

class AviLayoutTest : public AviFileTest, public ::testing::WithParamInterface<bool> {};

TEST_P(AviLayoutTest, AudioStreamsSkipVideo) {
  AviFixture fx;
  AviLayout layout;
  layout.with_index = GetParam();
  std::string path = dir.file("v.avi");
  write_avi_file(path, fx.tracks, layout);
  for (LONG n : {0, 1}) {
    SCOPED_TRACE(n);
    const AviTrack& t = fx.tracks[size_t(n) + 1];
    ASSERT_TRUE(open_stream(path, n));
    AVISTREAMINFOA i = info();
    uint32_t block = t.format[12];
    EXPECT_EQ(i.fccType, streamtypeAUDIO);
    EXPECT_EQ(i.dwSampleSize, block);
    EXPECT_EQ(i.dwLength, t.data.size() / block);
    EXPECT_EQ(i.dwScale, block);
    EXPECT_EQ(i.dwRate, uint32_t(t.format[8] | t.format[9] << 8 | t.format[10] << 16));
    EXPECT_EQ(format(), t.format);
    Bytes whole = slice(t.data, 0, i.dwLength * block);
    EXPECT_EQ(read_all(LONG(i.dwLength)), whole);
    EXPECT_EQ(read_all(7), whole);
    AVIStreamRelease(stream);
    stream = nullptr;
  }
  stream = nullptr;
  EXPECT_EQ(AVIFileGetStream(file, &stream, streamtypeAUDIO, 2), AVIERR_NODATA);
  EXPECT_EQ(stream, nullptr);
  PAVISTREAM untouched = reinterpret_cast<PAVISTREAM>(this);
  stream = untouched;
  EXPECT_EQ(AVIFileGetStream(file, &stream, streamtypeAUDIO, -1), AVIERR_BADPARAM);
  EXPECT_EQ(stream, untouched);
  stream = nullptr;
}

TEST_P(AviLayoutTest, ReadsLandExactBytesAcrossChunkBoundaries) {
  AviTrack a;
  a.format = pcm_format(2, 8000, 16);
  a.data = pattern_bytes(4 * 3000, 5);
  a.chunk_size = 998;  // boundaries fall inside blocks and between them
  AviLayout layout;
  layout.with_index = GetParam();
  std::string path = dir.file("b.avi");
  write_avi_file(path, {a, a}, layout);
  ASSERT_TRUE(open_stream(path, 1));
  Bytes buf(4 * 3000);
  for (LONG start = 0; start < 3000; start += 7) {
    for (LONG count : {1, 2, 249, 250, 251, 1000}) {
      LONG n = std::min<LONG>(count, 3000 - start), bytes = -1, samples = -1;
      ASSERT_EQ(AVIStreamRead(stream, start, count, buf.data(), LONG(buf.size()), &bytes, &samples),
                S_OK);
      ASSERT_EQ(samples, n);
      ASSERT_EQ(bytes, 4 * n);
      ASSERT_EQ(slice(buf, 0, size_t(bytes)), slice(a.data, size_t(4 * start), size_t(bytes)))
          << start << " " << count;
    }
  }
}

TEST_P(AviLayoutTest, ManySmallChunks) {
  AviTrack a;
  a.format = pcm_format(2, 48000, 16);
  a.data = pattern_bytes(8 << 20, 7);
  a.chunk_size = 512;
  AviLayout layout;
  layout.with_index = GetParam();
  std::string path = dir.file("m.avi");
  write_avi_file(path, {a}, layout);
  ASSERT_TRUE(open_stream(path));
  EXPECT_EQ(info().dwLength, uint32_t(2 << 20));
  EXPECT_TRUE(read_all(1 << 18) == a.data);
}

INSTANTIATE_TEST_SUITE_P(Index, AviLayoutTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "WithIndex" : "WithoutIndex";
                         });

TEST_F(AviFileTest, StreamHeaderLengthIsReportedAsStored) {
  AviTrack a;
  a.format = pcm_format(1, 8000, 16);
  a.data = pattern_bytes(2 * 100, 3);
  std::string path = dir.file("h.avi");
  write_avi_file(path, {a});
  const size_t length_at = 8 + 32;  // dwLength within strh
  patch32(path, "strh", length_at, 150);
  ASSERT_TRUE(open_stream(path));
  EXPECT_EQ(info().dwLength, 150u);
  // The stored blocks read; a read that reaches a declared but missing block
  // fails whole, so the stream cannot pass for a complete shorter one.
  Bytes buf(2 * 150, 0xEE);
  LONG bytes = 77, samples = 77;
  EXPECT_EQ(AVIStreamRead(stream, 0, 100, buf.data(), 200, &bytes, &samples), S_OK);
  EXPECT_EQ(slice(buf, 0, 200), a.data);
  for (LONG start : {0, 99, 100, 149}) {
    SCOPED_TRACE(start);
    EXPECT_EQ(
        AVIStreamRead(stream, start, 150 - start, buf.data(), LONG(buf.size()), &bytes, &samples),
        AVIERR_FILEREAD);
    EXPECT_EQ(bytes, 0);
    EXPECT_EQ(samples, 0);
  }
  close_all();

  patch32(path, "strh", length_at, 40);  // less than the data: as stored, like Windows
  ASSERT_TRUE(open_stream(path));
  EXPECT_EQ(info().dwLength, 40u);
  EXPECT_EQ(read_all(1000), slice(a.data, 0, 80));
}

TEST_F(AviFileTest, AviWithRelativeAndAbsoluteIndexOffsets) {
  Bytes h = hdrl(audio_strl());
  Bytes movi = list("movi", cat({chunk("00wb", Bytes{1, 2, 3, 4}), chunk("JUNK", Bytes(3, 0)),
                                 chunk("00wb", Bytes{5, 6, 7, 8})}));
  const uint32_t movi_at = uint32_t(12 + h.size() + 8);  // the 'movi' type field
  for (uint32_t base : {0u, movi_at}) {
    SCOPED_TRACE(base);
    Bytes idx = cat({idx1_entry("00wb", base + 4, 4), idx1_entry("00wb", base + 28, 4)});
    std::string path = dir.file("x.avi");
    write_bytes(path, avi(h, movi, chunk("idx1", idx)));
    ASSERT_TRUE(open_stream(path));
    EXPECT_EQ(read_all(2), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    close_all();
  }
}

// Chunks in 'rec ' lists, found through an index that lists the lists
// before their chunks, or only the chunks, with offsets of either base; and
// by the movi walk where the index is out of reach.
TEST_F(AviFileTest, RecListsReadThroughTheIndex) {
  const Bytes h = hdrl(audio_strl());
  const Bytes movi =
      list("movi",
           cat({list("rec ", cat({chunk("00wb", Bytes{1, 2, 3, 4}), chunk("01wb", Bytes{9, 9})})),
                list("rec ", chunk("00wb", Bytes{5, 6, 7, 8}))}));
  const uint32_t movi_at = uint32_t(12 + h.size() + 8);  // the 'movi' type field
  for (uint32_t base : {0u, movi_at}) {
    for (bool list_entries : {true, false}) {
      SCOPED_TRACE(testing::Message()
                   << base << (list_entries ? " with" : " without") << " rec entries");
      Bytes idx = list_entries ? idx1_entry("rec ", base + 4, 26) : Bytes();
      append(idx, cat({idx1_entry("00wb", base + 16, 4), idx1_entry("01wb", base + 28, 2)}));
      if (list_entries) append(idx, idx1_entry("rec ", base + 38, 16));
      append(idx, idx1_entry("00wb", base + 50, 4));
      std::string path = dir.file("rec.avi");
      write_bytes(path, avi(h, movi, chunk("idx1", idx)));
      ASSERT_TRUE(open_stream(path));
      EXPECT_EQ(read_all(2), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
      close_all();
    }
  }
  // An index outside the RIFF size, or cut short by the end of the file, is
  // not used: the movi walk finds the chunks.
  Bytes indexed = avi(h, movi, chunk("idx1", idx1_entry("00wb", 6, 4)));
  const uint32_t before_index = uint32_t(indexed.size() - 8 - 16 - 8);
  for (const Bytes& content :
       {put_at(indexed, 4, u32(before_index)), slice(indexed, 0, indexed.size() - 4)}) {
    std::string path = dir.file("rec.avi");
    write_bytes(path, content);
    ASSERT_TRUE(open_stream(path));
    EXPECT_EQ(read_all(2), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    close_all();
  }
}

TEST_F(AviFileTest, PiecesReadInIndexOrderAcrossPadBytes) {
  // 8-bit mono: odd chunks carry a pad byte, and the index lists the chunks
  // out of file order; the stream follows the index.
  Bytes h = hdrl(list(
      "strl", cat({chunk("strh", strh("auds", 1, 6)), chunk("strf", pcm_format(1, 8000, 8))})));
  Bytes movi = list("movi", cat({chunk("00wb", Bytes{1, 2, 3}), chunk("00wb", Bytes{4, 5}),
                                 chunk("00wb", Bytes{6})}));
  Bytes idx = cat({idx1_entry("00wb", 26, 1), idx1_entry("00wb", 4, 3), idx1_entry("00wb", 16, 2)});
  std::string path = dir.file("o.avi");
  write_bytes(path, avi(h, movi, chunk("idx1", idx)));
  ASSERT_TRUE(open_stream(path));
  EXPECT_EQ(read_all(6), (Bytes{6, 1, 2, 3, 4, 5}));
  EXPECT_EQ(read_all(4), (Bytes{6, 1, 2, 3, 4, 5}));
  close_all();
  write_bytes(path, avi(h, movi));
  ASSERT_TRUE(open_stream(path));
  EXPECT_EQ(read_all(6), (Bytes{1, 2, 3, 4, 5, 6}));
}

TEST_F(AviFileTest, AviMoviWalkEntersRecLists) {
  Bytes movi = list("movi", cat({list("rec ", chunk("00wb", Bytes{1, 2, 3, 4})),
                                 chunk("00wb", Bytes{5, 6, 7, 8}), chunk("01wb", Bytes{9, 9})}));
  std::string path = dir.file("r.avi");
  write_bytes(path, avi(hdrl(audio_strl()), movi));
  ASSERT_TRUE(open_stream(path));
  EXPECT_EQ(read_all(1), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

// ---- AVIStreamRead edge cases ----

struct Outcome {
  HRESULT result;
  LONG bytes;
  LONG samples;
};

struct ReadCase {
  const char* name;
  LONG start;
  LONG count;
  LONG buffer_size;  // -1: null buffer
  Outcome wave;
  Outcome avi;
};

// A stream of 10 blocks of 4 bytes.
const ReadCase kReadCases[] = {
    {"whole", 0, 10, 40, {S_OK, 40, 10}, {S_OK, 40, 10}},
    {"middle", 3, 4, 64, {S_OK, 16, 4}, {S_OK, 16, 4}},
    {"runs_past_end", 8, 5, 64, {S_OK, 8, 2}, {S_OK, 8, 2}},
    {"start_at_length", 10, 1, 64, {S_OK, 0, 0}, {S_OK, 0, 0}},
    {"start_past_length", 11, 1, 64, {S_OK, 0, 0}, {AVIERR_NODATA, 0, 0}},
    {"start_negative", -1, 1, 64, {S_OK, 0, 0}, {AVIERR_NODATA, 0, 0}},
    {"null_buffer", 2, 5, -1, {S_OK, 20, 5}, {S_OK, 20, 5}},
    {"null_buffer_past_end", 8, 100, -1, {S_OK, 8, 2}, {S_OK, 8, 2}},
    {"buffer_smaller_than_asked", 0, 10, 13, {S_OK, 12, 3}, {S_OK, 12, 3}},
    {"buffer_below_one_block",
     0,
     10,
     3,
     {AVIERR_BUFFERTOOSMALL, 0, 0},
     {AVIERR_BUFFERTOOSMALL, 0, 0}},
    {"buffer_empty", 0, 1, 0, {AVIERR_BUFFERTOOSMALL, 0, 0}, {AVIERR_BUFFERTOOSMALL, 0, 0}},
    {"count_zero", 0, 0, 64, {S_OK, 0, 0}, {S_OK, 0, 0}},
    {"count_negative", 0, -1, 64, {S_OK, 0, 0}, {S_OK, 0, 0}},
};

TEST_F(AviFileTest, ReadEdgeCases) {
  const Bytes data = pattern_bytes(40, 11);
  AviTrack t;
  t.format = pcm_format(2, 8000, 16);
  t.data = data;
  t.chunk_size = 6;
  write_wav_file(dir.file("e.wav"), t.format, data);
  write_avi_file(dir.file("e.avi"), {t});
  for (bool is_avi : {false, true}) {
    ASSERT_TRUE(open_stream(dir.file(is_avi ? "e.avi" : "e.wav")));
    for (const ReadCase& c : kReadCases) {
      SCOPED_TRACE(testing::Message() << (is_avi ? "avi " : "wave ") << c.name);
      const Outcome& want = is_avi ? c.avi : c.wave;
      Bytes buf(64, 0xEE);
      LONG bytes = 77, samples = 77;
      HRESULT r = AVIStreamRead(stream, c.start, c.count, c.buffer_size < 0 ? nullptr : buf.data(),
                                c.buffer_size < 0 ? 0 : c.buffer_size, &bytes, &samples);
      EXPECT_EQ(r, want.result) << std::hex << r;
      EXPECT_EQ(bytes, want.bytes);
      EXPECT_EQ(samples, want.samples);
      size_t got = c.buffer_size < 0 ? 0 : size_t(want.bytes);
      if (got) {
        EXPECT_EQ(slice(buf, 0, got), slice(data, size_t(4 * c.start), got));
      }
      EXPECT_EQ(slice(buf, got, 64 - got), Bytes(64 - got, 0xEE));
      // Either output may be left out.
      EXPECT_EQ(AVIStreamRead(stream, c.start, c.count, c.buffer_size < 0 ? nullptr : buf.data(),
                              c.buffer_size < 0 ? 0 : c.buffer_size, nullptr, nullptr),
                want.result);
    }
    AVIStreamRelease(stream);
    stream = nullptr;
  }
}

TEST_F(AviFileTest, FileThatShrankWhileOpenFailsToRead) {
  AviTrack t;
  t.format = pcm_format(2, 8000, 16);
  t.data = pattern_bytes(4 * 4096, 4);
  write_wav_file(dir.file("s.wav"), t.format, t.data);
  write_avi_file(dir.file("s.avi"), {t});
  for (const char* name : {"s.wav", "s.avi"}) {
    SCOPED_TRACE(name);
    std::string path = dir.file(name);
    ASSERT_TRUE(open_stream(path));
    ASSERT_EQ(truncate(path.c_str(), 4096), 0);
    Bytes buf(t.data.size());
    LONG bytes = 77, samples = 77;
    EXPECT_EQ(AVIStreamRead(stream, 0, 4096, buf.data(), LONG(buf.size()), &bytes, &samples),
              AVIERR_FILEREAD);
    EXPECT_EQ(bytes, 0);
    EXPECT_EQ(samples, 0);
    AVIStreamRelease(stream);
    stream = nullptr;
  }
}

// ---- Fault hooks and the call log ----

class FaultTest : public AviFileTest {
 protected:
  void SetUp() override {
    AviFileTest::SetUp();
    path = dir.file("f.wav");
    fmt = pcm_format(2, 8000, 16);
    data = pattern_bytes(40, 21);
    write_wav_file(path, fmt, data);
  }
  std::string path;
  Bytes fmt, data;
};

TEST_F(FaultTest, OpenAndStreamResults) {
  platform_faults.open_result = AVIERR_MEMORY;
  file = reinterpret_cast<PAVIFILE>(this);  // must be cleared
  EXPECT_EQ(AVIFileOpenA(&file, path.c_str(), OF_SHARE_DENY_WRITE, nullptr), AVIERR_MEMORY);
  EXPECT_EQ(file, nullptr);
  platform_faults.open_result = 0;
  ASSERT_EQ(open(path), S_OK);
  platform_faults.get_stream_result = AVIERR_MEMORY;
  stream = reinterpret_cast<PAVISTREAM>(this);
  EXPECT_EQ(AVIFileGetStream(file, &stream, streamtypeAUDIO, 0), AVIERR_MEMORY);
  EXPECT_EQ(stream, nullptr);
}

TEST_F(FaultTest, InfoAndFormatResults) {
  ASSERT_TRUE(open_stream(path));
  AVISTREAMINFOA i;
  platform_faults.info_result = AVIERR_BADPARAM;
  EXPECT_EQ(AVIStreamInfoA(stream, &i, sizeof i), AVIERR_BADPARAM);
  platform_faults.info_result = 0;
  platform_faults.format_size_result = AVIERR_NODATA;
  LONG size = 0;
  EXPECT_EQ(AVIStreamReadFormat(stream, 0, nullptr, &size), AVIERR_NODATA);
  platform_faults.format_size_result = 0;
  EXPECT_EQ(AVIStreamReadFormat(stream, 0, nullptr, &size), S_OK);
  EXPECT_EQ(size, 16);
  platform_faults.format_read_result = AVIERR_FILEREAD;
  Bytes buf(18);
  EXPECT_EQ(AVIStreamReadFormat(stream, 0, buf.data(), &size), AVIERR_FILEREAD);
}

TEST_F(FaultTest, FormatSizeOverride) {
  ASSERT_TRUE(open_stream(path));
  platform_faults.format_size = 20;
  LONG size = 0;
  EXPECT_EQ(AVIStreamReadFormat(stream, 0, nullptr, &size), S_OK);
  EXPECT_EQ(size, 20);
  Bytes buf(20, 0xEE);
  EXPECT_EQ(AVIStreamReadFormat(stream, 0, buf.data(), &size), S_OK);
  EXPECT_EQ(slice(buf, 0, 16), fmt);
  EXPECT_EQ(slice(buf, 16, 4), Bytes(4, 0xEE));
  platform_faults.format_size = 14;
  buf.assign(20, 0xEE);
  size = 14;
  EXPECT_EQ(AVIStreamReadFormat(stream, 0, buf.data(), &size), S_OK);
  EXPECT_EQ(slice(buf, 0, 14), slice(fmt, 0, 14));
  EXPECT_EQ(slice(buf, 14, 6), Bytes(6, 0xEE));
  platform_faults.format_size = -2;  // any value but -1 is reported, negative ones too
  EXPECT_EQ(AVIStreamReadFormat(stream, 0, nullptr, &size), S_OK);
  EXPECT_EQ(size, -2);
}

TEST_F(FaultTest, OverrideFactsChangesInfoOnly) {
  ASSERT_TRUE(open_stream(path));
  platform_faults.override_facts = true;
  platform_faults.sample_size = 3;
  platform_faults.length = 7;
  AVISTREAMINFOA i = info();
  EXPECT_EQ(i.dwSampleSize, 3u);
  EXPECT_EQ(i.dwLength, 7u);
  Bytes buf(40);
  LONG bytes = 0, samples = 0;
  EXPECT_EQ(AVIStreamRead(stream, 0, 10, buf.data(), 40, &bytes, &samples), S_OK);
  EXPECT_EQ(bytes, 40);
  EXPECT_EQ(samples, 10);
}

TEST_F(FaultTest, ReadFaultsByCallNumber) {
  ASSERT_TRUE(open_stream(path));
  platform_faults.read_fail_call = 1;
  platform_faults.read_fail_result = AVIERR_MEMORY;
  platform_faults.short_read_call = 2;
  platform_faults.bad_bytes_call = 3;
  const Outcome want[] = {
      {S_OK, 8, 2}, {AVIERR_MEMORY, 0, 0}, {S_OK, 4, 1}, {S_OK, 9, 2}, {S_OK, 8, 2}};
  for (size_t call = 0; call < 5; ++call) {
    SCOPED_TRACE(call);
    Bytes buf(8, 0xEE);
    LONG bytes = 77, samples = 77;
    EXPECT_EQ(AVIStreamRead(stream, 1, 2, buf.data(), 8, &bytes, &samples), want[call].result);
    EXPECT_EQ(bytes, want[call].bytes);
    EXPECT_EQ(samples, want[call].samples);
    size_t got = size_t(samples) * 4;
    EXPECT_EQ(slice(buf, 0, got), slice(data, 4, got));
    EXPECT_EQ(slice(buf, got, 8 - got), Bytes(8 - got, 0xEE));
  }
}

TEST_F(FaultTest, CallsAndReadsAreLogged) {
  ASSERT_TRUE(open_stream(path));
  Bytes buf(40);
  LONG bytes, samples;
  AVIStreamRead(stream, 0, 10, buf.data(), 40, &bytes, &samples);
  AVIStreamRead(stream, 10, 3, nullptr, 0, nullptr, nullptr);
  AVIStreamRelease(stream);
  stream = nullptr;
  AVIFileRelease(file);
  file = nullptr;
  EXPECT_EQ(platform_log.calls, (std::vector<std::string>{"AVIFileOpenA", "AVIFileGetStream",
                                                          "AVIStreamRelease", "AVIFileRelease"}));
  ASSERT_EQ(platform_log.reads.size(), 1u);
  EXPECT_EQ(platform_log.reads[0].start, 0);
  EXPECT_EQ(platform_log.reads[0].samples, 10);
  EXPECT_EQ(platform_log.reads[0].buffer_size, 40);
  // A null buffer only asks for sizes: logged apart.
  ASSERT_EQ(platform_log.size_queries.size(), 1u);
  EXPECT_EQ(platform_log.size_queries[0].start, 10);
  EXPECT_EQ(platform_log.size_queries[0].samples, 3);
  EXPECT_EQ(platform_log.size_queries[0].buffer_size, 0);
}

// ---- Share mode ----

// _wfsopen with `mode`, denying others write access as the program opens
// its outputs: whether it opened, with errno EACCES when not.
bool can_open(const std::string& path, const char* mode) {
  errno = 0;
  FILE* f = _wfsopen(wide(path).c_str(), wide(mode).c_str(), _SH_DENYWR);
  if (f) {
    fclose(f);
    return true;
  }
  EXPECT_EQ(errno, EACCES) << mode;
  return false;
}

TEST_F(FaultTest, OpenInputRefusesWriters) {
  std::string link = dir.file("link.wav");
  ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);
  ASSERT_EQ(open(path), S_OK);
  for (const char* mode : {"wb", "w", "ab", "r+b", "w+"}) {
    EXPECT_FALSE(can_open(path, mode)) << mode;
  }
  EXPECT_FALSE(can_open(link, "wb"));
  EXPECT_TRUE(can_open(path, "rb"));
  EXPECT_TRUE(can_open(dir.file("other.wav"), "wb"));
  EXPECT_EQ(read_bytes(path).size(), 44u + 40u);  // untouched
  AVIFileRelease(file);
  file = nullptr;
  EXPECT_TRUE(can_open(path, "ab"));
}

TEST_F(FaultTest, StreamHoldsItsFileOpen) {
  ASSERT_TRUE(open_stream(path));
  PAVIFILE second = nullptr;
  ASSERT_EQ(AVIFileOpenA(&second, path.c_str(), OF_SHARE_DENY_WRITE, nullptr), S_OK);
  AVIFileRelease(file);
  file = nullptr;
  EXPECT_FALSE(can_open(path, "wb"));
  Bytes buf(40);
  LONG bytes = 0, samples = 0;
  EXPECT_EQ(AVIStreamRead(stream, 0, 10, buf.data(), 40, &bytes, &samples), S_OK);
  EXPECT_EQ(buf, data);
  AVIStreamRelease(stream);
  stream = nullptr;
  EXPECT_FALSE(can_open(path, "wb"));  // the second handle still holds it
  AVIFileRelease(second);
  EXPECT_TRUE(can_open(path, "ab"));
}

// Windows refuses the share mode on a file that is open for writing.
TEST_F(FaultTest, FileOpenForWritingIsRefused) {
  FILE* writer = _wfsopen(wide(path).c_str(), L"ab", _SH_DENYWR);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(open(path), AVIERR_FILEOPEN);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(open(path, 0), S_OK);
  AVIFileRelease(file);
  file = nullptr;
  fclose(writer);
  EXPECT_EQ(open(path), S_OK);
}

TEST_F(FaultTest, OpenWithoutShareModeAllowsWriters) {
  ASSERT_EQ(open(path, 0), S_OK);
  EXPECT_TRUE(can_open(path, "ab"));
}

// The Linux layer's file handlers run no scripts, so their files answer
// E_NOINTERFACE, as Wine's do. The hook makes one a script handler's, whose
// interface holds the file as a stream does.
TEST_F(FaultTest, ClipInfoOnlyWhereTheHookAsks) {
  ASSERT_EQ(open(path), S_OK);
  void* answered = this;
  EXPECT_EQ(file->QueryInterface(IID_IAvisynthClipInfo, &answered), E_NOINTERFACE);
  EXPECT_EQ(answered, nullptr);

  platform_faults.clip_info = true;
  ASSERT_EQ(file->QueryInterface(IID_IAvisynthClipInfo, &answered), S_OK);
  IAvisynthClipInfo* clip_info = static_cast<IAvisynthClipInfo*>(answered);
  const char* text = "untouched";
  EXPECT_EQ(clip_info->GetError(&text), 0);
  EXPECT_STREQ(text, "untouched");
  platform_faults.script_error = "Script error";
  EXPECT_NE(clip_info->GetError(&text), 0);
  EXPECT_STREQ(text, "Script error");

  EXPECT_EQ(AVIFileRelease(file), 1u);
  file = nullptr;
  EXPECT_EQ(platform_log.live_files, 1);
  EXPECT_FALSE(can_open(path, "wb"));
  EXPECT_EQ(clip_info->Release(), 0u);
  EXPECT_EQ(platform_log.live_files, 0);
  EXPECT_TRUE(can_open(path, "ab"));
}

// ---- Scripts, through AviSynth+ ----

// Whether AviSynth+'s library loads here, asked of the loader itself, so
// that a handler which misses an installed library fails the rows below
// rather than skipping them. `why` tells what is missing when it does not.
bool avisynth_loads(std::string* why) {
  void* library = dlopen("libavisynth.so", RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    *why = dlerror();
    return false;
  }
  dlclose(library);
  return true;
}

// Without AviSynth+ (none for 32-bit Linux), a script has no handler, as on
// a Windows machine where AviSynth is not installed.
TEST_F(AviFileTest, ScriptWithoutAvisynthHasNoHandler) {
  std::string why;
  if (avisynth_loads(&why)) GTEST_SKIP() << "AviSynth+ is installed: the script rows run instead";
  const std::string path = dir.file("tone.avs");
  write_bytes(path, Bytes{'T', 'o', 'n', 'e', '(', ')', '\n'});
  file = reinterpret_cast<PAVIFILE>(this);
  EXPECT_EQ(AVIFileOpenA(&file, path.c_str(), OF_SHARE_DENY_WRITE, nullptr), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(platform_log.live_files, 0);
}

class ScriptTest : public AviFileTest {
 protected:
  void SetUp() override {
    AviFileTest::SetUp();
    std::string why;
    if (!avisynth_loads(&why)) GTEST_SKIP() << "no AviSynth+ for the script rows: " << why;
  }

  // Writes `text` as the script `name` and opens it.
  std::string write_script(const std::string& name, const std::string& text) {
    const std::string path = dir.file(name);
    write_bytes(path, Bytes(text.begin(), text.end()));
    return path;
  }

  // Opens the script `text`, which must run, and its audio stream.
  bool open_script(const std::string& text) {
    return open_stream(write_script("script.avs", text));
  }

  // The script's error as IAvisynthClipInfo tells it; null when none.
  const char* script_error() {
    void* answered = nullptr;
    EXPECT_EQ(file->QueryInterface(IID_IAvisynthClipInfo, &answered), S_OK);
    if (!answered) return "no IAvisynthClipInfo";
    auto* clip_info = static_cast<IAvisynthClipInfo*>(answered);
    const char* text = "untouched";
    const int failed = clip_info->GetError(&text);
    EXPECT_EQ(failed != 0, text != nullptr);
    clip_info->Release();
    return text;
  }

  // One read: its result, and the samples and bytes it reports.
  Outcome read(LONG start, LONG samples, void* buffer, LONG size) {
    Outcome o{0, -1, -1};
    o.result = AVIStreamRead(stream, start, samples, buffer, size, &o.bytes, &o.samples);
    return o;
  }
};

// A script's format as AviSynth's AVI file handler gives it: WAVEFORMATEX,
// or WAVE_FORMAT_EXTENSIBLE with `mask` when that is not 0.
Bytes script_format(uint16_t channels, uint32_t rate, uint16_t bits, bool is_float, uint32_t mask) {
  Bytes b = pcm_format(channels, rate, bits, mask ? 40 : 18);
  if (is_float) b[mask ? 24 : 0] = 3;  // the SubFormat's first byte, or the tag
  return mask ? put_at(b, 20, u32(mask)) : b;
}

TEST_F(ScriptTest, FormatsAsAvisynthGivesThem) {
  const std::string tone = "Tone(length=0.1, samplerate=8000, channels=";
  const std::string blank = "BlankClip(length=2, audio_rate=8000, channels=";
  const std::string extensible = "global OPT_UseWaveExtensible = true\n";
  const std::string float_allowed = "global OPT_AllowFloatAudio = true\n";
  const struct {
    const char* name;
    std::string script;
    Bytes format;
  } cases[] = {
      {"8-bit", tone + "2).ConvertAudioTo8bit()", script_format(2, 8000, 8, false, 0)},
      {"float becomes 16-bit", tone + "2)", script_format(2, 8000, 16, false, 0)},
      {"24-bit", tone + "3).ConvertAudioTo24bit()", script_format(3, 8000, 24, false, 0)},
      {"32-bit", tone + "1).ConvertAudioTo32bit()", script_format(1, 8000, 32, false, 0)},
      {"float where allowed", float_allowed + tone + "2)", script_format(2, 8000, 32, true, 0)},
      {"a known mask", blank + "6, sample_type=\"24bit\").SetChannelMask(\"5.1\")",
       script_format(6, 8000, 24, false, 0x3F)},
      {"four stereo clips merged: 7.1", "a = " + tone + "2)\nMergeChannels(a, a, a, a)",
       script_format(8, 8000, 16, false, 0x63F)},
      {"a known mask, extensible refused",
       "global OPT_UseWaveExtensible = false\n" + blank + "6).SetChannelMask(\"5.1\")",
       script_format(6, 8000, 16, false, 0)},
      {"extensible, 3 channels: 2.1", extensible + blank + "3)",
       script_format(3, 8000, 16, false, 0xB)},
      {"extensible, 7 channels: 6.1", extensible + blank + "7)",
       script_format(7, 8000, 16, false, 0x70F)},
      {"extensible, 12 channels: every speaker", extensible + blank + "12)",
       script_format(12, 8000, 16, false, 0xFFF)},
      {"extensible, 20 channels: SPEAKER_ALL", extensible + blank + "20)",
       script_format(20, 8000, 16, false, 0x80000000u)},
      {"extensible, the script's mask",
       extensible + "global OPT_dwChannelMask = 51\n" + blank + "4)",
       script_format(4, 8000, 16, false, 0x33)},
      {"extensible float", float_allowed + extensible + tone + "2)",
       script_format(2, 8000, 32, true, 0x3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!open_script(c.script)) continue;
    EXPECT_EQ(format(), c.format);
    const AVISTREAMINFOA i = info();
    const DWORD block = DWORD(c.format[12] | c.format[13] << 8);
    EXPECT_EQ(i.dwSampleSize, block);
    EXPECT_EQ(i.dwScale, block);
    EXPECT_EQ(i.dwRate, 8000 * block);
    close_all();
  }
}

TEST_F(ScriptTest, StreamFacts) {
  ASSERT_TRUE(open_script("Tone(length=0.1, samplerate=8000, channels=2)"));
  AVISTREAMINFOA expected;
  std::memset(&expected, 0, sizeof expected);
  expected.fccType = streamtypeAUDIO;
  expected.dwScale = 4;
  expected.dwRate = 32000;
  expected.dwLength = 800;
  expected.dwQuality = 0xFFFFFFFFu;
  expected.dwSampleSize = 4;
  std::strcpy(expected.szName, "Avisynth audio #1");
  const AVISTREAMINFOA i = info();
  EXPECT_EQ(std::memcmp(&i, &expected, sizeof i), 0);
  EXPECT_STREQ(i.szName, expected.szName);
  EXPECT_EQ(script_error(), nullptr);

  // A buffer smaller than the format gets what fits, the rest of it cleared.
  Bytes small(12, 0xCC);
  LONG size = 10;
  EXPECT_EQ(AVIStreamReadFormat(stream, 0, small.data(), &size), S_OK);
  EXPECT_EQ(size, 10);
  EXPECT_EQ(slice(small, 0, 10), slice(script_format(2, 8000, 16, false, 0), 0, 10));
  EXPECT_EQ(slice(small, 10, 2), Bytes(2, 0xCC));
}

// Reads deliver the clip's samples at their place, whatever the pieces, and
// stop at its end.
TEST_F(ScriptTest, ReadsCutAtTheClipsEnd) {
  ASSERT_TRUE(open_script("Tone(length=0.1, samplerate=8000, channels=2)"));
  const Bytes whole = read_all(800);
  ASSERT_EQ(whole.size(), 3200u);
  EXPECT_NE(whole, Bytes(3200, 0));
  EXPECT_EQ(read_all(7), whole);
  Bytes buf(4000, 0xEE);
  const struct {
    LONG start, samples, buffer_size;
    bool buffer;
    Outcome expected;
  } cases[] = {
      {0, 800, 4000, true, {S_OK, 3200, 800}},
      {790, 20, 4000, true, {S_OK, 40, 10}},  // cut at the end
      {800, 5, 4000, true, {S_OK, 0, 0}},     // at the end
      {900, 5, 4000, true, {S_OK, 0, 0}},     // past it
      {0, 800, 403, true, {S_OK, 400, 100}},  // as many as the buffer holds
      {0, 800, 3, true, {S_OK, 0, 0}},        // not one
      {0, 800, -4, true, {S_OK, 0, 0}},
      {0, -5, 4000, true, {S_OK, 0, 0}},        // a negative count reads nothing
      {100, 800, 0, false, {S_OK, 2800, 700}},  // sizes only
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.start << " " << c.samples << " " << c.buffer_size);
    std::fill(buf.begin(), buf.end(), 0xEE);
    const Outcome o = read(c.start, c.samples, c.buffer ? buf.data() : nullptr, c.buffer_size);
    EXPECT_EQ(o.result, c.expected.result);
    EXPECT_EQ(o.bytes, c.expected.bytes);
    EXPECT_EQ(o.samples, c.expected.samples);
    if (c.buffer && o.bytes > 0) {
      const Bytes got = slice(buf, 0, size_t(o.bytes));
      EXPECT_EQ(got, slice(whole, size_t(c.start) * 4, got.size()));
      EXPECT_EQ(buf[size_t(o.bytes)], 0xEE);  // nothing past what it reports
    }
  }
  EXPECT_EQ(script_error(), nullptr);
}

// dwLength holds the sample count cut to 32 bits, and reads go on past it
// to the clip's real end, as AviSynth's do.
TEST_F(ScriptTest, LengthCutTo32BitsReadsPastIt) {
  // 4 × 1073742074 = 2^32 + 1000 samples.
  ASSERT_TRUE(open_script(
      "BlankClip(length=4, fps=1, audio_rate=1073742074, channels=1, sample_type=\"8bit\")"));
  EXPECT_EQ(info().dwLength, 1000u);
  Bytes buf(100);
  for (LONG start : {LONG{1000}, LONG{0x7FFFFF00}}) {
    const Outcome o = read(start, 100, buf.data(), 100);
    EXPECT_EQ(o.result, S_OK) << start;
    EXPECT_EQ(o.samples, 100) << start;
  }
}

TEST_F(ScriptTest, OneAudioStream) {
  const std::string path = write_script("tone.avs", "Tone(length=0.1, samplerate=8000)");
  ASSERT_EQ(open(path), S_OK);
  const struct {
    DWORD type;
    LONG number;
    HRESULT expected;
  } cases[] = {
      {streamtypeAUDIO, 0, S_OK},
      {streamtypeAUDIO, 1, AVIERR_NODATA},
      {streamtypeAUDIO, 0x7FFFFFFF, AVIERR_NODATA},
      // AviSynth's handler takes no number below the first for another.
      {streamtypeAUDIO, -1, S_OK},
      {streamtypeAUDIO, LONG(0x80000000u), S_OK},
      {0x73646976u, 0, AVIERR_NODATA},  // 'vids': the video is left out
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.number);
    PAVISTREAM s = reinterpret_cast<PAVISTREAM>(this);
    EXPECT_EQ(AVIFileGetStream(file, &s, c.type, c.number), c.expected);
    EXPECT_EQ(s != nullptr, c.expected == S_OK);
    if (s) AVIStreamRelease(s);
  }
  close_all();

  ASSERT_EQ(open(write_script("silent.avs", "Tone().KillAudio()")), S_OK);
  EXPECT_EQ(AVIFileGetStream(file, &stream, streamtypeAUDIO, 0), AVIERR_NODATA);
  EXPECT_EQ(script_error(), nullptr);
}

// A script that fails still opens, its error told through
// IAvisynthClipInfo in AviSynth's words, and it has no audio.
TEST_F(ScriptTest, ScriptErrorsOpenWithTheirText) {
  write_script("inner.avsi", "y = 2\nFooBar(3)\n");
  const std::string head = "The script's return value was not a video clip, ";
  const struct {
    const char* name;
    const char* script;
    std::string error;  // "$" stands for the script's path
  } cases[] = {
      {"an unknown function", "AudioDubb()\n",
       "Script error: There is no function named 'AudioDubb'.\n($, line 1)"},
      {"an error in an imported file", "x = 1\nImport(\"inner.avsi\")\n",
       "Script error: There is no function named 'FooBar'.\n(inner.avsi, line 2)\n($, line 2)"},
      {"a failed assertion", "Assert(false, \"the source is gone\")",
       "the source is gone\n($, line 1)"},
      {"an int", "42", head + "(Is an int, 42)."},
      {"a bool", "1 == 1", head + "(Is a bool, True)."},
      {"a float", "1.5", head + "(Is a float, 1.500000)."},
      {"a string", "\"text\"", head + "(Is a string, text)."},
      {"an array", "[1, 2, 3]", head + "(Is an array[3])."},
      {"an empty file", "", head + "(Is the undefined value)."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = write_script("failing.avs", c.script);
    file = reinterpret_cast<PAVIFILE>(this);
    ASSERT_EQ(AVIFileOpenA(&file, path.c_str(), OF_SHARE_DENY_WRITE, nullptr), S_OK);
    std::string expected = c.error;
    const size_t at = expected.find('$');
    if (at != std::string::npos) expected.replace(at, 1, path);
    const char* text = script_error();
    EXPECT_EQ(text ? std::string(text) : "(none)", expected);
    EXPECT_EQ(AVIFileGetStream(file, &stream, streamtypeAUDIO, 0), AVIERR_NODATA);
    close_all();
  }
  EXPECT_EQ(platform_log.live_files, 0);
}

// A script of the test plugin's source (tests/avs_plugin), whose byte k of
// audio is ((k mod 65521) × 31 + k ÷ 65521) mod 256.
std::string pattern_script(const std::string& arguments) {
  return std::string("LoadPlugin(\"") + TONEWELL_AVS_PATTERN + "\")\nTonewellPattern(" + arguments +
         ")\n";
}

Bytes pattern_stream(size_t size) {
  Bytes b(size);
  for (size_t k = 0; k < size; ++k) b[k] = uint8_t((k % 65521) * 31 + k / 65521);
  return b;
}

// Every byte arrives at its place, through the cache on top, in pieces that
// meet the plugin's runs anywhere.
TEST_F(ScriptTest, SourceBytesArriveExactly) {
  if (!*TONEWELL_AVS_PATTERN) GTEST_SKIP() << "the AviSynth test plugin is not built";
  const struct {
    const char* arguments;
    size_t block;
  } cases[] = {
      {"channels=1, rate=8000, sample_type=\"8bit\", samples=140000", 1},
      {"channels=2, rate=8000, sample_type=\"16bit\", samples=40000", 4},
      {"channels=3, rate=8000, sample_type=\"24bit\", samples=30000", 9},
      {"channels=1, rate=8000, sample_type=\"32bit\", samples=40000", 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    if (!open_script(pattern_script(c.arguments))) continue;
    const Bytes expected = pattern_stream(info().dwLength * c.block);
    EXPECT_EQ(read_all(4099), expected);
    EXPECT_EQ(read_all(65521), expected);
    close_all();
  }
}

// A filter that fails while the audio is read fails the read, E_FAIL, and
// the file keeps its message for IAvisynthClipInfo, as AviSynth's does.
TEST_F(ScriptTest, FailedReadKeepsItsMessage) {
  if (!*TONEWELL_AVS_PATTERN) GTEST_SKIP() << "the AviSynth test plugin is not built";
  ASSERT_TRUE(open_script(
      pattern_script("channels=1, rate=8000, sample_type=\"8bit\", samples=1000, fail_at=600, "
                     "fail_message=\"the source went away at 600\"")));
  Bytes buf(1000);
  EXPECT_EQ(read(0, 500, buf.data(), 1000).result, S_OK);
  EXPECT_EQ(script_error(), nullptr);
  EXPECT_EQ(read(500, 200, buf.data(), 1000).result, E_FAIL);
  const char* text = script_error();
  EXPECT_STREQ(text, "the source went away at 600");
}

// AviSynth reads the script as it opens it and holds nothing: the script
// may be written while the clip is read.
TEST_F(ScriptTest, HoldsNothingOpen) {
  const std::string path = write_script("tone.avs", "Tone(length=0.1, samplerate=8000)");
  ASSERT_TRUE(open_stream(path));
  EXPECT_TRUE(can_open(path, "ab"));
  Bytes buf(400);
  EXPECT_EQ(read(0, 100, buf.data(), 400).result, S_OK);
}

// ---- The media writer itself ----

TEST(MediaFiles, WaveLayoutIsByteExact) {
  TempDir dir;
  std::string path = dir.file("w.wav");
  Bytes fmt = pcm_format(2, 8000, 16);
  write_wav_file(path, fmt, Bytes{1, 2, 3});
  Bytes want = riff("WAVE", cat({chunk("fmt ", fmt), chunk("data", Bytes{1, 2, 3})}));
  EXPECT_EQ(read_bytes(path), want);
}

TEST(MediaFiles, FormatsAndPatterns) {
  Bytes f = pcm_format(6, 48000, 24, 40);
  ASSERT_EQ(f.size(), 40u);
  EXPECT_EQ(f[0] | f[1] << 8, 0xFFFE);
  EXPECT_EQ(f[12], 18);  // nBlockAlign
  EXPECT_EQ(f[16], 22);  // cbSize
  EXPECT_EQ(f[24], 1);   // SubFormat: PCM
  EXPECT_EQ(pcm_format(1, 8000, 8, 18).size(), 18u);
  EXPECT_EQ(pattern_bytes(100, 1), pattern_bytes(100, 1));
  EXPECT_NE(pattern_bytes(100, 1), pattern_bytes(100, 2));
}

}  // namespace
