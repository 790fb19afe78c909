#include "package/package_test_files.h"

#include "base/file_util.h"

namespace norva::installer::test {

std::filesystem::path FixtureFile(const std::string& name) {
  return std::filesystem::path(GetExecutablePath().parent_path()) / L"package_fixtures" / name;
}

std::filesystem::path BuiltProgram(const std::wstring& name) { return GetExecutablePath().parent_path() / name; }

std::string Trailer(const std::string& payload) {
  uint32_t length = static_cast<uint32_t>(payload.size());
  std::string trailer = "NVR" + payload;
  for (int i = 0; i < 4; ++i) trailer += static_cast<char>((length >> (8 * i)) & 0xFF);
  return trailer;
}

std::filesystem::path ScratchFileTest::Write(const std::string& name, const std::string& bytes) {
  std::filesystem::path path = scratch_.path() / name;
  WriteFile(path, bytes);
  return path;
}

}  // namespace norva::installer::test
