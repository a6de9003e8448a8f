#include <errno.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

// The VmFlags of the mapping that holds `address`, from /proc/self/smaps.
std::string vm_flags_at(const void* address) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(address);
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool inside = false;
  while (std::getline(smaps, line)) {
    uintptr_t start, end;
    char dash;
    std::istringstream head(line);
    if (head >> std::hex >> start >> dash >> end && dash == '-') {
      inside = start <= at && at < end;
    } else if (inside && line.rfind("VmFlags:", 0) == 0) {
      return line;
    }
  }
  return "";
}

bool is_mapped(uintptr_t address, size_t size) {
  const size_t page = size_t(sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> pages((size + page - 1) / page);
  return mincore(reinterpret_cast<void*>(address), size, pages.data()) == 0 || errno != ENOMEM;
}

bool sanitized() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#else
  return false;
#endif
}

TEST(MemoryTest, LargeBlocksSitOnAdvisedHugePagesUntilFreed) {
  if (sanitized()) GTEST_SKIP() << "AddressSanitizer keeps every block";
  for (size_t size : {kHugePage, kHugePage + 1, size_t{8} << 20, (size_t{32} << 20) + 44}) {
    SCOPED_TRACE(size);
    auto* block = static_cast<uint8_t*>(malloc(size));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % kHugePage, 0u);
    block[0] = 1;
    block[size - 1] = 2;
    EXPECT_NE(vm_flags_at(block).find(" hg"), std::string::npos) << vm_flags_at(block);
    const volatile uintptr_t address = reinterpret_cast<uintptr_t>(block);  // kept past free
    free(block);
    EXPECT_FALSE(is_mapped(address, size));
  }
}

TEST(MemoryTest, SmallBlocksStayWithTheLibraryAllocator) {
  if (sanitized()) GTEST_SKIP() << "AddressSanitizer keeps every block";
  auto* block = static_cast<uint8_t*>(malloc(kHugePage - 1));
  ASSERT_NE(block, nullptr);
  block[kHugePage - 2] = 1;
  EXPECT_EQ(vm_flags_at(block).find(" hg"), std::string::npos);
  free(block);
}

TEST(MemoryTest, ManyLargeBlocksAtOnceAreAllUsable) {
  // More than the stand-in keeps mappings for: the rest come from the library.
  std::vector<uint8_t*> blocks;
  for (int i = 0; i < 20; ++i) {
    blocks.push_back(static_cast<uint8_t*>(malloc(kHugePage)));
    ASSERT_NE(blocks.back(), nullptr);
    blocks.back()[0] = uint8_t(i);
    blocks.back()[kHugePage - 1] = uint8_t(i);
  }
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(blocks[i][0], i);
    EXPECT_EQ(blocks[i][kHugePage - 1], i);
    free(blocks[i]);
  }
  // The slots are free again.
  void* again = malloc(kHugePage);
  ASSERT_NE(again, nullptr);
  if (!sanitized()) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(again) % kHugePage, 0u);
  }
  free(again);
}

}  // namespace
