#include "installer/status_probe.h"

#include <windows.h>
#include <shlobj.h>

#include <mutex>

#include "base/file_util.h"
#include "base/strings.h"
#include "system/shell_integration.h"
#include "system/shortcuts.h"

namespace norva::installer {
namespace {

std::mutex g_probe_lock;
StatusProbe* g_probe = nullptr;  // guarded by g_probe_lock; null: the default

}  // namespace

StatusProbe DefaultStatusProbe() {
  StatusProbe probe;
  probe.is_http_handled_by = [](const FilePath& folder,
                                bool match_browser_executable) {
    return ShellIntegration(folder).IsHandledByUs(L"http", match_browser_executable);
  };
  probe.profile_folder = [](const FilePath& folder, FilePath* profile) {
    return ShellIntegration(folder).GetProfileFolder(/*for_deletion=*/false, profile);
  };
  probe.start_menu_programs = [] { return GetKnownFolder(FOLDERID_Programs); };
  probe.find_taskbar_pin = [](const FilePath& executable) {
    FilePath pin;
    return FindTaskbarPin(executable, &pin) ? pin : FilePath();
  };
  return probe;
}

StatusProbe GetStatusProbe() {
  std::lock_guard<std::mutex> hold(g_probe_lock);
  return g_probe ? *g_probe : DefaultStatusProbe();
}

void SetStatusProbe(StatusProbe probe) {
  std::lock_guard<std::mutex> hold(g_probe_lock);
  delete g_probe;
  g_probe = new StatusProbe(std::move(probe));
}

}  // namespace norva::installer
