// Bench code, never shipped: reads an input's audio stream through the AVI
// file layer as tonewell does, in the same pieces, and writes nothing. Its
// run time is what no converter reading through the layer can beat.
//
//   read_probe.exe INPUT [STREAM]
//
// Prints "SAMPLES samples, BYTES bytes in READS reads" on standard output,
// so that the bench can check that it read what tonewell wrote.
#include <cstdio>
#include <cwchar>

#include "platform/platform.h"
#include "wave/stream_facts.h"
#include "wave/transfer.h"

namespace {

bool fail(const char* what, HRESULT result) {
  fprintf(stderr, "read_probe: %s failed (0x%08lX)\n", what, static_cast<unsigned long>(result));
  return false;
}

// Reads the whole stream in pieces of a quarter of the ring tonewell would
// allocate for it, each into the same buffer.
bool read_whole_stream(PAVISTREAM stream) {
  AVISTREAMINFOA info;
  HRESULT result = AVIStreamInfoA(stream, &info, sizeof info);
  if (result < 0) return fail("AVIStreamInfoA", result);
  StreamFacts facts = {};
  facts.sample_size = info.dwSampleSize;
  facts.sample_count = info.dwLength;
  LONG format_size = sizeof facts.format;
  result = AVIStreamReadFormat(stream, 0, &facts.format, &format_size);
  if (result < 0) return fail("AVIStreamReadFormat", result);

  const uint32_t ring = ring_samples(facts);
  if (ring == 0) return fail("ring_samples", 0);
  const size_t piece_bytes = size_t{ring} * facts.sample_size / 4;
  const uint32_t piece_samples = static_cast<uint32_t>(piece_bytes / facts.sample_size);
  auto* buffer = static_cast<uint8_t*>(
      VirtualAlloc(nullptr, piece_bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  if (buffer == nullptr) return fail("VirtualAlloc", 0);

  uint64_t bytes = 0;
  uint32_t reads = 0;
  uint32_t pos = 0;
  bool complete = true;
  while (pos < facts.sample_count) {
    uint32_t count = piece_samples;
    if (count > facts.sample_count - pos) count = facts.sample_count - pos;
    LONG bytes_read = 0;
    LONG samples_read = 0;
    result = AVIStreamRead(stream, static_cast<LONG>(pos), static_cast<LONG>(count), buffer,
                           static_cast<LONG>(piece_bytes), &bytes_read, &samples_read);
    if (result < 0 || samples_read != static_cast<LONG>(count)) {
      complete = fail("AVIStreamRead", result);
      break;
    }
    pos += count;
    bytes += static_cast<uint32_t>(bytes_read);
    ++reads;
  }
  VirtualFree(buffer, 0, MEM_RELEASE);
  if (complete) {
    printf("%u samples, %llu bytes in %u reads\n", static_cast<unsigned>(pos),
           static_cast<unsigned long long>(bytes), static_cast<unsigned>(reads));
  }
  return complete;
}

bool probe(const wchar_t* path, LONG stream_number) {
  PAVIFILE file = nullptr;
  HRESULT result = AVIFileOpenW(&file, path, OF_SHARE_DENY_WRITE, nullptr);
  if (result < 0) return fail("AVIFileOpenW", result);
  PAVISTREAM stream = nullptr;
  result = AVIFileGetStream(file, &stream, streamtypeAUDIO, stream_number);
  bool read = result >= 0 ? read_whole_stream(stream) : fail("AVIFileGetStream", result);
  if (stream != nullptr) AVIStreamRelease(stream);
  AVIFileRelease(file);
  return read;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: read_probe INPUT [STREAM]\n");
    return 2;
  }
  const LONG stream_number = argc == 3 ? wcstol(argv[2], nullptr, 10) : 0;
  if (CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) != S_OK) {
    fail("CoInitializeEx", 0);
    return 1;
  }
  const bool read = probe(argv[1], stream_number);
  CoUninitialize();
  return read ? 0 : 1;
}
