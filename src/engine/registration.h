#ifndef NORVA_ENGINE_REGISTRATION_H_
#define NORVA_ENGINE_REGISTRATION_H_

#include <windows.h>

#include <string>
#include <vector>

#include "engine/install_context.h"
#include "system/transactions/registry_entry.h"

namespace norva::installer {

// The product's registry entries: the browser's registration with Windows,
// its uninstall entry and the last installation path, and the removal of
// what an earlier installation recorded in its install log. The entries it
// writes under the uninstall key are recorded in the context's record.
class Registration : public RegistryEntryContext {
 public:
  explicit Registration(InstallContext& context);
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

  // Read back by the settings to propose the next installation's folder.
  void WriteLastInstallPath();
  // Registers the browser under a free uninstall key (nothing for a
  // copy-only installation).
  StepResult SetUp();
  // Removes the keys and values the previous installation recorded.
  void RemoveRecordedEntries();
  // Forgets the uninstall key chosen by the run that ended.
  void Reset();

  // RegistryEntryContext:
  std::wstring GetTemplateValue(const std::wstring& name) override;
  std::vector<InstallLogKey>* GetInstallLogKeys(HKEY root) override;

 private:
  std::wstring ChooseUninstallKey(HKEY hive) const;
  void RemoveRecordedKeys(HKEY root, const std::vector<InstallLogKey>& keys);
  std::wstring ExpandLegacyKeyPath(const std::string& path) const;

  InstallContext& context_;
  // The value of "{Uninstall}"; the install log records registry writes
  // only once it is chosen.
  std::wstring uninstall_key_;
};

}  // namespace norva::installer

#endif  // NORVA_ENGINE_REGISTRATION_H_
