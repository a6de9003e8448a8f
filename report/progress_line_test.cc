#include "report/progress_line.h"

#include <gtest/gtest.h>

#include "report/reporter.h"
#include "tests/support/capture.h"

namespace {

constexpr uint64_t kMiB = 1 << 20;

// The bytes the Linux layer's console receives for `text`.
std::string utf8(const std::wstring& text) {
  std::string bytes(4 * text.size(), '\0');
  bytes.resize(WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), bytes.data(),
                                   int(bytes.size()), nullptr, nullptr));
  return bytes;
}

std::string spaces(size_t count) { return std::string(count, ' '); }

TEST(ProgressLineTest, TextColumns) {
  const std::pair<const wchar_t*, size_t> cases[] = {
      {L"", 0},        {L" 42% (1.0 / 2.0 MiB)", 20}, {L"書き出し中", 10}, {L"残り 0:06", 9},
      {L"、。", 4},     // Japanese punctuation
      {L"ＭｉＢ", 6},   // full-width letters
      {L"ｶﾅ", 2},       // half-width kana
      {L"é\xdc80", 2},  // Latin, and an escaped byte of the Linux layer
  };
  for (const auto& [text, columns] : cases) EXPECT_EQ(text_columns(text), columns) << utf8(text);
}

// The widest form that leaves the console's last column free; each form
// just fits at one column more than it takes, and gives way one less.
TEST(ProgressLineTest, TextFitsTheWidth) {
  struct Case {
    uint64_t done, total, elapsed_ms;
    size_t width;
    const wchar_t* text;
  };
  const wchar_t* const full = L"書き出し中:  25% (16.0 / 64.0 MiB) 8.0 MiB/秒 残り 0:06";  // 55
  const wchar_t* const no_rate = L"書き出し中:  25% (16.0 / 64.0 MiB) 残り 0:06";          // 44
  const wchar_t* const no_amounts = L"書き出し中:  25% 残り 0:06";                         // 26
  const wchar_t* const shortest = L" 25% 残り 0:06";                                       // 14
  const Case cases[] = {
      {16 * kMiB, 64 * kMiB, 2000, 120, full},
      {16 * kMiB, 64 * kMiB, 2000, 56, full},
      {16 * kMiB, 64 * kMiB, 2000, 55, no_rate},
      {16 * kMiB, 64 * kMiB, 2000, 45, no_rate},
      {16 * kMiB, 64 * kMiB, 2000, 44, no_amounts},
      {16 * kMiB, 64 * kMiB, 2000, 27, no_amounts},
      {16 * kMiB, 64 * kMiB, 2000, 26, shortest},
      {16 * kMiB, 64 * kMiB, 2000, 15, shortest},
      {16 * kMiB, 64 * kMiB, 2000, 14, L""},
      {16 * kMiB, 64 * kMiB, 2000, 0, L""},  // a console that could not be measured
      // The numbers in each form.
      {0, 64 * kMiB, 300, 200, L"書き出し中:   0% (0.0 / 64.0 MiB) 0.0 MiB/秒 残り --:--"},
      {0, 64 * kMiB, 300, 20, L"  0% 残り --:--"},
      {999, 1000, 1000, 200, L"書き出し中:  99% (0.0 / 0.0 MiB) 0.0 MiB/秒 残り 0:00"},
      {1024 * kMiB, 3072 * kMiB, 61000, 200,
       L"書き出し中:  33% (1024.0 / 3072.0 MiB) 16.8 MiB/秒 残り 2:02"},
      {1024 * kMiB, 3072 * kMiB, 61000, 60, L"書き出し中:  33% (1024.0 / 3072.0 MiB) 残り 2:02"},
      {kMiB, 6000 * kMiB, 60000, 200,
       L"書き出し中:   0% (1.0 / 6000.0 MiB) 0.0 MiB/秒 残り 5999:00"},
      {kMiB, 6000 * kMiB, 60000, 30, L"書き出し中:   0% 残り 5999:00"},
      {kMiB, 6000 * kMiB, 60000, 18, L"  0% 残り 5999:00"},
      {kMiB, 6000 * kMiB, 60000, 17, L""},
      {5 * kMiB, 5 * kMiB, 500, 200, L"書き出し中: 100% (5.0 / 5.0 MiB) 10.0 MiB/秒 残り 0:00"},
      {5 * kMiB, 5 * kMiB, 500, 16, L"100% 残り 0:00"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(utf8(progress_text(c.done, c.total, c.elapsed_ms, c.width)), utf8(c.text))
        << c.done << " of " << c.total << " at width " << c.width;
  }
}

// What the console receives: the line drawn at most every 250 ms, rewritten
// in place over a longer one, and cleared before each message that is
// printed, whichever stream that takes, and at the end.
TEST(ProgressLineTest, GivesWayToMessages) {
  const uint64_t total = 64 * kMiB;
  const std::wstring first = progress_text(40 * kMiB, total, 250, 200);    // 160.0 MiB/秒
  const std::wstring second = progress_text(41 * kMiB, total, 5000, 200);  // 8.2 MiB/秒
  const std::wstring third = progress_text(50 * kMiB, total, 5300, 200);
  const std::wstring last = progress_text(64 * kMiB, total, 5550, 200);
  ASSERT_GT(text_columns(first), text_columns(second));
  StreamCapture out(stdout);
  TerminalCapture err(stderr, 200);
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
  EXPECT_EQ(out.finish(), "info\n");
  const size_t over = text_columns(first) - text_columns(second);
  EXPECT_EQ(err.finish(), "\r" + utf8(first) + "\r" + utf8(second) + spaces(over) + "\r" +
                              spaces(text_columns(second)) + "\r" + "\r" + utf8(third) + "\r" +
                              spaces(text_columns(third)) + "\r" + "error\nerror again\n" + "\r" +
                              utf8(last) + "\r" + spaces(text_columns(last)) + "\r");
}

// The width is measured at each draw: as the console narrows, the line takes
// a shorter form, its spaces never reach the last column, and in a console
// too narrow for any form it is cleared and stays away.
TEST(ProgressLineTest, FollowsTheConsoleWidth) {
  const uint64_t total = 64 * kMiB;
  TerminalCapture err(stderr, 60);
  std::string expected;
  {
    ProgressLine line;
    line.update(0, total, 1000);
    line.update(16 * kMiB, total, 3000);
    const std::wstring full = progress_text(16 * kMiB, total, 2000, 60);
    expected += "\r" + utf8(full);
    err.resize(50);
    line.update(17 * kMiB, total, 3250);
    const std::wstring no_rate = progress_text(17 * kMiB, total, 2250, 50);
    expected += "\r" + utf8(no_rate) + spaces(49 - text_columns(no_rate));
    err.resize(20);
    line.update(18 * kMiB, total, 3500);
    const std::wstring shortest = progress_text(18 * kMiB, total, 2500, 20);
    expected += "\r" + utf8(shortest) + spaces(19 - text_columns(shortest));
    err.resize(10);
    line.update(19 * kMiB, total, 3750);
    expected += "\r" + spaces(9) + "\r";
    line.update(20 * kMiB, total, 4000);
    err.resize(80);  // nothing shown: nothing to clear at the end
    EXPECT_EQ(text_columns(full), 55u);
    EXPECT_EQ(text_columns(no_rate), 44u);
    EXPECT_EQ(text_columns(shortest), 14u);
  }
  EXPECT_EQ(err.finish(), expected);
}

}  // namespace
