#include "cli/reporter.h"

#include <cstdarg>
#include <cstdio>

// One vfprintf per message: the C library writes it to the stream as a
// unit, so the reader's and the writer's lines never interleave. A progress
// line is cleared first and stays away until the message is out.
#define TONEWELL_REPORT(min_level, stream) \
  do {                                     \
    if (level < (min_level)) return;       \
    ProgressPause pause(progress_line);    \
    va_list args;                          \
    va_start(args, format);                \
    vfprintf((stream), format, args);      \
    va_end(args);                          \
  } while (0)

void Reporter::debug(const char* format, ...) const {
  TONEWELL_REPORT(3, to_stdout ? stdout : stderr);
}

void Reporter::verbose(const char* format, ...) const {
  TONEWELL_REPORT(2, to_stdout ? stdout : stderr);
}

void Reporter::info(const char* format, ...) const {
  TONEWELL_REPORT(1, to_stdout ? stdout : stderr);
}

// Where both streams go to one place (2>&1), an error must show after the
// messages printed before it: standard output is flushed first, and standard
// error at once, since the Windows C runtime buffers it when it is no console.
void Reporter::error(const char* format, ...) const {
  if (to_stdout) fflush(stdout);
  TONEWELL_REPORT(INT32_MIN, stderr);
  fflush(stderr);
}

void Reporter::progress(uint64_t done, uint64_t total) const {
  if (progress_line != nullptr) progress_line->update(done, total, GetTickCount64());
}
