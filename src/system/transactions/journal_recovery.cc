#include "system/transactions/journal_recovery.h"

#include <windows.h>

#include <aclapi.h>

#include <algorithm>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/registry.h"
#include "base/scoped_handle.h"
#include "base/strings.h"
#include "product/product_info.h"
#include "system/access_rights.h"
#include "system/admin_only.h"
#include "system/shortcut_steps.h"
#include "system/shortcuts.h"
#include "system/transactions/change_reg_value_operation.h"
#include "system/transactions/file_helpers.h"

namespace norva::installer {
namespace {

using Kind = JournalRecord::Kind;

std::wstring KeyName(uint32_t root, const std::wstring& key) {
  return std::to_wstring(root) + L":" + FoldedPath(key);
}

class Recovery {
 public:
  Recovery(const JournalScope& scope, bool committed) : scope_(scope), committed_(committed) {}

  void Reverse(const JournalRecord& record) {
    if (!Shaped(record)) {
      LOG(ERROR) << "Refusing a malformed journal record";
      return;
    }
    if (const char* refusal = scope_.Refusal(record)) {
      LOG(ERROR) << "Refusing a journal record " << refusal << ": "
                 << WideToUtf8(record.texts.empty() ? L"" : record.texts.front());
      return;
    }
    // A committed transaction keeps what it made; its set-aside files and
    // widened rights are finished below.
    if (committed_ && record.kind != Kind::kSetAside && record.kind != Kind::kWidenedAccess)
      return;
    switch (record.kind) {
      case Kind::kCreatedFolder:
        if (!TakeDropped(record.texts[0])) RemoveCreatedFolders(record);
        break;
      case Kind::kDroppedFolder:
        dropped_.push_back(FoldedPath(record.texts[0]));
        break;
      case Kind::kCreatedFile:
        RemoveCreatedFile(record.texts[0]);
        break;
      case Kind::kMovedFile:
        if (PathExists(FilePath(record.texts[1])) &&
            !file_helpers::MovePath(FilePath(record.texts[1]), FilePath(record.texts[0])))
          LOG(ERROR) << "Could not move " << FilePath(record.texts[1]) << " back";
        break;
      case Kind::kSetAside:
        PutBackOrRemove(record);
        break;
      case Kind::kWidenedAccess:
        RestoreAccess(record);
        break;
      case Kind::kCreatedKey:
        RemoveCreatedKey(record.numbers[0], record.texts[0]);
        break;
      case Kind::kChangedValue:
        RestoreValue(record);
        break;
      case Kind::kDeletedKey:
        RebuildKey(record);
        break;
      case Kind::kMovedFromPackage:
        if (IsOwnPackage(record.texts[0]))
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
      case Kind::kDroppedFolder:
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

  // Records come last first, so a folder's drop is met before the creation
  // it withdraws, and a creation after the drop was dealt with before it.
  bool TakeDropped(const std::wstring& folder) {
    auto it = std::find(dropped_.begin(), dropped_.end(), FoldedPath(folder));
    if (it == dropped_.end()) return false;
    dropped_.erase(it);
    VLOG(1) << "Leaving " << FilePath(folder) << ": its creation failed or was undone";
    return true;
  }

  void RemoveCreatedFolders(const JournalRecord& record) {
    const std::wstring ancestor = FoldedPath(record.texts[1]);
    FilePath folder(record.texts[0]);
    if (ancestor.empty() || FoldedPath(folder.native()) == ancestor ||
        !IsPathWithin(FoldedPath(folder.native()), ancestor)) {
      LOG(ERROR) << "Refusing a journal record with a wrong ancestor: " << folder;
      return;
    }
    // What a transaction copied into a folder it made in the installation
    // folder has no records. Elsewhere only an emptied folder goes.
    if (!scope_.AllowsFolderTree(folder)) {
      if (!file_helpers::RemoveEmptyFolder(folder) && GetLastError() != ERROR_FILE_NOT_FOUND &&
          GetLastError() != ERROR_PATH_NOT_FOUND)
        LOG(WARNING) << "Leaving " << folder << ", which holds what others put there";
    } else if (!file_helpers::IsLink(folder) && !file_helpers::DeleteRecursively(folder)) {
      LOG(ERROR) << "Could not remove " << folder;
    }
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
    if (file_helpers::IsLink(folder)) return;
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
    if (DirectoryExists(file) && !file_helpers::IsLink(file)) return;  // a copy makes files only
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

  static void RestoreAccess(const JournalRecord& record) {
    const std::wstring& name = record.texts[0];
    const std::vector<uint8_t>& descriptor = record.blobs[0];
    if (descriptor.empty()) return;
    bool restored = record.numbers[0] == kRegistryObjectType
                        ? WriteDaclDescriptor(name, kRegistryObjectType, descriptor)
                        : RestoreFileAccess(FilePath(name), descriptor);
    if (!restored) LOG(ERROR) << "Could not restore the access list of " << WideToUtf8(name);
  }

  // Through a handle of the file itself: a link put in its place since is
  // not followed.
  static bool RestoreFileAccess(const FilePath& path, std::vector<uint8_t> descriptor) {
    ScopedHandle handle = OpenWithoutLinks(path, READ_CONTROL | WRITE_DAC,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (!handle) return GetLastError() == ERROR_FILE_NOT_FOUND;
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (descriptor.size() < sizeof(SECURITY_DESCRIPTOR_RELATIVE) ||
        !IsValidSecurityDescriptor(descriptor.data()) ||
        !GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted) || !present ||
        !GetSecurityDescriptorControl(descriptor.data(), &control, &revision))
      return false;
    NoteAccessRightsChanged();
    return SetSecurityInfo(handle.get(), SE_FILE_OBJECT,
                           DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED)
                                                            ? PROTECTED_DACL_SECURITY_INFORMATION
                                                            : UNPROTECTED_DACL_SECURITY_INFORMATION),
                           nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
  }

  // A key of the product's own goes with everything below it; a shared one,
  // made when it was missing, only while nothing is in it.
  void RemoveCreatedKey(uint32_t root, const std::wstring& key) {
    if (scope_.OwnsKey(root, key)) {
      RegDeleteTreeW(JournalRoot(root), key.c_str());
    } else if (!RemoveEmptyKeys(JournalRoot(root), key)) {
      LOG(WARNING) << "Leaving the key " << WideToUtf8(key) << ", which holds what others put there";
    }
  }

  // Removes `key` when it holds no values and no subkeys but empty ones.
  static bool RemoveEmptyKeys(HKEY root, const std::wstring& key) {
    RegKey open;
    if (open.Open(root, key, KEY_READ) != ERROR_SUCCESS) return true;
    DWORD subkeys = 0, values = 0;
    if (RegQueryInfoKeyW(open.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                         &values, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
        values)
      return false;
    std::vector<std::wstring> names;
    wchar_t name[256];
    for (DWORD index = 0; index < subkeys; ++index) {
      DWORD length = 256;
      if (RegEnumKeyExW(open.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) ==
          ERROR_SUCCESS)
        names.emplace_back(name, length);
    }
    open = RegKey();
    bool empty = names.size() == subkeys;
    for (const std::wstring& sub : names) empty = RemoveEmptyKeys(root, key + L"\\" + sub) && empty;
    return empty && RegDeleteKeyW(root, key.c_str()) == ERROR_SUCCESS;
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
  // Rights go only on keys this recovery made: an existing key keeps its own.
  void RebuildKey(const JournalRecord& record) {
    HKEY root = JournalRoot(record.numbers[0]);
    const std::wstring& path = record.texts[0];
    for (std::wstring missing = path; !missing.empty() && RegKey().Open(root, missing, KEY_READ) ==
                                                               ERROR_FILE_NOT_FOUND;) {
      rebuilt_.push_back(KeyName(record.numbers[0], missing));
      size_t cut = missing.rfind(L'\\');
      missing.resize(cut == std::wstring::npos ? 0 : cut);
    }
    RegKey key;
    if (key.Create(root, path, KEY_SET_VALUE | WRITE_DAC | WRITE_OWNER) != ERROR_SUCCESS) {
      LOG(ERROR) << "Could not rebuild key " << WideToUtf8(path);
      return;
    }
    for (size_t i = 1; i < record.texts.size(); ++i) {
      key.WriteValue(record.texts[i], record.numbers[i], record.blobs[i].data(),
                     static_cast<DWORD>(record.blobs[i].size()));
    }
    std::vector<uint8_t> descriptor = record.blobs[0];
    bool made = std::find(rebuilt_.begin(), rebuilt_.end(), KeyName(record.numbers[0], path)) != rebuilt_.end();
    if (made && descriptor.size() >= sizeof(SECURITY_DESCRIPTOR_RELATIVE) &&
        IsValidSecurityDescriptor(descriptor.data())) {
      NoteAccessRightsChanged();
      for (SECURITY_INFORMATION part : {GROUP_SECURITY_INFORMATION, LABEL_SECURITY_INFORMATION,
                                        DACL_SECURITY_INFORMATION})
        RegSetKeySecurity(key.get(), part, descriptor.data());
    }
  }

  const JournalScope& scope_;
  const bool committed_;
  // Keys (root number, then the folded path) that rebuilding made.
  std::vector<std::wstring> rebuilt_;
  // Folded folders whose creation a later record withdrew, not yet matched.
  std::vector<std::wstring> dropped_;
};

// Opens the journal for reading, shared with nobody: a writer that still
// runs holds it open and makes this fail with a sharing violation. A link at
// its name, or on the way to it, is not followed.
ScopedHandle OpenExclusively(const FilePath& file, DWORD* error) {
  ScopedHandle handle = OpenWithoutLinks(file, GENERIC_READ | DELETE | READ_CONTROL, 0);
  *error = handle ? ERROR_SUCCESS : GetLastError();
  return handle;
}

// A machine's journal decides what a run with the administrators' rights
// changes: its folders count only when no other account could have made or
// changed them. One that fails is set aside, never read.
bool MachineJournalFoldersTrusted(const FilePath& file) {
  for (const FilePath& folder : {file.parent_path().parent_path(), file.parent_path()}) {
    std::string why;
    if (IsAdminOnlyFolder(folder, &why) || why.empty()) continue;
    LOG(ERROR) << "Not reading the journals in " << folder << ": " << why;
    SetAsideUntrusted(folder);
    return false;
  }
  return true;
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

RecoveryResult RecoverInterruptedInstallation(const FilePath& journal_file,
                                              const JournalScope& scope) {
  if (scope.machine && !MachineJournalFoldersTrusted(journal_file)) return RecoveryResult::kNothingToDo;
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
  if (std::string why; scope.machine && !IsAdminOnly(handle.get(), &why)) {
    LOG(ERROR) << "Not reading the journal " << journal_file << ": " << why;
    handle.reset();
    SetAsideUntrusted(journal_file);
    return RecoveryResult::kNothingToDo;
  }
  std::vector<uint8_t> bytes;
  if (!ReadAll(handle.get(), &bytes)) {
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
  if (!DeleteByHandle(handle.get())) {
    PLOG(ERROR) << "Could not remove the journal " << journal_file;
    return RecoveryResult::kFailed;
  }
  return ours && records.size() > 1 ? RecoveryResult::kRolledBack : RecoveryResult::kNothingToDo;
}

RecoveryResult RecoverInterruptedInstallations(const FilePath& install_folder, bool machine,
                                               const FilePath& package_folder) {
  RecoveryResult result = RecoveryResult::kNothingToDo;
  for (bool all_users : {false, true}) {
    if (all_users && !machine) continue;
    FilePath file = Journal::LocationFor(install_folder, all_users);
    if (file.empty()) continue;
    // A user's own journal touches only that user's keys and folders.
    JournalScope scope = JournalScope::ForInstallFolder(install_folder, all_users);
    scope.package_folder = package_folder;
    RecoveryResult one = RecoverInterruptedInstallation(file, scope);
    if (one != RecoveryResult::kNothingToDo) result = one;
    if (one == RecoveryResult::kOwnerAlive || one == RecoveryResult::kFailed) return one;
  }
  return result;
}

}  // namespace norva::installer
