#include "system/global_storage.h"

#include <cwchar>
#include <memory>

#include "base/file_util.h"
#include "base/json.h"
#include "base/json_pref_store.h"
#include "base/logging.h"
#include "base/registry.h"
#include "base/scoped_handle.h"
#include "base/strings.h"
#include "base/worker_pool.h"
#include "product/product_info.h"

namespace norva::installer {

namespace {

constexpr wchar_t kMutexName[] = L"nauc_registry_mutex";
constexpr wchar_t kFallbackFileName[] = L"au_global_storage";
constexpr char kPoolName[] = "GsTaskPool";
constexpr char kRootKey[] = "GS";
// Read, set value and create subkey: what writing our values needs.
constexpr REGSAM kProbeAccess = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

std::mutex g_instance_lock;
GlobalStorage* g_instance = nullptr;

std::wstring CompanyKeyPath() { return L"Software\\" + Utf8ToWide(product::CompanyName()); }

// The "GS" object of a loaded store; empty when absent or not an object.
nlohmann::json StoredValues(const JsonPrefStore& store) {
  const nlohmann::json* values = store.GetValue(kRootKey);
  return values && values->is_object() ? *values : nlohmann::json::object();
}

// A file that exists but cannot be read would be replaced by a store that
// holds only the new value: every other value would be lost.
bool FallbackReadable(const FilePath& path) {
  if (!PathExists(path)) return true;
  ScopedHandle file(CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return file.is_valid();
}

}  // namespace

GlobalStorage* GlobalStorage::GetInstance() {
  std::lock_guard<std::mutex> guard(g_instance_lock);
  if (!g_instance) {
    g_instance = new GlobalStorage();
    g_instance->ProbeRegistry();
  }
  return g_instance;
}

void GlobalStorage::ResetForTesting() {
  std::lock_guard<std::mutex> guard(g_instance_lock);
  delete g_instance;
  g_instance = nullptr;
}

GlobalStorage::GlobalStorage() = default;

GlobalStorage::~GlobalStorage() = default;

void GlobalStorage::ProbeRegistry() {
  LONG result = RegKey().Open(HKEY_CURRENT_USER, CompanyKeyPath(), kProbeAccess);
  if (result == ERROR_ACCESS_DENIED) fallback_only_ = true;
  probed_ = true;
}

int GlobalStorage::Lock(bool log_errors) {
  {
    std::lock_guard<std::mutex> guard(handle_lock_);
    if (!mutex_) {
      mutex_.reset(CreateMutexW(nullptr, FALSE, kMutexName));
      // Made by a process of another user: waiting on it is all we need.
      if (!mutex_ && GetLastError() == ERROR_ACCESS_DENIED)
        mutex_.reset(OpenMutexW(SYNCHRONIZE, FALSE, kMutexName));
    }
  }
  if (!mutex_) {
    if (log_errors) LOG(ERROR) << "[AU] GS: Couldn't create an access mutex";
    return kFailure;
  }
  switch (WaitForSingleObject(mutex_.get(), 0)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // its holder died; the values are still whole
      return kSuccess;
    case WAIT_TIMEOUT:
      if (log_errors) LOG(ERROR) << "[AU] GS: Couldn't get hold on an access mutex";
      return kBusy;
    default:
      return kFailure;
  }
}

void GlobalStorage::Unlock() { ReleaseMutex(mutex_.get()); }

bool GlobalStorage::FallbackExists() const {
  return !fallback_path_.empty() && PathExists(fallback_path_);
}

void GlobalStorage::Initialize(const FilePath& folder) {
  fallback_path_ = folder / kFallbackFileName;
  if (!PathExists(fallback_path_) || fallback_only_ || registry_written_) return;

  // Values written while the registry was out of reach move there now.
  migrating_ = true;
  std::shared_ptr<WorkerPool> pool = WorkerPool::Create(kPoolName);
  nlohmann::json values;
  {
    JsonPrefStore store(fallback_path_, pool);
    store.Load();
    values = StoredValues(store);
  }
  for (const auto& [name, value] : values.items()) {
    if (value.is_string()) Set(name, value.get<std::string>());
  }
  migrating_ = false;
  if (pool) pool->Shutdown();
}

int GlobalStorage::Set(const std::string& name, const std::string& value) {
  if (name.empty()) return kInvalidArgument;
  int locked = Lock(true);
  if (locked != kSuccess) return locked;

  if (fallback_only_ || (!migrating_ && FallbackExists())) {
    int written = WriteFallback(name, value);
    if (fallback_only_) {
      Unlock();
      return written;
    }
  }
  int result = WriteRegistry(name, value);
  registry_written_ = result == kSuccess;
  Unlock();
  return result;
}

int GlobalStorage::Get(const std::string& name, std::string* value) {
  value->clear();
  if (name.empty()) return kInvalidArgument;
  int locked = Lock(false);
  if (locked != kSuccess) return locked;
  int result = fallback_only_ ? ReadFallback(name, value) : ReadRegistry(name, value);
  Unlock();
  return result;
}

int GlobalStorage::WriteFallback(const std::string& name, const std::string& value) {
  std::shared_ptr<WorkerPool> pool = WorkerPool::Create(kPoolName);
  nlohmann::json values;
  bool posted = false;
  if (!fallback_path_.empty() && FallbackReadable(fallback_path_)) {
    JsonPrefStore store(fallback_path_, pool);
    store.Load();
    values = StoredValues(store);
    if (value.empty())
      values.erase(name);
    else
      values[name] = value;
    store.SetValue(kRootKey, values);
    store.CommitPendingWrite();
    posted = true;
  }
  // Stopping the pool finishes the write.
  if (pool) pool->Shutdown();

  // The store does not report how its write went; the file says.
  nlohmann::json written;
  bool ok = posted && ReadJsonFile(fallback_path_, &written) && written.is_object() &&
            written.contains(kRootKey) && written[kRootKey] == values;
  if (!ok) LOG(ERROR) << "[AU] GS: Writing to a fallback storage failed";
  return ok ? kSuccess : kFailure;
}

int GlobalStorage::ReadFallback(const std::string& name, std::string* value) {
  std::shared_ptr<WorkerPool> pool = WorkerPool::Create(kPoolName);
  int result = kFailure;
  {
    JsonPrefStore store(fallback_path_, pool);
    store.Load();
    const nlohmann::json* values = store.GetValue(kRootKey);
    if (!values) {
      result = kSuccess;
    } else if (values->is_object()) {
      auto it = values->find(name);
      if (it != values->end() && it->is_string()) {
        *value = it->get<std::string>();
        result = kSuccess;
      }
    }
  }
  if (pool) pool->Shutdown();
  return result;
}

// Values are stored as UTF-16 text (REG_SZ, no terminating zero), so other
// readers see the same characters whatever their code page.
int GlobalStorage::WriteRegistry(const std::string& name, const std::string& value) {
  const std::wstring key_path = CompanyKeyPath();
  const std::wstring value_name = Utf8ToWide(name);
  RegKey key;
  if (value.empty()) {
    LONG opened = key.Open(HKEY_CURRENT_USER, key_path, KEY_WRITE);
    if (opened == ERROR_SUCCESS) {
      key.DeleteValue(value_name);
      return kSuccess;
    }
    if (opened == ERROR_FILE_NOT_FOUND || opened == ERROR_PATH_NOT_FOUND) return kSuccess;
    LOG(ERROR) << "[AU] GS: Deleting reg value failed with: " << static_cast<unsigned long>(opened);
    return kFailure;
  }

  LONG created = key.Create(HKEY_CURRENT_USER, key_path, KEY_WRITE);
  if (created != ERROR_SUCCESS) {
    LOG(ERROR) << "[AU] GS: Creating reg key failed with: " << static_cast<unsigned long>(created);
    return kFailure;
  }
  const std::wstring text = Utf8ToWide(value);
  LONG set = key.WriteValue(value_name, REG_SZ, text.data(),
                            static_cast<DWORD>(text.size() * sizeof(wchar_t)));
  key.Close();
  if (set != ERROR_SUCCESS) {
    LOG(ERROR) << "[AU] GS: Setting reg value failed with: " << static_cast<unsigned long>(set);
    return kFailure;
  }
  return kSuccess;
}

int GlobalStorage::ReadRegistry(const std::string& name, std::string* value) {
  RegKey key;
  if (key.Open(HKEY_CURRENT_USER, CompanyKeyPath(), KEY_QUERY_VALUE) != ERROR_SUCCESS)
    return kSuccess;
  const std::wstring value_name = Utf8ToWide(name);
  int result = kSuccess;
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key.get(), value_name.c_str(), nullptr, &type, nullptr, &size) ==
          ERROR_SUCCESS &&
      size > 0) {
    // One more character than stored, so the text always ends in a zero.
    std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
    DWORD read = size;
    if ((type == REG_SZ || type == REG_EXPAND_SZ) &&
        RegQueryValueExW(key.get(), value_name.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(buffer.data()), &read) == ERROR_SUCCESS) {
      *value = WideToUtf8(std::wstring_view(buffer.c_str(), wcsnlen(buffer.c_str(), read / 2)));
    } else {
      result = kFailure;
    }
  }
  return result;
}

}  // namespace norva::installer
