// A fault anywhere in the process (the script handler, one of its plugins, a
// script that recurses until its stack is gone) ends the run with one
// message and the failure status, never with a bare signal or an exception
// dialog. What the run wrote stays, as after any other failure.
#ifndef TONEWELL_REPORT_CRASH_REPORT_H_
#define TONEWELL_REPORT_CRASH_REPORT_H_

#include "report/reporter.h"

// From here on a fault is reported through `reporter`'s error stream. With
// the environment variable TONEWELL_RAW_CRASH set (to anything), or under a
// debugger, a fault stays what it is: a core dump, the debugger's stop.
void report_crashes(const Reporter& reporter);

#endif  // TONEWELL_REPORT_CRASH_REPORT_H_
