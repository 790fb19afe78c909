#include "base/task_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "base/scoped_handle.h"
#include "base/thread.h"
#include "support/wait.h"

namespace norva::installer {
namespace {

using std::chrono::milliseconds;

TEST(TaskLoopTest, ImmediateTasksFirstThenDelayedOnesByDueTime) {
  TaskLoop loop;
  auto runner = loop.task_runner();
  std::vector<int> order;
  auto start = std::chrono::steady_clock::now();
  runner->PostDelayedTask(FROM_HERE, [&] { order.push_back(30); }, milliseconds(30));
  runner->PostDelayedTask(FROM_HERE, [&] { order.push_back(10); }, milliseconds(10));
  runner->PostDelayedTask(FROM_HERE, [&] { order.push_back(11); }, milliseconds(10));
  runner->PostDelayedTask(FROM_HERE, [&] { order.push_back(60); loop.Quit(); }, milliseconds(60));
  runner->PostTask(FROM_HERE, [&] { order.push_back(1); });
  runner->PostTask(FROM_HERE, [&] { order.push_back(2); });
  loop.Run();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 10, 11, 30, 60}));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(55));
  EXPECT_EQ(TaskLoop::Current(), &loop);
  EXPECT_EQ(ThreadTaskRunnerHandle::Get(), runner);
  EXPECT_TRUE(runner->RunsTasksOnCurrentThread());
}

TEST(TaskLoopTest, NeitherKindOfTaskStarvesTheOther) {
  TaskLoop loop;
  auto runner = loop.task_runner();
  // A delayed task that is always due again when it returns, and a chain of
  // immediate tasks that each post the next.
  // The chain starts from the first delayed run, so it meets a delayed task
  // that is already due.
  int delayed_runs = 0, chain_length = 0;
  std::function<void()> chain = [&] {
    if (++chain_length == 20) return loop.Quit();
    runner->PostTask(FROM_HERE, chain);
  };
  std::function<void()> delayed = [&] {
    if (delayed_runs == 0) runner->PostTask(FROM_HERE, chain);
    Sleep(2);  // the work of the task: it outlasts its own delay
    if (++delayed_runs < 1000 && chain_length < 20) runner->PostDelayedTask(FROM_HERE, delayed, milliseconds(1));
  };
  runner->PostDelayedTask(FROM_HERE, delayed, milliseconds(1));
  loop.Run();
  EXPECT_EQ(chain_length, 20);
  EXPECT_LT(delayed_runs, 100);

  // An endless chain of immediate tasks does not hold back a due delayed one.
  int endless = 0;
  bool delayed_ran = false;
  std::function<void()> forever = [&] {
    if (++endless < 1000000 && !delayed_ran) runner->PostTask(FROM_HERE, forever);
  };
  runner->PostDelayedTask(FROM_HERE, [&] { delayed_ran = true; }, milliseconds(20));
  runner->PostTask(FROM_HERE, forever);
  loop.RunUntilIdle();
  EXPECT_TRUE(delayed_ran);
  EXPECT_LT(endless, 1000000);
}

TEST(TaskLoopTest, RunUntilIdleQuitWhenIdleAndEarlyQuit) {
  TaskLoop loop;
  auto runner = loop.task_runner();
  std::vector<std::string> ran;
  runner->PostTask(FROM_HERE, [&] {
    ran.push_back("a");
    runner->PostTask(FROM_HERE, [&] { ran.push_back("posted by a"); });
  });
  runner->PostDelayedTask(FROM_HERE, [&] { ran.push_back("later"); }, milliseconds(50));
  loop.RunUntilIdle();
  EXPECT_EQ(ran, (std::vector<std::string>{"a", "posted by a"}));

  loop.QuitWhenIdle();
  loop.Run();  // returns without waiting for the delayed task
  EXPECT_EQ(ran.size(), 2u);

  loop.Quit();
  runner->PostTask(FROM_HERE, [&] { ran.push_back("b"); });
  loop.Run();  // quit before run: nothing runs
  EXPECT_EQ(ran.size(), 2u);
  // The delayed task runs in the first RunUntilIdle after it is due.
  test::RunLoopUntil(&loop, [&] { return ran.size() > 3; }, milliseconds(5000));
  EXPECT_EQ(ran, (std::vector<std::string>{"a", "posted by a", "b", "later"}));
}

TEST(TaskLoopTest, RunnerOutlivingItsLoopRefusesTasksAndDestroysThem) {
  auto sentinel = std::make_shared<int>(0);
  std::shared_ptr<TaskRunner> runner;
  {
    TaskLoop loop;
    runner = loop.task_runner();
    EXPECT_TRUE(runner->PostTask(FROM_HERE, [sentinel] {}));
    EXPECT_TRUE(runner->PostDelayedTask(FROM_HERE, [sentinel] {}, milliseconds(1000)));
    loop.RunUntilIdle();
  }
  EXPECT_EQ(sentinel.use_count(), 1);  // the pending delayed task went with the loop
  EXPECT_FALSE(runner->PostTask(FROM_HERE, [sentinel] {}));
  EXPECT_EQ(sentinel.use_count(), 1);
  EXPECT_FALSE(runner->PostTask(FROM_HERE, nullptr));
  EXPECT_EQ(TaskLoop::Current(), nullptr);
  EXPECT_EQ(ThreadTaskRunnerHandle::Get(), nullptr);
}

TEST(ThreadTest, RepliesArriveOnThePostingThread) {
  TaskLoop loop;
  Thread worker("Reply worker");
  ASSERT_TRUE(worker.Start());
  EXPECT_FALSE(worker.Start());
  auto runner = worker.task_runner();
  EXPECT_FALSE(runner->RunsTasksOnCurrentThread());

  DWORD task_thread = 0, reply_thread = 0;
  bool task_runs_there = false;
  ASSERT_TRUE(runner->PostTaskAndReply(
      FROM_HERE,
      [&] {
        task_thread = GetCurrentThreadId();
        task_runs_there = runner->RunsTasksOnCurrentThread();
      },
      [&] {
        reply_thread = GetCurrentThreadId();
        loop.Quit();
      }));
  loop.Run();
  EXPECT_EQ(task_thread, worker.thread_id());
  EXPECT_TRUE(task_runs_there);
  EXPECT_EQ(reply_thread, GetCurrentThreadId());

  std::string result;
  ASSERT_TRUE(runner->PostTaskAndReplyWithResult(
      FROM_HERE, [] { return std::to_string(GetCurrentThreadId()); },
      [&](std::string value) {
        result = value;
        loop.Quit();
      }));
  loop.Run();
  EXPECT_EQ(result, std::to_string(worker.thread_id()));
}

TEST(ThreadTest, ThreadIsNamedForDebuggers) {
  using GetThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  auto get_description = reinterpret_cast<GetThreadDescriptionFunction>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
  if (!get_description) GTEST_SKIP() << "GetThreadDescription is not available";
  Thread worker("Installer IPC thread");
  ASSERT_TRUE(worker.Start(TaskLoop::Type::kIO));
  std::wstring name;
  worker.task_runner()->PostTask(FROM_HERE, [&] {
    wchar_t* description = nullptr;
    if (SUCCEEDED(get_description(GetCurrentThread(), &description))) name = description;
    LocalFree(description);
  });
  worker.Stop();
  EXPECT_EQ(name, L"Installer IPC thread");
}

TEST(ThreadTest, StopRunsWhatWasPostedThenRefusesTasks) {
  Thread worker("Stopping worker");
  ASSERT_TRUE(worker.Start());
  auto runner = worker.task_runner();
  auto sentinel = std::make_shared<int>(0);
  std::atomic<int> ran{0};
  std::atomic<bool> post_from_last_task{true};
  // The first task is still running when Stop is called.
  runner->PostTask(FROM_HERE, [&, runner] {
    EXPECT_TRUE(test::WaitUntil([&] { return !runner->PostTask(FROM_HERE, [] {}); }));
    ++ran;
  });
  runner->PostTask(FROM_HERE, [&, runner] {
    ++ran;
    post_from_last_task = runner->PostTask(FROM_HERE, [&] { ran += 100; });
  });
  runner->PostDelayedTask(FROM_HERE, [&, sentinel] { ran += 1000; }, milliseconds(10000));
  worker.Stop();
  EXPECT_EQ(ran, 2);
  EXPECT_FALSE(post_from_last_task);
  EXPECT_EQ(sentinel.use_count(), 1);
  EXPECT_FALSE(worker.IsRunning());
  EXPECT_FALSE(runner->PostTask(FROM_HERE, [&] { ++ran; }));
  EXPECT_FALSE(runner->PostTaskAndReply(FROM_HERE, [] {}, [] {}));  // no loop here either
  worker.Stop();  // twice is harmless
}

TEST(ThreadTest, ReplyToAThreadThatStoppedIsDropped) {
  auto poster = std::make_unique<Thread>("Poster");
  Thread worker("Slow worker");
  ASSERT_TRUE(poster->Start());
  ASSERT_TRUE(worker.Start());
  ScopedHandle task_started(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ScopedHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<bool> replied{false};
  auto worker_runner = worker.task_runner();
  poster->task_runner()->PostTask(FROM_HERE, [&] {
    worker_runner->PostTaskAndReply(
        FROM_HERE,
        [&] {
          SetEvent(task_started.get());
          WaitForSingleObject(release.get(), 5000);
        },
        [&] { replied = true; });
  });
  ASSERT_EQ(WaitForSingleObject(task_started.get(), 5000), WAIT_OBJECT_0);
  poster.reset();
  SetEvent(release.get());
  worker.Stop();
  EXPECT_FALSE(replied);
}

// The window procedure of the UI loop test records what reached it.
std::vector<UINT>* g_window_messages = nullptr;

LRESULT CALLBACK RecordingWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message >= WM_APP && g_window_messages) g_window_messages->push_back(message);
  if (message == WM_APP + 3) TaskLoop::Current()->Quit();
  return DefWindowProcW(window, message, wparam, lparam);
}

class SwallowingDispatcher : public DialogDispatcher {
 public:
  bool Dispatch(MSG* message) override {
    if (message->message >= WM_APP) seen.push_back(message->message);
    return message->message == WM_APP + 2;
  }
  std::vector<UINT> seen;
};

TEST(TaskLoopTest, UILoopShowsMessagesToTheDispatcherFirst) {
  TaskLoop loop(TaskLoop::Type::kUI);
  std::vector<UINT> window_messages;
  g_window_messages = &window_messages;
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = RecordingWindowProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = L"NorvaTaskLoopTest";
  RegisterClassW(&window_class);
  HWND window = CreateWindowExW(0, window_class.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                nullptr, window_class.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  SwallowingDispatcher dispatcher;
  loop.SetDialogDispatcher(&dispatcher);

  PostMessageW(window, WM_APP + 1, 0, 0);
  PostMessageW(window, WM_APP + 2, 0, 0);
  // A task posted from another thread wakes the loop out of its message wait.
  Thread other("UI poster");
  ASSERT_TRUE(other.Start());
  auto ui_runner = loop.task_runner();
  other.task_runner()->PostDelayedTask(
      FROM_HERE,
      [ui_runner, window] {
        ui_runner->PostTask(FROM_HERE, [window] { PostMessageW(window, WM_APP + 3, 0, 0); });
      },
      milliseconds(30));
  loop.Run();
  EXPECT_EQ(dispatcher.seen, (std::vector<UINT>{WM_APP + 1, WM_APP + 2, WM_APP + 3}));
  EXPECT_EQ(window_messages, (std::vector<UINT>{WM_APP + 1, WM_APP + 3}));

  // WM_QUIT ends the loop too.
  loop.task_runner()->PostTask(FROM_HERE, [] { PostQuitMessage(0); });
  loop.Run();
  loop.SetDialogDispatcher(nullptr);
  DestroyWindow(window);
  UnregisterClassW(window_class.lpszClassName, window_class.hInstance);
  g_window_messages = nullptr;
}

// Accepts one client on a pipe, then reads one message from it.
class PipeReader : public IOHandler {
 public:
  explicit PipeReader(HANDLE pipe) : pipe_(pipe) {}
  bool Listen() {
    return !ConnectNamedPipe(pipe_, &connect) && GetLastError() == ERROR_IO_PENDING;
  }
  void OnIOCompleted(OVERLAPPED* overlapped, DWORD bytes, DWORD error) override {
    threads.push_back(GetCurrentThreadId());
    errors.push_back(error);
    if (overlapped == &connect) {
      // A read that completes at once still reports through the port.
      read_started = ReadFile(pipe_, buffer, sizeof(buffer), nullptr, &read) ||
                     GetLastError() == ERROR_IO_PENDING;
      return;
    }
    EXPECT_EQ(overlapped, &read);
    text.assign(buffer, bytes);
    TaskLoop::Current()->Quit();
  }
  OVERLAPPED connect{};
  OVERLAPPED read{};
  char buffer[2048];
  bool read_started = false;
  std::vector<DWORD> errors;
  std::vector<DWORD> threads;
  std::string text;

 private:
  HANDLE pipe_;
};

TEST(TaskLoopTest, IOLoopDeliversCompletionsOnItsThread) {
  TaskLoop loop(TaskLoop::Type::kIO);
  ASSERT_NE(loop.io_completion_port(), nullptr);
  std::wstring name =
      L"\\\\.\\pipe\\norva_task_loop_test_" + std::to_wstring(GetCurrentProcessId());
  HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0,
                                 2048, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
  PipeReader reader(pipe);
  ASSERT_TRUE(loop.RegisterIOHandler(pipe, &reader));
  ASSERT_TRUE(reader.Listen());

  // The writer comes later, so the loop is asleep on the port when both the
  // completions and the writer's wake-up task arrive.
  Thread writer("Pipe writer");
  ASSERT_TRUE(writer.Start());
  auto io_runner = loop.task_runner();
  bool woken = false;
  writer.task_runner()->PostDelayedTask(
      FROM_HERE,
      [name, io_runner, &woken] {
        io_runner->PostTask(FROM_HERE, [&woken] { woken = true; });
        HANDLE client = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
        DWORD written = 0;
        WriteFile(client, "datagram", 8, &written, nullptr);
        CloseHandle(client);
      },
      milliseconds(30));
  loop.Run();
  EXPECT_TRUE(woken);
  EXPECT_EQ(reader.text, "datagram");
  EXPECT_TRUE(reader.read_started);
  EXPECT_EQ(reader.errors, (std::vector<DWORD>{0, 0}));
  EXPECT_EQ(reader.threads, (std::vector<DWORD>(2, GetCurrentThreadId())));
  CloseHandle(pipe);

  TaskLoop not_io;
  EXPECT_FALSE(not_io.RegisterIOHandler(pipe, &reader));
}

}  // namespace
}  // namespace norva::installer
