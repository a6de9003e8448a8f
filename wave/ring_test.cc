#include "wave/ring.h"

#include <gtest/gtest.h>

namespace {

// A ring of 16 bytes: (produced, written) positions around its end, and
// what each side may take. The reader's piece is at most a quarter (4).
TEST(RingTest, SpansNeverCrossTheEndAndTheFullRingTakesNothing) {
  const Ring ring{16};
  const struct {
    const char* name;
    uint64_t produced, written;
    bool full;
    Span free;    // for the reader, where the ring is not full
    Span filled;  // for the writer, where it is not empty
  } cases[] = {
      {"empty", 0, 0, false, {0, 4}, {}},
      {"a quarter short of the end", 12, 4, false, {12, 4}, {4, 8}},
      {"two bytes short of the end", 14, 4, false, {14, 2}, {4, 10}},
      {"wrapped, the writer ahead", 16, 4, false, {0, 4}, {4, 12}},
      {"one byte short of full", 19, 4, false, {3, 1}, {4, 12}},
      {"exactly full at the wrap", 20, 4, true, {}, {4, 12}},
      {"full from the start", 16, 0, true, {}, {0, 16}},
      {"wrapped, written to the end", 20, 16, false, {4, 4}, {0, 4}},
      {"far into the stream",
       (uint64_t{5} << 32) + 30,
       (uint64_t{5} << 32) + 22,
       false,
       {14, 2},
       {6, 8}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ring.full(c.produced, c.written), c.full);
    if (!c.full) {
      const Span free = ring.free_span(c.produced, c.written);
      EXPECT_EQ(free.offset, c.free.offset);
      EXPECT_EQ(free.size, c.free.size);
    }
    if (c.produced > c.written) {
      const Span filled = ring.filled_span(c.written, c.produced);
      EXPECT_EQ(filled.offset, c.filled.offset);
      EXPECT_EQ(filled.size, c.filled.size);
    }
  }
}

}  // namespace
