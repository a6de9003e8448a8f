#include "report/reporter.h"

namespace {

// `preferred` unless it is taken, then `other` unless that is taken too.
FILE* free_stream(FILE* preferred, bool preferred_taken, FILE* other, bool other_taken) {
  if (!preferred_taken) return preferred;
  return other_taken ? nullptr : other;
}

}  // namespace

FILE* Reporter::message_stream() const {
  return to_stdout ? free_stream(stdout, stdout_taken, stderr, stderr_taken)
                   : free_stream(stderr, stderr_taken, stdout, stdout_taken);
}

FILE* Reporter::error_stream() const {
  return free_stream(stderr, stderr_taken, stdout, stdout_taken);
}

// One write per message: the C library writes a formatted message to the
// stream as a unit, and a console gets it in one WriteConsoleW, so the
// reader's and the writer's lines never interleave. A progress line is
// cleared first and stays away until the message is out. Each message
// leaves the stream's buffer at once, so that a crash, which ends the
// process without the C runtime's exit, loses none of what came before; and
// where both streams go to one place (2>&1), an error shows after the
// messages printed before it (the Windows C runtime buffers standard error
// too when it is no console).
void Reporter::print(int32_t min_level, FILE* stream, const char* format, va_list args) const {
  if (level < min_level || stream == nullptr) return;
  ProgressPause pause(progress_line);
  vprint_text(stream, format, args);
  fflush(stream);
}

void Reporter::debug(const char* format, ...) const {
  va_list args;
  va_start(args, format);
  print(kLevelDebug, message_stream(), format, args);
  va_end(args);
}

void Reporter::verbose(const char* format, ...) const {
  va_list args;
  va_start(args, format);
  print(kLevelVerbose, message_stream(), format, args);
  va_end(args);
}

void Reporter::info(const char* format, ...) const {
  va_list args;
  va_start(args, format);
  print(kLevelNormal, message_stream(), format, args);
  va_end(args);
}

// Errors are printed at every level.
void Reporter::error(const char* format, ...) const {
  va_list args;
  va_start(args, format);
  print(INT32_MIN, error_stream(), format, args);
  va_end(args);
}

void Reporter::progress(uint64_t done, uint64_t total) const {
  if (progress_line != nullptr) progress_line->update(done, total, GetTickCount64());
}
