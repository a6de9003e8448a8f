// The Linux entry: the arguments are byte strings, handed on as wide
// strings in the Linux layer's code page, which gives every name back whole.
#include <string>
#include <vector>

#include "cli/main.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  std::vector<std::wstring> wide(argc);
  std::vector<wchar_t*> wide_argv;
  for (int i = 0; i < argc; ++i) {
    wide[i].resize(MultiByteToWideChar(CP_ACP, 0, argv[i], -1, nullptr, 0));
    MultiByteToWideChar(CP_ACP, 0, argv[i], -1, wide[i].data(), static_cast<int>(wide[i].size()));
    wide_argv.push_back(wide[i].data());
  }
  wide_argv.push_back(nullptr);
  return tonewell_main(argc, wide_argv.data());
}
