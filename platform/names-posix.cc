// The Linux layer's wide-name calls. Linux names are byte strings, mostly
// UTF-8 but not necessarily: the Linux layer's system code page reads valid
// UTF-8 as characters and holds every other byte b as the character
// U+DC00 + b (a lone low surrogate, which no valid UTF-8 can spell), so that
// any name goes to wide and back unchanged. The wide calls open the bytes so
// spelled, through the narrow ones.
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/handles-posix.h"
#include "platform/share-posix.h"
#include "platform/windows-posix.h"

static_assert(sizeof(wchar_t) == 4, "Linux wide characters hold a whole code point");

namespace {

constexpr char32_t kEscapedBytes = 0xDC00;
constexpr UINT kShiftJis = 932;

// The code point of the valid UTF-8 sequence that starts `text` (`size`
// bytes left), and its length; 0 when none starts there.
size_t utf8_sequence(const unsigned char* text, size_t size, char32_t* code) {
  if (text[0] < 0x80) {
    *code = text[0];
    return 1;
  }
  size_t length = text[0] >= 0xF0 ? 4 : text[0] >= 0xE0 ? 3 : 2;
  const char32_t lead_bits[] = {0, 0, 0x1F, 0x0F, 0x07};
  const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (text[0] < 0xC0 || text[0] >= 0xF8 || length > size) return 0;
  *code = text[0] & lead_bits[length];
  for (size_t i = 1; i < length; ++i) {
    if ((text[i] & 0xC0) != 0x80) return 0;
    *code = *code << 6 | (text[i] & 0x3F);
  }
  // Overlong forms, surrogates and code points past Unicode are not UTF-8.
  if (*code < smallest[length] || *code > 0x10FFFF || (*code >= 0xD800 && *code <= 0xDFFF)) {
    return 0;
  }
  return length;
}

std::wstring widen(const unsigned char* text, size_t size) {
  std::wstring wide;
  for (size_t at = 0; at < size;) {
    char32_t code;
    size_t length = utf8_sequence(text + at, size - at, &code);
    wide += static_cast<wchar_t>(length ? code : kEscapedBytes + text[at]);
    at += length ? length : 1;
  }
  return wide;
}

// The UTF-8 bytes of `code` into `out`; their count.
size_t utf8_bytes(char32_t code, char* out) {
  if (code < 0x80) {
    out[0] = static_cast<char>(code);
    return 1;
  }
  const int length = code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
  const unsigned char lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
  out[0] = static_cast<char>(lead[length] | code >> (6 * (length - 1)));
  for (int i = length - 2; i >= 0; --i)
    out[length - 1 - i] = static_cast<char>(0x80 | ((code >> (6 * i)) & 0x3F));
  return size_t(length);
}

}  // namespace

// Allocates nothing, so that a crash can still be reported on a console.
size_t spell_character(wchar_t character, char* bytes) {
  const char32_t code = static_cast<char32_t>(character);
  if (code >= kEscapedBytes + 0x80 && code <= kEscapedBytes + 0xFF) {
    bytes[0] = static_cast<char>(code - kEscapedBytes);
    return 1;
  }
  if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  return utf8_bytes(code, bytes);
}

namespace {

// The bytes of `wide`; a character that spells none (a surrogate outside the
// escaped bytes, or past Unicode) becomes `missing` and clears `whole`.
std::string narrow(const wchar_t* wide, size_t size, char missing, bool* whole) {
  std::string text;
  *whole = true;
  char bytes[4];
  for (size_t i = 0; i < size; ++i) {
    const size_t length = spell_character(wide[i], bytes);
    if (length == 0) {
      text += missing;
      *whole = false;
    } else {
      text.append(bytes, length);
    }
  }
  return text;
}

// Copies `converted` out as the Windows conversions do: with a size of -1 the
// source's terminating null came along; a destination of size 0 asks for the
// size; one too small gets nothing (0).
template <typename Text, typename Char>
int hand_out(const Text& converted, Char* destination, int capacity) {
  const int size = static_cast<int>(converted.size());
  if (capacity == 0) return size;
  if (size > capacity) return 0;
  converted.copy(destination, converted.size());
  return size;
}

// The file name the wide `name` spells, or false when a character spells none.
bool file_name(LPCWSTR name, std::string* bytes) {
  if (name == nullptr) return false;
  bool whole;
  *bytes = narrow(name, std::char_traits<wchar_t>::length(name), '?', &whole);
  return whole;
}

// Code page 932 (Shift_JIS, in Microsoft's variant), as glibc's iconv reads
// it; what it cannot read becomes U+30FB, as Windows puts a default
// character in place of an invalid sequence.
std::wstring widen_shift_jis(const char* text, size_t size) {
  std::wstring wide(size, L'\0');  // never more characters than bytes
  iconv_t to_wide = iconv_open("WCHAR_T", "CP932");
  if (to_wide == reinterpret_cast<iconv_t>(-1)) return std::wstring();
  char* in = const_cast<char*>(text);
  char* out = reinterpret_cast<char*>(wide.data());
  size_t in_left = size, out_left = size * sizeof(wchar_t);
  while (in_left > 0 && iconv(to_wide, &in, &in_left, &out, &out_left) == size_t(-1)) {
    ++in;  // the byte that starts no character
    --in_left;
    *reinterpret_cast<wchar_t*>(out) = L'\u30FB';
    out += sizeof(wchar_t);
    out_left -= sizeof(wchar_t);
  }
  iconv_close(to_wide);
  wide.resize(wide.size() - out_left / sizeof(wchar_t));
  return wide;
}

}  // namespace

int MultiByteToWideChar(UINT code_page, DWORD, LPCSTR text, int size, LPWSTR wide, int capacity) {
  const size_t length = size < 0 ? std::char_traits<char>::length(text) + 1 : size_t(size);
  if (code_page == kShiftJis) return hand_out(widen_shift_jis(text, length), wide, capacity);
  return hand_out(widen(reinterpret_cast<const unsigned char*>(text), length), wide, capacity);
}

int WideCharToMultiByte(UINT, DWORD, LPCWSTR wide, int size, char* text, int capacity,
                        LPCSTR default_char, BOOL* used_default) {
  const size_t length = size < 0 ? std::char_traits<wchar_t>::length(wide) + 1 : size_t(size);
  bool whole;
  std::string converted = narrow(wide, length, default_char ? *default_char : '?', &whole);
  if (used_default) *used_default = whole ? FALSE : TRUE;
  return hand_out(converted, text, capacity);
}

BOOL PathFileExistsW(LPCWSTR path) {
  std::string bytes;
  return file_name(path, &bytes) ? PathFileExistsA(bytes.c_str()) : FALSE;
}

DWORD GetShortPathNameW(LPCWSTR path, LPWSTR short_path, DWORD capacity) {
  std::string bytes;
  if (!file_name(path, &bytes) || !PathFileExistsA(bytes.c_str())) return 0;
  const DWORD size = DWORD(std::char_traits<wchar_t>::length(path));
  if (capacity <= size) return size + 1;  // the size needed, with the null
  std::char_traits<wchar_t>::copy(short_path, path, size + 1);
  return size;
}

HRESULT AVIFileOpenW(PAVIFILE* file, LPCWSTR path, UINT mode, LPCLSID handler) {
  std::string bytes;
  if (!file_name(path, &bytes)) {
    if (file) *file = nullptr;
    return AVIERR_FILEOPEN;
  }
  return AVIFileOpenA(file, bytes.c_str(), mode, handler);
}

// Opened only to tell which file a name stands for: no access, existing
// files only, and without opening what a FIFO or device would do on open.
// No access names the file alone. Reading opens it without waiting for a
// FIFO's writer and without making a terminal the controlling one.
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                   DWORD disposition, DWORD, HANDLE) {
  std::string bytes;
  if ((access != 0 && access != GENERIC_READ) || disposition != OPEN_EXISTING ||
      !file_name(path, &bytes)) {
    return INVALID_HANDLE_VALUE;
  }
  const int flags = access == 0 ? O_PATH : O_RDONLY | O_NONBLOCK | O_NOCTTY;
  const int fd = open(bytes.c_str(), flags | O_CLOEXEC);
  if (fd < 0) {
    SetLastError(errno == ENOENT    ? ERROR_FILE_NOT_FOUND
                 : errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                    : ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (access != 0 && share == 0 && !share_nothing(fd)) {
    close(fd);
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  return descriptor_handle(fd, true);
}

FILE* _wfsopen(const wchar_t* path, const wchar_t* mode, int share) {
  std::string bytes;
  std::string mode_bytes;
  if (!file_name(path, &bytes) || !file_name(mode, &mode_bytes)) {
    errno = ENOENT;
    return nullptr;
  }
  return fsopen_shared(bytes.c_str(), mode_bytes.c_str(), share);
}

// A relative name joined to the working directory; '.' and '..' stay as
// they are, which still names the same file. Linux has no device names, so
// no name becomes one of Windows' \\.\ paths.
DWORD GetFullPathNameW(LPCWSTR name, DWORD capacity, LPWSTR full, LPWSTR* file_part) {
  std::wstring path = name;
  if (path.empty() || path[0] != L'/') {
    char* directory = getcwd(nullptr, 0);
    if (directory == nullptr) return 0;
    path =
        widen(reinterpret_cast<const unsigned char*>(directory), strlen(directory)) + L"/" + path;
    free(directory);
  }
  if (file_part != nullptr) *file_part = nullptr;
  if (capacity <= path.size()) return DWORD(path.size() + 1);
  path.copy(full, path.size());
  full[path.size()] = L'\0';
  return DWORD(path.size());
}
