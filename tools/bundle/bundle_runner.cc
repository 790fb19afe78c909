// run_tests.exe: runs the test programs of a Windows test bundle (made by
// scripts/windows-bundle) as CTest runs them on the build machine, one after
// the other, and writes one JUnit report of them all. What the bundle cannot
// run (tests of the local autoupdate service, steps that need the build
// machine) is reported as skipped, with the reason.
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/command_line.h"
#include "base/strings.h"
#include "bundle/bundle_results.h"

namespace fs = std::filesystem;
using namespace norva::installer::bundle;
using norva::installer::QuoteArgument;
using norva::installer::Utf8ToWide;
using norva::installer::WideToUtf8;

namespace {

constexpr char kUsage[] =
    "Usage: run_tests.exe [--only NAME[,NAME...]] [--results FOLDER] [--timeout MINUTES]\n"
    "                     [--trust-test-roots] [--list]\n"
    "Runs the tests of this bundle (tests.txt beside run_tests.exe) and writes\n"
    "FOLDER\\junit.xml (default: the bundle's results folder). Exit code 0 when no\n"
    "test failed.\n"
    "  --only              only these entries (the names --list prints)\n"
    "  --timeout           the time limit of each entry (default: its CTest limit)\n"
    "  --trust-test-roots  trusts the bundle's test signing roots for the run\n"
    "                      (an administrator's prompt; removed again at the end)\n"
    "  --list              prints what would run, and runs nothing\n";

bool ReadText(const fs::path& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (in) text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return bool(in);
}

bool WriteText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  return out.write(text.data(), std::streamsize(text.size())) && out.flush();
}

struct Run {
  bool started = false;
  bool timed_out = false;
  DWORD exit_code = 0;
  DWORD error = 0;
};

// Runs `program` with its output in `output` (a file: processes a test
// starts may keep a pipe open long after it ended) and ends it, with every
// process it started, after `limit_ms`.
Run RunProgram(const fs::path& program, const std::vector<std::string>& arguments,
               const fs::path& output, const fs::path& folder, DWORD limit_ms) {
  Run run;
  std::wstring command = QuoteArgument(program.native());
  for (const std::string& argument : arguments) command += L" " + QuoteArgument(Utf8ToWide(argument));
  SECURITY_ATTRIBUTES inherited{sizeof(inherited), nullptr, TRUE};
  HANDLE log = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inherited, CREATE_ALWAYS, 0, nullptr);
  HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                             OPEN_EXISTING, 0, nullptr);
  if (log == INVALID_HANDLE_VALUE || input == INVALID_HANDLE_VALUE) {
    run.error = GetLastError();
    if (log != INVALID_HANDLE_VALUE) CloseHandle(log);
    if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
    return run;
  }
  STARTUPINFOW startup{sizeof(startup)};
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = log;
  startup.hStdError = log;
  PROCESS_INFORMATION process{};
  run.started = CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE,
                               CREATE_SUSPENDED, nullptr, folder.c_str(), &startup, &process);
  if (!run.started) run.error = GetLastError();
  CloseHandle(log);
  CloseHandle(input);
  if (!run.started) return run;
  // The job only serves to end what a test that hangs started; processes
  // that outlive a test that ended are left alone, as under CTest.
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job && !AssignProcessToJobObject(job, process.hProcess)) {
    CloseHandle(job);
    job = nullptr;
  }
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  if (WaitForSingleObject(process.hProcess, limit_ms) == WAIT_TIMEOUT) {
    run.timed_out = true;
    if (!job || !TerminateJobObject(job, ERROR_TIMEOUT))
      TerminateProcess(process.hProcess, ERROR_TIMEOUT);
    WaitForSingleObject(process.hProcess, 30000);
  }
  GetExitCodeProcess(process.hProcess, &run.exit_code);
  CloseHandle(process.hProcess);
  if (job) CloseHandle(job);
  return run;
}

// Sets the entry's environment for the processes it starts; the previous
// values come back when it goes.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const PlanEntry& entry, const fs::path& bundle) {
    for (const auto& [name, value] : entry.environment) {
      std::wstring wide = Utf8ToWide(value);
      const std::wstring marker = L"{bundle}";
      if (const size_t at = wide.find(marker); at != std::wstring::npos) {
        wide.replace(at, marker.size(), bundle.native());
        std::replace(wide.begin(), wide.end(), L'/', L'\\');
      }
      const std::wstring key = Utf8ToWide(name);
      wchar_t previous[32768];
      const DWORD length = GetEnvironmentVariableW(key.c_str(), previous, 32768);
      saved_.push_back({key, std::wstring(previous, length), length > 0});
      SetEnvironmentVariableW(key.c_str(), wide.c_str());
    }
  }
  ~ScopedEnvironment() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
      SetEnvironmentVariableW(it->name.c_str(), it->existed ? it->value.c_str() : nullptr);
  }

 private:
  struct Saved {
    std::wstring name;
    std::wstring value;
    bool existed;
  };
  std::vector<Saved> saved_;
};

std::string Describe(const Run& run) {
  char text[96];
  if (!run.started)
    std::snprintf(text, sizeof(text), "could not be started (error %lu)", run.error);
  else
    std::snprintf(text, sizeof(text), "ended with exit code %lu (0x%08lX)", run.exit_code,
                  run.exit_code);
  return text;
}

struct Options {
  std::vector<std::string> only;
  fs::path results;
  int timeout_minutes = 0;
  bool trust_roots = false;
  bool list = false;
};

bool ParseOptions(int argc, wchar_t** argv, Options* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = WideToUtf8(argv[i]);
    const bool has_value = option == "--only" || option == "--results" || option == "--timeout";
    if (has_value && i + 1 >= argc) {
      *error = option + " needs a value";
      return false;
    }
    if (option == "--only") {
      std::string names = WideToUtf8(argv[++i]);
      for (size_t start = 0; start <= names.size();) {
        const size_t comma = std::min(names.find(',', start), names.size());
        if (comma > start) options->only.push_back(names.substr(start, comma - start));
        start = comma + 1;
      }
    } else if (option == "--results") {
      options->results = argv[++i];
    } else if (option == "--timeout") {
      options->timeout_minutes = static_cast<int>(std::wcstol(argv[++i], nullptr, 10));
      if (options->timeout_minutes <= 0) {
        *error = "--timeout takes a number of minutes";
        return false;
      }
    } else if (option == "--trust-test-roots") {
      options->trust_roots = true;
    } else if (option == "--list") {
      options->list = true;
    } else {
      *error = "unknown option " + option;
      return false;
    }
  }
  return true;
}

// The test signing roots of the bundle's signed fixtures, which Wine trusts
// and Windows does not: added to the machine's trusted roots for the run,
// only when asked to, and removed again.
class TestRoots {
 public:
  explicit TestRoots(const fs::path& bin) {
    std::error_code error;
    for (const auto& folder : fs::directory_iterator(bin, error)) {
      const fs::path certificate = folder.path() / L"certs" / L"ca.crt";
      std::string pem;
      DWORD size = 0;
      if (!ReadText(certificate, &pem) ||
          !CryptStringToBinaryA(pem.data(), DWORD(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                &size, nullptr, nullptr))
        continue;
      std::string der(size, '\0');
      CryptStringToBinaryA(pem.data(), DWORD(pem.size()), CRYPT_STRING_BASE64HEADER,
                           reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr);
      roots_.push_back({certificate, der});
    }
  }
  ~TestRoots() { Remove(); }

  // Takes back the roots Trust added; also when the run is interrupted.
  void Remove() {
    if (InterlockedExchange(&removed_, 1)) return;
    for (PCCERT_CONTEXT added : added_) CertDeleteCertificateFromStore(added);
    if (store_) CertCloseStore(store_, 0);
  }

  // The roots the current user does not trust (its view includes the
  // machine's).
  std::vector<fs::path> Untrusted() const {
    std::vector<fs::path> untrusted;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG,
                                     L"Root");
    for (const auto& [path, der] : roots_) {
      PCCERT_CONTEXT certificate = CertCreateCertificateContext(
          X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), DWORD(der.size()));
      PCCERT_CONTEXT found = nullptr;
      if (store && certificate)
        found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING,
                                           certificate, nullptr);
      if (!found) untrusted.push_back(path);
      if (found) CertFreeCertificateContext(found);
      if (certificate) CertFreeCertificateContext(certificate);
    }
    if (store) CertCloseStore(store, 0);
    return untrusted;
  }

  bool Trust(std::string* error) {
    store_ = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE,
                           L"Root");
    if (!store_) {
      *error = "the machine's trusted roots cannot be opened (error " +
               std::to_string(GetLastError()) + "); run from an administrator's prompt";
      return false;
    }
    for (const auto& [path, der] : roots_) {
      PCCERT_CONTEXT added = nullptr;
      if (CertAddEncodedCertificateToStore(store_, X509_ASN_ENCODING,
                                           reinterpret_cast<const BYTE*>(der.data()),
                                           DWORD(der.size()), CERT_STORE_ADD_NEW, &added)) {
        added_.push_back(added);
      } else if (GetLastError() != DWORD(CRYPT_E_EXISTS)) {
        *error = WideToUtf8(path.native()) + " could not be added to the machine's trusted roots " +
                 "(error " + std::to_string(GetLastError()) + "); run from an administrator's " +
                 "prompt";
        return false;
      }
    }
    return true;
  }

 private:
  std::vector<std::pair<fs::path, std::string>> roots_;
  HCERTSTORE store_ = nullptr;
  std::vector<PCCERT_CONTEXT> added_;
  LONG removed_ = 0;
};

TestRoots* g_trusted_roots = nullptr;

// Ctrl+C, or the console window closed: the roots go before the process.
BOOL WINAPI RemoveRootsOnInterrupt(DWORD) {
  if (g_trusted_roots) g_trusted_roots->Remove();
  return FALSE;
}

// Checks that each file of the bundle came out of the zip whole and gives it
// back its time.
bool RestoreFiles(const fs::path& bundle, const std::vector<BundleFile>& files,
                  std::string* error) {
  for (const BundleFile& file : files) {
    fs::path path = bundle / Utf8ToWide(file.path);
    path.make_preferred();
    if (path.native().size() >= MAX_PATH) path = L"\\\\?\\" + path.native();
    HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      *error = file.path + " is missing";
      return false;
    }
    LARGE_INTEGER size{};
    const FILETIME time{DWORD(file.time), DWORD(file.time >> 32)};
    const bool whole = GetFileSizeEx(handle, &size) && uint64_t(size.QuadPart) == file.size;
    const bool timed = whole && SetFileTime(handle, nullptr, nullptr, &time);
    CloseHandle(handle);
    if (!whole || !timed) {
      *error = file.path + (whole ? ": its time cannot be set" : " does not have its size");
      return false;
    }
  }
  return true;
}

// Wine trusts a signature under any root.
bool UnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

struct EntryResult {
  const PlanEntry* entry;
  std::vector<TestCase> cases;
  std::string reason;  // of the tests skipped here
  DWORD seconds = 0;
};

EntryResult RunEntry(const PlanEntry& entry, const Decision& decision, const fs::path& bundle,
                     const fs::path& results, int index, int timeout_minutes) {
  EntryResult result{&entry, {}, decision.reason, 0};
  if (!decision.carried) {
    result.cases.push_back(SkippedCase(entry.name, entry.name, decision.reason));
    return result;
  }
  const DWORD start = GetTickCount();
  fs::path program = bundle / Utf8ToWide(entry.program);
  program.make_preferred();
  const fs::path log = results / L"logs" / (Utf8ToWide(entry.name) + L".log");
  const std::string own_filter = FilterOf(entry.arguments);
  std::vector<std::string> arguments;
  for (const std::string& argument : entry.arguments)
    if (!argument.starts_with("--gtest_filter=")) arguments.push_back(argument);

  size_t to_run = 1;
  if (!decision.skipped_patterns.empty()) {
    // The names of the tests left out, for the report.
    std::vector<std::string> listing = arguments;
    listing.push_back("--gtest_list_tests");
    if (!own_filter.empty()) listing.push_back("--gtest_filter=" + own_filter);
    const fs::path list = results / L"logs" / (Utf8ToWide(entry.name) + L".list.txt");
    ScopedEnvironment environment(entry, bundle);
    const Run run = RunProgram(program, listing, list, results, 120000);
    std::string text;
    if (!run.started || run.timed_out || run.exit_code != 0 || !ReadText(list, &text)) {
      result.cases.push_back(FailedCase(
          entry.name, entry.name,
          "listing its tests " + (run.timed_out ? std::string("did not end") : Describe(run))));
      return result;
    }
    to_run = 0;
    for (const std::string& name : ParseTestList(text)) {
      if (!MatchesFilter(name, decision.skipped_patterns)) {
        ++to_run;
        continue;
      }
      const size_t dot = name.find('.');
      result.cases.push_back(SkippedCase(entry.name + "." + name.substr(0, dot),
                                         name.substr(dot + 1), decision.reason));
    }
  }
  if (to_run) {
    const std::string filter = CombineFilters(own_filter, decision.skipped_patterns);
    if (!filter.empty()) arguments.push_back("--gtest_filter=" + filter);
    // Numbered, not named after the program: a test that reads its own
    // command line must not find its program's name in it.
    wchar_t number[32];
    std::swprintf(number, 32, L"report-%02d.xml", index);
    const fs::path report = results / L"reports" / number;
    DeleteFileW(report.c_str());
    arguments.push_back("--gtest_output=xml:" + WideToUtf8(report.native()));
    const int minutes = timeout_minutes ? timeout_minutes : (entry.timeout_seconds + 59) / 60;
    ScopedEnvironment environment(entry, bundle);
    const Run run = RunProgram(program, arguments, log, results, DWORD(minutes) * 60000);
    std::string xml, error, output;
    std::vector<TestCase> cases;
    ReadText(log, &output);
    const std::string running = UnfinishedTest(output);
    const std::string where = (running.empty() ? "" : " (running " + running + ")") +
                              "; its output: logs\\" + entry.name + ".log";
    if (run.timed_out) {
      result.cases.push_back(FailedCase(entry.name, entry.name,
                                        "did not end within " + std::to_string(minutes) +
                                            " min and was ended with every process it started" +
                                            where));
    } else if (!run.started || !ReadText(report, &xml) ||
               !ReadGtestReport(xml, entry.name, &cases, &error)) {
      result.cases.push_back(FailedCase(
          entry.name, entry.name,
          Describe(run) + " without a readable report" + (error.empty() ? "" : ": " + error) +
              (run.started ? where : "")));
    } else {
      const bool failures = CountCases(cases).failed > 0;
      result.cases.insert(result.cases.end(), cases.begin(), cases.end());
      // A crash after the last test, or a failure outside any test.
      if (run.exit_code != 0 && !failures)
        result.cases.push_back(FailedCase(entry.name, entry.name, Describe(run)));
    }
  }
  result.seconds = (GetTickCount() - start) / 1000;
  return result;
}

void PrintCounts(const char* name, const Counts& counts) {
  std::printf("  %-28s %6d %7d %8d\n", name, counts.passed, counts.failed, counts.skipped);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // A crash of a test program must end it, not wait for someone to close a
  // dialog; the programs it starts inherit the mode.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  Options options;
  std::string error;
  if (argc > 1 && (std::wcscmp(argv[1], L"--help") == 0 || std::wcscmp(argv[1], L"/?") == 0)) {
    std::printf("%s", kUsage);
    return 0;
  }
  if (!ParseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "run_tests: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  wchar_t self[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
  const fs::path bundle = fs::path(std::wstring(self, length)).parent_path();
  std::string plan_text;
  std::vector<PlanEntry> plan;
  if (!ReadText(bundle / L"tests.txt", &plan_text)) {
    std::fprintf(stderr, "run_tests: %s\\tests.txt is missing: run run_tests.exe from the "
                 "unpacked bundle\n", WideToUtf8(bundle.native()).c_str());
    return 2;
  }
  if (!ParsePlan(plan_text, &plan, &error)) {
    std::fprintf(stderr, "run_tests: tests.txt, %s\n", error.c_str());
    return 2;
  }
  std::vector<const PlanEntry*> selected, setups;
  for (const PlanEntry& entry : plan) {
    if (entry.setup) setups.push_back(&entry);
    else if (options.only.empty() || std::ranges::count(options.only, entry.name))
      selected.push_back(&entry);
  }
  for (const std::string& name : options.only) {
    if (std::ranges::none_of(selected, [&](const PlanEntry* e) { return e->name == name; })) {
      std::fprintf(stderr, "run_tests: no test entry \"%s\" (see --list)\n", name.c_str());
      return 2;
    }
  }

  if (options.list) {
    for (const PlanEntry* entry : selected) {
      const Decision decision = Decide(*entry);
      std::string what = decision.carried ? entry->program : "skipped";
      if (decision.carried && decision.skipped_patterns == "*") what += ", every test skipped";
      else if (decision.carried && !decision.skipped_patterns.empty())
        what += " except " + decision.skipped_patterns;
      if (!decision.reason.empty()) what += ": " + decision.reason;
      std::printf("%s: %s\n", entry->name.c_str(), what.c_str());
    }
    for (const PlanEntry* entry : setups)
      std::printf("%s: fixture step, %s\n", entry->name.c_str(), entry->note.c_str());
    return 0;
  }

  std::error_code created;
  std::string files_text;
  std::vector<BundleFile> files;
  if (!ReadText(bundle / L"files.txt", &files_text) ||
      !ParseFileList(files_text, &files, &error) || !RestoreFiles(bundle, files, &error)) {
    std::fprintf(stderr, "run_tests: the bundle is not whole (%s): unpack all of the zip again\n",
                 error.empty() ? "files.txt is missing" : error.c_str());
    return 2;
  }
  TestRoots roots(bundle / L"bin");
  if (options.trust_roots) {
    g_trusted_roots = &roots;
    SetConsoleCtrlHandler(&RemoveRootsOnInterrupt, TRUE);
    if (!roots.Trust(&error)) {
      std::fprintf(stderr, "run_tests: %s\n", error.c_str());
      return 2;
    }
  } else if (!UnderWine() && !roots.Untrusted().empty()) {
    std::printf("Note: the test signing roots (bin\\*\\certs\\ca.crt) are not trusted here: the "
                "tests that\ncheck the test packages' signatures fail without "
                "--trust-test-roots.\n\n");
  }
  const fs::path results =
      options.results.empty() ? bundle / L"results" : fs::absolute(options.results, created);
  fs::create_directories(results / L"logs", created);
  fs::create_directories(results / L"reports", created);
  const fs::path junit = results / L"junit.xml";
  DeleteFileW(junit.c_str());
  if (!fs::is_directory(results / L"reports")) {
    std::fprintf(stderr, "run_tests: cannot make the results folder %s\n",
                 WideToUtf8(results.native()).c_str());
    return 2;
  }

  std::vector<EntryResult> done;
  std::vector<TestCase> all;
  int index = 0;
  for (const PlanEntry* entry : selected) {
    ++index;
    std::printf("[%2d/%zu] %s ...", index, selected.size(), entry->name.c_str());
    std::fflush(stdout);
    EntryResult result =
        RunEntry(*entry, Decide(*entry), bundle, results, index, options.timeout_minutes);
    const Counts counts = CountCases(result.cases);
    std::printf(" %d passed, %d failed, %d skipped (%lu s)\n", counts.passed, counts.failed,
                counts.skipped, result.seconds);
    for (const TestCase& test : result.cases)
      if (test.outcome == Outcome::kFailed)
        std::printf("    FAILED %s.%s\n", test.classname.c_str(), test.name.c_str());
    all.insert(all.end(), result.cases.begin(), result.cases.end());
    // Written after each entry, so a run that is cut off still leaves one.
    if (!WriteText(junit, JUnitReport(all))) {
      std::fprintf(stderr, "run_tests: cannot write %s\n", WideToUtf8(junit.native()).c_str());
      return 2;
    }
    done.push_back(std::move(result));
    std::fflush(stdout);
  }

  std::printf("\n  %-28s %6s %7s %8s\n", "", "passed", "failed", "skipped");
  for (const EntryResult& result : done)
    PrintCounts(result.entry->name.c_str(), CountCases(result.cases));
  const Counts total = CountCases(all);
  PrintCounts("total", total);
  if (total.skipped_here) {
    std::printf("\nNot run here (%d tests; they run under CTest on the build machine):\n",
                total.skipped_here);
    for (const EntryResult& result : done) {
      const int count = CountCases(result.cases).skipped_here;
      if (!count) continue;
      std::printf("  %s (%d %s): %s\n", result.entry->name.c_str(), count,
                  count == 1 ? "test" : "tests", result.reason.c_str());
    }
  }
  if (!setups.empty()) {
    std::printf("\nFixture steps of CTest (not tests):\n");
    for (const PlanEntry* entry : setups)
      std::printf("  %s: %s\n", entry->name.c_str(), entry->note.c_str());
  }
  std::printf("\nJUnit report: %s\n%s\n", WideToUtf8(junit.native()).c_str(),
              total.failed ? "FAILED" : "PASSED");
  return total.failed ? 1 : 0;
}
