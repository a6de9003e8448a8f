// Large blocks on huge pages. The transfer's ring is tens of MiB that the
// kernel's read fills and its write drains at memory speed. On 4 KiB pages
// every 4 KiB of each pass costs a page walk, dearer under a VM's nested
// paging, and the first pass a page fault: 512 MiB read into a 32 MiB ring
// took 0.10 s on 4 KiB pages and 0.06 s on 2 MiB pages here. Our Linux
// machines grant transparent huge pages only to memory advised for them, so
// a block of 2 MiB or more gets a mapping of its own, aligned to 2 MiB and
// advised. Every other block, and any the mapping cannot serve, goes to the C
// library's allocator. The program is linked with -Wl,--wrap=malloc
// -Wl,--wrap=free.
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>

extern "C" void* __real_malloc(size_t size);
extern "C" void __real_free(void* block);

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer must see the ring's bounds to catch a write past them.
constexpr bool kMapLargeBlocks = false;
#else
constexpr bool kMapLargeBlocks = true;
#endif

struct Mapping {
  void* block;
  size_t length;
};

// The program holds one large block at a time; the slots leave room for tests.
std::mutex mappings_lock;
Mapping mappings[8];

// A mapping of `length` bytes (a multiple of kHugePage) at a kHugePage
// boundary: map one huge page more and give back the ends.
void* map_aligned(size_t length) {
  void* raw =
      mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  const size_t head = aligned - start;
  if (head > 0) munmap(raw, head);
  munmap(reinterpret_cast<void*>(aligned + length), kHugePage - head);
  void* block = reinterpret_cast<void*>(aligned);
  // Only advice: without huge pages the block is still good.
  madvise(block, length, MADV_HUGEPAGE);
  return block;
}

}  // namespace

extern "C" void* __wrap_malloc(size_t size) {
  if (!kMapLargeBlocks || size < kHugePage || size > SIZE_MAX - 2 * kHugePage) {
    return __real_malloc(size);
  }
  const size_t length = (size + kHugePage - 1) & ~(kHugePage - 1);
  std::lock_guard<std::mutex> hold(mappings_lock);
  for (Mapping& slot : mappings) {
    if (slot.block != nullptr) continue;
    void* block = map_aligned(length);
    if (block == nullptr) break;
    slot = {block, length};
    return block;
  }
  return __real_malloc(size);
}

extern "C" void __wrap_free(void* block) {
  if (block == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(mappings_lock);
    for (Mapping& slot : mappings) {
      if (slot.block != block) continue;
      munmap(slot.block, slot.length);
      slot = {};
      return;
    }
  }
  __real_free(block);
}
