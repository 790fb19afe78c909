#ifndef NORVA_INSTALLER_PREF_DEFAULT_OVERRIDES_FETCHER_H_
#define NORVA_INSTALLER_PREF_DEFAULT_OVERRIDES_FETCHER_H_

#include <memory>
#include <string>

#include "base/command_line.h"
#include "base/file_path.h"
#include "base/task_runner.h"

namespace norva::installer {

class UICallbackRunner;
class Wininet;

// Downloads the preference default overrides into the package folder, where
// the backend picks them up when it seeds the browser's preferences. A
// download that does not complete leaves no file behind.
class PrefDefaultOverridesFetcher {
 public:
  static constexpr wchar_t kFileName[] = L"pref_default_overrides";

  // `ui_runner` (for a proxy's credentials) must outlive the fetcher.
  PrefDefaultOverridesFetcher(const FilePath& package_folder,
                              UICallbackRunner* ui_runner,
                              const CommandLine& command_line = CommandLine::ForCurrentProcess());
  ~PrefDefaultOverridesFetcher();
  PrefDefaultOverridesFetcher(const PrefDefaultOverridesFetcher&) = delete;
  PrefDefaultOverridesFetcher& operator=(const PrefDefaultOverridesFetcher&) = delete;

  // `done` runs exactly once, on this thread: at once when nothing is
  // fetched, otherwise when the download has ended. `tracking_data` is the
  // request body (empty: a plain GET).
  void Fetch(const std::string& tracking_data, Closure done);

  // The address the overrides come from for this command line.
  std::wstring Url() const;

 private:
  void OnDownloadEnded();

  const FilePath target_file_;
  UICallbackRunner* const ui_runner_;
  const CommandLine command_line_;
  std::unique_ptr<Wininet> downloader_;
  Closure done_;
};

}  // namespace norva::installer

#endif  // NORVA_INSTALLER_PREF_DEFAULT_OVERRIDES_FETCHER_H_
