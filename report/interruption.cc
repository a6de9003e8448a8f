#include "report/interruption.h"

#include <cstdio>

#include "report/messages.h"

Interruption interruption;

namespace {

const Reporter* run_reporter = nullptr;  // set before the routine is registered

SRWLOCK wake_lock = SRWLOCK_INIT;
HANDLE wake_events[2] = {nullptr, nullptr};  // under wake_lock

void wake_transfer() {
  AcquireSRWLockExclusive(&wake_lock);
  for (HANDLE event : wake_events) {
    if (event != nullptr) SetEvent(event);
  }
  ReleaseSRWLockExclusive(&wake_lock);
}

// Runs on a thread of the system's, once for each event. The first asks the
// run to end and wakes a transfer's waiting threads; another before the run
// has ended ends the process at once. Ctrl+C and Ctrl+Break leave the
// process alive once this answers TRUE. For a closed console (or a logoff or
// shutdown) the process ends soon after this returns, so it does not: the
// run tears down and ends itself, with the failure status.
BOOL WINAPI on_console_control(DWORD event) {
  if (interruption.requested.exchange(true)) end_process_now(run_reporter);
  wake_transfer();
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void Interruption::report(const Reporter* reporter) {
  if (!reported.exchange(true)) reporter->error(kInterrupted);
}

void catch_interrupts(const Reporter* reporter) {
  run_reporter = reporter;
  SetConsoleCtrlHandler(on_console_control, TRUE);
}

void release_interrupts() { SetConsoleCtrlHandler(on_console_control, FALSE); }

void wake_on_interrupt(HANDLE read_event, HANDLE write_event) {
  AcquireSRWLockExclusive(&wake_lock);
  wake_events[0] = read_event;
  wake_events[1] = write_event;
  ReleaseSRWLockExclusive(&wake_lock);
}

void end_process_now(const Reporter* reporter) {
  interruption.report(reporter);
  if (reporter->to_stdout) fflush(stdout);
  fflush(stderr);
  TerminateProcess(GetCurrentProcess(), 1);
}
