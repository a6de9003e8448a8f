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

// The ring holds this many samples, within the limits of ring_samples().
constexpr uint32_t kRingSamples = uint32_t{1} << 23;
// Ever more ring buys no more overlap, and a quarter of this still fits
// AVIStreamRead's 32-bit byte count.
constexpr uint32_t kMaxRingBytes = uint32_t{256} << 20;

struct TransferState {
  std::atomic<bool> stop;
  WaveSink sink;
  uint8_t* buffer;
  size_t capacity;
  std::atomic<uint64_t> produced_bytes;  // advanced by the reader only
  HANDLE read_event;                     // auto-reset; wakes the reader
  HANDLE write_event;                    // auto-reset; wakes the writer
  const Reporter* reporter;
};

// Converts the open `stream`, one of `file`'s, into `destination`, with the
// extensible format chunk for the streams output_format() recasts when
// `extensible`. A script handler tells through `file` why a read failed.
// True only when every byte was read, written and the destination closed.
bool run_transfer(PAVIFILE file, PAVISTREAM stream, StreamFacts facts,
                  const Destination& destination, bool extensible, const Reporter* reporter);

// Samples the ring holds for `facts`: kRingSamples, but within
// kMaxRingBytes and at most four times the stream (at least 4 samples, so
// that a quarter holds one). 0 when not even 4 samples fit kMaxRingBytes.
uint32_t ring_samples(const StreamFacts& facts);

// The writer thread's body; `state` is the TransferState.
unsigned WINAPI writer_thread(void* state);

#endif  // TONEWELL_WAVE_TRANSFER_H_
