#include "input/input_file.h"

#include <cstring>
#include <string>

#include "report/messages.h"
#include "wave/stream_facts.h"
#include "wave/transfer.h"

namespace {

const char* open_error_message(HRESULT result) {
  switch (result) {
    case REGDB_E_CLASSNOTREG:
      return kOpenFailedNoHandler;
    case AVIERR_BADFORMAT:
      return kOpenFailedBadFormat;
    case AVIERR_MEMORY:
      return kOpenFailedMemory;
    case AVIERR_FILEREAD:
      return kOpenFailedReadError;
    case AVIERR_FILEOPEN:
      return kOpenFailedOpenError;
    default:
      return kOpenFailedUnknown;
  }
}

const char* stream_error_message(HRESULT result) {
  switch (result) {
    case AVIERR_NODATA:
      return kStreamFailedNoSuchStream;
    case AVIERR_MEMORY:
      return kStreamFailedMemory;
    default:
      return kStreamFailedUnknown;
  }
}

// Reads the stream's wave format into `format`, zero where the layer has
// fewer bytes: a plain WAVEFORMATEX of up to 18 bytes, or a whole 40-byte
// WAVE_FORMAT_EXTENSIBLE one. Anything else is refused, since a header
// carrying part of it would not describe the data.
bool read_wave_format(PAVISTREAM stream, WAVEFORMATEXTENSIBLE* format) {
  LONG size = 0;
  if (AVIStreamReadFormat(stream, 0, nullptr, &size) < 0) return false;
  const bool plain = static_cast<DWORD>(size) <= sizeof(WAVEFORMATEX);
  if (!plain && static_cast<DWORD>(size) != sizeof(WAVEFORMATEXTENSIBLE)) return false;
  memset(format, 0, sizeof *format);
  if (AVIStreamReadFormat(stream, 0, format, &size) < 0) return false;
  // The extensible tag means nothing without the fields that follow it.
  const bool extensible = format->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE;
  const WORD extension_size = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  return plain ? !extensible : extensible && format->Format.cbSize == extension_size;
}

// Reads and reports the stream's sample size, sample count and format.
bool read_stream_facts(PAVISTREAM stream, const Reporter& reporter, StreamFacts* facts) {
  AVISTREAMINFOA info;
  if (AVIStreamInfoA(stream, &info, sizeof info) < 0) {
    reporter.error(kInfoFailed);
    return false;
  }
  reporter.info(kInfoRead);
  // Unsigned: streams of 2^31 samples and more are real, and a count shown
  // as negative would read as a fault.
  reporter.verbose(kFactSampleSize, static_cast<unsigned>(info.dwSampleSize));
  reporter.verbose(kFactSampleCount, static_cast<unsigned>(info.dwLength));
  facts->sample_size = info.dwSampleSize;
  facts->sample_count = info.dwLength;

  if (!read_wave_format(stream, &facts->format)) {
    reporter.error(kFormatFailed);
    return false;
  }
  const WAVEFORMATEX& format = facts->format.Format;
  reporter.info(kFormatRead);
  reporter.verbose(kFormatChannels, format.nChannels);
  reporter.verbose(kFormatBits, format.wBitsPerSample);
  reporter.verbose(kFormatRate, static_cast<int>(format.nSamplesPerSec));
  return true;
}

// The name by which the layer is asked to open `path`. A handler may open
// the file by its name as the ANSI code page spells it (Wine's own handlers
// do, through mmioOpenW, and so do handlers written for ANSI names), which
// loses the characters that code page lacks; the short (8.3) alias of such a
// name has none of them, where the volume keeps short names.
std::wstring name_for_handler(const wchar_t* path) {
  BOOL lossy = FALSE;
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path, -1, nullptr, 0, nullptr, &lossy);
  const DWORD size = lossy ? GetShortPathNameW(path, nullptr, 0) : 0;
  std::wstring alias(size, L'\0');
  if (size == 0 || GetShortPathNameW(path, alias.data(), size) + 1 != size) return path;
  alias.pop_back();  // the terminating null
  return alias;
}

// Prints a script handler's text a line at a time, each ended by the
// stream's own line end: a last line without one gets it, and a line ended
// by "\r\n" does not become "\r\r\n" on a text-mode stream. The bytes go
// as an argument, never read as a format.
void report_lines(const char* text, const Reporter& reporter) {
  while (*text != '\0') {
    const char* end = strchr(text, '\n');
    const size_t length = end ? static_cast<size_t>(end - text) : strlen(text);
    std::string line(text, length);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    reporter.error("%s\n", line.c_str());
    text += end ? length + 1 : length;
  }
}

// A script that fails still opens, as a clip showing the error, and a
// filter may fail later, while it delivers audio: either way the script
// handler's own report (IAvisynthClipInfo on the file) is all that tells the
// user what went wrong. True when `file` reports such an error, which is
// then printed with the handler's text; handlers that run no scripts lack
// the interface and answer false. Some handlers run the script only when
// first asked about it.
bool script_failed(PAVIFILE file, const Reporter& reporter) {
  void* answered = nullptr;
  if (file->QueryInterface(IID_IAvisynthClipInfo, &answered) < 0 || !answered) return false;
  IAvisynthClipInfo* clip_info = static_cast<IAvisynthClipInfo*>(answered);
  const char* text = nullptr;
  const bool failed = clip_info->GetError(&text) != 0;
  if (failed) {
    reporter.error(kScriptFailed);
    report_lines(text ? text : "", reporter);
  }
  clip_info->Release();
  return failed;
}

// A script's filter that failed while it delivered audio leaves its reason
// with the handler, on the file.
void explain_failed_read(void* file, const Reporter& reporter) {
  script_failed(static_cast<PAVIFILE>(file), reporter);
}

}  // namespace

bool InputFile::open(const wchar_t* path) {
  PAVIFILE opened = nullptr;
  HRESULT result =
      AVIFileOpenW(&opened, name_for_handler(path).c_str(), OF_SHARE_DENY_WRITE, nullptr);
  if (result < 0) {
    reporter->error(open_error_message(result));
    return false;
  }
  file = opened;
  reporter->info(kInputOpened);
  return !script_failed(file, *reporter);
}

bool InputFile::convert_stream(int32_t stream_number, const Destination& destination,
                               bool extensible) {
  PAVISTREAM stream = nullptr;
  HRESULT result = AVIFileGetStream(file, &stream, streamtypeAUDIO, stream_number);
  if (result < 0) {
    reporter->error(stream_error_message(result));
    return false;
  }
  reporter->info(kStreamOpened);

  StreamFacts facts;
  const StreamSource source{stream, explain_failed_read, file};
  bool converted = read_stream_facts(stream, *reporter, &facts) &&
                   run_transfer(source, facts, destination, extensible, reporter);

  AVIStreamRelease(stream);
  reporter->info(kStreamClosed);
  return converted;
}

void InputFile::close() {
  if (!file) return;
  AVIFileRelease(file);
  file = nullptr;
  reporter->info(kInputClosed);
}
