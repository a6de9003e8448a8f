// The Linux layer's SetConsoleCtrlHandler. Windows runs a console process's
// control routines on a new thread of its own when the user presses Ctrl+C
// or Ctrl+Break or closes the console, latest registered first, until one
// answers TRUE; if none does, the process ends. Once the routines for a
// closed console return, or after 5 s, it ends in any case.
//
// Here the signals stand for the events: SIGINT (Ctrl+C in a terminal) for
// CTRL_C_EVENT, SIGTERM (a request to end) for CTRL_BREAK_EVENT and SIGHUP
// (the terminal went away) for CTRL_CLOSE_EVENT. The signal handler only
// passes the signal's number through a pipe; a thread of the Linux layer's own
// starts the routines' thread, so that they may do what a signal handler may
// not. Where no routine is registered a signal has its usual action, and so
// it has where the process ends as on Windows. A signal ignored when the
// first routine is registered (nohup's SIGHUP, SIGINT in a background job)
// stays ignored, as Ctrl+C does for a process that Windows starts ignoring
// it.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/windows-posix.h"

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr DWORD kEvents[] = {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT};
constexpr int kSignalCount = 3;

// Windows' limit for the routines of a closed console.
constexpr auto kCloseTimeout = std::chrono::seconds(5);

struct Control {
  std::mutex mutex;
  std::vector<PHANDLER_ROUTINE> routines;  // in the order registered
  struct sigaction previous[kSignalCount];
  bool caught = false;  // the handlers are installed
  int pipe_read = -1;
};

// Never destroyed: the routines' threads may still run while the process
// exits.
Control& control() {
  static Control* const instance = new Control();
  return *instance;
}

// Written once, before any handler that uses it is installed.
int pipe_write = -1;

void forward(int signal_number) {
  const int saved = errno;
  const unsigned char number = static_cast<unsigned char>(signal_number);
  // A full pipe (thousands of signals unread) drops this one.
  const ssize_t written = write(pipe_write, &number, 1);
  (void)written;
  errno = saved;
}

// The signal's own action, which ends the process unless it is ignored.
void end_by(int signal_number) {
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

void run_routines(int signal_number) {
  const int index =
      static_cast<int>(std::find(kSignals, kSignals + kSignalCount, signal_number) - kSignals);
  const DWORD event = kEvents[index];
  if (event == CTRL_CLOSE_EVENT) {
    std::thread([signal_number] {
      std::this_thread::sleep_for(kCloseTimeout);
      end_by(signal_number);
    }).detach();
  }
  std::vector<PHANDLER_ROUTINE> routines;
  {
    std::lock_guard<std::mutex> lock(control().mutex);
    routines = control().routines;
  }
  bool handled = false;
  for (auto routine = routines.rbegin(); routine != routines.rend() && !handled; ++routine) {
    handled = (*routine)(event) != FALSE;
  }
  if (!handled || event == CTRL_CLOSE_EVENT) end_by(signal_number);
}

void dispatch(int pipe_read) {
  for (;;) {
    unsigned char number;
    const ssize_t n = read(pipe_read, &number, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    std::thread(run_routines, int{number}).detach();
  }
}

// Called with the lock held, when the first routine comes; false when the
// Linux layer has no pipe for the signals.
bool catch_signals(Control& c) {
  if (c.pipe_read < 0) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    c.pipe_read = ends[0];
    pipe_write = ends[1];
    std::thread(dispatch, c.pipe_read).detach();
  }
  struct sigaction action = {};
  action.sa_handler = forward;
  // Calls under way go on, as a console event leaves them alone on Windows.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < kSignalCount; ++i) {
    sigaction(kSignals[i], nullptr, &c.previous[i]);
    if (c.previous[i].sa_handler != SIG_IGN) sigaction(kSignals[i], &action, nullptr);
  }
  c.caught = true;
  return true;
}

// Called with the lock held, when the last routine goes.
void release_signals(Control& c) {
  for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &c.previous[i], nullptr);
  c.caught = false;
}

}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add) {
  if (routine == nullptr) return FALSE;  // ignoring Ctrl+C itself: not needed here
  Control& c = control();
  std::lock_guard<std::mutex> lock(c.mutex);
  if (add) {
    if (!c.caught && !catch_signals(c)) return FALSE;
    c.routines.push_back(routine);
    return TRUE;
  }
  auto found = std::find(c.routines.rbegin(), c.routines.rend(), routine);
  if (found == c.routines.rend()) return FALSE;
  c.routines.erase(std::next(found).base());
  if (c.routines.empty() && c.caught) release_signals(c);
  return TRUE;
}
