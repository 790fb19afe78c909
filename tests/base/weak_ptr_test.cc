#include "base/weak_ptr.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/at_exit.h"
#include "base/task_loop.h"
#include "support/scratch.h"

namespace norva::installer {
namespace {

class Base {
 public:
  virtual ~Base() = default;
  std::vector<std::string> calls;
};

class Owner : public Base {
 public:
  void Record(std::string text, int number) { calls.push_back(text + std::to_string(number)); }
  WeakPtr<Owner> GetWeakPtr() { return weak_factory_.GetWeakPtr(); }
  WeakPtrFactory<Owner>& factory() { return weak_factory_; }

 private:
  WeakPtrFactory<Owner> weak_factory_{this};
};

TEST(WeakPtrTest, TurnsNullWhenInvalidatedOrWhenTheOwnerGoes) {
  auto owner = std::make_unique<Owner>();
  EXPECT_FALSE(owner->factory().HasWeakPtrs());
  WeakPtr<Owner> first = owner->GetWeakPtr();
  WeakPtr<Base> as_base = first;
  EXPECT_TRUE(owner->factory().HasWeakPtrs());
  EXPECT_EQ(first.get(), owner.get());
  EXPECT_EQ(as_base.get(), owner.get());

  owner->factory().InvalidateWeakPtrs();
  EXPECT_FALSE(first);
  EXPECT_FALSE(as_base);
  EXPECT_FALSE(owner->factory().HasWeakPtrs());

  WeakPtr<Owner> second = owner->GetWeakPtr();
  WeakPtr<Owner> copy = second;
  EXPECT_EQ(copy.get(), owner.get());
  owner.reset();
  EXPECT_EQ(second.get(), nullptr);
  EXPECT_EQ(copy.get(), nullptr);
  EXPECT_EQ(WeakPtr<Owner>().get(), nullptr);
}

TEST(WeakPtrTest, BoundTaskDoesNothingOnceItsObjectIsGone) {
  TaskLoop loop;
  auto runner = loop.task_runner();
  Owner kept;
  auto dropped = std::make_unique<Owner>();
  Owner invalidated;
  runner->PostTask(FROM_HERE, BindWeak(kept.GetWeakPtr(), &Owner::Record, std::string("kept"), 1));
  runner->PostTask(FROM_HERE, BindWeak(dropped->GetWeakPtr(), &Owner::Record, std::string("x"), 2));
  runner->PostTask(FROM_HERE, BindWeak(invalidated.GetWeakPtr(), &Owner::Record, std::string("y"), 3));
  dropped.reset();
  invalidated.factory().InvalidateWeakPtrs();
  loop.RunUntilIdle();
  EXPECT_EQ(kept.calls, std::vector<std::string>{"kept1"});
  EXPECT_TRUE(invalidated.calls.empty());
}

TEST(AtExitManagerTest, RunsCallbacksInReverseAndNestedManagersShadow) {
  std::vector<int> order;
  {
    AtExitManager outer;
    AtExitManager::RegisterCallback([&] { order.push_back(1); });
    {
      AtExitManager inner;
      AtExitManager::RegisterCallback([&] { order.push_back(10); });
      AtExitManager::RegisterCallback([&] {
        order.push_back(11);
        AtExitManager::RegisterCallback([&] { order.push_back(12); });
      });
    }
    EXPECT_EQ(order, (std::vector<int>{11, 10, 12}));
    AtExitManager::RegisterCallback([&] { order.push_back(2); });
  }
  EXPECT_EQ(order, (std::vector<int>{11, 10, 12, 2, 1}));

  test::LogCapture log;
  AtExitManager::RegisterCallback([&] { order.push_back(99); });
  AtExitManager::ProcessCallbacksNow();
  EXPECT_EQ(order.size(), 5u);
  EXPECT_TRUE(log.Contains("without an AtExitManager"));
}

}  // namespace
}  // namespace norva::installer
