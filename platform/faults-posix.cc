#include "platform/standin_faults.h"

StandinFaults standin_faults;
StandinLog standin_log;

void reset_standin() {
  standin_faults = StandinFaults();
  standin_log = StandinLog();
}
