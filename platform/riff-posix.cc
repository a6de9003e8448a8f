#include "platform/riff-posix.h"

#include <errno.h>
#include <unistd.h>

namespace standin {
namespace {

constexpr size_t kMaxFormat = 18 + 0xFFFF;  // a WAVEFORMATEX with the largest cbSize

}  // namespace

HRESULT read_at(int fd, void* dst, size_t n, uint64_t offset) {
  auto* p = static_cast<uint8_t*>(dst);
  while (n > 0) {
    ssize_t r = pread(fd, p, n, static_cast<off_t>(offset));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return AVIERR_FILEREAD;
    p += r;
    n -= static_cast<size_t>(r);
    offset += static_cast<uint64_t>(r);
  }
  return S_OK;
}

HRESULT read_riff_header(int fd, uint64_t file_size, uint8_t h[12]) {
  return file_size < 12 ? AVIERR_FILEREAD : read_at(fd, h, 12, 0);
}

HRESULT read_chunk(int fd, uint64_t pos, uint64_t end, Chunk* c, uint64_t long_data) {
  if (end - pos < 8) return S_FALSE;
  uint8_t h[12];
  HRESULT r = read_at(fd, h, 8, pos);
  if (r != S_OK) return r;
  c->id = le32(h);
  c->size = le32(h + 4);
  if (c->id == fourcc("data") && c->size == kSizeElsewhere) c->size = long_data;
  c->type = 0;
  c->data = pos + 8;
  if (c->size > end - c->data) return AVIERR_BADFORMAT;
  c->next = std::min(c->data + c->size + (c->size & 1), end);
  if (c->id == fourcc("LIST") || c->id == fourcc("RIFF")) {
    if (c->size < 4) return AVIERR_BADFORMAT;
    if ((r = read_at(fd, h + 8, 4, c->data)) != S_OK) return r;
    c->type = le32(h + 8);
  }
  return S_OK;
}

HRESULT load_format(int fd, const Chunk& c, Track* t) {
  if (c.size < 16 || c.size > kMaxFormat) return AVIERR_BADFORMAT;
  t->format.resize(size_t(c.size));
  HRESULT r = read_at(fd, t->format.data(), t->format.size(), c.data);
  if (r != S_OK) return r;
  t->block = le16(&t->format[12]);
  return t->block == 0 ? AVIERR_BADFORMAT : S_OK;
}

}  // namespace standin
