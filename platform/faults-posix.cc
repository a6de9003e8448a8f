#include "platform/faults-posix.h"

PlatformFaults platform_faults;
PlatformLog platform_log;

void reset_platform() {
  platform_faults = PlatformFaults();
  platform_log = PlatformLog();
}
