// What the input side knows about the chosen audio stream and the transfer
// needs: passed by value from InputFile to run_transfer.
#ifndef TONEWELL_WAVE_STREAM_FACTS_H_
#define TONEWELL_WAVE_STREAM_FACTS_H_

#include <cstdint>

#include "platform/platform.h"

struct StreamFacts {
  uint32_t sample_size;   // dwSampleSize: bytes per sample of all channels
  uint32_t sample_count;  // dwLength: number of samples
  // A plain WAVEFORMATEX (zero wherever the layer supplied fewer bytes), or
  // all 40 bytes of a WAVE_FORMAT_EXTENSIBLE one.
  WAVEFORMATEXTENSIBLE format;
};

#endif  // TONEWELL_WAVE_STREAM_FACTS_H_
