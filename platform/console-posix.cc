// The Linux layer's kernel32 calls behind the progress line (the console
// test, size and text output, the tick count and the slim lock) and for
// Sleep. A handle is a console when its descriptor is a terminal.
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/handles-posix.h"

BOOL GetConsoleMode(HANDLE handle, DWORD* mode) {
  const int fd = descriptor_of(handle);
  if (fd < 0 || !isatty(fd)) return FALSE;
  *mode = 0x3;  // ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT, a console's default
  return TRUE;
}

// The terminal's size, as Wine reports a terminal's: the buffer is the
// window, and a terminal that knows no size (0 columns) is 80 by 150.
BOOL GetConsoleScreenBufferInfo(HANDLE handle, CONSOLE_SCREEN_BUFFER_INFO* info) {
  const int fd = descriptor_of(handle);
  winsize size{};
  if (fd < 0 || !isatty(fd) || ioctl(fd, TIOCGWINSZ, &size) != 0) return FALSE;
  if (size.ws_col == 0) size = {150, 80, 0, 0};
  const SHORT columns = static_cast<SHORT>(std::min<unsigned>(size.ws_col, 0x7FFF));
  const SHORT rows =
      static_cast<SHORT>(std::min<unsigned>(std::max<unsigned>(size.ws_row, 1), 0x7FFF));
  *info = {
      {columns, rows}, {0, 0}, 0x7, {0, 0, SHORT(columns - 1), SHORT(rows - 1)}, {columns, rows}};
  return TRUE;
}

// The characters go out as the Linux layer's code page spells them (UTF-8, the
// escaped bytes U+DC80..U+DCFF as those bytes; '?' for one that spells
// none), a buffer at a time. Nothing is allocated, so that a crash can be
// reported through it from a signal handler.
BOOL WriteConsoleW(HANDLE handle, const void* text, DWORD count, LPDWORD written, LPVOID) {
  if (written != nullptr) *written = 0;
  const int fd = descriptor_of(handle);
  if (fd < 0 || !isatty(fd)) return FALSE;
  const wchar_t* wide = static_cast<const wchar_t*>(text);
  char buffer[1024];
  size_t used = 0;
  for (DWORD i = 0; i <= count; ++i) {
    if (i == count || used + 4 > sizeof buffer) {
      if (write_fully(fd, buffer, used) != used) return FALSE;
      used = 0;
    }
    if (i == count) break;
    const size_t length = spell_character(wide[i], buffer + used);
    if (length == 0) buffer[used++] = '?';
    used += length;
  }
  if (written != nullptr) *written = count;
  return TRUE;
}

ULONGLONG GetTickCount64() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return ULONGLONG(now.tv_sec) * 1000 + ULONGLONG(now.tv_nsec) / 1000000;
}

void Sleep(DWORD milliseconds) {
  if (milliseconds != INFINITE) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return;
  }
  for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

void AcquireSRWLockExclusive(SRWLOCK* lock) { pthread_mutex_lock(&lock->mutex); }

void ReleaseSRWLockExclusive(SRWLOCK* lock) { pthread_mutex_unlock(&lock->mutex); }
