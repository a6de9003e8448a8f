// Share-mode emulation with open file description locks, which hold between
// processes and between two opens in one process alike. Windows refuses to
// open for writing a file that the AVI file layer holds open with
// OF_SHARE_DENY_WRITE, and refuses that share mode on a file open for
// writing. So the Linux layer's AVIFileOpenA takes a read lock on the whole
// input, and _wfsopen for writing takes a write lock on the whole file before
// cutting it, and holds it until the file is closed. Where the other kind of
// lock is held, the open is refused (EACCES from _wfsopen, AVIERR_FILEOPEN
// from AVIFileOpenA) and the file is untouched. LockFileEx takes the same
// locks on a handle's descriptor. Programs that take no locks are neither
// stopped nor seen.
//
// A file opened "wb" is written through a cookie stream, which logs the
// largest write stdio hands it: the program itself keeps its writes small
// (large ones stall while the page cache takes them in).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/faults-posix.h"
#include "platform/handles-posix.h"
#include "platform/share-posix.h"

namespace {

// `length` bytes from `start`; a range reaching past what off_t counts is
// the whole file from `start`, however far it grows (l_len 0).
bool lock_range(int fd, short type, uint64_t start, uint64_t length, int command = F_OFD_SETLK) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = off_t(start);
  lock.l_len = start + length < start || start + length > uint64_t(INT64_MAX) ? 0 : off_t(length);
  return fcntl(fd, command, &lock) == 0;
}

bool lock_whole_file(int fd, short type) { return lock_range(fd, type, 0, UINT64_MAX); }

int fd_of(void* cookie) { return static_cast<int>(reinterpret_cast<intptr_t>(cookie)); }

// As write(2) would answer for the whole, short writes retried: the bytes
// written, or -1 when none were. A short count makes stdio mark the stream
// in error.
ssize_t write_whole(void* cookie, const char* data, size_t size) {
  platform_log.largest_write = std::max(platform_log.largest_write, size);
  const size_t done = write_fully(fd_of(cookie), data, size);
  return done > 0 || size == 0 ? static_cast<ssize_t>(done) : -1;
}

int close_fd(void* cookie) { return close(fd_of(cookie)); }

// open(2) flags for an fopen mode that writes, without O_TRUNC: a file is cut
// only once it is known to be no one's input.
int writing_flags(const char* mode) {
  int flags = (std::strchr(mode, '+') ? O_RDWR : O_WRONLY) | O_CLOEXEC;
  if (mode[0] == 'w') flags |= O_CREAT;
  if (mode[0] == 'a') flags |= O_CREAT | O_APPEND;
  return flags;
}

// `path` opened for `mode`, locked for writing and cut when the mode says so;
// -1 with errno EACCES when another open holds a lock on it. Devices and pipes
// cannot be an input and are not locked.
int open_for_writing(const char* path, const char* mode) {
  int fd = open(path, writing_flags(mode), 0666);
  if (fd < 0) return fd;
  struct stat st;
  const bool known = fstat(fd, &st) == 0;
  if (known && !S_ISREG(st.st_mode)) return fd;
  if (!lock_whole_file(fd, F_WRLCK)) {
    close(fd);
    errno = EACCES;
    return -1;
  }
  // Only a file with something in it is cut: ext4 takes ftruncate to 0 as a
  // file being replaced and writes it back at close, which cost a 512 MiB
  // conversion into a new file 80% more time.
  if (mode[0] == 'w' && (!known || st.st_size > 0) && ftruncate(fd, 0) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

}  // namespace

bool share_deny_write(int fd) { return lock_whole_file(fd, F_RDLCK); }

// Linux grants a write lease only on a file that no other open file
// description has open, for reading or writing, which is what an open
// sharing nothing asks on Windows; the lease is let go at once. An open
// elsewhere meanwhile waits for that, and the kernel signals this process,
// which ignores SIGIO (runtime-posix.cc). No lease is granted on another
// user's file without CAP_LEASE, on file systems without leases, or on
// anything but a regular file: nothing is known then, and the open goes on.
// Descriptors opened by name alone (O_PATH) count as no open, as handles
// without access do on Windows.
bool share_nothing(int fd) {
  if (fcntl(fd, F_SETLEASE, F_WRLCK) != 0) return errno != EAGAIN;
  fcntl(fd, F_SETLEASE, F_UNLCK);
  return true;
}

// Windows' _SH_DENYNO lets other writers in where the Linux layer, with one
// lock for "open for writing" and "denies writers", refuses them too: the
// program shares an output only with the shell's own handle, which holds no
// lock. "wb", the program's own mode, writes in pieces.
FILE* fsopen_shared(const char* path, const char* mode, int) {
  if (!std::strpbrk(mode, "wa+")) return fopen(path, mode);
  int fd = open_for_writing(path, mode);
  if (fd < 0) return nullptr;
  cookie_io_functions_t io = {nullptr, write_whole, nullptr, close_fd};
  void* cookie = reinterpret_cast<void*>(static_cast<intptr_t>(fd));
  FILE* file = std::strcmp(mode, "wb") == 0 ? fopencookie(cookie, mode, io) : fdopen(fd, mode);
  if (file == nullptr) close(fd);
  return file;
}

// Byte-range locks as the descriptor's open file description holds them:
// like Windows' they bind every other open, in this process too.
BOOL LockFileEx(HANDLE file, DWORD flags, DWORD, DWORD length_low, DWORD length_high,
                OVERLAPPED* overlapped) {
  const uint64_t start = overlapped->Offset | uint64_t{overlapped->OffsetHigh} << 32;
  const short type = flags & LOCKFILE_EXCLUSIVE_LOCK ? F_WRLCK : F_RDLCK;
  const int command = flags & LOCKFILE_FAIL_IMMEDIATELY ? F_OFD_SETLK : F_OFD_SETLKW;
  const int fd = descriptor_of(file);
  if (fd >= 0 && lock_range(fd, type, start, length_low | uint64_t{length_high} << 32, command))
    return TRUE;
  SetLastError(fd < 0                               ? ERROR_INVALID_HANDLE
               : errno == EAGAIN || errno == EACCES ? ERROR_LOCK_VIOLATION
                                                    : ERROR_INVALID_FUNCTION);
  return FALSE;
}

BOOL UnlockFileEx(HANDLE file, DWORD, DWORD length_low, DWORD length_high, OVERLAPPED* overlapped) {
  const uint64_t start = overlapped->Offset | uint64_t{overlapped->OffsetHigh} << 32;
  const int fd = descriptor_of(file);
  return fd >= 0 && lock_range(fd, F_UNLCK, start, length_low | uint64_t{length_high} << 32);
}
