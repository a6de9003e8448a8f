#include "cli/main.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/faults-posix.h"
#include "report/interruption.h"
#include "tests/support/capture.h"
#include "tests/support/media_files.h"
#include "tests/support/run_state.h"

namespace {

const char kUsage64[] =
    "tonewell64  (version " TONEWELL_VERSION
    ")\n"
    "  Copyright (c) 2026 the tonewell developers\n"
    "\n"
    "Usage:\n"
    "  tonewell64 <オプション> 入力ファイル <出力ファイル>\n"
    "\n"
    "  入力ファイル    AVSファイル\n"
    "  出力ファイル    WAVEファイル(省略可)\n"
    "                  省略した場合は入力ファイルに.wavを追加したパスが使用される\n"
    "                  - を指定するとファイルに書き出さず標準出力に出力する\n"
    "\n"
    "  オプション (省略可)\n"
    "    -h --help          ヘルプメッセージを表示\n"
    "    -q --quit          メッセージ出力を抑制\n"
    "    -v --verbose       詳しいメッセージを出力\n"
    "    -d --debug         開発者用のメッセージを出力\n"
    "    -s --stream-number 0開始で出力するストリーム番号を指定す デフォルトは0\n"
    "    -e --extensible    3ch以上か16bit超のPCMと浮動小数点を拡張フォーマットで出力\n";

std::string expected_usage() {
  std::string usage = kUsage64;
  if (sizeof(void*) == 4) {
    for (size_t at = usage.find("tonewell64"); at != std::string::npos;
         at = usage.find("tonewell64", at))
      usage.replace(at, 10, "tonewell32");
  }
  return usage;
}

ProgramRun run(std::vector<std::string> args) { return run_in_process(tonewell_main, args); }

// The whole program as its entry runs it, ending the process: for runs that
// end it themselves, with the death test's console.
void run_as_process(std::vector<std::string> args) {
  exit(call_entry(tonewell_main, std::move(args)));
}

class MainTest : public testing::Test {
 protected:
  void SetUp() override {
    reset_run_state();
    input = dir.file("in.wav");
    write_wav_file(input, pcm_format(2, 44100, 16), pattern_bytes(40, 1));
  }
  void TearDown() override { reset_platform(); }

  TempDir dir;
  std::string input;
};

// Usage comes first, before any check of the other arguments.
TEST_F(MainTest, UsageTextIsExactAndEndsWithSuccess) {
  const std::vector<std::vector<std::string>> calls = {
      {}, {"-h"}, {"--help"}, {"/no/such/file", "-h"}, {"-v", "-s", "3", "--help", "-x"}};
  for (const std::vector<std::string>& args : calls) {
    ProgramRun r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected_usage());
    EXPECT_EQ(r.err, "");
  }
}

// --version answers with the name and version alone, at once, whatever
// follows; -h first gives the usage text instead.
TEST_F(MainTest, VersionIsTheNameAndVersionAlone) {
  const std::string version = std::string(sizeof(void*) == 8 ? "tonewell64" : "tonewell32") +
                              " " TONEWELL_VERSION "\n";
  const struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"--version"}, version},
      {{"--version", "-x", "/no/such/file"}, version},
      {{"-q", "/no/such/file", "--version"}, version},
      {{"-h", "--version"}, expected_usage()},
  };
  for (const auto& c : cases) {
    ProgramRun r = run(c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
  }
}

// Each case: the arguments ("IN" is an existing input) and the one line on
// standard error with which the program ends at status 1.
struct RejectCase {
  std::vector<std::string> args;
  const char* message;
};

TEST_F(MainTest, CommandLineErrorsEndWithStatusOne) {
  const char kDash[] = "出力ファイルと - オプションは同時に指定出来ません。\n";
  const RejectCase cases[] = {
      {{"-", "IN"}, kDash},
      {{"IN", "out.wav", "-"}, kDash},
      {{"IN", "-", "out.wav"}, "引数が多すぎます。(out.wav)\n"},
      {{"IN", "a.wav", "b.wav"}, "引数が多すぎます。(b.wav)\n"},
      {{"IN", "-s"}, "--stream-number(-s)オプションの値を指定してください。\n"},
      {{"IN", "--stream-number"}, "--stream-number(-s)オプションの値を指定してください。\n"},
      {{"IN", "-x"}, "-x オプションは使用できません。\n"},
      {{"IN", "-help"}, "-help オプションは使用できません。\n"},
      {{"IN", "--h"}, "--h オプションは使用できません。\n"},
      {{"IN", "--"}, "-- オプションは使用できません。\n"},
      {{"IN", "-vv"}, "-vv オプションは使用できません。\n"},
      {{"IN", "--verbose=1"}, "--verbose=1 オプションは使用できません。\n"},
      {{"IN", "-extensible"}, "-extensible オプションは使用できません。\n"},
      {{"IN", "-version"}, "-version オプションは使用できません。\n"},
      {{"IN", "--vers"}, "--vers オプションは使用できません。\n"},
      {{"-x", "-h"}, "-x オプションは使用できません。\n"},
      {{"/no/such/file", "-y"}, "-y オプションは使用できません。\n"},
      {{"-v", "-s", "1"}, "入力ファイルを指定してください。\n"},
      {{"/no/such/file"}, "入力ファイルのパスを確認してください。\n"},
      {{"/no/such/file", "-"}, "入力ファイルのパスを確認してください。\n"},
  };
  for (const RejectCase& c : cases) {
    std::vector<std::string> args = c.args;
    for (std::string& arg : args)
      if (arg == "IN") arg = input;
    ProgramRun r = run(args);
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.out, "");
  }
}

struct AcceptCase {
  std::vector<std::string> args;
  const char* output_path;  // null: none given
  bool data_to_stdout;
  int32_t level;
  int32_t stream_number;
  bool extensible = false;
};

TEST_F(MainTest, SettingsFollowTheArgumentsInOrder) {
  const AcceptCase cases[] = {
      {{"IN"}, nullptr, false, 1, 0},
      {{"IN", "out.wav"}, "out.wav", false, 1, 0},
      {{"IN", "-"}, nullptr, true, 1, 0},
      {{"IN", "-", "-"}, nullptr, true, 1, 0},
      {{"-q", "IN"}, nullptr, false, 0, 0},
      {{"IN", "-q", "-v"}, nullptr, false, 2, 0},
      {{"IN", "-v", "-q"}, nullptr, false, 2, 0},
      {{"IN", "-d", "-q"}, nullptr, false, 3, 0},
      {{"IN", "-q", "-d"}, nullptr, false, 3, 0},
      {{"IN", "--quit", "--verbose"}, nullptr, false, 2, 0},
      {{"IN", "--debug", "--verbose"}, nullptr, false, 3, 0},
      {{"IN", "-s", "-v"}, nullptr, false, 1, 0},
      {{"IN", "-s", "12abc"}, nullptr, false, 1, 12},
      {{"IN", "-s", "010"}, nullptr, false, 1, 10},  // decimal, never octal
      {{"IN", "-s", "0x1F"}, nullptr, false, 1, 0},  // nor hexadecimal
      {{"IN", "--stream-number", " -3"}, nullptr, false, 1, -3},
      {{"IN", "-s", "+7"}, nullptr, false, 1, 7},
      {{"IN", "-s", "abc"}, nullptr, false, 1, 0},
      {{"-s", "2", "IN", "-s", "1"}, nullptr, false, 1, 1},
      {{"IN", "-s", "99999999999"}, nullptr, false, 1, INT32_MAX},
      {{"IN", "-s", "-99999999999"}, nullptr, false, 1, INT32_MIN},
      {{"IN", "-s", "-"}, nullptr, false, 1, 0},
      {{"IN", "-e"}, nullptr, false, 1, 0, true},
      {{"--extensible", "IN", "-", "-e"}, nullptr, true, 1, 0, true},
      {{"IN", "-s", "-e"}, nullptr, false, 1, 0, false},
  };
  for (const AcceptCase& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "tonewell");
    std::vector<char*> argv;
    std::vector<std::wstring> wide_args;
    std::vector<wchar_t*> wide_argv;
    for (std::string& arg : args) {
      if (arg == "IN") arg = input;
      argv.push_back(arg.data());
      wide_args.push_back(wide(arg));
    }
    for (std::wstring& arg : wide_args) wide_argv.push_back(arg.data());
    RunSettings settings;
    int status = -1;
    ASSERT_TRUE(parse_command_line(static_cast<int>(argv.size()), argv.data(), wide_argv.data(),
                                   &settings, &status))
        << args[1];
    EXPECT_EQ(settings.input_path, input);
    EXPECT_EQ(settings.wide_input_path, wide(input));
    if (c.output_path)
      EXPECT_STREQ(settings.output_path, c.output_path);
    else
      EXPECT_EQ(settings.output_path, nullptr);
    EXPECT_EQ(settings.data_to_stdout, c.data_to_stdout);
    EXPECT_EQ(settings.level, c.level);
    EXPECT_EQ(settings.stream_number, c.stream_number);
    EXPECT_EQ(settings.extensible, c.extensible);
  }
}

const char kLevelOneRun[] =
    "入力ファイルを開きました。\n"
    "オーディオストリームを開きました。\n"
    "オーディオストリーム情報を取得しました。\n"
    "オーディオストリームのWaveフォーマットを取得しました。\n"
    "出力ファイルを開きました。\n"
    "データ書き出しが終了しました。\n"
    "オーディオストリームを閉じました。\n"
    "入力ファイルを閉じました。\n";

TEST_F(MainTest, InputAloneWritesNextToItWithWavAppended) {
  ProgramRun r = run({input});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kLevelOneRun);
  EXPECT_EQ(r.err, "");
  std::string written = read_file(input + ".wav");
  ASSERT_EQ(written.size(), 84u);
  Bytes data = pattern_bytes(40, 1);
  EXPECT_EQ(written.substr(44), std::string(data.begin(), data.end()));
}

TEST_F(MainTest, VerboseRunReportsSettingsAndFacts) {
  std::string output = dir.file("named.wav");
  ProgramRun r = run({"-v", input, output});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "入力ファイル: " + input + "\n" + "出力ファイル: " + output + "\n" +
                       "対象ストリーム番号: 0\n"
                       "入力ファイルを開きました。\n"
                       "オーディオストリームを開きました。\n"
                       "オーディオストリーム情報を取得しました。\n"
                       "サンプルのサイズ: 4 Byte\n"
                       "総サンプル数: 10\n"
                       "オーディオストリームのWaveフォーマットを取得しました。\n"
                       "チャンネル数: 2\n"
                       "ビット数: 16\n"
                       "サンプリングレート: 44100\n"
                       "出力ファイルを開きました。\n"
                       "データ書き出しが終了しました。\n"
                       "出力ファイルを閉じました。\n"
                       "オーディオストリームを閉じました。\n"
                       "入力ファイルを閉じました。\n");
  EXPECT_EQ(read_file(output).size(), 84u);
}

// A name goes from the command line to the file system byte for byte, also
// where it is not UTF-8, and the settings print it as given.
TEST_F(MainTest, AnyFileNameConverts) {
  for (const char* name : {"音声_한국어.wav", "\xff\xfe-\xe9.wav", "\xed\xa0\x80\xc0\x80.wav"}) {
    const std::string named = dir.file(name);
    write_wav_file(named, pcm_format(2, 44100, 16), pattern_bytes(40, 1));
    ProgramRun r = run({"-v", named});
    EXPECT_EQ(r.status, 0) << name;
    EXPECT_EQ(r.out.substr(0, r.out.find("対象")),
              "入力ファイル: " + named + "\n出力ファイル: " + named + ".wav\n");
    EXPECT_EQ(read_file(named + ".wav").size(), 84u) << name;
  }
}

// Standard output carries the WAVE bytes alone; the settings line names it.
TEST_F(MainTest, DashSendsDataToStandardOutput) {
  ProgramRun r = run({"-v", input, "-"});
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(r.out.size(), 84u);
  EXPECT_EQ(r.out.substr(0, 4), "RIFF");
  EXPECT_NE(r.err.find("出力ファイル: 標準出力\n"), std::string::npos);
  EXPECT_NE(r.err.find("出力先を標準出力に設定しました。\n"), std::string::npos);
}

TEST_F(MainTest, QuietRunPrintsNothing) {
  ProgramRun r = run({"-q", input, dir.file("out.wav")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

// The stream goes before the file, and the file before COM.
TEST_F(MainTest, ReleasesStreamThenFileThenCom) {
  run({"-q", input, dir.file("out.wav")});
  std::vector<std::string> order;
  for (const std::string& call : platform_log.calls)
    if (call == "AVIStreamRelease" || call == "AVIFileRelease" || call == "CoUninitialize")
      order.push_back(call);
  EXPECT_EQ(order,
            (std::vector<std::string>{"AVIStreamRelease", "AVIFileRelease", "CoUninitialize"}));
}

TEST_F(MainTest, FailedConversionEndsWithStatusOne) {
  std::string movie = dir.file("movie.mkv");
  FILE* f = fopen(movie.c_str(), "w");
  fputs("not a RIFF file\n", f);
  fclose(f);
  ProgramRun r = run({movie});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "入力ファイルが開けません。指定されたファイルタイプを持つハンドラが、レジストリに見つか"
            "りませんでした。\n");
  EXPECT_EQ(r.out, "");

  r = run({"-s", "1", input, dir.file("out.wav")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "オーディオストリームが開けません。指定されたストリームは存在しません。\n");
  EXPECT_EQ(r.out,
            "入力ファイルを開きました。\n"
            "入力ファイルを閉じました。\n");
}

// Interrupted during the transfer: one message, the whole teardown, and the
// failure status.
TEST_F(MainTest, InterruptEndsTheRunWithStatusOne) {
  platform_faults.on_read = [](int) { interruption.requested = true; };
  ProgramRun r = run({"-q", input, dir.file("out.wav")});
  const std::vector<std::string> calls = platform_log.calls;
  reset_run_state();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "処理を中断しました。\n");
  EXPECT_EQ(calls,
            (std::vector<std::string>{"CoInitializeEx", "AVIFileOpenA", "IAVIFile::QueryInterface",
                                      "AVIFileGetStream", "AVIStreamRelease", "AVIFileRelease",
                                      "CoUninitialize"}));
}

// Ctrl+C while the script is inside a long read: the writer, idle, says so
// at once, and no read follows the one under way. (A shell starts its
// background jobs with SIGINT ignored, which the Linux layer then leaves
// ignored, as Windows does: the tests that raise it take it back first.)
TEST_F(MainTest, InterruptIsSeenWhileAReadTakesLong) {
  write_wav_file(input, pcm_format(1, 8000, 8), pattern_bytes(5 << 20, 2));
  const auto previous = signal(SIGINT, SIG_DFL);
  static bool seen_during_read;
  seen_during_read = false;
  platform_faults.on_read = [](int call) {
    if (call != 1) return;
    raise(SIGINT);
    for (int i = 0; i < 1000 && !interruption.reported; ++i) Sleep(10);
    seen_during_read = interruption.reported;
  };
  ProgramRun r = run({"-q", input, dir.file("out.wav")});
  signal(SIGINT, previous);
  const size_t reads = platform_log.reads.size();
  reset_run_state();
  EXPECT_TRUE(seen_during_read);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "処理を中断しました。\n");
  EXPECT_EQ(reads, 2u);
}

// A death test's process runs the test again from the start and is ended
// past every destructor, so it works in the folder of the test that started
// it, which that test names in the environment and removes.
class MainDeathTest : public testing::Test {
 protected:
  void SetUp() override {
    reset_run_state();
    if (getenv(kFolderVariable) == nullptr) {
      own_folder.emplace();
      setenv(kFolderVariable, own_folder->path.c_str(), 1);
    }
    folder = getenv(kFolderVariable);
  }
  void TearDown() override {
    if (own_folder) unsetenv(kFolderVariable);
    reset_platform();
  }

  static constexpr char kFolderVariable[] = "TONEWELL_DEATH_TEST_FOLDER";
  std::optional<TempDir> own_folder;
  std::string folder;
};

// Each in a process of its own, which the run ends: its status and standard
// error are the death test's to check. An atexit routine shows whether the C
// runtime's exit ran; a process still there after a minute has hung.
TEST_F(MainDeathTest, RunsThatCannotWaitEndTheProcessAtOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string input = folder + "/in.wav", output = folder + "/out.wav";
  write_wav_file(input, pcm_format(1, 8000, 8), pattern_bytes(5 << 20, 3));
  auto own_process = [] {
    signal(SIGINT, SIG_DFL);
    alarm(60);
    atexit([] { fputs("exit ran\n", stderr); });
  };
  // Asked twice while the handler still opens the script: no output exists.
  auto asked_twice_in_the_open = [&] {
    own_process();
    platform_faults.on_open = [] {
      raise(SIGINT);
      raise(SIGINT);
      Sleep(20000);  // far longer than the routines take; a run that waits for it fails
    };
    run_as_process({"-v", input, output});
  };
  EXPECT_EXIT(asked_twice_in_the_open(), testing::ExitedWithCode(1), "^処理を中断しました。\n$");
  EXPECT_FALSE(PathFileExistsA(output.c_str()));
  // The writer stuck in a pipe that nobody drains (interrupted once the pipe
  // is full) is left behind, and the stream it holds is not flushed.
  static int never_read[2];
  auto writer_stuck = [&] {
    own_process();
    if (pipe(never_read) != 0 || dup2(never_read[1], 1) != 1) _exit(3);
    platform_faults.on_read = [](int call) {
      int held = 0;
      while (call == 1 && ioctl(never_read[0], FIONREAD, &held) == 0 &&
             held < fcntl(never_read[0], F_GETPIPE_SZ))
        Sleep(1);
      if (call == 1) raise(SIGINT);
    };
    run_as_process({"-q", input, "-"});
  };
  EXPECT_EXIT(writer_stuck(), testing::ExitedWithCode(1), "^処理を中断しました。\n$");
}

// Faults as a script handler or one of its plugins makes them, without
// end or in an instant. UBSan would stop the last two before they fault.
volatile bool recursing = true;  // never false, which the compiler cannot know
int recurse_without_end(int depth) {
  volatile char frame[256];
  frame[0] = static_cast<char>(depth);
  return recursing ? recurse_without_end(depth + 1) + frame[0] : 0;
}
__attribute__((no_sanitize("undefined"))) void write_through_null() {
  *static_cast<volatile int*>(nullptr) = 1;
}
__attribute__((no_sanitize("undefined"))) void divide_by_zero() {
  volatile int dividend = 7, zero = 0;  // both unknown, so that a real division runs
  volatile int quotient = dividend / zero;
  (void)quotient;
}

// A fault anywhere ends the run with one message and status 1, on the
// thread's own stack or, for a stack overflow, on the one kept for it; what
// was printed before stays. With TONEWELL_RAW_CRASH the fault is left as it
// is, for a core dump.
TEST_F(MainDeathTest, AFaultAnywhereIsReported) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string input = folder + "/in.wav", output = folder + "/out.wav";
  write_wav_file(input, pcm_format(1, 8000, 8), pattern_bytes(5 << 20, 3));
  static void (*fault)() = nullptr;
  const struct {
    const char* name;
    void (*fault)();
    bool in_a_read;
  } cases[] = {
      {"a null write in the open", write_through_null, false},
      {"a stack overflow in the open", [] { recurse_without_end(0); }, false},
      {"an illegal instruction in the open", [] { __builtin_trap(); }, false},
      {"a division by zero in the open", divide_by_zero, false},
      {"a null write in the second read", write_through_null, true},
  };
  const std::string crashed = "予期しない例外が発生したため処理を中止しました。\n";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fault = c.fault;
    auto crash = [&] {
      alarm(60);
      dup2(STDERR_FILENO, STDOUT_FILENO);  // the messages before it, in their order
      if (c.in_a_read) {
        platform_faults.on_read = [](int call) {
          if (call == 1) fault();
        };
      } else {
        platform_faults.on_open = [] { fault(); };
      }
      run_as_process({"-v", input, output});
    };
    const std::string before_the_fault =
        c.in_a_read ? "出力ファイルを開きました。\n" : "対象ストリーム番号: 0\n";
    EXPECT_EXIT(crash(), testing::ExitedWithCode(1), before_the_fault + crashed + "$");
  }
  auto crash_raw = [&] {
    setenv("TONEWELL_RAW_CRASH", "1", 1);
    signal(SIGSEGV, SIG_DFL);
    platform_faults.on_open = write_through_null;
    run_as_process({"-q", input, output});
  };
  EXPECT_EXIT(crash_raw(), testing::KilledBySignal(SIGSEGV), "");
}

// A script that failed ends the run with status 1 at every level, before any
// output exists; standard output gets nothing when it was to carry the data.
TEST_F(MainTest, ScriptErrorEndsWithStatusOne) {
  const char kError[] =
      "スクリプトでエラーが発生しました。\nScript error: no function named 'Foo'\n";
  const std::string output = dir.file("out.wav");
  const struct {
    std::vector<std::string> args;
    std::string out;
    std::string err;
  } cases[] = {
      {{input, output}, "入力ファイルを開きました。\n入力ファイルを閉じました。\n", kError},
      {{"-q", input, output}, "", kError},
      {{input, "-"},
       "",
       std::string("入力ファイルを開きました。\n") + kError + "入力ファイルを閉じました。\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    reset_platform();
    platform_faults.clip_info = true;
    platform_faults.script_error = "Script error: no function named 'Foo'";
    ProgramRun r = run(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_FALSE(PathFileExistsA(output.c_str()));
    EXPECT_EQ(platform_log.calls.back(), "CoUninitialize");
  }
}

// A COM that cannot start (or was started already: S_FALSE) stops the run
// before the input is touched, and is not uninitialised.
TEST_F(MainTest, ComInitialisationFailure) {
  for (HRESULT result : {S_FALSE, static_cast<HRESULT>(0x8001010Eu)}) {
    reset_platform();
    platform_faults.coinit_result = result;
    ProgramRun r = run({input});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "COMの初期化に失敗しました。\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(platform_log.calls, std::vector<std::string>{"CoInitializeEx"});
  }
}

}  // namespace
