// libFuzzer target: the Linux layer's AVI handler, as a .avi file reaches it.
#include "fuzz/avifile_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  drive_avifile(data, size, "AVI ", ".avi");
  return 0;
}
