// The file handlers of the Linux layer's AVI file layer, one per file type, as
// Windows registers one per extension. The layer picks a handler for a file
// and serves every call on its streams from what the handler read.
#ifndef TONEWELL_PLATFORM_HANDLERS_POSIX_H_
#define TONEWELL_PLATFORM_HANDLERS_POSIX_H_

#include <cstdint>
#include <vector>

#include "platform/riff-posix.h"
#include "platform/windows-posix.h"

namespace posix {

struct FileHandler {
  // Reads the file's audio streams, in stream order. A file that is not of
  // the handler's type gets the handler's own answer.
  HRESULT (*open)(int fd, uint64_t file_size, std::vector<Track>* tracks);
  const char* stream_name;  // szName of its streams
  // AVIFileGetStream with a negative number: AVIERR_BADPARAM before the
  // stream pointer is touched, or else a stream that does not exist.
  bool refuses_negative_stream;
  HRESULT read_outside;  // AVIStreamRead starting before or past the stream
};

extern const FileHandler kWaveHandler;  // RIFF and RF64 WAVE
extern const FileHandler kAviHandler;   // RIFF AVI

// A script, as a script handler holds it open; each handler defines its own.
struct Script;

// A handler that runs a script and makes its one stream as it is read: the
// layer passes the calls on the file and its stream on to it. It reads the
// script by name and holds nothing open afterwards.
struct ScriptHandler {
  // Runs the script at `path`. A script that fails still opens, keeping its
  // error; REGDB_E_CLASSNOTREG when the script engine is not installed.
  HRESULT (*open)(const char* path, Script** script);
  void (*close)(Script* script);
  // IAvisynthClipInfo::GetError: nonzero when the script failed (or a read
  // did), with `*message` at the text; null when there is none.
  int (*error)(const Script* script, const char** message);
  // AVIFileGetStream's answer for stream `number` of `type`.
  HRESULT (*find_stream)(const Script* script, DWORD type, LONG number);
  // The calls on the stream, answered as the calls of their names are.
  void (*info)(const Script* script, AVISTREAMINFOA* info);
  HRESULT (*read_format)(const Script* script, void* format, LONG* size);
  // AVIStreamRead's parameters after the stream.
  HRESULT (*read)(Script* script, LONG, LONG, void*, LONG, LONG*, LONG*);
};

extern const ScriptHandler kAvisynthHandler;  // AviSynth scripts, through AviSynth+

}  // namespace posix

#endif  // TONEWELL_PLATFORM_HANDLERS_POSIX_H_
