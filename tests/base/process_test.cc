#include "base/process.h"

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "base/command_line.h"
#include "base/file_util.h"
#include "support/scratch.h"
#include "support/wait.h"

namespace norva::installer {
namespace {

TEST(ProcessTest, ExitCodeAndRedirectedOutputOfAChild) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, &inherit, 0));
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  LaunchOptions options;
  options.stdout_handle = write_end;
  Process child = LaunchProcess(L"cmd.exe /c echo hello& exit 7", options);
  CloseHandle(write_end);
  ASSERT_TRUE(child.IsValid());
  DWORD code = 0;
  ASSERT_TRUE(child.WaitForExit(30000, &code));
  EXPECT_EQ(code, 7u);
  char buffer[64] = {};
  DWORD got = 0;
  ReadFile(read_end, buffer, sizeof(buffer) - 1, &got, nullptr);
  CloseHandle(read_end);
  EXPECT_EQ(std::string(buffer, got).substr(0, 5), "hello");
}

TEST(ProcessTest, MissingProgramIsAnInvalidProcess) {
  Process child = LaunchProcess(L"C:\\no\\such\\program.exe");
  EXPECT_FALSE(child.IsValid());
  DWORD code = 0;
  EXPECT_FALSE(LaunchProcessAndWait(L"C:\\no\\such\\program.exe", &code));
}

// A scanner holding a just-written program for a moment must not fail the
// start of that program.
TEST(ProcessTest, StartOutlastsABriefLockOnTheProgram) {
  test::ScratchFolder scratch;
  const std::filesystem::path program = scratch.path() / L"child (copy) é.exe";
  std::filesystem::copy_file(
      std::filesystem::path(GetExecutablePath().parent_path().native()) / L"test_holder.exe", program);
  HANDLE lock = CreateFileW(program.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  test::LogCapture log;
  std::thread scanner([&] {
    test::WaitUntil([&] { return log.Contains("retrying"); });
    CloseHandle(lock);
  });
  const std::wstring held = (scratch.path() / L"held").native();
  test::WriteFile(held, "x");
  ScopedHandle ready(CreateEventW(nullptr, TRUE, FALSE, L"norva_process_test"));
  ScopedHandle release(CreateEventW(nullptr, TRUE, FALSE, L"norva_process_test_release"));
  DWORD code = 99;
  bool ran = LaunchProcessAndWait(QuoteArgument(program.native()) + L" file " +
                                      QuoteArgument(held) + L" norva_process_test 0 0",
                                  &code);
  scanner.join();
  EXPECT_TRUE(ran);
  EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace norva::installer
