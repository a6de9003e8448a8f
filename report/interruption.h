// The user's request to end a run early: Ctrl+C, Ctrl+Break or closing the
// console. The console control routine is called with no context, so the
// request is one per process.
#ifndef TONEWELL_REPORT_INTERRUPTION_H_
#define TONEWELL_REPORT_INTERRUPTION_H_

#include <atomic>

#include "platform/platform.h"
#include "report/reporter.h"

struct Interruption {
  std::atomic<bool> requested;  // set by the console control routine only
  std::atomic<bool> reported;
  // The writer thread did not come back from a write after the interrupt
  // (a pipe nobody drains): the process must end without it.
  std::atomic<bool> writer_left_behind;

  // Says that the run was interrupted, once per run, whichever thread comes
  // first; for those who found `requested` set.
  void report(const Reporter* reporter);
};

extern Interruption interruption;

// For the length of a run: an interrupt sets interruption.requested instead
// of ending the process. A second one ends the process at once, with the
// message through `reporter` if nothing printed it yet: the user will not
// wait for a script that takes minutes to open or to read.
void catch_interrupts(const Reporter* reporter);
void release_interrupts();

// For the length of a transfer: an interrupt sets both events, so that a
// thread waiting on either sees it at once, even while the other thread is
// inside a long read. Null handles between transfers.
void wake_on_interrupt(HANDLE read_event, HANDLE write_event);

// Ends the process now with status 1, without the C runtime's exit, which
// flushes every stream: a write into a pipe nobody drains never returns,
// and the exit would wait for it (Windows' runtime even for a stream that
// another thread is writing, whose lock it takes). The message streams are
// flushed first; standard output is left alone when it carries the data.
void end_process_now(const Reporter* reporter);

#endif  // TONEWELL_REPORT_INTERRUPTION_H_
