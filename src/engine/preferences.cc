#include "engine/preferences.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "base/command_line.h"
#include "base/file_util.h"
#include "base/json_pref_store.h"
#include "base/logging.h"
#include "base/process.h"
#include "base/strings.h"
#include "base/worker_pool.h"
#include "installer/installation_status.h"
#include "installer/settings.h"
#include "product/installer_features.h"

namespace norva::installer {

namespace {

std::atomic<DWORD> g_launcher_wait_ms{PreferenceSeeding::kLauncherWaitMs};

constexpr char kPrefsPoolName[] = "PrefsTaskPool";
constexpr wchar_t kInstallerPrefsFile[] = L"installer_prefs.json";
constexpr wchar_t kInstallerPrefsIncludeFile[] = L"installer_prefs_include.json";
constexpr wchar_t kPartnerContentFile[] = L"custom_partner_content.json";
constexpr wchar_t kTrackingUserAgentFile[] = L"tracking_user_agent.json";
constexpr char kPartnerContentUpdated[] = "custom_partner_content.updated";

// Switches handed on to the browser's first start.
constexpr const char* kForwardedSwitches[] = {
    "import-bookmarks",
    "import-session",
    "import-topsites-to-speeddial",
};

nlohmann::json ToJsonList(const std::vector<std::string>& items) {
  nlohmann::json list = nlohmann::json::array();
  for (const std::string& item : items) list.push_back(item);
  return list;
}

}  // namespace

PreferenceSeeding::PreferenceSeeding(InstallContext& context) : context_(context) {}

void PreferenceSeeding::ReapplyExperiments() {
  FeatureRegistry& features = FeatureRegistry::Get();
  const InstallationStatus& existing = context_.status();
  if (context_.operation() == kOperationUpgrade) {
    // The overrides that installation was made with; "all-installer-experiments"
    // holds every state, defaults included.
    JsonPrefStore prefs(context_.install_folder / kInstallerPrefsFile, nullptr);
    prefs.Load();
    const nlohmann::json* recorded = prefs.GetValue("installer-experiments");
    if (recorded && recorded->is_array()) {
      std::vector<std::string> entries;
      for (const nlohmann::json& entry : *recorded)
        if (entry.is_string()) entries.push_back(entry.get<std::string>());
      features.AddOverridesFromRecordedList(entries);
      features.AddOverridesFromCommandLine(context_.command_line);
    }
  }
  if (existing.IsInstalledExperimentEnabled(kExperimentTest) !=
      features.IsEnabled(kExperimentTest))
    LOG(INFO) << "Changing the status of the test experiment.";
}

void PreferenceSeeding::Seed() {
  const FilePath prefs_path = context_.install_folder / kInstallerPrefsFile;
  context_.created_installer_prefs = !PathExists(prefs_path);

  // Written on this thread when released: the following steps read it back.
  JsonPrefStore prefs(prefs_path, nullptr);
  prefs.Load();
  JsonPrefStore include(context_.package_folder / kInstallerPrefsIncludeFile, nullptr);
  include.Load();

  const nlohmann::json* welcome_url = include.GetValue("welcome-url");
  if (welcome_url && welcome_url->is_string()) prefs.SetValue("welcome-url", *welcome_url);

  prefs.SetValue("single_profile", context_.settings->choices().single_profile);
  const FilePath profile_folder = context_.settings->choices().profile_folder;
  if (!profile_folder.empty()) prefs.SetValue("profile_path", WideToUtf8(profile_folder.wstring()));
  const std::wstring language = context_.settings->choices().language;
  if (!language.empty()) prefs.SetValue("language", WideToUtf8(language));

  const FeatureRegistry& features = FeatureRegistry::Get();
  prefs.SetValue("installer-experiments", ToJsonList(features.ChangedExperimentsList()));
  prefs.SetValue("all-installer-experiments", ToJsonList(features.AllExperimentsList()));

  if (context_.command_line.HasSwitch("temp-folder"))
    prefs.SetValue("temp_folder", WideToUtf8(context_.command_line.GetSwitchValue("temp-folder")));

  if (!context_.IsAutoupdate()) {
    prefs.SetValue("import_browser_data", context_.settings->choices().import_browser_data);
    prefs.SetValue("enable_stats", context_.settings->choices().enable_norva_stats);
  }
}

void PreferenceSeeding::WriteBrowserPreferences() {
  if (context_.operation() == kOperationUninstall) return;

  FilePath profile_folder = context_.status().GetProfileFolder();
  if (profile_folder.empty()) profile_folder = context_.settings->choices().profile_folder;

  if (!profile_folder.empty()) {
    std::shared_ptr<WorkerPool> pool = WorkerPool::Get(kPrefsPoolName);
    JsonPrefStore local_state(profile_folder / L"Local State", pool);
    local_state.Load();
    if (local_state.GetValue("intl.app_locale"))
      local_state.SetValue("intl.app_locale", WideToUtf8(context_.settings->choices().language));

    if (!context_.IsAutoupdate()) {
      JsonPrefStore preferences(profile_folder / L"Preferences", pool);
      preferences.Load();
      preferences.RemoveValue("statistics.collection_enabled");
      RefreshPartnerContent(&local_state);
    }
  }

  if (context_.settings->choices().launch_norva) LaunchBrowser();
}

void PreferenceSeeding::RefreshPartnerContent(JsonPrefStore* local_state) {
  const FilePath profile_folder = local_state->path().parent_path();
  const FilePath content = profile_folder / kPartnerContentFile;
  const FilePath user_agent = profile_folder / kTrackingUserAgentFile;
  const FilePath resources = context_.install_folder / context_.record.subfolder / L"resources";
  const FilePath new_content = resources / kPartnerContentFile;
  const FilePath new_user_agent = resources / kTrackingUserAgentFile;

  const bool has_new_content = PathExists(new_content);
  if (!has_new_content && !PathExists(new_user_agent)) {
    // The package no longer carries partner content: drop what an earlier
    // version left.
    bool content_deleted =
        PathExists(content) && ::DeleteFileW(ExtendedLengthPath(content).c_str());
    ::DeleteFileW(ExtendedLengthPath(user_agent).c_str());
    if (content_deleted) local_state->SetValue(kPartnerContentUpdated, true);
    return;
  }

  // Content already in the profile is the user's and stays as it is.
  if (PathExists(content) || PathExists(user_agent)) return;

  if (has_new_content) {
    if (::CopyFileW(ExtendedLengthPath(new_content).c_str(), ExtendedLengthPath(content).c_str(),
                    TRUE))
      local_state->SetValue(kPartnerContentUpdated, true);
    else
      PLOG(WARNING) << "Cannot copy " << new_content << " to " << content;
  } else if (!::CopyFileW(ExtendedLengthPath(new_user_agent).c_str(),
                          ExtendedLengthPath(user_agent).c_str(), TRUE)) {
    PLOG(WARNING) << "Cannot copy " << new_user_agent << " to " << user_agent;
  }
}

void PreferenceSeeding::LaunchBrowser() {
  CommandLine launcher(context_.install_folder / L"launcher.exe");
  for (const char* name : kForwardedSwitches) {
    if (!context_.command_line.HasSwitch(name)) continue;
    const std::wstring value = context_.command_line.GetSwitchValue(name);
    if (value.empty())
      launcher.AppendSwitch(name);
    else
      launcher.AppendSwitchValue(name, value);
  }
  if (context_.operation() != kOperationUpgrade) launcher.AppendSwitch("start-maximized");

  const std::wstring command = launcher.GetCommandLineString();
  VLOG(1) << "Starting the browser: " << command;
  // The launcher hands over to the browser and ends at once; one that does
  // not is left running (it may be the browser the user now works in).
  Process process = LaunchProcess(command);
  DWORD exit_code = 0;
  if (!process.IsValid())
    LOG(ERROR) << "Cannot start the browser: " << command;
  else if (!process.WaitForExit(g_launcher_wait_ms, &exit_code))
    LOG(WARNING) << "The launcher has not ended after " << g_launcher_wait_ms.load()
                 << " ms; not waiting for it";
  else if (exit_code != 0)
    LOG(ERROR) << "The launcher ended with exit code " << exit_code;
}

void PreferenceSeeding::SetLauncherWaitForTesting(DWORD wait_ms) {
  g_launcher_wait_ms = wait_ms ? wait_ms : kLauncherWaitMs;
}

}  // namespace norva::installer
