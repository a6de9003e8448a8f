// IAvisynthClipInfo, which script handlers of the AVI file layer answer on
// their file objects (QueryInterface on the PAVIFILE). A script that fails
// still opens, as a clip showing its error; this is where a caller learns
// the error's text. Program code has it through platform/platform.h.
#ifndef TONEWELL_PLATFORM_CLIP_INFO_H_
#define TONEWELL_PLATFORM_CLIP_INFO_H_

#ifdef _WIN32
#include <objbase.h>
#else
#include "platform/windows-posix.h"
#endif

// {E6D6B708-124D-11D4-86F3-DB80AFD98778}
constexpr IID IID_IAvisynthClipInfo = {
    0xE6D6B708, 0x124D, 0x11D4, {0x86, 0xF3, 0xDB, 0x80, 0xAF, 0xD9, 0x87, 0x78}};

#ifdef _WIN32
// The handlers' COM interface: IUnknown, then these, __stdcall on both
// widths. GetError answers nonzero when the script failed, with `*message`
// at its text (system code page, possibly several lines), owned by the
// handler and valid while the file is open.
#undef INTERFACE
#define INTERFACE IAvisynthClipInfo
DECLARE_INTERFACE_(IAvisynthClipInfo, IUnknown) {
  STDMETHOD_(int, GetError)(THIS_ const char** message) PURE;
  STDMETHOD_(bool, GetParity)(THIS_ int frame) PURE;
  STDMETHOD_(bool, IsFieldBased)(THIS) PURE;
};
#undef INTERFACE
#else
// The Linux layer's: the calls the program makes, same names and results. Its
// script handler's files answer it, and test hooks make others answer it
// (platform/faults-posix.h).
struct IAvisynthClipInfo {
  ULONG Release();
  int GetError(const char** message);
};
#endif

#endif  // TONEWELL_PLATFORM_CLIP_INFO_H_
