// The one way program code reaches the platform. On Windows these are the
// real SDK headers; elsewhere our own Linux layer offers the same names, types
// and results, so cli/, input/ and wave/ never need a conditional.
#ifndef TONEWELL_PLATFORM_PLATFORM_H_
#define TONEWELL_PLATFORM_PLATFORM_H_

#ifdef _WIN32
// windows.h first: the others need what it declares.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <process.h>
#include <share.h>
#include <shlwapi.h>
#include <vfw.h>
#else
#include "platform/windows-posix.h"
#endif
#include "platform/clip_info.h"

#endif  // TONEWELL_PLATFORM_PLATFORM_H_
