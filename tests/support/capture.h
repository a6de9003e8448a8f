// Captures what in-process code writes to standard output and standard
// error, through the descriptors, so that printf, fwrite and vfprintf on
// stdout/stderr are all seen byte for byte.
#ifndef TONEWELL_TESTS_SUPPORT_CAPTURE_H_
#define TONEWELL_TESTS_SUPPORT_CAPTURE_H_

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

struct StreamCapture {
  FILE* stream;
  int saved_fd;
  FILE* file;

  explicit StreamCapture(FILE* stream);
  ~StreamCapture();
  StreamCapture(const StreamCapture&) = delete;
  StreamCapture& operator=(const StreamCapture&) = delete;

  // Restores the stream and returns everything written to it meanwhile.
  std::string finish();
};

// Both streams at once, for running the program's entry in-process.
struct ConsoleCapture {
  StreamCapture out{stdout};
  StreamCapture err{stderr};
  std::string out_text;
  std::string err_text;

  void finish() {
    out_text = out.finish();
    err_text = err.finish();
  }
};

// A stream on a pseudo-terminal of `columns` columns, in raw mode so that
// what is written arrives byte for byte: a console, as the Linux layer sees
// one. What arrives is read as it comes, so writes never wait.
struct TerminalCapture {
  FILE* stream;
  int saved_fd;
  int leader = -1;
  std::string received;  // by `reader`, until finish() has joined it
  std::thread reader;

  TerminalCapture(FILE* stream, int columns);
  ~TerminalCapture();
  TerminalCapture(const TerminalCapture&) = delete;
  TerminalCapture& operator=(const TerminalCapture&) = delete;

  // As a user resizing the terminal's window.
  void resize(int columns);
  // Restores the stream and returns everything written to it meanwhile.
  std::string finish();
};

// A fresh empty directory below the system's temporary directory, removed
// with everything in it when the object goes away.
struct TempDir {
  std::string path;

  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string file(const std::string& name) const { return path + "/" + name; }
};

std::string read_file(const std::string& path);

// `text` as a wide string in the Linux layer's code page, as the program's
// entry hands on its arguments and paths.
std::wstring wide(const std::string& text);

struct ProgramRun {
  int status;
  std::string out;
  std::string err;
};

// Calls a program's entry routine with `args` after the program name,
// handed on wide as the entry does; its exit status.
int call_entry(int (*entry)(int, wchar_t**), std::vector<std::string> args);

// The same, capturing its console.
ProgramRun run_in_process(int (*entry)(int, wchar_t**), std::vector<std::string> args);

#endif  // TONEWELL_TESTS_SUPPORT_CAPTURE_H_
