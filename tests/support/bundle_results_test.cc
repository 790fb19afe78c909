#include "bundle/bundle_results.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace norva::installer::bundle {
namespace {

TEST(BundlePlanTest, ReadsEveryKeyword) {
  std::vector<PlanEntry> plan;
  std::string error;
  ASSERT_TRUE(ParsePlan("# made by scripts/windows-bundle\r\n"
                        "test e2e_self_removal_c_locale\n"
                        "program bin/e2e_tests.exe\n"
                        "arg --gtest_filter=SelfRemovalTest.*\n"
                        "env NORVA_E2E_FIXTURES={bundle}/bin/e2e_fixtures\n"
                        "fixture net_service\n"
                        "timeout 2700\n\n"
                        "test imports_check\n"
                        "command sh tests/imports_check.sh objdump\n"
                        "setup e2e_fixtures\n"
                        "note made when the bundle was made\n",
                        &plan, &error))
      << error;
  ASSERT_EQ(plan.size(), 3u);
  EXPECT_EQ(plan[0].program, "bin/e2e_tests.exe");
  EXPECT_EQ(plan[0].arguments, std::vector<std::string>{"--gtest_filter=SelfRemovalTest.*"});
  ASSERT_EQ(plan[0].environment.size(), 1u);
  EXPECT_EQ(plan[0].environment[0].first, "NORVA_E2E_FIXTURES");
  EXPECT_EQ(plan[0].environment[0].second, "{bundle}/bin/e2e_fixtures");
  EXPECT_EQ(plan[0].fixtures, std::vector<std::string>{"net_service"});
  EXPECT_EQ(plan[0].timeout_seconds, 2700);
  EXPECT_EQ(plan[1].command, "sh tests/imports_check.sh objdump");
  EXPECT_EQ(plan[1].timeout_seconds, 900);
  EXPECT_TRUE(plan[2].setup);
  EXPECT_EQ(plan[2].note, "made when the bundle was made");
}

TEST(BundlePlanTest, RefusesWhatIsNotAPlan) {
  const struct {
    const char* text;
    const char* error;
  } kCases[] = {
      {"arg --x", "line 1: \"arg\" before the first entry"},
      {"test a\n\ntest a", "line 3: a second entry named \"a\""},
      {"test a\ntimeout 0", "line 2: not a number of seconds"},
      {"test a\ntimeout 9x", "line 2: not a number of seconds"},
      {"test a\nprogram C:/bin/a.exe", "line 2: the program is not a path inside the bundle"},
      {"test a\nprogram ../a.exe", "line 2: the program is not a path inside the bundle"},
      {"test a\nenv =x", "line 2: not NAME=VALUE"},
      {"test a\nenv", "line 2: \"env\" without a value"},
      {"test a\nrun a.exe", "line 2: unknown keyword \"run\""},
  };
  for (const auto& c : kCases) {
    std::vector<PlanEntry> plan(1);
    std::string error;
    EXPECT_FALSE(ParsePlan(c.text, &plan, &error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
    EXPECT_EQ(plan.size(), 1u) << "the plan given was changed";
  }
}

TEST(BundleFilesTest, ReadsSizeTimeAndPathsWithBlanks) {
  std::vector<BundleFile> files;
  std::string error;
  ASSERT_TRUE(ParseFileList("5 133475328000000000 bin/base_tests.exe\r\n"
                            "0 126000000000000000 sevenzip_fixtures/ref/copy/a b/c.txt\r\n",
                            &files, &error))
      << error;
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].size, 5u);
  EXPECT_EQ(files[0].time, 133475328000000000u);
  EXPECT_EQ(files[0].path, "bin/base_tests.exe");
  EXPECT_EQ(files[1].path, "sevenzip_fixtures/ref/copy/a b/c.txt");
  for (const char* text : {"5 bin/a.exe", "-5 1 a", "5  1 a", "5 1 ", "x 1 a",
                           "1 99999999999999999999 a"}) {
    std::vector<BundleFile> unchanged(1);
    EXPECT_FALSE(ParseFileList(std::string("1 1 fine\n") + text, &unchanged, &error)) << text;
    EXPECT_EQ(error, "line 2: not \"SIZE TIME PATH\"") << text;
    EXPECT_EQ(unchanged.size(), 1u);
  }
}

TEST(BundlePlanTest, DecidesWhatRunsHere) {
  auto entry = [](const char* name, const char* program, bool service) {
    PlanEntry entry;
    entry.name = name;
    entry.program = program;
    entry.command = "sh tests/x.sh";
    if (service) entry.fixtures = {"e2e_packages", "net_service"};
    return entry;
  };
  const struct {
    PlanEntry entry;
    bool carried;
    const char* patterns;
    const char* reason;  // a part of it
  } kCases[] = {
      {entry("base_tests", "bin/base_tests.exe", false), true, "", ""},
      {entry("net_tests", "bin/net_tests.exe", true), true, "WininetTest.*", "local autoupdate"},
      {entry("ui_tests", "bin/ui_tests.exe", true), true, "", ""},
      {entry("e2e_self_removal_c_locale", "bin/e2e_tests.exe", true), true, "*", "Python"},
      // A program started with the service that the runner does not know.
      {entry("new_tests", "bin/new_tests.exe", true), true, "*", "local autoupdate"},
      {entry("imports_check", "", false), false, "*", "objdump"},
      {entry("new_check", "", false), false, "*", "not a Windows program (sh tests/x.sh)"},
  };
  for (const auto& c : kCases) {
    const Decision decision = Decide(c.entry);
    EXPECT_FALSE(decision.setup);
    EXPECT_EQ(decision.carried, c.carried) << c.entry.name;
    EXPECT_EQ(decision.skipped_patterns, c.patterns) << c.entry.name;
    EXPECT_NE(decision.reason.find(c.reason), std::string::npos) << decision.reason;
  }
  PlanEntry setup = entry("e2e_fixtures", "", false);
  setup.setup = true;
  EXPECT_TRUE(Decide(setup).setup);
}

TEST(BundleFilterTest, MatchesAsGoogleTestDoes) {
  const struct {
    const char* name;
    const char* filter;
    bool matches;
  } kCases[] = {
      {"A.b", "", true},
      {"A.b", "*", true},
      {"A.b", "A.*", true},
      {"A.bc", "A.b", false},
      {"A.b", "B.*:A.?", true},
      {"A.b", "*-A.*", false},
      {"A.b", "-B.*", true},
      {"A.b", "-A.b", false},
      {"Rows/PackageFetcherFailureTest.Fails/3", "*PackageFetcherFailureTest.*", true},
      {"OwnPayloadTest.X", "PackageFetcherTest.*:OwnPayloadTest.*", true},
      {"PackageFetcherDelegateProxyTest.X", "PackageFetcherTest.*", false},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(MatchesFilter(c.name, c.filter), c.matches) << c.name << " " << c.filter;

  const struct {
    const char* own;
    const char* excluded;
    const char* combined;
  } kCombined[] = {
      {"", "", ""},
      {"S.*", "", "S.*"},
      {"", "X.*:Y.*", "*-X.*:Y.*"},
      {"S.*", "X.*", "S.*-X.*"},
      {"S.*-T.a", "X.*", "S.*-T.a:X.*"},
  };
  for (const auto& c : kCombined) EXPECT_EQ(CombineFilters(c.own, c.excluded), c.combined);
  EXPECT_EQ(FilterOf({"--gtest_brief=1", "--gtest_filter=A.*"}), "A.*");
  EXPECT_EQ(FilterOf({"--gtest_brief=1"}), "");
}

TEST(BundleListTest, ReadsTheFullNames) {
  EXPECT_EQ(ParseTestList("Note: Google Test filter = A.*\r\n"
                          "CommandLineTest.\r\n"
                          "  ParsesSwitches\r\n"
                          "Methods/SevenZipConformanceTest.\n"
                          "  UnpacksLikeSevenZip/0  # GetParam() = \"copy\"\n"
                          "TypedTest/0.  # TypeParam = int\n"
                          "  Works\n"),
            (std::vector<std::string>{"CommandLineTest.ParsesSwitches",
                                      "Methods/SevenZipConformanceTest.UnpacksLikeSevenZip/0",
                                      "TypedTest/0.Works"}));
}

TEST(BundleListTest, NamesTheTestThatDidNotEnd) {
  const struct {
    const char* output;
    const char* running;
  } kCases[] = {
      {"", ""},
      {"[ RUN      ] A.b\n[       OK ] A.b (3 ms)\n", ""},
      {"[ RUN      ] A.b\r\n[       OK ] A.b (3 ms)\r\n[ RUN      ] A.bc\r\n", "A.bc"},
      {"[ RUN      ] A.b\n[  FAILED  ] A.b (3 ms)\n"
       "[ RUN      ] A.c\nlog\n[  SKIPPED ] A.c (0 ms)\n",
       ""},
      // The end of a test of the same name's beginning is not its end.
      {"[ RUN      ] A.bc\n[       OK ] A.b (3 ms)\n", "A.bc"},
  };
  for (const auto& c : kCases) EXPECT_EQ(UnfinishedTest(c.output), c.running) << c.output;
}

// As gtest writes it, with text that looks like markup where XML allows it.
constexpr char kReport[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<testsuites tests="4" failures="1" disabled="0" errors="0" time="1.5" name="AllTests">
  <testsuite name="FileTest" tests="3" failures="1" disabled="0" skipped="1" errors="0" time="1">
    <testcase name="Copies" file="a.cc" line="3" status="run" result="completed" time="0.25"
        classname="FileTest" />
    <testcase name="Moves" status="run" result="completed" time="0.5" classname="FileTest">
      <failure message="a.cc:9&#x0A;Expected: x &gt; y" type=""><![CDATA[a.cc:9
Expected: x > y </testcase> <skipped/> ]]></failure>
    </testcase>
    <testcase name="Links" status="run" result="skipped" time="0" classname="FileTest">
      <skipped message="no junctions"><![CDATA[no junctions]]></skipped>
    </testcase>
  </testsuite>
  <testsuite name="Rows/CopyTest" tests="1">
    <testcase name="Row/0" value_param="&quot;a&gt;b&quot;" status="run" result="completed"
        time="0.75" classname="Rows/CopyTest" />
  </testsuite>
</testsuites>
)";

// Each outcome is read under the entry; merged with the runner's own cases
// into one report, everything counts and reads back.
TEST(BundleReportTest, ReadsEachOutcomeAndMergesWithTheRunnersCases) {
  std::vector<TestCase> cases;
  std::string error;
  ASSERT_TRUE(ReadGtestReport(kReport, "base_tests", &cases, &error)) << error;
  const struct {
    const char* classname;
    const char* name;
    Outcome outcome;
    double seconds;
  } kExpected[] = {
      {"base_tests.FileTest", "Copies", Outcome::kPassed, 0.25},
      {"base_tests.FileTest", "Moves", Outcome::kFailed, 0.5},
      {"base_tests.FileTest", "Links", Outcome::kSkipped, 0},
      {"base_tests.Rows/CopyTest", "Row/0", Outcome::kPassed, 0.75},
  };
  ASSERT_EQ(cases.size(), std::size(kExpected));
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(cases[i].classname, kExpected[i].classname);
    EXPECT_EQ(cases[i].name, kExpected[i].name);
    EXPECT_EQ(cases[i].outcome, kExpected[i].outcome) << cases[i].name;
    EXPECT_EQ(cases[i].seconds, kExpected[i].seconds);
    EXPECT_FALSE(cases[i].skipped_here);
  }
  EXPECT_EQ(cases[0].xml,
            "<testcase name=\"Copies\" file=\"a.cc\" line=\"3\" status=\"run\" "
            "result=\"completed\" time=\"0.25\"\n        classname=\"base_tests.FileTest\" />");
  EXPECT_NE(cases[1].xml.find("y </testcase> <skipped/> ]]></failure>\n    </testcase>"),
            std::string::npos)
      << cases[1].xml;

  cases.push_back(
      SkippedCase("net_tests.WininetTest", "Downloads", "needs \"the\" <service> & Python"));
  cases.push_back(FailedCase("engine_tests", "engine_tests", "did not end\nin time"));
  cases.push_back(SkippedCase("imports_check", "imports_check", "objdump"));
  const Counts counts = CountCases(cases);
  EXPECT_EQ(counts.passed, 2);
  EXPECT_EQ(counts.failed, 2);
  EXPECT_EQ(counts.skipped, 3);
  EXPECT_EQ(counts.skipped_here, 2);

  const std::string junit = JUnitReport(cases);
  EXPECT_NE(junit.find("<testsuites name=\"norva-tests\" tests=\"7\" failures=\"2\" errors=\"0\" "
                       "skipped=\"3\" time=\"1.500\">"),
            std::string::npos)
      << junit;
  EXPECT_NE(junit.find("<testsuite name=\"base_tests.FileTest\" tests=\"3\" failures=\"1\" "
                       "errors=\"0\" skipped=\"1\" time=\"0.750\">"),
            std::string::npos)
      << junit;
  EXPECT_NE(junit.find("message=\"needs &quot;the&quot; &lt;service&gt; &amp; Python\""),
            std::string::npos);
  EXPECT_NE(junit.find("message=\"did not end&#x0A;in time\""), std::string::npos);

  // Read back as one report, under one more entry name.
  std::vector<TestCase> again;
  ASSERT_TRUE(ReadGtestReport(junit, "bundle", &again, &error)) << error;
  ASSERT_EQ(again.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(again[i].classname, "bundle." + cases[i].classname);
    EXPECT_EQ(again[i].name, cases[i].name);
    EXPECT_EQ(again[i].outcome, cases[i].outcome);
  }
}

TEST(BundleReportTest, NamesAreReadWithTheirEntitiesAndWrittenEscaped) {
  std::vector<TestCase> cases;
  std::string error;
  ASSERT_TRUE(ReadGtestReport("<testsuites><testsuite name='Caf&#xE9;&#233;&lt;&amp;'>"
                              "<testcase name=\"a&quot;b&apos;\" classname=\"x\"/>"
                              "</testsuite></testsuites>",
                              "e", &cases, &error))
      << error;
  ASSERT_EQ(cases.size(), 1u);
  EXPECT_EQ(cases[0].classname, "e.Caf\xC3\xA9\xC3\xA9<&");
  EXPECT_EQ(cases[0].name, "a\"b'");
  EXPECT_EQ(cases[0].xml,
            "<testcase name=\"a&quot;b&apos;\" classname=\"e.Caf\xC3\xA9\xC3\xA9&lt;&amp;\"/>");
}

TEST(BundleReportTest, RefusesAReportCutShortOrNotAReport) {
  const std::string report = kReport;
  const struct {
    std::string xml;
    const char* error;
  } kCases[] = {
      {report.substr(0, report.find("</testsuites>")), "the report is cut short"},
      {report.substr(0, report.find("<testcase name=\"Links\"")), "the report is cut short"},
      {report.substr(0, report.find("]]></failure>")), "the report ends inside an element"},
      {report.substr(0, report.find(" time=\"0.25\"")), "the report ends inside an element"},
      {"", "no <testsuites> element"},
  };
  for (const auto& c : kCases) {
    std::vector<TestCase> cases(1);
    std::string error;
    EXPECT_FALSE(ReadGtestReport(c.xml, "base_tests", &cases, &error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(cases.size(), 1u);
  }
}

}  // namespace
}  // namespace norva::installer::bundle
