#ifndef NORVA_ENGINE_PREFERENCES_H_
#define NORVA_ENGINE_PREFERENCES_H_

#include <windows.h>

#include "engine/install_context.h"

namespace norva::installer {

class JsonPrefStore;

// The preferences an installation leaves: the installer's own
// ("installer_prefs.json", outside the transaction), the experiments of the
// installation it upgrades, and the browser's profile preferences, after
// which the browser may be started.
class PreferenceSeeding {
 public:
  explicit PreferenceSeeding(InstallContext& context);
  PreferenceSeeding(const PreferenceSeeding&) = delete;
  PreferenceSeeding& operator=(const PreferenceSeeding&) = delete;

  // Turns on again the experiments the upgraded installation was made with.
  void ReapplyExperiments();
  // Writes the run's choices into "installer_prefs.json".
  void Seed();
  // Updates the profile's preferences and starts the browser if asked to.
  void WriteBrowserPreferences();

  // How long the installation waits for the launcher it started to end.
  static constexpr DWORD kLauncherWaitMs = 30000;
  // Test seam: a shorter wait, so that a launcher that hangs ends a test
  // quickly; 0 restores kLauncherWaitMs.
  static void SetLauncherWaitForTesting(DWORD wait_ms);

 private:
  void RefreshPartnerContent(JsonPrefStore* local_state);
  void LaunchBrowser();

  InstallContext& context_;
};

}  // namespace norva::installer

#endif  // NORVA_ENGINE_PREFERENCES_H_
