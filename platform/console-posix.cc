// Stand-ins for the kernel32 calls behind the progress line (the console
// test, the tick count and the slim lock) and for Sleep. A standard handle
// is a console when its descriptor is a terminal.
#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/handles-posix.h"

BOOL GetConsoleMode(HANDLE handle, DWORD* mode) {
  const int fd = standin_descriptor(handle);
  if (fd < 0 || !isatty(fd)) return FALSE;
  *mode = 0x3;  // ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT, a console's default
  return TRUE;
}

BOOL WriteConsoleW(HANDLE handle, const void* text, DWORD size, DWORD* written, LPVOID) {
  DWORD mode;
  if (written) *written = 0;
  if (!GetConsoleMode(handle, &mode)) return FALSE;
  const wchar_t* wide = static_cast<const wchar_t*>(text);
  const int length = WideCharToMultiByte(CP_ACP, 0, wide, int(size), nullptr, 0, nullptr, nullptr);
  std::string bytes(size_t(length), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide, int(size), bytes.data(), length, nullptr, nullptr);
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = write(standin_descriptor(handle), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return FALSE;
    done += size_t(n);
  }
  if (written) *written = size;
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
