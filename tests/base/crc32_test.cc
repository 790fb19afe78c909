// CRC32: the carry-less multiplication path (where the processor has it)
// against the table path, over lengths around its 16- and 64-byte steps and
// every alignment.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "base/crc32.h"

namespace norva::installer::test {
namespace {


TEST(SevenZipCrc32Test, CheckValue) {
  EXPECT_EQ(0xCBF43926u, Crc32("123456789", 9));
  EXPECT_EQ(0xCBF43926u, Crc32UpdateWithTablesForTesting(0, "123456789", 9));
}

TEST(SevenZipCrc32Test, SameAsTablesForEveryLengthAndAlignment) {
  if (!Crc32FoldingForTesting()) GTEST_LOG_(INFO) << "no carry-less multiply: tables only";
  std::vector<uint8_t> data((1 << 20) + 64);
  std::mt19937 random(20);
  for (uint8_t& b : data) b = static_cast<uint8_t>(random());
  const size_t kLengths[] = {0, 1, 15, 16, 17, 63, 64, 65, 79, 80, 127, 128, 129, 255, 1000, 4109, 1 << 20};
  for (size_t length : kLengths) {
    for (size_t align = 0; align < 16; ++align) {
      for (uint32_t running : {0u, 0x9E3779B9u}) {
        EXPECT_EQ(Crc32UpdateWithTablesForTesting(running, data.data() + align, length),
                  Crc32Update(running, data.data() + align, length))
            << "length " << length << " alignment " << align << " running " << running;
      }
    }
  }
}

}  // namespace
}  // namespace norva::installer::test
