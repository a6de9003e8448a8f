// The Linux layer's COM runtime, the shell path utilities and the C runtime
// calls that have no POSIX namesake.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/faults-posix.h"

namespace {

// Windows knows neither signal: a write to a pipe whose reader went away, or
// one past the process's file-size limit (ulimit -f), fails like any other
// write. Make it so here too, for the whole process, so that the failure is
// reported and the run ends with status 1 instead of dying silently with a
// partial output.
void ignore_write_signals() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

// A standard descriptor closed at start (`<&- >&-`) would go to the first
// file the run opens, and messages meant for the console would be written
// into it. Windows keeps the C runtime's descriptors 0 to 2 for the standard
// streams even when a handle is missing, and using one fails with EBADF. So
// here /dev/null takes each closed one, opened the other way round (input for
// writing, output and error for reading): using it still fails as it did, so
// WAVE data sent there is reported lost instead of swallowed with success.
void hold_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open gives the lowest free descriptor: this one. Without /dev/null
    // nothing keeps the place, and the run must not start.
    if (open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY) != fd) _exit(1);
  }
}

// Windows knows no SIGIO either: the kernel sends it when another open of a
// file meets the lease that the Linux layer takes for a moment to see whether
// the file is open elsewhere (share-posix.cc), and by default it would end
// the run.
void ignore_lease_breaks() { signal(SIGIO, SIG_IGN); }

// Before any other initialiser, so that nothing opens a file first.
__attribute__((constructor(101))) void prepare_process() {
  hold_standard_descriptors();
  ignore_write_signals();
  ignore_lease_breaks();
}

}  // namespace

HRESULT CoInitializeEx(LPVOID, DWORD) {
  platform_log.calls.push_back("CoInitializeEx");
  return platform_faults.coinit_result;
}

void CoUninitialize() { platform_log.calls.push_back("CoUninitialize"); }

BOOL PathFileExistsA(LPCSTR path) {
  struct stat info;
  return stat(path, &info) == 0 ? TRUE : FALSE;
}

// POSIX streams know no text mode: every mode is binary already.
int _setmode(int, int) { return _O_BINARY; }

int _fileno(FILE* stream) { return fileno(stream); }

DWORD GetEnvironmentVariableA(LPCSTR name, char* buffer, DWORD size) {
  const char* value = getenv(name);
  if (value == nullptr) return 0;
  const DWORD needed = DWORD(strlen(value) + 1);
  if (buffer == nullptr || size < needed) return needed;
  memcpy(buffer, value, needed);
  return needed - 1;
}
