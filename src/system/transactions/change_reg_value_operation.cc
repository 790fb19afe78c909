#include "system/transactions/change_reg_value_operation.h"

#include "base/logging.h"
#include "system/transactions/create_reg_key_operation.h"
#include "system/transactions/journal.h"
#include "system/transactions/registry_helpers.h"
#include "system/transactions/transaction.h"

namespace norva::installer {
namespace {

constexpr REGSAM kValueAccess = KEY_QUERY_VALUE | KEY_SET_VALUE;

}  // namespace

ChangeRegValueOperation::ChangeRegValueOperation(HKEY root, const std::wstring& key_path,
                                                 const std::wstring& value_name, const void* data,
                                                 DWORD type, DWORD size)
    : root_(root), key_path_(key_path), value_name_(value_name), new_type_(type) {
  if (data && size) {
    const BYTE* bytes = static_cast<const BYTE*>(data);
    new_data_.assign(bytes, bytes + size);
  }
}

ChangeRegValueOperation::~ChangeRegValueOperation() {
  if (saved_) RestorePermissions(&saved_);
}

bool ChangeRegValueOperation::Do(Transaction* nested) {
  VLOG(1) << "Attempting to change registry value at " << registry_helpers::RootText(root_)
          << ": " << key_path_ << " - " << value_name_ << ". New Type:" << new_type_;
  LONG result = key_.Open(root_, key_path_, kValueAccess);
  if (result == ERROR_FILE_NOT_FOUND) {
    VLOG(1) << "Key does not exist,";
    if (new_type_ == kRemoveValueType) {
      VLOG(1) << "but we are trying to remove the value, nothing to do.";
      return true;
    }
    VLOG(1) << "try to create it.";
    if (!nested->Execute(std::make_unique<CreateRegKeyOperation>(root_, key_path_))) return false;
    result = key_.Open(root_, key_path_, kValueAccess);
  }
  if (!OpenKey(result, nested)) return false;
  if (!ReadOldValue()) return false;
  bool nothing_to_remove = new_type_ == kRemoveValueType && old_type_ == kRemoveValueType;
  if (!nothing_to_remove &&
      !WriteAhead(nested, {.kind = JournalRecord::Kind::kChangedValue,
                           .texts = {key_path_, value_name_},
                           .numbers = {JournalRootNumber(root_), old_type_},
                           .blobs = {std::vector<uint8_t>(old_data_.begin(), old_data_.end())}})) {
    LOG(ERROR) << "Failed writing " << value_name_ << " to " << object_name_;
    return false;
  }

  if (new_type_ != kRemoveValueType) {
    if (key_.WriteValue(value_name_, new_type_, new_data_.data(),
                        static_cast<DWORD>(new_data_.size())) != ERROR_SUCCESS) {
      LOG(ERROR) << "Failed writing " << value_name_ << " to " << object_name_;
      return false;
    }
  } else if (old_type_ == kRemoveValueType) {
    VLOG(1) << "We are supposed to remove the value. Nothing to do.";
    return true;
  } else if (key_.DeleteValue(value_name_) != ERROR_SUCCESS) {
    LOG(ERROR) << "Failed to remove " << value_name_ << " from " << object_name_;
    return false;
  }
  VLOG(1) << "Value changed successfully.";
  changed_ = true;
  return true;
}

// Makes sure `key_` is open with value rights we hold, widening them if needed.
bool ChangeRegValueOperation::OpenKey(LONG open_result, Transaction* nested) {
  object_name_ = RegistryObjectName(root_, key_path_);
  if (open_result == ERROR_SUCCESS && CheckAccess(object_name_, kRegistryObjectType, kValueAccess))
    return true;
  if (open_result == ERROR_SUCCESS || open_result == ERROR_ACCESS_DENIED) {
    VLOG(1) << "We don't have enough permissions on the key.";
    if (!WriteAheadWidening(nested, object_name_, kRegistryObjectType) ||
        !ObtainPermissions(object_name_, kRegistryObjectType, kValueAccess, false, &saved_)) {
      LOG(ERROR) << "Failed to obtain sufficient permissions on " << object_name_;
      return false;
    }
    if (key_.Open(root_, key_path_, kValueAccess) == ERROR_SUCCESS) return true;
  }
  LOG(ERROR) << "Failed to open " << object_name_;
  return false;
}

bool ChangeRegValueOperation::ReadOldValue() {
  DWORD size = 0;
  LONG result = RegQueryValueExW(key_.get(), value_name_.c_str(), nullptr, nullptr, nullptr, &size);
  if (result == ERROR_FILE_NOT_FOUND) {
    VLOG(1) << "The value doesn't already exist.";
    old_type_ = kRemoveValueType;
    return true;
  }
  if (result != ERROR_SUCCESS) {
    LOG(ERROR) << "Failed to read " << value_name_ << " from " << object_name_;
    return false;
  }
  old_data_.resize(size);
  if (RegQueryValueExW(key_.get(), value_name_.c_str(), nullptr, &old_type_, old_data_.data(),
                       &size) != ERROR_SUCCESS) {
    LOG(ERROR) << "Failed to read " << value_name_ << " from " << object_name_
               << " (but we succeeded before).";
    old_type_ = kRemoveValueType;
    return false;
  }
  old_data_.resize(size);
  VLOG(1) << "Value read successfully.";
  return true;
}

void ChangeRegValueOperation::Undo() {
  if (!changed_) return;
  if (old_type_ == kRemoveValueType) {
    key_.DeleteValue(value_name_);
  } else {
    key_.WriteValue(value_name_, old_type_, old_data_.data(), static_cast<DWORD>(old_data_.size()));
  }
}

}  // namespace norva::installer
