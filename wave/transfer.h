// Moves a stream's samples into a WaveSink: the main thread reads pieces into
// a ring buffer while a writer thread writes the filled span out.
#ifndef TONEWELL_WAVE_TRANSFER_H_
#define TONEWELL_WAVE_TRANSFER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "cli/reporter.h"
#include "input/stream_facts.h"
#include "platform/platform.h"
#include "wave/wave_sink.h"

// The ring holds this many samples.
constexpr size_t kRingSamples = size_t{1} << 23;

struct TransferState {
  std::atomic<bool> stop;
  WaveSink sink;
  uint8_t* buffer;
  size_t capacity;
  std::atomic<uint32_t> produced_bytes;  // advanced by the reader only
  HANDLE read_event;                     // auto-reset; wakes the reader
  HANDLE write_event;                    // auto-reset; wakes the writer
  const Reporter* reporter;
};

// Converts the open `stream` into `output_path` (standard output when null).
// True only when every byte was read, written and the destination closed.
bool run_transfer(PAVISTREAM stream, StreamFacts facts, const char* output_path,
                  const Reporter* reporter);

// The writer thread's body; `state` is the TransferState.
unsigned WINAPI writer_thread(void* state);

#endif  // TONEWELL_WAVE_TRANSFER_H_
