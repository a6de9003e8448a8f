// The Linux layer's AVI file layer (avifil32) for the calls tonewell
// makes. A file goes to a handler by its extension, as Windows registers
// them, or else by its RIFF form type; the file handlers
// (wave-handler-posix.cc, avi-handler-posix.cc) read its streams into tables
// of pieces, and every call on a stream is served from those. Results follow
// what Windows answers (as measured under Wine, its reference here); where it
// is undefined or unsafe the Linux layer picks a documented code.
//
// Sample data goes by pread straight from the file into the caller's buffer.
// A script handler (avisynth-handler-posix.cc) makes its stream itself: the
// calls on such a file and its stream are passed on to it.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "platform/clip_info.h"
#include "platform/faults-posix.h"
#include "platform/handlers-posix.h"
#include "platform/riff-posix.h"
#include "platform/share-posix.h"
#include "platform/windows-posix.h"

namespace posix {

// A file object: its IAVIFile, and the IAvisynthClipInfo that a script
// handler answers, or test hooks make it answer as one would. Both share its
// one count of references, as the interfaces of one COM object do.
struct AviFile : IAVIFile, IAvisynthClipInfo {
  int fd = -1;
  const FileHandler* handler = nullptr;  // a file handler's, or else:
  const ScriptHandler* script_handler = nullptr;
  Script* script = nullptr;
  int refs = 1;               // the caller's handle, one per live stream, one per interface
  std::vector<Track> tracks;  // audio streams only, in stream order
  bool read_failed = false;   // a test hook failed a read of one of its streams

  AviFile() { ++platform_log.live_files; }
  ~AviFile() {
    if (fd >= 0) close(fd);  // lets go of its share mode too
    if (script) script_handler->close(script);
    --platform_log.live_files;
  }
};

}  // namespace posix

struct IAVIStream {
  posix::AviFile* file;
  const posix::Track* track;  // null for a script's stream
};

namespace posix {
namespace {

// The registry's AVIFile\Extensions keys: the first three letters of an
// extension, and the RIFF form type by which a file with any other extension
// reaches the same file handler. A script handler has no form type.
struct Registration {
  const char* extension;
  uint32_t form;
  const FileHandler* handler;
  const ScriptHandler* script_handler;
};

const Registration kRegistry[] = {
    {"wav", fourcc("WAVE"), &kWaveHandler, nullptr},
    {"avi", fourcc("AVI "), &kAviHandler, nullptr},
    {"avs", 0, nullptr, &kAvisynthHandler},
};

// The registration of the file name's extension: the first three letters
// after its last dot, in any case. Null when there is none.
const Registration* registration_by_extension(const char* path) {
  const char* name = std::strrchr(path, '/');
  const char* dot = std::strrchr(name ? name : path, '.');
  if (!dot) return nullptr;
  for (const Registration& r : kRegistry) {
    if (strncasecmp(dot + 1, r.extension, 3) == 0) return &r;
  }
  return nullptr;
}

// For a file whose extension has no handler, Windows documents a choice by
// the RIFF form type; anything else has no handler (REGDB_E_CLASSNOTREG), an
// AviSynth script where no script engine is installed among them.
HRESULT handler_by_form(int fd, uint64_t file_size, const FileHandler** handler) {
  if (file_size < 12) return REGDB_E_CLASSNOTREG;
  uint8_t h[12];
  HRESULT r = read_riff_header(fd, file_size, h);
  if (r != S_OK) return r;
  if (le32(h) != fourcc("RIFF")) return REGDB_E_CLASSNOTREG;
  for (const Registration& reg : kRegistry) {
    if (reg.handler && le32(h + 8) == reg.form) {
      *handler = reg.handler;
      return S_OK;
    }
  }
  return REGDB_E_CLASSNOTREG;
}

void unref(AviFile* f) {
  if (--f->refs == 0) delete f;
}

// Chunk headers and pad bytes that may lie between two pieces of a stream
// stored one after the other; a larger gap holds other chunks.
constexpr uint64_t kMaxGap = 9;
constexpr uint64_t kHeader = 8;  // a chunk's id and size
constexpr int kMaxRun = 512;     // pieces in one preadv: two iovecs each, within IOV_MAX

// The header a piece's chunk must have, checked once the read brought it in.
struct HeaderCheck {
  const uint8_t* header;  // kHeader bytes just before the piece
  uint32_t id;
  uint64_t size;
};

// Copies stream bytes [start, start + n) into dst, across pieces. Pieces that
// follow each other in the file are read by one preadv that drops the chunk
// headers between them into scratch space, so a stream stored in many small
// chunks costs few system calls. The headers of chunks that only an index
// named come along and are checked there, for free: an index entry pointing
// at anything but its chunk fails the read instead of delivering other bytes.
HRESULT read_data(const AviFile* f, const Track& t, uint64_t start, uint64_t n, uint8_t* dst) {
  auto it = std::upper_bound(t.pieces.begin(), t.pieces.end(), start,
                             [](uint64_t s, const Piece& p) { return s < p.start; });
  --it;
  uint8_t gaps[kMaxRun][kMaxGap];
  iovec iov[2 * kMaxRun];
  HeaderCheck checks[kMaxRun];
  while (n > 0) {
    uint64_t offset = it->file_offset + (start - it->start);
    uint64_t file_end = offset, data = 0;
    int count = 0, checked = 0;
    for (int pieces = 0; pieces < kMaxRun && data < n; ++pieces, ++it) {
      const uint64_t at = it->file_offset + (start + data - it->start);
      const bool whole = start + data == it->start;
      if (pieces == 0 && whole && it->named_id != 0) {
        offset = file_end = at - kHeader;  // the first piece's header too
      }
      if (at < file_end || at - file_end > kMaxGap) break;
      if (at > file_end) iov[count++] = {gaps[pieces], size_t(at - file_end)};
      const uint64_t piece_end = it + 1 == t.pieces.end() ? t.total : (it + 1)->start;
      if (whole && it->named_id != 0) {
        // Too small a gap holds no header, which the check then misses.
        const bool room = at - file_end >= kHeader;
        checks[checked++] = {room ? gaps[pieces] + (at - file_end - kHeader) : nullptr,
                             it->named_id, piece_end - it->start};
      }
      const size_t len = size_t(std::min(n - data, piece_end - (start + data)));
      iov[count++] = {dst + data, len};
      data += len;
      file_end = at + len;
    }
    ssize_t r = preadv(f->fd, iov, count, off_t(offset));
    if (r < 0 || uint64_t(r) != file_end - offset) {
      // Interrupted, or the file ended early: piece by piece, to tell which.
      uint64_t pos = offset;
      for (int i = 0; i < count; pos += iov[i++].iov_len) {
        HRESULT result = read_at(f->fd, iov[i].iov_base, iov[i].iov_len, pos);
        if (result != S_OK) return result;
      }
    }
    for (int i = 0; i < checked; ++i) {
      const HeaderCheck& c = checks[i];
      if (!c.header || le32(c.header) != c.id || le32(c.header + 4) != c.size) {
        return AVIERR_FILEREAD;
      }
    }
    dst += data;
    start += data;
    n -= data;
  }
  return S_OK;
}

}  // namespace
}  // namespace posix

HRESULT AVIFileOpenA(PAVIFILE* ppfile, LPCSTR szFile, UINT uMode, LPCLSID) {
  platform_log.calls.push_back("AVIFileOpenA");
  if (platform_faults.on_open) platform_faults.on_open();
  if (!ppfile) return AVIERR_BADPARAM;
  *ppfile = nullptr;
  if (platform_faults.open_result != 0) return platform_faults.open_result;
  int fd = szFile ? open(szFile, O_RDONLY | O_CLOEXEC | O_NONBLOCK) : -1;
  if (fd < 0) return AVIERR_FILEOPEN;
  std::unique_ptr<posix::AviFile> f(new posix::AviFile);
  f->fd = fd;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return AVIERR_FILEOPEN;
  // Windows settles the share mode as it opens the file, before reading it.
  if ((uMode & OF_SHARE_DENY_WRITE) && !share_deny_write(fd)) return AVIERR_FILEOPEN;
  const uint64_t size = uint64_t(st.st_size);
  HRESULT r = S_OK;
  const posix::Registration* registered = posix::registration_by_extension(szFile);
  if (registered) {
    f->handler = registered->handler;
    f->script_handler = registered->script_handler;
  }
  if (!registered && (r = posix::handler_by_form(fd, size, &f->handler)) != S_OK) return r;
  try {
    if (f->script_handler) {
      r = f->script_handler->open(szFile, &f->script);
      // The script handler read the script itself, and holds nothing open.
      close(f->fd);
      f->fd = -1;
    } else {
      r = f->handler->open(fd, size, &f->tracks);
    }
  } catch (const std::bad_alloc&) {
    r = AVIERR_MEMORY;
  }
  if (r != S_OK) return r;
  *ppfile = f.release();
  return S_OK;
}

ULONG AVIFileRelease(PAVIFILE pfile) {
  platform_log.calls.push_back("AVIFileRelease");
  if (!pfile) return 0;
  auto* file = static_cast<posix::AviFile*>(pfile);
  ULONG left = ULONG(file->refs - 1);
  posix::unref(file);
  return left;
}

HRESULT IAVIFile::QueryInterface(REFIID riid, void** ppvObject) {
  platform_log.calls.push_back("IAVIFile::QueryInterface");
  *ppvObject = nullptr;
  const bool clip_info = std::memcmp(&riid, &IID_IAvisynthClipInfo, sizeof riid) == 0;
  auto* file = static_cast<posix::AviFile*>(this);
  if (!clip_info || !(file->script || platform_faults.clip_info)) return E_NOINTERFACE;
  ++file->refs;
  *ppvObject = static_cast<IAvisynthClipInfo*>(file);
  return S_OK;
}

ULONG IAvisynthClipInfo::Release() {
  platform_log.calls.push_back("IAvisynthClipInfo::Release");
  auto* file = static_cast<posix::AviFile*>(this);
  ULONG left = ULONG(file->refs - 1);
  posix::unref(file);
  return left;
}

int IAvisynthClipInfo::GetError(const char** message) {
  platform_log.calls.push_back("IAvisynthClipInfo::GetError");
  auto* file = static_cast<posix::AviFile*>(this);
  if (file->script) return file->script_handler->error(file->script, message);
  const char* text = platform_faults.script_error;
  if (!text && file->read_failed) text = platform_faults.read_error_text;
  if (!text) return 0;
  *message = text;
  return 1;
}

HRESULT AVIFileGetStream(PAVIFILE pfile, PAVISTREAM* ppavi, DWORD fccType, LONG lParam) {
  platform_log.calls.push_back("AVIFileGetStream");
  if (!ppavi || !pfile) return AVIERR_BADPARAM;
  auto* file = static_cast<posix::AviFile*>(pfile);
  if (file->handler && file->handler->refuses_negative_stream && lParam < 0) {
    return AVIERR_BADPARAM;
  }
  *ppavi = nullptr;
  if (platform_faults.get_stream_result != 0) return platform_faults.get_stream_result;
  if (file->script) {
    HRESULT r = file->script_handler->find_stream(file->script, fccType, lParam);
    if (r != S_OK) return r;
    *ppavi = new IAVIStream{file, nullptr};
    ++file->refs;
    return S_OK;
  }
  if (fccType != streamtypeAUDIO || lParam < 0 || size_t(lParam) >= file->tracks.size()) {
    return AVIERR_NODATA;
  }
  *ppavi = new IAVIStream{file, &file->tracks[size_t(lParam)]};
  ++file->refs;
  return S_OK;
}

ULONG AVIStreamRelease(PAVISTREAM pavi) {
  platform_log.calls.push_back("AVIStreamRelease");
  if (!pavi) return 0;
  posix::unref(pavi->file);
  delete pavi;
  return 0;
}

HRESULT AVIStreamInfoA(PAVISTREAM pavi, AVISTREAMINFOA* psi, LONG lSize) {
  if (platform_faults.info_result != 0) return platform_faults.info_result;
  if (!pavi || !psi) return AVIERR_BADPARAM;
  if (lSize < LONG(sizeof(AVISTREAMINFOA))) return AVIERR_BADSIZE;
  const posix::AviFile& file = *pavi->file;
  if (file.script) {
    file.script_handler->info(file.script, psi);
    return S_OK;
  }
  const posix::Track& t = *pavi->track;
  AVISTREAMINFOA info;
  std::memset(&info, 0, sizeof info);
  info.fccType = streamtypeAUDIO;
  info.wPriority = t.priority;
  info.wLanguage = t.language;
  info.dwScale = t.block;
  info.dwRate = posix::le32(&t.format[8]);  // nAvgBytesPerSec
  info.dwLength = platform_faults.override_facts ? platform_faults.length : t.length;
  info.dwSuggestedBufferSize = t.largest;
  info.dwQuality = 0xFFFFFFFFu;
  info.dwSampleSize = platform_faults.override_facts ? platform_faults.sample_size : t.block;
  std::strcpy(info.szName, pavi->file->handler->stream_name);
  *psi = info;
  return S_OK;
}

HRESULT AVIStreamReadFormat(PAVISTREAM pavi, LONG, LPVOID lpFormat, LONG* lpcbFormat) {
  const PlatformFaults& faults = platform_faults;
  if (!lpFormat && faults.format_size_result != 0) return faults.format_size_result;
  if (lpFormat && faults.format_read_result != 0) return faults.format_read_result;
  if (!pavi || !lpcbFormat) return AVIERR_BADPARAM;
  const posix::AviFile& file = *pavi->file;
  if (file.script) return file.script_handler->read_format(file.script, lpFormat, lpcbFormat);
  const std::vector<uint8_t>& format = pavi->track->format;
  const LONG real = LONG(format.size());
  // Any value but -1 overrides (the header documents >= 0; a negative size
  // lets tests drive the caller's unsigned check).
  const bool override_size = faults.format_size != -1;
  if (!lpFormat) {
    *lpcbFormat = override_size ? faults.format_size : real;
    return S_OK;
  }
  const LONG copied = std::max<LONG>(0, std::min(*lpcbFormat, real));
  std::memcpy(lpFormat, format.data(), size_t(copied));
  if (override_size || copied == real) {
    *lpcbFormat = copied;
    return S_OK;
  }
  *lpcbFormat = real;
  return AVIERR_BUFFERTOOSMALL;
}

HRESULT AVIStreamRead(PAVISTREAM pavi, LONG lStart, LONG lSamples, LPVOID lpBuffer, LONG cbBuffer,
                      LONG* plBytes, LONG* plSamples) {
  // A null buffer only asks how much a read would deliver: logged apart, and
  // the faults, which count reads by number, leave it alone.
  const bool query = lpBuffer == nullptr;
  std::vector<PlatformRead>& log = query ? platform_log.size_queries : platform_log.reads;
  const int call = int(log.size());
  log.push_back({lStart, lSamples, cbBuffer});
  auto faulted = [&](int fault_call) { return !query && call == fault_call; };
  if (platform_faults.on_read && !query) platform_faults.on_read(call);
  if (plBytes) *plBytes = 0;
  if (plSamples) *plSamples = 0;
  if (faulted(platform_faults.read_fail_call)) {
    if (pavi) pavi->file->read_failed = true;
    return platform_faults.read_fail_result;
  }
  if (!pavi) return AVIERR_BADPARAM;
  posix::AviFile& file = *pavi->file;
  if (file.script) {
    return file.script_handler->read(file.script, lStart, lSamples, lpBuffer, cbBuffer, plBytes,
                                     plSamples);
  }
  const posix::Track& t = *pavi->track;
  // Outside the stream each handler answers its own way.
  if (lStart < 0 || uint32_t(lStart) > t.length) return pavi->file->handler->read_outside;
  uint64_t n =
      std::min<uint64_t>(lSamples < 0 ? 0 : uint32_t(lSamples), t.length - uint32_t(lStart));
  if (n == 0) return S_OK;
  if (lpBuffer) {
    uint64_t fit = cbBuffer < 0 ? 0 : uint32_t(cbBuffer) / t.block;
    if (fit == 0) return AVIERR_BUFFERTOOSMALL;
    n = std::min(n, fit);
  } else {
    n = std::min<uint64_t>(n, 0x7FFFFFFF / t.block);  // the byte count must fit a LONG
  }
  if (faulted(platform_faults.short_read_call)) --n;
  // Blocks the header declares beyond the stored data cannot be delivered:
  // failing the read keeps the caller from taking a shorter stream as whole.
  if (lpBuffer && (uint64_t(lStart) + n) * t.block > t.total) return AVIERR_FILEREAD;
  if (lpBuffer && n > 0) {
    HRESULT r = posix::read_data(pavi->file, t, uint64_t(lStart) * t.block, n * t.block,
                                 static_cast<uint8_t*>(lpBuffer));
    if (r != S_OK) return r;
  }
  if (plBytes) *plBytes = LONG(n * t.block + (faulted(platform_faults.bad_bytes_call) ? 1 : 0));
  if (plSamples) *plSamples = LONG(n);
  return S_OK;
}
