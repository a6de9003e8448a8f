// A source handler for the AVI file layer, for tests only. Registered for
// ".avs", it serves small text files that describe audio streams: their
// format and length, failures to answer on demand, a delay per read, gates
// that hold the open or a read until the test lets it go, a script error to
// report as script handlers do (IAvisynthClipInfo), at open or after a read
// failed, samples past the declared length, and a file held open as a
// script's source is. The data is computed from each byte's position, so
// the end-to-end suite knows every byte without storing any, and a stream
// may be larger than any file.
#include <initguid.h>  // first: defines the IID_IAVI* GUIDs that vfw.h declares

#include <windows.h>

#include <vfw.h>  // after windows.h, which it needs

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/clip_info.h"
#include "tests/support/pattern.h"

namespace {

// {A9789E98-0F61-4F56-9341-26305B511B90}
const CLSID kClsid = {0xA9789E98, 0x0F61, 0x4F56, {0x93, 0x41, 0x26, 0x30, 0x5B, 0x51, 0x1B, 0x90}};

constexpr char kFirstLine[] = "tonewell test source";

// Live objects and server locks; the DLL may be unloaded when none are left.
LONG g_objects = 0;

constexpr uint64_t kNone = UINT64_MAX;

// What a source file asks for; see kKeys for the keys and their defaults.
struct Source {
  uint64_t streams = 1, tag = 1, channels = 2, rate = 48000, bits = 16;
  uint64_t block_align = kNone, sample_size = kNone, samples = 48000, format_size = 16;
  uint64_t valid_bits = kNone, channel_mask = 0, subformat = 1;
  uint64_t open_error = 0, stream_error = 0, info_error = 0, format_error = 0;
  uint64_t read_error = 0, read_error_at = kNone, short_read = kNone, size_mismatch = kNone;
  uint64_t read_delay_ms = 0;
  uint64_t samples_beyond = 0;  // reads deliver these past `samples`, which dwLength says
  bool script_failed = false;
  std::string script_error;  // GetError's text when script_failed
  bool read_error_told = false;
  std::string read_error_text;  // GetError's text once a read has failed
  std::string free_log;         // a file that gets a line when the file object is freed
  std::string hold_file;        // a file held open for reading while the file object lives
  std::string open_gate;        // the open waits until this file exists
  std::string read_gate;        // so do the reads from the one holding read_gate_at on
  uint64_t read_gate_at = kNone;
};

struct Key {
  const char* name;
  uint64_t Source::*field;
  uint64_t max;
};

const Key kKeys[] = {
    {"streams", &Source::streams, 0xFFFF},
    {"tag", &Source::tag, 0xFFFF},
    {"channels", &Source::channels, 0xFFFF},
    {"rate", &Source::rate, UINT32_MAX},
    {"bits", &Source::bits, 0xFFFF},
    {"block_align", &Source::block_align, 0xFFFF},
    {"sample_size", &Source::sample_size, UINT32_MAX},
    {"samples", &Source::samples, UINT32_MAX},
    {"format_size", &Source::format_size, 40},
    {"valid_bits", &Source::valid_bits, 0xFFFF},
    {"channel_mask", &Source::channel_mask, UINT32_MAX},
    {"subformat", &Source::subformat, UINT32_MAX},
    {"open_error", &Source::open_error, UINT32_MAX},
    {"stream_error", &Source::stream_error, UINT32_MAX},
    {"info_error", &Source::info_error, UINT32_MAX},
    {"format_error", &Source::format_error, UINT32_MAX},
    {"read_error", &Source::read_error, UINT32_MAX},
    {"short_read", &Source::short_read, UINT32_MAX},
    {"size_mismatch", &Source::size_mismatch, UINT32_MAX},
    {"read_delay_ms", &Source::read_delay_ms, UINT32_MAX},
    {"samples_beyond", &Source::samples_beyond, UINT32_MAX},
};

// Decimal, or hexadecimal after "0x"; nothing else, not even a sign.
bool parse_number(std::string text, uint64_t max, uint64_t* value) {
  int base = 10;
  if (text.compare(0, 2, "0x") == 0) {
    base = 16;
    text.erase(0, 2);
  }
  if (text.empty() || !(base == 16 ? isxdigit(text[0]) : isdigit(text[0]))) return false;
  char* end = nullptr;
  errno = 0;
  *value = strtoull(text.c_str(), &end, base);
  return *end == '\0' && errno == 0 && *value <= max;
}

// The bytes of `text`, where a backslash and "n" stand for a line break and
// two backslashes for one; any other backslash is refused.
bool unescape(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out->push_back(text[i]);
      continue;
    }
    if (++i == text.size() || (text[i] != 'n' && text[i] != '\\')) return false;
    out->push_back(text[i] == 'n' ? '\n' : '\\');
  }
  return true;
}

// "key=value"; read_error's value is "CODE@N", read_gate's "NAME@N",
// script_error's, read_error_text's, free_log's, hold_file's and open_gate's
// the rest of the line.
bool parse_line(const std::string& line, Source* source) {
  size_t equals = line.find('=');
  if (equals == std::string::npos) return false;
  std::string name = line.substr(0, equals);
  std::string value = line.substr(equals + 1);
  if (name == "script_error") {
    source->script_failed = true;
    return unescape(value, &source->script_error);
  }
  if (name == "read_error_text") {
    source->read_error_told = true;
    return unescape(value, &source->read_error_text);
  }
  if (name == "free_log" || name == "hold_file" || name == "open_gate") {
    (name == "free_log"    ? source->free_log
     : name == "hold_file" ? source->hold_file
                           : source->open_gate) = value;
    return !value.empty();
  }
  if (name == "read_gate") {
    size_t at = value.rfind('@');
    source->read_gate = value.substr(0, at);
    return at != std::string::npos && at > 0 &&
           parse_number(value.substr(at + 1), UINT32_MAX, &source->read_gate_at);
  }
  if (name == "read_error") {
    size_t at = value.find('@');
    return at != std::string::npos &&
           parse_number(value.substr(0, at), UINT32_MAX, &source->read_error) &&
           parse_number(value.substr(at + 1), UINT32_MAX, &source->read_error_at);
  }
  for (const Key& key : kKeys) {
    if (name == key.name) return parse_number(value, key.max, &(source->*key.field));
  }
  return false;
}

HRESULT load_source(const wchar_t* path, Source* source) {
  FILE* file = _wfopen(path, L"rb");
  if (file == nullptr) return AVIERR_FILEOPEN;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  fclose(file);

  if (text.empty()) return AVIERR_BADFORMAT;
  size_t start = 0;
  for (int number = 0; start < text.size(); ++number) {
    size_t end = std::min(text.find('\n', start), text.size());
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    start = end + 1;
    bool known = number == 0 ? line == kFirstLine : line.empty() || parse_line(line, source);
    if (!known) return AVIERR_BADFORMAT;
  }
  if (source->format_size != 16 && source->format_size != 18 && source->format_size != 40)
    return AVIERR_BADFORMAT;
  if (source->block_align == kNone) source->block_align = source->channels * source->bits / 8;
  if (source->sample_size == kNone) source->sample_size = source->block_align;
  if (source->valid_bits == kNone) source->valid_bits = source->bits;
  return static_cast<HRESULT>(source->open_error);
}

// Holds the caller until the test creates the file `gate` (relative to the
// working directory), having first created `gate`.wait, so that the test
// knows the run is held there.
void wait_at(const std::string& gate) {
  FILE* waiting = fopen((gate + ".wait").c_str(), "wb");
  if (waiting != nullptr) fclose(waiting);
  while (GetFileAttributesA(gate.c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(10);
}

void put16(uint8_t* at, uint64_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void put32(uint8_t* at, uint64_t value) {
  put16(at, value);
  put16(at + 2, value >> 16);
}

// The stored format: 16 bytes, 18 with cbSize 0, or 40 as an extensible
// format whose SubFormat is the KSDATAFORMAT GUID with `subformat` in front.
void make_format(const Source& source, uint8_t* out) {
  static const uint8_t kSubformatTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                             0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  memset(out, 0, 40);
  put16(out, source.format_size == 40 ? WAVE_FORMAT_EXTENSIBLE : source.tag);
  put16(out + 2, source.channels);
  put32(out + 4, source.rate);
  put32(out + 8, source.rate * source.block_align);
  put16(out + 12, source.block_align);
  put16(out + 14, source.bits);
  if (source.format_size == 40) {
    put16(out + 16, 22);
    put16(out + 18, source.valid_bits);
    put32(out + 20, source.channel_mask);
    put32(out + 24, source.subformat);
    memcpy(out + 28, kSubformatTail, sizeof kSubformatTail);
  }
}

// A stream holds its file, as a script handler's streams hold the script,
// and marks `read_failed` there when a read fails.
class SourceStream final : public IAVIStream {
 public:
  SourceStream(const Source& source, uint32_t index, IAVIFile* file, LONG* read_failed)
      : source_(source), index_(index), file_(file), read_failed_(read_failed) {
    file_->AddRef();
    InterlockedIncrement(&g_objects);
  }
  ~SourceStream() {
    file_->Release();
    InterlockedDecrement(&g_objects);
  }

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IAVIStream) return E_NOINTERFACE;
    *out = static_cast<IAVIStream*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&references_); }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return left;
  }

  // Fills the record even when asked to fail, as the layer copies it anyway.
  STDMETHODIMP Info(AVISTREAMINFOW* info, LONG size) override {
    if (size < 0) return AVIERR_BADSIZE;
    AVISTREAMINFOW record = {};
    record.fccType = streamtypeAUDIO;
    record.dwScale = static_cast<DWORD>(source_.block_align);
    record.dwRate = static_cast<DWORD>(source_.rate * source_.block_align);
    record.dwLength = static_cast<DWORD>(source_.samples);
    record.dwSuggestedBufferSize = record.dwRate;
    record.dwQuality = static_cast<DWORD>(-1);
    record.dwSampleSize = static_cast<DWORD>(source_.sample_size);
    wcscpy(record.szName, L"tonewell test source");
    memcpy(info, &record, std::min<size_t>(size, sizeof record));
    return static_cast<HRESULT>(source_.info_error);
  }

  // A null buffer asks for the size; a buffer too small gets what fits.
  STDMETHODIMP ReadFormat(LONG, LPVOID format, LONG* format_size) override {
    if (source_.format_error != 0) return static_cast<HRESULT>(source_.format_error);
    if (format_size == nullptr) return AVIERR_BADPARAM;
    LONG size = static_cast<LONG>(source_.format_size);
    if (format == nullptr) {
      *format_size = size;
      return AVIERR_OK;
    }
    uint8_t bytes[40];
    make_format(source_, bytes);
    memcpy(format, bytes, std::max<LONG>(0, std::min(*format_size, size)));
    bool fits = *format_size >= size;
    *format_size = size;
    return fits ? AVIERR_OK : AVIERR_BUFFERTOOSMALL;
  }

  // As the layer's WAVE handler reads: counts past the end are cut short, a
  // start outside the stream gives nothing, a buffer too small gets the
  // whole samples that fit, a null buffer only the sizes. The end lies
  // `samples_beyond` past the declared length.
  STDMETHODIMP Read(LONG start, LONG samples, LPVOID buffer, LONG buffer_size, LONG* bytes_read,
                    LONG* samples_read) override {
    if (bytes_read != nullptr) *bytes_read = 0;
    if (samples_read != nullptr) *samples_read = 0;
    if (source_.read_delay_ms != 0) Sleep(static_cast<DWORD>(source_.read_delay_ms));
    const uint64_t end = source_.samples + source_.samples_beyond;
    if (start < 0 || static_cast<uint64_t>(start) >= end || samples <= 0) return AVIERR_OK;
    const uint64_t first = static_cast<uint64_t>(start);
    const uint64_t sample_size = source_.sample_size;
    uint64_t count = std::min<uint64_t>(samples, end - first);
    if (buffer != nullptr && sample_size > 0) {
      count = std::min<uint64_t>(count, std::max<LONG>(buffer_size, 0) / sample_size);
      if (count == 0) return AVIERR_BUFFERTOOSMALL;
    }
    if (first + count > source_.read_gate_at) wait_at(source_.read_gate);
    auto holds = [&](uint64_t n) { return n >= first && n - first < count; };
    if (holds(source_.read_error_at)) {
      InterlockedExchange(read_failed_, 1);
      return static_cast<HRESULT>(source_.read_error);
    }
    bool mismatch = holds(source_.size_mismatch);
    if (holds(source_.short_read)) --count;

    uint64_t bytes = count * sample_size;
    if (buffer != nullptr)
      fill_pattern(static_cast<uint8_t*>(buffer), first * sample_size, bytes, index_);
    if (bytes_read != nullptr) *bytes_read = static_cast<LONG>(bytes - (mismatch ? 1 : 0));
    if (samples_read != nullptr) *samples_read = static_cast<LONG>(count);
    return AVIERR_OK;
  }

  STDMETHODIMP Create(LPARAM, LPARAM) override { return E_NOTIMPL; }
  STDMETHODIMP_(LONG) FindSample(LONG, LONG) override { return -1; }
  STDMETHODIMP SetFormat(LONG, LPVOID, LONG) override { return E_NOTIMPL; }
  STDMETHODIMP Write(LONG, LONG, LPVOID, LONG, DWORD, LONG*, LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP Delete(LONG, LONG) override { return E_NOTIMPL; }
  STDMETHODIMP ReadData(DWORD, LPVOID, LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP WriteData(DWORD, LPVOID, LONG) override { return E_NOTIMPL; }
  STDMETHODIMP SetInfo(AVISTREAMINFOW*, LONG) override { return E_NOTIMPL; }

 private:
  LONG references_ = 1;
  const Source source_;
  const uint32_t index_;
  IAVIFile* const file_;
  LONG* const read_failed_;
};

// The layer creates the file object, loads the file through IPersistFile,
// then asks it for streams. The program asks it for IAvisynthClipInfo.
class SourceFile final : public IAVIFile, public IPersistFile, public IAvisynthClipInfo {
 public:
  SourceFile() { InterlockedIncrement(&g_objects); }
  // The free log shows that every reference was released.
  ~SourceFile() {
    if (held_ != INVALID_HANDLE_VALUE) CloseHandle(held_);
    FILE* log = source_.free_log.empty() ? nullptr : fopen(source_.free_log.c_str(), "ab");
    if (log != nullptr) {
      fputs("file object freed\n", log);
      fclose(log);
    }
    InterlockedDecrement(&g_objects);
  }

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IAVIFile)
      *out = static_cast<IAVIFile*>(this);
    else if (iid == IID_IPersistFile)
      *out = static_cast<IPersistFile*>(this);
    else if (iid == IID_IAvisynthClipInfo)
      *out = static_cast<IAvisynthClipInfo*>(this);
    else
      return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&references_); }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return left;
  }

  // A script handler evaluates the script here, which may take minutes; a
  // script's source is opened while the script runs, as the layer's WAVE
  // handler opens a WavSource: for reading, letting others read and write.
  STDMETHODIMP Load(LPCOLESTR path, DWORD) override {
    HRESULT result = load_source(path, &source_);
    if (!source_.open_gate.empty()) wait_at(source_.open_gate);
    if (result < 0 || source_.hold_file.empty()) return result;
    held_ = CreateFileA(source_.hold_file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
    return held_ == INVALID_HANDLE_VALUE ? AVIERR_FILEOPEN : result;
  }

  STDMETHODIMP GetStream(PAVISTREAM* stream, DWORD type, LONG number) override {
    *stream = nullptr;
    if (source_.stream_error != 0) return static_cast<HRESULT>(source_.stream_error);
    if ((type != 0 && type != streamtypeAUDIO) || number < 0 ||
        static_cast<uint64_t>(number) >= source_.streams)
      return AVIERR_NODATA;
    *stream = new SourceStream(source_, static_cast<uint32_t>(number), this, &read_failed_);
    return AVIERR_OK;
  }

  STDMETHODIMP GetClassID(CLSID* clsid) override {
    *clsid = kClsid;
    return S_OK;
  }
  STDMETHODIMP IsDirty() override { return S_FALSE; }
  STDMETHODIMP Save(LPCOLESTR, BOOL) override { return E_NOTIMPL; }
  STDMETHODIMP SaveCompleted(LPCOLESTR) override { return E_NOTIMPL; }
  STDMETHODIMP GetCurFile(LPOLESTR*) override { return E_NOTIMPL; }
  STDMETHODIMP Info(AVIFILEINFOW*, LONG) override { return E_NOTIMPL; }
  STDMETHODIMP CreateStream(PAVISTREAM*, AVISTREAMINFOW*) override { return E_NOTIMPL; }
  STDMETHODIMP WriteData(DWORD, LPVOID, LONG) override { return E_NOTIMPL; }
  STDMETHODIMP ReadData(DWORD, LPVOID, LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP EndRecord() override { return E_NOTIMPL; }
  STDMETHODIMP DeleteStream(DWORD, LONG) override { return E_NOTIMPL; }

  // The text lives as long as the file object, as a script handler's does.
  STDMETHODIMP_(int) GetError(const char** message) override {
    if (source_.script_failed) {
      *message = source_.script_error.c_str();
      return 1;
    }
    if (!source_.read_error_told || read_failed_ == 0) return 0;
    *message = source_.read_error_text.c_str();
    return 1;
  }
  STDMETHODIMP_(bool) GetParity(int) override { return false; }
  STDMETHODIMP_(bool) IsFieldBased() override { return false; }

 private:
  LONG references_ = 1;
  Source source_;
  LONG read_failed_ = 0;  // set by a stream whose read failed
  HANDLE held_ = INVALID_HANDLE_VALUE;
};

class Factory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  // One static instance; its lifetime is the DLL's.
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    SourceFile* file = new SourceFile;
    HRESULT result = file->QueryInterface(iid, out);
    file->Release();
    return result;
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    if (lock)
      InterlockedIncrement(&g_objects);
    else
      InterlockedDecrement(&g_objects);
    return S_OK;
  }
};

Factory g_factory;

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
  *out = nullptr;
  if (clsid != kClsid) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(iid, out);
}

STDAPI DllCanUnloadNow() { return g_objects == 0 ? S_OK : S_FALSE; }
