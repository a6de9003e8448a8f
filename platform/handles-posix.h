// Handles of the Linux layer's kernel32 that stand for a descriptor: the standard
// handles, and the files CreateFileW opens.
#ifndef TONEWELL_PLATFORM_HANDLES_POSIX_H_
#define TONEWELL_PLATFORM_HANDLES_POSIX_H_

#include <cstddef>

#include "platform/windows-posix.h"

// A handle for `fd`, closed with the handle when `owned`.
HANDLE descriptor_handle(int fd, bool owned);
// The descriptor behind `handle`; -1 for events, threads and no handle.
int descriptor_of(HANDLE handle);

// Writes all of `data` to `fd`, short writes retried; the bytes written,
// fewer where a write failed. Allocates nothing, so that a signal handler
// may call it.
size_t write_fully(int fd, const void* data, size_t size);

// The bytes of `character` in the Linux layer's code page (UTF-8, an escaped
// byte as itself) into `bytes`, at most 4; 0 for a character that spells
// none.
size_t spell_character(wchar_t character, char* bytes);

#endif  // TONEWELL_PLATFORM_HANDLES_POSIX_H_
