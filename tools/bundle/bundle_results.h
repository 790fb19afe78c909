// The part of run_tests.exe (bundle_runner.cc) that needs no process or
// file: the plan of a Windows test bundle (scripts/windows-bundle writes it
// from CTest's tests), what of each entry the bundle cannot run, the test
// lists and XML reports of the gtest programs, and the merged JUnit report.
#ifndef NORVA_TOOLS_BUNDLE_BUNDLE_RESULTS_H_
#define NORVA_TOOLS_BUNDLE_BUNDLE_RESULTS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace norva::installer::bundle {

// One CTest entry of the bundle's plan (tests.txt), in this form:
//   test NAME            or  setup NAME (makes a fixture, tests nothing)
//   program bin/x.exe    the Windows program it runs, bundle-relative
//   arg ARGUMENT         one line per argument
//   env NAME=VALUE       "{bundle}" in VALUE stands for the bundle's folder
//   fixture NAME         a CTest fixture it needs
//   timeout SECONDS
//   command TEXT         CTest's command, for an entry without a program
//   note TEXT            for a setup: what became of it
struct PlanEntry {
  std::string name;
  bool setup = false;
  std::string program;
  std::vector<std::string> arguments;
  std::vector<std::pair<std::string, std::string>> environment;
  std::vector<std::string> fixtures;
  int timeout_seconds = 900;
  std::string command;
  std::string note;
};

// False, with the line and what is wrong with it in `error`, for a plan that
// is not in that form.
bool ParsePlan(std::string_view text, std::vector<PlanEntry>* entries, std::string* error);

// A file of the bundle as files.txt lists it ("SIZE TIME PATH" a line), for
// the runner to check that it came out of the zip whole and to give it back
// its time, which a zip keeps only to two seconds. TIME counts 100 ns since
// 1601 (a FILETIME); PATH is relative to the bundle's folder.
struct BundleFile {
  std::string path;
  uint64_t size = 0;
  uint64_t time = 0;
};
bool ParseFileList(std::string_view text, std::vector<BundleFile>* files, std::string* error);

// What the bundle runs of an entry. Tests the bundle cannot run are named
// by gtest filter patterns ("*" for all of them), with the reason.
struct Decision {
  bool setup = false;
  bool carried = true;  // false: not a program of the bundle, reported as one skipped test
  std::string skipped_patterns;
  std::string reason;
};
Decision Decide(const PlanEntry& entry);

// gtest's filter: ':'-separated patterns with '*' and '?', an optional
// "-" followed by the patterns to leave out.
bool MatchesFilter(std::string_view full_name, std::string_view filter);
// The filter that runs what `own` (an entry's filter, or empty) selects
// except the tests matching `excluded` (patterns, or empty).
std::string CombineFilters(std::string_view own, std::string_view excluded);
// The value of a "--gtest_filter=" among `arguments`, or empty.
std::string FilterOf(const std::vector<std::string>& arguments);

// The full names ("Suite.Test") printed by --gtest_list_tests.
std::vector<std::string> ParseTestList(std::string_view text);

// The test gtest's output shows started and not ended, or empty: the one a
// program that had to be ended was running.
std::string UnfinishedTest(std::string_view output);

enum class Outcome { kPassed, kFailed, kSkipped };

struct TestCase {
  std::string classname;  // "<entry>.<gtest suite>", or the entry's name
  std::string name;
  Outcome outcome = Outcome::kPassed;
  bool skipped_here = false;  // left out by the bundle, not skipped by the test
  double seconds = 0;
  std::string xml;  // the <testcase> element as the report carries it
};

// The test cases of a gtest XML report, each put under "<entry>.<suite>".
// False, with the reason in `error`, for a report that cannot be read.
bool ReadGtestReport(std::string_view xml, std::string_view entry, std::vector<TestCase>* cases,
                     std::string* error);
TestCase SkippedCase(std::string classname, std::string name, std::string_view reason);
TestCase FailedCase(std::string classname, std::string name, std::string_view message);

struct Counts {
  int passed = 0;
  int failed = 0;
  int skipped = 0;
  int skipped_here = 0;  // among `skipped`
};
Counts CountCases(const std::vector<TestCase>& cases);

// One JUnit document: a <testsuite> per class name, in order of appearance.
std::string JUnitReport(const std::vector<TestCase>& cases);

}  // namespace norva::installer::bundle

#endif  // NORVA_TOOLS_BUNDLE_BUNDLE_RESULTS_H_
