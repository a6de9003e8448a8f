// Stand-ins for the kernel32 calls behind the progress line: the console
// test, the tick count and the slim lock. A standard handle is a console
// when its descriptor is a terminal.
#include <time.h>
#include <unistd.h>

#include "platform/standin.h"

namespace {

// STD_INPUT_HANDLE (-10), STD_OUTPUT_HANDLE (-11) and STD_ERROR_HANDLE (-12)
// stand for descriptors 0, 1 and 2.
int standard_descriptors[] = {0, 1, 2};

}  // namespace

HANDLE GetStdHandle(DWORD which) {
  const int index = -10 - static_cast<int32_t>(which);
  if (index < 0 || index > 2) return nullptr;
  return &standard_descriptors[index];
}

BOOL GetConsoleMode(HANDLE handle, DWORD* mode) {
  if (handle == nullptr || !isatty(*static_cast<int*>(handle))) return FALSE;
  *mode = 0x3;  // ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT, a console's default
  return TRUE;
}

ULONGLONG GetTickCount64() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return ULONGLONG(now.tv_sec) * 1000 + ULONGLONG(now.tv_nsec) / 1000000;
}

void AcquireSRWLockExclusive(SRWLOCK* lock) { pthread_mutex_lock(&lock->mutex); }

void ReleaseSRWLockExclusive(SRWLOCK* lock) { pthread_mutex_unlock(&lock->mutex); }
