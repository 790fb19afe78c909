#include "base/logging.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "support/scratch.h"

namespace norva::installer {
namespace {

TEST(LoggingTest, LinesNameTheirSourceAndReplaceAnOldFile) {
  test::ScratchFolder scratch;
  auto path = scratch.path() / L"norva_installer_20261205044802.log";
  test::WriteFile(path, "left over from an earlier run\n");
  ASSERT_TRUE(logging::InitLogFile(path));
  logging::SetMinLevel(logging::kVerbose1);
  LOG(INFO) << "wide " << L"caf\x00e9" << ' ' << 42;
  VLOG(1) << "verbose one";
  VLOG(2) << "verbose two is off";
  SetLastError(ERROR_ACCESS_DENIED);
  PLOG(ERROR) << "Could not open";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  logging::CloseLogFile();
  logging::SetMinLevel(logging::kInfo);

  std::string text = test::ReadFile(path);
  EXPECT_EQ(text.find("left over"), std::string::npos);
  EXPECT_NE(text.find(":INFO:logging_test.cc("), std::string::npos) << text;
  EXPECT_NE(text.find("] wide caf\xC3\xA9 42\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find(":VERBOSE1:logging_test.cc("), std::string::npos);
  EXPECT_EQ(text.find("verbose two"), std::string::npos);
  EXPECT_NE(text.find("] Could not open: "), std::string::npos);
  EXPECT_NE(text.find("(0x5)"), std::string::npos);
}

}  // namespace
}  // namespace norva::installer
