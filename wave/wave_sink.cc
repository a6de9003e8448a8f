#include "wave/wave_sink.h"

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <string>

#include "report/interruption.h"
#include "report/messages.h"

namespace {

constexpr uint32_t kPlainFormatSize = 16;
constexpr uint32_t kExtensibleFormatSize = 40;
constexpr uint32_t kDs64Size = 28;  // without a table; some readers take no other size

// One header field, its bytes already in file order.
struct HeaderField {
  uint8_t bytes[16];
  size_t size;
};

// Characters as they stand, without the terminating null.
template <size_t N>
HeaderField text(const char (&chars)[N]) {
  static_assert(N - 1 <= sizeof(HeaderField::bytes), "a header field has at most 16 bytes");
  HeaderField field = {{}, N - 1};
  for (size_t i = 0; i < N - 1; ++i) field.bytes[i] = static_cast<uint8_t>(chars[i]);
  return field;
}

// Little-endian whatever the host's byte order.
HeaderField little_endian(uint64_t value, size_t size) {
  HeaderField field = {{}, size};
  for (size_t i = 0; i < size; ++i) field.bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return field;
}

// A GUID as files store it: the three numbers little-endian, then 8 bytes.
HeaderField guid(const GUID& id) {
  HeaderField field = little_endian(id.Data1, 4);
  HeaderField middle = little_endian(id.Data2 | uint32_t{id.Data3} << 16, 4);
  for (size_t i = 0; i < 4; ++i) field.bytes[4 + i] = middle.bytes[i];
  for (size_t i = 0; i < 8; ++i) field.bytes[8 + i] = id.Data4[i];
  field.size = 16;
  return field;
}

struct Header {
  HeaderField fields[24];
  size_t count;

  void add(const HeaderField& field) { fields[count++] = field; }
};

// The header's fields in file order. A RIFF size beyond 32 bits makes the
// file RF64: its 'ds64' chunk, first after the form type, carries the 64-bit
// sizes, and the 32-bit size fields hold 0xFFFFFFFF to point there.
Header header_of(const WAVEFORMATEXTENSIBLE& format, uint64_t data_size) {
  const WAVEFORMATEX& plain = format.Format;
  const bool extensible = plain.wFormatTag == WAVE_FORMAT_EXTENSIBLE;
  const uint32_t format_size = extensible ? kExtensibleFormatSize : kPlainFormatSize;
  const uint64_t riff_size = 4 + (8 + format_size) + 8 + data_size;
  const bool rf64 = riff_size > UINT32_MAX;
  Header header{};
  header.add(rf64 ? text("RF64") : text("RIFF"));
  header.add(little_endian(rf64 ? UINT32_MAX : riff_size, 4));
  header.add(text("WAVE"));
  if (rf64) {
    const uint64_t frames = plain.nBlockAlign == 0 ? 0 : data_size / plain.nBlockAlign;
    header.add(text("ds64"));
    header.add(little_endian(kDs64Size, 4));
    header.add(little_endian(riff_size + 8 + kDs64Size, 8));
    header.add(little_endian(data_size, 8));
    header.add(little_endian(frames, 8));
    header.add(little_endian(0, 4));  // no table of other chunks' sizes
  }
  header.add(text("fmt "));
  header.add(little_endian(format_size, 4));
  header.add(little_endian(plain.wFormatTag, 2));
  header.add(little_endian(plain.nChannels, 2));
  header.add(little_endian(plain.nSamplesPerSec, 4));
  header.add(little_endian(plain.nAvgBytesPerSec, 4));
  header.add(little_endian(plain.nBlockAlign, 2));
  header.add(little_endian(plain.wBitsPerSample, 2));
  if (extensible) {
    header.add(little_endian(plain.cbSize, 2));
    header.add(little_endian(format.Samples.wValidBitsPerSample, 2));
    header.add(little_endian(format.dwChannelMask, 4));
    header.add(guid(format.SubFormat));
  }
  header.add(text("data"));
  header.add(little_endian(rf64 ? UINT32_MAX : data_size, 4));
  return header;
}

// The -e rule: the speaker positions for each channel count that flac and
// ffmpeg take without options (7 channels: 6.1 with side speakers), none
// beyond 8. It is ours alone; the Linux layer's AviSynth handler has
// AviSynth+'s own table for a clip whose mask is not known
// (avisynth_channel_mask in platform/avisynth-handler-posix.cc), which puts
// 3 and 4 channels elsewhere.
DWORD extensible_channel_mask(WORD channels) {
  const DWORD masks[] = {0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x70F, 0x63F};
  return channels < sizeof masks / sizeof masks[0] ? masks[channels] : 0;
}

// The bits of each sample's container: the block shared evenly among the
// channels. 0 where there is no such share (no channels, bytes left over)
// or it is too wide for the 16-bit field that holds it.
uint32_t container_bits(const WAVEFORMATEX& format) {
  if (format.nChannels == 0 || format.nBlockAlign % format.nChannels != 0) return 0;
  const uint32_t bits = 8u * (format.nBlockAlign / format.nChannels);
  return bits <= UINT16_MAX ? bits : 0;
}

// The whole of a file, however far it grows, for LockFileEx.
constexpr DWORD kWholeFile = MAXDWORD;

// Locks the file behind standard output, if it is one, against every other
// handle for the length of the run, as a named output is held by its share
// mode: the shell opened it, so the share mode is the shell's. False when
// another holds it.
bool hold_standard_output(bool* held) {
  HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  OVERLAPPED whole = {};
  SetLastError(0);
  *held = GetFileType(handle) == FILE_TYPE_DISK &&
          LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, kWholeFile,
                     kWholeFile, &whole);
  // A file system without locks holds nothing, and the run goes on.
  return *held || GetLastError() != ERROR_LOCK_VIOLATION;
}

// Whether a file, read from its start, is empty or begins as a WAVE file
// (RIFF or RF64): only then may a run write over it, as a second run
// replaces the output of an earlier one. Anything else is somebody's data,
// perhaps a file the script read and let go (an Import, a plugin).
bool empty_or_wave(HANDLE reading) {
  char head[12];
  DWORD got = 0;
  if (!ReadFile(reading, head, sizeof head, &got, nullptr)) return false;
  if (got == 0) return true;
  const bool riff = memcmp(head, "RIFF", 4) == 0 || memcmp(head, "RF64", 4) == 0;
  return got == sizeof head && riff && memcmp(head + 8, "WAVE", 4) == 0;
}

// Windows answers the legacy device names (COM1, AUX, LPT1, PRN, in any
// folder and with any extension) with their device path, "\\.\COM1".
// Of those only NUL takes WAVE bytes to any purpose.
bool names_a_device_other_than_nul(const wchar_t* path) {
  wchar_t full[16];
  const DWORD length = GetFullPathNameW(path, sizeof full / sizeof full[0], full, nullptr);
  if (length < 5 || length >= sizeof full / sizeof full[0] || wcsncmp(full, L"\\\\.\\", 4) != 0)
    return false;
  std::wstring name(full + 4);
  for (wchar_t& c : name) {
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return name.find(L'\\') == std::wstring::npos && name != L"NUL";
}

enum class OutputCheck { kFree, kRefused, kNotWave };

// Whether the existing file the destination names, if any, may be cut and
// written, as an open that cuts nothing first tells. Not while another
// handle has it open: a script handler opens the sources its script reads
// as it runs the script, before the output exists, and reads them later, so
// cutting one would destroy the user's source and feed the run its ruins.
// An open sharing nothing fails on such a file; the shell's own standard
// stream, when it is open on the output, is the one handle let in. Never a
// console or another character device but NUL, which WAVE bytes would only
// upset, and never a file that holds something other than a WAVE file.
OutputCheck check_output(const Destination& destination) {
  const DWORD share = destination.open_as_standard_stream ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
  HANDLE file = CreateFileW(destination.path, GENERIC_READ, share, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return GetLastError() == ERROR_SHARING_VIOLATION ? OutputCheck::kRefused : OutputCheck::kFree;
  DWORD mode;
  OutputCheck check = OutputCheck::kFree;
  const DWORD type = GetFileType(file);
  if (GetConsoleMode(file, &mode) ||
      (type == FILE_TYPE_CHAR && names_a_device_other_than_nul(destination.path))) {
    check = OutputCheck::kRefused;
  } else if (type == FILE_TYPE_DISK && !empty_or_wave(file)) {
    check = OutputCheck::kNotWave;
  }
  CloseHandle(file);
  return check;
}

// Standard output on a file that already holds something that is no WAVE
// file (`1<> script.avs`, `>> plugin.so`) would be written over or grown.
// Where the file cannot be read back to tell (Wine gives a standard handle
// inherited from a Unix shell no second open), only an empty one is taken.
bool standard_output_free_to_write() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  LARGE_INTEGER size;
  if (GetFileType(out) != FILE_TYPE_DISK || !GetFileSizeEx(out, &size) || size.QuadPart == 0)
    return true;
  HANDLE reading = ReOpenFile(out, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
  if (reading == INVALID_HANDLE_VALUE) return false;
  const bool wave = empty_or_wave(reading);
  CloseHandle(reading);
  return wave;
}

void let_go_of_standard_output() {
  OVERLAPPED whole = {};
  UnlockFileEx(GetStdHandle(STD_OUTPUT_HANDLE), 0, kWholeFile, kWholeFile, &whole);
}

}  // namespace

WAVEFORMATEXTENSIBLE output_format(const WAVEFORMATEXTENSIBLE& stream_format, bool extensible) {
  const WAVEFORMATEX& plain = stream_format.Format;
  const bool pcm_or_float =
      plain.wFormatTag == WAVE_FORMAT_PCM || plain.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
  const uint32_t container = container_bits(plain);
  const uint32_t valid = plain.wBitsPerSample;
  // Only a block shared evenly among the channels, each share holding the
  // stream's bits, has an extensible form that tells the truth; any other
  // stream keeps its own.
  const bool consistent = container != 0 && valid != 0 && valid <= container;
  const bool needs_extensible = plain.nChannels > 2 || container > 16 || valid < container;
  if (!extensible || !pcm_or_float || !consistent || !needs_extensible) return stream_format;
  WAVEFORMATEXTENSIBLE format = stream_format;
  format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  // Readers step through the data by the container; the precision is the
  // stream's own, its samples filling the container from the top.
  format.Format.wBitsPerSample = WORD(container);
  format.Format.cbSize = kExtensibleFormatSize - sizeof(WAVEFORMATEX);
  format.Samples.wValidBitsPerSample = WORD(valid);
  format.dwChannelMask = extensible_channel_mask(plain.nChannels);
  // KSDATAFORMAT_SUBTYPE_PCM or _IEEE_FLOAT: the plain tag in the common base.
  format.SubFormat =
      GUID{plain.wFormatTag, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
  return format;
}

bool WaveSink::open(const Destination& destination) {
  // A destination left over from earlier reported its own failure, if any;
  // the new one starts afresh.
  if (output != nullptr) finish();
  if (destination.path != nullptr) {
    // While the run writes the file no other open may write it, nor read it
    // denying writers, as the AVI file layer opens inputs. A file the shell
    // holds open for writing as a standard stream already cannot be opened
    // denying that: its handle is the one open the file is shared with.
    // The input is never cut, held or not: a script handler reads its script
    // and lets it go.
    const int share = destination.open_as_standard_stream ? _SH_DENYNO : _SH_DENYWR;
    const OutputCheck check =
        destination.names_input ? OutputCheck::kRefused : check_output(destination);
    if (check == OutputCheck::kNotWave) {
      reporter->error(kOutputNotWave);
      return false;
    }
    if (check == OutputCheck::kFree) output = _wfsopen(destination.path, L"wb", share);
    if (output == nullptr) {
      reporter->error(kOutputRefused);
      return false;
    }
    reporter->info(kOutputOpened);
  } else {
    if (!standard_output_free_to_write()) {
      reporter->error(kOutputNotWave);
      return false;
    }
    if (!hold_standard_output(&holds_stdout)) {
      reporter->error(kOutputRefused);
      return false;
    }
    output = stdout;
    reporter->info(kOutputToStdout);
  }
  written_bytes = 0;

  // The sizes are final before any data is written, so the output is never
  // revisited and may be a pipe.
  const Header header = header_of(format, total_bytes);
  for (size_t i = 0; i < header.count; ++i) {
    const HeaderField& field = header.fields[i];
    if (fwrite(field.bytes, 1, field.size, output) != field.size) {
      reporter->error(kWriteFailed);
      return false;
    }
  }
  return true;
}

bool WaveSink::finish() {
  if (output == nullptr) return true;
  reporter->info(kWritingEnded);
  // A stream already in error lost data, but the write that met the error
  // reported it; ending it fails without a second message. So does one that
  // an interrupt cut short: that is what the run reports.
  bool reported = ferror(output) != 0;
  bool is_file = output != stdout;
  // Standard output is never closed; flushing it here catches a write
  // failure while there is still someone to report it.
  bool done = is_file ? fclose(output) == 0 : fflush(output) == 0;
  output = nullptr;
  if (holds_stdout) let_go_of_standard_output();
  holds_stdout = false;
  if (!done && !reported) {
    if (interruption.requested)
      interruption.report(reporter);
    else
      reporter->error(kWriteFailed);
  }
  if (is_file) reporter->verbose(kOutputClosed);
  return done && !reported;
}
