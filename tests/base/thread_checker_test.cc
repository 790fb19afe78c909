#include "base/thread_checker.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/thread_violations.h"

namespace norva::installer {
namespace {

using test::RunOnAnotherThread;
using test::ThreadViolationRecorder;

class Owned {
 public:
  static constexpr int kTouchLine = __LINE__ + 1;
  void Touch() { NORVA_DCHECK_CALLED_ON_VALID_THREAD(checker_); }
  static std::string TouchPlace() {
    return std::string(__FILE__) + ":" + std::to_string(kTouchLine);
  }
  void HandOver() { checker_.DetachFromThread(); }

 private:
  ThreadChecker checker_;
};

TEST(ThreadCheckerTest, ACallFromAnotherThreadIsCaughtWhereItWasChecked) {
  ThreadViolationRecorder recorder;
  Owned owned;
  owned.Touch();
  owned.Touch();
  EXPECT_TRUE(recorder.violations().empty());
  RunOnAnotherThread([&owned] { owned.Touch(); });
  EXPECT_EQ(recorder.violations(), std::vector<std::string>{Owned::TouchPlace()});
}

TEST(ThreadCheckerTest, TheFirstCheckBindsAndDetachingHandsOver) {
  ThreadViolationRecorder recorder;
  Owned made_here;
  RunOnAnotherThread([&made_here] { made_here.Touch(); });  // made here, used there
  EXPECT_TRUE(recorder.violations().empty());
  made_here.Touch();
  EXPECT_EQ(recorder.violations().size(), 1u);

  made_here.HandOver();
  made_here.Touch();
  EXPECT_EQ(recorder.violations().size(), 1u);
}

// The shipped installer installs no handler.
TEST(ThreadCheckerTest, WithoutAHandlerChecksNeitherReportNorBind) {
  ThreadViolationRecorder recorder;
  ThreadViolationHandler recording = SetThreadViolationHandler(nullptr);
  EXPECT_FALSE(AreThreadChecksEnabled());
  Owned owned;
  owned.Touch();
  RunOnAnotherThread([&owned] { owned.Touch(); });
  SetThreadViolationHandler(recording);
  RunOnAnotherThread([&owned] { owned.Touch(); });  // binds now, to that thread
  EXPECT_TRUE(recorder.violations().empty());
}

// Every test executable's main installs a handler that fails the running
// test, whichever thread the call came from.
TEST(ThreadCheckerTest, InTheTestsAViolationFailsTheTest) {
  EXPECT_TRUE(AreThreadChecksEnabled());
  Owned owned;
  owned.Touch();
  EXPECT_NONFATAL_FAILURE_ON_ALL_THREADS(RunOnAnotherThread([&owned] { owned.Touch(); }),
                                         "Called on the wrong thread");
}

}  // namespace
}  // namespace norva::installer
