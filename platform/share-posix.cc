// Share-mode emulation. Windows refuses to open for writing a file that the
// AVI file layer holds open with OF_SHARE_DENY_WRITE, so an output path that
// names the input can never truncate it. The stand-in's AVIFileOpenA registers
// the files it holds that way; every fopen of the program (linked with
// -Wl,--wrap=fopen -Wl,--wrap=fopen64) comes here first and is refused with
// EACCES when it would write to one of them.
//
// A file opened "wb" also hands its data to the kernel in writes of at most
// 512 KiB. stdio passes a large fwrite on as one write of that size, and on
// our Linux machines writes of 1 MiB and more often stall while the page
// cache takes them in as large folios: 2 GiB written in 1 MiB writes took 1.2
// to 1.6 s, in 512 KiB writes 0.57 to 0.65 s, in 128 KiB writes 0.70 to
// 0.74 s (cp: 0.54 s). The program still makes one fwrite per span of its
// ring.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/standin.h"

extern "C" FILE* __real_fopen(const char* path, const char* mode);
extern "C" FILE* __real_fopen64(const char* path, const char* mode);

namespace {

struct HeldFile {
  dev_t dev;
  ino_t ino;
};

std::mutex held_mutex;  // constant-initialised: safe before any constructor ran

// Never destroyed, so an fopen during exit still finds it.
std::vector<HeldFile>& held_files() {
  static std::vector<HeldFile>* held = new std::vector<HeldFile>();
  return *held;
}

bool is_held(const char* path) {
  struct stat st;
  if (!path || stat(path, &st) != 0) return false;
  std::lock_guard<std::mutex> lock(held_mutex);
  for (const HeldFile& h : held_files()) {
    if (h.dev == st.st_dev && h.ino == st.st_ino) return true;
  }
  return false;
}

bool refused(const char* path, const char* mode) {
  if (!mode || !std::strpbrk(mode, "wa+")) return false;
  if (!is_held(path)) return false;
  errno = EACCES;
  return true;
}

}  // namespace

// Called by the AVI stand-in (avifile-posix.cc) for each file it holds with
// OF_SHARE_DENY_WRITE, once when opened and once when closed.
void standin_share_hold(dev_t dev, ino_t ino) {
  std::lock_guard<std::mutex> lock(held_mutex);
  held_files().push_back({dev, ino});
}

void standin_share_release(dev_t dev, ino_t ino) {
  std::lock_guard<std::mutex> lock(held_mutex);
  std::vector<HeldFile>& held = held_files();
  for (size_t i = 0; i < held.size(); ++i) {
    if (held[i].dev == dev && held[i].ino == ino) {
      held.erase(held.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

namespace {

constexpr size_t kWritePiece = 512 << 10;

int fd_of(void* cookie) { return static_cast<int>(reinterpret_cast<intptr_t>(cookie)); }

// As write(2) would answer for the whole: the bytes written, or -1 when none
// were. A short count makes stdio mark the stream in error.
ssize_t write_in_pieces(void* cookie, const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd_of(cookie), data + done, std::min(size - done, kWritePiece));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done > 0 || size == 0 ? static_cast<ssize_t>(done) : -1;
}

int close_fd(void* cookie) { return close(fd_of(cookie)); }

// fopen(path, "wb"), writing in pieces.
FILE* open_for_writing(const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  cookie_io_functions_t io = {nullptr, write_in_pieces, nullptr, close_fd};
  FILE* file = fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), "wb", io);
  if (file == nullptr) close(fd);
  return file;
}

}  // namespace

extern "C" FILE* __wrap_fopen(const char* path, const char* mode) {
  if (refused(path, mode)) return nullptr;
  return std::strcmp(mode, "wb") == 0 ? open_for_writing(path) : __real_fopen(path, mode);
}

extern "C" FILE* __wrap_fopen64(const char* path, const char* mode) {
  if (refused(path, mode)) return nullptr;
  return std::strcmp(mode, "wb") == 0 ? open_for_writing(path) : __real_fopen64(path, mode);
}
