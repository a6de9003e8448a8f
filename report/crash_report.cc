#include "report/crash_report.h"

#include <string>

#include "platform/platform.h"
#include "report/console_text.h"
#include "report/messages.h"

namespace {

// Room for the report on a thread whose stack overflowed.
constexpr ULONG kReportStackBytes = 64 << 10;

// Everything the report needs, made before any fault: a fault may strike
// with the heap or a lock in any state, and a stack overflow leaves little
// room (under Wine's 64-bit loader a page), so the report allocates nothing,
// takes no lock and makes one call of the system's.
struct CrashReport {
  HANDLE stream = nullptr;    // where the message goes; null: nowhere
  bool console = false;       // written as text, after a line break
  std::string bytes;          // as the C runtime would write them on the stream
  std::wstring console_text;  // as a console takes them
  const ProgressLine* progress_line = nullptr;
};
CrashReport crash_report;

// `text` as the C runtime writes it on descriptor `fd`: a stream in text
// mode (Windows' standard error) ends its lines with "\r\n".
std::string as_written(const char* text, int fd) {
  const int mode = _setmode(fd, _O_BINARY);
  _setmode(fd, mode);
  std::string bytes;
  for (const char* at = text; *at != '\0'; ++at) {
    if (*at == '\n' && mode == _O_TEXT) bytes += '\r';
    bytes += *at;
  }
  return bytes;
}

LONG WINAPI on_unhandled_exception(EXCEPTION_POINTERS*) {
  const CrashReport& report = crash_report;
  DWORD written;
  if (report.console) {
    // A progress line standing there keeps its place; the message goes below.
    const bool line_shown =
        report.progress_line != nullptr && report.progress_line->shown_columns != 0;
    const size_t skip = line_shown ? 0 : 1;
    WriteConsoleW(report.stream, report.console_text.data() + skip,
                  static_cast<DWORD>(report.console_text.size() - skip), &written, nullptr);
  } else if (report.stream != nullptr) {
    WriteFile(report.stream, report.bytes.data(), static_cast<DWORD>(report.bytes.size()), &written,
              nullptr);
  }
  TerminateProcess(GetCurrentProcess(), 1);
  return EXCEPTION_EXECUTE_HANDLER;
}

// Vectored handlers run before the search for frame handlers, which on an
// overflowed stack can itself run out of room (under Wine's 64-bit loader
// the process then ends without a word); nobody recovers from an overflow.
LONG WINAPI on_stack_overflow(EXCEPTION_POINTERS* exception) {
  if (exception->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW)
    return EXCEPTION_CONTINUE_SEARCH;
  return on_unhandled_exception(exception);
}

}  // namespace

void report_crashes(const Reporter& reporter) {
  if (GetEnvironmentVariableA("TONEWELL_RAW_CRASH", nullptr, 0) != 0) return;
  FILE* const stream = reporter.error_stream();
  if (stream != nullptr) {
    crash_report.stream = GetStdHandle(stream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode;
    crash_report.console = GetConsoleMode(crash_report.stream, &mode);
    crash_report.bytes = as_written(kCrashed, _fileno(stream));
    crash_report.console_text = L"\n" + wide_message(kCrashed);
  }
  crash_report.progress_line = reporter.progress_line;
  // The main thread runs the script handler, whose scripts may recurse.
  ULONG guarantee = kReportStackBytes;
  SetThreadStackGuarantee(&guarantee);
  AddVectoredExceptionHandler(1, on_stack_overflow);
  SetUnhandledExceptionFilter(on_unhandled_exception);
}
