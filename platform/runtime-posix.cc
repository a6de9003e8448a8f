// Stand-ins for the COM runtime, the shell path utilities and the C runtime
// calls that have no POSIX namesake.
#include <signal.h>
#include <sys/stat.h>

#include "platform/standin_faults.h"

namespace {

// Windows has no SIGPIPE: a write to a pipe whose reader went away fails
// like any other write. Make it so here too, for the whole process, so that
// `tonewell in -` piped into a consumer that quits reports a write error
// instead of dying silently.
struct IgnoreBrokenPipe {
  IgnoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }
} ignore_broken_pipe;

}  // namespace

HRESULT CoInitializeEx(LPVOID, DWORD) {
  standin_log.calls.push_back("CoInitializeEx");
  return standin_faults.coinit_result;
}

void CoUninitialize() { standin_log.calls.push_back("CoUninitialize"); }

BOOL PathFileExistsA(LPCSTR path) {
  struct stat info;
  return stat(path, &info) == 0 ? TRUE : FALSE;
}

// POSIX streams know no text mode: every mode is binary already.
int _setmode(int, int) { return _O_BINARY; }

int _fileno(FILE* stream) { return fileno(stream); }
