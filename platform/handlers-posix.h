// The file handlers of the AVI file layer stand-in, one per file type, as
// Windows registers one per extension. The layer picks a handler for a file
// and serves every call on its streams from what the handler read.
#ifndef TONEWELL_PLATFORM_HANDLERS_POSIX_H_
#define TONEWELL_PLATFORM_HANDLERS_POSIX_H_

#include <cstdint>
#include <vector>

#include "platform/riff-posix.h"
#include "platform/standin.h"

namespace standin {

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

}  // namespace standin

#endif  // TONEWELL_PLATFORM_HANDLERS_POSIX_H_
