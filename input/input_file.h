// The input opened through the AVI file layer, and the conversion of one of
// its audio streams.
#ifndef TONEWELL_INPUT_INPUT_FILE_H_
#define TONEWELL_INPUT_INPUT_FILE_H_

#include <cstdint>

#include "cli/reporter.h"
#include "platform/platform.h"
#include "wave/wave_sink.h"

struct InputFile {
  PAVIFILE file;
  const Reporter* reporter;

  explicit InputFile(const Reporter* reporter) : file(nullptr), reporter(reporter) {}
  ~InputFile() { close(); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Paths are wide: UTF-16 on Windows, where any file name can be spelled.
  // False when the file cannot be opened, or when it opened but its script
  // failed; the file is then held until close, which releases it as usual.
  bool open(const wchar_t* path);
  // Opens audio stream `stream_number`, reads its facts and format and
  // transfers it to `destination`, asking for the extensible format chunk
  // where it applies when `extensible`. True only when the whole stream
  // arrived in the destination.
  bool convert_stream(int32_t stream_number, const Destination& destination, bool extensible);
  void close();
};

// A script that fails still opens, as a clip showing the error, and a
// filter may fail later, while it delivers audio: either way the script
// handler's own report (IAvisynthClipInfo on the file) is all that tells the
// user what went wrong. True when `file` reports such an error, which is
// then printed with the handler's text; handlers that run no scripts lack
// the interface and answer false.
bool script_failed(PAVIFILE file, const Reporter& reporter);

#endif  // TONEWELL_INPUT_INPUT_FILE_H_
