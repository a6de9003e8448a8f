// Share modes of the Linux layer, in share-posix.cc: the AVI layer's inputs and
// the program's outputs hold their files as Windows does.
#ifndef TONEWELL_PLATFORM_SHARE_POSIX_H_
#define TONEWELL_PLATFORM_SHARE_POSIX_H_

#include <cstdio>

// For a file the AVI layer opens with OF_SHARE_DENY_WRITE: false when a
// writer holds it. Closing `fd` lets go.
bool share_deny_write(int fd);

// For an open that shares nothing: false when the file has any other open,
// in this process or another. Where Linux cannot tell, true.
bool share_nothing(int fd);

// _wfsopen with the name as bytes.
FILE* fsopen_shared(const char* path, const char* mode, int share);

#endif  // TONEWELL_PLATFORM_SHARE_POSIX_H_
