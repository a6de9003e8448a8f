// The one road by which the program talks to the user once the command line
// has been accepted: level filtering and the choice of stream.
#ifndef TONEWELL_CLI_REPORTER_H_
#define TONEWELL_CLI_REPORTER_H_

#include <cstdint>

#define TONEWELL_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

struct Reporter {
  int32_t level;   // 0 quiet, 1 normal, 2 verbose, 3 debug
  bool to_stdout;  // false when standard output carries the WAVE data

  void debug(const char* format, ...) const TONEWELL_PRINTF(2, 3);
  void verbose(const char* format, ...) const TONEWELL_PRINTF(2, 3);
  void info(const char* format, ...) const TONEWELL_PRINTF(2, 3);
  void error(const char* format, ...) const TONEWELL_PRINTF(2, 3);
};

#endif  // TONEWELL_CLI_REPORTER_H_
