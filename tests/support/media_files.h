// Writers of small RIFF WAVE and AVI files with exactly known sample bytes,
// for tests of the Linux layer's AVI file layer and of the whole program.
#ifndef TONEWELL_TESTS_SUPPORT_MEDIA_FILES_H_
#define TONEWELL_TESTS_SUPPORT_MEDIA_FILES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

typedef std::vector<uint8_t> Bytes;

// A PCM WAVEFORMATEX of `format_size` bytes: 16 (no cbSize), 18 (cbSize 0)
// or 40 (WAVE_FORMAT_EXTENSIBLE, cbSize 22).
Bytes pcm_format(uint16_t channels, uint32_t rate, uint16_t bits, size_t format_size = 16);

// `count` bytes of a repeatable pattern that differs for each seed.
Bytes pattern_bytes(size_t count, uint32_t seed);

struct WavLayout {
  bool list_chunk_before_data = false;  // a LIST/INFO chunk between fmt and data
  bool odd_chunk_before_data = false;   // an odd-sized chunk, padded, before data
  bool rf64 = false;  // RF64 with a ds64 chunk holding the sizes, as for data over 4 GiB
};

// Everything before the data of a WAVE file whose data is `data_size` bytes.
Bytes wav_header(const Bytes& format, uint64_t data_size, WavLayout layout = WavLayout());

// "RIFF" (or "RF64") WAVE with a "fmt " chunk holding `format` verbatim and
// a "data" chunk holding `data` (padded to even length, as RIFF requires).
void write_wav_file(const std::string& path, const Bytes& format, const Bytes& data,
                    WavLayout layout = WavLayout());

struct AviTrack {
  bool video = false;  // a 'vids' stream; otherwise 'auds'
  Bytes format;        // the strf chunk's bytes
  Bytes data;          // the stream's bytes, cut into chunks of chunk_size
  size_t chunk_size = 4096;
};

struct AviLayout {
  bool with_index = true;  // an idx1 chunk after the movi list
};

// "RIFF" AVI with one strl per track and the tracks' chunks interleaved in
// the movi list.
void write_avi_file(const std::string& path, const std::vector<AviTrack>& tracks,
                    AviLayout layout = AviLayout());

#endif  // TONEWELL_TESTS_SUPPORT_MEDIA_FILES_H_
