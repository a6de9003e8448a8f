// libFuzzer target: the stand-in's RIFF WAVE handler.
#include "fuzz/avifile_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  drive_avifile(data, size, "WAVE");
  return 0;
}
