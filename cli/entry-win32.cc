// The Windows entry: the arguments as UTF-16, so that a file name the
// system code page cannot spell arrives whole (linked with -municode).
#include "cli/main.h"

int wmain(int argc, wchar_t** argv) { return tonewell_main(argc, argv); }
