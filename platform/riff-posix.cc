#include "platform/riff-posix.h"

#include <errno.h>
#include <unistd.h>

namespace posix {
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
  if (pos >= end || end - pos < 8) return S_FALSE;
  uint8_t h[12];
  HRESULT r = read_at(fd, h, 8, pos);
  if (r != S_OK) return r;
  c->id = le32(h);
  c->size = le32(h + 4);
  if (c->id == fourcc("data") && c->size == kSizeElsewhere) c->size = long_data;
  c->type = 0;
  c->data = pos + 8;
  // Past the end of a 64-bit file offset, the chunk runs past any end.
  c->next = c->size > UINT64_MAX - 1 - c->data ? UINT64_MAX : c->data + c->size + (c->size & 1);
  if ((c->id == fourcc("LIST") || c->id == fourcc("RIFF")) && c->size >= 4 && end - c->data >= 4) {
    if ((r = read_at(fd, h + 8, 4, c->data)) != S_OK) return r;
    c->type = le32(h + 8);
  }
  return S_OK;
}

HRESULT skip_pad(int fd, uint64_t file_size, Chunk* c) {
  if ((c->size & 1) == 0 || c->next > file_size) return S_OK;
  uint8_t pad;
  HRESULT r = read_at(fd, &pad, 1, c->next - 1);
  if (r == S_OK && pad != 0) --c->next;
  return r;
}

HRESULT load_format(int fd, const Chunk& c, Track* t) {
  if (c.size < 16 || c.size > kMaxFormat) return AVIERR_BADFORMAT;
  t->format.resize(size_t(c.size));
  HRESULT r = read_at(fd, t->format.data(), t->format.size(), c.data);
  if (r != S_OK) return r;
  t->block = le16(&t->format[12]);
  return t->block == 0 ? AVIERR_BADFORMAT : S_OK;
}

}  // namespace posix
