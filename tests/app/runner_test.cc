#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/installer_runner.h"
#include "base/command_line.h"
#include "base/file_util.h"
#include "base/location.h"
#include "base/strings.h"
#include "base/task_loop.h"
#include "engine/engine_test_support.h"
#include "engine/installer_observer.h"
#include "installer/ipc/installer_message.h"
#include "installer/ipc/ipc_sender.h"
#include "installer/settings.h"
#include "installer/support/installer_process.h"
#include "package/package_run_files.h"
#include "product/product_info.h"
#include "support/holder_process.h"
#include "support/scratch.h"
#include "support/wait.h"
#include "support/object_acl.h"
#include "system/object_names.h"
#include "system/object_security.h"

namespace norva::installer {
namespace {

using Type = InstallerMessageType;

// Writes each notification as a word; a run of step completions is one "step".
class EventLog : public InstallerObserver {
 public:
  void OnInstallationStarted() override { Add("started"); }
  void OnChildProcessStarting(bool elevated) override { Add(elevated ? "child(1)" : "child(0)"); }
  void OnChildProcessFinished() override { Add("child-done"); }
  void SetTotalSteps(int steps) override { Add(steps > 0 ? "total" : "total(0)"); }
  void OnStepCompleted() override {
    if (events.empty() || events.back() != "step") Add("step");
  }
  void OnInstallationFailed(int id, const std::wstring&, const std::string& message) override {
    Add("failed " + std::to_string(id) + " " + message);
  }
  void OnInstallationSucceeded() override { Add("succeeded"); }
  void OnInstallerTerminated(bool success) override {
    Add(success ? "terminated(1)" : "terminated(0)");
    if (loop) loop->Quit();
  }

  std::vector<std::string> events;
  TaskLoop* loop = nullptr;

 private:
  void Add(std::string event) { events.push_back(std::move(event)); }
};

class RunnerTest : public testing::Test {
 protected:
  RunnerTest() {
    // The package must start this build's backend, not the one it was made with.
    std::filesystem::copy_file(test::BuiltInstallerPath(), env_.package() / L"installer.exe",
                               std::filesystem::copy_options::overwrite_existing);
    runner_.AddObserver(&log_);
    log_.loop = &env_.loop();
  }

  std::unique_ptr<Settings> MakeSettings(const std::filesystem::path& folder) {
    auto settings = std::make_unique<Settings>(
        SettingsOptions{.silent = true, .install_folder = folder},
        CommandLine::FromArgv({L"installer.exe", L"--allusers=0", L"--launchnorva=0", L"--silent"}));
    test::RunLoopUntil(&env_.loop(), [&] { return !settings->IsStatusFetchPending(); });
    EXPECT_FALSE(settings->IsStatusFetchPending());
    return settings;
  }

  // Runs the loop until the backend has ended, at most three minutes.
  void RunToEnd() { test::RunLoopFor(&env_.loop(), std::chrono::seconds(180)); }

  // The package's installer becomes a stand-in backend that does what
  // NORVA_FAKE_BACKEND says (tests/support/holder_main.cc).
  void UseFakeBackend() {
    std::filesystem::copy_file(GetExecutablePath().parent_path() / L"test_holder.exe",
                               env_.package() / L"installer.exe",
                               std::filesystem::copy_options::overwrite_existing);
    runner_.SetPackageReady();
  }

  // The next backends, stand-ins, do `behaviour`, each ending only once the
  // returned event is signalled (a minute at most).
  ScopedHandle FakeBackendUntilReleased(const wchar_t* behaviour) {
    UseFakeBackend();
    const std::wstring name =
        L"Local\\NorvaRunnerTestRelease" + std::to_wstring(GetCurrentProcessId());
    SetEnvironmentVariableW(L"NORVA_FAKE_BACKEND", behaviour);
    SetEnvironmentVariableW(L"NORVA_FAKE_BACKEND_RELEASE", name.c_str());
    return ScopedHandle(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  }

  // A start that fails at once, telling only of `failure`.
  void ExpectRefused(Settings& settings, const std::string& failure) {
    log_.events.clear();
    runner_.SetPackageReady();
    EXPECT_FALSE(runner_.StartInstallation(settings));
    EXPECT_FALSE(runner_.IsBackendRunning());
    EXPECT_EQ(log_.events, std::vector<std::string>{failure});
  }

  // The name of the settings' folder's object of kind `kind`.
  static std::wstring ObjectName(const wchar_t* kind, const Settings& settings) {
    return GetObjectNameForFolder(kind, settings.GetInstallationStatus().GetPath(), true);
  }

  // Sends what a backend for the settings' folder would report.
  void SendAsBackend(const Settings& settings, std::initializer_list<Type> types) {
    IPCSenderProxy sender;
    ASSERT_TRUE(sender.Connect(L"norva_installer\\" +
                               settings.GetInstallationStatus().GetPath().native()));
    for (Type type : types) sender.Send(*WriteInstallerMessage({.type = type}));
  }

  void TearDown() override {
    for (const wchar_t* name : {L"NORVA_FAKE_BACKEND", L"NORVA_FAKE_BACKEND_RELEASE"})
      SetEnvironmentVariableW(name, nullptr);
  }

  test::EngineEnvironment env_;
  InstallerRunner runner_{env_.package()};
  EventLog log_;
};

TEST_F(RunnerTest, BackendInstallsAndReportsOverTheMailslot) {
  const std::filesystem::path folder = env_.scratch() / L"installs" / L"Norva \u00e9";
  auto settings = MakeSettings(folder);
  runner_.SetPackageReady();
  ASSERT_TRUE(runner_.StartInstallation(*settings));
  EXPECT_TRUE(runner_.IsBackendRunning());
  EXPECT_FALSE(settings->IsModifiable());
  RunToEnd();

  const std::vector<std::string> expected = {"started", "total", "step", "succeeded",
                                             "terminated(1)"};
  EXPECT_EQ(log_.events, expected);
  EXPECT_FALSE(runner_.IsBackendRunning());
  std::filesystem::path subfolder = folder / Utf8ToWide(product::ProductVersion());
  for (const wchar_t* file : {L"norva.exe", L"installer.exe"})
    EXPECT_TRUE(PathExists(subfolder / file)) << file;
  EXPECT_TRUE(PathExists(folder / L"installation_status.xml"));
}

TEST_F(RunnerTest, FailedInstallationEndsWithAFailedBackend) {
  std::filesystem::remove(env_.package() / L"norva.exe");
  const std::filesystem::path folder = env_.scratch() / L"installs" / L"broken";
  auto settings = MakeSettings(folder);
  runner_.SetPackageReady();
  ASSERT_TRUE(runner_.StartInstallation(*settings));
  RunToEnd();
  ASSERT_GE(log_.events.size(), 3u);
  EXPECT_TRUE(log_.events.end()[-2].starts_with("failed 37057")) << log_.events.end()[-2];
  EXPECT_EQ(log_.events.back(), "terminated(0)");
  EXPECT_FALSE(PathExists(folder / L"installation_status.xml"));
}

TEST_F(RunnerTest, InvalidSettingsStartNoBackend) {
  // A folder below a file gives no operation.
  test::WriteFile(env_.scratch() / L"file", "x");
  ExpectRefused(*MakeSettings(env_.scratch() / L"file" / L"Norva"),
                "failed 37053 Attempting to start installation with invalid settings");
}

TEST_F(RunnerTest, SecondInstallerForTheFolderIsRefused) {
  auto settings = MakeSettings(env_.scratch() / L"busy");
  // Another frontend holds the mutex (a mutex is re-entrant on its own thread).
  ScopedHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ScopedHandle held(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::thread other([&] {
    ScopedHandle mutex = CreateSharedMutex(ObjectName(kInstallerMutexName, *settings), false);
    WaitForSingleObject(mutex.get(), 0);
    SetEvent(held.get());
    WaitForSingleObject(release.get(), INFINITE);
    ReleaseMutex(mutex.get());
  });
  WaitForSingleObject(held.get(), INFINITE);
  ExpectRefused(*settings, "failed 37052 Could not acquire installer mutex");
  SetEvent(release.get());
  other.join();
}

TEST_F(RunnerTest, MessagesReachEveryObserverInOrder) {
  EventLog second;
  runner_.AddObserver(&second);
  const struct {
    InstallerMessage message;
    const char* event;
  } kCases[] = {
      {{.type = Type::kInstallationStarted}, "started"},
      {{.type = Type::kChildProcessStarting, .elevated = true}, "child(1)"},
      {{.type = Type::kChildProcessFinished}, "child-done"},
      {{.type = Type::kSetTotalSteps, .steps = 9}, "total"},
      {{.type = Type::kStepCompleted}, "step"},
      {{.type = Type::kInstallationFailed, .message_id = 37057, .message = "m"}, "failed 37057 m"},
      {{.type = Type::kInstallationSucceeded}, "succeeded"},
  };
  std::vector<std::string> expected;
  for (const auto& c : kCases) {
    runner_.OnMessageReceived(c.message);
    expected.push_back(c.event);
  }
  test::LogCapture capture;
  runner_.OnMessageReceived({.type = static_cast<Type>(7)});
  EXPECT_TRUE(capture.Contains("Not a valid installer message type"));
  EXPECT_EQ(log_.events, expected);
  EXPECT_EQ(second.events, expected);
  runner_.RemoveObserver(&second);
  runner_.OnMessageReceived({.type = Type::kStepCompleted});
  EXPECT_EQ(second.events, expected);
}

// An exit code of 0 proves nothing on its own (a killed backend can read it
// back): only a backend that reported success and then exited with 0
// succeeded, and a success belongs to the one run that reported it. Its last
// messages still arrive first, however quickly it ends after sending them.
TEST_F(RunnerTest, OnlyAReportedSuccessAndExitCodeZeroMakeASuccess) {
  UseFakeBackend();
  const struct {
    const wchar_t* backend;
    std::vector<std::string> events;
  } kCases[] = {
      {L"report exit=0", {"step", "succeeded", "terminated(1)"}},
      {L"exit=0", {"terminated(0)"}},
      {L"report exit=3", {"step", "succeeded", "terminated(0)"}},
      {L"report exit=0", {"step", "succeeded", "terminated(1)"}},
  };
  const std::filesystem::path command_lines = env_.scratch() / L"command_lines.txt";
  SetEnvironmentVariableW(L"NORVA_FAKE_BACKEND_LOG", command_lines.c_str());
  // One folder for every run: each start takes the folder's mutex anew.
  const std::filesystem::path folder = env_.scratch() / L"runs";
  // The window an elevation prompt of the backend belongs to.
  HWND window = CreateWindowW(L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  runner_.set_owner_window(window);
  size_t number = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(WideToUtf8(c.backend));
    ++number;
    auto settings = MakeSettings(folder);
    log_.events.clear();
    test::LogCapture capture;
    SetEnvironmentVariableW(L"NORVA_FAKE_BACKEND", c.backend);
    bool started = runner_.StartInstallation(*settings);
    SetEnvironmentVariableW(L"NORVA_FAKE_BACKEND", nullptr);
    ASSERT_TRUE(started);
    RunToEnd();
    EXPECT_EQ(log_.events, c.events);
    // What the backend is told besides the settings: this process, no crash
    // reporter, the tracking data beside it and no package to wait for.
    const std::vector<std::string> lines = SplitString(test::ReadFile(command_lines), '\n');
    ASSERT_GE(lines.size(), number);
    const std::string& command_line = lines[number - 1];
    for (const std::string& part :
         std::vector<std::string>{"--server-tracking-data=server_tracking_data",
                                  "--crash-reporter-pid=0", "--initial-proc-handle=",
                                  "--initial-pid=" + std::to_string(GetCurrentProcessId()),
                                  "--owner-window=" +
                                      std::to_string(reinterpret_cast<uintptr_t>(window))})
      EXPECT_NE(command_line.find(part), std::string::npos) << part << " in " << command_line;
    EXPECT_EQ(command_line.find("wait-for-package"), std::string::npos) << command_line;
    const bool failed = c.events.back() == "terminated(0)";
    EXPECT_EQ(capture.Contains("The installer backend ended without reporting success"), failed);
    // A package installer that the backend started and that outlived it is
    // told to stop.
    ScopedHandle interrupted(OpenEventW(
        SYNCHRONIZE, FALSE, ObjectName(kInstallationInterruptedEvent, *settings).c_str()));
    ASSERT_TRUE(interrupted);
    EXPECT_EQ(WaitForSingleObject(interrupted.get(), 0), failed ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
    if (number == std::size(kCases)) {
      // Stopping a run that has ended tells nobody to stop.
      runner_.StopInstallation();
      EXPECT_EQ(WaitForSingleObject(interrupted.get(), 0), WAIT_TIMEOUT);
    }
  }
  SetEnvironmentVariableW(L"NORVA_FAKE_BACKEND_LOG", nullptr);
  DestroyWindow(window);
  // Stopped, the runner holds the folder's mutex no more: another run takes it.
  bool taken = false;
  std::thread other([&] {
    ScopedHandle mutex(CreateMutexW(
        nullptr, FALSE, GetObjectNameForFolder(kInstallerMutexName, FilePath(folder), true).c_str()));
    taken = mutex && WaitForSingleObject(mutex.get(), 0) != WAIT_TIMEOUT;
  });
  other.join();
  EXPECT_TRUE(taken);
}

// The outcome waits for every message sent before the backend ended, even
// when the reading thread has not yet taken them from the mailslot.
TEST_F(RunnerTest, TheChannelIsDrainedBeforeTheOutcomeIsDecided) {
  auto settings = MakeSettings(env_.scratch() / L"drained");
  ScopedHandle release = FakeBackendUntilReleased(L"exit=0");
  ScopedHandle hold(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(runner_.StartInstallation(*settings));
  EXPECT_FALSE(runner_.StartInstallation(*settings)) << "a second start while the backend runs";
  runner_.receiver_for_testing().HoldReaderForTesting(hold.get());
  // The read the hold let through takes the first message; only the drain
  // finds the second.
  SendAsBackend(*settings, {Type::kStepCompleted, Type::kInstallationSucceeded});
  SetEvent(release.get());
  ASSERT_TRUE(runner_.WaitForBackendToEnd(60000));
  // Time for the backend's end to reach this thread, were it not waiting.
  test::RunLoopFor(&env_.loop(), std::chrono::seconds(1));
  const bool ended_early = !log_.events.empty();
  SetEvent(hold.get());
  if (ended_early)
    test::RunLoopFor(&env_.loop(), std::chrono::seconds(1));
  else
    RunToEnd();
  EXPECT_EQ(log_.events, (std::vector<std::string>{"step", "succeeded", "terminated(1)"}));
}

// A backend that waited for the package (or handed over to an elevated copy
// of itself) reports success after the installer it started has reported
// its own; the frontend hears of one success, so logs it once.
TEST_F(RunnerTest, EveryBackendOfAChainReportingSuccessIsOneSuccess) {
  auto settings = MakeSettings(env_.scratch() / L"chain");
  ScopedHandle release = FakeBackendUntilReleased(L"exit=0");
  ASSERT_TRUE(runner_.StartInstallation(*settings));
  SendAsBackend(*settings, {Type::kChildProcessStarting, Type::kStepCompleted,
                            Type::kInstallationSucceeded, Type::kChildProcessFinished,
                            Type::kInstallationSucceeded});
  SetEvent(release.get());
  RunToEnd();
  EXPECT_EQ(log_.events, (std::vector<std::string>{"child(0)", "step", "succeeded",
                                                   "child-done", "terminated(1)"}));
}

// A mailslot name that is already taken (a stale mailslot of an earlier run,
// or another program's) would send the backend's reports where nobody reads
// them; the start fails at once instead.
TEST_F(RunnerTest, TakenMailslotNameFailsTheStartAtOnce) {
  auto settings = MakeSettings(env_.scratch() / L"taken");
  const std::wstring name =
      L"\\\\.\\mailslot\\norva_installer\\" + settings->GetInstallationStatus().GetPath().native();
  {
    test::HolderProcess holder(L"mailslot", name, 60000);
    ASSERT_TRUE(holder.held());
    ExpectRefused(*settings, "failed 37050 Could not connect to mailslot");
  }
  // Once the name is free again, so is the way, also while a process of the
  // earlier run that was told to stop still holds the interruption event.
  ScopedHandle stale = CreateSharedEvent(ObjectName(kInstallationInterruptedEvent, *settings), true);
  ASSERT_TRUE(stale);
  SetEvent(stale.get());
  runner_.StopInstallation();
  log_.events.clear();
  ASSERT_TRUE(runner_.StartInstallation(*settings));
  RunToEnd();
  EXPECT_EQ(log_.events.back(), "terminated(1)");
}

// The backend, or an elevated child that runs as another account (an
// administrator who typed a password at the prompt), opens what the frontend
// made: the user and Administrators get what they need, SYSTEM everything,
// nobody else anything.
TEST_F(RunnerTest, SharedObjectsGrantTheUserAndAdministratorsOnly) {
  auto settings = MakeSettings(env_.scratch() / L"shared");
  const FilePath folder = settings->GetInstallationStatus().GetPath();
  ScopedHandle release = FakeBackendUntilReleased(L"exit=0");
  ASSERT_TRUE(runner_.StartInstallation(*settings));
  HANDLE mailslot = nullptr;
  DuplicateHandle(GetCurrentProcess(), runner_.receiver_for_testing().mailslot_for_testing(),
                  GetCurrentProcess(), &mailslot, READ_CONTROL, FALSE, 0);
  const struct {
    const char* name;
    HANDLE object;
    std::string acl;
  } kCases[] = {
      {"mutex",
       OpenMutexW(READ_CONTROL, FALSE,
                  GetObjectNameForFolder(kInstallerMutexName, folder, true).c_str()),
       test::SharedObjectAcl(MUTEX_ALL_ACCESS, MUTEX_ALL_ACCESS, MUTEX_ALL_ACCESS)},
      {"interruption event",
       OpenEventW(READ_CONTROL, FALSE,
                  GetObjectNameForFolder(kInstallationInterruptedEvent, folder, true).c_str()),
       test::SharedObjectAcl(EVENT_ALL_ACCESS, EVENT_ALL_ACCESS, EVENT_ALL_ACCESS)},
      {"mailslot", mailslot,
       test::SharedObjectAcl(FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_GENERIC_WRITE,
                             FILE_ALL_ACCESS)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ScopedHandle object(c.object);
    ASSERT_TRUE(object);
    EXPECT_EQ(test::KernelObjectAcl(object.get()), c.acl);
  }
  SetEvent(release.get());
  RunToEnd();
}

// An object of the folder's fixed names that another account made, and may
// change, is never obeyed: its signal could stop or steer this installation.
TEST_F(RunnerTest, ObjectsAnotherAccountMayChangeAreRefused) {
  const struct {
    const wchar_t* name;
    bool mutex;
    const char* failure;
  } kCases[] = {
      {kInstallerMutexName, true, "failed 37052 Could not create installer mutex"},
      {kInstallationInterruptedEvent, false,
       "failed 37050 Could not create installation interruption event"},
  };
  int number = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(WideToUtf8(c.name));
    auto settings = MakeSettings(env_.scratch() / (L"planted " + std::to_wstring(++number)));
    const std::wstring name = ObjectName(c.name, *settings);
    PSECURITY_DESCRIPTOR open = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;WD)",
                                                                     SDDL_REVISION_1, &open,
                                                                     nullptr));
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), open, FALSE};
    ScopedHandle planted(c.mutex ? CreateMutexW(&attributes, FALSE, name.c_str())
                                 : CreateEventW(&attributes, TRUE, FALSE, name.c_str()));
    LocalFree(open);
    ASSERT_TRUE(planted);
    test::LogCapture capture;
    ExpectRefused(*settings, c.failure);
    EXPECT_TRUE(capture.Contains("Refusing the existing object")) << WideToUtf8(name);
    runner_.StopInstallation();
  }
}

// A backend whose end cannot be watched is told to stop and asked directly
// from then on: while it still runs a start says why it cannot go ahead;
// once it has ended, the next start goes ahead.
TEST_F(RunnerTest, UnwatchedBackendBlocksLaterStartsOnlyWhileItRuns) {
  auto settings = MakeSettings(env_.scratch() / L"unwatched");
  ScopedHandle release = FakeBackendUntilReleased(L"report exit=0");
  ASSERT_TRUE(release);
  runner_.SetBackendWatchRefusedForTesting(true);
  EXPECT_FALSE(runner_.StartInstallation(*settings));
  runner_.SetBackendWatchRefusedForTesting(false);
  SetEnvironmentVariableW(L"NORVA_FAKE_BACKEND_RELEASE", nullptr);
  EXPECT_EQ(log_.events,
            std::vector<std::string>{"failed 37050 Could not monitor the installer process handle"});

  EXPECT_TRUE(runner_.IsBackendRunning());
  log_.events.clear();
  EXPECT_FALSE(runner_.StartInstallation(*settings));
  EXPECT_EQ(log_.events,
            std::vector<std::string>{
                "failed 37052 The installer backend of an earlier attempt is still running"});

  SetEvent(release.get());
  EXPECT_TRUE(test::WaitUntil([&] { return !runner_.IsBackendRunning(); }));
  log_.events.clear();
  ASSERT_TRUE(runner_.StartInstallation(*settings));
  RunToEnd();
  EXPECT_EQ(log_.events.back(), "terminated(1)");
}

// A backend installing from a fetched package keeps it from a later run's
// sweep for its whole life, even once the process that fetched it is gone.
TEST_F(RunnerTest, TheBackendKeepsItsFetchedPackageFromLaterSweeps) {
  const std::filesystem::path downloads = env_.scratch() / L"downloads";
  const std::filesystem::path package = downloads / L"norva_installer_20260101000000";
  std::filesystem::create_directories(package);
  std::filesystem::copy_file(GetExecutablePath().parent_path() / L"test_holder.exe",
                             package / L"installer.exe");
  // The fetcher that made them has died: nobody holds its lock.
  for (const wchar_t* extension : {L".lock", L".exe", L".7z"})
    test::WriteFile(package.native() + extension, "");
  test::WriteFile(package / L"files_list", "norva.exe\n");
  const FilePath later_run = downloads / L"norva_installer_20260102000000.lock";
  InstallerRunner runner(package);
  runner.AddObserver(&log_);
  runner.SetPackageReady();
  ScopedHandle release = FakeBackendUntilReleased(L"report exit=0");
  auto settings = MakeSettings(env_.scratch() / L"from downloads");
  ASSERT_TRUE(runner.StartInstallation(*settings));

  RemoveFilesOfDeadRuns(downloads, later_run);
  EXPECT_TRUE(PathExists(package / L"files_list"));

  SetEvent(release.get());
  RunToEnd();
  EXPECT_EQ(log_.events.back(), "terminated(1)");
  EXPECT_TRUE(test::WaitUntil([&] {
    RemoveFilesOfDeadRuns(downloads, later_run);
    return !PathExists(package) && !PathExists(package.native() + L".lock");
  }));
}

// A package-ready event an earlier run left signalled must not send this
// run's waiting backend on before its own package is unpacked.
TEST_F(RunnerTest, AWaitingBackendIsNotStartedByAnEarlierRunsPackage) {
  auto settings = MakeSettings(env_.scratch() / L"installs" / L"stale");
  ScopedHandle stale = CreateSharedEvent(ObjectName(kPackageReadyEvent, *settings), true);
  ASSERT_TRUE(stale);
  SetEvent(stale.get());
  const std::filesystem::path log = env_.scratch() / L"waiting.txt";
  SetEnvironmentVariableW(L"NORVA_FAKE_BACKEND_LOG", log.c_str());
  const bool started = runner_.StartInstallation(*settings);
  SetEnvironmentVariableW(L"NORVA_FAKE_BACKEND_LOG", nullptr);
  ASSERT_TRUE(started);
  EXPECT_TRUE(test::WaitUntil([&] { return PathExists(log); }));
  runner_.StopInstallation();
  RunToEnd();
  EXPECT_EQ(test::ReadFile(log), "waiting for the package\n");
}

}  // namespace
}  // namespace norva::installer
