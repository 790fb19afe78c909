#include "system/transactions/journal_recovery.h"

#include <windows.h>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/registry.h"
#include "base/scoped_handle.h"
#include "base/strings.h"
#include "product/product_info.h"
#include "system/access_rights.h"
#include "system/shortcut_steps.h"
#include "system/shortcuts.h"
#include "system/transactions/change_reg_value_operation.h"
#include "system/transactions/file_helpers.h"

namespace norva::installer {
namespace {

using Kind = JournalRecord::Kind;

bool IsReparsePoint(const FilePath& path) {
  DWORD attributes = GetFileAttributesW(ExtendedLengthPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

class Recovery {
 public:
  Recovery(const JournalScope& scope, bool committed) : scope_(scope), committed_(committed) {}

  void Reverse(const JournalRecord& record) {
    if (!Shaped(record)) {
      LOG(ERROR) << "Refusing a malformed journal record";
      return;
    }
    switch (record.kind) {
      case Kind::kCreatedFolder:
        if (Allowed(record.texts[0]) && !committed_) RemoveCreatedFolders(record);
        break;
      case Kind::kCreatedFile:
        if (Allowed(record.texts[0]) && !committed_) RemoveCreatedFile(record.texts[0]);
        break;
      case Kind::kMovedFile:
        if (Allowed(record.texts[0]) && Allowed(record.texts[1]) && !committed_ &&
            PathExists(FilePath(record.texts[1])) &&
            !file_helpers::MovePath(FilePath(record.texts[1]), FilePath(record.texts[0])))
          LOG(ERROR) << "Could not move " << FilePath(record.texts[1]) << " back";
        break;
      case Kind::kSetAside:
        if (Allowed(record.texts[0]) && Allowed(record.texts[1])) PutBackOrRemove(record);
        break;
      case Kind::kWidenedAccess:
        RestoreAccess(record);
        break;
      case Kind::kCreatedKey:
        if (AllowedKey(record.numbers[0], record.texts[0]) && !committed_)
          RegDeleteTreeW(JournalRoot(record.numbers[0]), record.texts[0].c_str());
        break;
      case Kind::kChangedValue:
        if (AllowedKey(record.numbers[0], record.texts[0]) && !committed_) RestoreValue(record);
        break;
      case Kind::kDeletedKey:
        if (AllowedKey(record.numbers[0], record.texts[0]) && !committed_) RebuildKey(record);
        break;
      case Kind::kMovedFromPackage:
        if (Allowed(record.texts[1]) && !committed_ && IsOwnPackage(record.texts[0]))
          ReturnToPackage(FilePath(record.texts[1]), FilePath(record.texts[0]));
        break;
      case Kind::kHeader:
      case Kind::kCommitted:
        break;
    }
  }

 private:
  static bool Shaped(const JournalRecord& record) {
    auto counts = [&](size_t texts, size_t numbers, size_t blobs) {
      return record.texts.size() == texts && record.numbers.size() == numbers &&
             record.blobs.size() == blobs;
    };
    switch (record.kind) {
      case Kind::kCreatedFolder:
      case Kind::kMovedFile:
      case Kind::kSetAside:
      case Kind::kMovedFromPackage:
        return counts(2, 0, 0);
      case Kind::kCreatedFile:
        return counts(1, 0, 0);
      case Kind::kWidenedAccess:
        return counts(1, 1, 1);
      case Kind::kCreatedKey:
        return counts(1, 1, 0);
      case Kind::kChangedValue:
        return counts(2, 2, 1);
      case Kind::kDeletedKey:
        return !record.texts.empty() && record.texts.size() == record.numbers.size() &&
               record.texts.size() == record.blobs.size();
      default:
        return true;
    }
  }

  bool Allowed(const std::wstring& path) {
    if (scope_.AllowsPath(FilePath(path))) return true;
    LOG(ERROR) << "Refusing a journal record outside the product's folders: " << FilePath(path);
    return false;
  }

  bool AllowedKey(uint32_t root, const std::wstring& key) {
    if (scope_.AllowsKey(root, key)) return true;
    LOG(ERROR) << "Refusing a journal record outside the product's keys: " << WideToUtf8(key);
    return false;
  }

  void RemoveCreatedFolders(const JournalRecord& record) {
    const std::wstring ancestor = FoldedPath(record.texts[1]);
    FilePath folder(record.texts[0]);
    if (ancestor.empty() || FoldedPath(folder.native()) == ancestor ||
        !IsPathWithin(FoldedPath(folder.native()), ancestor)) {
      LOG(ERROR) << "Refusing a journal record with a wrong ancestor: " << folder;
      return;
    }
    // What a transaction copied into a folder it made has no records.
    if (!IsReparsePoint(folder) && !file_helpers::DeleteRecursively(folder))
      LOG(ERROR) << "Could not remove " << folder;
    for (folder = file_helpers::ParentOf(folder);
         !folder.empty() && FoldedPath(folder.native()) != ancestor;
         folder = file_helpers::ParentOf(folder)) {
      if (file_helpers::RemoveEmptyFolder(folder)) continue;
      DWORD error = GetLastError();
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) break;
    }
  }

  bool IsOwnPackage(const std::wstring& folder) const {
    return !scope_.package_folder.empty() &&
           FoldedPath(folder) == FoldedPath(scope_.package_folder.native());
  }

  // Every file below `folder` whose place in the package is free goes back
  // there; links and junctions are not followed. What stays is removed with
  // the folder.
  static void ReturnToPackage(const FilePath& folder, const FilePath& package) {
    if (IsReparsePoint(folder)) return;
    ForEachEntry(folder, [&](const WIN32_FIND_DATAW& entry) {
      FilePath from = folder / entry.cFileName, to = package / entry.cFileName;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (DirectoryExists(to)) ReturnToPackage(from, to);
      } else if (!PathExists(to) && !file_helpers::RenamePath(from, to, 0)) {
        LOG(ERROR) << "Could not move " << from << " back to the package";
      }
    });
  }

  static void RemoveCreatedFile(const std::wstring& text) {
    FilePath file(text);
    if (DirectoryExists(file) && !IsReparsePoint(file)) return;  // a copy makes files only
    if (!file_helpers::DeleteOneFile(file) && GetLastError() != ERROR_FILE_NOT_FOUND &&
        GetLastError() != ERROR_PATH_NOT_FOUND)
      PLOG(ERROR) << "Could not delete " << file;
  }

  void PutBackOrRemove(const JournalRecord& record) {
    FilePath path(record.texts[0]), temp(record.texts[1]);
    if (!PathExists(temp)) return;
    bool done = committed_ ? file_helpers::DeleteRecursively(temp)
                           : file_helpers::MovePath(temp, path);
    if (!done) LOG(ERROR) << "Could not recover " << path << " from " << temp;
  }

  void RestoreAccess(const JournalRecord& record) {
    const std::wstring& name = record.texts[0];
    uint32_t type = record.numbers[0];
    if (type == kFileObjectType) {
      if (!Allowed(name) || !PathExists(FilePath(name))) return;
    } else if (type == kRegistryObjectType) {
      HKEY root = nullptr;
      std::wstring key;
      if (!SplitRegistryObjectName(name, &root, &key) || !AllowedKey(JournalRootNumber(root), key))
        return;
    } else {
      LOG(ERROR) << "Refusing a journal record of an unknown object type";
      return;
    }
    if (!record.blobs[0].empty() && !WriteDaclDescriptor(name, type, record.blobs[0]))
      LOG(ERROR) << "Could not restore the access list of " << WideToUtf8(name);
  }

  static void RestoreValue(const JournalRecord& record) {
    RegKey key;
    if (key.Open(JournalRoot(record.numbers[0]), record.texts[0], KEY_SET_VALUE) != ERROR_SUCCESS)
      return;  // a key this transaction created, or gone anyway
    const std::vector<uint8_t>& data = record.blobs[0];
    if (record.numbers[1] == kRemoveValueType)
      key.DeleteValue(record.texts[1]);
    else
      key.WriteValue(record.texts[1], record.numbers[1], data.data(),
                     static_cast<DWORD>(data.size()));
  }

  // Records come last first, so a subkey is rebuilt before its parent: the
  // parent then exists already and only gets its values and rights back.
  static void RebuildKey(const JournalRecord& record) {
    RegKey key;
    if (key.Create(JournalRoot(record.numbers[0]), record.texts[0],
                   KEY_SET_VALUE | WRITE_DAC | WRITE_OWNER) != ERROR_SUCCESS) {
      LOG(ERROR) << "Could not rebuild key " << WideToUtf8(record.texts[0]);
      return;
    }
    for (size_t i = 1; i < record.texts.size(); ++i) {
      key.WriteValue(record.texts[i], record.numbers[i], record.blobs[i].data(),
                     static_cast<DWORD>(record.blobs[i].size()));
    }
    std::vector<uint8_t> descriptor = record.blobs[0];
    if (descriptor.size() >= sizeof(SECURITY_DESCRIPTOR_RELATIVE) &&
        IsValidSecurityDescriptor(descriptor.data())) {
      NoteAccessRightsChanged();
      for (SECURITY_INFORMATION part : {GROUP_SECURITY_INFORMATION, LABEL_SECURITY_INFORMATION,
                                        DACL_SECURITY_INFORMATION})
        RegSetKeySecurity(key.get(), part, descriptor.data());
    }
  }

  const JournalScope& scope_;
  const bool committed_;
};

// Opens the journal for reading, shared with nobody: a writer that still
// runs holds it open and makes this fail with a sharing violation.
ScopedHandle OpenExclusively(const FilePath& file, DWORD* error) {
  ScopedHandle handle(CreateFileW(ExtendedLengthPath(file).c_str(), GENERIC_READ | DELETE, 0,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  *error = handle ? ERROR_SUCCESS : GetLastError();
  return handle;
}

bool ReadAll(HANDLE handle, std::vector<uint8_t>* bytes) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle, &size) || size.QuadPart > (256ll << 20)) return false;
  bytes->resize(static_cast<size_t>(size.QuadPart));
  DWORD read = 0;
  return bytes->empty() || (ReadFile(handle, bytes->data(), static_cast<DWORD>(bytes->size()),
                                     &read, nullptr) &&
                            read == bytes->size());
}

}  // namespace

JournalScope JournalScope::ForInstallFolder(const FilePath& install_folder) {
  JournalScope scope;
  scope.install_folder = install_folder;
  for (bool all_users : {false, true}) {
    ShortcutFolders folders = GetShortcutFolders(all_users);
    for (const FilePath& folder : folders.folder)
      if (!folder.empty()) scope.other_folders.push_back(folder);
  }
  if (FilePath pins = TaskbarPinFolder(); !pins.empty()) scope.other_folders.push_back(pins);
  scope.key_prefixes = {
      L"Software\\Classes\\",
      L"Software\\Clients\\",
      L"Software\\RegisteredApplications",
      L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\",
      L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\",
      L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\",
      L"Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\",
      L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\",
      L"Software\\" + Utf8ToWide(product::CompanyName()),
  };
  return scope;
}

bool JournalScope::AllowsPath(const FilePath& path) const {
  if (!IsAbsolutePath(path)) return false;
  for (const FilePath& part : path)
    if (part == L".." || part == L".") return false;
  const std::wstring folded = FoldedPath(path.native());
  std::vector<FilePath> roots = other_folders;
  roots.insert(roots.begin(), install_folder);
  for (const FilePath& root : roots) {
    if (root.empty() || !IsPathWithin(folded, FoldedPath(root.native()))) continue;
    // A junction or link below the root would take the change elsewhere.
    for (FilePath above = file_helpers::ParentOf(path);
         !above.empty() && IsPathWithin(FoldedPath(above.native()), FoldedPath(root.native()));
         above = file_helpers::ParentOf(above)) {
      if (IsReparsePoint(above)) return false;
    }
    return true;
  }
  return false;
}

bool JournalScope::AllowsKey(uint32_t root, const std::wstring& key) const {
  if (!JournalRoot(root) || key.find(L"\\..") != std::wstring::npos) return false;
  const std::wstring folded = FoldedPath(key);
  for (const std::wstring& prefix : key_prefixes) {
    std::wstring folded_prefix = FoldedPath(prefix);
    if (prefix.back() == L'\\') folded_prefix += L'\\';
    if (folded == FoldedPath(prefix) || folded.compare(0, folded_prefix.size(), folded_prefix) == 0) {
      if (prefix.back() == L'\\' || folded.size() == folded_prefix.size() ||
          folded[folded_prefix.size()] == L'\\')
        return true;
    }
  }
  return false;
}

RecoveryResult RecoverInterruptedInstallation(const FilePath& journal_file,
                                              const JournalScope& scope) {
  DWORD error = ERROR_SUCCESS;
  ScopedHandle handle = OpenExclusively(journal_file, &error);
  if (!handle) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
      return RecoveryResult::kNothingToDo;
    if (error == ERROR_SHARING_VIOLATION) {
      LOG(WARNING) << "The journal " << journal_file << " is held by a running installation";
      return RecoveryResult::kOwnerAlive;
    }
    LOG(ERROR) << "Could not open the journal " << journal_file << " (" << error << ")";
    return RecoveryResult::kFailed;
  }
  std::vector<uint8_t> bytes;
  bool read = ReadAll(handle.get(), &bytes);
  handle.reset();
  if (!read) {
    LOG(ERROR) << "Could not read the journal " << journal_file;
    return RecoveryResult::kFailed;
  }
  JournalReadEnd end;
  std::vector<JournalRecord> records = DecodeJournal(bytes, &end);
  if (end == JournalReadEnd::kDamaged)
    LOG(ERROR) << "Journal record " << records.size() + 1
               << " is damaged; it and the records after it are refused";
  bool ours = !records.empty() && records[0].kind == Kind::kHeader &&
              records[0].texts.size() == 1 &&
              FoldedPath(records[0].texts[0]) == FoldedPath(scope.install_folder.native());
  if (!ours && !records.empty())
    LOG(ERROR) << "The journal " << journal_file << " names another installation folder";
  if (ours && records.size() > 1) {
    LOG(INFO) << "Rolling back an interrupted installation";
    bool committed = false;
    for (const JournalRecord& record : records) committed |= record.kind == Kind::kCommitted;
    Recovery recovery(scope, committed);
    for (auto it = records.rbegin(); it != records.rend(); ++it) recovery.Reverse(*it);
  }
  if (!DeleteFileW(ExtendedLengthPath(journal_file).c_str())) {
    PLOG(ERROR) << "Could not remove the journal " << journal_file;
    return RecoveryResult::kFailed;
  }
  return ours && records.size() > 1 ? RecoveryResult::kRolledBack : RecoveryResult::kNothingToDo;
}

RecoveryResult RecoverInterruptedInstallations(const FilePath& install_folder, bool machine,
                                               const FilePath& package_folder) {
  JournalScope scope = JournalScope::ForInstallFolder(install_folder);
  scope.package_folder = package_folder;
  RecoveryResult result = RecoveryResult::kNothingToDo;
  for (bool all_users : {false, true}) {
    if (all_users && !machine) continue;
    FilePath file = Journal::LocationFor(install_folder, all_users);
    if (file.empty()) continue;
    RecoveryResult one = RecoverInterruptedInstallation(file, scope);
    if (one != RecoveryResult::kNothingToDo) result = one;
    if (one == RecoveryResult::kOwnerAlive || one == RecoveryResult::kFailed) return one;
  }
  return result;
}

}  // namespace norva::installer
