#include "package/resident_pages.h"

#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <vector>

namespace norva::installer {
namespace {

// How many pages of the range the system reports in the working set.
size_t ResidentPages(const uint8_t* start, size_t size) {
  std::vector<PSAPI_WORKING_SET_EX_INFORMATION> pages(size / 4096);
  for (size_t i = 0; i < pages.size(); ++i) pages[i].VirtualAddress = (void*)(start + i * 4096);
  if (!QueryWorkingSetEx(GetCurrentProcess(), pages.data(),
                         static_cast<DWORD>(pages.size() * sizeof(pages[0]))))
    return SIZE_MAX;
  size_t resident = 0;
  for (const auto& page : pages) resident += page.VirtualAttributes.Valid;
  return resident;
}

// A fresh allocation is resident after the call without having been touched,
// reads as zeros, and the working-set limits are as they were.
TEST(ResidentPagesTest, FreshMemoryBecomesResidentAndLimitsAreRestored) {
  constexpr size_t kSize = 8 << 20;
  auto* memory =
      static_cast<uint8_t*>(VirtualAlloc(nullptr, kSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(memory, nullptr);
  SIZE_T minimum = 0, maximum = 0, after_minimum = 0, after_maximum = 0;
  ASSERT_TRUE(GetProcessWorkingSetSize(GetCurrentProcess(), &minimum, &maximum));
  ASSERT_EQ(ResidentPages(memory, kSize), 0u);

  EXPECT_TRUE(MakePagesResident(memory, kSize));
  EXPECT_EQ(ResidentPages(memory, kSize), kSize / 4096);
  ASSERT_TRUE(GetProcessWorkingSetSize(GetCurrentProcess(), &after_minimum, &after_maximum));
  EXPECT_EQ(after_minimum, minimum);
  EXPECT_EQ(after_maximum, maximum);
  EXPECT_EQ(memory[0], 0);
  EXPECT_EQ(memory[kSize - 1], 0);
  // Unlocked again: the memory is freed as any other.
  EXPECT_TRUE(VirtualFree(memory, 0, MEM_RELEASE));

  EXPECT_FALSE(MakePagesResident(nullptr, kSize));
}

}  // namespace
}  // namespace norva::installer
