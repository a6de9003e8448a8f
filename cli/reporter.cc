#include "cli/reporter.h"

#include <cstdarg>
#include <cstdio>

namespace {

// One vfprintf per message: the C library writes it to the stream as a
// unit, so the reader's and the writer's lines never interleave. A progress
// line goes first, and comes back only after the message is out.
void print(ProgressLine* progress_line, FILE* stream, const char* format, va_list args) {
  if (progress_line == nullptr) {
    vfprintf(stream, format, args);
    return;
  }
  progress_line->hold();
  vfprintf(stream, format, args);
  fflush(stream);
  progress_line->release();
}

}  // namespace

#define TONEWELL_REPORT(min_level, stream)        \
  do {                                            \
    if (level < (min_level)) return;              \
    va_list args;                                 \
    va_start(args, format);                       \
    print(progress_line, (stream), format, args); \
    va_end(args);                                 \
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

void Reporter::error(const char* format, ...) const { TONEWELL_REPORT(INT32_MIN, stderr); }

void Reporter::progress(uint64_t done, uint64_t total) const {
  if (progress_line != nullptr) progress_line->update(done, total, GetTickCount64());
}
