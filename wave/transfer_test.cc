#include "wave/transfer.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/faults-posix.h"
#include "report/interruption.h"
#include "tests/support/capture.h"
#include "tests/support/media_files.h"
#include "tests/support/run_state.h"

namespace {

constexpr char kOpened[] = "出力ファイルを開きました。\n";
constexpr char kToStdout[] = "出力先を標準出力に設定しました。\n";
constexpr char kEnded[] = "データ書き出しが終了しました。\n";
constexpr char kClosed[] = "出力ファイルを閉じました。\n";
constexpr char kInternalError[] = "内部エラーが発生しました。\n";
constexpr char kWriteError[] = "データ書き出し中にエラーが発生しました。再実行してください。\n";
constexpr char kInconsistent[] =
    "オーディオストリーム読み込みに失敗しました。データサイズに不整合が発生しました。\n";
constexpr char kInterrupted[] = "処理を中断しました。\n";

// The header of 16-bit stereo PCM at 44100 Hz with 40 data bytes.
const unsigned char kTenSampleHeader[] = {
    'R',  'I', 'F', 'F', 76, 0, 0,   0,   'W', 'A',  'V',  'E', 'f', 'm',  't',
    ' ',  16,  0,   0,   0,  1, 0,   2,   0,   0x44, 0xAC, 0,   0,   0x10, 0xB1,
    0x02, 0,   4,   0,   16, 0, 'd', 'a', 't', 'a',  40,   0,   0,   0,
};

std::string as_string(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// The sanitizers note a refused allocation on standard error ("==pid==...").
std::string without_sanitizer_notes(const std::string& text) {
  std::string kept;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    if (text.compare(start, 2, "==") != 0) kept += text.substr(start, end - start);
    start = end;
  }
  return kept;
}

// Points the descriptor of `stream` at `fd` and back again. glibc empties a
// buffer even when the closing flush fails, so nothing meant for `fd`
// reaches the real stream later.
struct StreamRedirect {
  FILE* stream;
  int saved_fd;

  StreamRedirect(FILE* stream, int fd) : stream(stream), saved_fd(dup(fileno(stream))) {
    fflush(stream);
    dup2(fd, fileno(stream));
  }
  ~StreamRedirect() {
    fflush(stream);
    clearerr(stream);
    dup2(saved_fd, fileno(stream));
    close(saved_fd);
  }
};

struct TransferTest : testing::Test {
  TempDir dir;
  std::string input = dir.file("in.wav");
  std::string output = dir.file("out.wav");
  Bytes data;
  PAVIFILE file = nullptr;
  PAVISTREAM stream = nullptr;
  StreamFacts facts{};
  std::string out;
  std::string err;

  void SetUp() override { reset(); }
  void TearDown() override {
    if (stream != nullptr) AVIStreamRelease(stream);
    if (file != nullptr) AVIFileRelease(file);
    reset();
  }
  void reset() { reset_run_state(); }
  // The stream opened, with nobody to explain a failed read.
  StreamSource source() const { return {stream, nullptr, nullptr}; }

  // Writes `bytes` of PCM at 44100 Hz as a WAVE file and opens its stream
  // through the AVI file layer, as the input side does.
  void open_stream(uint16_t channels, uint16_t bits, size_t bytes) {
    data = pattern_bytes(bytes, 5);
    write_wav_file(input, pcm_format(channels, 44100, bits), data);
    ASSERT_EQ(AVIFileOpenA(&file, input.c_str(), OF_SHARE_DENY_WRITE, nullptr), S_OK);
    ASSERT_EQ(AVIFileGetStream(file, &stream, streamtypeAUDIO, 0), S_OK);
    AVISTREAMINFOA info;
    ASSERT_EQ(AVIStreamInfoA(stream, &info, sizeof info), S_OK);
    facts.sample_size = info.dwSampleSize;
    facts.sample_count = info.dwLength;
    LONG size = sizeof facts.format;
    ASSERT_EQ(AVIStreamReadFormat(stream, 0, &facts.format, &size), S_OK);
  }
  void open_ten_samples() { open_stream(2, 16, 40); }

  // Every message goes to standard error, so `err` holds both threads'
  // lines in the order they were printed.
  bool transfer(const char* output_path, int32_t level) {
    Reporter reporter{level, false};
    const std::wstring wide_path = output_path ? wide(output_path) : std::wstring();
    ConsoleCapture console;
    bool done =
        run_transfer(source(), facts, {output_path ? wide_path.c_str() : nullptr, false, false},
                     false, &reporter);
    console.finish();
    out = console.out_text;
    err = console.err_text;
    return done;
  }

  std::string ten_sample_wave() const {
    return std::string(std::begin(kTenSampleHeader), std::end(kTenSampleHeader)) + as_string(data);
  }
};

TEST_F(TransferTest, TenSamplesInOneReadWithByteOffsets) {
  open_ten_samples();
  EXPECT_TRUE(transfer(output.c_str(), 3));
  EXPECT_EQ(read_file(output), ten_sample_wave());
  EXPECT_EQ(err, std::string(kOpened) + "0 - 39 のデータを読み取りました。\n" +
                     "0 - 39 のデータを書き出しました。\n" + kEnded + kClosed);
  EXPECT_EQ(out, "");
  // All samples asked for at once, into a quarter of a ring of 40 samples.
  ASSERT_EQ(platform_log.reads.size(), 1u);
  EXPECT_EQ(platform_log.reads[0].start, 0);
  EXPECT_EQ(platform_log.reads[0].samples, 10);
  EXPECT_EQ(platform_log.reads[0].buffer_size, 40);
  EXPECT_EQ(platform_log.events_created, 2);
}

TEST_F(TransferTest, NoSamples) {
  open_stream(2, 16, 0);
  EXPECT_TRUE(transfer(output.c_str(), 2));
  const std::string wave = read_file(output);
  ASSERT_EQ(wave.size(), kWaveHeaderSize);
  EXPECT_EQ(wave.substr(4, 4), std::string("\x24\0\0\0", 4));
  EXPECT_EQ(wave.substr(40, 4), std::string("\0\0\0\0", 4));
  EXPECT_EQ(err, std::string(kOpened) + kEnded + kClosed);
  EXPECT_TRUE(platform_log.reads.empty());
}

TEST_F(TransferTest, StandardOutputCarriesOnlyTheWave) {
  open_ten_samples();
  const std::string debug_lines =
      "0 - 39 のデータを読み取りました。\n0 - 39 のデータを書き出しました。\n";
  const std::string messages[] = {
      "",
      std::string(kToStdout) + kEnded,
      std::string(kToStdout) + kEnded,
      std::string(kToStdout) + debug_lines + kEnded,
  };
  for (int32_t level = 0; level <= 3; ++level) {
    SCOPED_TRACE(level);
    EXPECT_TRUE(transfer(nullptr, level));
    EXPECT_EQ(out, ten_sample_wave());
    EXPECT_EQ(err, messages[level]);
  }
}

// 20 MiB of 8-bit mono through an 8 MiB ring: the reader wraps twice.
TEST_F(TransferTest, StreamLongerThanTheRing) {
  const size_t ring = size_t{1} << 23;
  open_stream(1, 8, 20 << 20);
  EXPECT_TRUE(transfer(output.c_str(), 1));
  const std::string wave = read_file(output);
  ASSERT_EQ(wave.size(), kWaveHeaderSize + data.size());
  EXPECT_TRUE(wave.substr(kWaveHeaderSize) == as_string(data));  // no 20 MiB diff on failure

  LONG next = 0;
  int wraps = 0;
  for (const PlatformRead& read : platform_log.reads) {
    SCOPED_TRACE(read.start);
    EXPECT_EQ(read.start, next);  // each piece follows the one before
    size_t offset = size_t(read.start) % ring;
    EXPECT_LE(offset + size_t(read.buffer_size), ring);  // never across the end
    EXPECT_LE(read.buffer_size, LONG(ring / 4));
    if (read.start > 0 && offset == 0) ++wraps;
    next = read.start + read.samples;
  }
  EXPECT_EQ(next, LONG(data.size()));
  EXPECT_EQ(wraps, 2);
  // Spans of megabytes go out in writes of at most 512 KiB, which the page
  // cache takes in fastest.
  EXPECT_LE(platform_log.largest_write, size_t{512} << 10);
}

TEST_F(TransferTest, ReadErrorsStopTheTransfer) {
  const struct {
    HRESULT result;
    const char* message;
  } cases[] = {
      {AVIERR_BUFFERTOOSMALL,
       "オーディオストリーム読み込みに失敗しました。読み込みバッファのサイズが小さすぎます。\n"},
      {AVIERR_MEMORY, "オーディオストリーム読み込みに失敗しました。メモリが足りなくなりました。\n"},
      {AVIERR_FILEREAD,
       "オーディオストリーム読み込みに失敗しました。ディスクエラーが発生しました。\n"},
      {AVIERR_NODATA, "オーディオストリーム読み込みに失敗しました。不明なエラーが発生しました。\n"},
      {static_cast<HRESULT>(0x80004005u),
       "オーディオストリーム読み込みに失敗しました。不明なエラーが発生しました。\n"},
  };
  open_ten_samples();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    reset_platform();
    platform_faults.read_fail_call = 0;
    platform_faults.read_fail_result = c.result;
    EXPECT_FALSE(transfer(output.c_str(), 1));
    EXPECT_EQ(err, std::string(kOpened) + c.message + kEnded);
    // The header already claims the whole stream; nothing follows it.
    EXPECT_EQ(read_file(output), ten_sample_wave().substr(0, kWaveHeaderSize));
  }
}

// A failing read after some pieces went through leaves a prefix of the data.
TEST_F(TransferTest, LaterReadErrorKeepsWhatWasWritten) {
  open_stream(1, 8, 5 << 20);
  platform_faults.read_fail_call = 2;
  platform_faults.read_fail_result = AVIERR_FILEREAD;
  EXPECT_FALSE(transfer(output.c_str(), 1));
  EXPECT_EQ(err,
            std::string(kOpened) +
                "オーディオストリーム読み込みに失敗しました。ディスクエラーが発生しました。\n" +
                kEnded);
  const std::string wave = read_file(output);
  ASSERT_GE(wave.size(), kWaveHeaderSize);
  ASSERT_LE(wave.size(), kWaveHeaderSize + (4 << 20));
  EXPECT_TRUE(wave.substr(kWaveHeaderSize) ==
              as_string(data).substr(0, wave.size() - kWaveHeaderSize));
  EXPECT_EQ(platform_log.reads.size(), 3u);
}

TEST_F(TransferTest, InconsistentReads) {
  const struct {
    int* fault;
    const char* debug_line;
  } cases[] = {
      {&platform_faults.short_read_call, "0 - 35 のデータを読み取りました。\n"},
      {&platform_faults.bad_bytes_call, "0 - 39 のデータを読み取りました。\n"},
  };
  open_ten_samples();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.debug_line);
    reset_platform();
    *c.fault = 0;
    EXPECT_FALSE(transfer(output.c_str(), 3));
    EXPECT_EQ(err, std::string(kOpened) + c.debug_line + kInconsistent + kEnded + kClosed);
    EXPECT_EQ(read_file(output).size(), kWaveHeaderSize);
  }
}

// On /dev/full the buffered writes succeed until the buffer must go out.
TEST_F(TransferTest, WriteFailures) {
  const struct {
    size_t bytes;
    const char* messages_after_open;
  } cases[] = {
      // Too much for the buffer: the writer's own write falls short, even
      // though the reader had read everything.
      {1 << 20,
       "データ書き出し中にエラーが発生しました。再実行してください。\n"
       "データ書き出しが終了しました。\n"},
      // All of it fits: only closing the file finds out.
      {40,
       "データ書き出しが終了しました。\n"
       "データ書き出し中にエラーが発生しました。再実行してください。\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    open_stream(2, 16, c.bytes);
    EXPECT_FALSE(transfer("/dev/full", 1));
    EXPECT_EQ(err, std::string(kOpened) + c.messages_after_open);
    AVIStreamRelease(stream);
    AVIFileRelease(file);
    stream = nullptr;
    file = nullptr;
  }
}

TEST_F(TransferTest, BrokenPipe) {
  open_stream(2, 16, 1 << 20);
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  bool done;
  {
    StreamCapture capture_err(stderr);
    StreamRedirect redirect(stdout, ends[1]);
    Reporter reporter{1, false};
    done = run_transfer(source(), facts, {nullptr, false, false}, false, &reporter);
    err = capture_err.finish();
  }
  close(ends[1]);
  EXPECT_FALSE(done);
  EXPECT_EQ(err, std::string(kToStdout) + kWriteError + kEnded);
}

// Standard error is a pipe with room for the first line only, so the
// reader stalls printing the line of a short read while the writer goes to
// wait for data without limit. Giving up, the reader has to wake it, or the
// transfer never ends.
TEST_F(TransferTest, ReaderGivingUpWakesTheWaitingWriter) {
  open_ten_samples();
  platform_faults.short_read_call = 0;
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  ASSERT_EQ(fcntl(ends[1], F_SETPIPE_SZ, 4096), 4096);
  const std::string filler(4096 - strlen(kOpened), '.');
  ASSERT_EQ(write(ends[1], filler.data(), filler.size()), ssize_t(filler.size()));
  std::string received;
  std::thread console([&received, &ends] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    char chunk[4096];
    ssize_t n;
    while ((n = read(ends[0], chunk, sizeof chunk)) > 0) received.append(chunk, size_t(n));
  });
  bool done;
  {
    StreamRedirect redirect(stderr, ends[1]);
    Reporter reporter{3, false};
    done = run_transfer(source(), facts, {wide(output).c_str(), false, false}, false, &reporter);
  }
  close(ends[1]);
  console.join();
  close(ends[0]);
  EXPECT_FALSE(done);
  EXPECT_EQ(received, filler + kOpened + "0 - 35 のデータを読み取りました。\n" + kInconsistent +
                          kEnded + kClosed);
}

TEST_F(TransferTest, SetUpFailures) {
  struct Case {
    int event_fail_call;
    bool thread_fail;
    std::string messages;
    int events_created;
    bool header_written;
  };
  const Case cases[] = {
      {0, false, std::string(kInternalError) + "読み込みスレッド用イベントの作成に失敗しました。\n",
       0, false},
      {1, false, std::string(kInternalError) + "書き出しスレッド用イベントの作成に失敗しました。\n",
       1, false},
      {-1, true,
       std::string(kOpened) + kInternalError + "書き出しスレッドの作成に失敗しました。\n" + kEnded +
           kClosed,
       2, true},
  };
  open_ten_samples();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.messages);
    reset_platform();
    platform_faults.event_fail_call = c.event_fail_call;
    platform_faults.thread_fail = c.thread_fail;
    EXPECT_FALSE(transfer(output.c_str(), 3));
    EXPECT_EQ(err, c.messages);
    EXPECT_EQ(platform_log.events_created, c.events_created);
    EXPECT_TRUE(platform_log.reads.empty());
    if (c.header_written) {
      EXPECT_EQ(read_file(output), ten_sample_wave().substr(0, kWaveHeaderSize));
    } else {
      EXPECT_FALSE(PathFileExistsA(output.c_str()));
    }
    unlink(output.c_str());
  }
}

// Streams the ring, the header or the layer's sample numbers cannot carry
// are refused before an event or the output exists.
TEST_F(TransferTest, FactsRefusedUpFront) {
  const std::string bad_size = "オーディオストリームのサンプルサイズが不正です。\n";
  const std::string invalid = "オーディオストリームが不正なため出力できません。\n";
  const std::string too_large =
      "オーディオストリームのデータサイズが大きすぎるため出力できません。\n";
  const std::string no_ring =
      std::string(kInternalError) + "リングバッファの確保に失敗しました。\n";
  const uint32_t kSameAsSample = 0xFFFFFFFFu;
  const struct {
    uint32_t sample_size;
    uint32_t sample_count;
    uint32_t block_align;  // nBlockAlign as 32 bits, cut to 16 in the format
    uint32_t rate;
    bool no_samples;  // the stream delivers none, whatever it declares
    bool alloc_fail;
    std::string messages;
  } cases[] = {
      {0, 10, kSameAsSample, 44100, false, false, bad_size},
      {0, 0, kSameAsSample, 44100, false, false, bad_size},
      {(64 << 20) + 1, 1, kSameAsSample, 44100, false, false,
       bad_size},  // a ring of 4 passes 256 MiB
      {0xFFFFFFFFu, 2, kSameAsSample, 44100, false, false, bad_size},
      {4, 10, 2, 44100, false, false, invalid},  // the header's block is not the sample
      {65536, 10, kSameAsSample, 44100, false, false, invalid},      // no 16-bit block holds it
      {65537, 10, kSameAsSample, 44100, false, false, invalid},      // 65,537 channels cut to one
      {4, 10, kSameAsSample, 0x80000000u, false, false, invalid},    // a negative rate
      {4, 0xFFFFFFFFu, kSameAsSample, 44100, true, false, invalid},  // a length of -1
      {1, 0x80000001u, kSameAsSample, 44100, false, false, too_large},  // past the last address
      {4, 0xFFFFFFFFu, kSameAsSample, 44100, false, false, too_large},
      {4, 10, kSameAsSample, 44100, false, true, no_ring},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.sample_size << " x " << c.sample_count << " in " << c.block_align);
    if (stream != nullptr) AVIStreamRelease(stream);
    if (file != nullptr) AVIFileRelease(file);
    c.no_samples ? open_stream(2, 16, 0) : open_ten_samples();
    reset_platform();
    platform_faults.alloc_fail = c.alloc_fail;
    facts.sample_size = c.sample_size;
    facts.sample_count = c.sample_count;
    facts.format.Format.nBlockAlign =
        WORD(c.block_align == kSameAsSample ? c.sample_size : c.block_align);
    facts.format.Format.nSamplesPerSec = c.rate;
    EXPECT_FALSE(transfer(output.c_str(), 3));
    EXPECT_EQ(without_sanitizer_notes(err), c.messages);
    EXPECT_EQ(platform_log.events_created, 0);
    EXPECT_TRUE(platform_log.reads.empty());
    EXPECT_FALSE(PathFileExistsA(output.c_str()));
  }
}

// A handler that delivers samples past the declared length has a stream
// longer than dwLength can say: refused before anything exists. The sample
// after the end is asked for by size alone; with 2^31 declared, whose next
// sample has no signed number, two from the last.
TEST_F(TransferTest, StreamLongerThanDeclaredIsRefused) {
  const std::string too_large =
      "オーディオストリームのデータサイズが大きすぎるため出力できません。\n";
  const LONG last = 0x7FFFFFFF;
  const struct {
    const char* name;
    uint64_t samples;   // 8-bit mono, the data a hole in the file
    uint32_t declared;  // the facts handed to the transfer
    PlatformRead query;
    bool refused;
  } cases[] = {
      {"as declared", 10, 10, {10, 1, 0}, false},
      {"longer", 10, 6, {6, 1, 0}, true},
      {"2^32 samples declared as none", 10, 0, {0, 1, 0}, true},
      {"2^31 as declared", uint64_t{1} << 31, 0x80000000u, {last, 2, 0}, false},
      {"2^31 + 1 declared as 2^31", (uint64_t{1} << 31) + 1, 0x80000000u, {last, 2, 0}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset_platform();
    unlink(output.c_str());
    const Bytes header = wav_header(pcm_format(1, 44100, 8), c.samples);
    FILE* f = fopen(input.c_str(), "wb");
    fwrite(header.data(), 1, header.size(), f);
    fclose(f);
    ASSERT_EQ(truncate(input.c_str(), off_t(header.size() + c.samples)), 0);
    ASSERT_EQ(AVIFileOpenA(&file, input.c_str(), OF_SHARE_DENY_WRITE, nullptr), S_OK);
    ASSERT_EQ(AVIFileGetStream(file, &stream, streamtypeAUDIO, 0), S_OK);
    facts.sample_size = 1;
    facts.sample_count = c.declared;
    memcpy(&facts.format, pcm_format(1, 44100, 8).data(), 16);
    platform_faults.read_fail_call = c.samples > 10 ? 0 : -1;  // no 2 GiB run here
    const bool done = transfer(output.c_str(), 1);
    ASSERT_EQ(platform_log.size_queries.size(), 1u);
    EXPECT_EQ(platform_log.size_queries[0].start, c.query.start);
    EXPECT_EQ(platform_log.size_queries[0].samples, c.query.samples);
    if (c.refused) {
      EXPECT_FALSE(done);
      EXPECT_EQ(err, too_large);
      EXPECT_TRUE(platform_log.reads.empty());
      EXPECT_FALSE(PathFileExistsA(output.c_str()));
    } else {
      EXPECT_EQ(done, c.samples == 10);
      EXPECT_EQ(err.substr(0, strlen(kOpened)), kOpened);
    }
    AVIStreamRelease(stream);
    AVIFileRelease(file);
    stream = nullptr;
    file = nullptr;
  }
}

// After a failed read, whoever opened the stream may say why (a script
// handler keeps a failed filter's words): asked once, its words follow the
// read's message, before the output is closed. Nobody to ask leaves the run
// as it was.
TEST_F(TransferTest, AFailedReadIsExplainedByWhoOpenedTheStream) {
  const char kUnknown[] =
      "オーディオストリーム読み込みに失敗しました。不明なエラーが発生しました。\n";
  static int asked;
  const auto explain = [](void* opener, const Reporter& reporter) {
    ++asked;
    reporter.error("%s\n", static_cast<const char*>(opener));
  };
  char reason[] = "WavSource: cannot read file";
  open_stream(1, 8, 5 << 20);
  for (const bool explained : {true, false}) {
    SCOPED_TRACE(explained);
    reset_platform();
    asked = 0;
    platform_faults.read_fail_call = 1;
    platform_faults.read_fail_result = static_cast<HRESULT>(0x80004005u);  // E_FAIL
    Reporter reporter{1, false};
    ConsoleCapture console;
    const StreamSource source = {stream, explained ? +explain : nullptr, reason};
    EXPECT_FALSE(
        run_transfer(source, facts, {wide(output).c_str(), false, false}, false, &reporter));
    console.finish();
    EXPECT_EQ(console.err_text, std::string(kOpened) + kUnknown +
                                    (explained ? std::string(reason) + "\n" : "") + kEnded);
    EXPECT_EQ(asked, explained ? 1 : 0);
  }
}

// 2^23 samples, within 256 MiB and four times the stream, in whole samples.
TEST(RingSamples, FitTheStream) {
  const struct {
    uint32_t sample_size;
    uint32_t sample_count;
    uint32_t samples;
  } cases[] = {
      {4, 10, 40},
      {4, 0, 4},
      {4, (1 << 21) - 1, (1 << 23) - 4},
      {4, 1 << 21, 1 << 23},
      {4, 0xFFFFFFFFu, 1 << 23},
      {32, 0x80000000u, 1 << 23},  // exactly 256 MiB
      {33, 0x80000000u, (256u << 20) / 33},
      {1792, 100000, (256u << 20) / 1792},
      {4096, 3, 12},
      {64 << 20, 1, 4},
      {(64 << 20) + 1, 1, 0},
      {0, 5, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.sample_size << " x " << c.sample_count);
    StreamFacts facts{};
    facts.sample_size = c.sample_size;
    facts.sample_count = c.sample_count;
    EXPECT_EQ(ring_samples(facts), c.samples);
  }
}

// Blocks of any size, compressed pass-through among them, convert exactly
// in pieces of whole blocks, on both builds.
TEST_F(TransferTest, AnyBlockSizeConverts) {
  const struct {
    uint16_t tag;
    uint16_t block;
    uint32_t blocks;
  } cases[] = {
      {0x2000, 1792, 5000},  // AC-3 pass-through: 8.5 MiB, several pieces
      {1, 512, 3000},
      {1, 1024, 2000},
      {1, 4096, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.block);
    reset_platform();
    Bytes format = pcm_format(2, 48000, 16);
    format[0] = uint8_t(c.tag);
    format[1] = uint8_t(c.tag >> 8);
    format[12] = uint8_t(c.block);
    format[13] = uint8_t(c.block >> 8);
    data = pattern_bytes(size_t{c.block} * c.blocks, c.block);
    write_wav_file(input, format, data);
    ASSERT_EQ(AVIFileOpenA(&file, input.c_str(), OF_SHARE_DENY_WRITE, nullptr), S_OK);
    ASSERT_EQ(AVIFileGetStream(file, &stream, streamtypeAUDIO, 0), S_OK);
    facts.sample_size = c.block;
    facts.sample_count = c.blocks;
    memcpy(&facts.format, format.data(), format.size());
    EXPECT_TRUE(transfer(output.c_str(), 1)) << err;
    const std::string wave = read_file(output);
    EXPECT_TRUE(wave.substr(kWaveHeaderSize) == as_string(data));
    EXPECT_EQ(wave.substr(32, 2), std::string(reinterpret_cast<const char*>(&format[12]), 2));
    for (const PlatformRead& read : platform_log.reads) {
      EXPECT_EQ(read.buffer_size % c.block, 0);
    }
    AVIStreamRelease(stream);
    AVIFileRelease(file);
    stream = nullptr;
    file = nullptr;
  }
}

int interrupted_read = -1;
void interrupt_during(int read) {
  if (read == interrupted_read) interruption.requested = true;
}

// The user interrupts while the reader is inside a read (-1: before the
// transfer). Whichever thread notices first says so, once; both end as after
// a failure, and what was written is the header and a prefix of the data.
TEST_F(TransferTest, InterruptEndsItAsAFailure) {
  const struct {
    const char* output;  // null: the test's file
    size_t bytes;
    int read;
    std::string messages;
    size_t reads;
    size_t at_most_written;
  } cases[] = {
      {nullptr, 40, -1, kInterrupted, 0, 0},  // no output made
      {nullptr, 5 << 20, 0, std::string(kOpened) + kInterrupted + kEnded, 1, 0},
      {nullptr, 5 << 20, 2, std::string(kOpened) + kInterrupted + kEnded, 3, 4 << 20},  // the last
      // Closing finds the device full: the interrupt is what failed.
      {"/dev/full", 40, 0, std::string(kOpened) + kInterrupted + kEnded, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bytes << " bytes, interrupted at read " << c.read);
    reset();
    unlink(output.c_str());
    open_stream(1, 8, c.bytes);
    interrupted_read = c.read;
    platform_faults.on_read = interrupt_during;
    interruption.requested = c.read < 0;
    EXPECT_FALSE(transfer(c.output ? c.output : output.c_str(), 1));
    EXPECT_EQ(err, c.messages);
    EXPECT_EQ(platform_log.reads.size(), c.reads);
    if (c.output == nullptr && c.read >= 0) {
      const std::string wave = read_file(output);
      ASSERT_GE(wave.size(), kWaveHeaderSize);
      EXPECT_LE(wave.size(), kWaveHeaderSize + c.at_most_written);
      EXPECT_TRUE(wave.substr(kWaveHeaderSize) ==
                  as_string(data).substr(0, wave.size() - kWaveHeaderSize));
    } else if (c.output == nullptr) {
      EXPECT_FALSE(PathFileExistsA(output.c_str()));
    }
    AVIStreamRelease(stream);
    AVIFileRelease(file);
    stream = nullptr;
    file = nullptr;
  }
}

// The layer holds its input against writers, so an output path naming the
// input cannot destroy it.
TEST_F(TransferTest, OutputNamingTheInput) {
  open_ten_samples();
  const std::string before = read_file(input);
  EXPECT_FALSE(transfer(input.c_str(), 1));
  EXPECT_EQ(err, "出力ファイルが開けません。パスを確認してください。\n");
  EXPECT_EQ(read_file(input), before);
}

}  // namespace
