// The user's request to end a run early: Ctrl+C, Ctrl+Break or closing the
// console. The console control routine is called with no context, so the
// request is one per process.
#ifndef TONEWELL_CLI_INTERRUPTION_H_
#define TONEWELL_CLI_INTERRUPTION_H_

#include <atomic>

#include "cli/reporter.h"

struct Interruption {
  std::atomic<bool> requested;  // set by the console control routine only
  std::atomic<bool> reported;

  // True once the user asked the run to end. The first caller to see it
  // prints the message, so that the run says once that it was interrupted,
  // whichever thread notices first.
  bool noticed(const Reporter* reporter);
};

extern Interruption interruption;

// For the length of a run: an interrupt sets interruption.requested instead
// of ending the process.
void catch_interrupts();
void release_interrupts();

#endif  // TONEWELL_CLI_INTERRUPTION_H_
