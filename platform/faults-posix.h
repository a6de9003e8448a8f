// Test hooks of the Linux layer: they make the platform answer what real
// files and a healthy kernel cannot, so that every failure path of the
// program can be driven through its real code. Only tests set them; the
// shipped program has no way to reach them.
#ifndef TONEWELL_PLATFORM_FAULTS_POSIX_H_
#define TONEWELL_PLATFORM_FAULTS_POSIX_H_

#include <string>
#include <vector>

#include "platform/windows-posix.h"

struct PlatformFaults {
  // AVI file layer: a nonzero value is answered instead of the real result.
  HRESULT open_result = 0;
  void (*on_open)() = nullptr;  // called as AVIFileOpenA begins, as a script is evaluated
  HRESULT get_stream_result = 0;
  HRESULT info_result = 0;
  HRESULT format_size_result = 0;  // AVIStreamReadFormat asked for the size
  HRESULT format_read_result = 0;  // AVIStreamReadFormat asked for the bytes
  LONG format_size = -1;           // other than -1: reported as the format's size
  bool override_facts = false;     // report sample_size and length below
  DWORD sample_size = 0;
  DWORD length = 0;
  // AVIStreamRead, by 0-based call number among the reads into a buffer
  // (a null buffer only asks for sizes and is never failed); -1 never.
  int read_fail_call = -1;
  HRESULT read_fail_result = 0;
  int short_read_call = -1;             // delivers one sample fewer than asked
  int bad_bytes_call = -1;              // reports one byte more than it delivered
  void (*on_read)(int call) = nullptr;  // called as each read begins, with its number
  // A script handler's report: files answer IAvisynthClipInfo when
  // `clip_info` is set, and its GetError reports `script_error` unless null,
  // or else, once the read `read_fail_call` has failed on one of the file's
  // streams, `read_error_text` unless null: a filter's error while it
  // delivered audio.
  bool clip_info = false;
  const char* script_error = nullptr;
  const char* read_error_text = nullptr;
  // COM, kernel and runtime.
  HRESULT coinit_result = 0;  // nonzero: CoInitializeEx answers this
  int event_fail_call = -1;   // this CreateEventA call (0-based) answers null
  bool thread_fail = false;   // _beginthreadex answers 0
  bool alloc_fail = false;    // VirtualAlloc answers null
};

struct PlatformRead {
  LONG start;
  LONG samples;
  LONG buffer_size;
};

// What the Linux layer was asked, for tests of call order and read pattern.
struct PlatformLog {
  std::vector<std::string> calls;          // AVIFileOpenA, AVIStreamRelease, CoUninitialize, ...
  std::vector<PlatformRead> reads;         // every AVIStreamRead into a buffer, in order
  std::vector<PlatformRead> size_queries;  // every AVIStreamRead with a null buffer
  int events_created = 0;
  int live_files = 0;  // file objects not yet freed: 0 once every reference is released
  // The most bytes that one write handed to a file opened "wb".
  size_t largest_write = 0;
};

extern PlatformFaults platform_faults;
extern PlatformLog platform_log;

// Back to a healthy platform with an empty log.
void reset_platform();

#endif  // TONEWELL_PLATFORM_FAULTS_POSIX_H_
