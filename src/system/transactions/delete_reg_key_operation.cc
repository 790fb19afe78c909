#include "system/transactions/delete_reg_key_operation.h"

#include <aclapi.h>

#include <utility>

#include "base/logging.h"
#include "base/registry.h"
#include "base/scoped_handle.h"
#include "system/access_rights.h"
#include "system/transactions/journal.h"
#include "system/transactions/registry_helpers.h"

namespace norva::installer {
namespace {

// Query, set, create-subkey, enumerate, notify, delete and read-control.
constexpr REGSAM kDeleteAccess = 0x3001F;
// Read rights plus delete.
constexpr DWORD kCheckedAccess = 0x30019;
// Group, DACL and label: the owner becomes whoever rebuilds the key.
constexpr SECURITY_INFORMATION kSavedSecurity = 0x16;

// The descriptor parts that a rebuilt key gets, read by name: empty when we
// may not read them.
void ReadSecurityByName(const std::wstring& object_name, std::vector<BYTE>* descriptor) {
  ScopedLocalMemory<PSECURITY_DESCRIPTOR> read;
  if (GetNamedSecurityInfoW(object_name.c_str(), SE_REGISTRY_KEY, kSavedSecurity, nullptr, nullptr,
                            nullptr, nullptr, read.Receive()) != ERROR_SUCCESS) {
    return;
  }
  const BYTE* bytes = static_cast<const BYTE*>(read.get());
  descriptor->assign(bytes, bytes + GetSecurityDescriptorLength(read.get()));
}

}  // namespace

DeleteRegKeyOperation::DeleteRegKeyOperation(HKEY root, const std::wstring& key_path)
    : key_path_(key_path), root_(root) {}

// Only a key whose own delete failed can be left here after a committed Do.
DeleteRegKeyOperation::~DeleteRegKeyOperation() { RestoreWidened(); }

bool DeleteRegKeyOperation::Do(Transaction* nested) {
  VLOG(1) << "Attempting to delete registry key " << key_path_ << " under "
          << registry_helpers::RootText(root_);
  std::wstring object_name = RegistryObjectName(root_, key_path_);
  journal_ = nested;
  LONG result = RegKey().Open(root_, key_path_, KEY_QUERY_VALUE);
  if (result == ERROR_FILE_NOT_FOUND) {
    VLOG(1) << "Key does not exist. Nothing to do.";
    return true;
  }
  if (result == ERROR_SUCCESS || result == ERROR_ACCESS_DENIED)
    return DeleteAndSaveRecursive(key_path_, object_name);
  LOG(ERROR) << "Failed to open key " << object_name;
  return false;
}

bool DeleteRegKeyOperation::DeleteAndSaveRecursive(const std::wstring& subkey,
                                                   const std::wstring& object_name) {
  VLOG(1) << "DeleteAndSaveRecursive : " << subkey;
  auto saved = std::make_unique<SavedKey>();
  saved->path = subkey;
  RegKey key;
  size_t widened_before = widened_.size();
  if (!OpenForDelete(subkey, object_name, saved.get(), &key)) return false;
  // Subkeys widened below are deleted, and their records dropped, before
  // this key is, so its record is then the last one.
  bool widened = widened_.size() > widened_before;
  if (!SaveKey(key.get(), object_name, saved.get()) || !WriteAheadSaved(*saved)) return false;
  saved_keys_.push_back(std::move(saved));

  DWORD longest_subkey = 0;
  RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, &longest_subkey, nullptr, nullptr,
                   nullptr, nullptr, nullptr, nullptr);
  std::vector<wchar_t> name(longest_subkey + 1);
  std::wstring previous;
  for (;;) {
    DWORD length = static_cast<DWORD>(name.size());
    LONG result =
        RegEnumKeyExW(key.get(), 0, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) break;
    std::wstring child(name.data(), result == ERROR_SUCCESS ? length : 0);
    // A subkey that survived its own deletion would come back at index 0
    // for ever.
    if (result != ERROR_SUCCESS || child == previous) {
      LOG(ERROR) << "Failed to read a subkey";
      return false;
    }
    previous = child;
    if (!DeleteAndSaveRecursive(subkey + L"\\" + child, object_name + L"\\" + child)) return false;
  }
  key.Close();  // the key is deleted next
  // A key that is gone is rebuilt by Undo with the descriptor saved before
  // the widening; only one that stays needs its DACL back.
  if (RegDeleteKeyW(root_, subkey.c_str()) == ERROR_SUCCESS && widened) widened_.pop_back();
  return true;
}

bool DeleteRegKeyOperation::OpenForDelete(const std::wstring& subkey,
                                          const std::wstring& object_name, SavedKey* saved,
                                          RegKey* key) {
  LONG result = key->Open(root_, subkey, kDeleteAccess);
  if (result == ERROR_SUCCESS && CheckAccess(object_name, kRegistryObjectType, kCheckedAccess))
    return true;
  if (result == ERROR_SUCCESS || result == ERROR_ACCESS_DENIED) {
    key->Close();
    VLOG(1) << "Insufficient permissions on the key";
    // Widening rewrites the DACL; a rebuilt key must get the one it had.
    ReadSecurityByName(object_name, &saved->security_descriptor);
    // Should the key stay, it must not keep our grant.
    std::unique_ptr<SavedPermissions> previous;
    if (!WriteAheadWidening(journal_, object_name, kRegistryObjectType) ||
        !ObtainPermissions(object_name, kRegistryObjectType, kDeleteAccess, false, &previous)) {
      LOG(ERROR) << "Unable to obtain sufficient permissions on key" << object_name;
      return false;
    }
    widened_.push_back(std::move(previous));
    if (key->Open(root_, subkey, kDeleteAccess) == ERROR_SUCCESS) return true;
  }
  LOG(ERROR) << "Failed to open key " << object_name;
  return false;
}

bool DeleteRegKeyOperation::SaveKey(HKEY key, const std::wstring& object_name,
                                    SavedKey* saved) const {
  if (!saved->security_descriptor.empty()) return SaveValues(key, object_name, saved);
  DWORD size = 0;
  LONG result = RegGetKeySecurity(key, kSavedSecurity, nullptr, &size);
  if (result != ERROR_SUCCESS && result != ERROR_INSUFFICIENT_BUFFER) {
    LOG(ERROR) << "Failed to obtain security descriptor for " << object_name;
    return false;
  }
  saved->security_descriptor.resize(size);
  if (RegGetKeySecurity(key, kSavedSecurity, saved->security_descriptor.data(), &size) !=
      ERROR_SUCCESS) {
    LOG(ERROR) << "Failed to obtain security descriptor for " << object_name
               << "(but we succeeded earlier)";
    return false;
  }
  return SaveValues(key, object_name, saved);
}

bool DeleteRegKeyOperation::SaveValues(HKEY key, const std::wstring& object_name,
                                       SavedKey* saved) const {
  DWORD value_count = 0, longest_name = 0, longest_data = 0;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &value_count,
                       &longest_name, &longest_data, nullptr, nullptr) != ERROR_SUCCESS) {
    LOG(ERROR) << "Failed to obtain key info for " << object_name;
    return false;
  }
  VLOG(1) << value_count << " values";
  std::vector<wchar_t> name(longest_name + 1);
  std::vector<BYTE> data(longest_data);
  for (DWORD index = 0; index < value_count; ++index) {
    DWORD name_length = static_cast<DWORD>(name.size());
    DWORD data_size = static_cast<DWORD>(data.size());
    DWORD type = REG_NONE;
    if (RegEnumValueW(key, index, name.data(), &name_length, nullptr, &type, data.data(),
                      &data_size) != ERROR_SUCCESS) {
      LOG(ERROR) << "Failed to obtain value nr " << static_cast<int>(index);
      return false;
    }
    saved->values.push_back({std::wstring(name.data(), name_length), type,
                             std::vector<BYTE>(data.begin(), data.begin() + data_size)});
  }
  return true;
}

// Written before anything at or below the key is deleted.
bool DeleteRegKeyOperation::WriteAheadSaved(const SavedKey& saved) {
  JournalRecord record{.kind = JournalRecord::Kind::kDeletedKey,
                       .texts = {saved.path},
                       .numbers = {JournalRootNumber(root_)},
                       .blobs = {saved.security_descriptor}};
  for (const SavedValue& value : saved.values) {
    record.texts.push_back(value.name);
    record.numbers.push_back(value.type);
    record.blobs.emplace_back(value.data.begin(), value.data.end());
  }
  if (WriteAhead(journal_, record)) return true;
  LOG(ERROR) << "Failed to record key " << saved.path;
  return false;
}

void DeleteRegKeyOperation::Undo() {
  // Keys are rebuilt with default rights and get their saved ones only when
  // the whole tree stands, deepest first: a parent's saved rights may forbid
  // creating the subkeys below it.
  std::vector<std::pair<RegKey, const SavedKey*>> rebuilt;
  for (const std::unique_ptr<SavedKey>& saved : saved_keys_) {
    RegKey key;
    DWORD disposition = 0;
    if (key.Create(root_, saved->path, kDeleteAccess | WRITE_DAC, &disposition) != ERROR_SUCCESS ||
        disposition != REG_CREATED_NEW_KEY) {
      continue;
    }
    for (const SavedValue& value : saved->values)
      key.WriteValue(value.name, value.type, value.data.data(),
                     static_cast<DWORD>(value.data.size()));
    rebuilt.emplace_back(std::move(key), saved.get());
  }
  for (auto it = rebuilt.rbegin(); it != rebuilt.rend(); ++it) {
    const std::vector<BYTE>& descriptor = it->second->security_descriptor;
    if (!descriptor.empty()) {
      // One part at a time: the label needs rights the others do not.
      NoteAccessRightsChanged();
      for (SECURITY_INFORMATION part : {GROUP_SECURITY_INFORMATION, LABEL_SECURITY_INFORMATION,
                                        DACL_SECURITY_INFORMATION}) {
        RegSetKeySecurity(it->first.get(), part, const_cast<BYTE*>(descriptor.data()));
      }
    }
    it->first.Close();
  }
  RestoreWidened();
}

void DeleteRegKeyOperation::RestoreWidened() {
  // Last and deepest first: a parent's DACL, set by name, is passed on to the
  // subkeys below it again, which drops the grant they inherited from it.
  for (auto it = widened_.rbegin(); it != widened_.rend(); ++it) RestorePermissions(&*it);
  widened_.clear();
}

}  // namespace norva::installer
