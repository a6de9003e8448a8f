// Share-mode emulation. Windows refuses to open for writing a file that the
// AVI file layer holds open with OF_SHARE_DENY_WRITE, so an output path that
// names the input can never truncate it. The stand-in's AVIFileOpenA registers
// the files it holds that way; every fopen of the program (linked with
// -Wl,--wrap=fopen -Wl,--wrap=fopen64) comes here first and is refused with
// EACCES when it would write to one of them.
#include <errno.h>
#include <sys/stat.h>

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

extern "C" FILE* __wrap_fopen(const char* path, const char* mode) {
  return refused(path, mode) ? nullptr : __real_fopen(path, mode);
}

extern "C" FILE* __wrap_fopen64(const char* path, const char* mode) {
  return refused(path, mode) ? nullptr : __real_fopen64(path, mode);
}
