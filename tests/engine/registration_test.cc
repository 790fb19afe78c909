#include <windows.h>

#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/command_line.h"
#include "base/logging.h"
#include "base/strings.h"
#include "engine/engine_test_support.h"
#include "installer/settings.h"
#include "product/installer_features.h"
#include "product/product_info.h"
#include "support/fault_injection.h"
#include "system/install_log.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

using test::FaultInjector;
using test::KeyExists;
using test::MachineSnapshot;
using test::RecordingObserver;

const std::vector<std::wstring> kPerUser = {L"--allusers=0", L"--launchnorva=0"};
const std::vector<std::wstring> kAllUsers = {L"--allusers=1", L"--launchnorva=0"};
// Below the company's key, which the installation owns.
const std::wstring kOwnKey = L"Software\\" + Utf8ToWide(product::CompanyName()) + L"\\RegistrationTest";
constexpr char kAbsent[] = "<absent>";

std::wstring W(const std::string& text) { return Utf8ToWide(text); }

// Type, size and text in one line, so a lost terminator shows too.
std::string Describe(DWORD type, const std::vector<BYTE>& bytes) {
  std::string text =
      "type " + std::to_string(type) + ", " + std::to_string(bytes.size()) + " bytes";
  if (type == REG_SZ)
    text += ": \"" +
            WideToUtf8({reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2}) + "\"";
  if (type == REG_DWORD && bytes.size() == 4)
    text += ": " + std::to_string(*reinterpret_cast<const DWORD*>(bytes.data()));
  return text;
}

std::string Actual(HKEY root, const std::wstring& key, const std::wstring& name) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return kAbsent;
  const wchar_t* value = name.empty() ? nullptr : name.c_str();
  DWORD type = 0, size = 0;
  LONG result = RegQueryValueExW(handle, value, nullptr, &type, nullptr, &size);
  std::vector<BYTE> bytes(size);
  if (result == ERROR_SUCCESS && size)
    result = RegQueryValueExW(handle, value, nullptr, &type, bytes.data(), &size);
  RegCloseKey(handle);
  return result == ERROR_SUCCESS ? Describe(type, bytes) : kAbsent;
}

struct Row {
  std::wstring key, name;  // an empty name is the default value
  DWORD type;
  std::wstring text;
  DWORD number = 0;
  HKEY only = nullptr;  // the one hive the row applies to
  bool from_stream_4 = false;

  std::string Expected() const {
    const BYTE* data = type == REG_DWORD ? reinterpret_cast<const BYTE*>(&number)
                                         : reinterpret_cast<const BYTE*>(text.c_str());
    size_t size = type == REG_DWORD ? 4 : type == REG_SZ && !text.empty() ? 2 * text.size() + 2 : 0;
    return Describe(type, std::vector<BYTE>(data, data + size));
  }
};

// Every value an installation into `folder` writes, with its uninstall key.
std::vector<Row> ExpectedRows(const std::filesystem::path& folder, const std::wstring& uninstall) {
  const std::wstring name = W(product::ProductName()), stream = W(product::InternalStreamName());
  const std::wstring ps = name + stream, f = folder.native();
  const std::wstring launcher = L"\"" + f + L"\\Launcher.exe\"";
  const std::wstring exe = W(product::FileNameBase()) + L".exe";
  const std::wstring cls = L"Software\\Classes\\" + ps, dde = cls + L"\\shell\\open\\ddeexec";
  const std::wstring client = L"Software\\Clients\\StartMenuInternet\\" + ps;
  const std::wstring caps = client + L"\\Capabilities", info = client + L"\\InstallInfo";
  const std::wstring app_paths = L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" + exe;
  const std::wstring version = W(product::ProductVersion());
  std::vector<Row> rows = {
      {cls, L"FriendlyTypeName", REG_SZ, name + L" Web Document"},
      {cls, L"URL Protocol", REG_SZ, L""},
      {cls + L"\\DefaultIcon", L"", REG_SZ, f + L"\\Launcher.exe,0"},
      {cls + L"\\shell\\open\\command", L"", REG_SZ, launcher + L" -noautoupdate -- \"%1\""},
      {dde, L"", REG_SZ, L"", 0, HKEY_CURRENT_USER},
      {dde + L"\\Application", L"", REG_SZ, L"", 0, HKEY_CURRENT_USER},
      {dde + L"\\Topic", L"", REG_SZ, L"", 0, HKEY_CURRENT_USER},
      {L"Software\\Classes\\.oex", L"", REG_SZ, ps + L".Extension"}};
  for (const wchar_t* extension :
       {L".oex", L".opdownload", L".htm", L".html", L".pdf", L".shtml", L".xht", L".xhtml"})
    rows.push_back(
        {std::wstring(L"Software\\Classes\\") + extension + L"\\OpenWithProgIDs", ps, REG_NONE});
  const Row registered[] = {
      {L"Software\\Classes\\Applications\\" + exe + L"\\shell\\open\\command", L"", REG_SZ,
       launcher + L" \"%1\"", 0, nullptr, true},
      {app_paths, L"", REG_SZ, launcher, 0, nullptr, true},
      {app_paths, L"Path", REG_SZ, L"\"" + f + L"\"", 0, nullptr, true},
      {L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Compatibility "
       L"Assistant\\Persisted",
       f + L"\\Launcher.exe", REG_DWORD, L"", 32},
      {L"Software\\RegisteredApplications", name + L" " + stream, REG_SZ, caps},
      {client, L"", REG_SZ, name + L" " + stream},
      {client + L"\\DefaultIcon", L"", REG_SZ, f + L"\\Launcher.exe,0"},
      {info, L"ShowIconsCommand", REG_SZ, launcher + L" --showicons"},
      {info, L"HideIconsCommand", REG_SZ, launcher + L" --hideicons"},
      {info, L"ReinstallCommand", REG_SZ, launcher + L" --makedefaultbrowser"},
      {info, L"IconsVisible", REG_DWORD, L"", 1},
      {client + L"\\shell\\open\\command", L"", REG_SZ, launcher},
      {caps, L"ApplicationDescription", REG_SZ, L"The Best Internet Experience on any device"},
      {caps, L"ApplicationIcon", REG_SZ, launcher + L",0"},
      {caps, L"ApplicationName", REG_SZ, name + L" " + stream},
  };
  rows.insert(rows.end(), std::begin(registered), std::end(registered));
  for (const wchar_t* extension : {L".crx", L".htm", L".html", L".nex", L".opdownload", L".pdf",
                                   L".shtml", L".xht", L".xhtml"})
    rows.push_back({caps + L"\\FileAssociations", extension, REG_SZ, ps});
  rows.push_back({caps + L"\\Startmenu", L"StartMenuInternet", REG_SZ, ps});
  for (const wchar_t* scheme : {L"http", L"https", L"ftp", L"mailto"})
    rows.push_back({caps + L"\\UrlAssociations", scheme, REG_SZ, ps});
  const Row entry[] = {
      {uninstall, L"DisplayName", REG_SZ, name + L" " + stream + L" " + version},
      {uninstall, L"DisplayIcon", REG_SZ, launcher + L",0"},
      {uninstall, L"DisplayVersion", REG_SZ, version},
      {uninstall, L"HelpLink", REG_SZ, W(product::Url("help"))},
      {uninstall, L"InstallLocation", REG_SZ, f},
      {uninstall, L"NoModify", REG_DWORD, L"", 1},
      {uninstall, L"NoRepair", REG_DWORD, L"", 1},
      {uninstall, L"Publisher", REG_SZ, W(product::CompanyName())},
      {uninstall, L"UninstallString", REG_SZ, launcher + L" /uninstall"},
      {uninstall, L"URLInfoAbout", REG_SZ, W(product::Url("homepage"))},
      {uninstall, L"URLUpdateInfo", REG_SZ, W(product::Url("download"))},
  };
  rows.insert(rows.end(), std::begin(entry), std::end(entry));
  return rows;
}

// Every row that applies to `hive` in this stream is there, exactly; the
// others wrote nothing.
void ExpectRows(HKEY hive, const std::filesystem::path& folder, bool stream_4 = false) {
  for (const Row& row : ExpectedRows(folder, test::UninstallKeyBase())) {
    bool applies = (!row.only || row.only == hive) && (stream_4 || !row.from_stream_4);
    EXPECT_EQ(Actual(hive, row.key, row.name), applies ? row.Expected() : kAbsent)
        << WideToUtf8(row.key + L" : " + row.name);
  }
}

class RegistrationTest : public testing::Test {
 protected:
  void SetUp() override { FeatureRegistry::Get().RegisterDefaults(); }
  void TearDown() override {
    SetWindowsVersionRankForTesting(-1);
    product::SetStreamIdForTesting(-1);
    FeatureRegistry::Get().RegisterDefaults();
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) RegDeleteTreeW(root, kOwnKey.c_str());
  }

  std::filesystem::path Folder(const wchar_t* name) {
    return env_.scratch() / L"Norva (x&y) \u00e9t\u00e9" / name;
  }

  test::EngineEnvironment env_;
};

TEST_F(RegistrationTest, InstallationWritesEveryRowInItsHive) {
  const std::wstring cls = L"Software\\Classes\\" + test::ProductStream();
  // The folder's braces are text, not placeholders, in every value naming it.
  const std::filesystem::path one = Folder(L"{x}\\{Product} {Version}");
  ASSERT_TRUE(env_.Run(one, {kPerUser}).succeeded);
  ExpectRows(HKEY_CURRENT_USER, one);
  // Before stream 4 neither are the executable's rows written nor recorded.
  test::ScopedCom com;
  InstallLog log;
  ASSERT_TRUE(LoadInstallLog(one / L"installation_status.xml", &log));
  for (const InstallLogKey& key : log.hkcu_keys) {
    EXPECT_EQ(key.path.find("App Paths"), std::string::npos) << key.path;
    EXPECT_EQ(key.path.find("Classes\\Applications"), std::string::npos) << key.path;
  }

  test::RemoveProductTraces();
  // The machine-wide row deletes the key its template spells, placeholders
  // and all: a DDE command found under the product's class stays.
  const std::wstring ifexec = cls + L"\\shell\\open\\ddeexec\\ifexec";
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, ifexec.c_str(), nullptr, REG_SZ, L"x", 4);
  ASSERT_TRUE(env_.Run(Folder(L"all"), {kAllUsers}).succeeded);
  ExpectRows(HKEY_LOCAL_MACHINE, Folder(L"all"));
  EXPECT_EQ(Actual(HKEY_LOCAL_MACHINE, ifexec, L""), (Row{L"", L"", REG_SZ, L"x"}.Expected()));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, cls));
}

// Before Windows 8 a machine-wide installation that makes the browser the
// default registers the protocols itself. The DDE commands that other
// programs keep under them (and under the product's class) stay; the
// delete-key rows remove only the keys they spell.
TEST_F(RegistrationTest, MachineWideDefaultBrowserKeepsTheDdeCommandsOfOthers) {
  SetWindowsVersionRankForTesting(kWindows7);
  const std::wstring classes = L"Software\\Classes\\", dde = L"\\shell\\open\\ddeexec";
  // Keys of the prefix that the registration writes to, put back afterwards.
  std::vector<std::unique_ptr<test::RegistryKeyGuard>> guards;
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    for (const wchar_t* name : {L"http", L"https", L"ftp", L".crx", L".htm", L".html", L".nex",
                                L".opdownload", L".shtml", L".xht", L".xhtml", L"{Protocol}"})
      guards.push_back(std::make_unique<test::RegistryKeyGuard>(root, classes + name));
    guards.push_back(
        std::make_unique<test::RegistryKeyGuard>(root, L"Software\\Clients\\StartMenuInternet"));
  }
  const struct {
    std::wstring owner;
    bool stays;
  } kKeys[] = {
      {L"http", true},
      {L"https", true},
      {L"ftp", true},
      {test::ProductStream(), true},
      {L"{Protocol}", false},  // what the protocol rows spell
  };
  const wchar_t other[] = L"OtherBrowser";
  for (const auto& k : kKeys) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, (classes + k.owner + dde + L"\\Application").c_str(),
                              nullptr, REG_SZ, other, sizeof(other)),
              ERROR_SUCCESS);
  }
  RecordingObserver run = env_.Run(
      Folder(L"default"), {{L"--allusers=1", L"--launchnorva=0", L"--setdefaultbrowser=1"}});
  ASSERT_TRUE(run.succeeded) << run.failed_message;
  // The protocols were registered for the machine.
  EXPECT_EQ(test::ReadRegString(HKEY_LOCAL_MACHINE, classes + L"ftp\\shell\\open\\command"),
            L"\"" + Folder(L"default").native() + L"\\launcher.exe\" -noautoupdate -- \"%1\"");
  for (const auto& k : kKeys) {
    EXPECT_EQ(Actual(HKEY_LOCAL_MACHINE, classes + k.owner + dde + L"\\Application", L""),
              (k.stays ? Row{L"", L"", REG_SZ, other}.Expected() : kAbsent))
        << WideToUtf8(k.owner);
    EXPECT_EQ(KeyExists(HKEY_LOCAL_MACHINE, classes + k.owner + dde), k.stays)
        << WideToUtf8(k.owner);
  }
}

TEST_F(RegistrationTest, FurtherInstallationsOfTheVersionNumberTheirUninstallKey) {
  for (const wchar_t* name : {L"first", L"second", L"third"})
    ASSERT_TRUE(env_.Run(Folder(name), {kPerUser}).succeeded);
  for (auto [suffix, name] : {std::pair{L"", L"first"}, {L"1", L"second"}, {L"2", L"third"}}) {
    EXPECT_EQ(test::ReadRegString(HKEY_CURRENT_USER, test::UninstallKeyBase() + suffix,
                                  L"InstallLocation"),
              Folder(name).native());
  }
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, test::UninstallKeyBase() + L"3"));
  // The next settings propose the last folder.
  Settings settings({.silent = true}, CommandLine::FromArgv({L"installer.exe"}));
  EXPECT_EQ(settings.default_folder().last_install_path(), Folder(L"third"));
  EXPECT_EQ(settings.GetDefaultInstallFolder(true, true), Folder(L"third"));
}

TEST_F(RegistrationTest, ExecutableRowsOnlyFromStream4) {
  // {Stream} stays the build's internal stream name.
  product::SetStreamIdForTesting(4);
  RecordingObserver run = env_.Run(
      Folder(L"stream 4"), {{L"--allusers=0", L"--launchnorva=0", L"--setdefaultbrowser=0"}});
  ASSERT_TRUE(run.succeeded) << run.failed_message;
  ExpectRows(HKEY_CURRENT_USER, Folder(L"stream 4"), true);
}

TEST_F(RegistrationTest, SystemComponentOnlyWhenHiddenFromPrograms) {
  // This product cannot switch the experiment on; one that has it on by
  // default hides its entry.
  ASSERT_TRUE(
      env_.Run(Folder(L"shown"), {{L"--allusers=0", L"--launchnorva=0",
                                   L"--with-feature:installer-hide-from-program-and-features=on"}})
          .succeeded);
  EXPECT_EQ(Actual(HKEY_CURRENT_USER, test::UninstallKeyBase(), L"SystemComponent"), kAbsent);
  test::RemoveProductTraces();
  product::SetBrandingForTesting(R"({"user_agent_name": "KTW"})");
  FeatureRegistry::Get().RegisterDefaults();
  product::ResetBrandingForTesting();
  ASSERT_TRUE(FeatureRegistry::Get().IsEnabled(kHideFromProgramsAndFeatures));
  ASSERT_TRUE(env_.Run(Folder(L"hidden"), {kPerUser}).succeeded);
  EXPECT_EQ(Actual(HKEY_CURRENT_USER, test::UninstallKeyBase(), L"SystemComponent"),
            (Row{L"", L"", REG_DWORD, L"", 1}.Expected()));
}

// Keys recorded with clean levels 0, 1 and 2, removed by a per-user upgrade
// and by an all-users uninstallation.
TEST_F(RegistrationTest, RecordedEntriesGoByTheirCleanLevel) {
  const wchar_t data[] = L"x";
  auto set = [&](HKEY root, const wchar_t* key, const wchar_t* name) {
    RegSetKeyValueW(root, (kOwnKey + key).c_str(), name, REG_SZ, data, sizeof(data));
  };
  auto record = [&](std::vector<InstallLogKey>* keys, const wchar_t* key, const wchar_t* name,
                    int clean) {
    RecordRegistryValue(keys, kOwnKey + key, name, data, REG_SZ, sizeof(data), clean);
  };
  for (bool uninstall : {false, true}) {
    SCOPED_TRACE(uninstall ? "uninstallation" : "upgrade");
    // A recorded HKLM key would make a per-user installation an all-users one.
    HKEY hive = uninstall ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    std::filesystem::path folder = Folder(uninstall ? L"uninstalled" : L"upgraded");
    std::vector<std::wstring> switches = uninstall ? kAllUsers : kPerUser;
    ASSERT_TRUE(env_.Run(folder, {switches}).succeeded);
    for (const wchar_t* key :
         {L"\\Zero", L"\\One\\Child", L"\\Two\\Leaf", L"\\Two\\Sibling", L"\\Stays"}) {
      for (const wchar_t* name : {L"a", L"b", L"keep"}) set(HKEY_CURRENT_USER, key, name);
    }
    set(HKEY_LOCAL_MACHINE, L"\\Machine\\Leaf", L"a");
    test::ScopedCom com;
    InstallLog log;
    ASSERT_TRUE(LoadInstallLog(folder / L"installation_status.xml", &log));
    record(&log.hkcu_keys, L"\\Zero", L"a", 0);
    record(&log.hkcu_keys, L"\\Zero", L"b", 0);
    record(&log.hkcu_keys, L"\\One", L"a", 1);
    record(&log.hkcu_keys, L"\\Two\\Leaf", L"a", 2);
    if (uninstall) record(&log.hklm_keys, L"\\Machine\\Leaf", L"a", 2);
    ASSERT_TRUE(test::WriteLogInto(folder, log));

    // "--silent" keeps the uninstallation from opening its survey page.
    switches.push_back(L"--silent");
    RecordingObserver run = env_.Run(folder, {.switches = switches, .uninstall = uninstall});
    ASSERT_TRUE(run.succeeded) << run.failed_message;
    EXPECT_EQ(Actual(HKEY_CURRENT_USER, kOwnKey + L"\\Zero", L"a"), kAbsent);
    EXPECT_EQ(Actual(HKEY_CURRENT_USER, kOwnKey + L"\\Zero", L"b"), kAbsent);
    EXPECT_NE(Actual(HKEY_CURRENT_USER, kOwnKey + L"\\Zero", L"keep"), kAbsent);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kOwnKey + L"\\One"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kOwnKey + L"\\Two"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kOwnKey + L"\\Stays"));
    EXPECT_EQ(KeyExists(HKEY_LOCAL_MACHINE, kOwnKey + L"\\Machine"), !uninstall);
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kOwnKey));
    // The installation's own rows: written again by the upgrade, gone after
    // the uninstallation (keys by level 1 and 2, values by level 0).
    EXPECT_EQ(test::ReadRegString(hive, test::UninstallKeyBase(), L"InstallLocation"),
              uninstall ? L"<missing>" : folder.native());
    EXPECT_EQ(KeyExists(hive, L"Software\\Classes\\" + test::ProductStream()), !uninstall);
    EXPECT_EQ(Actual(hive, L"Software\\Classes\\.htm\\OpenWithProgIDs", test::ProductStream()),
              uninstall ? kAbsent : "type 0, 0 bytes");
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) RegDeleteTreeW(root, kOwnKey.c_str());
  }
}

TEST_F(RegistrationTest, OnlyAFailingUninstallRowFailsTheInstallation) {
  std::filesystem::path folder = Folder(L"failing");
  // A reference run counts the operations before the registration rows and
  // up to the last uninstall value, which ends the step.
  int before_rows = -1, last_row = -1;
  {
    FaultInjector counter;
    test::LogCapture log([&](const std::string& line) {
      if (line.find("Uninstall key: ") != std::string::npos) before_rows = counter.executed();
    });
    RecordingObserver observer;
    observer.on_step = [&](int) {
      if (before_rows >= 0 && last_row < 0) last_row = counter.executed();
    };
    EXPECT_TRUE(env_.Run(folder, {.switches = kPerUser, .observer = &observer}).succeeded);
    std::filesystem::remove_all(folder);
    test::RemoveProductTraces();
  }
  ASSERT_GT(before_rows, 0);
  ASSERT_GT(last_row, before_rows + 11);

  for (FaultInjector::Mode mode : {FaultInjector::Mode::kBeforeDo, FaultInjector::Mode::kAfterDo}) {
    SCOPED_TRACE(test::ModeName(mode));
    MachineSnapshot before = MachineSnapshot::Take(folder.parent_path());
    test::LogCapture log;
    FaultInjector injector(last_row, mode);
    RecordingObserver run = env_.Run(folder, {kPerUser});
    EXPECT_TRUE(injector.fired());
    EXPECT_FALSE(run.succeeded);
    EXPECT_EQ(run.failed_id, IDS_GENERAL_FAILURE);
    EXPECT_TRUE(log.Contains("Failed writing uninstallation information"));
    EXPECT_EQ(before.DifferencesTo(MachineSnapshot::Take(folder.parent_path())), "");
  }
  // The first row of the main table is not worth failing for.
  FaultInjector injector(before_rows + 1);
  RecordingObserver run = env_.Run(folder, {kPerUser});
  EXPECT_TRUE(injector.fired());
  ASSERT_TRUE(run.succeeded) << run.failed_message;
  const std::wstring cls = L"Software\\Classes\\" + test::ProductStream();
  EXPECT_EQ(Actual(HKEY_CURRENT_USER, cls, L"FriendlyTypeName"), kAbsent);
  EXPECT_EQ(Actual(HKEY_CURRENT_USER, cls, L"URL Protocol"), "type 1, 0 bytes: \"\"");
  EXPECT_EQ(test::ReadRegString(HKEY_CURRENT_USER, test::UninstallKeyBase(), L"InstallLocation"),
            folder.native());
}

}  // namespace
}  // namespace norva::installer
