#include "wave/transfer.h"

#include <cstdlib>

namespace {

constexpr char kInternalError[] = "内部エラーが発生しました。\n";

// The reader never sleeps longer than this, so a missed wake-up costs at
// most a second.
constexpr DWORD kReaderWaitMs = 1000;

// Refuses, before anything is created, the streams the ring and the 32-bit
// counters cannot carry, and allocates the ring for the others.
uint8_t* allocate_ring(const StreamFacts& facts, const Reporter* reporter, size_t* capacity) {
  if (facts.sample_size == 0) {
    reporter->error("オーディオストリームのサンプルサイズが不正です。\n");
    return nullptr;
  }
  if (uint64_t{facts.sample_count} * facts.sample_size > UINT32_MAX) {
    reporter->error("オーディオストリームのデータサイズが大きすぎるため出力できません。\n");
    return nullptr;
  }
  uint8_t* ring = nullptr;
  if (facts.sample_size <= SIZE_MAX / kRingSamples) {
    *capacity = facts.sample_size * kRingSamples;
    ring = static_cast<uint8_t*>(malloc(*capacity));
  }
  if (ring == nullptr) {
    reporter->error(kInternalError);
    reporter->debug("リングバッファの確保に失敗しました。\n");
  }
  return ring;
}

bool create_events(TransferState* state) {
  state->read_event = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  if (state->read_event == nullptr) {
    state->reporter->error(kInternalError);
    state->reporter->debug("読み込みスレッド用イベントの作成に失敗しました。\n");
    return false;
  }
  state->write_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (state->write_event == nullptr) {
    state->reporter->error(kInternalError);
    state->reporter->debug("書き出しスレッド用イベントの作成に失敗しました。\n");
    return false;
  }
  return true;
}

const char* read_error_message(HRESULT result) {
  switch (result) {
    case AVIERR_BUFFERTOOSMALL:
      return "オーディオストリーム読み込みに失敗しました。"
             "読み込みバッファのサイズが小さすぎます。\n";
    case AVIERR_MEMORY:
      return "オーディオストリーム読み込みに失敗しました。メモリが足りなくなりました。\n";
    case AVIERR_FILEREAD:
      return "オーディオストリーム読み込みに失敗しました。ディスクエラーが発生しました。\n";
    default:
      return "オーディオストリーム読み込みに失敗しました。不明なエラーが発生しました。\n";
  }
}

// The reader: fills the free span of the ring piece by piece, never across
// its end. True once every sample has been read.
bool read_stream(TransferState* state, PAVISTREAM stream, const StreamFacts& facts) {
  const size_t capacity = state->capacity;
  uint32_t pos = 0;
  while (!state->stop) {
    if (pos >= facts.sample_count) return true;
    uint32_t produced = pos * facts.sample_size;
    uint32_t written = state->sink.written_bytes.load(std::memory_order_acquire);
    if (produced - written >= capacity) {
      SetEvent(state->write_event);
      WaitForSingleObject(state->read_event, kReaderWaitMs);
      continue;
    }
    size_t write_pos = produced % capacity;
    size_t read_pos = written % capacity;
    size_t end = read_pos > write_pos ? read_pos : capacity;
    // Smaller pieces keep the writer busy while the reader waits on the layer.
    if (end - write_pos > capacity / 4) end = write_pos + capacity / 4;
    uint32_t count = static_cast<uint32_t>((end - write_pos) / facts.sample_size);
    if (count > facts.sample_count - pos) count = facts.sample_count - pos;

    LONG bytes_read = 0;
    LONG samples_read = 0;
    HRESULT result = AVIStreamRead(stream, static_cast<LONG>(pos), static_cast<LONG>(count),
                                   state->buffer + write_pos, static_cast<LONG>(end - write_pos),
                                   &bytes_read, &samples_read);
    if (result < 0) {
      state->stop = true;
      state->reporter->error("%s", read_error_message(result));
      return false;
    }
    uint32_t last = (pos + static_cast<uint32_t>(samples_read)) * facts.sample_size - 1;
    state->reporter->debug("%d - %d のデータを読み取りました。\n", static_cast<int32_t>(produced),
                           static_cast<int32_t>(last));
    if (samples_read != static_cast<LONG>(count) ||
        int64_t{samples_read} * facts.sample_size != bytes_read) {
      state->stop = true;
      state->reporter->error(
          "オーディオストリーム読み込みに失敗しました。データサイズに不整合が発生しました。\n");
      return false;
    }
    pos += count;
    // Release: the writer sees the piece's bytes once it sees the count.
    state->produced_bytes.store(pos * facts.sample_size, std::memory_order_release);
    SetEvent(state->write_event);
  }
  return false;
}

// Waits for the writer to write what was read, or to give up.
void drain(TransferState* state) {
  while (state->sink.written_bytes.load(std::memory_order_acquire) < state->sink.total_bytes &&
         !state->stop) {
    SetEvent(state->write_event);
    WaitForSingleObject(state->read_event, kReaderWaitMs);
  }
}

// After the drain the writer either has finished on its own or is about to
// see `stop`; wake it in case it waits for data that will never come.
void end_writer(TransferState* state, HANDLE thread) {
  if (state->stop) SetEvent(state->write_event);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

// One pass of the writer: writes the contiguous filled span from `written`,
// up to the end of the ring or of the data. False when the write fell short.
bool write_span(TransferState* state, uint32_t written, uint32_t produced) {
  WaveSink& sink = state->sink;
  size_t read_pos = written % state->capacity;
  size_t produced_pos = produced % state->capacity;
  size_t end = produced_pos > read_pos ? produced_pos : state->capacity;
  size_t wanted = end - read_pos;
  if (wanted > sink.total_bytes - written) wanted = sink.total_bytes - written;
  size_t put = fwrite(state->buffer + read_pos, 1, wanted, sink.output);
  uint32_t now_written = written + static_cast<uint32_t>(put);
  state->reporter->debug("%d - %d のデータを書き出しました。\n", static_cast<int32_t>(written),
                         static_cast<int32_t>(now_written - 1));
  // Release: the reader reuses the span only after the bytes left it.
  sink.written_bytes.store(now_written, std::memory_order_release);
  if (put != wanted) {
    state->reporter->error("データ書き出し中にエラーが発生しました。再実行してください。\n");
    return false;
  }
  return true;
}

}  // namespace

unsigned WINAPI writer_thread(void* argument) {
  TransferState* state = static_cast<TransferState*>(argument);
  WaveSink& sink = state->sink;
  while (!state->stop) {
    uint32_t written = sink.written_bytes.load(std::memory_order_relaxed);
    if (written >= sink.total_bytes) {
      if (!sink.finish()) state->stop = true;
      break;
    }
    uint32_t produced = state->produced_bytes.load(std::memory_order_acquire);
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

bool run_transfer(PAVISTREAM stream, StreamFacts facts, const char* output_path,
                  const Reporter* reporter) {
  TransferState state{};
  state.reporter = reporter;
  state.buffer = allocate_ring(facts, reporter, &state.capacity);
  if (state.buffer == nullptr) return false;
  WaveSink& sink = state.sink;
  sink.format.wFormatTag = facts.format.wFormatTag;
  sink.format.nChannels = facts.format.nChannels;
  sink.format.nSamplesPerSec = facts.format.nSamplesPerSec;
  sink.format.nAvgBytesPerSec = facts.format.nAvgBytesPerSec;
  sink.format.nBlockAlign = facts.format.nBlockAlign;
  sink.format.wBitsPerSample = facts.format.wBitsPerSample;
  sink.extra_size = facts.format.cbSize;
  sink.total_bytes = facts.sample_count * facts.sample_size;
  sink.reporter = reporter;

  bool done = false;
  if (create_events(&state) && sink.open(output_path)) {
    HANDLE thread =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, writer_thread, &state, 0, nullptr));
    if (thread == nullptr) {
      reporter->error(kInternalError);
      reporter->debug("書き出しスレッドの作成に失敗しました。\n");
    } else {
      bool read_all = read_stream(&state, stream, facts);
      drain(&state);
      end_writer(&state, thread);
      done = read_all && !state.stop && sink.written_bytes == sink.total_bytes;
    }
  }

  if (state.write_event != nullptr) CloseHandle(state.write_event);
  if (state.read_event != nullptr) CloseHandle(state.read_event);
  free(state.buffer);
  // Closes the file on every path where the writer did not get to it.
  bool closed = sink.finish();
  return done && closed;
}
