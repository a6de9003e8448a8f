#include "report/console_text.h"

#include <cstring>

#include "platform/platform.h"

namespace {

// Set by the build, with the character set the compiler writes the texts in.
constexpr UINT kMessageCodePage = TONEWELL_MESSAGE_CODE_PAGE;

std::wstring widen(UINT code_page, const char* text, size_t size) {
  if (size == 0) return std::wstring();
  const int length = MultiByteToWideChar(code_page, 0, text, static_cast<int>(size), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
  MultiByteToWideChar(code_page, 0, text, static_cast<int>(size), wide.data(), length);
  return wide;
}

// One conversion ("%s", "%5u", "%lld", ...) of `type` as printf
// writes it, taking its argument from `args`.
std::string converted(const std::string& conversion, char type, va_list* args) {
  char text[64];
  const bool wide_integer = conversion.find("ll") != std::string::npos ||
                            conversion.find("I64") != std::string::npos ||
                            conversion.find('j') != std::string::npos;
  const bool long_integer = !wide_integer && conversion.find('l') != std::string::npos;
  if (type == 's') {
    const char* string = va_arg(*args, const char*);
    const int size = snprintf(nullptr, 0, conversion.c_str(), string);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    snprintf(out.data(), out.size() + 1, conversion.c_str(), string);
    return out;
  }
  if (strchr("di", type) != nullptr) {
    if (wide_integer)
      snprintf(text, sizeof text, conversion.c_str(), va_arg(*args, long long));
    else if (long_integer)
      snprintf(text, sizeof text, conversion.c_str(), va_arg(*args, long));
    else
      snprintf(text, sizeof text, conversion.c_str(), va_arg(*args, int));
  } else if (strchr("uxXoc", type) != nullptr) {
    if (wide_integer)
      snprintf(text, sizeof text, conversion.c_str(), va_arg(*args, unsigned long long));
    else if (long_integer)
      snprintf(text, sizeof text, conversion.c_str(), va_arg(*args, unsigned long));
    else
      snprintf(text, sizeof text, conversion.c_str(), va_arg(*args, unsigned));
  } else {
    return type == '%' ? "%" : conversion;  // nothing the program's texts use
  }
  return text;
}

HANDLE handle_of(FILE* stream) {
  if (stream == stdout) return GetStdHandle(STD_OUTPUT_HANDLE);
  if (stream == stderr) return GetStdHandle(STD_ERROR_HANDLE);
  return nullptr;
}

}  // namespace

std::wstring console_text(const char* format, va_list args) {
  va_list rest;
  va_copy(rest, args);
  std::wstring text;
  const char* literal = format;
  const char* at = format;
  while (*at != '\0') {
    if (*at != '%') {
      ++at;
      continue;
    }
    text += widen(kMessageCodePage, literal, static_cast<size_t>(at - literal));
    const char* conversion = at++;
    at += strspn(at, "-+ #0123456789.");
    at += strspn(at, "hlLjztI64");
    const char type = *at;
    if (type != '\0') ++at;
    const std::string piece = converted(std::string(conversion, at), type, &rest);
    text += widen(type == 's' ? CP_ACP : kMessageCodePage, piece.data(), piece.size());
    literal = at;
  }
  text += widen(kMessageCodePage, literal, static_cast<size_t>(at - literal));
  va_end(rest);
  return text;
}

std::wstring wide_message(const char* text) { return widen(kMessageCodePage, text, strlen(text)); }

bool vprint_text(FILE* stream, const char* format, va_list args) {
  DWORD mode;
  const HANDLE console = handle_of(stream);
  if (console == nullptr || !GetConsoleMode(console, &mode))
    return vfprintf(stream, format, args) >= 0;
  const std::wstring text = console_text(format, args);
  // Whatever the stream holds goes first, in its order.
  fflush(stream);
  DWORD written = 0;
  return WriteConsoleW(console, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

bool print_text(FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const bool printed = vprint_text(stream, format, args);
  va_end(args);
  return printed;
}
