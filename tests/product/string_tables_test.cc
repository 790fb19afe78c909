#include "product/string_tables.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "base/module_resource.h"

namespace norva::installer::l10n {
namespace {

constexpr LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr LANGID kGerman = MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN);
constexpr int kTitleBlock = 37000 / 16 + 1;

std::string CarriedResource() {
  return std::string(ModuleResource(kStringTablesResourceId, L"LZMA"));
}

void SetUint32(std::string* bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<char>(value >> (8 * i));
}

uint32_t GetUint32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

TEST(StringTablesTest, UnpacksTheCarriedResourceAndRefusesDamagedCopies) {
  struct Case {
    const char* name;
    std::function<void(std::string*)> damage;
    bool unpacks;
  };
  const Case kCases[] = {
      {"as carried", [](std::string*) {}, true},
      {"empty", [](std::string* bytes) { bytes->clear(); }, false},
      {"header only", [](std::string* bytes) { bytes->resize(13); }, false},
      {"cut in the stream", [](std::string* bytes) { bytes->resize(bytes->size() / 2); }, false},
      {"size too large",
       [](std::string* bytes) { SetUint32(bytes, 0, GetUint32(*bytes, 0) + 2); }, false},
      {"size too small",
       [](std::string* bytes) { SetUint32(bytes, 0, GetUint32(*bytes, 0) - 2); }, false},
      {"odd size", [](std::string* bytes) { SetUint32(bytes, 0, GetUint32(*bytes, 0) - 1); }, false},
      {"huge size", [](std::string* bytes) { SetUint32(bytes, 0, 0xFFFFFFFE); }, false},
      {"other checksum", [](std::string* bytes) { (*bytes)[4] ^= 1; }, false},
      {"bad properties", [](std::string* bytes) { (*bytes)[8] = static_cast<char>(225); }, false},
      {"byte changed in the stream",
       [](std::string* bytes) { (*bytes)[bytes->size() / 2] ^= 0x40; }, false},
  };
  const std::string carried = CarriedResource();
  ASSERT_GT(carried.size(), 13u);
  for (const Case& test : kCases) {
    std::string bytes = carried;
    test.damage(&bytes);
    StringTables tables;
    EXPECT_EQ(tables.Unpack(bytes), test.unpacks) << test.name;
    EXPECT_EQ(!tables.Table(kEnglish, kTitleBlock).empty(), test.unpacks) << test.name;
  }
}

// Unpacked tables in 16-bit units: the count, the index rows, the tables.
std::wstring Units(std::initializer_list<std::initializer_list<int>> rows, size_t body) {
  std::wstring units(1, static_cast<wchar_t>(rows.size()));
  for (const auto& row : rows)
    for (int value : row) units += static_cast<wchar_t>(value);
  for (size_t i = 0; i < body; ++i) units += static_cast<wchar_t>(i);
  return units;
}

TEST(StringTablesTest, ParseChecksTheIndexAgainstTheTables) {
  struct Case {
    const char* name;
    std::wstring units;
    bool parses;
  };
  const Case kCases[] = {
      {"two tables", Units({{kEnglish, 5, 16}, {kGerman, 5, 20}}, 36), true},
      {"no tables", Units({}, 0), true},
      {"nothing", L"", false},
      {"tables shorter than the index says", Units({{kEnglish, 5, 16}, {kGerman, 5, 20}}, 35), false},
      {"bytes after the last table", Units({{kEnglish, 5, 16}}, 17), false},
      {"a table under sixteen lengths", Units({{kEnglish, 5, 15}}, 15), false},
      {"index cut short", Units({{kEnglish, 5, 16}}, 0).substr(0, 3), false},
  };
  for (const Case& test : kCases) {
    StringTables tables;
    EXPECT_EQ(tables.Parse(test.units), test.parses) << test.name;
  }

  StringTables tables;
  ASSERT_TRUE(tables.Parse(Units({{kEnglish, 5, 16}, {kGerman, 5, 20}, {kGerman, 6, 16}}, 52)));
  EXPECT_EQ(tables.Table(kGerman, 5).size(), 20u);
  EXPECT_EQ(tables.Table(kGerman, 5).front(), L'\x10');  // Right after the English table.
  EXPECT_EQ(tables.Table(kGerman, 6).front(), L'\x24');
  EXPECT_TRUE(tables.Table(kEnglish, 6).empty());
  EXPECT_TRUE(tables.Table(MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH), 5).empty());
  EXPECT_EQ(tables.Languages(5), (std::vector<LANGID>{kEnglish, kGerman}));
  EXPECT_TRUE(tables.Languages(7).empty());
}

}  // namespace
}  // namespace norva::installer::l10n
