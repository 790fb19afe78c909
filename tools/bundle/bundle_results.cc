#include "bundle/bundle_results.h"

#include <cstdio>
#include <cstdlib>

#include "base/utf8.h"

namespace norva::installer::bundle {
namespace {

constexpr std::string_view kServiceFixture = "net_service";
constexpr char kServiceReason[] =
    "needs the local autoupdate service (tools/autoupdate_service.py, run by Python on the "
    "build machine), which the bundle does not carry";

// The tests of each program that talk to the local autoupdate service, as
// gtest filter patterns. CTest starts the service for a whole program; ""
// names a program none of whose tests use it. A program CTest starts with
// the service and that is missing here has all of its tests left out.
struct ServiceTests {
  std::string_view program;
  std::string_view patterns;
};
constexpr ServiceTests kServiceTests[] = {
    {"app_tests",
     "InstallerUIControllerTest.*:PrefDefaultOverridesFetcherTest.*:"
     "SilentInstallerControllerTest.*:"
     "InstallerMainTest.PartnerFilesAreInstalledWithTheWholePackage"},
    {"e2e_tests", "*"},
    {"fetcher_tests",
     "PackageFetcherTest.*:PartnerContentTest.*:*PackageFetcherFailureTest.*:OwnPayloadTest.*"},
    {"installer_tests", ""},
    {"kill_sweep_tests", "*"},
    {"net_tests", "WininetTest.*"},
    {"stats_tests", "StatsReportTest.*"},
    {"ui_tests", ""},
};

// CTest entries that are no Windows program, and why they need the build
// machine.
struct BuildMachineEntry {
  std::string_view name;
  std::string_view reason;
};
constexpr BuildMachineEntry kBuildMachineEntries[] = {
    {"imports_check", "reads the import tables of the installer with MinGW's objdump"},
    {"ui_fit", "a shell script that sets the Wine prefix's DPI and font substitutes around "
               "ui_gallery.exe"},
    {"sevenzip_fuzz", "a libFuzzer run of the 7z reader, built natively with clang"},
};

bool Glob(std::string_view text, std::string_view pattern) {
  size_t t = 0, p = 0, star = std::string_view::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
      ++t;
      ++p;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool MatchesAny(std::string_view name, std::string_view patterns) {
  while (true) {
    const size_t colon = patterns.find(':');
    if (Glob(name, patterns.substr(0, colon))) return true;
    if (colon == std::string_view::npos) return false;
    patterns.remove_prefix(colon + 1);
  }
}

std::string_view Trim(std::string_view text) {
  const size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t\r") + 1 - begin);
}

// Calls `line` for each line of `text`, without its line end; stops at false.
template <typename Handler>
bool ForEachLine(std::string_view text, Handler line) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view current = text.substr(0, end);
    if (!current.empty() && current.back() == '\r') current.remove_suffix(1);
    if (!line(current)) return false;
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return true;
}

std::string Unescape(std::string_view value) {
  std::string out;
  while (!value.empty()) {
    const size_t amp = value.find('&');
    out.append(value.substr(0, amp));
    if (amp == std::string_view::npos) break;
    value.remove_prefix(amp);
    const size_t semicolon = value.find(';');
    const std::string_view entity =
        semicolon == std::string_view::npos ? value : value.substr(1, semicolon - 1);
    if (entity == "amp") out += '&';
    else if (entity == "lt") out += '<';
    else if (entity == "gt") out += '>';
    else if (entity == "quot") out += '"';
    else if (entity == "apos") out += '\'';
    else if (entity.size() > 1 && entity[0] == '#') {
      const std::string digits(entity.substr(entity[1] == 'x' ? 2 : 1));
      const int base = entity[1] == 'x' ? 16 : 10;
      AppendUtf8(static_cast<uint32_t>(std::strtoul(digits.c_str(), nullptr, base)), &out);
    } else {
      out += '&';
      value.remove_prefix(1);
      continue;
    }
    value.remove_prefix(semicolon + 1);
  }
  return out;
}

std::string Escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\n': out += "&#x0A;"; break;
      case '\r': out += "&#x0D;"; break;
      default:
        // Other control characters are not allowed in XML 1.0 at all.
        if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') out += c;
    }
  }
  return out;
}

struct Tag {
  std::string_view name;
  std::string_view attributes;
  bool closing = false;
  bool self_closing = false;
  size_t begin = 0;
  size_t end = 0;  // one past '>'
};

enum class Scan { kTag, kEnd, kBroken };

// The next tag from `*position` on, past text, CDATA sections, comments,
// processing instructions and declarations.
Scan NextTag(std::string_view xml, size_t* position, Tag* tag) {
  while (true) {
    const size_t open = xml.find('<', *position);
    if (open == std::string_view::npos) return Scan::kEnd;
    const std::string_view rest = xml.substr(open);
    std::string_view terminator;
    if (rest.starts_with("<![CDATA[")) terminator = "]]>";
    else if (rest.starts_with("<!--")) terminator = "-->";
    else if (rest.starts_with("<?")) terminator = "?>";
    else if (rest.starts_with("<!")) terminator = ">";
    if (!terminator.empty()) {
      const size_t end = xml.find(terminator, open);
      if (end == std::string_view::npos) return Scan::kBroken;
      *position = end + terminator.size();
      continue;
    }
    // A '>' inside a quoted attribute value does not end the tag.
    char quote = 0;
    size_t end = open + 1;
    for (; end < xml.size(); ++end) {
      const char c = xml[end];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        break;
      }
    }
    if (end >= xml.size()) return Scan::kBroken;
    std::string_view inside = xml.substr(open + 1, end - open - 1);
    *tag = Tag();
    tag->begin = open;
    tag->end = end + 1;
    if (!inside.empty() && inside.front() == '/') {
      tag->closing = true;
      inside.remove_prefix(1);
    }
    if (!inside.empty() && inside.back() == '/') {
      tag->self_closing = true;
      inside.remove_suffix(1);
    }
    const size_t name_end = inside.find_first_of(" \t\r\n");
    tag->name = inside.substr(0, name_end);
    tag->attributes = name_end == std::string_view::npos ? "" : inside.substr(name_end);
    *position = tag->end;
    return Scan::kTag;
  }
}

// The raw value of attribute `name` in `attributes`, or false.
bool FindAttribute(std::string_view attributes, std::string_view name,
                   std::string_view* value) {
  size_t i = 0;
  while ((i = attributes.find_first_not_of(" \t\r\n", i)) != std::string_view::npos) {
    const size_t equals = attributes.find('=', i);
    if (equals == std::string_view::npos || equals + 1 >= attributes.size()) return false;
    const std::string_view key = Trim(attributes.substr(i, equals - i));
    const char quote = attributes[equals + 1];
    const size_t close = attributes.find(quote, equals + 2);
    if ((quote != '"' && quote != '\'') || close == std::string_view::npos) return false;
    if (key == name) {
      *value = attributes.substr(equals + 2, close - equals - 2);
      return true;
    }
    i = close + 1;
  }
  return false;
}

std::string AttributeText(const Tag& tag, std::string_view name) {
  std::string_view value;
  return FindAttribute(tag.attributes, name, &value) ? Unescape(value) : std::string();
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.3f", seconds);
  return text;
}

// A case of the runner's own; `rest` follows its status up to the closing tag.
TestCase OwnCase(std::string classname, std::string name, Outcome outcome,
                 const std::string& rest) {
  TestCase test{std::move(classname), std::move(name), outcome, outcome == Outcome::kSkipped};
  test.xml = "<testcase name=\"" + Escape(test.name) + "\" classname=\"" +
             Escape(test.classname) + "\" status=\"" + rest + "</testcase>";
  return test;
}

}  // namespace

bool ParsePlan(std::string_view text, std::vector<PlanEntry>* entries, std::string* error) {
  std::vector<PlanEntry> parsed;
  int number = 0;
  std::string problem;
  ForEachLine(text, [&](std::string_view line) {
    ++number;
    if (Trim(line).empty() || line.front() == '#') return true;
    const size_t space = line.find(' ');
    const std::string_view key = line.substr(0, space);
    const std::string_view value =
        space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    if (key == "test" || key == "setup") {
      if (value.empty()) problem = "an entry without a name";
      for (const PlanEntry& entry : parsed)
        if (entry.name == value) problem = "a second entry named \"" + std::string(value) + "\"";
      parsed.emplace_back();
      parsed.back().name = value;
      parsed.back().setup = key == "setup";
    } else if (parsed.empty()) {
      problem = "\"" + std::string(key) + "\" before the first entry";
    } else if (value.empty()) {
      problem = "\"" + std::string(key) + "\" without a value";
    } else if (PlanEntry& entry = parsed.back(); key == "program") {
      if (value.find(':') != std::string_view::npos || value.front() == '/' ||
          value.front() == '\\' || value.find("..") != std::string_view::npos)
        problem = "the program is not a path inside the bundle";
      entry.program = value;
    } else if (key == "arg") {
      entry.arguments.emplace_back(value);
    } else if (key == "env") {
      const size_t equals = value.find('=');
      if (equals == 0 || equals == std::string_view::npos) problem = "not NAME=VALUE";
      else entry.environment.emplace_back(value.substr(0, equals), value.substr(equals + 1));
    } else if (key == "fixture") {
      entry.fixtures.emplace_back(value);
    } else if (key == "timeout") {
      char* end = nullptr;
      const std::string digits(value);
      const long seconds = std::strtol(digits.c_str(), &end, 10);
      if (*end || seconds <= 0 || seconds > 86400) problem = "not a number of seconds";
      else entry.timeout_seconds = static_cast<int>(seconds);
    } else if (key == "command") {
      entry.command = value;
    } else if (key == "note") {
      entry.note = value;
    } else {
      problem = "unknown keyword \"" + std::string(key) + "\"";
    }
    return problem.empty();
  });
  if (!problem.empty()) {
    *error = "line " + std::to_string(number) + ": " + problem;
    return false;
  }
  *entries = std::move(parsed);
  return true;
}

bool ParseFileList(std::string_view text, std::vector<BundleFile>* files, std::string* error) {
  // Digits up to a blank, taken off the front of `line`.
  auto number = [](std::string_view* line, uint64_t* value) {
    size_t digits = 0;
    *value = 0;
    for (; digits < line->size() && (*line)[digits] >= '0' && (*line)[digits] <= '9'; ++digits)
      *value = *value * 10 + ((*line)[digits] - '0');
    if (!digits || digits > 19 || digits >= line->size() || (*line)[digits] != ' ') return false;
    line->remove_prefix(digits + 1);
    return true;
  };
  std::vector<BundleFile> parsed;
  int count = 0;
  const bool whole = ForEachLine(text, [&](std::string_view line) {
    ++count;
    if (line.empty()) return true;
    BundleFile file;
    if (!number(&line, &file.size) || !number(&line, &file.time) || line.empty()) return false;
    file.path = line;
    parsed.push_back(std::move(file));
    return true;
  });
  if (!whole) {
    *error = "line " + std::to_string(count) + ": not \"SIZE TIME PATH\"";
    return false;
  }
  *files = std::move(parsed);
  return true;
}

Decision Decide(const PlanEntry& entry) {
  Decision decision;
  if (entry.setup) {
    decision.setup = true;
    return decision;
  }
  if (entry.program.empty()) {
    decision.carried = false;
    decision.skipped_patterns = "*";
    decision.reason = "runs on the build machine only: not a Windows program (" + entry.command +
                      ")";
    for (const BuildMachineEntry& known : kBuildMachineEntries)
      if (known.name == entry.name)
        decision.reason = "runs on the build machine only: " + std::string(known.reason);
    return decision;
  }
  bool needs_service = false;
  for (const std::string& fixture : entry.fixtures) needs_service |= fixture == kServiceFixture;
  if (!needs_service) return decision;
  std::string_view program = entry.program;
  program.remove_prefix(program.find_last_of("/\\") + 1);
  if (program.ends_with(".exe")) program.remove_suffix(4);
  decision.skipped_patterns = "*";
  for (const ServiceTests& known : kServiceTests)
    if (known.program == program) decision.skipped_patterns = known.patterns;
  if (!decision.skipped_patterns.empty()) decision.reason = kServiceReason;
  return decision;
}

bool MatchesFilter(std::string_view full_name, std::string_view filter) {
  const size_t dash = filter.find('-');
  std::string_view positive = filter.substr(0, dash);
  if (positive.empty()) positive = "*";
  if (!MatchesAny(full_name, positive)) return false;
  return dash == std::string_view::npos || !MatchesAny(full_name, filter.substr(dash + 1));
}

std::string CombineFilters(std::string_view own, std::string_view excluded) {
  if (excluded.empty()) return std::string(own);
  if (own.find('-') != std::string_view::npos)
    return std::string(own) + ":" + std::string(excluded);
  return std::string(own.empty() ? "*" : own) + "-" + std::string(excluded);
}

std::string FilterOf(const std::vector<std::string>& arguments) {
  constexpr std::string_view kSwitch = "--gtest_filter=";
  std::string filter;
  for (const std::string& argument : arguments)
    if (argument.starts_with(kSwitch)) filter = argument.substr(kSwitch.size());
  return filter;
}

std::vector<std::string> ParseTestList(std::string_view text) {
  std::vector<std::string> names;
  std::string suite;
  ForEachLine(text, [&](std::string_view line) {
    // Parameterised tests end in "  # GetParam() = ...".
    std::string_view name = Trim(line.substr(0, line.find("  #")));
    if (name.empty() || line.starts_with("Note: ")) return true;
    if (line.front() != ' ') {
      suite = name.ends_with('.') ? std::string(name) : std::string();
    } else if (!suite.empty()) {
      names.push_back(suite + std::string(name));
    }
    return true;
  });
  return names;
}

std::string UnfinishedTest(std::string_view output) {
  std::string running;
  ForEachLine(output, [&](std::string_view line) {
    if (line.starts_with("[ RUN      ] ")) {
      running = line.substr(13);
    } else if (line.starts_with("[       OK ] ") || line.starts_with("[  FAILED  ] ") ||
               line.starts_with("[  SKIPPED ] ")) {
      // "NAME (12 ms)"
      if (line.substr(13).starts_with(running + " (")) running.clear();
    }
    return true;
  });
  return running;
}

bool ReadGtestReport(std::string_view xml, std::string_view entry, std::vector<TestCase>* cases,
                     std::string* error) {
  std::vector<TestCase> read;
  std::string suite;
  bool opened = false, closed = false;
  size_t position = 0;
  Tag tag;
  Scan scan;
  while ((scan = NextTag(xml, &position, &tag)) == Scan::kTag) {
    if (tag.name == "testsuites") {
      (tag.closing ? closed : opened) = true;
    } else if (tag.name == "testsuite") {
      suite = tag.closing ? std::string() : AttributeText(tag, "name");
    } else if (tag.name == "testcase" && !tag.closing) {
      TestCase test;
      test.classname = std::string(entry) + (suite.empty() ? "" : "." + suite);
      test.name = AttributeText(tag, "name");
      test.seconds = std::strtod(AttributeText(tag, "time").c_str(), nullptr);
      const bool not_run = AttributeText(tag, "status") == "notrun";
      bool failed = false, skipped = AttributeText(tag, "result") == "skipped";
      const Tag start = tag;
      size_t end = start.end;
      if (!start.self_closing) {
        end = 0;
        while ((scan = NextTag(xml, &position, &tag)) == Scan::kTag) {
          if (tag.name == "testcase" && tag.closing) {
            end = tag.end;
            break;
          }
          if (!tag.closing) {
            failed |= tag.name == "failure" || tag.name == "error";
            skipped |= tag.name == "skipped";
          }
        }
        if (!end) break;
      }
      test.outcome = failed ? Outcome::kFailed
                            : (skipped || not_run) ? Outcome::kSkipped : Outcome::kPassed;
      // The element as gtest wrote it, under the class name of the entry.
      std::string_view classname;
      const std::string quoted = "\"" + Escape(test.classname) + "\"";
      if (FindAttribute(start.attributes, "classname", &classname)) {
        const size_t at = classname.data() - xml.data();
        const size_t after = at + classname.size() + 1;  // past the closing quote
        test.xml = std::string(xml.substr(start.begin, at - 1 - start.begin)) + quoted +
                   std::string(xml.substr(after, end - after));
      } else {
        test.xml = "<testcase classname=" + quoted +
                   std::string(xml.substr(start.begin + 9, end - start.begin - 9));
      }
      read.push_back(std::move(test));
    }
  }
  if (scan == Scan::kBroken) {
    *error = "the report ends inside an element";
    return false;
  }
  if (!opened || !closed) {
    *error = opened ? "the report is cut short" : "no <testsuites> element";
    return false;
  }
  *cases = std::move(read);
  return true;
}

TestCase SkippedCase(std::string classname, std::string name, std::string_view reason) {
  return OwnCase(std::move(classname), std::move(name), Outcome::kSkipped,
                 "notrun\" result=\"skipped\" time=\"0\"><skipped message=\"" +
                     Escape(reason) + "\" />");
}

TestCase FailedCase(std::string classname, std::string name, std::string_view message) {
  return OwnCase(std::move(classname), std::move(name), Outcome::kFailed,
                 "run\" result=\"completed\" time=\"0\"><failure message=\"" +
                     Escape(message) + "\" type=\"\" />");
}

Counts CountCases(const std::vector<TestCase>& cases) {
  Counts counts;
  for (const TestCase& test : cases) {
    if (test.outcome == Outcome::kPassed) ++counts.passed;
    if (test.outcome == Outcome::kFailed) ++counts.failed;
    if (test.outcome == Outcome::kSkipped) ++counts.skipped;
    if (test.skipped_here) ++counts.skipped_here;
  }
  return counts;
}

std::string JUnitReport(const std::vector<TestCase>& cases) {
  std::vector<std::pair<std::string, std::vector<TestCase>>> suites;
  for (const TestCase& test : cases) {
    auto suite = suites.begin();
    while (suite != suites.end() && suite->first != test.classname) ++suite;
    if (suite == suites.end()) suite = suites.insert(suites.end(), {test.classname, {}});
    suite->second.push_back(test);
  }
  auto totals = [](const std::vector<TestCase>& members) {
    const Counts c = CountCases(members);
    double seconds = 0;
    for (const TestCase& test : members) seconds += test.seconds;
    return "tests=\"" + std::to_string(c.passed + c.failed + c.skipped) + "\" failures=\"" +
           std::to_string(c.failed) + "\" errors=\"0\" skipped=\"" + std::to_string(c.skipped) +
           "\" time=\"" + Seconds(seconds) + "\"";
  };
  std::string report = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  report += "<testsuites name=\"norva-tests\" " + totals(cases) + ">\n";
  for (const auto& [name, members] : suites) {
    report += "  <testsuite name=\"" + Escape(name) + "\" " + totals(members) + ">\n";
    for (const TestCase& test : members) report += "    " + test.xml + "\n";
    report += "  </testsuite>\n";
  }
  return report + "</testsuites>\n";
}

}  // namespace norva::installer::bundle
