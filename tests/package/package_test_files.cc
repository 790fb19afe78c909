#include "package/package_test_files.h"

#include <windows.h>

namespace norva::installer::test {
namespace {

std::filesystem::path ExecutableFolder() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::filesystem::path(std::wstring(path, length)).parent_path();
}

}  // namespace

std::filesystem::path FixtureFile(const std::string& name) {
  return ExecutableFolder() / L"package_fixtures" / name;
}

std::filesystem::path BuiltProgram(const std::wstring& name) { return ExecutableFolder() / name; }

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
