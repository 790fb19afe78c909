#include "system/transactions/create_reg_key_operation.h"

#include "base/logging.h"
#include "base/registry.h"
#include "system/transactions/journal.h"
#include "system/transactions/registry_helpers.h"

namespace norva::installer {

CreateRegKeyOperation::CreateRegKeyOperation(HKEY root, const std::wstring& key_path)
    : key_path_(key_path), root_(root) {}

CreateRegKeyOperation::~CreateRegKeyOperation() {
  if (saved_) RestorePermissions(&saved_);
}

bool CreateRegKeyOperation::Do(Transaction* nested) {
  VLOG(1) << "Attempting to create registry key " << key_path_ << " under "
          << registry_helpers::RootText(root_);
  LONG result = RegKey().Open(root_, key_path_, KEY_QUERY_VALUE);
  if (result != ERROR_FILE_NOT_FOUND) {
    VLOG(1) << "The key already exists. No need to do anything.";
    return true;
  }
  VLOG(1) << "Attempting to find the nearest existing ancestor.";
  std::wstring child, ancestor;
  LONG ancestor_result;
  if (!FindAncestor(&child, &ancestor, &ancestor_result)) return false;
  VLOG(1) << "Ancestor found: " << ancestor;
  std::wstring object_name = RegistryObjectName(root_, ancestor);
  // Query and set-value rights stand for "enough rights" here, as elsewhere.
  if (ancestor_result == ERROR_ACCESS_DENIED ||
      !CheckAccess(object_name, kRegistryObjectType, KEY_QUERY_VALUE | KEY_SET_VALUE)) {
    VLOG(1) << "No access to" << object_name;
    if (!WriteAheadWidening(nested, object_name, kRegistryObjectType) ||
        !ObtainPermissions(object_name, kRegistryObjectType, KEY_CREATE_SUB_KEY, false, &saved_)) {
      LOG(ERROR) << "Failed obtaining permissions on " << object_name;
      return false;
    }
  }
  if (!WriteAhead(nested, {.kind = JournalRecord::Kind::kCreatedKey,
                           .texts = {child},
                           .numbers = {JournalRootNumber(root_)}})) {
    LOG(ERROR) << "Failed creating key.";
    return false;
  }
  first_created_ = child;
  if (RegKey().Create(root_, key_path_, KEY_ALL_ACCESS) != ERROR_SUCCESS) {
    LOG(ERROR) << "Failed creating key.";
    return false;
  }
  return true;
}

// Walks up from the key path to the first parent that exists (or that we may
// not open, which also means it exists).
bool CreateRegKeyOperation::FindAncestor(std::wstring* child, std::wstring* ancestor,
                                         LONG* open_result) const {
  std::wstring current = key_path_;
  for (;;) {
    std::wstring parent = registry_helpers::ParentKeyPath(current);
    if (parent == current) {
      LOG(ERROR) << "No existing ancestor found.";
      return false;
    }
    LONG result = RegKey().Open(root_, parent, KEY_CREATE_SUB_KEY);
    if (result == ERROR_SUCCESS || result == ERROR_ACCESS_DENIED) {
      *child = current;
      *ancestor = parent;
      *open_result = result;
      return true;
    }
    if (result != ERROR_FILE_NOT_FOUND) {
      LOG(ERROR) << "Existing ancestor could not be opened.";
      return false;
    }
    current = parent;
  }
}

void CreateRegKeyOperation::Undo() {
  if (!first_created_.empty()) RegDeleteTreeW(root_, first_created_.c_str());
}

}  // namespace norva::installer
