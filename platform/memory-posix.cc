// The Linux layer's VirtualAlloc and VirtualFree, with which the
// program takes its ring: tens of MiB that the kernel's read fills and its
// write drains at memory speed. On 4 KiB pages every 4 KiB of each pass costs
// a page walk, dearer under a VM's nested paging, and the first pass a page
// fault: 512 MiB read into a 32 MiB ring took 0.10 s on 4 KiB pages and
// 0.06 s on 2 MiB pages here. Our Linux machines grant transparent huge pages
// only to memory advised for them, so a block of 2 MiB or more is mapped at a
// 2 MiB boundary and advised.
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/faults-posix.h"

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer must see the block's bounds to catch a write past them.
constexpr bool kMapBlocks = false;
#else
constexpr bool kMapBlocks = true;
#endif

// VirtualFree releases a whole reservation by its address alone, so the
// length of each mapping is kept here.
std::mutex blocks_lock;
std::map<void*, size_t>& mapped_blocks() {
  static std::map<void*, size_t>* blocks = new std::map<void*, size_t>();
  return *blocks;
}

void* map(size_t length) {
  void* block = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}

// `length` zeroed bytes; from kHugePage on at a kHugePage boundary and
// advised for huge pages: map one huge page more and give back the ends.
void* map_block(size_t length) {
  if (length < kHugePage) return map(length);
  void* raw = map(length + kHugePage);
  if (raw == nullptr) return nullptr;
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

// Reserves and commits in one step, the one use the program makes of it.
LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocation_type, DWORD protect) {
  const DWORD both = MEM_RESERVE | MEM_COMMIT;
  if (platform_faults.alloc_fail || address != nullptr || size == 0 ||
      (allocation_type & both) != both || protect != PAGE_READWRITE ||
      size > SIZE_MAX - 2 * kHugePage) {
    return nullptr;
  }
  if (!kMapBlocks) return calloc(1, size);
  const size_t page = 4096;
  const size_t length = (size + page - 1) & ~(page - 1);
  void* block = map_block(length);
  if (block == nullptr) return nullptr;
  std::lock_guard<std::mutex> hold(blocks_lock);
  mapped_blocks()[block] = length;
  return block;
}

BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD free_type) {
  if (address == nullptr || size != 0 || free_type != MEM_RELEASE) return FALSE;
  if (!kMapBlocks) {
    free(address);
    return TRUE;
  }
  std::lock_guard<std::mutex> hold(blocks_lock);
  auto block = mapped_blocks().find(address);
  if (block == mapped_blocks().end()) return FALSE;
  munmap(block->first, block->second);
  mapped_blocks().erase(block);
  return TRUE;
}
