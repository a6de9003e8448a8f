// The input opened through the AVI file layer, and the conversion of one of
// its audio streams.
#ifndef TONEWELL_INPUT_INPUT_FILE_H_
#define TONEWELL_INPUT_INPUT_FILE_H_

#include <cstdint>

#include "platform/platform.h"
#include "report/reporter.h"
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

#endif  // TONEWELL_INPUT_INPUT_FILE_H_
