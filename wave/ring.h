// The ring's geometry, from its two counters alone: the reader fills the
// free part from `produced`, the writer empties the filled part from
// `written`, both absolute byte offsets into the stream's data, with
// written <= produced <= written + capacity. Neither side's piece runs across
// the end of the buffer: the next one starts at offset 0.
#ifndef TONEWELL_WAVE_RING_H_
#define TONEWELL_WAVE_RING_H_

#include <cstddef>
#include <cstdint>

// A piece of the buffer: its offset and its size in bytes.
struct Span {
  size_t offset;
  size_t size;
};

struct Ring {
  size_t capacity;

  // Nothing can be read into the ring until the writer frees some of it.
  bool full(uint64_t produced, uint64_t written) const { return produced - written >= capacity; }

  // Where the reader puts its next piece, in a ring that is not full: from
  // `produced` up to the unwritten part or to the end of the buffer, and at
  // most a quarter of the ring, so that the writer has work while the
  // reader waits on the layer.
  Span free_span(uint64_t produced, uint64_t written) const {
    const size_t start = produced % capacity;
    const size_t read_pos = written % capacity;
    const size_t end = read_pos > start ? read_pos : capacity;
    return {start, end - start < capacity / 4 ? end - start : capacity / 4};
  }

  // What the writer writes next, in a ring that is not empty: from
  // `written` up to `produced` or to the end of the buffer.
  Span filled_span(uint64_t written, uint64_t produced) const {
    const size_t start = written % capacity;
    const size_t produced_pos = produced % capacity;
    return {start, (produced_pos > start ? produced_pos : capacity) - start};
  }
};

#endif  // TONEWELL_WAVE_RING_H_
