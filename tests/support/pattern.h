// The audio of the test handlers: byte k of stream s is
// ((k mod 65521) × 31 + k ÷ 65521 + 101 × s) mod 256, a prime period and a
// step per period, so a piece out of place shows. The suites compute the
// same bytes to check every one.
#ifndef TONEWELL_TESTS_SUPPORT_PATTERN_H_
#define TONEWELL_TESTS_SUPPORT_PATTERN_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>

constexpr uint32_t kPatternRun = 65521;

struct PatternRun {
  uint8_t bytes[kPatternRun];
  PatternRun() {
    for (uint32_t j = 0; j < kPatternRun; ++j) bytes[j] = static_cast<uint8_t>(j * 31);
  }
};

// Writes `size` bytes of stream `stream`, from byte `offset` of its data on,
// a run of the pattern at a time.
inline void fill_pattern(uint8_t* out, uint64_t offset, uint64_t size, uint32_t stream) {
  static const PatternRun run;
  while (size > 0) {
    uint32_t at = static_cast<uint32_t>(offset % kPatternRun);
    uint8_t step = static_cast<uint8_t>(offset / kPatternRun + 101 * stream);
    size_t n = static_cast<size_t>(std::min<uint64_t>(size, kPatternRun - at));
    const uint8_t* from = run.bytes + at;
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(from[i] + step);
    out += n;
    offset += n;
    size -= n;
  }
}

#endif  // TONEWELL_TESTS_SUPPORT_PATTERN_H_
