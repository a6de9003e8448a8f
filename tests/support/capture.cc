#include "tests/support/capture.h"

#include <errno.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include "platform/platform.h"

StreamCapture::StreamCapture(FILE* stream) : stream(stream), saved_fd(-1), file(tmpfile()) {
  fflush(stream);
  saved_fd = dup(fileno(stream));
  dup2(fileno(file), fileno(stream));
}

StreamCapture::~StreamCapture() { finish(); }

namespace {

// Points `stream` back at the descriptor saved in `saved_fd`, which is spent.
void restore(FILE* stream, int* saved_fd) {
  fflush(stream);
  clearerr(stream);
  dup2(*saved_fd, fileno(stream));
  close(*saved_fd);
  *saved_fd = -1;
}

}  // namespace

std::string StreamCapture::finish() {
  if (saved_fd < 0) return std::string();
  restore(stream, &saved_fd);
  std::string text;
  rewind(file);
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
  fclose(file);
  file = nullptr;
  return text;
}

TerminalCapture::TerminalCapture(FILE* stream, int columns) : stream(stream) {
  fflush(stream);
  saved_fd = dup(fileno(stream));
  termios raw{};
  cfmakeraw(&raw);
  winsize size{24, static_cast<unsigned short>(columns), 0, 0};
  int follower;
  openpty(&leader, &follower, nullptr, &raw, &size);
  dup2(follower, fileno(stream));
  close(follower);
  reader = std::thread([this] {
    char chunk[4096];
    ssize_t n;
    // Ends with EIO once the last descriptor of the terminal's other end is closed.
    while ((n = read(leader, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR)) {
      if (n > 0) received.append(chunk, size_t(n));
    }
  });
}

TerminalCapture::~TerminalCapture() { finish(); }

void TerminalCapture::resize(int columns) {
  winsize size{24, static_cast<unsigned short>(columns), 0, 0};
  ioctl(leader, TIOCSWINSZ, &size);
}

std::string TerminalCapture::finish() {
  if (saved_fd < 0) return std::string();
  restore(stream, &saved_fd);
  reader.join();
  close(leader);
  return received;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tonewell-XXXXXX").string();
  path = mkdtemp(pattern.data());
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::wstring wide(const std::string& text) {
  std::wstring converted(MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0),
                         L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), converted.data(),
                      int(converted.size()));
  return converted;
}

int call_entry(int (*entry)(int, wchar_t**), std::vector<std::string> args) {
  args.insert(args.begin(), "tonewell");
  std::vector<std::wstring> wide_args;
  for (const std::string& arg : args) wide_args.push_back(wide(arg));
  std::vector<wchar_t*> argv;
  for (std::wstring& arg : wide_args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return entry(static_cast<int>(args.size()), argv.data());
}

ProgramRun run_in_process(int (*entry)(int, wchar_t**), std::vector<std::string> args) {
  ConsoleCapture console;
  int status = call_entry(entry, std::move(args));
  console.finish();
  return {status, console.out_text, console.err_text};
}
