#include <gtest/gtest.h>

#include "installer/support/installer_process.h"

namespace norva::installer::test {
namespace {

TEST(InstallerMainTest, VersionSwitchesPrintWithoutNewline) {
  struct Case {
    const wchar_t* arguments;
    const char* expected;
  } cases[] = {
      {L"--version", "37.0.2163.0"},
      {L"--internal-version", "2163.0"},
      {L"--stream", "developer"},
      {L"--version --help", "37.0.2163.0"},
      {L"/STREAM", "developer"},
  };
  for (const Case& c : cases) {
    ProcessResult run = RunProcess(BuiltInstallerPath(), c.arguments);
    ASSERT_TRUE(run.started) << c.arguments;
    ASSERT_TRUE(run.finished) << c.arguments;
    EXPECT_EQ(run.exit_code, 0u) << c.arguments;
    EXPECT_EQ(run.output, c.expected) << c.arguments;
  }
}

}  // namespace
}  // namespace norva::installer::test
