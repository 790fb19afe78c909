#include "support/folder_link.h"

#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <functional>
#include <string>

#include "base/strings.h"
#include "support/wait.h"

namespace norva::installer::test {
namespace {

// Runs /bin/`program` of Wine's Unix side with `options` and `paths` (as Unix
// names), then waits until `done` holds: Wine starts a Unix program but gives
// no handle to wait on. False where there is no Unix side, or when `done`
// does not come about.
bool RunUnixProgram(const std::wstring& program, const std::wstring& options,
                    const std::vector<std::filesystem::path>& paths,
                    const std::function<bool()>& done) {
  using UnixName = char*(CDECL*)(const wchar_t*);
  auto unix_name = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (!unix_name) return false;
  std::wstring command = program + L" " + options;
  for (const auto& path : paths) {
    char* name = unix_name(path.c_str());
    if (!name) return false;
    command += L" \"" + Utf8ToWide(name) + L"\"";
    HeapFree(GetProcessHeap(), 0, name);
  }
  STARTUPINFOW startup{sizeof(startup)};
  PROCESS_INFORMATION process{};
  if (!CreateProcessW((L"Z:\\bin\\" + program).c_str(), command.data(), nullptr, nullptr, FALSE, 0,
                      nullptr, nullptr, &startup, &process))
    return false;
  if (process.hThread) CloseHandle(process.hThread);
  if (process.hProcess) CloseHandle(process.hProcess);
  return WaitUntil(done, std::chrono::seconds(20));
}

}  // namespace

bool MakeJunction(const std::filesystem::path& link, const std::filesystem::path& target) {
  if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
  HANDLE handle = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  BOOL made = FALSE;
  if (handle != INVALID_HANDLE_VALUE) {
    const std::wstring substitute = L"\\??\\" + target.native();
    const std::wstring print = target.native();
    const size_t substitute_bytes = (substitute.size() + 1) * sizeof(wchar_t);
    const size_t print_bytes = (print.size() + 1) * sizeof(wchar_t);
    // The mount point layout: tag, data length, reserved, the offsets and
    // lengths of both names, then the names with their terminators.
    std::vector<uint8_t> buffer(16 + substitute_bytes + print_bytes);
    auto put16 = [&](size_t at, size_t value) {
      buffer[at] = static_cast<uint8_t>(value);
      buffer[at + 1] = static_cast<uint8_t>(value >> 8);
    };
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    memcpy(buffer.data(), &tag, 4);
    put16(4, buffer.size() - 8);
    put16(8, 0);
    put16(10, substitute_bytes - sizeof(wchar_t));
    put16(12, substitute_bytes);
    put16(14, print_bytes - sizeof(wchar_t));
    memcpy(buffer.data() + 16, substitute.c_str(), substitute_bytes);
    memcpy(buffer.data() + 16 + substitute_bytes, print.c_str(), print_bytes);
    DWORD returned = 0;
    made = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(),
                           static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
    CloseHandle(handle);
  }
  if (made && IsReparsePoint(link)) return true;
  RemoveDirectoryW(link.c_str());
  return false;
}

FolderLinkKind MakeFolderLink(const std::filesystem::path& link,
                              const std::filesystem::path& target) {
  if (MakeJunction(link, target)) return FolderLinkKind::kJunction;
  if (RunUnixProgram(L"ln", L"-s", {target, link}, [&] { return IsReparsePoint(link); }))
    return FolderLinkKind::kUnix;
  return FolderLinkKind::kNone;
}

bool IsReparsePoint(const std::filesystem::path& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool RemoveUnixLinks(const std::vector<std::filesystem::path>& links) {
  return RunUnixProgram(L"rm", L"-f", links, [&] {
    for (const auto& link : links) {
      if (GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
    }
    return true;
  });
}

}  // namespace norva::installer::test
