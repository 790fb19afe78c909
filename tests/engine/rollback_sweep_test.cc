// Fails every operation of an installation, an upgrade and an uninstallation
// in turn (before and after its Do), and interrupts each at every task
// boundary; every run that does not succeed must leave the machine as it
// found it.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/file_util.h"
#include "engine/engine_test_support.h"
#include "installer/settings.h"
#include "support/fault_injection.h"
#include "support/wait.h"
#include "system/task_scheduler.h"

namespace norva::installer {
namespace {

using test::EngineEnvironment;
using test::FaultInjector;
using test::MachineSnapshot;
using test::RecordingObserver;
using test::RunOptions;

const std::vector<std::wstring> kSwitches = {L"--allusers=0", L"--launchnorva=0"};

// Differences a failed run may leave: the installer's preference file of an
// existing installation is written outside the transaction and stays.
constexpr const char* kAllowedDifference = "installer_prefs.json";

bool TaskExists(const std::string& app_id) {
  std::unique_ptr<TaskScheduler> scheduler = CreateTaskScheduler();
  return scheduler->Init() &&
         scheduler->GetTaskState(L"Autoupdate " + std::wstring(app_id.begin(), app_id.end())) !=
             kTaskMissing;
}

class RollbackSweepTest : public testing::TestWithParam<int> {
 protected:
  std::filesystem::path Parent() { return env_.scratch() / L"installs (sweep) \u00e9"; }
  std::filesystem::path Folder() { return Parent() / L"Norva & co (x86)"; }

  // Puts the machine back to the state a swept run starts from.
  void Prepare() {
    // A finished uninstallation leaves its clean-up script running for a while.
    env_.WaitForCleanUpScripts();
    DeleteTree(Folder());
    test::RemoveProductTraces();
    if (GetParam() != kOperationInstall) {
      ASSERT_TRUE(env_.Run(Folder(), {kSwitches}).succeeded);
    }
  }

  RunOptions Options(RecordingObserver* observer) {
    RunOptions options{kSwitches};
    options.uninstall = GetParam() == kOperationUninstall;
    options.observer = observer;
    return options;
  }

  // Runs `attempt` (which returns false once it no longer reaches a failure
  // point) for positions 1, 2, ... and checks each failed run's leftovers.
  int Sweep(const char* what, const std::function<bool(int, RecordingObserver*)>& attempt) {
    int failed = 0;
    int position = 1;
    for (; position < 1000; ++position) {
      Prepare();
      if (HasFatalFailure()) return failed;
      MachineSnapshot before = MachineSnapshot::Take(Parent());
      RecordingObserver run;
      if (!attempt(position, &run)) break;
      if (run.succeeded) continue;  // a failure the run may ignore
      ++failed;
      EXPECT_EQ(test::WithoutAllowed(before.DifferencesTo(MachineSnapshot::Take(Parent())), {kAllowedDifference}), "")
          << what << " at position " << position;
      EXPECT_FALSE(TaskExists(env_.last_app_id())) << what << " at position " << position;
    }
    std::printf("[ sweep    ] operation %d, %s: %d positions, %d failed runs rolled back\n",
                GetParam(), what, position - 1, failed);
    return failed;
  }

  EngineEnvironment env_;
};

TEST_P(RollbackSweepTest, EveryFailedOperationRollsBack) {
  for (FaultInjector::Mode mode : {FaultInjector::Mode::kBeforeDo, FaultInjector::Mode::kAfterDo}) {
    int failed = Sweep(test::ModeName(mode), [&](int position, RecordingObserver* run) {
      FaultInjector injector(position, mode);
      *run = env_.Run(Folder(), Options(run));
      return injector.fired();
    });
    EXPECT_GT(failed, 0);
  }
}

TEST_P(RollbackSweepTest, EveryInterruptionRollsBack) {
  int failed = Sweep("interrupted", [&](int position, RecordingObserver* run) {
    HANDLE interrupted = env_.InterruptedEvent(Folder());
    run->on_step = [&](int step) {
      if (step != position) return;
      // The watcher's task must queue behind the next step.
      auto runner = ThreadTaskRunnerHandle::Get();
      const uint64_t posted = runner->PostCountForTesting();
      SetEvent(interrupted);
      EXPECT_TRUE(test::WaitUntil([&] { return runner->PostCountForTesting() > posted; }));
    };
    *run = env_.Run(Folder(), Options(run));
    ResetEvent(interrupted);
    EXPECT_EQ(std::count(run->events.begin(), run->events.end(), "failed"), 0);
    return !run->succeeded;
  });
  EXPECT_GT(failed, 0);
}

INSTANTIATE_TEST_SUITE_P(Operations, RollbackSweepTest,
                         testing::Values(kOperationInstall, kOperationUpgrade,
                                         kOperationUninstall),
                         [](const testing::TestParamInfo<int>& info) {
                           return std::string(info.param == kOperationInstall   ? "Install"
                                              : info.param == kOperationUpgrade ? "Upgrade"
                                                                                : "Uninstall");
                         });

}  // namespace
}  // namespace norva::installer
