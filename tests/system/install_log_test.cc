#include "system/install_log.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include "support/scratch.h"

namespace norva::installer {
namespace {

class InstallLogTest : public testing::Test {
 protected:
  void SetUp() override { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  void TearDown() override { CoUninitialize(); }

  // Loads `text`, written to a status file, into `log`.
  bool Load(const std::string& text, InstallLog* log) {
    std::filesystem::path file = scratch_.path() / L"installation_status.xml";
    test::WriteFile(file, text);
    return LoadInstallLog(file, log);
  }

  test::ScratchFolder scratch_;
};

const char kMinimalLog[] =
    "<?xml version=\"1.0\"?>\n"
    "<install_log version=\"\" copy_only=\"False\" all_users=\"True\" pinned=\"False\" "
    "app_id=\"\">\n"
    " <path subfolder=\"\"></path>\n"
    " <files>\n"
    "  <file>a.dll</file>\n"
    " </files>\n"
    "</install_log>\n";

TEST_F(InstallLogTest, DefaultRecordWithOneFile) {
  InstallLog log;
  log.files.push_back(L"a.dll");
  std::string text;
  ASSERT_TRUE(WriteInstallLog(log, &text));
  // An element without text is written as an empty element.
  std::string expected = kMinimalLog;
  expected.replace(expected.find("<path subfolder=\"\"></path>"), 26, "<path subfolder=\"\"/>");
  EXPECT_EQ(expected, text);
}

InstallLog FullRecord() {
  InstallLog log;
  log.version = "37.0.2163.0";
  log.copy_only = true;
  log.all_users = false;
  log.pinned = true;
  log.app_id = "Norva.<&\">";
  log.path = L"C:\\Users\\me\\Norva \u00e9";
  log.subfolder = L"37.0";
  log.files = {L"37.0\\a.dll", L"launcher.exe"};
  log.root_files = {L"installer_prefs.json"};
  DWORD number = 255;
  const BYTE bytes[] = {0x00, 0xFF};
  RecordRegistryValue(&log.hklm_keys, L"Software\\A", L"bin", bytes, REG_BINARY, 2, 0);
  RecordRegistryValue(&log.hkcu_keys, L"Software\\A", L"n", &number, REG_DWORD, 4, 1);
  RecordRegistryValue(&log.hkcu_keys, L"Software\\B", L"", nullptr, REG_NONE, 0, 0);
  RecordRegistryValue(&log.hkcu_keys, L"SOFTWARE\\a", L"s", L"x\ty <b>", REG_SZ, 18, 2);
  RecordRegistryValue(&log.hkcu_keys, L"Software\\A", L"gone", nullptr, 0xFFFFFFFF, 0, 5);
  log.desktop_shortcut = L"C:\\Users\\me\\Desktop\\Norva.lnk";
  log.quick_launch_shortcut = L"C:\\q.lnk";
  return log;
}

TEST_F(InstallLogTest, FullRecordIsWrittenExactlyAndReadsBack) {
  InstallLog log = FullRecord();
  std::string text;
  ASSERT_TRUE(WriteInstallLog(log, &text));
  EXPECT_EQ(
      "<?xml version=\"1.0\"?>\n"
      "<install_log version=\"37.0.2163.0\" copy_only=\"True\" all_users=\"False\" "
      "pinned=\"True\" app_id=\"Norva.&lt;&amp;&quot;&gt;\">\n"
      " <path subfolder=\"37.0\">C:\\Users\\me\\Norva \xc3\xa9</path>\n"
      " <files>\n"
      "  <file>37.0\\a.dll</file>\n"
      "  <file>launcher.exe</file>\n"
      " </files>\n"
      " <root_files>\n"
      "  <file>installer_prefs.json</file>\n"
      " </root_files>\n"
      " <registry hive=\"HKLM\">\n"
      "  <key path=\"Software\\A\" clean=\"0\">\n"
      "   <value name=\"bin\" type=\"REG_BINARY\">00,ff</value>\n"
      "  </key>\n"
      " </registry>\n"
      " <registry hive=\"HKCU\">\n"
      "  <key path=\"Software\\A\" clean=\"2\">\n"
      "   <value name=\"n\" type=\"REG_DWORD\">000000ff</value>\n"
      "   <value name=\"s\" type=\"REG_SZ\">x y &lt;b&gt;</value>\n"
      "  </key>\n"
      "  <key path=\"Software\\B\" clean=\"0\">\n"
      "   <value name=\"\" type=\"REG_NONE\"/>\n"
      "  </key>\n"
      " </registry>\n"
      " <shortcut type=\"SC_DEST_DESKTOP\">C:\\Users\\me\\Desktop\\Norva.lnk</shortcut>\n"
      " <shortcut type=\"SC_DEST_QUICK_LAUNCH\">C:\\q.lnk</shortcut>\n"
      "</install_log>\n",
      text);

  // Every field is in the text, so writing what was read gives it again.
  InstallLog read;
  read.files = {L"stale"};
  ASSERT_TRUE(Load(text, &read));
  std::string again;
  ASSERT_TRUE(WriteInstallLog(read, &again));
  EXPECT_EQ(text, again);
}

TEST_F(InstallLogTest, ReaderTrimsAndAcceptsShortLogs) {
  InstallLog read;
  std::string text = kMinimalLog;
  text.replace(text.find("<file>a.dll</file>"), 18, "<file>  a.dll \n</file><!-- x -->");
  text.replace(text.find("copy_only=\"False\""), 17, "copy_only=\"true\"");
  ASSERT_TRUE(Load(text, &read));
  EXPECT_EQ(std::vector<FilePath>{L"a.dll"}, read.files);
  EXPECT_FALSE(read.copy_only);

  // Paths that would lead out of the installation are left out.
  std::string escaping = kMinimalLog;
  escaping.replace(escaping.find("<file>a.dll</file>"), 18,
                   "<file>..\\x.dll</file><file>C:\\y.dll</file><file>\\z.dll</file>"
                   "<file>a.dll</file><file>sub\\..\\..\\w.dll</file>");
  ASSERT_TRUE(Load(escaping, &read));
  EXPECT_EQ(std::vector<FilePath>{L"a.dll"}, read.files);

  std::string no_files = kMinimalLog;
  no_files.replace(no_files.find(" <files>"), no_files.find("</install_log>") - no_files.find(" <files>"),
                   " <files/>\n");
  EXPECT_TRUE(Load(no_files, &read));
  EXPECT_TRUE(read.files.empty());
}

TEST_F(InstallLogTest, ReaderRejections) {
  const std::string tail = "</install_log>\n";
  std::string base = kMinimalLog;
  base.erase(base.find(tail));
  const std::string registry =
      " <registry hive=\"HKCU\"><key path=\"k\" clean=\"1\"/></registry>\n";
  const std::string shortcut = " <shortcut type=\"SC_DEST_MENU\">m.lnk</shortcut>\n";
  struct Case {
    const char* what;
    std::string text;
  } cases[] = {
      {"not XML", "<install_log"},
      {"wrong root", "<?xml version=\"1.0\"?><log/>"},
      {"no version", "<install_log copy_only=\"False\" all_users=\"True\" pinned=\"False\"/>"},
      {"no pinned flag", "<install_log version=\"1\" copy_only=\"False\" all_users=\"True\"/>"},
      {"no path", "<install_log version=\"1\" copy_only=\"False\" all_users=\"True\" "
                  "pinned=\"False\"><files/></install_log>"},
      {"other hive", base + " <registry hive=\"HKCR\"><key path=\"k\" clean=\"1\"/></registry>\n" + tail},
      {"clean not a number", base + " <registry hive=\"HKCU\"><key path=\"k\" clean=\"x\"/></registry>\n" + tail},
      {"empty registry", base + " <registry hive=\"HKCU\"/>\n" + tail},
      {"value without type", base + " <registry hive=\"HKCU\"><key path=\"k\" clean=\"1\">"
                                    "<value name=\"v\">1</value></key></registry>\n" + tail},
      {"shortcut before registry", base + shortcut + registry + tail},
      {"unknown shortcut type", base + " <shortcut type=\"SC_DEST_X\">m</shortcut>\n" + tail},
      {"unknown element", base + " <extra/>\n" + tail},
      {"element after shortcut", base + shortcut + " <files/>\n" + tail},
      {"empty root_files", base + " <root_files/>\n" + tail},
      {"wrong child of files", "<install_log version=\"1\" copy_only=\"False\" all_users=\"True\" "
                               "pinned=\"False\"><path>p</path><files><fil>a</fil></files></install_log>"},
  };
  for (const Case& c : cases) {
    InstallLog read;
    EXPECT_FALSE(Load(c.text, &read)) << c.what;
  }
  InstallLog read;
  EXPECT_TRUE(Load(base + registry + shortcut + tail, &read));
  EXPECT_EQ(L"m.lnk", read.menu_shortcut.native());
  EXPECT_EQ(1u, read.hkcu_keys.size());
  EXPECT_FALSE(LoadInstallLog(scratch_.path() / L"missing.xml", &read));
}

// The text in UTF-16, with or without a byte-order mark.
std::string Utf16(const std::string& ascii, bool big_endian, bool mark) {
  std::string bytes = mark ? (big_endian ? "\xFE\xFF" : "\xFF\xFE") : "";
  for (char c : ascii) {
    bytes += big_endian ? '\0' : c;
    bytes += big_endian ? c : '\0';
  }
  return bytes;
}

// A document type may declare entities that the parser expands without end;
// none is accepted, whatever the encoding, while the same log without one
// reads in each of them. Wine's parser accepts them and expands the entities,
// and only its DOM, which cannot step past a document type node, makes the
// reader fail later: the log line shows they were refused before parsing.
TEST_F(InstallLogTest, DocumentTypeIsRefusedInEveryEncoding) {
  std::string with_type = kMinimalLog;
  with_type.insert(with_type.find("<install_log"),
                   "<!DOCTYPE install_log [<!ENTITY a \"aaaa\">]>\n");
  with_type.replace(with_type.find("<file>a.dll"), 11, "<file>&a;");
  struct Encoding {
    const char* what;
    std::string (*encode)(const std::string&);
  } encodings[] = {
      {"UTF-8", [](const std::string& text) { return text; }},
      {"UTF-8 with BOM", [](const std::string& text) { return "\xEF\xBB\xBF" + text; }},
      {"UTF-16 LE with BOM", [](const std::string& text) { return Utf16(text, false, true); }},
      {"UTF-16 BE with BOM", [](const std::string& text) { return Utf16(text, true, true); }},
      {"UTF-16 LE", [](const std::string& text) { return Utf16(text, false, false); }},
  };
  for (const Encoding& encoding : encodings) {
    InstallLog read;
    EXPECT_TRUE(Load(encoding.encode(kMinimalLog), &read)) << encoding.what;
    test::LogCapture log;
    EXPECT_FALSE(Load(encoding.encode(with_type), &read)) << encoding.what;
    EXPECT_TRUE(log.Contains("Install log declares a document type")) << encoding.what;
  }
}

// Installation folders may carry characters that mean something in a URL.
TEST_F(InstallLogTest, LoadsFromFoldersWithUrlCharacters) {
  for (const wchar_t* name : {L"C#", L"50%20off", L"a%b", L"\x00d1orva"}) {
    std::filesystem::path file = scratch_.path() / name / L"installation_status.xml";
    test::WriteFile(file, kMinimalLog);
    InstallLog read;
    EXPECT_TRUE(LoadInstallLog(file, &read)) << file;
    EXPECT_EQ(std::vector<FilePath>{L"a.dll"}, read.files) << file;
  }
}

}  // namespace
}  // namespace norva::installer
