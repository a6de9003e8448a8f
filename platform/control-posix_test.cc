#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/standin.h"

namespace {

struct Calls {
  std::atomic<int> count{0};
  std::atomic<DWORD> event{0xFFFFFFFFu};
  std::atomic<bool> on_raising_thread{false};
};

Calls first_calls, second_calls;
std::atomic<BOOL> second_answer{TRUE};
std::thread::id raising_thread;

void record(Calls* calls, DWORD event) {
  calls->event = event;
  calls->on_raising_thread = std::this_thread::get_id() == raising_thread;
  ++calls->count;
}

BOOL WINAPI first_routine(DWORD event) {
  record(&first_calls, event);
  return TRUE;
}

BOOL WINAPI second_routine(DWORD event) {
  record(&second_calls, event);
  return second_answer;
}

BOOL WINAPI announce(DWORD event) {
  fprintf(stderr, "event %u\n", static_cast<unsigned>(event));
  return TRUE;
}

bool called_within_5_s(const Calls& calls) {
  for (int i = 0; i < 500 && calls.count == 0; ++i) Sleep(10);
  return calls.count > 0;
}

// Latest registered first, each on a thread other than the one the signal
// came to; one answering FALSE hands the event on.
TEST(ConsoleControl, SignalsAreTheConsoleEvents) {
  const struct {
    int signal_number;
    DWORD event;
    BOOL second_answers;
  } cases[] = {{SIGINT, CTRL_C_EVENT, TRUE}, {SIGTERM, CTRL_BREAK_EVENT, FALSE}};
  ASSERT_TRUE(SetConsoleCtrlHandler(first_routine, TRUE));
  ASSERT_TRUE(SetConsoleCtrlHandler(second_routine, TRUE));
  raising_thread = std::this_thread::get_id();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signal_number);
    first_calls.count = 0;
    second_calls.count = 0;
    second_answer = c.second_answers;
    raise(c.signal_number);
    ASSERT_TRUE(called_within_5_s(second_calls));
    EXPECT_EQ(second_calls.event, c.event);
    EXPECT_FALSE(second_calls.on_raising_thread);
    if (c.second_answers) {
      Sleep(50);
      EXPECT_EQ(first_calls.count, 0);
    } else {
      ASSERT_TRUE(called_within_5_s(first_calls));
      EXPECT_EQ(first_calls.event, c.event);
    }
  }
  EXPECT_TRUE(SetConsoleCtrlHandler(second_routine, FALSE));
  EXPECT_TRUE(SetConsoleCtrlHandler(first_routine, FALSE));
  EXPECT_FALSE(SetConsoleCtrlHandler(first_routine, FALSE));
}

// Where Windows would end the process, the signal's own action ends it.
// Each case in a fresh process: the stand-in's thread does not survive fork.
TEST(ConsoleControlDeathTest, ProcessEndsAsOnWindows) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto raise_and_wait = [](int signal_number) {
    raise(signal_number);
    Sleep(5000);
    _exit(0);
  };
  // No routine left.
  EXPECT_EXIT(
      {
        SetConsoleCtrlHandler(announce, TRUE);
        SetConsoleCtrlHandler(announce, FALSE);
        raise_and_wait(SIGINT);
      },
      testing::KilledBySignal(SIGINT), "");
  // None handles it.
  EXPECT_EXIT(
      {
        second_answer = FALSE;
        SetConsoleCtrlHandler(second_routine, TRUE);
        raise_and_wait(SIGINT);
      },
      testing::KilledBySignal(SIGINT), "");
  // The console closed: once its routines return, whatever they answer.
  EXPECT_EXIT(
      {
        SetConsoleCtrlHandler(announce, TRUE);
        raise_and_wait(SIGHUP);
      },
      testing::KilledBySignal(SIGHUP), "^event 2\n$");
  // Ignored before (nohup): it stays ignored.
  EXPECT_EXIT(
      {
        signal(SIGHUP, SIG_IGN);
        SetConsoleCtrlHandler(announce, TRUE);
        raise(SIGHUP);
        Sleep(200);
        _exit(3);
      },
      testing::ExitedWithCode(3), "^$");
}

}  // namespace
