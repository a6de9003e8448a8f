#include "wave/wave_sink.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "testing/capture.h"

namespace {

constexpr char kWriteError[] = "データ書き出し中にエラーが発生しました。再実行してください。\n";

// 16-bit stereo PCM at 44100 Hz.
constexpr WaveFormatFields kStereo16 = {1, 2, 44100, 176400, 4, 16};

// Points standard output's descriptor at `fd` and back again. Failures of
// assertions made meanwhile would go to `fd` too, so tests note results
// inside and check them afterwards.
struct StdoutRedirect {
  int saved_fd;

  explicit StdoutRedirect(int fd) : saved_fd(dup(STDOUT_FILENO)) {
    fflush(stdout);
    dup2(fd, STDOUT_FILENO);
  }
  ~StdoutRedirect() {
    // glibc empties the buffer even when the flush fails, so nothing meant
    // for `fd` reaches the real standard output later.
    fflush(stdout);
    clearerr(stdout);
    dup2(saved_fd, STDOUT_FILENO);
    close(saved_fd);
  }
};

struct WaveSinkTest : testing::Test {
  TempDir dir;
  Reporter reporter{2, true};
  WaveSink sink{};

  void SetUp() override {
    sink.format = kStereo16;
    sink.reporter = &reporter;
  }
  // What the writer thread does with the sample bytes.
  void append(const std::string& data) {
    ASSERT_EQ(fwrite(data.data(), 1, data.size(), sink.output), data.size());
    sink.written_bytes += static_cast<uint32_t>(data.size());
  }
};

TEST_F(WaveSinkTest, HeaderOfTenStereoSamples) {
  const std::string path = dir.file("out.wav");
  std::string data;
  for (int i = 0; i < 40; ++i) data += static_cast<char>(0x80 + i);
  sink.total_bytes = 40;
  ConsoleCapture console;
  ASSERT_TRUE(sink.open(path.c_str()));
  append(data);
  EXPECT_TRUE(sink.finish());
  console.finish();

  const unsigned char header[] = {
      'R',  'I', 'F', 'F', 76, 0, 0,   0,   'W', 'A',  'V',  'E', 'f', 'm',  't',
      ' ',  16,  0,   0,   0,  1, 0,   2,   0,   0x44, 0xAC, 0,   0,   0x10, 0xB1,
      0x02, 0,   4,   0,   16, 0, 'd', 'a', 't', 'a',  40,   0,   0,   0,
  };
  EXPECT_EQ(read_file(path), std::string(header, header + sizeof header) + data);
  EXPECT_EQ(
      console.out_text,
      "出力ファイルを開きました。\nデータ書き出しが終了しました。\n出力ファイルを閉じました。\n");
  EXPECT_EQ(console.err_text, "");
  EXPECT_EQ(sink.output, nullptr);
}

// The size fields for data sizes at the edges, byte order included.
TEST_F(WaveSinkTest, SizeFields) {
  struct Case {
    uint32_t total_bytes;
    uint32_t riff_size;
  };
  const Case cases[] = {{0, 36}, {0x01020304, 0x01020328}, {0xFFFFFFF0u, 0x14}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.total_bytes);
    const std::string path = dir.file("sizes.wav");
    sink.total_bytes = c.total_bytes;
    ConsoleCapture console;
    ASSERT_TRUE(sink.open(path.c_str()));
    EXPECT_TRUE(sink.finish());
    console.finish();
    const std::string file = read_file(path);
    ASSERT_EQ(file.size(), kWaveHeaderSize);
    auto u32_at = [&file](size_t offset) {
      uint32_t value = 0;
      for (size_t i = 0; i < 4; ++i) value |= uint32_t{uint8_t(file[offset + i])} << (8 * i);
      return value;
    };
    EXPECT_EQ(u32_at(4), c.riff_size);
    EXPECT_EQ(u32_at(40), c.total_bytes);
  }
}

TEST_F(WaveSinkTest, OutputDirectoryMissing) {
  const std::string path = dir.file("missing/out.wav");
  ConsoleCapture console;
  EXPECT_FALSE(sink.open(path.c_str()));
  EXPECT_TRUE(sink.finish());  // nothing to end
  console.finish();
  EXPECT_EQ(console.err_text, "出力ファイルが開けません。パスを確認してください。\n");
  EXPECT_EQ(console.out_text, "");
  EXPECT_EQ(read_file(path), "");
}

TEST_F(WaveSinkTest, StandardOutputCarriesTheHeaderOnly) {
  reporter.to_stdout = false;
  ConsoleCapture console;
  ASSERT_TRUE(sink.open(nullptr));
  EXPECT_EQ(sink.output, stdout);
  EXPECT_TRUE(sink.finish());
  console.finish();
  ASSERT_EQ(console.out_text.size(), kWaveHeaderSize);
  EXPECT_EQ(console.out_text.substr(0, 4), "RIFF");
  EXPECT_EQ(console.err_text, "出力先を標準出力に設定しました。\nデータ書き出しが終了しました。\n");
}

// Only an unbuffered stream meets a full device while the header is
// written. Standard output cannot be made buffered again reliably, so the
// case runs in a child process of its own.
TEST_F(WaveSinkTest, HeaderWriteFails) {
  reporter.to_stdout = false;
  auto header_on_full_device = [this] {
    int full = ::open("/dev/full", O_WRONLY);
    dup2(full, STDOUT_FILENO);
    setvbuf(stdout, nullptr, _IONBF, 0);
    StreamCapture err(stderr);
    bool opened = sink.open(nullptr);
    // The destination stays set until the teardown ends it, silently.
    bool kept = sink.output == stdout;
    bool finished = sink.finish();
    bool messages = err.finish() == std::string("出力先を標準出力に設定しました。\n") +
                                        kWriteError + "データ書き出しが終了しました。\n";
    exit(!opened && kept && !finished && sink.output == nullptr && messages ? 0 : 1);
  };
  EXPECT_EXIT(header_on_full_device(), testing::ExitedWithCode(0), "");
}

// Writes that only the close or flush at the end can find failing, and
// failures already reported by the write that met them.
TEST_F(WaveSinkTest, FinishReportsEachFailureOnce) {
  struct Case {
    bool to_stdout;
    bool failed_write_first;  // a write failed earlier and was reported there
    const char* messages;     // the destination's line, then finish's lines
  };
  const Case cases[] = {
      {false, false,
       "出力ファイルを開きました。\n"
       "データ書き出しが終了しました。\n"
       "データ書き出し中にエラーが発生しました。再実行してください。\n"
       "出力ファイルを閉じました。\n"},
      {false, true,
       "出力ファイルを開きました。\n"
       "データ書き出しが終了しました。\n"
       "出力ファイルを閉じました。\n"},
      {true, false,
       "出力先を標準出力に設定しました。\n"
       "データ書き出しが終了しました。\n"
       "データ書き出し中にエラーが発生しました。再実行してください。\n"},
      {true, true,
       "出力先を標準出力に設定しました。\n"
       "データ書き出しが終了しました。\n"},
  };
  reporter.to_stdout = false;  // every message on standard error, in order
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "stdout " << c.to_stdout << " failed first " << c.failed_write_first);
    int full = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    StreamCapture err(stderr);
    bool opened, finished, stdout_open;
    size_t put = 0;
    const std::string big(1 << 20, 'x');
    {
      StdoutRedirect redirect(full);
      // The header fits the buffer, so open succeeds.
      opened = sink.open(c.to_stdout ? nullptr : "/dev/full");
      if (opened && c.failed_write_first) put = fwrite(big.data(), 1, big.size(), sink.output);
      finished = sink.finish();
      stdout_open = fcntl(STDOUT_FILENO, F_GETFD) != -1;
    }
    close(full);
    ASSERT_TRUE(opened);
    if (c.failed_write_first) {
      EXPECT_LT(put, big.size());
    }
    EXPECT_FALSE(finished);
    EXPECT_EQ(sink.output, nullptr);
    // Standard output was flushed, not closed.
    EXPECT_TRUE(stdout_open);
    EXPECT_EQ(err.finish(), c.messages);
  }
}

TEST_F(WaveSinkTest, ReopenEndsThePreviousDestination) {
  const std::string first = dir.file("first.wav");
  const std::string second = dir.file("second.wav");
  reporter.level = 1;
  ConsoleCapture console;
  ASSERT_TRUE(sink.open(first.c_str()));
  ASSERT_TRUE(sink.open(second.c_str()));
  EXPECT_TRUE(sink.finish());
  console.finish();
  EXPECT_EQ(read_file(first).size(), kWaveHeaderSize);
  EXPECT_EQ(read_file(second).size(), kWaveHeaderSize);
  EXPECT_EQ(console.out_text,
            "出力ファイルを開きました。\nデータ書き出しが終了しました。\n"
            "出力ファイルを開きました。\nデータ書き出しが終了しました。\n");
}

}  // namespace
