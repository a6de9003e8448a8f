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

#include "platform/windows-posix.h"

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

void* reserve(size_t size) {
  return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

// The 32-bit build may run under qemu-user (on kernels without 32-bit
// support), which does not pass madvise's advice on to the kernel.
bool advice_reaches_kernel() { return sizeof(void*) == 8; }

TEST(MemoryTest, LargeBlocksSitOnAdvisedHugePagesUntilReleased) {
  if (sanitized()) GTEST_SKIP() << "AddressSanitizer keeps every block";
  for (size_t size : {kHugePage, kHugePage + 1, size_t{8} << 20, (size_t{32} << 20) + 44}) {
    SCOPED_TRACE(size);
    auto* block = static_cast<uint8_t*>(reserve(size));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % kHugePage, 0u);
    EXPECT_EQ(block[0] + block[size - 1], 0);  // committed memory reads as zero
    block[0] = 1;
    block[size - 1] = 2;
    if (advice_reaches_kernel()) {
      EXPECT_NE(vm_flags_at(block).find(" hg"), std::string::npos) << vm_flags_at(block);
    }
    const volatile uintptr_t address = reinterpret_cast<uintptr_t>(block);  // kept past release
    EXPECT_TRUE(VirtualFree(block, 0, MEM_RELEASE));
    EXPECT_FALSE(is_mapped(address, size));
  }
}

TEST(MemoryTest, SmallBlocksAreNotAdvised) {
  if (sanitized()) GTEST_SKIP() << "AddressSanitizer keeps every block";
  const size_t size = kHugePage - 4096;  // whole pages short of a huge page
  auto* block = static_cast<uint8_t*>(reserve(size));
  ASSERT_NE(block, nullptr);
  block[size - 1] = 1;
  EXPECT_EQ(vm_flags_at(block).find(" hg"), std::string::npos);
  EXPECT_TRUE(VirtualFree(block, 0, MEM_RELEASE));
}

// Only what the program asks for is served; anything else fails as Windows
// would fail it, without touching a live block.
TEST(MemoryTest, RequestsOutsideTheOneUseFail) {
  void* block = reserve(kHugePage);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(VirtualAlloc(nullptr, 0, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE), nullptr);
  EXPECT_EQ(VirtualAlloc(nullptr, SIZE_MAX, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE), nullptr);
  EXPECT_FALSE(VirtualFree(block, kHugePage, MEM_RELEASE));  // a size with MEM_RELEASE
  EXPECT_FALSE(VirtualFree(nullptr, 0, MEM_RELEASE));
  if (!sanitized()) {
    int elsewhere = 0;
    EXPECT_FALSE(VirtualFree(&elsewhere, 0, MEM_RELEASE));
  }
  static_cast<uint8_t*>(block)[kHugePage - 1] = 1;  // still there
  EXPECT_TRUE(VirtualFree(block, 0, MEM_RELEASE));
}

}  // namespace
