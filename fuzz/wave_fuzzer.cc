// libFuzzer target: the Linux layer's WAVE handler (RIFF and RF64), as a .wav file reaches it.
#include "fuzz/avifile_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  drive_avifile(data, size, "WAVE", ".wav");
  return 0;
}
