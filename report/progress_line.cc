#include "report/progress_line.h"

#include <algorithm>
#include <cstdio>

#include "report/console_text.h"
#include "report/messages.h"
#include "report/reporter.h"

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

// The width of the console on standard error, measured anew each time since
// the user may resize it; 0 when it cannot be measured.
size_t console_width() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
  return static_cast<size_t>(std::max(info.srWindow.Right - info.srWindow.Left + 1, 0));
}

// The one way the line reaches the console. A console that refuses it loses
// nothing but the view of the progress, so a failure is not reported.
void write_console(const std::wstring& text) {
  DWORD written;
  WriteConsoleW(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()),
                &written, nullptr);
}

// Puts `text` in place of the line shown, on a console `width` columns wide:
// spaces cover what is left of a longer line, as far as it can have reached,
// and an empty `text` leaves the cursor at the start of the cleared line.
void draw(ProgressLine* line, const std::wstring& text, size_t width) {
  if (text.empty() && line->shown_columns == 0) return;
  const size_t columns = text_columns(text);
  const size_t covered = std::min(line->shown_columns.load(), width > 0 ? width - 1 : 0);
  std::wstring out = L"\r" + text;
  if (covered > columns) out.append(covered - columns, L' ');
  if (text.empty()) out += L'\r';
  write_console(out);
  line->shown_columns = columns;
}

void clear(ProgressLine* line) {
  if (line->shown_columns != 0) draw(line, L"", console_width());
}

// The ASCII `text` as wide characters.
std::wstring widened(const char* text) {
  return std::wstring(text, text + std::char_traits<char>::length(text));
}

// "m:ss"; minutes go past 59 rather than adding a field.
std::wstring minutes_and_seconds(uint64_t seconds) {
  char text[32];
  snprintf(text, sizeof text, "%llu:%02u", static_cast<unsigned long long>(seconds / 60),
           static_cast<unsigned>(seconds % 60));
  return widened(text);
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
  const size_t width = console_width();
  const std::wstring text = progress_text(done, total, now_ms - started_ms, width);
  AcquireSRWLockExclusive(&console);
  draw(this, text, width);
  ReleaseSRWLockExclusive(&console);
}

void ProgressLine::hold() {
  AcquireSRWLockExclusive(&console);
  clear(this);
}

void ProgressLine::release() { ReleaseSRWLockExclusive(&console); }

bool progress_wanted(int32_t level) {
  DWORD mode;
  return (level == kLevelNormal || level == kLevelVerbose) &&
         GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode);
}

// Formed from wide pieces: the program's words widened from the message code
// page, and the numbers, which are ASCII.
std::wstring progress_text(uint64_t done, uint64_t total, uint64_t elapsed_ms, size_t width) {
  const double seconds = elapsed_ms / 1000.0;
  char number[96];
  snprintf(number, sizeof number, "%3u%%",
           total == 0 ? 100 : static_cast<unsigned>(100.0 * done / total));
  const std::wstring percent = widened(number);
  snprintf(number, sizeof number, " (%.1f / %.1f MiB)", done / kMiB, total / kMiB);
  const std::wstring amounts = widened(number);
  snprintf(number, sizeof number, " %.1f MiB/", seconds > 0 ? done / kMiB / seconds : 0);
  const std::wstring rate = widened(number) + wide_message(kProgressPerSecond);
  // The rest at the rate so far; unknown until something was written.
  const std::wstring left =
      wide_message(kProgressTimeLeft) +
      (done == 0
           ? L"--:--"
           : minutes_and_seconds(static_cast<uint64_t>((total - done) * seconds / done + 0.5)));
  const std::wstring label = wide_message(kProgressLabel);
  // Shortened a field at a time, the least needed first: the rate, then the
  // amounts, then the label; percent and time left stay.
  const std::wstring forms[] = {label + percent + amounts + rate + left,
                                label + percent + amounts + left, label + percent + left,
                                percent + left};
  for (const std::wstring& form : forms) {
    if (text_columns(form) < width) return form;
  }
  return std::wstring();
}

size_t text_columns(const std::wstring& text) {
  size_t columns = 0;
  for (wchar_t c : text) {
    const uint32_t code = static_cast<uint32_t>(c);
    const bool wide = (code >= 0x2E80 && code <= 0xA4CF) || (code >= 0xF900 && code <= 0xFAFF) ||
                      (code >= 0xFF00 && code <= 0xFF60) || (code >= 0xFFE0 && code <= 0xFFE6);
    columns += wide ? 2 : 1;
  }
  return columns;
}
