#include "tests/support/run_state.h"

#include "platform/faults-posix.h"
#include "report/interruption.h"

void reset_run_state() {
  reset_platform();
  interruption.requested = false;
  interruption.reported = false;
  interruption.writer_left_behind = false;
}
