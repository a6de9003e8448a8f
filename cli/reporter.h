// The one road by which the program talks to the user once the command line
// has been accepted: level filtering and the choice of stream.
#ifndef TONEWELL_CLI_REPORTER_H_
#define TONEWELL_CLI_REPORTER_H_

#include <cstdint>
#include <cstdio>

#include "cli/console_text.h"
#include "cli/progress_line.h"

struct Reporter {
  int32_t level;   // 0 quiet, 1 normal, 2 verbose, 3 debug
  bool to_stdout;  // false when standard output carries the WAVE data
  // Only where a line of progress is shown: on a console, at levels 1 and 2.
  ProgressLine* progress_line = nullptr;
  // A standard stream open on a file the run reads or writes (or carrying
  // the WAVE data) is taken: nothing is printed there. What was meant for it
  // goes to the other stream if that one is free, and nowhere otherwise.
  bool stdout_taken = false;
  bool stderr_taken = false;

  void debug(const char* format, ...) const TONEWELL_PRINTF(2, 3);
  void verbose(const char* format, ...) const TONEWELL_PRINTF(2, 3);
  void info(const char* format, ...) const TONEWELL_PRINTF(2, 3);
  void error(const char* format, ...) const TONEWELL_PRINTF(2, 3);
  // `done` of `total` bytes written, for the progress line if there is one.
  void progress(uint64_t done, uint64_t total) const;

  // Where messages below the error level go, and where errors go; null: nowhere.
  FILE* message_stream() const;
  FILE* error_stream() const;
};

#endif  // TONEWELL_CLI_REPORTER_H_
