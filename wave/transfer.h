// Moves a stream's samples into a WaveSink: the main thread reads pieces into
// a ring buffer while a writer thread writes the filled span out.
#ifndef TONEWELL_WAVE_TRANSFER_H_
#define TONEWELL_WAVE_TRANSFER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "report/reporter.h"
#include "wave/ring.h"
#include "wave/stream_facts.h"
#include "wave/wave_sink.h"

// The ring holds this many samples, within the limits of ring_samples().
constexpr uint32_t kRingSamples = uint32_t{1} << 23;
// Ever more ring buys no more overlap, and a quarter of this still fits
// AVIStreamRead's 32-bit byte count.
constexpr uint32_t kMaxRingBytes = uint32_t{256} << 20;

// The stream a transfer reads, and whoever opened it, who may be able to
// say why a read failed (a script handler keeps a failed filter's words).
struct StreamSource {
  PAVISTREAM stream;
  // Called once after a read failed, with `opener`: prints the reason, if
  // there is one to tell. May be null.
  void (*explain_failed_read)(void* opener, const Reporter& reporter);
  void* opener;
};

struct TransferState {
  std::atomic<bool> stop;
  WaveSink sink;
  uint8_t* buffer;
  Ring ring;
  std::atomic<uint64_t> produced_bytes;  // advanced by the reader only
  HANDLE read_event;                     // auto-reset; wakes the reader
  HANDLE write_event;                    // auto-reset; wakes the writer
  const Reporter* reporter;
};

// Converts the stream of `source` into `destination`, with the extensible
// format chunk for the streams output_format() recasts when `extensible`.
// True only when every byte was read, written and the destination closed.
bool run_transfer(const StreamSource& source, StreamFacts facts, const Destination& destination,
                  bool extensible, const Reporter* reporter);

// Samples the ring holds for `facts`: kRingSamples, but within
// kMaxRingBytes and at most four times the stream (at least 4 samples, so
// that a quarter holds one). 0 when not even 4 samples fit kMaxRingBytes.
uint32_t ring_samples(const StreamFacts& facts);

// The writer thread's body; `state` is the TransferState.
unsigned WINAPI writer_thread(void* state);

#endif  // TONEWELL_WAVE_TRANSFER_H_
