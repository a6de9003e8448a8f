// The Linux layer's kernel32 events, standard and file handles, and the C
// runtime's _beginthreadex: just the behaviour tonewell relies on, built on
// the C++ thread library and the descriptors below the handles.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/faults-posix.h"
#include "platform/handles-posix.h"

namespace {

// An event, a thread that counts as signalled once it has ended, or a
// descriptor: a standard handle or a file that CreateFileW opened.
struct KernelObject {
  std::mutex mutex;
  std::condition_variable changed;
  bool manual_reset;  // threads stay signalled; auto-reset events do not
  bool signaled;
  int fd = -1;
  bool owns_fd = false;  // closed with the last reference

  ~KernelObject() {
    if (owns_fd) close(fd);
  }

  void set() {
    std::lock_guard<std::mutex> lock(mutex);
    signaled = true;
    changed.notify_all();
  }

  DWORD wait(DWORD milliseconds) {
    std::unique_lock<std::mutex> lock(mutex);
    auto ready = [this] { return signaled; };
    if (milliseconds == INFINITE) {
      changed.wait(lock, ready);
    } else if (!changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
      return WAIT_TIMEOUT;
    }
    // Auto-reset: this wait consumes the signal, so one SetEvent releases
    // exactly one waiter.
    if (!manual_reset) signaled = false;
    return WAIT_OBJECT_0;
  }
};

// A HANDLE points to one of these. A running thread holds a second
// reference, so closing its handle early frees nothing the thread touches.
typedef std::shared_ptr<KernelObject> Reference;

HANDLE new_handle(bool manual_reset, bool signaled) {
  Reference object = std::make_shared<KernelObject>();
  object->manual_reset = manual_reset;
  object->signaled = signaled;
  return new Reference(std::move(object));
}

Reference& reference_of(HANDLE handle) { return *static_cast<Reference*>(handle); }

}  // namespace

HANDLE descriptor_handle(int fd, bool owned) {
  HANDLE handle = new_handle(true, true);
  reference_of(handle)->fd = fd;
  reference_of(handle)->owns_fd = owned;
  return handle;
}

int descriptor_of(HANDLE handle) {
  return handle == nullptr || handle == INVALID_HANDLE_VALUE ? -1 : reference_of(handle)->fd;
}

// STD_INPUT_HANDLE (-10), STD_OUTPUT_HANDLE (-11) and STD_ERROR_HANDLE (-12)
// stand for descriptors 0, 1 and 2 for the whole run.
HANDLE GetStdHandle(DWORD which) {
  static HANDLE const standard[] = {descriptor_handle(0, false), descriptor_handle(1, false),
                                    descriptor_handle(2, false)};
  const int index = -10 - static_cast<int32_t>(which);
  return index < 0 || index > 2 ? nullptr : standard[index];
}

// What identifies a file, its volume and id, from the device and inode of a
// descriptor: a disk file, and a pipe too, which Windows does not answer for
// but Linux can name as a file (/dev/stdout, /proc/self/fd/1). A terminal or
// another device is nobody's input or output file.
BOOL GetFileInformationByHandleEx(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information,
                                  DWORD size) {
  struct stat st;
  const int fd = descriptor_of(handle);
  if (fd < 0 || kind != FileIdInfo || size < sizeof(FILE_ID_INFO) || fstat(fd, &st) != 0 ||
      !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
    return FALSE;
  }
  FILE_ID_INFO identity{};
  identity.VolumeSerialNumber = uint64_t(st.st_dev);
  const uint64_t inode = uint64_t(st.st_ino);
  memcpy(identity.FileId.Identifier, &inode, sizeof inode);
  memcpy(information, &identity, sizeof identity);
  return TRUE;
}

DWORD GetFileType(HANDLE handle) {
  struct stat st;
  const int fd = descriptor_of(handle);
  if (fd < 0 || fstat(fd, &st) != 0) return FILE_TYPE_UNKNOWN;
  if (S_ISREG(st.st_mode)) return FILE_TYPE_DISK;
  if (S_ISCHR(st.st_mode)) return FILE_TYPE_CHAR;
  return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ? FILE_TYPE_PIPE : FILE_TYPE_UNKNOWN;
}

HANDLE GetCurrentProcess() { return INVALID_HANDLE_VALUE; }

// Only the process's own pseudo-handle: the program ends no other process.
// The system call itself, since a sanitizer's _exit flushes the C library's
// streams first, which is what this call must never wait for.
BOOL TerminateProcess(HANDLE process, UINT exit_code) {
  if (process != GetCurrentProcess()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  syscall(SYS_exit_group, static_cast<int>(exit_code));
  return FALSE;  // not reached
}

namespace {
thread_local DWORD last_error = 0;
}  // namespace

DWORD GetLastError() { return last_error; }

void SetLastError(DWORD error) { last_error = error; }

// The call that platform_faults.event_fail_call names is counted by the
// events created before it, so it fails only if every earlier call succeeded.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state, LPCSTR) {
  if (platform_log.events_created == platform_faults.event_fail_call) return nullptr;
  ++platform_log.events_created;
  return new_handle(manual_reset != FALSE, initial_state != FALSE);
}

BOOL SetEvent(HANDLE event) {
  reference_of(event)->set();
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return reference_of(handle)->wait(milliseconds);
}

// Closes a file's descriptor with its handle; the standard handles are
// never closed by the program.
BOOL CloseHandle(HANDLE handle) {
  delete &reference_of(handle);
  return TRUE;
}

uintptr_t _beginthreadex(void*, unsigned, _beginthreadex_proc_type start, void* argument, unsigned,
                         unsigned*) {
  if (platform_faults.thread_fail) return 0;
  HANDLE handle = new_handle(true, false);
  Reference running = reference_of(handle);
  try {
    std::thread([running, start, argument] {
      start(argument);
      running->set();
    }).detach();
  } catch (const std::system_error&) {
    // The runtime answers 0 when it cannot start a thread.
    CloseHandle(handle);
    return 0;
  }
  return reinterpret_cast<uintptr_t>(handle);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read_bytes, OVERLAPPED*) {
  const int fd = descriptor_of(file);
  ssize_t got;
  do {
    got = fd < 0 ? -1 : read(fd, buffer, size);
  } while (got < 0 && errno == EINTR);
  if (read_bytes != nullptr) *read_bytes = got < 0 ? 0 : DWORD(got);
  if (got >= 0) return TRUE;
  SetLastError(fd < 0 ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED);
  return FALSE;
}

size_t write_fully(int fd, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD size, LPDWORD written, OVERLAPPED*) {
  const int fd = descriptor_of(file);
  const DWORD done = fd < 0 ? 0 : DWORD(write_fully(fd, buffer, size));
  if (written != nullptr) *written = done;
  return done == size;
}

// Opens anew what the descriptor stands for, as Linux names it under
// /proc: a file opened for writing alone (`>>`) can so be read, from its
// start. For reading only, as the program asks.
HANDLE ReOpenFile(HANDLE original, DWORD access, DWORD, DWORD) {
  const int fd = descriptor_of(original);
  if (fd < 0 || access != GENERIC_READ) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  const std::string name = "/proc/self/fd/" + std::to_string(fd);
  const int reopened = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (reopened < 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return descriptor_handle(reopened, true);
}

BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size) {
  struct stat st;
  const int fd = descriptor_of(file);
  if (fd < 0 || fstat(fd, &st) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  size->QuadPart = int64_t(st.st_size);
  return TRUE;
}
