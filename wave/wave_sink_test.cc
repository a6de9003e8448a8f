#include "wave/wave_sink.h"

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/capture.h"

namespace {

constexpr char kWriteError[] = "データ書き出し中にエラーが発生しました。再実行してください。\n";

// 16-bit stereo PCM at 44100 Hz.
constexpr WAVEFORMATEX kStereo16 = {1, 2, 44100, 176400, 4, 16, 0};

std::string u32le(uint64_t value, size_t size = 4) {
  std::string bytes;
  for (size_t i = 0; i < size; ++i) bytes += char(uint8_t(value >> (8 * i)));
  return bytes;
}

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
    sink.format.Format = kStereo16;
    sink.reporter = &reporter;
  }
  // The file a sink of `total_bytes` writes before any data.
  std::string header_for(uint64_t total_bytes) {
    const std::string path = dir.file("header.wav");
    sink.total_bytes = total_bytes;
    ConsoleCapture console;
    const bool opened = sink.open({wide(path).c_str(), false, false});
    const bool finished = sink.finish();
    console.finish();
    EXPECT_TRUE(opened && finished) << console.err_text;
    return read_file(path);
  }
  // What the writer thread does with the sample bytes.
  void append(const std::string& data) {
    ASSERT_EQ(fwrite(data.data(), 1, data.size(), sink.output), data.size());
    sink.written_bytes += data.size();
  }
};

TEST_F(WaveSinkTest, HeaderOfTenStereoSamples) {
  const std::string path = dir.file("out.wav");
  std::string data;
  for (int i = 0; i < 40; ++i) data += static_cast<char>(0x80 + i);
  sink.total_bytes = 40;
  ConsoleCapture console;
  ASSERT_TRUE(sink.open({wide(path).c_str(), false, false}));
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

// The whole header for data sizes at the edges, byte order included: the
// plain header as long as the RIFF size fits 32 bits, RF64 from there on.
TEST_F(WaveSinkTest, HeaderFollowsTheDataSize) {
  const std::string fmt16 =
      "fmt " + u32le(16) + std::string("\x01\0\x02\0\x44\xAC\0\0\x10\xB1\x02\0\x04\0\x10\0", 16);
  auto plain = [&](uint64_t data) {
    return "RIFF" + u32le(data + 36) + "WAVE" + fmt16 + "data" + u32le(data);
  };
  auto rf64 = [&](uint64_t data) {
    return "RF64" + u32le(0xFFFFFFFF) + "WAVE" + "ds64" + u32le(28) + u32le(data + 72, 8) +
           u32le(data, 8) + u32le(data / 4, 8) + u32le(0) + fmt16 + "data" + u32le(0xFFFFFFFF);
  };
  const struct {
    uint64_t total_bytes;
    std::string header;
  } cases[] = {
      {0, plain(0)},
      {0x01020304, plain(0x01020304)},
      {0xFFFFFFFFu - 36, plain(0xFFFFFFFFu - 36)},  // the largest RIFF size
      {0xFFFFFFFFu - 32, rf64(0xFFFFFFFFu - 32)},   // one sample more
      {0xFFFFFFFFu, rf64(0xFFFFFFFFu)},
      {(uint64_t{6} << 30) + 4, rf64((uint64_t{6} << 30) + 4)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.total_bytes);
    EXPECT_EQ(header_for(c.total_bytes), c.header);
  }
  EXPECT_EQ(plain(0).size(), kWaveHeaderSize);
  EXPECT_EQ(rf64(0).size(), 80u);
}

// An extensible format chunk is written whole, 40 bytes, plain or RF64.
TEST_F(WaveSinkTest, ExtensibleHeader) {
  const WAVEFORMATEXTENSIBLE format = {
      {0xFFFE, 6, 48000, 864000, 18, 24, 22},
      {20},
      0x60F,
      {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}}};
  const std::string fmt40 = "fmt " + u32le(40) +
                            std::string(
                                "\xFE\xFF\x06\0\x80\xBB\0\0\x00\x2F\x0D\0\x12\0\x18\0\x16\0\x14\0"
                                "\x0F\x06\0\0\x03\0\0\0\0\0\x10\0\x80\0\0\xAA\0\x38\x9B\x71",
                                40);
  const struct {
    uint64_t total_bytes;
    std::string header;
  } cases[] = {
      {180, "RIFF" + u32le(180 + 60) + "WAVE" + fmt40 + "data" + u32le(180)},
      {0xFFFFFFFFu - 60,
       "RIFF" + u32le(0xFFFFFFFF) + "WAVE" + fmt40 + "data" + u32le(0xFFFFFFFFu - 60)},
      {uint64_t{18} << 28, "RF64" + u32le(0xFFFFFFFF) + "WAVE" + "ds64" + u32le(28) +
                               u32le((uint64_t{18} << 28) + 96, 8) + u32le(uint64_t{18} << 28, 8) +
                               u32le(uint64_t{1} << 28, 8) + u32le(0) + fmt40 + "data" +
                               u32le(0xFFFFFFFF)},
  };
  sink.format = format;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.total_bytes);
    EXPECT_EQ(header_for(c.total_bytes), c.header);
  }
}

// With the option, PCM and float streams beyond stereo or 16-bit
// containers, or with samples narrower than their containers, get the
// extensible chunk: the container's bits, the stream's as valid bits and
// the usual mask. Everything else stays as it is.
TEST(OutputFormat, RecastsOnlyWhereAsked) {
  const GUID kFloat = {3, 0, 0x10, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
  const struct {
    WORD tag, channels, block, bits;
    bool extensible;
    bool recast;
    DWORD mask;
  } cases[] = {
      {1, 6, 12, 16, true, true, 0x3F},
      {3, 2, 8, 32, true, true, 0x3},
      {1, 1, 3, 24, true, true, 0x4},
      {1, 3, 3, 8, true, true, 0x7},
      {1, 4, 8, 16, true, true, 0x33},
      {1, 5, 10, 16, true, true, 0x37},
      {1, 7, 14, 16, true, true, 0x70F},  // 6.1 with side speakers, as flac takes it
      {1, 8, 16, 16, true, true, 0x63F},
      {1, 9, 18, 16, true, true, 0},
      {1, 2, 8, 24, true, true, 0x3},     // padded: 24 bits in 32
      {1, 2, 8, 16, true, true, 0x3},     // 16 bits in 32
      {1, 1, 2, 12, true, true, 0x4},     // 16-bit container, 12 valid
      {1, 1, 1, 4, true, true, 0x4},      // 8-bit container, 4 valid
      {3, 1, 8, 32, true, true, 0x4},     // float in 64-bit containers
      {1, 1, 8191, 16, true, true, 0x4},  // the widest container there is
      {1, 2, 4, 16, true, false, 0},
      {1, 1, 1, 8, true, false, 0},
      {1, 6, 12, 16, false, false, 0},
      {1, 1, 2, 12, false, false, 0},
      {1, 2, 8, 24, false, false, 0},
      {2, 6, 12, 16, true, false, 0},
      {0x2000, 6, 1792, 0, true, false, 0},
      {1, 2, 7, 24, true, false, 0},     // no whole bytes per channel
      {1, 3, 8, 16, true, false, 0},     // neither
      {1, 0, 6, 24, true, false, 0},     // no channels
      {1, 2, 4, 24, true, false, 0},     // bits beyond the container
      {1, 6, 12, 0, true, false, 0},     // no bits
      {1, 1, 8192, 16, true, false, 0},  // a container past 16 bits' reach
      {0xFFFE, 6, 18, 24, true, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.tag << " " << c.channels << "ch " << c.bits << " in " << c.block);
    WAVEFORMATEXTENSIBLE stream{};
    stream.Format = {c.tag, c.channels, 48000, 48000u * c.block, c.block, c.bits, 0};
    const WAVEFORMATEXTENSIBLE out = output_format(stream, c.extensible);
    if (!c.recast) {
      EXPECT_EQ(memcmp(&out, &stream, sizeof out), 0);
      continue;
    }
    EXPECT_EQ(out.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(out.Format.cbSize, 22);
    // Channels, rate, bytes per second and block stay as the stream has them.
    EXPECT_EQ(memcmp(reinterpret_cast<const uint8_t*>(&out.Format) + 2,
                     reinterpret_cast<const uint8_t*>(&stream.Format) + 2, 12),
              0);
    EXPECT_EQ(out.Format.wBitsPerSample, 8 * c.block / c.channels);
    EXPECT_EQ(out.Samples.wValidBitsPerSample, c.bits);
    EXPECT_EQ(out.dwChannelMask, c.mask);
    GUID expected = kFloat;
    expected.Data1 = c.tag;
    EXPECT_EQ(memcmp(&out.SubFormat, &expected, sizeof expected), 0);
  }
}

// Bytes from hex digits, spaces between them ignored.
std::string bytes_of(const char* hex) {
  std::string bytes;
  for (const char* digit = hex; *digit != '\0'; ++digit) {
    if (*digit == ' ') continue;
    bytes += char(std::stoi(std::string(digit, 2), nullptr, 16));
    ++digit;
  }
  return bytes;
}

// The whole header with -e of samples in wider containers, and of streams
// whose blocks hold no container that could be declared.
TEST_F(WaveSinkTest, PaddedSamplesHeader) {
  const struct {
    WORD channels, block, bits;
    const char* format_chunk;  // the 'fmt ' body: 40 bytes, or the plain 16
  } cases[] = {
      {1, 4, 24,
       "FEFF 0100 80BB 0000 00EE 0200 0400 2000 1600 1800 0400 0000 "
       "0100 0000 0000 1000 8000 00AA 0038 9B71"},
      {2, 8, 24,
       "FEFF 0200 80BB 0000 00DC 0500 0800 2000 1600 1800 0300 0000 "
       "0100 0000 0000 1000 8000 00AA 0038 9B71"},
      {8, 32, 24,
       "FEFF 0800 80BB 0000 0070 1700 2000 2000 1600 1800 3F06 0000 "
       "0100 0000 0000 1000 8000 00AA 0038 9B71"},
      {1, 3, 20,
       "FEFF 0100 80BB 0000 8032 0200 0300 1800 1600 1400 0400 0000 "
       "0100 0000 0000 1000 8000 00AA 0038 9B71"},
      {6, 18, 20,
       "FEFF 0600 80BB 0000 002F 0D00 1200 1800 1600 1400 3F00 0000 "
       "0100 0000 0000 1000 8000 00AA 0038 9B71"},
      {1, 2, 12,
       "FEFF 0100 80BB 0000 0077 0100 0200 1000 1600 0C00 0400 0000 "
       "0100 0000 0000 1000 8000 00AA 0038 9B71"},
      {2, 4, 12,
       "FEFF 0200 80BB 0000 00EE 0200 0400 1000 1600 0C00 0300 0000 "
       "0100 0000 0000 1000 8000 00AA 0038 9B71"},
      {2, 7, 24, "0100 0200 80BB 0000 8020 0500 0700 1800"},
      {0, 6, 24, "0100 0000 80BB 0000 0065 0400 0600 1800"},
      {2, 4, 24, "0100 0200 80BB 0000 00EE 0200 0400 1800"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.channels << "ch " << c.bits << " in " << c.block);
    WAVEFORMATEXTENSIBLE stream{};
    stream.Format = {1, c.channels, 48000, 48000u * c.block, c.block, c.bits, 0};
    sink.format = output_format(stream, true);
    const std::string format_chunk = bytes_of(c.format_chunk);
    const uint64_t data = 10 * uint64_t{c.block};
    EXPECT_EQ(header_for(data), "RIFF" + u32le(20 + format_chunk.size() + data) + "WAVE" + "fmt " +
                                    u32le(format_chunk.size()) + format_chunk + "data" +
                                    u32le(data));
  }
}

TEST_F(WaveSinkTest, OutputDirectoryMissing) {
  const std::string path = dir.file("missing/out.wav");
  ConsoleCapture console;
  EXPECT_FALSE(sink.open({wide(path).c_str(), false, false}));
  EXPECT_TRUE(sink.finish());  // nothing to end
  console.finish();
  EXPECT_EQ(console.err_text, "出力ファイルが開けません。パスを確認してください。\n");
  EXPECT_EQ(console.out_text, "");
  EXPECT_EQ(read_file(path), "");
}

constexpr char kOpenError[] = "出力ファイルが開けません。パスを確認してください。\n";

// A file is cut only when it is nobody else's: not the input under any
// name, not one that another handle has open (a source a script reads),
// where the shell's own standard stream on the output is the one open let
// in. A refused file is left as it was.
TEST_F(WaveSinkTest, OnlyAFileNobodyElseHasOpenIsCut) {
  const std::string path = dir.file("out.wav");
  const std::string before = std::string("RIFF\x24\0\0\0WAVE", 12) + "an earlier output";
  const struct {
    const char* name;
    int other_open;  // flags of another open meanwhile; -1 none
    bool open_as_standard_stream;
    bool names_input;
    bool cut;
  } cases[] = {
      {"nobody's", -1, false, false, true},
      {"the input", -1, false, true, false},
      {"read elsewhere", O_RDONLY, false, false, false},
      {"written elsewhere", O_WRONLY, false, false, false},
      {"named elsewhere", O_PATH, false, false, true},
      {"the shell's standard stream", O_WRONLY | O_APPEND, true, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(before.data(), 1, before.size(), f);
    fclose(f);
    const int other = c.other_open < 0 ? -1 : open(path.c_str(), c.other_open);
    ConsoleCapture console;
    const bool opened = sink.open({wide(path).c_str(), c.open_as_standard_stream, c.names_input});
    sink.finish();
    console.finish();
    if (other >= 0) close(other);
    EXPECT_EQ(opened, c.cut);
    EXPECT_EQ(read_file(path).size(), c.cut ? kWaveHeaderSize : before.size());
    EXPECT_EQ(console.err_text, c.cut ? "" : kOpenError);
  }
}

constexpr char kNotWave[] =
    "出力ファイルが既に存在し、WAVEファイルではないため上書きできません。\n";

// An existing file is written over only when it is empty or begins as a
// WAVE file, as an earlier run's output does: anything else may be the
// user's (a script the run imported, a plugin it loaded), named as the
// output or opened by the shell as standard output (`1<>`, `>>`). A file
// refused is left as it was.
TEST_F(WaveSinkTest, OnlyAnEmptyOrWaveFileIsWrittenOver) {
  const std::string path = dir.file("out.wav");
  const struct {
    const char* name;
    std::string bytes;
    bool replaced;
  } cases[] = {
      {"empty", "", true},
      {"an earlier output", std::string("RIFF\x24\0\0\0WAVEfmt ", 16), true},
      {"an RF64 output", std::string("RF64\xFF\xFF\xFF\xFFWAVEds64", 16), true},
      {"a script", "Import(\"common.avsi\")\nTone()\n", false},
      {"an AVI file", std::string("RIFF\x24\0\0\0AVI LIST", 16), false},
      {"a WAVE header cut short", "RIFF\x24\0\0", false},
      {"a plugin",
       std::string("\x7F"
                   "ELF\2\1\1\0\0\0\0\0\0\0\0\0",
                   16),
       false},
  };
  const struct {
    const char* how;
    int flags;  // of standard output's open on the file; 0: the file is named
  } outputs[] = {{"named", 0}, {"1<>", O_RDWR}, {">>", O_WRONLY | O_APPEND}};
  for (const auto& output : outputs) {
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << c.name << ", " << output.how);
      FILE* f = fopen(path.c_str(), "wb");
      fwrite(c.bytes.data(), 1, c.bytes.size(), f);
      fclose(f);
      reporter.to_stdout = output.flags == 0;
      bool opened;
      ConsoleCapture console;
      if (output.flags == 0) {
        opened = sink.open({wide(path).c_str(), false, false});
      } else {
        const int fd = open(path.c_str(), output.flags);
        StdoutRedirect redirect(fd);
        close(fd);
        opened = sink.open({nullptr, false, false});
      }
      sink.finish();
      console.finish();
      EXPECT_EQ(opened, c.replaced);
      if (c.replaced) {
        EXPECT_NE(read_file(path), c.bytes);
      } else {
        EXPECT_EQ(read_file(path), c.bytes);
        EXPECT_EQ(console.err_text, kNotWave);
      }
    }
  }
}

// WAVE bytes would only upset a console: a terminal named as the output
// gets none.
TEST_F(WaveSinkTest, TerminalNamedAsOutputIsRefused) {
  int leader, follower;
  ASSERT_EQ(openpty(&leader, &follower, nullptr, nullptr, nullptr), 0);
  ConsoleCapture console;
  EXPECT_FALSE(sink.open({wide(ttyname(follower)).c_str(), false, false}));
  console.finish();
  EXPECT_EQ(console.err_text, kOpenError);
  fcntl(leader, F_SETFL, O_NONBLOCK);
  char byte;
  EXPECT_EQ(read(leader, &byte, 1), -1);  // nothing arrived
  EXPECT_EQ(errno, EAGAIN);
  close(follower);
  close(leader);
}

TEST_F(WaveSinkTest, StandardOutputCarriesTheHeaderOnly) {
  reporter.to_stdout = false;
  ConsoleCapture console;
  ASSERT_TRUE(sink.open({nullptr, false, false}));
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
    bool opened = sink.open({nullptr, false, false});
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
      opened = sink.open({c.to_stdout ? nullptr : L"/dev/full", false, false});
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
  ASSERT_TRUE(sink.open({wide(first).c_str(), false, false}));
  ASSERT_TRUE(sink.open({wide(second).c_str(), false, false}));
  EXPECT_TRUE(sink.finish());
  console.finish();
  EXPECT_EQ(read_file(first).size(), kWaveHeaderSize);
  EXPECT_EQ(read_file(second).size(), kWaveHeaderSize);
  EXPECT_EQ(console.out_text,
            "出力ファイルを開きました。\nデータ書き出しが終了しました。\n"
            "出力ファイルを開きました。\nデータ書き出しが終了しました。\n");
}

}  // namespace
