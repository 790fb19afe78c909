#include "base/logging.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "support/scratch.h"

namespace norva::installer {
namespace {

TEST(LoggingTest, LinesNameTheirSource) {
  test::ScratchFolder scratch;
  auto path = scratch.path() / L"norva_installer_20261205044802.log";
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
  EXPECT_NE(text.find(":INFO:logging_test.cc("), std::string::npos) << text;
  EXPECT_NE(text.find("] wide caf\xC3\xA9 42\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find(":VERBOSE1:logging_test.cc("), std::string::npos);
  EXPECT_EQ(text.find("verbose two"), std::string::npos);
  EXPECT_NE(text.find("] Could not open: "), std::string::npos);
  EXPECT_NE(text.find("(0x5)"), std::string::npos);
}

// Runs started in the same second share the name: the log of one still
// being written, or one left over, keeps its text and the new run gets a
// name of its own.
TEST(LoggingTest, ANameTakenAlreadyGetsANumber) {
  struct Case {
    std::vector<const wchar_t*> taken;
    const wchar_t* expected;
  } cases[] = {
      {{}, L"n.log"},
      {{L"n.log"}, L"n_1.log"},
      {{L"n.log", L"n_1.log"}, L"n_2.log"},
      {{L"n_1.log"}, L"n.log"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    test::ScratchFolder scratch;
    for (const wchar_t* name : c.taken) test::WriteFile(scratch.path() / name, "other run");
    // The first one is open as another run keeps its log.
    HANDLE in_use = c.taken.empty()
                        ? INVALID_HANDLE_VALUE
                        : CreateFileW((scratch.path() / c.taken[0]).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_TRUE(logging::InitLogFile(scratch.path() / L"n.log"));
    EXPECT_EQ(logging::GetLogFilePath(), scratch.path() / c.expected);
    LOG(INFO) << "this run";
    logging::CloseLogFile();
    if (in_use != INVALID_HANDLE_VALUE) CloseHandle(in_use);
    for (const wchar_t* name : c.taken)
      EXPECT_EQ(test::ReadFile(scratch.path() / name), "other run");
    EXPECT_NE(test::ReadFile(scratch.path() / c.expected).find("] this run"), std::string::npos);
  }
}

}  // namespace
}  // namespace norva::installer
