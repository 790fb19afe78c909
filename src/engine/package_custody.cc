#include "engine/package_custody.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <set>
#include <string>
#include <vector>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/strings.h"
#include "package/checksum_checker.h"
#include "package/files_list.h"
#include "package/lzma_util.h"
#include "package/package_query.h"
#include "package/payload_reader.h"
#include "system/access_rights.h"
#include "system/admin_only.h"

namespace norva::installer {
namespace {

constexpr wchar_t kCustodyPackage[] = L"package.exe";
constexpr wchar_t kCustodyFolder[] = L"package";

// What a user's run may add beside a package and the installation may take
// along: data, never something that runs.
bool IsDataFile(const std::wstring& name) {
  static const wchar_t* const kRunnable[] = {L".exe", L".dll", L".com", L".bat", L".cmd",
                                             L".scr", L".msi", L".ps1", L".vbs", L".js",
                                             L".lnk", L".cpl", L".sys", L".pif", L".hta",
                                             L".wsf", L".jse", L".vbe", L".msc", L".reg"};
  std::wstring lower = name;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::towlower);
  // Windows drops trailing dots and blanks: "x.exe." runs as "x.exe".
  while (!lower.empty() && (lower.back() == L'.' || lower.back() == L' ')) lower.pop_back();
  for (const wchar_t* extension : kRunnable)
    if (lower.ends_with(extension)) return false;
  return !lower.empty() && lower.find(L':') == std::wstring::npos;
}

// The entries of the files list in `folder`; none when it has no list.
std::vector<std::string> ListedNames(const FilePath& folder) {
  std::vector<std::string> names;
  ReadFilesList(folder / kFilesListName, &names);
  return names;
}

// The checks the fetcher made on the user's side, made again on our copy.
bool PackageVerified(const FilePath& package) {
  // Unlike the fetcher, not even a development build takes an unsigned
  // package here: the signature is what the elevated side trusts.
  if (!VerifyPackageSigner(package)) {
    LOG(ERROR) << "The package in custody is not signed by the expected publisher";
    return false;
  }
  PackageIdentity identity;
  switch (CheckPackageIdentity(package, &identity)) {
    case PackageFit::kOlder:
      LOG(ERROR) << "The package in custody is older than this installer";
      return false;
    case PackageFit::kOtherStream:
      LOG(ERROR) << "The package in custody is of another stream";
      return false;
    case PackageFit::kFits:
      break;
  }
  return true;
}

}  // namespace

PackageCustody::~PackageCustody() {
  package_hold_.reset();
  folder_hold_.reset();
  if (!folder_.empty() && !DeleteTree(folder_))
    LOG(WARNING) << "Could not remove the package folder " << folder_;
}

bool PackageCustody::Needed(const FilePath& package_folder) {
  if (!IsUserAdmin(false)) return false;
  std::string why;
  if (IsAdminOnlyFolder(package_folder, &why)) return false;
  LOG(INFO) << "Not installing from " << package_folder << " as it is (" << why
            << "): taking its package into custody";
  return true;
}

FilePath PackageCustody::SignedPackageOf(const FilePath& package_folder, DWORD initial_pid) {
  FilePath download(package_folder.native() + L".exe");
  if (PathExists(download)) return download;
  ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, initial_pid));
  wchar_t path[32768];
  DWORD size = static_cast<DWORD>(std::size(path));
  if (!process || !QueryFullProcessImageNameW(process.get(), 0, path, &size)) return {};
  return FilePath(std::wstring(path, size));
}

FilePath PackageCustody::Take(const FilePath& signed_package, const FilePath& package_folder) {
  if (signed_package.empty()) {
    LOG(ERROR) << "No signed package to take into custody for " << package_folder;
    return {};
  }
  if (folder_.empty()) {
    folder_ = CreatePrivateFolderUnder(GetRunTempFolder());
    if (folder_.empty()) {
      LOG(ERROR) << "Could not make a folder for the package";
      return {};
    }
    folder_hold_ = OpenWithoutLinks(folder_, FILE_LIST_DIRECTORY,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE);
  }
  const FilePath copy = folder_ / kCustodyPackage;
  package_hold_.reset();
  if (!folder_hold_ || !::CopyFileW(ExtendedLengthPath(signed_package).c_str(),
                                  ExtendedLengthPath(copy).c_str(), FALSE)) {
    PLOG(ERROR) << "Could not take " << signed_package << " into custody";
    return {};
  }
  package_hold_.reset(CreateFileW(ExtendedLengthPath(copy).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!package_hold_ || !PackageVerified(copy)) {
    LOG(ERROR) << "Refusing the package " << signed_package;
    return {};
  }
  const FilePath target = folder_ / kCustodyFolder;
  if (!Unpack(target)) return {};
  BringDataFiles(package_folder, target);
  LOG(INFO) << "Installing the package in custody in " << target;
  return target;
}

bool PackageCustody::Unpack(const FilePath& target) {
  PayloadReader reader(folder_ / kCustodyPackage);
  if (!reader.ReadPayload() || !reader.is_archive()) {
    LOG(ERROR) << "The package in custody carries no archive";
    return false;
  }
  LzmaUtil unpacker;
  bool unpacked = CreateDirectories(target) &&
                  unpacker.OpenArchive(package_hold_.get(), reader.payload_start(),
                                       reader.payload_length()) == 0 &&
                  unpacker.UnPack(target) == 0;
  unpacker.CloseArchive();
  if (!unpacked) LOG(ERROR) << "Could not unpack the package in custody";
  return unpacked;
}

void PackageCustody::BringDataFiles(const FilePath& from, const FilePath& to) {
  std::vector<std::string> own = ListedNames(to);
  std::set<std::string> listed(own.begin(), own.end());
  std::set<std::string> user_listed;
  for (const std::string& name : ListedNames(from)) user_listed.insert(name);
  std::vector<std::string> partner_files;
  ForEachEntry(from, [&](const WIN32_FIND_DATAW& entry) {
    const std::wstring name = entry.cFileName;
    if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        PathExists(to / name))
      return;
    if (!IsDataFile(name)) {
      LOG(WARNING) << "Leaving " << name << " of the user's package folder behind";
      return;
    }
    if (!::CopyFileW(ExtendedLengthPath(from / name).c_str(), ExtendedLengthPath(to / name).c_str(),
                   TRUE)) {
      PLOG(WARNING) << "Could not bring " << name << " along";
      return;
    }
    const std::string utf8 = WideToUtf8(name);
    if (user_listed.contains(utf8) && !listed.contains(utf8)) partner_files.push_back(utf8 + "\r\n");
  });
  if (!partner_files.empty() && !AddToFilesList(to, partner_files))
    LOG(WARNING) << "Could not list the partner content; installing the package without it";
}

}  // namespace norva::installer
