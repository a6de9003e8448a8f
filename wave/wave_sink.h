// The output end of a conversion: the destination and its RIFF/WAVE header.
#ifndef TONEWELL_WAVE_WAVE_SINK_H_
#define TONEWELL_WAVE_WAVE_SINK_H_

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "platform/platform.h"
#include "report/reporter.h"

// The plain header: RIFF, its size, WAVE, a 16-byte format chunk and the
// data chunk's head.
constexpr uint32_t kWaveHeaderSize = 44;

// Where the WAVE data goes.
struct Destination {
  const wchar_t* path;  // null: standard output
  // The shell opened the file as a standard stream of the run too, so it is
  // already open for writing, by a handle the run cannot give up.
  bool open_as_standard_stream;
  // The path names the input file itself, whatever its spelling.
  bool names_input;
};

struct WaveSink {
  // What the format chunk holds: the first 16 bytes, or all 40 when the tag
  // is WAVE_FORMAT_EXTENSIBLE.
  WAVEFORMATEXTENSIBLE format;
  uint64_t total_bytes;
  std::atomic<uint64_t> written_bytes;
  FILE* output;       // owned unless it is stdout
  bool holds_stdout;  // standard output is a file, locked against other writers
  const Reporter* reporter;

  // Creates the destination's file (or takes standard output) and writes the
  // header. A file is cut only when it is nobody else's: not the input, not
  // open elsewhere, not a console.
  bool open(const Destination& destination);
  // Ends writing: closes a file, flushes standard output. False when that
  // failed, after reporting it. Does nothing without a destination.
  bool finish();
};

// The format the output declares for a stream of `stream_format`: the
// stream's own, or, when `extensible` is asked for, PCM and float with more
// than 2 channels, containers over 16 bits or samples narrower than their
// containers recast as WAVE_FORMAT_EXTENSIBLE, with the container's bits,
// the stream's bits as valid bits and the usual speaker mask: some readers
// need it to take such streams at all, or to step through them by the
// container. A block that is no whole number of bytes per channel keeps
// the stream's own format.
WAVEFORMATEXTENSIBLE output_format(const WAVEFORMATEXTENSIBLE& stream_format, bool extensible);

#endif  // TONEWELL_WAVE_WAVE_SINK_H_
