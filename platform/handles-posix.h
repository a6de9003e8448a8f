// Handles of the kernel stand-in that stand for a descriptor: the standard
// handles, and the files CreateFileW opens.
#ifndef TONEWELL_PLATFORM_HANDLES_POSIX_H_
#define TONEWELL_PLATFORM_HANDLES_POSIX_H_

#include <cstddef>

#include "platform/standin.h"

// A handle for `fd`, closed with the handle when `owned`.
HANDLE standin_descriptor_handle(int fd, bool owned);
// The descriptor behind `handle`; -1 for events, threads and no handle.
int standin_descriptor(HANDLE handle);

// The bytes of `character` in the stand-in's code page (UTF-8, an escaped
// byte as itself) into `bytes`, at most 4; 0 for a character that spells
// none.
size_t standin_spell(wchar_t character, char* bytes);

#endif  // TONEWELL_PLATFORM_HANDLES_POSIX_H_
