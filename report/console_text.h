// Text for the user, as a console shows it. The program's own texts are held
// in its message code page (Shift_JIS on Windows), while the strings that
// fill their "%s" places (paths, arguments, a handler's words) are in the
// system code page. A console that is not set to the messages' code page
// would show those bytes as other characters, so on a console each piece is
// turned into UTF-16 from its own code page and written as text. Anywhere
// else, in a file or a pipe, the bytes go out as they are, so that scripts
// reading them see what they always saw.
#ifndef TONEWELL_REPORT_CONSOLE_TEXT_H_
#define TONEWELL_REPORT_CONSOLE_TEXT_H_

#include <cstdarg>
#include <cstdio>
#include <string>

#define TONEWELL_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

// printf-style `format` and its arguments to `stream` (standard output or
// error). False when the text did not get out whole.
bool vprint_text(FILE* stream, const char* format, va_list args);
bool print_text(FILE* stream, const char* format, ...) TONEWELL_PRINTF(2, 3);

// What a console is given for `format` and its arguments: the literal text
// from the message code page, each "%s" argument from the system code page,
// numbers as printf writes them.
std::wstring console_text(const char* format, va_list args);

// One of the program's texts as wide characters, from the message code page.
std::wstring wide_message(const char* text);

#endif  // TONEWELL_REPORT_CONSOLE_TEXT_H_
