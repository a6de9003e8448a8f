#include "cli/progress_line.h"

#include <cstdio>

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

// Writes spaces over the line and returns to its start. Every character of
// the line takes at least one byte per column (Shift_JIS two for two, UTF-8
// three for two), so as many spaces as bytes cover it.
void clear(ProgressLine* line) {
  if (line->shown_bytes == 0) return;
  fprintf(stderr, "\r%*s\r", static_cast<int>(line->shown_bytes), "");
  line->shown_bytes = 0;
}

// "m:ss"; minutes go past 59 rather than adding a field.
std::string minutes_and_seconds(uint64_t seconds) {
  char text[32];
  snprintf(text, sizeof text, "%llu:%02u", static_cast<unsigned long long>(seconds / 60),
           static_cast<unsigned>(seconds % 60));
  return text;
}

}  // namespace

ProgressLine::~ProgressLine() { clear(this); }

void ProgressLine::update(uint64_t done, uint64_t total, uint64_t now_ms) {
  if (!started) {
    started = true;
    started_ms = drawn_ms = now_ms;
    return;
  }
  if (now_ms - drawn_ms < kProgressIntervalMs) return;
  drawn_ms = now_ms;
  const std::string text = progress_text(done, total, now_ms - started_ms);
  AcquireSRWLockExclusive(&console);
  // Spaces after a shorter line cover what is left of the longer one.
  const size_t left_over = shown_bytes > text.size() ? shown_bytes - text.size() : 0;
  fprintf(stderr, "\r%s%*s", text.c_str(), static_cast<int>(left_over), "");
  shown_bytes = text.size() + left_over;
  ReleaseSRWLockExclusive(&console);
}

void ProgressLine::hold() {
  AcquireSRWLockExclusive(&console);
  clear(this);
}

void ProgressLine::release() { ReleaseSRWLockExclusive(&console); }

bool progress_wanted(int32_t level) {
  DWORD mode;
  return (level == 1 || level == 2) && GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode);
}

std::string progress_text(uint64_t done, uint64_t total, uint64_t elapsed_ms) {
  const double seconds = elapsed_ms / 1000.0;
  const unsigned percent = total == 0 ? 100 : static_cast<unsigned>(100.0 * done / total);
  const double rate = seconds > 0 ? done / kMiB / seconds : 0;
  // The rest at the rate so far; unknown until something was written.
  const std::string left =
      done == 0 ? "--:--"
                : minutes_and_seconds(static_cast<uint64_t>((total - done) * seconds / done + 0.5));
  char text[160];
  snprintf(text, sizeof text, "書き出し中: %3u%% (%.1f / %.1f MiB) %.1f MiB/秒 残り %s", percent,
           done / kMiB, total / kMiB, rate, left.c_str());
  return text;
}
