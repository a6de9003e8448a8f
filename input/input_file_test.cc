#include "input/input_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/faults-posix.h"
#include "tests/support/capture.h"
#include "tests/support/media_files.h"

namespace {

constexpr HRESULT kOtherError = static_cast<HRESULT>(0x80004005u);  // E_FAIL

class InputFileTest : public testing::Test {
 protected:
  void SetUp() override {
    reset_platform();
    input = dir.file("in.wav");
    write_wav_file(input, pcm_format(2, 48000, 16), pattern_bytes(40, 7));
  }
  void TearDown() override { reset_platform(); }

  // Opens the input and converts stream `number` at `level`, capturing the
  // console; returns convert_stream's result (false when open failed).
  bool convert(int32_t number = 0, int32_t level = 1, bool extensible = false) {
    Reporter reporter{level, true};
    ConsoleCapture console;
    bool converted = false;
    {
      InputFile file(&reporter);
      if (file.open(wide(input).c_str())) {
        converted = file.convert_stream(number, {wide(output()).c_str(), false, false}, extensible);
      }
    }
    console.finish();
    out = console.out_text;
    err = console.err_text;
    return converted;
  }

  std::string output() const { return dir.file("out.wav"); }
  bool output_exists() const { return PathFileExistsA(output().c_str()); }

  TempDir dir;
  std::string input;
  std::string out;
  std::string err;
};

TEST_F(InputFileTest, OpenErrorsMapToTheirMessages) {
  const struct {
    HRESULT result;
    const char* message;
  } cases[] = {
      {REGDB_E_CLASSNOTREG,
       "入力ファイルが開けません。指定されたファイルタイプを持つハンドラが、レジストリに見つかりま"
       "せんでした。\n"},
      {AVIERR_BADFORMAT,
       "入力ファイルが開けません。ファイルが破損しているか、フォーマットが不明です。\n"},
      {AVIERR_MEMORY, "入力ファイルが開けません。メモリが足りなくなりました。\n"},
      {AVIERR_FILEREAD, "入力ファイルが開けません。読み込み中にディスクエラーが発生しました。\n"},
      {AVIERR_FILEOPEN,
       "入力ファイルが開けません。ファイルを開く際にディスクエラーが発生しました。\n"},
      {AVIERR_NODATA, "入力ファイルが開けません。不明なエラーが発生しました。\n"},
      {kOtherError, "入力ファイルが開けません。不明なエラーが発生しました。\n"},
  };
  for (const auto& c : cases) {
    platform_faults.open_result = c.result;
    EXPECT_FALSE(convert());
    EXPECT_EQ(err, c.message);
    EXPECT_EQ(out, "");  // no file held, so none is closed
  }
}

// The layer's own answers for files it cannot take, end to end.
TEST_F(InputFileTest, RealOpenFailures) {
  input = dir.file("missing.avs");
  EXPECT_FALSE(convert());
  EXPECT_EQ(err, "入力ファイルが開けません。ファイルを開く際にディスクエラーが発生しました。\n");

  input = dir.file("movie.mkv");
  FILE* f = fopen(input.c_str(), "w");
  fputs("not a RIFF file\n", f);
  fclose(f);
  EXPECT_FALSE(convert());
  EXPECT_EQ(err,
            "入力ファイルが開けません。指定されたファイルタイプを持つハンドラが、レジストリに見つか"
            "りませんでした。\n");
  EXPECT_FALSE(output_exists());
}

TEST_F(InputFileTest, StreamErrorsMapToTheirMessages) {
  const struct {
    HRESULT result;
    const char* message;
  } cases[] = {
      {AVIERR_NODATA, "オーディオストリームが開けません。指定されたストリームは存在しません。\n"},
      {AVIERR_MEMORY, "オーディオストリームが開けません。メモリが足りなくなりました。\n"},
      {AVIERR_BADPARAM, "オーディオストリームが開けません。不明なエラーが発生しました。\n"},
  };
  for (const auto& c : cases) {
    platform_faults.get_stream_result = c.result;
    EXPECT_FALSE(convert());
    EXPECT_EQ(err, c.message);
    EXPECT_EQ(out, "入力ファイルを開きました。\n入力ファイルを閉じました。\n");
  }
}

// A failure while reading the facts still releases the stream and the
// file, each with its message, and creates no output.
TEST_F(InputFileTest, FactFailuresReleaseStreamAndFile) {
  const char kFormat[] = "オーディオストリームのWaveフォーマット取得に失敗しました。\n";
  const struct {
    const char* name;
    void (*inject)();
    const char* message;
    const char* printed_before_release;
  } cases[] = {
      {"info", [] { platform_faults.info_result = AVIERR_MEMORY; },
       "オーディオストリーム情報の取得に失敗しました。\n", ""},
      {"format size", [] { platform_faults.format_size_result = kOtherError; }, kFormat,
       "オーディオストリーム情報を取得しました。\n"},
      {"format read", [] { platform_faults.format_read_result = AVIERR_FILEREAD; }, kFormat,
       "オーディオストリーム情報を取得しました。\n"},
      {"format of 19 bytes", [] { platform_faults.format_size = 19; }, kFormat,
       "オーディオストリーム情報を取得しました。\n"},
      {"negative format size", [] { platform_faults.format_size = -2; }, kFormat,
       "オーディオストリーム情報を取得しました。\n"},
  };
  for (const auto& c : cases) {
    reset_platform();
    c.inject();
    EXPECT_FALSE(convert()) << c.name;
    EXPECT_EQ(err, c.message) << c.name;
    EXPECT_EQ(out, std::string("入力ファイルを開きました。\n"
                               "オーディオストリームを開きました。\n") +
                       c.printed_before_release +
                       "オーディオストリームを閉じました。\n"
                       "入力ファイルを閉じました。\n")
        << c.name;
    EXPECT_FALSE(output_exists()) << c.name;
  }
}

// Formats whose header would not describe the data are refused before any
// output exists: larger than a WAVEFORMATEX yet not a whole extensible
// format, or tagged extensible without the fields that make it one.
TEST_F(InputFileTest, FormatsThatCannotBeCarriedAreRefused) {
  auto tagged = [](Bytes format, uint16_t tag, uint16_t cb_size) {
    format[0] = uint8_t(tag);
    format[1] = uint8_t(tag >> 8);
    if (format.size() >= 18) {
      format[16] = uint8_t(cb_size);
      format[17] = uint8_t(cb_size >> 8);
    }
    return format;
  };
  Bytes twenty = pcm_format(2, 48000, 16, 18);
  twenty.insert(twenty.end(), {0x5A, 0xA5});
  const struct {
    const char* name;
    Bytes format;
  } cases[] = {
      {"20 bytes, cbSize 2", tagged(twenty, 1, 2)},
      {"extensible tag in 16 bytes", tagged(pcm_format(2, 48000, 16), 0xFFFE, 0)},
      {"extensible tag in 18 bytes", tagged(pcm_format(2, 48000, 16, 18), 0xFFFE, 0)},
      {"40 bytes tagged PCM", tagged(pcm_format(6, 48000, 24, 40), 1, 22)},
      {"40 bytes extensible, cbSize 20", tagged(pcm_format(6, 48000, 24, 40), 0xFFFE, 20)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_wav_file(input, c.format, pattern_bytes(180, 2));
    EXPECT_FALSE(convert());
    EXPECT_EQ(err, "オーディオストリームのWaveフォーマット取得に失敗しました。\n");
    EXPECT_FALSE(output_exists());
  }
}

// An extensible format reaches the header whole: its mask and SubFormat
// are what the data means.
TEST_F(InputFileTest, ExtensibleFormatPassesThrough) {
  Bytes format = pcm_format(6, 48000, 24, 40);
  format[20] = 0x0F;  // channel mask 0x60F: 5.1 on side speakers
  format[21] = 0x06;
  const Bytes data = pattern_bytes(180, 2);
  write_wav_file(input, format, data);
  for (bool extensible : {false, true}) {
    ASSERT_TRUE(convert(0, 1, extensible)) << err;
    const std::string written = read_file(output());
    ASSERT_EQ(written.size(), 68u + data.size());
    EXPECT_EQ(written.substr(12, 8), std::string("fmt \x28\0\0\0", 8));
    EXPECT_EQ(written.substr(20, 40), std::string(format.begin(), format.end()));
    EXPECT_EQ(written.substr(60, 8), std::string("data\xB4\0\0\0", 8));
    EXPECT_EQ(written.substr(68), std::string(data.begin(), data.end()));
  }
}

// A format shorter than the record leaves the missing fields zero.
TEST_F(InputFileTest, ShortFormatReadsAsZero) {
  write_wav_file(input, pcm_format(2, 48000, 16, 18), pattern_bytes(40, 7));
  platform_faults.format_size = 14;  // stops before wBitsPerSample
  EXPECT_TRUE(convert(0, 2));
  EXPECT_NE(out.find("チャンネル数: 2\nビット数: 0\nサンプリングレート: 48000\n"),
            std::string::npos);
  std::string written = read_file(output());
  ASSERT_EQ(written.size(), 84u);
  EXPECT_EQ(written[34], 0);  // wBitsPerSample in the header
  EXPECT_EQ(written[35], 0);
}

const char kScriptFailed[] = "スクリプトでエラーが発生しました。\n";

// A script handler's text follows the program's message, a line at a time,
// its bytes untouched; the interface goes before the file, and no stream is
// opened.
TEST_F(InputFileTest, ScriptErrorIsReportedLineByLine) {
  const struct {
    const char* name;
    const char* text;
    const char* printed;
  } cases[] = {
      {"one line without its end", "Script error: no function named 'Foo'",
       "Script error: no function named 'Foo'\n"},
      {"one line with its end", "Script error\n", "Script error\n"},
      {"lines ended by CR LF and LF", "a\r\n(C:\\x.avs, line 2)\r\nc\nd",
       "a\n(C:\\x.avs, line 2)\nc\nd\n"},
      {"empty lines kept", "a\n\n\nb\n", "a\n\n\nb\n"},
      {"a CR inside a line stays", "a\rb", "a\rb\n"},
      {"a CR at the end ends the line", "a\r", "a\n"},
      {"format directives are text", "100% %s %n %d%%", "100% %s %n %d%%\n"},
      {"Shift_JIS with 0x5C trail bytes", "\x83\x5C\x95\x5C\x94\x5C", "\x83\x5C\x95\x5C\x94\x5C\n"},
      {"no text", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset_platform();
    platform_faults.clip_info = true;
    platform_faults.script_error = c.text;
    EXPECT_FALSE(convert());
    EXPECT_EQ(err, std::string(kScriptFailed) + c.printed);
    EXPECT_EQ(out, "入力ファイルを開きました。\n入力ファイルを閉じました。\n");
    EXPECT_EQ(platform_log.calls,
              (std::vector<std::string>{"AVIFileOpenA", "IAVIFile::QueryInterface",
                                        "IAvisynthClipInfo::GetError", "IAvisynthClipInfo::Release",
                                        "AVIFileRelease"}));
    EXPECT_EQ(platform_log.live_files, 0);
    EXPECT_FALSE(output_exists());
  }
}

// Without the interface (the Linux layer's own handlers) or without an error,
// the run goes on as it always did, and nothing is left referenced.
TEST_F(InputFileTest, NoScriptErrorConvertsAsBefore) {
  for (bool clip_info : {false, true}) {
    SCOPED_TRACE(clip_info);
    reset_platform();
    platform_faults.clip_info = clip_info;
    EXPECT_TRUE(convert());
    EXPECT_EQ(err, "");
    const std::vector<std::string>& calls = platform_log.calls;
    std::vector<std::string> before_stream(
        calls.begin(), std::find(calls.begin(), calls.end(), "AVIFileGetStream"));
    std::vector<std::string> expected = {"AVIFileOpenA", "IAVIFile::QueryInterface"};
    if (clip_info)
      expected.insert(expected.end(),
                      {"IAvisynthClipInfo::GetError", "IAvisynthClipInfo::Release"});
    EXPECT_EQ(before_stream, expected);
    EXPECT_EQ(platform_log.live_files, 0);
  }
}

// After a failed read a script handler may say why (a filter failed while
// it delivered audio): its text follows the read's message, in the form of
// a script error at open. A handler without the interface or without a
// text leaves the run as it was.
TEST_F(InputFileTest, ScriptHandlerTellsWhyAReadFailed) {
  const char kUnknown[] =
      "オーディオストリーム読み込みに失敗しました。不明なエラーが発生しました。\n";
  const struct {
    const char* name;
    bool clip_info;
    const char* text;
    std::string printed;
  } cases[] = {
      {"the filter's error", true, "WavSource: cannot read file\r\n(C:\\clips\\x.avs, line 1)",
       std::string(kScriptFailed) + "WavSource: cannot read file\n(C:\\clips\\x.avs, line 1)\n"},
      {"no text", true, nullptr, ""},
      {"no interface", false, "unasked", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset_platform();
    platform_faults.clip_info = c.clip_info;
    platform_faults.read_error_text = c.text;
    platform_faults.read_fail_call = 0;
    platform_faults.read_fail_result = kOtherError;
    EXPECT_FALSE(convert());
    EXPECT_EQ(err, kUnknown + c.printed);
    // Asked once more after the failure, and let go.
    std::vector<std::string> expected = {"IAVIFile::QueryInterface"};
    if (c.clip_info)
      expected.insert(expected.end(),
                      {"IAvisynthClipInfo::GetError", "IAvisynthClipInfo::Release"});
    expected.insert(expected.end(), {"AVIStreamRelease", "AVIFileRelease"});
    const auto stream_opened =
        std::find(platform_log.calls.begin(), platform_log.calls.end(), "AVIFileGetStream");
    ASSERT_NE(stream_opened, platform_log.calls.end());
    EXPECT_EQ(std::vector<std::string>(stream_opened + 1, platform_log.calls.end()), expected);
    EXPECT_EQ(platform_log.live_files, 0);
  }
}

// "auds" with n picks the n-th audio stream, skipping video.
TEST_F(InputFileTest, SelectsTheNumberedAudioStream) {
  AviTrack video;
  video.video = true;
  video.format = Bytes(40, 0);
  video.data = pattern_bytes(3000, 9);
  AviTrack first{false, pcm_format(2, 44100, 16), pattern_bytes(4000, 1)};
  AviTrack second{false, pcm_format(1, 22050, 8), pattern_bytes(1001, 2)};
  input = dir.file("movie.avi");
  write_avi_file(input, {video, first, second});

  for (int32_t number : {0, 1}) {
    ASSERT_TRUE(convert(number, 2)) << err;
    const Bytes& expected = number == 0 ? first.data : second.data;
    std::string written = read_file(output());
    EXPECT_EQ(written.substr(44), std::string(expected.begin(), expected.end()));
    EXPECT_NE(out.find(number == 0 ? "チャンネル数: 2\n" : "チャンネル数: 1\n"), std::string::npos);
  }
  EXPECT_FALSE(convert(2));
  EXPECT_EQ(err, "オーディオストリームが開けません。指定されたストリームは存在しません。\n");
  EXPECT_FALSE(convert(-1));  // the AVI handler calls a negative number a bad parameter
  EXPECT_EQ(err, "オーディオストリームが開けません。不明なエラーが発生しました。\n");
}

}  // namespace
