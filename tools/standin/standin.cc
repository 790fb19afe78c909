// A stand-in for the programs a package carries (the launcher and the
// browser), for tests and the demo. It records each start, with its command
// line, in "standin_runs.txt" beside itself, so a test can see who was
// started and how; "--version" prints the version it stands in for. While a
// file "standin_hangs" lies beside it, it does not end (two minutes at most).
#include <windows.h>

#include <string>

namespace {

void AppendLine(const std::wstring& file, const std::wstring& line) {
  HANDLE out = CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return;
  int size = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr,
                                 0, nullptr, nullptr);
  std::string utf8(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), utf8.data(), size,
                      nullptr, nullptr);
  utf8 += "\r\n";
  DWORD written = 0;
  WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  CloseHandle(out);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, wchar_t* arguments, int) {
  std::wstring args = arguments ? arguments : L"";
  if (args == L"--version") {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), NORVA_STANDIN_VERSION,
              sizeof(NORVA_STANDIN_VERSION) - 1, &written, nullptr);
    return 0;
  }
  wchar_t own[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, own, MAX_PATH);
  std::wstring path(own, length);
  std::wstring folder = path.substr(0, path.find_last_of(L'\\') + 1);
  std::wstring name = path.substr(folder.size());
  AppendLine(folder + L"standin_runs.txt", name + L" " + args);
  // A test's way to have a program that does not end by itself.
  for (int i = 0; i < 1200 && GetFileAttributesW((folder + L"standin_hangs").c_str()) !=
                                  INVALID_FILE_ATTRIBUTES;
       ++i)
    Sleep(100);
  return 0;
}
