// The one road by which the program talks to the user once the command line
// has been accepted: level filtering and the choice of stream.
#ifndef TONEWELL_REPORT_REPORTER_H_
#define TONEWELL_REPORT_REPORTER_H_

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "report/console_text.h"
#include "report/progress_line.h"

// The verbosity levels a Reporter's `level` holds.
constexpr int32_t kLevelQuiet = 0;    // errors only (-q)
constexpr int32_t kLevelNormal = 1;   // the default
constexpr int32_t kLevelVerbose = 2;  // also settings, stream facts and format (-v)
constexpr int32_t kLevelDebug = 3;    // also every piece read and written (-d)

struct Reporter {
  int32_t level;
  // False when standard output carries the WAVE data: the opposite of the
  // settings' data_to_stdout, from which it is made.
  bool to_stdout;
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

  // `format` and its arguments to `stream` if `level` reaches `min_level`.
  void print(int32_t min_level, FILE* stream, const char* format, va_list args) const;
};

#endif  // TONEWELL_REPORT_REPORTER_H_
