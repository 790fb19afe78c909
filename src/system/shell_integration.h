#ifndef NORVA_SYSTEM_SHELL_INTEGRATION_H_
#define NORVA_SYSTEM_SHELL_INTEGRATION_H_

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "base/file_path.h"
#include "base/json_pref_store.h"
#include "base/thread_checker.h"
#include "system/install_log.h"
#include "system/transactions/registry_entry.h"

namespace norva::installer {

// Registration in the user's (HKEY_CURRENT_USER) or the machine's
// (HKEY_LOCAL_MACHINE) part of the registry.
enum class ShellLevel { kUser, kMachine };

// The shell's view of one installation folder: which protocols and document
// types it handles, whether it is the default browser, where its profile
// lives. Cheap to make; the installer preferences and the install log of the
// folder are read the first time they are needed. Registrations run in
// transactions of their own and are rolled back as a whole on their first
// failure. Used on one thread, with COM initialised.
class ShellIntegration : public RegistryEntryContext {
 public:
  explicit ShellIntegration(FilePath folder);
  // With the record of the installation being made, instead of the file.
  ShellIntegration(FilePath folder, const InstallLog& log);
  ~ShellIntegration() override;
  ShellIntegration(const ShellIntegration&) = delete;
  ShellIntegration& operator=(const ShellIntegration&) = delete;

  // The installation that holds the running executable: its folder, or the
  // parent when "launcher.exe" is not beside the executable but there.
  static ShellIntegration* ForRunningInstallation();

  const FilePath& folder() const { return folder_; }

  // The command registered to open a protocol, or an extension (".htm").
  bool GetHandlerCommand(const std::wstring& name, ShellLevel level, std::wstring* command);
  // Whether the user's handler of `name` starts this installation's launcher
  // (or, with `match_executable`, its browser executable).
  bool IsHandledByUs(const std::wstring& name, bool match_executable = false);
  bool IsDefaultBrowser();
  bool RememberPreviousDefault(ShellLevel level);
  bool MakeDefaultBrowser(ShellLevel level);
  bool RegisterDocumentClass(ShellLevel level);
  bool RegisterHandler(const std::wstring& name, ShellLevel level);
  bool SetStartMenuClient(ShellLevel level);

  bool IsSingleProfile();
  // For deletion the result is never a folder that other users' profiles
  // share.
  bool GetProfileFolder(bool for_deletion, FilePath* folder);

  // RegistryEntryContext:
  std::wstring GetTemplateValue(const std::wstring& name) override;
  std::vector<InstallLogKey>* GetInstallLogKeys(HKEY root) override;

 private:
  JsonPrefStore* prefs();
  bool IsAllUsersInstallation();
  bool IsStartMenuClient();
  bool ApplyTable(const RegistryEntry* rows, size_t count, HKEY root);
  bool ApplyHandlerTable(const std::wstring& name, HKEY root, bool skip_last_row);
  std::wstring DocumentClass() const;

  const FilePath folder_;
  // "<product> <stream>", the name under "Software\RegisteredApplications".
  const std::wstring registered_name_;
  std::shared_ptr<JsonPrefStore> prefs_;
  InstallLog log_;
  bool log_loaded_ = false;
  std::wstring current_name_;  // the protocol or extension being registered
  ThreadChecker thread_checker_;
};

// What the shell does outside the registry: the association service of
// Vista and later, the open-with dialog of Windows 8 and the settings page of
// Windows 10. They depend on the user (or do not exist under every Windows),
// so tests can replace them; a null member keeps the real call.
struct ShellServices {
  // `type` is an ASSOCIATIONTYPE: extension, URL protocol, start-menu client.
  bool (*query_app_is_default)(const std::wstring& name, int type,
                               const std::wstring& application) = nullptr;
  bool (*set_app_as_default)(const std::wstring& name, int type,
                             const std::wstring& application) = nullptr;
  bool (*show_open_with)(const std::wstring& name) = nullptr;
  bool (*open_default_apps_settings)() = nullptr;
};
void SetShellServicesForTesting(const ShellServices& services);

// The association service's SetAppAsDefault (`type` an ASSOCIATIONTYPE) and
// the open-with dialog for a protocol, through the services above.
bool SetAppAsDefault(const std::wstring& name, int type, const std::wstring& application);
bool ShowOpenWith(const std::wstring& name);

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_SHELL_INTEGRATION_H_
