#include "report/reporter.h"

#include <gtest/gtest.h>

#include "tests/support/capture.h"

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

}  // namespace
