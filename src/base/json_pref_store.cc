#include "base/json_pref_store.h"

#include <vector>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/strings.h"

namespace norva::installer {
namespace {

// The pieces of a dotted key; empty when any piece is empty.
std::vector<std::string> SplitKey(std::string_view dotted_key) {
  std::vector<std::string> parts = SplitString(dotted_key, '.');
  for (const std::string& part : parts) {
    if (part.empty()) return {};
  }
  return parts;
}

void WritePrefFile(const FilePath& path, const std::string& bytes) {
  if (!WriteFileAtomically(path, bytes)) LOG(ERROR) << "Could not write preferences " << path;
}

}  // namespace

JsonPrefStore::JsonPrefStore(FilePath path, std::shared_ptr<WorkerPool> writer)
    : path_(std::move(path)), writer_(std::move(writer)) {}

JsonPrefStore::~JsonPrefStore() { CommitPendingWrite(); }

bool JsonPrefStore::Load() {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  nlohmann::json value;
  bool loaded = ReadJsonFile(path_, &value) && value.is_object();
  if (!loaded && PathExists(path_)) LOG(WARNING) << "Ignoring unreadable preferences " << path_;
  root_ = loaded ? std::move(value) : nlohmann::json::object();
  changed_ = false;
  return loaded;
}

const nlohmann::json* JsonPrefStore::GetValue(std::string_view dotted_key) const {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  std::vector<std::string> parts = SplitKey(dotted_key);
  if (parts.empty()) return nullptr;
  const nlohmann::json* node = &root_;
  for (const std::string& part : parts) {
    if (!node->is_object()) return nullptr;
    auto it = node->find(part);
    if (it == node->end()) return nullptr;
    node = &*it;
  }
  return node;
}

std::string JsonPrefStore::GetString(std::string_view dotted_key,
                                     std::string default_value) const {
  const nlohmann::json* value = GetValue(dotted_key);
  return value && value->is_string() ? value->get<std::string>() : default_value;
}

bool JsonPrefStore::GetBool(std::string_view dotted_key, bool default_value) const {
  const nlohmann::json* value = GetValue(dotted_key);
  return value && value->is_boolean() ? value->get<bool>() : default_value;
}

int JsonPrefStore::GetInt(std::string_view dotted_key, int default_value) const {
  const nlohmann::json* value = GetValue(dotted_key);
  if (!value || !value->is_number_integer()) return default_value;
  if (value->is_number_unsigned()) {
    uint64_t number = value->get<uint64_t>();
    return number <= INT32_MAX ? static_cast<int>(number) : default_value;
  }
  int64_t number = value->get<int64_t>();
  return number >= INT32_MIN && number <= INT32_MAX ? static_cast<int>(number) : default_value;
}

nlohmann::json JsonPrefStore::GetList(std::string_view dotted_key) const {
  const nlohmann::json* value = GetValue(dotted_key);
  return value && value->is_array() ? *value : nlohmann::json::array();
}

void JsonPrefStore::SetValue(std::string_view dotted_key, nlohmann::json value) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  std::vector<std::string> parts = SplitKey(dotted_key);
  if (parts.empty()) {
    LOG(ERROR) << "Invalid preference key \"" << dotted_key << "\"";
    return;
  }
  nlohmann::json* node = &root_;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    nlohmann::json& child = (*node)[parts[i]];
    if (!child.is_object()) child = nlohmann::json::object();
    node = &child;
  }
  auto it = node->find(parts.back());
  if (it != node->end() && *it == value) return;
  (*node)[parts.back()] = std::move(value);
  changed_ = true;
}

void JsonPrefStore::RemoveValue(std::string_view dotted_key) {
  NORVA_DCHECK_CALLED_ON_VALID_THREAD(thread_checker_);
  size_t dot = dotted_key.rfind('.');
  std::string_view name = dot == std::string_view::npos ? dotted_key : dotted_key.substr(dot + 1);
  nlohmann::json* parent =
      dot == std::string_view::npos
          ? &root_
          : const_cast<nlohmann::json*>(GetValue(dotted_key.substr(0, dot)));
  if (name.empty()) return;
  if (parent && parent->is_object() && parent->erase(std::string(name)) > 0) changed_ = true;
}

void JsonPrefStore::CommitPendingWrite() {
  if (!changed_) return;
  changed_ = false;
  std::string bytes = WriteJson(root_);
  FilePath path = path_;
  if (writer_ && writer_->PostTask(FROM_HERE, [path, bytes] { WritePrefFile(path, bytes); })) {
    return;
  }
  LOG(WARNING) << "No preference writer; writing " << path_ << " now";
  WritePrefFile(path_, bytes);
}

}  // namespace norva::installer
