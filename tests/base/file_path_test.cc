#include "base/file_path.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/strings.h"

namespace norva::installer {
namespace {

// Every query and every pair of these must give what std::filesystem::path
// gives on Windows.
const wchar_t* const kPaths[] = {
    L"", L"a", L"a.b.c", L".hidden", L".x", L"..x", L"a.", L".", L"..", L"a\\b", L"a/b/", L"a\\\\b",
    L"a\\b\\\\", L"C:", L"C:\\", L"C:/", L"C:\\\\", L"c:a", L"C:..", L"C:\\a", L"C:\\a\\",
    L"C:/a/b.txt", L"C:\\a\\\\b", L"D:\\a", L"\\", L"/", L"\\a", L"\\\\", L"\\\\\\a", L"\\/a",
    L"\\\\server", L"\\\\server\\", L"\\\\server\\share\\x.y", L"//server/share", L"\\\\?\\C:\\a",
    L"\\\\.\\pipe\\x", L"1:x", L"a:b:c", L"a\\.\\b", L"a\\..\\b", L"a\\b\\..", L"a\\b\\..\\",
    L"a\\b\\.\\..", L"..\\..\\a", L"a\\..\\..", L"a\\..\\", L"..\\.", L"./", L"C:\\..\\a",
    L"C:a\\..", L"\\a\\..\\..\\b", L"//server/share/../x",
    L"C:\\Program Files\\Norva\\Application\\norva.exe",
};

std::wstring Value(const FilePath& path) { return path.native(); }
std::wstring Value(const std::filesystem::path& path) { return path.native(); }
bool Value(bool value) { return value; }

template <typename Path>
std::vector<std::wstring> Elements(const Path& path) {
  std::vector<std::wstring> elements;
  for (const auto& element : path) elements.push_back(element.native());
  return elements;
}

int Sign(int value) { return (value > 0) - (value < 0); }

#define EXPECT_SAME(query) EXPECT_EQ(Value(path.query), Value(expected.query)) << #query

TEST(FilePathTest, QueriesMatchTheStandardPath) {
  for (const wchar_t* text : kPaths) {
    SCOPED_TRACE(WideToUtf8(text));
    FilePath path(text);
    std::filesystem::path expected(text);
    EXPECT_SAME(relative_path());
    EXPECT_SAME(parent_path());
    EXPECT_SAME(filename());
    EXPECT_SAME(stem());
    EXPECT_SAME(extension());
    EXPECT_SAME(lexically_normal());
    EXPECT_SAME(has_root_name());
    EXPECT_SAME(has_root_directory());
    EXPECT_SAME(has_relative_path());
    EXPECT_SAME(has_parent_path());
    EXPECT_SAME(has_filename());
    EXPECT_SAME(is_absolute());
    EXPECT_EQ(Elements(path), Elements(expected));
    for (const wchar_t* extension : {L"", L"7z", L".tmp"}) {
      EXPECT_EQ(FilePath(text).replace_extension(extension).native(),
                std::filesystem::path(text).replace_extension(extension).native())
          << WideToUtf8(extension);
    }
  }
}

TEST(FilePathTest, JoinAndCompareMatchTheStandardPath) {
  for (const wchar_t* left : kPaths) {
    for (const wchar_t* right : kPaths) {
      SCOPED_TRACE(WideToUtf8(left) + " | " + WideToUtf8(right));
      EXPECT_EQ((FilePath(left) / right).native(), (std::filesystem::path(left) / right).native());
      EXPECT_EQ(Sign(FilePath(left).compare(right)),
                Sign(std::filesystem::path(left).compare(right)));
    }
  }
}

TEST(FilePathTest, ConvertsToAndFromTheStandardPath) {
  std::filesystem::path standard = FilePath(L"C:\\a") / L"b";
  EXPECT_EQ(standard.native(), L"C:\\a\\b");
  FilePath ours = standard.parent_path();
  EXPECT_EQ(ours, std::filesystem::path(L"C:/a"));
  EXPECT_EQ(std::filesystem::path(L"C:/a"), ours);
  EXPECT_NE(ours, standard);
}

}  // namespace
}  // namespace norva::installer
