#include "base/file_util.h"

#include <bcrypt.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "base/logging.h"
#include "base/scoped_handle.h"
#include "base/strings.h"

extern "C" __declspec(dllimport) LONG WINAPI RtlGetLastNtStatus(void);

namespace norva::installer {
namespace {

// A name no other call of this process or another running one is making now.
std::wstring UniqueName() {
  static std::atomic<unsigned> counter{0};
  return StringPrintf(L"%lx%lx%x", GetCurrentProcessId(), GetTickCount(), counter++);
}

bool WriteAll(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1 << 30));
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

constexpr int kPrivateFolderAttempts = 16;

const TempFolderConditions* g_temp_conditions = nullptr;

struct RunTempFolder {
  std::mutex lock;
  FilePath private_folder;
};

RunTempFolder& RunTemp() {
  static RunTempFolder* state = new RunTempFolder;  // used until the process ends
  return *state;
}

using GetTempPathFunction = DWORD(WINAPI*)(DWORD, LPWSTR);

// Windows 11, and Windows 10 and Server 2016 with the updates of 2025.
GetTempPathFunction TempPath2() {
  if (g_temp_conditions && g_temp_conditions->temp_path2_missing) return nullptr;
  return reinterpret_cast<GetTempPathFunction>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W")));
}

bool HasTempPath2() {
  return g_temp_conditions ? !g_temp_conditions->temp_path2_missing : TempPath2() != nullptr;
}

bool AsSystem() {
  return g_temp_conditions ? g_temp_conditions->as_system : IsRunningAsSystem();
}

FilePath TempPathFrom(GetTempPathFunction get_temp_path) {
  wchar_t buffer[MAX_PATH + 1];
  DWORD length = get_temp_path(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH) return {};
  std::wstring folder(buffer, length);
  if (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
  return folder;
}

std::wstring RandomName() {
  uint8_t bytes[16];
  if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes, sizeof(bytes),
                                      BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
    return {};
  std::wstring name = L"tmp";
  for (uint8_t byte : bytes) name += StringPrintf(L"%02x", byte);
  return name;
}

}  // namespace

FilePath GetTempFolder() {
  GetTempPathFunction temp_path2 = TempPath2();
  return TempPathFrom(temp_path2 ? temp_path2 : GetTempPathW);
}

bool IsRunningAsSystem() {
  ScopedHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive())) {
    token.release();  // nothing to close
    return false;
  }
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return false;
  std::vector<uint8_t> buffer(size);
  if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return false;
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
  return IsWellKnownSid(user->User.Sid, WinLocalSystemSid) != FALSE;
}

FilePath GetRunTempFolder() {
  if (HasTempPath2() || !AsSystem()) return GetTempFolder();
  RunTempFolder& state = RunTemp();
  std::lock_guard<std::mutex> hold(state.lock);
  if (state.private_folder.empty()) {
    FilePath temp = TempPathFrom(GetTempPathW);
    if (temp.empty()) return {};
    state.private_folder = CreatePrivateFolderUnder(temp);
  }
  return state.private_folder;
}

bool RemoveRunTempFolder() {
  RunTempFolder& state = RunTemp();
  std::lock_guard<std::mutex> hold(state.lock);
  if (state.private_folder.empty()) return true;
  // The run's log is in it too, and goes with it.
  const std::wstring& folder = state.private_folder.native();
  const std::wstring log = logging::GetLogFilePath().native();
  if (log.size() > folder.size() && log[folder.size()] == L'\\' &&
      EqualsCaseInsensitiveASCII(std::wstring_view(log).substr(0, folder.size()), folder))
    logging::CloseLogFile();
  if (!DeleteTree(state.private_folder)) {
    LOG(WARNING) << "Could not remove the temporary folder " << state.private_folder;
    return false;
  }
  state.private_folder.clear();
  return true;
}

void SetTempFolderConditionsForTesting(const TempFolderConditions* conditions) {
  g_temp_conditions = conditions;
}

FilePath GetKnownFolder(REFKNOWNFOLDERID id, DWORD flags) {
  wchar_t* folder = nullptr;
  HRESULT result = SHGetKnownFolderPath(id, flags, nullptr, &folder);
  FilePath path;
  if (SUCCEEDED(result) && folder) {
    path = folder;
  } else {
    VLOG(1) << "SHGetKnownFolderPath failed: " << logging::SystemErrorText(result);
  }
  CoTaskMemFree(folder);
  return path;
}

FilePath GetExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

bool PathExists(const FilePath& path) {
  return GetFileAttributesW(ExtendedLengthPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool DirectoryExists(const FilePath& path) {
  DWORD attributes = GetFileAttributesW(ExtendedLengthPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateDirectories(const FilePath& path) {
  if (DirectoryExists(path)) return true;
  FilePath parent = path.parent_path();
  if (parent != path && !parent.empty() && !CreateDirectories(parent)) return false;
  // Another process may have made it meanwhile.
  if (CreateDirectoryW(ExtendedLengthPath(path).c_str(), nullptr) || DirectoryExists(path))
    return true;
  PLOG(ERROR) << "Could not create folder " << path;
  return false;
}

void ForEachEntry(const FilePath& folder,
                  const std::function<void(const WIN32_FIND_DATAW&)>& visit) {
  WIN32_FIND_DATAW entry;
  ScopedFindHandle find(FindFirstFileExW(ExtendedLengthPath(folder / L"*").c_str(), FindExInfoBasic,
                                         &entry, FindExSearchNameMatch, nullptr, 0));
  if (!find) return;
  do {
    std::wstring_view name = entry.cFileName;
    if (name != L"." && name != L"..") visit(entry);
  } while (FindNextFileW(find.get(), &entry));
}

namespace {

// Whether every entry left in `folder` is a file deleted while another
// program (a scanner, an indexer) held it open: the folder empties itself
// when they let go.
bool OnlyDeletionsPendingIn(const FilePath& folder) {
  bool pending_only = true;
  ForEachEntry(folder, [&](const WIN32_FIND_DATAW& entry) {
    ScopedHandle opened(CreateFileW(
        ExtendedLengthPath(folder / entry.cFileName).c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (opened || GetLastError() != ERROR_ACCESS_DENIED ||
        LastNtStatus() != kStatusDeletePending)
      pending_only = false;
  });
  return pending_only;
}

// The folder at `extended`, opened without following a link there and
// shared with no one who would rename or delete it; none when it is a link.
ScopedHandle HoldRealFolder(const std::wstring& extended) {
  ScopedHandle folder(CreateFileW(extended.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (folder && (!GetFileInformationByHandle(folder.get(), &info) ||
                 (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)))
    folder.reset();
  return folder;
}

}  // namespace

bool DeleteTree(const FilePath& path, const DeleteAttempt& attempt) {
  auto run = [&](const std::function<bool()>& remove) { return attempt ? attempt(remove) : remove(); };
  const std::wstring extended = ExtendedLengthPath(path);
  DWORD attributes = GetFileAttributesW(extended.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  if (attributes & FILE_ATTRIBUTE_READONLY)
    SetFileAttributesW(extended.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  bool deleted;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    deleted = run([&] { return DeleteFileW(extended.c_str()) != FALSE; });
  } else {
    // A link to a folder is removed as it is; never follow it. The folder
    // is held while it is emptied, without delete sharing, so that nobody
    // can swap it for a link that would take the walk elsewhere.
    ScopedHandle held;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
      held = HoldRealFolder(extended);
    if (held) {
      ForEachEntry(path, [&](const WIN32_FIND_DATAW& entry) {
        DeleteTree(path / entry.cFileName, attempt);
      });
    }
    held.reset();
    deleted = run([&] { return RemoveFolder(path); });
  }
  if (!deleted) PLOG(WARNING) << "Could not delete " << path;
  return deleted;
}

LONG LastNtStatus() { return RtlGetLastNtStatus(); }

bool RemoveFolder(const FilePath& path) {
  if (RemoveDirectoryW(ExtendedLengthPath(path).c_str())) return true;
  const DWORD error = GetLastError();
  const bool emptying = error == ERROR_DIR_NOT_EMPTY && OnlyDeletionsPendingIn(path);
  SetLastError(emptying ? ERROR_SHARING_VIOLATION : error);
  return false;
}

bool ReadFileToString(const FilePath& path, std::string* contents,
                      size_t max_size) {
  contents->clear();
  ScopedHandle file(CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return false;
  constexpr size_t kChunk = 64 * 1024;
  bool ok = true;
  for (;;) {
    size_t used = contents->size();
    contents->resize(used + kChunk);
    DWORD read = 0;
    if (!::ReadFile(file.get(), contents->data() + used, kChunk, &read, nullptr)) ok = false;
    contents->resize(used + read);
    if (!ok || read == 0) break;
    if (contents->size() > max_size) {
      contents->resize(max_size);
      ok = false;
      break;
    }
  }
  return ok;
}

bool WriteFileAtomically(const FilePath& path, std::string_view bytes) {
  FilePath temp = path;
  temp += L"." + UniqueName() + L".tmp";
  const std::wstring extended_temp = ExtendedLengthPath(temp);
  ScopedHandle file(CreateFileW(extended_temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    PLOG(ERROR) << "Could not create " << temp;
    return false;
  }
  bool written = WriteAll(file.get(), bytes) && FlushFileBuffers(file.get());
  if (!written) PLOG(ERROR) << "Could not write " << temp;
  file.reset();  // before the move, which needs the file closed
  if (written && MoveFileExW(extended_temp.c_str(), ExtendedLengthPath(path).c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  if (written) PLOG(ERROR) << "Could not replace " << path;
  DeleteFileW(extended_temp.c_str());
  return false;
}

HANDLE CreateOrOverwriteFile(const std::wstring& path, DWORD access, DWORD share) {
  HANDLE file =
      CreateFileW(path.c_str(), access, share, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
  return CreateFileW(path.c_str(), access, share, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

bool CopyFile(const FilePath& from, const FilePath& to) {
  if (::CopyFileW(ExtendedLengthPath(from).c_str(), ExtendedLengthPath(to).c_str(), FALSE))
    return true;
  PLOG(WARNING) << "Could not copy " << from << " to " << to;
  return false;
}

std::wstring ExtendedLengthPath(const FilePath& path) {
  const std::wstring& text = path.native();
  auto separator = [&](size_t i) {
    return i < text.size() && (text[i] == L'\\' || text[i] == L'/');
  };
  const bool drive = text.size() >= 3 && iswalpha(text[0]) && text[1] == L':' && separator(2);
  const bool unc = separator(0) && separator(1) && text.size() > 2 && !separator(2);
  if (!drive && !unc) return text;
  if (unc && (text[2] == L'?' || text[2] == L'.') && (text.size() == 3 || separator(3)))
    return text;  // a device path, or one that is extended already

  std::vector<std::wstring_view> parts;
  for (size_t start = 0; start <= text.size();) {
    size_t end = start;
    while (end < text.size() && !separator(end)) ++end;
    parts.emplace_back(text.data() + start, end - start);
    start = end + 1;
  }
  // The root: the drive, or the server and the share.
  std::wstring result = drive ? L"\\\\?\\" : L"\\\\?\\UNC";
  size_t first = 0;
  if (drive) {
    result += parts[0];
    first = 1;
  } else {
    // parts[0] and [1] are the empty names before the leading separators.
    if (parts.size() < 4 || parts[2].empty() || parts[3].empty()) return text;
    result += L"\\";
    result += parts[2];
    result += L"\\";
    result += parts[3];
    first = 4;
  }
  std::vector<std::wstring_view> kept;
  for (size_t i = first; i < parts.size(); ++i) {
    if (parts[i].empty() || parts[i] == L".") continue;
    if (parts[i] == L"..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    kept.push_back(parts[i]);
  }
  if (kept.empty() && drive) result += L'\\';
  for (std::wstring_view part : kept) {
    result += L'\\';
    result += part;
  }
  return result;
}

bool IsAbsolutePath(const FilePath& path) {
  const std::wstring& text = path.native();
  auto separator = [&](size_t i) { return text[i] == L'\\' || text[i] == L'/'; };
  if (text.size() >= 3 && iswalpha(text[0]) && text[1] == L':' && separator(2)) return true;
  return text.size() >= 3 && separator(0) && separator(1) && !separator(2);
}

FilePath CreateUniqueTempFolderUnder(const FilePath& base) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    FilePath folder = base / (L"tmp" + UniqueName());
    if (CreateDirectoryW(ExtendedLengthPath(folder).c_str(), nullptr)) return folder;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  PLOG(ERROR) << "Could not create a temporary folder in " << base;
  return {};
}

FilePath CreatePrivateFolderUnder(const FilePath& base,
                                  const std::function<std::wstring()>& next_name) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdminOnlySecurity, SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    PLOG(ERROR) << "Could not make the security descriptor of a private folder";
    return {};
  }
  ScopedLocalMemory<PSECURITY_DESCRIPTOR> hold_descriptor(descriptor);
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  for (int attempt = 0; attempt < kPrivateFolderAttempts; ++attempt) {
    std::wstring name = next_name ? next_name() : RandomName();
    if (name.empty()) break;
    FilePath folder = base / name;
    // Fails on any existing name, a link included: whoever made it first
    // chose what it is.
    if (CreateDirectoryW(ExtendedLengthPath(folder).c_str(), &attributes)) return folder;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  PLOG(ERROR) << "Could not create a private folder in " << base;
  return {};
}

bool IsSafeRelativePath(const FilePath& path) {
  if (path.empty() || path.has_root_name() || path.has_root_directory()) return false;
  if (path.native().find(L':') != std::wstring::npos) return false;
  for (const auto& part : path) {
    if (part.empty() || part == L"." || part == L"..") return false;
  }
  return true;
}

}  // namespace norva::installer
