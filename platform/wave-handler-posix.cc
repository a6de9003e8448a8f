// The Linux layer's WAVE handler: a RIFF or RF64 WAVE file holds one audio
// stream, the bytes of its data chunk, read in whole blocks. Chunks are found
// as Windows' WAVE reader finds them: the first fmt chunk, then the first data
// chunk after it.
#include "platform/handlers-posix.h"

namespace posix {
namespace {

// An RF64 file's sizes from its first chunk, ds64: the RIFF size when its
// 32-bit field is kSizeElsewhere, and the data chunk's size. Its table of
// other large chunks is not needed: only the data chunk grows that large.
HRESULT read_ds64(int fd, uint64_t file_size, uint64_t* riff_size, uint64_t* long_data) {
  Chunk ds64;
  HRESULT r = read_chunk(fd, 12, file_size, &ds64);
  if (r == S_FALSE || (r == S_OK && (ds64.id != fourcc("ds64") || ds64.size < 28))) {
    return AVIERR_BADFORMAT;
  }
  uint8_t sizes[16];
  if (r != S_OK || (r = read_at(fd, sizes, sizeof sizes, ds64.data)) != S_OK) return r;
  if (*riff_size == kSizeElsewhere) *riff_size = le64(sizes);
  *long_data = le64(sizes + 8);
  return S_OK;
}

HRESULT open_wave(int fd, uint64_t file_size, std::vector<Track>* tracks) {
  // Windows' handler cannot read a file that is not RIFF at all, and finds
  // another RIFF form, such as AVI, or none, badly formatted.
  uint8_t h[12] = {};
  if (file_size < 8) return AVIERR_FILEREAD;
  HRESULT r = read_at(fd, h, size_t(std::min<uint64_t>(file_size, sizeof h)), 0);
  if (r != S_OK) return r;
  const uint32_t id = le32(h);
  if (id != fourcc("RIFF") && id != fourcc("RF64")) return AVIERR_FILEREAD;
  if (file_size < 12 || le32(h + 8) != fourcc("WAVE")) return AVIERR_BADFORMAT;
  uint64_t riff_size = le32(h + 4), long_data = kSizeElsewhere;
  if (id == fourcc("RF64") && (r = read_ds64(fd, file_size, &riff_size, &long_data)) != S_OK) {
    return r;
  }
  const uint64_t end = riff_size > UINT64_MAX - 8 ? UINT64_MAX : 8 + riff_size;
  Chunk fmt{}, data{};
  r = walk_riff(
      fd, end, file_size,
      [&](const Chunk& c) {
        if (c.id == fourcc("fmt ") && fmt.id == 0) fmt = c;
        if (c.id != fourcc("data") || fmt.id == 0) return S_OK;
        data = c;
        return S_FALSE;
      },
      long_data);
  if (r < 0) return r;
  // A chunk not found is one the reader could not read.
  if (fmt.id == 0) return AVIERR_FILEREAD;
  tracks->emplace_back();
  Track& t = tracks->back();
  if ((r = load_format(fd, fmt, &t)) != S_OK) return r;
  if (data.id == 0) return AVIERR_FILEREAD;
  // Windows declares the data a chunk cut short claims, and its reads fail
  // at the end of the file, after the program has written a header that
  // promises the rest. Refused here, before any output exists.
  if (data.runs_past(file_size)) return AVIERR_BADFORMAT;
  t.add(data.data, data.size);
  // A trailing partial block is dropped; past 2^32 blocks dwLength, a
  // DWORD, holds at its largest value.
  t.length = uint32_t(std::min<uint64_t>(t.total / t.block, 0xFFFFFFFFu));
  return S_OK;
}

}  // namespace

// A negative stream number is a stream that does not exist, and a read
// outside the stream delivers nothing, successfully: Windows' answers.
const FileHandler kWaveHandler = {open_wave, "WAVE audio", false, S_OK};

}  // namespace posix
