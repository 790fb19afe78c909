#ifndef NORVA_APP_PREF_DEFAULT_OVERRIDES_FETCHER_H_
#define NORVA_APP_PREF_DEFAULT_OVERRIDES_FETCHER_H_

#include <memory>
#include <string>
#include <vector>

#include "base/command_line.h"
#include "base/file_path.h"
#include "base/task_runner.h"

namespace norva::installer {

class UICallbackRunner;
class Wininet;

// Downloads the preference default overrides into the package folder, where
// the backend picks them up when it seeds the browser's preferences. A
// download that does not complete leaves no file behind.
//
// Every Fetch downloads anew: the overrides follow the tracking data of the
// installation folder, which the user may change between two attempts. A
// Fetch while a download runs abandons that download for the new one, and
// each waiting `done` runs only once the latest download has ended, so that
// nobody is handed the package while the file is being written or before a
// failed download's file is gone.
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
  // fetched and nothing is being fetched, otherwise when the latest download
  // has ended (it does not run if the fetcher goes first). `tracking_data`
  // is the request body (empty: a plain GET).
  void Fetch(const std::string& tracking_data, Closure done);

  // The address the overrides come from for this command line.
  std::wstring Url() const;

 private:
  void OnDownloadEnded(bool completed);

  const FilePath target_file_;
  UICallbackRunner* const ui_runner_;
  const CommandLine command_line_;
  std::unique_ptr<Wininet> downloader_;
  bool downloading_ = false;
  // The `done` of every Fetch since the last download ended, in call order.
  std::vector<Closure> waiting_;
};

}  // namespace norva::installer

#endif  // NORVA_APP_PREF_DEFAULT_OVERRIDES_FETCHER_H_
