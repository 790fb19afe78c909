#ifndef NORVA_TESTS_PACKAGE_PACKAGE_TEST_FILES_H_
#define NORVA_TESTS_PACKAGE_PACKAGE_TEST_FILES_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/scratch.h"

namespace norva::installer::test {

// A file made by package_fixtures.sh (the ctest fixture) beside the test
// executable.
std::filesystem::path FixtureFile(const std::string& name);
// A program built beside the test executable.
std::filesystem::path BuiltProgram(const std::wstring& name);

// An executable trailer: "NVR", `payload`, its length (little-endian).
std::string Trailer(const std::string& payload);

// A test with its own scratch folder to write files into.
class ScratchFileTest : public testing::Test {
 protected:
  // Writes `bytes` to `name` in the scratch folder.
  std::filesystem::path Write(const std::string& name, const std::string& bytes);

  ScratchFolder scratch_;
};

}  // namespace norva::installer::test

#endif  // NORVA_TESTS_PACKAGE_PACKAGE_TEST_FILES_H_
