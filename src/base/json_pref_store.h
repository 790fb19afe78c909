#ifndef NORVA_BASE_JSON_PREF_STORE_H_
#define NORVA_BASE_JSON_PREF_STORE_H_

#include <memory>
#include <string>
#include <string_view>

#include "base/file_path.h"
#include "base/json.h"
#include "base/thread_checker.h"
#include "base/worker_pool.h"

namespace norva::installer {

// A JSON preference file: one object whose values are addressed by dotted
// keys ("intl.app_locale" is the key "app_locale" inside the object
// "intl"). Changes are kept in memory and written back as a whole, replacing
// the file atomically, on the writer pool; the destructor commits what is
// left. The store belongs to one thread.
class JsonPrefStore {
 public:
  JsonPrefStore(FilePath path, std::shared_ptr<WorkerPool> writer);
  ~JsonPrefStore();
  JsonPrefStore(const JsonPrefStore&) = delete;
  JsonPrefStore& operator=(const JsonPrefStore&) = delete;

  // Reads the file. A missing, unreadable or unparsable file, or one that
  // does not hold an object, leaves the store empty; true only when the
  // file's object was loaded.
  bool Load();

  const FilePath& path() const { return path_; }
  // Null when absent, or when the key is malformed ("", "a..b").
  const nlohmann::json* GetValue(std::string_view dotted_key) const;
  // The value when it has the right type, else `default_value`.
  std::string GetString(std::string_view dotted_key, std::string default_value = {}) const;
  bool GetBool(std::string_view dotted_key, bool default_value = false) const;
  int GetInt(std::string_view dotted_key, int default_value = 0) const;
  // An array; empty when absent or not an array.
  nlohmann::json GetList(std::string_view dotted_key) const;

  // Creates the objects on the way (replacing what is not an object there).
  void SetValue(std::string_view dotted_key, nlohmann::json value);
  void RemoveValue(std::string_view dotted_key);
  bool HasChanges() const { return changed_; }

  // Posts the write of the whole document to the writer pool when anything
  // changed. Without a pool, or when it has shut down, the file is written
  // at once on this thread rather than lost.
  void CommitPendingWrite();

 private:
  const FilePath path_;
  const std::shared_ptr<WorkerPool> writer_;
  nlohmann::json root_ = nlohmann::json::object();
  bool changed_ = false;
  ThreadChecker thread_checker_;
};

}  // namespace norva::installer

#endif  // NORVA_BASE_JSON_PREF_STORE_H_
