#include "base/handle_watcher.h"

#include <gtest/gtest.h>

#include "base/process.h"
#include "base/scoped_handle.h"
#include "base/task_loop.h"
#include "base/thread.h"
#include "support/wait.h"

namespace norva::installer {
namespace {

using std::chrono::milliseconds;

class RecordingDelegate : public HandleWatcher::Delegate {
 public:
  void OnHandleSignaled(HANDLE handle) override {
    ++calls;
    this->handle = handle;
    thread = GetCurrentThreadId();
    if (then) then();
  }
  int calls = 0;
  HANDLE handle = nullptr;
  DWORD thread = 0;
  std::function<void()> then;
};

ScopedHandle NewEvent(bool signaled = false) {
  return ScopedHandle(CreateEventW(nullptr, TRUE, signaled, nullptr));
}

TEST(HandleWatcherTest, CallsTheDelegateOnceOnTheOwnerThread) {
  TaskLoop loop;
  ScopedHandle event = NewEvent();
  HandleWatcher watcher;
  RecordingDelegate delegate;
  delegate.then = [&] { loop.Quit(); };
  ASSERT_TRUE(watcher.StartWatching(event.get(), &delegate));
  EXPECT_TRUE(watcher.IsWatching());
  EXPECT_FALSE(watcher.StartWatching(event.get(), &delegate));

  Thread signaller("Signaller");
  ASSERT_TRUE(signaller.Start());
  HANDLE handle = event.get();
  signaller.task_runner()->PostDelayedTask(FROM_HERE, [handle] { SetEvent(handle); },
                                           milliseconds(20));
  loop.Run();
  EXPECT_EQ(delegate.calls, 1);
  EXPECT_EQ(delegate.handle, event.get());
  EXPECT_EQ(delegate.thread, GetCurrentThreadId());
  EXPECT_FALSE(watcher.IsWatching());

  // The event stays signalled, yet the watcher has done its one call.
  loop.task_runner()->PostDelayedTask(FROM_HERE, [&] { loop.Quit(); }, milliseconds(100));
  loop.Run();
  EXPECT_EQ(delegate.calls, 1);
}

TEST(HandleWatcherTest, NoCallOnceStoppedOrDestroyed) {
  TaskLoop loop;
  ScopedHandle signaled = NewEvent(true);
  RecordingDelegate delegate;

  const uint64_t posted = loop.task_runner()->PostCountForTesting();
  HandleWatcher stopped;
  ASSERT_TRUE(stopped.StartWatching(signaled.get(), &delegate));
  auto destroyed = std::make_unique<HandleWatcher>();
  ASSERT_TRUE(destroyed->StartWatching(signaled.get(), &delegate));
  // The wait threads have posted their notices to this loop before the stop.
  ASSERT_TRUE(test::WaitUntil([&] { return loop.task_runner()->PostCountForTesting() >= posted + 2; }));
  stopped.StopWatching();
  destroyed.reset();
  EXPECT_FALSE(stopped.IsWatching());
  loop.task_runner()->PostDelayedTask(FROM_HERE, [&] { loop.Quit(); }, milliseconds(50));
  loop.Run();
  EXPECT_EQ(delegate.calls, 0);

  // A stopped watcher can watch again.
  ASSERT_TRUE(stopped.StartWatching(signaled.get(), &delegate));
  delegate.then = [&] { loop.Quit(); };
  loop.Run();
  EXPECT_EQ(delegate.calls, 1);
}

TEST(HandleWatcherTest, WatchesAProcessAndTheDelegateMayWatchAgain) {
  TaskLoop loop;
  Process child = LaunchProcess(L"cmd.exe /c exit 3");
  ASSERT_TRUE(child.IsValid());
  ScopedHandle second = NewEvent();
  HandleWatcher watcher;
  RecordingDelegate delegate;
  delegate.then = [&] {
    if (delegate.calls == 1) {
      EXPECT_TRUE(watcher.StartWatching(second.get(), &delegate));
      SetEvent(second.get());
    } else {
      loop.Quit();
    }
  };
  ASSERT_TRUE(watcher.StartWatching(child.handle(), &delegate));
  loop.Run();
  EXPECT_EQ(delegate.calls, 2);
  EXPECT_EQ(delegate.handle, second.get());
  DWORD code = 0;
  EXPECT_TRUE(child.WaitForExit(0, &code));
  EXPECT_EQ(code, 3u);
}

TEST(HandleWatcherTest, NeedsATaskLoop) {
  ScopedHandle event = NewEvent();
  RecordingDelegate delegate;
  HandleWatcher watcher;
  EXPECT_FALSE(watcher.StartWatching(event.get(), &delegate));
  EXPECT_FALSE(watcher.IsWatching());
}

}  // namespace
}  // namespace norva::installer
