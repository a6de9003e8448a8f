// The line that shows on a console how far the writing has come: rewritten
// in place, and cleared before any other message, so that messages never
// land inside it. It is text for the console, not bytes: written as wide
// characters, so that it reads right whatever the console's code page, and
// fitted to the console's width, so that it never wraps.
#ifndef TONEWELL_REPORT_PROGRESS_LINE_H_
#define TONEWELL_REPORT_PROGRESS_LINE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

// Often enough to look alive, rarely enough to cost nothing.
constexpr uint64_t kProgressIntervalMs = 250;

struct ProgressLine {
  // Held by whoever writes to the console while a line may stand there:
  // the writer thread drawing, or either thread printing a message.
  SRWLOCK console = SRWLOCK_INIT;
  // Of the line on the console, changed under `console`; 0: none. Atomic,
  // so that a crash report may look without the lock.
  std::atomic<size_t> shown_columns{0};
  // The writer's alone.
  bool started = false;
  uint64_t started_ms = 0;
  uint64_t drawn_ms = 0;

  // At the end, with no more messages to come, the line goes too.
  ~ProgressLine();

  // `done` of `total` bytes written at `now_ms`: the first call starts the
  // clock, and the line is redrawn once kProgressIntervalMs have passed.
  void update(uint64_t done, uint64_t total, uint64_t now_ms);
  // A message is about to be printed: takes the console and clears the line.
  void hold();
  void release();
};

// Holds the console for one message: the line, if there is one, is cleared
// first and not drawn again until the message is out.
struct ProgressPause {
  ProgressLine* line;

  explicit ProgressPause(ProgressLine* line) : line(line) {
    if (line != nullptr) line->hold();
  }
  ~ProgressPause() {
    if (line != nullptr) line->release();
  }
  ProgressPause(const ProgressPause&) = delete;
  ProgressPause& operator=(const ProgressPause&) = delete;
};

// A line is shown at levels 1 and 2, when standard error is a console (not
// a file, a pipe or NUL).
bool progress_wanted(int32_t level);

// The line for `done` of `total` bytes written in `elapsed_ms`, in the
// widest of its forms that leaves the last of `width` columns free (a
// console wraps as soon as a line fills its width):
//   書き出し中:  42% (860.2 / 2048.0 MiB) 85.3 MiB/秒 残り 0:14
//   書き出し中:  42% (860.2 / 2048.0 MiB) 残り 0:14
//   書き出し中:  42% 残り 0:14
//    42% 残り 0:14
// Empty where not even the last fits.
std::wstring progress_text(uint64_t done, uint64_t total, uint64_t elapsed_ms, size_t width);

// The columns `text` takes on a console: two for a Japanese character (kana,
// kanji, full-width forms), one for any other.
size_t text_columns(const std::wstring& text);

#endif  // TONEWELL_REPORT_PROGRESS_LINE_H_
