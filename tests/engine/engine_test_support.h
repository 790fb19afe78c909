#ifndef NORVA_TESTS_ENGINE_ENGINE_TEST_SUPPORT_H_
#define NORVA_TESTS_ENGINE_ENGINE_TEST_SUPPORT_H_

#include <windows.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/task_loop.h"
#include "engine/installer.h"
#include "installer/support/status_fixtures.h"
#include "support/scratch.h"
#include "support/snapshot.h"

namespace norva::installer::test {

// Everything an installer run reported, in order.
class RecordingObserver : public InstallerObserver {
 public:
  void OnInstallationStarted() override { events.push_back("started"); }
  void OnChildProcessStarting(bool) override { events.push_back("child-starting"); }
  void OnChildProcessFinished() override { events.push_back("child-finished"); }
  void SetTotalSteps(int steps) override {
    total = steps;
    events.push_back("total");
  }
  void OnStepCompleted() override;
  void OnInstallationFailed(int message_id, const std::wstring& detail,
                            const std::string& message) override;
  void OnInstallationSucceeded() override;
  void OnInstallerTerminated(bool success) override;

  bool Ended() const { return succeeded || terminated; }

  std::vector<std::string> events;
  int total = -1;
  int steps = 0;
  int failed_id = 0;
  std::wstring failed_detail;
  std::string failed_message;
  bool succeeded = false;
  bool terminated = false;
  // Called after each progress unit with the count so far.
  std::function<void(int)> on_step;
  TaskLoop* loop = nullptr;
};

struct RunOptions {
  std::vector<std::wstring> switches;
  bool uninstall = false;
  bool autoupdate = false;
  // Whether a legacy installation in the folder is upgraded.
  bool replace_legacy = false;
  // The package folder; the environment's copy of the built package when
  // empty.
  std::filesystem::path package;
  RecordingObserver* observer = nullptr;
  // What the run's hand-overs start as a copy of the installer; the test
  // executable itself when not given, none when an empty path.
  std::optional<std::filesystem::path> self_executable;
  // Without it an uninstallation opens its survey page.
  bool silent = true;
};

// A scratch area with a copy of the package the package builder made, a
// task loop with COM on this thread, and a registry, shortcut folders and
// scheduler cleaned of this product before and after.
class EngineEnvironment {
 public:
  EngineEnvironment();
  ~EngineEnvironment();

  const std::filesystem::path& scratch() const { return scratch_.path(); }
  const std::filesystem::path& package() const { return package_; }
  TaskLoop& loop() { return loop_; }

  // Runs one installer over `folder` to its end; the observer's record.
  // Switches are given without the program ("--allusers=0").
  RecordingObserver Run(const std::filesystem::path& folder, RunOptions options = {});
  // The identifier the last run gave its installation.
  const std::string& last_app_id() const { return last_app_id_; }
  // The interrupted event of `folder`, made before a run.
  HANDLE InterruptedEvent(const std::filesystem::path& folder);
  // Waits, for ten seconds at most, until the clean-up scripts that
  // uninstallations run here started have ended. Where a script can tell
  // that this process still runs, it waits for it, and so this wait runs out.
  void WaitForCleanUpScripts();

 private:
  ScopedCom com_;
  TaskLoop loop_;
  ScratchFolder scratch_;
  std::filesystem::path package_;
  std::vector<HANDLE> events_;
  std::vector<std::string> app_ids_;
  std::string last_app_id_;
};

// Makes a package folder: "files_list" and "root_files_list" (CR LF
// separated; no root list when `root_files` is empty), each file holding its
// own name, and the stand-in launcher.
void MakeSmallPackage(const std::filesystem::path& folder, const std::vector<std::string>& files,
                      const std::vector<std::string>& root_files);

// The build's package folder, made by the package builder.
std::filesystem::path BuiltPackageFolder();

// The processes `parent_id` started that still run; only those of the
// program file name `program` when it is given.
std::vector<DWORD> ChildProcesses(DWORD parent_id, const wchar_t* program = nullptr);

// Removes what installations of this product write to the registry (both
// hives), the shortcut folders and the scheduler.
void RemoveProductTraces(const std::vector<std::string>& app_ids = {});

// The machine state an installation may touch: the folder that holds the
// installation folder, the registry subtrees of the product in both hives,
// and the shortcut folders.
class MachineSnapshot {
 public:
  static MachineSnapshot Take(const std::filesystem::path& parent_folder);
  std::string DifferencesTo(const MachineSnapshot& after) const;

 private:
  std::vector<std::pair<std::string, FolderSnapshot>> folders_;
  std::vector<std::pair<std::string, RegistrySnapshot>> keys_;
};

// `differences` without the lines that name one of `allowed`.
std::string WithoutAllowed(const std::string& differences,
                           std::initializer_list<const char*> allowed);

// Product facts as the registry rows spell them.
std::wstring ProductStream();   // "{Product}{Stream}"
std::wstring UninstallKeyBase();  // "...\\Uninstall\\{Product} {Version}"

}  // namespace norva::installer::test

#endif  // NORVA_TESTS_ENGINE_ENGINE_TEST_SUPPORT_H_
