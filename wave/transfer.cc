#include "wave/transfer.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <memory>

#include "report/interruption.h"
#include "report/messages.h"

namespace {

// The main thread never sleeps longer than this, so a missed wake-up costs at
// most a second (an interrupt sets the events: wake_on_interrupt).
constexpr DWORD kReaderWaitMs = 1000;

// After an interrupt the writer gets this long to come back from its write,
// which into a pipe nobody drains may never return.
constexpr DWORD kWriterGraceMs = 1000;

// AVIStreamRead addresses samples with a signed 32-bit number.
constexpr uint32_t kMaxSamples = uint32_t{1} << 31;

// Whether the stream ends where its length says. dwLength has 32 bits, and
// a script handler reports a clip of 2^32 samples or more by its length
// modulo 2^32 while it still delivers the samples beyond: converted, all
// but that remainder would be lost without a word. Asked for the sample
// after the declared end, a handler whose length is true delivers none (or
// refuses). A null buffer asks only how many a read would deliver, which
// costs a script no decoding. Sample 2^31 has no signed 32-bit number, so a
// stream of that length is asked for two from its last sample.
bool ends_where_declared(PAVISTREAM stream, const StreamFacts& facts) {
  const uint32_t first = std::min(facts.sample_count, kMaxSamples - 1);
  const uint32_t declared_after_first = facts.sample_count - first;
  LONG bytes = 0;
  LONG samples = 0;
  const HRESULT result =
      AVIStreamRead(stream, static_cast<LONG>(first), static_cast<LONG>(declared_after_first + 1),
                    nullptr, 0, &bytes, &samples);
  return result < 0 || samples <= static_cast<LONG>(declared_after_first);
}

// A span goes to the runtime in writes of at most this size. Wine passes a
// write on to Linux whole, and Linux takes writes of a megabyte and more into
// the page cache far more slowly: 330 MiB in writes of a quarter ring (24 MiB)
// cost the writer six times the CPU time of writes of 512 KiB.
constexpr size_t kWritePiece = size_t{512} << 10;

// Whether the WAVE header can describe the stream: its block, which the
// format's 16-bit nBlockAlign holds, must be the stream's sample size (a
// handler that cut a wider block to 16 bits would make a reader step through
// the data wrongly), and its rate a positive 32-bit number.
bool header_describes(const StreamFacts& facts) {
  const WAVEFORMATEX& format = facts.format.Format;
  return format.nBlockAlign == facts.sample_size && format.nSamplesPerSec <= INT32_MAX;
}

// Whether a count that reads as 2^31 samples or more is a negative one, cut
// to 32 bits as a script handler reports a clip of negative length: such a
// stream has no sample to deliver at its start.
bool declares_negative_length(PAVISTREAM stream, const StreamFacts& facts) {
  if (facts.sample_count <= kMaxSamples) return false;
  LONG bytes = 0;
  LONG samples = 0;
  return AVIStreamRead(stream, 0, 1, nullptr, 0, &bytes, &samples) >= 0 && samples == 0;
}

// Refuses, before anything is created, the streams the ring, the header or
// the layer's sample numbers cannot carry, and allocates the ring for the
// others.
uint8_t* allocate_ring(PAVISTREAM stream, const StreamFacts& facts, const Reporter* reporter,
                       size_t* capacity) {
  const uint32_t samples = ring_samples(facts);
  if (samples == 0) {
    reporter->error(kSampleSizeInvalid);
    return nullptr;
  }
  if (!header_describes(facts) || declares_negative_length(stream, facts)) {
    reporter->error(kStreamInvalid);
    return nullptr;
  }
  if (facts.sample_count > kMaxSamples || !ends_where_declared(stream, facts)) {
    reporter->error(kStreamTooLarge);
    return nullptr;
  }
  *capacity = size_t{samples} * facts.sample_size;
  // Page-aligned and committed at once: the ring is touched from end to end.
  auto* ring = static_cast<uint8_t*>(
      VirtualAlloc(nullptr, *capacity, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  if (ring == nullptr) {
    reporter->error(kInternalError);
    reporter->debug(kRingNotAllocated);
  }
  return ring;
}

// Byte offsets as the debug lines show them: below 4 GiB as they always
// were, modulo 2^32 and signed (negative from 2 GiB on); beyond, in full.
int64_t shown_offset(uint64_t offset) {
  if (offset <= UINT32_MAX) return static_cast<int32_t>(static_cast<uint32_t>(offset));
  return static_cast<int64_t>(offset);
}

bool create_events(TransferState* state) {
  state->read_event = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  if (state->read_event == nullptr) {
    state->reporter->error(kInternalError);
    state->reporter->debug(kReadEventNotCreated);
    return false;
  }
  state->write_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (state->write_event == nullptr) {
    state->reporter->error(kInternalError);
    state->reporter->debug(kWriteEventNotCreated);
    return false;
  }
  return true;
}

// An interrupt ends the transfer as a failure does; the first thread to
// find it says so.
void heed_interruption(TransferState* state) {
  if (state->stop || !interruption.requested) return;
  interruption.report(state->reporter);
  state->stop = true;
}

const char* read_error_message(HRESULT result) {
  switch (result) {
    case AVIERR_BUFFERTOOSMALL:
      return kReadFailedBufferTooSmall;
    case AVIERR_MEMORY:
      return kReadFailedMemory;
    case AVIERR_FILEREAD:
      return kReadFailedDiskError;
    default:
      return kReadFailedUnknown;
  }
}

// The reader: fills the free span of the ring piece by piece, never across
// its end. True once every sample has been read.
bool read_stream(TransferState* state, const StreamSource& source, const StreamFacts& facts) {
  const Ring& ring = state->ring;
  uint32_t pos = 0;
  for (;;) {
    heed_interruption(state);
    if (state->stop) return false;
    if (pos >= facts.sample_count) return true;
    const uint64_t produced = uint64_t{pos} * facts.sample_size;
    const uint64_t written = state->sink.written_bytes.load(std::memory_order_acquire);
    if (ring.full(produced, written)) {
      SetEvent(state->write_event);
      WaitForSingleObject(state->read_event, kReaderWaitMs);
      continue;
    }
    const Span free = ring.free_span(produced, written);
    uint32_t count = static_cast<uint32_t>(free.size / facts.sample_size);
    if (count > facts.sample_count - pos) count = facts.sample_count - pos;

    LONG bytes_read = 0;
    LONG samples_read = 0;
    HRESULT result = AVIStreamRead(source.stream, static_cast<LONG>(pos), static_cast<LONG>(count),
                                   state->buffer + free.offset, static_cast<LONG>(free.size),
                                   &bytes_read, &samples_read);
    if (result < 0) {
      state->stop = true;
      state->reporter->error(read_error_message(result));
      if (source.explain_failed_read != nullptr)
        source.explain_failed_read(source.opener, *state->reporter);
      return false;
    }
    uint64_t end_read = (uint64_t{pos} + static_cast<uint32_t>(samples_read)) * facts.sample_size;
    state->reporter->debug(kPieceRead, shown_offset(produced), shown_offset(end_read - 1));
    if (samples_read != static_cast<LONG>(count) ||
        int64_t{samples_read} * facts.sample_size != bytes_read) {
      state->stop = true;
      state->reporter->error(kReadInconsistent);
      return false;
    }
    pos += count;
    // Release: the writer sees the piece's bytes once it sees the count.
    state->produced_bytes.store(uint64_t{pos} * facts.sample_size, std::memory_order_release);
    SetEvent(state->write_event);
  }
}

// Waits for the writer to write what was read, or to give up.
void drain(TransferState* state) {
  while (state->sink.written_bytes.load(std::memory_order_acquire) < state->sink.total_bytes) {
    heed_interruption(state);
    if (state->stop) return;
    SetEvent(state->write_event);
    WaitForSingleObject(state->read_event, kReaderWaitMs);
  }
}

// After the drain the writer either has finished on its own or is about to
// see `stop`; wake it in case it waits for data that will never come. A
// write into a pipe nobody drains may never return, so after an interrupt
// the writer gets one more second; false when it did not end in time: it
// keeps the state, and the process ends without it.
bool end_writer(TransferState* state, HANDLE thread) {
  if (state->stop) SetEvent(state->write_event);
  for (;;) {
    const bool interrupted = interruption.requested;
    if (WaitForSingleObject(thread, kWriterGraceMs) == WAIT_OBJECT_0) break;
    if (interrupted) {
      interruption.reported = true;  // the writer prints nothing from now on
      interruption.writer_left_behind = true;
      return false;
    }
  }
  CloseHandle(thread);
  return true;
}

// One pass of the writer: writes the contiguous filled span from `written`,
// up to the end of the ring or of the data. False when the write fell short.
bool write_span(TransferState* state, uint64_t written, uint64_t produced) {
  WaveSink& sink = state->sink;
  const Span filled = state->ring.filled_span(written, produced);
  const size_t wanted = std::min<uint64_t>(filled.size, sink.total_bytes - written);
  size_t put = 0;
  while (put < wanted && !interruption.requested) {
    const size_t piece = std::min(wanted - put, kWritePiece);
    const size_t piece_put = fwrite(state->buffer + filled.offset + put, 1, piece, sink.output);
    put += piece_put;
    if (piece_put != piece) break;
  }
  // Interrupted, the writer ends whatever this write achieved: one cut short
  // (the pipe's reader ended by the same Ctrl+C) is no failure of its own,
  // and the main thread may have gone on without this thread.
  if (interruption.requested) {
    heed_interruption(state);
    return false;
  }
  uint64_t now_written = written + put;
  state->reporter->debug(kPieceWritten, shown_offset(written), shown_offset(now_written - 1));
  // Release: the reader reuses the span only after the bytes left it.
  sink.written_bytes.store(now_written, std::memory_order_release);
  state->reporter->progress(now_written, sink.total_bytes);
  if (put != wanted) {
    state->reporter->error(kWriteFailed);
    return false;
  }
  return true;
}

}  // namespace

unsigned WINAPI writer_thread(void* argument) {
  TransferState* state = static_cast<TransferState*>(argument);
  WaveSink& sink = state->sink;
  state->reporter->progress(0, sink.total_bytes);  // the clock for the rate starts now
  for (;;) {
    heed_interruption(state);
    if (state->stop) break;
    uint64_t written = sink.written_bytes.load(std::memory_order_relaxed);
    if (written >= sink.total_bytes) {
      if (!sink.finish()) state->stop = true;
      break;
    }
    uint64_t produced = state->produced_bytes.load(std::memory_order_acquire);
    if (produced <= written) {
      SetEvent(state->read_event);
      WaitForSingleObject(state->write_event, INFINITE);
      continue;
    }
    if (!write_span(state, written, produced)) {
      state->stop = true;
      break;
    }
    SetEvent(state->read_event);
  }
  SetEvent(state->read_event);
  return 0;
}

uint32_t ring_samples(const StreamFacts& facts) {
  if (facts.sample_size == 0 || facts.sample_size > kMaxRingBytes / 4) return 0;
  uint64_t samples = std::min<uint64_t>(kRingSamples, kMaxRingBytes / facts.sample_size);
  samples = std::min<uint64_t>(samples, std::max<uint64_t>(4, uint64_t{4} * facts.sample_count));
  return static_cast<uint32_t>(samples);
}

bool run_transfer(const StreamSource& source, StreamFacts facts, const Destination& destination,
                  bool extensible, const Reporter* reporter) {
  // Interrupted while the stream was opened: no output is made.
  if (interruption.requested) {
    interruption.report(reporter);
    return false;
  }
  // A writer that does not end after an interrupt keeps the state.
  auto owned_state = std::make_unique<TransferState>();
  TransferState& state = *owned_state;
  state.reporter = reporter;
  state.buffer = allocate_ring(source.stream, facts, reporter, &state.ring.capacity);
  if (state.buffer == nullptr) return false;
  WaveSink& sink = state.sink;
  sink.format = output_format(facts.format, extensible);
  sink.total_bytes = uint64_t{facts.sample_count} * facts.sample_size;
  sink.reporter = reporter;

  bool done = false;
  if (create_events(&state) && sink.open(destination)) {
    wake_on_interrupt(state.read_event, state.write_event);
    HANDLE thread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, writer_thread, &state, 0, nullptr));
    if (thread == nullptr) {
      reporter->error(kInternalError);
      reporter->debug(kWriterNotStarted);
    } else {
      bool read_all = read_stream(&state, source, facts);
      drain(&state);
      if (!end_writer(&state, thread)) {
        wake_on_interrupt(nullptr, nullptr);
        owned_state.release();
        return false;
      }
      done = read_all && !state.stop && sink.written_bytes == sink.total_bytes;
    }
  }

  wake_on_interrupt(nullptr, nullptr);
  if (state.write_event != nullptr) CloseHandle(state.write_event);
  if (state.read_event != nullptr) CloseHandle(state.read_event);
  VirtualFree(state.buffer, 0, MEM_RELEASE);
  // Closes the file on every path where the writer did not get to it.
  bool closed = sink.finish();
  return done && closed;
}
