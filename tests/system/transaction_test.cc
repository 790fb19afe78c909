#include "system/transactions/transaction.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/fault_injection.h"
#include "support/thread_violations.h"

namespace norva::installer {
namespace {

using Events = std::vector<std::string>;

// Records what the transaction does with it; may run one prerequisite.
class RecordingOperation : public Operation {
 public:
  RecordingOperation(std::string name, Events* events, bool succeeds = true,
                     std::unique_ptr<Operation> prerequisite = nullptr)
      : name_(std::move(name)),
        events_(events),
        succeeds_(succeeds),
        prerequisite_(std::move(prerequisite)) {}
  ~RecordingOperation() override { events_->push_back("~" + name_); }
  bool Do(Transaction* nested) override {
    events_->push_back("do " + name_);
    if (prerequisite_ && !nested->Execute(std::move(prerequisite_))) return false;
    return succeeds_;
  }
  void Undo() override { events_->push_back("undo " + name_); }

 private:
  std::string name_;
  Events* events_;
  bool succeeds_;
  std::unique_ptr<Operation> prerequisite_;
};

TEST(TransactionTest, PrerequisitesStandBeforeTheOperationThatNeededThem) {
  Events events;
  {
    Transaction transaction;
    ASSERT_TRUE(transaction.Execute(std::make_unique<RecordingOperation>("a", &events)));
    auto inner = std::make_unique<RecordingOperation>("c", &events);
    auto middle = std::make_unique<RecordingOperation>("b", &events, true, std::move(inner));
    ASSERT_TRUE(transaction.Execute(
        std::make_unique<RecordingOperation>("d", &events, true, std::move(middle))));
    EXPECT_EQ(4u, transaction.size());
    events.clear();
    transaction.Rollback();
    EXPECT_TRUE(transaction.empty());
  }
  // Undo last to first (d, then its prerequisites b and c), destroy first to last.
  EXPECT_EQ((Events{"undo d", "undo b", "undo c", "undo a", "~a", "~c", "~b", "~d"}), events);
}

TEST(TransactionTest, FailedDoIsUndoneThenItsPrerequisitesRolledBackThenDestroyed) {
  Events events;
  Transaction transaction;
  auto prerequisite = std::make_unique<RecordingOperation>("p", &events);
  EXPECT_FALSE(transaction.Execute(
      std::make_unique<RecordingOperation>("o", &events, false, std::move(prerequisite))));
  EXPECT_EQ((Events{"do o", "do p", "undo o", "undo p", "~p", "~o"}), events);
  EXPECT_TRUE(transaction.empty());
}

TEST(TransactionTest, UseFromASecondThreadIsCaught) {
  test::ThreadViolationRecorder recorder;
  Events events;
  Transaction transaction;
  ASSERT_TRUE(transaction.Execute(std::make_unique<RecordingOperation>("a", &events)));
  test::RunOnAnotherThread([&transaction] { transaction.Rollback(); });
  EXPECT_EQ(recorder.violations().size(), 1u);
}

TEST(TransactionTest, CommitAndDestructionDestroyInExecutionOrder) {
  Events events;
  {
    Transaction transaction;
    transaction.Execute(std::make_unique<RecordingOperation>("a", &events));
    transaction.Execute(std::make_unique<RecordingOperation>("b", &events));
    transaction.Commit();
    EXPECT_TRUE(transaction.empty());
    transaction.Execute(std::make_unique<RecordingOperation>("c", &events));
  }
  EXPECT_EQ((Events{"do a", "do b", "~a", "~b", "do c", "~c"}), events);
}

TEST(TransactionTest, FaultInjectorCountsNestedOperationsAndFailsTheKth) {
  Events events;
  {
    test::FaultInjector injector(2, test::FaultInjector::Mode::kAfterDo);
    Transaction transaction;
    auto prerequisite = std::make_unique<RecordingOperation>("p", &events);
    EXPECT_FALSE(transaction.Execute(
        std::make_unique<RecordingOperation>("o", &events, true, std::move(prerequisite))));
    EXPECT_TRUE(injector.fired());
    EXPECT_EQ(2, injector.executed());
  }
  // The prerequisite (second to execute) ran and was undone; so was its owner.
  EXPECT_EQ((Events{"do o", "do p", "undo p", "~p", "undo o", "~o"}), events);

  events.clear();
  {
    test::FaultInjector injector(1, test::FaultInjector::Mode::kBeforeDo);
    Transaction transaction;
    EXPECT_FALSE(transaction.Execute(std::make_unique<RecordingOperation>("x", &events)));
  }
  EXPECT_EQ((Events{"undo x", "~x"}), events);
}

}  // namespace
}  // namespace norva::installer
