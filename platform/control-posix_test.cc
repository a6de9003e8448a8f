#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "platform/windows-posix.h"

namespace {

// What each routine saw last, and whether on the thread that raised it.
std::atomic<int> calls[2];
std::atomic<DWORD> events[2];
std::atomic<bool> on_raising_thread;
std::atomic<BOOL> later_answer;
std::thread::id raising_thread;

template <int kIndex>
BOOL WINAPI routine(DWORD event) {
  events[kIndex] = event;
  on_raising_thread = on_raising_thread || std::this_thread::get_id() == raising_thread;
  ++calls[kIndex];
  return kIndex == 0 ? TRUE : later_answer.load();
}

BOOL WINAPI announce(DWORD event) {
  fprintf(stderr, "event %u\n", static_cast<unsigned>(event));
  return TRUE;
}

bool called_within_5_s(int index) {
  for (int i = 0; i < 500 && calls[index] == 0; ++i) Sleep(10);
  return calls[index] > 0;
}

// Latest registered first, on a thread of their own; one answering FALSE
// hands the event on.
TEST(ConsoleControl, SignalsAreTheConsoleEvents) {
  const struct {
    int signal_number;
    DWORD event;
    BOOL later_answers;
  } cases[] = {{SIGINT, CTRL_C_EVENT, TRUE}, {SIGTERM, CTRL_BREAK_EVENT, FALSE}};
  ASSERT_TRUE(SetConsoleCtrlHandler(routine<0>, TRUE));
  ASSERT_TRUE(SetConsoleCtrlHandler(routine<1>, TRUE));
  raising_thread = std::this_thread::get_id();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signal_number);
    calls[0] = calls[1] = 0;
    later_answer = c.later_answers;
    raise(c.signal_number);
    ASSERT_TRUE(called_within_5_s(1));
    EXPECT_EQ(events[1], c.event);
    if (!c.later_answers) {
      ASSERT_TRUE(called_within_5_s(0));
    }
    Sleep(50);
    EXPECT_EQ(calls[0], c.later_answers ? 0 : 1);
  }
  EXPECT_FALSE(on_raising_thread);
  EXPECT_TRUE(SetConsoleCtrlHandler(routine<1>, FALSE));
  EXPECT_TRUE(SetConsoleCtrlHandler(routine<0>, FALSE));
  EXPECT_FALSE(SetConsoleCtrlHandler(routine<0>, FALSE));
}

// Where Windows would end the process, the signal's own action ends it.
// Each case in a fresh process: the Linux layer's thread does not survive fork.
TEST(ConsoleControlDeathTest, ProcessEndsAsOnWindows) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto raise_and_wait = [](int signal_number) {
    raise(signal_number);
    Sleep(5000);
    _exit(3);
  };
  auto unregistered = [&] {
    SetConsoleCtrlHandler(announce, TRUE);
    SetConsoleCtrlHandler(announce, FALSE);
    raise_and_wait(SIGINT);
  };
  EXPECT_EXIT(unregistered(), testing::KilledBySignal(SIGINT), "^$");
  auto unhandled = [&] {
    later_answer = FALSE;
    SetConsoleCtrlHandler(routine<1>, TRUE);
    raise_and_wait(SIGINT);
  };
  EXPECT_EXIT(unhandled(), testing::KilledBySignal(SIGINT), "");
  // The console closed: once its routines return, whatever they answer.
  auto closed = [&] {
    SetConsoleCtrlHandler(announce, TRUE);
    raise_and_wait(SIGHUP);
  };
  EXPECT_EXIT(closed(), testing::KilledBySignal(SIGHUP), "^event 2\n$");
  // Ignored before (nohup): it stays ignored.
  auto ignored = [&] {
    signal(SIGHUP, SIG_IGN);
    SetConsoleCtrlHandler(announce, TRUE);
    raise(SIGHUP);
    Sleep(200);
    _exit(3);
  };
  EXPECT_EXIT(ignored(), testing::ExitedWithCode(3), "^$");
}

}  // namespace
