#include "cli/interruption.h"

#include "platform/platform.h"

Interruption interruption;

namespace {

// Runs on a thread of the system's. Ctrl+C and Ctrl+Break leave the process
// alive once this answers TRUE. For a closed console (or a logoff or
// shutdown) the process ends soon after this returns, so it does not: the
// run tears down and ends itself, with the failure status.
BOOL WINAPI on_console_control(DWORD event) {
  interruption.requested = true;
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  Sleep(INFINITE);
  return TRUE;
}

}  // namespace

bool Interruption::noticed(const Reporter* reporter) {
  if (!requested) return false;
  if (!reported.exchange(true)) reporter->error("処理を中断しました。\n");
  return true;
}

void catch_interrupts() { SetConsoleCtrlHandler(on_console_control, TRUE); }

void release_interrupts() { SetConsoleCtrlHandler(on_console_control, FALSE); }
