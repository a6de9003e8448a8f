#include "fuzz/avifile_driver.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/faults-posix.h"
#include "platform/platform.h"

namespace {

// The streams tonewell could be asked for, counting from 0.
constexpr LONG kStreamsTried = 3;
// Keeps one read's buffer small whatever the block size or length claims.
constexpr uint64_t kMaxReadBytes = 1 << 20;

void require(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "AVI file layer broke its contract: %s\n", what);
  abort();
}

// A name ending in `extension` for the in-memory file `fd`: a link in a
// folder of its own, removed when the run ends.
struct InputName {
  std::string folder, path;

  InputName(int fd, const char* extension) {
    const char* tmp = getenv("TMPDIR");
    folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/avifile-fuzz-XXXXXX";
    require(mkdtemp(&folder[0]) != nullptr, "a folder for the input's name");
    path = folder + "/input" + extension;
    const std::string target = "/proc/self/fd/" + std::to_string(fd);
    require(symlink(target.c_str(), path.c_str()) == 0, "a name for the input");
  }
  ~InputName() {
    unlink(path.c_str());
    rmdir(folder.c_str());
  }
};

// One in-memory file for the whole run, rewritten for each input, so that
// the layer opens it by a name, whose extension picks the handler, as it
// opens any input.
std::string write_input(const uint8_t* data, size_t size, const char form[4],
                        const char* extension) {
  static const int fd = memfd_create("avifile-fuzz", MFD_CLOEXEC);
  require(fd >= 0 && ftruncate(fd, 0) == 0, "in-memory file");
  static const InputName name(fd, extension);
  require(pwrite(fd, data, size, 0) == ssize_t(size), "in-memory file");
  if (size >= 12) require(pwrite(fd, form, 4, 8) == 4, "in-memory file");
  return name.path;
}

// Each buffer has exactly the size the layer is told, so that AddressSanitizer
// sees any byte written past it.
void read_format(PAVISTREAM stream) {
  LONG size = 0;
  if (AVIStreamReadFormat(stream, 0, nullptr, &size) < 0) return;
  require(size >= 16, "a wave format of at least 16 bytes");
  std::vector<uint8_t> whole(static_cast<size_t>(size));
  LONG got = size;
  require(AVIStreamReadFormat(stream, 0, whole.data(), &got) >= 0 && got == size,
          "the whole format in a buffer of its size");
  // tonewell reads at most a WAVEFORMATEX; a larger format is copied in
  // part and reported too small.
  WAVEFORMATEX format;
  got = std::min<LONG>(size, sizeof format);
  HRESULT r = AVIStreamReadFormat(stream, 0, &format, &got);
  require(size <= LONG(sizeof format) ? r >= 0 : r == AVIERR_BUFFERTOOSMALL && got == size,
          "a WAVEFORMATEX's worth of the format");
}

// Reads every sample in pieces, as tonewell does, each into a buffer of
// exactly the piece's size. A reported length must be readable in full, or
// the read must fail: a short read that claims success would lose data.
void read_samples(PAVISTREAM stream, uint8_t piece_seed) {
  AVISTREAMINFOA info;
  if (AVIStreamInfoA(stream, &info, sizeof info) < 0) return;
  const uint64_t block = info.dwSampleSize, length = info.dwLength;
  require(block > 0, "a sample size above 0");
  LONG bytes = 0, samples = 0;
  if (AVIStreamRead(stream, 0, LONG(std::min<uint64_t>(length, INT32_MAX)), nullptr, 0, &bytes,
                    &samples) >= 0) {
    require(uint64_t(bytes) == uint64_t(samples) * block, "sizes match without a buffer");
  }
  if (block > 1) {
    std::vector<uint8_t> small(size_t(block - 1));
    require(AVIStreamRead(stream, 0, 1, small.data(), LONG(small.size()), &bytes, &samples) < 0 ||
                (length == 0 && samples == 0),
            "a buffer below one block is refused");
  }
  uint64_t piece = std::max<uint64_t>(1 + piece_seed % 97, length / 16);
  piece = std::max<uint64_t>(1, std::min(piece, kMaxReadBytes / block));
  for (uint64_t pos = 0; pos < length;) {
    const uint64_t count = std::min(piece, length - pos);
    std::vector<uint8_t> buffer(size_t(count * block));
    HRESULT r = AVIStreamRead(stream, LONG(pos), LONG(count), buffer.data(), LONG(buffer.size()),
                              &bytes, &samples);
    if (r < 0) return;
    require(uint64_t(samples) == count && uint64_t(bytes) == count * block,
            "every sample asked for, when the read succeeds");
    pos += count;
  }
  require(AVIStreamRead(stream, LONG(std::min<uint64_t>(length, INT32_MAX)), 1, nullptr, 0, &bytes,
                        &samples) >= 0 ||
              length > INT32_MAX,
          "a read at the end succeeds");
}

}  // namespace

void drive_avifile(const uint8_t* data, size_t size, const char form[4], const char* extension) {
  reset_platform();  // the call log would otherwise grow over the run
  const std::string path = write_input(data, size, form, extension);
  PAVIFILE file = nullptr;
  if (AVIFileOpenA(&file, path.c_str(), OF_SHARE_DENY_WRITE, nullptr) < 0) {
    require(file == nullptr, "no file handle after a failed open");
    return;
  }
  PAVISTREAM streams[kStreamsTried] = {};
  for (LONG n = 0; n < kStreamsTried; ++n) {
    if (AVIFileGetStream(file, &streams[n], streamtypeAUDIO, n) < 0) {
      require(streams[n] == nullptr, "no stream handle after a failed open");
    }
  }
  // A stream keeps its file alive; sometimes the file goes first.
  const uint8_t seed = size > 0 ? data[size - 1] : 0;
  if (seed & 1) AVIFileRelease(file);
  for (PAVISTREAM stream : streams) {
    if (!stream) continue;
    read_format(stream);
    read_samples(stream, seed);
    AVIStreamRelease(stream);
  }
  if (!(seed & 1)) AVIFileRelease(file);
}
