// libFuzzer target: the stand-in's RIFF AVI handler.
#include "fuzz/avifile_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  drive_avifile(data, size, "AVI ");
  return 0;
}
