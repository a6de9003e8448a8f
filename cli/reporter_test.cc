#include "cli/reporter.h"

#include <gtest/gtest.h>

#include "testing/capture.h"

namespace {

struct Printed {
  std::string out;
  std::string err;
};

// Calls each of the four operations once, with a line naming it.
Printed print_all(const Reporter& reporter) {
  ConsoleCapture console;
  reporter.debug("debug %d\n", 3);
  reporter.verbose("verbose %s\n", "2");
  reporter.info("info\n");
  reporter.error("error\n");
  console.finish();
  return {console.out_text, console.err_text};
}

struct LevelCase {
  int32_t level;
  const char* shown;  // what the non-error operations print, in order
};

const LevelCase kLevels[] = {
    {0, ""},
    {1, "info\n"},
    {2, "verbose 2\ninfo\n"},
    {3, "debug 3\nverbose 2\ninfo\n"},
};

TEST(ReporterTest, LevelsToStandardOutput) {
  for (const LevelCase& c : kLevels) {
    Printed printed = print_all(Reporter{c.level, true});
    EXPECT_EQ(printed.out, c.shown) << "level " << c.level;
    EXPECT_EQ(printed.err, "error\n") << "level " << c.level;
  }
}

// With the WAVE data on standard output, every message goes to standard
// error and standard output stays untouched.
TEST(ReporterTest, LevelsToStandardError) {
  for (const LevelCase& c : kLevels) {
    Printed printed = print_all(Reporter{c.level, false});
    EXPECT_EQ(printed.out, "") << "level " << c.level;
    EXPECT_EQ(printed.err, std::string(c.shown) + "error\n") << "level " << c.level;
  }
}

// A taken stream (open on a file of the run) gets nothing: what was meant
// for it goes to the other stream while that one is free, else nowhere.
TEST(ReporterTest, TakenStreamsGiveWay) {
  struct Case {
    bool to_stdout, stdout_taken, stderr_taken;
    const char* out;
    const char* err;
  };
  const Case cases[] = {
      {true, false, true, "info\nerror\n", ""},   // out.wav 2> out.wav
      {true, true, false, "", "info\nerror\n"},   // out.wav > out.wav
      {true, true, true, "", ""},                 // out.wav > out.wav 2>&1
      {false, true, false, "", "info\nerror\n"},  // - > out.wav
      {false, true, true, "", ""},                // - > out.wav 2>&1
  };
  for (const Case& c : cases) {
    Reporter reporter{1, c.to_stdout};
    reporter.stdout_taken = c.stdout_taken;
    reporter.stderr_taken = c.stderr_taken;
    Printed printed = print_all(reporter);
    EXPECT_EQ(printed.out, c.out) << c.to_stdout << c.stdout_taken << c.stderr_taken;
    EXPECT_EQ(printed.err, c.err) << c.to_stdout << c.stdout_taken << c.stderr_taken;
  }
}

// Texts go out as they are: no prefix, no added line end, bytes unchanged.
TEST(ReporterTest, PrintsTextVerbatim) {
  ConsoleCapture console;
  Reporter{1, true}.info("%s|%d", "a\\b", -5);
  console.finish();
  EXPECT_EQ(console.out_text, "a\\b|-5");
}

constexpr uint64_t kMiB = 1 << 20;

TEST(ReporterTest, ProgressText) {
  struct Case {
    uint64_t done, total, elapsed_ms;
    const char* text;
  };
  const Case cases[] = {
      {0, 64 * kMiB, 300, "書き出し中:   0% (0.0 / 64.0 MiB) 0.0 MiB/秒 残り --:--"},
      {16 * kMiB, 64 * kMiB, 2000, "書き出し中:  25% (16.0 / 64.0 MiB) 8.0 MiB/秒 残り 0:06"},
      {999, 1000, 1000, "書き出し中:  99% (0.0 / 0.0 MiB) 0.0 MiB/秒 残り 0:00"},
      {1024 * kMiB, 3072 * kMiB, 61000,
       "書き出し中:  33% (1024.0 / 3072.0 MiB) 16.8 MiB/秒 残り 2:02"},
      {kMiB, 6000 * kMiB, 60000, "書き出し中:   0% (1.0 / 6000.0 MiB) 0.0 MiB/秒 残り 5999:00"},
      {5 * kMiB, 5 * kMiB, 500, "書き出し中: 100% (5.0 / 5.0 MiB) 10.0 MiB/秒 残り 0:00"},
  };
  for (const Case& c : cases) EXPECT_EQ(progress_text(c.done, c.total, c.elapsed_ms), c.text);
}

std::string spaces(size_t count) { return std::string(count, ' '); }

// What the console receives: the line drawn at most every 250 ms, rewritten
// in place over a longer one, and cleared before each message that is
// printed, whichever stream that takes, and at the end.
TEST(ReporterTest, ProgressLineGivesWayToMessages) {
  const uint64_t total = 64 * kMiB;
  const std::string first = progress_text(40 * kMiB, total, 250);    // 160.0 MiB/秒
  const std::string second = progress_text(41 * kMiB, total, 5000);  // 8.2 MiB/秒
  const std::string third = progress_text(50 * kMiB, total, 5300);
  ASSERT_GT(first.size(), second.size());
  ConsoleCapture console;
  {
    ProgressLine line;
    Reporter reporter{1, true, &line};
    line.update(0, total, 1000);  // starts the clock
    line.update(kMiB, total, 1249);
    line.update(40 * kMiB, total, 1250);
    line.update(41 * kMiB, total, 6000);
    reporter.debug("hidden\n");  // not printed, so the line stays
    reporter.info("info\n");
    line.update(50 * kMiB, total, 6300);
    reporter.error("error\n");
    reporter.error("error again\n");  // nothing left to clear
    line.update(60 * kMiB, total, 6400);
    line.update(64 * kMiB, total, 6550);
  }
  console.finish();
  const std::string over_second = second + spaces(first.size() - second.size());
  const std::string last = progress_text(64 * kMiB, total, 5550);
  EXPECT_EQ(console.err_text, "\r" + first + "\r" + over_second + "\r" + spaces(first.size()) +
                                  "\r" + "\r" + third + "\r" + spaces(third.size()) + "\r" +
                                  "error\nerror again\n\r" + last + "\r" + spaces(last.size()) +
                                  "\r");
  EXPECT_EQ(console.out_text, "info\n");
}

}  // namespace
