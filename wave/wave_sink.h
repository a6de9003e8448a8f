// The output end of a conversion: the destination and its RIFF/WAVE header.
#ifndef TONEWELL_WAVE_WAVE_SINK_H_
#define TONEWELL_WAVE_WAVE_SINK_H_

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "cli/reporter.h"

// The fields of the format chunk, as the stream's WAVEFORMATEX has them.
struct WaveFormatFields {
  uint16_t wFormatTag;
  uint16_t nChannels;
  uint32_t nSamplesPerSec;
  uint32_t nAvgBytesPerSec;
  uint16_t nBlockAlign;
  uint16_t wBitsPerSample;
};

constexpr uint32_t kWaveHeaderSize = 44;

struct WaveSink {
  WaveFormatFields format;
  uint16_t extra_size;  // the stream format's cbSize; never written
  uint32_t total_bytes;
  std::atomic<uint32_t> written_bytes;
  FILE* output;  // owned unless it is stdout
  const Reporter* reporter;

  // Creates `output_path` (standard output when null) and writes the header.
  bool open(const char* output_path);
  // Ends writing: closes a file, flushes standard output. False when that
  // failed, after reporting it. Does nothing without a destination.
  bool finish();
};

#endif  // TONEWELL_WAVE_WAVE_SINK_H_
