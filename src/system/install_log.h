#ifndef NORVA_SYSTEM_INSTALL_LOG_H_
#define NORVA_SYSTEM_INSTALL_LOG_H_

#include <windows.h>

#include <string>
#include <vector>

#include "base/file_path.h"

// The record of one installation and its XML file ("installation_status.xml"
// in the installation folder): what was installed where, which registry
// values were written and how much of their keys the uninstaller may remove.
// Reading and writing go through MSXML 3.0, so the calling thread must have
// COM initialised.
namespace norva::installer {

struct InstallLogValue {
  std::string type;  // "REG_SZ", "REG_DWORD"...
  std::string name;  // UTF-8; empty for the key's default value
  std::string data;  // encoded by type
};

struct InstallLogKey {
  // 0: remove only the recorded values; n >= 1: delete the key reached by
  // dropping n - 1 trailing components of `path`.
  int clean = 0;
  std::string path;  // UTF-8, relative to its root
  std::vector<InstallLogValue> values;
};

struct InstallLog {
  bool copy_only = false;
  bool all_users = true;
  bool pinned = false;
  std::string app_id;
  FilePath path;
  FilePath subfolder;
  std::string version;
  FilePath desktop_shortcut;
  FilePath menu_shortcut;
  FilePath quick_launch_shortcut;
  std::vector<FilePath> files;       // relative to `path`
  std::vector<FilePath> root_files;
  std::vector<InstallLogKey> hklm_keys;
  std::vector<InstallLogKey> hkcu_keys;
};

// The complete file text; false when the XML facilities are not available.
bool WriteInstallLog(const InstallLog& log, std::string* text);

// Empties the four lists of `log`, then fills it from the file. On failure
// whatever was read before the fault stays in `log`.
bool LoadInstallLog(const FilePath& file, InstallLog* log);

// Adds a written value to `keys` (a removal, type 0xFFFFFFFF, is not
// recorded). A key already listed, compared without regard to ASCII case,
// gets the value and the larger clean level.
void RecordRegistryValue(std::vector<InstallLogKey>* keys, const std::wstring& key_path,
                         const std::wstring& value_name, const void* data, DWORD type, DWORD size,
                         int clean_level);

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_INSTALL_LOG_H_
