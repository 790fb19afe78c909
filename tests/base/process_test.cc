#include "base/process.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace norva::installer
