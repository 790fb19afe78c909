#ifndef NORVA_SYSTEM_GLOBAL_STORAGE_H_
#define NORVA_SYSTEM_GLOBAL_STORAGE_H_

#include <windows.h>

#include <mutex>
#include <string>

#include "base/file_path.h"
#include "base/scoped_handle.h"

namespace norva::installer {

// Named string values shared by every process of the product (the
// installation's "UUID", for one). They live as REG_SZ values of
// HKEY_CURRENT_USER\Software\<company name>; when the user cannot write that
// key they live in the JSON file "au_global_storage" instead. Once that file
// exists it is kept in step with the registry. Every access holds the named
// mutex "nauc_registry_mutex" and never waits for it: a caller that finds it
// held gets kBusy and decides itself whether to try again.
class GlobalStorage {
 public:
  enum Result : int {
    kSuccess = 0,
    kBusy = 1,  // another party holds the mutex; nothing was done
    kFailure = -252,
    kInvalidArgument = -254,  // empty name
  };

  // The process's instance; the first call looks at the registry key.
  static GlobalStorage* GetInstance();

  // Names the folder of the fallback file and, while nothing has reached the
  // registry yet, copies the file's values into the registry.
  virtual void Initialize(const FilePath& folder);
  // An empty value removes the name.
  virtual int Set(const std::string& name, const std::string& value);
  virtual int Get(const std::string& name, std::string* value);
  virtual ~GlobalStorage();

  // Drops the instance; the next GetInstance makes a new one, which looks at
  // the registry key again.
  static void ResetForTesting();

 private:
  GlobalStorage();
  GlobalStorage(const GlobalStorage&) = delete;
  GlobalStorage& operator=(const GlobalStorage&) = delete;

  void ProbeRegistry();
  int Lock(bool log_errors);
  void Unlock();
  bool FallbackExists() const;
  int WriteFallback(const std::string& name, const std::string& value);
  int ReadFallback(const std::string& name, std::string* value);
  int WriteRegistry(const std::string& name, const std::string& value);
  int ReadRegistry(const std::string& name, std::string* value);

  std::mutex handle_lock_;  // guards the lazy opening of mutex_
  ScopedHandle mutex_;
  FilePath fallback_path_;
  bool probed_ = false;
  bool fallback_only_ = false;
  bool registry_written_ = false;
  bool migrating_ = false;
};

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_GLOBAL_STORAGE_H_
