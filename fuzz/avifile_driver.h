// Drives the Linux layer's AVI file layer through the calls tonewell makes, on a
// file holding arbitrary bytes. Shared by the fuzz targets.
#ifndef TONEWELL_FUZZ_AVIFILE_DRIVER_H_
#define TONEWELL_FUZZ_AVIFILE_DRIVER_H_

#include <cstddef>
#include <cstdint>

// Writes `data` to an in-memory file named with `extension` (which picks the
// handler), with bytes 8 to 11 (the RIFF form type) replaced by `form` when
// there are that many, and opens, inspects, reads and releases every audio
// stream the layer finds in it. Aborts when an answer breaks the layer's
// contract.
void drive_avifile(const uint8_t* data, size_t size, const char form[4], const char* extension);

#endif  // TONEWELL_FUZZ_AVIFILE_DRIVER_H_
