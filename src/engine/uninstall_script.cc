// The clean-up script "k.bat" that finishes an uninstallation once the
// installer's processes have ended.
#include "engine/uninstall_script.h"

#include <windows.h>

#include <utility>

#include "base/scoped_handle.h"
#include "base/strings.h"

namespace norva::installer {
namespace {

// How often, about a second apart, the script tries again to delete files
// that stay, all files together: a process that has not let go of a file
// after a minute is not going to.
constexpr int kDeleteTries = 60;
// Rounds of the wait for the processes, about a second each: what still runs
// after two minutes is not ending with the uninstallation, and the script
// goes on without it.
constexpr int kWaitRounds = 120;

// `text` in the code page, when every character has a form there.
bool ToCodePage(const std::wstring& text, unsigned code_page, std::string* bytes) {
  if (code_page == CP_UTF8) {
    *bytes = WideToUtf8(text);
    return true;
  }
  const int length = static_cast<int>(text.size());
  if (length == 0) {
    bytes->clear();
    return true;
  }
  BOOL lossy = FALSE;
  int size = WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, text.data(), length, nullptr,
                                 0, nullptr, &lossy);
  if (size <= 0 || lossy) return false;
  bytes->assign(size, '\0');
  WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, text.data(), length, bytes->data(), size,
                      nullptr, nullptr);
  return true;
}

// A path as a quoted batch-file argument: "%" would start a variable. Within
// the quotes "&", "(", ")" and "^" are plain letters, and so is "!" as long
// as delayed expansion is off.
std::wstring Quoted(const FilePath& path) {
  std::wstring text = L"\"";
  for (wchar_t c : path.native()) {
    if (c == L'%') text += L'%';
    text += c;
  }
  return text + L"\"";
}

// The line that sets the error level to 0 while process `pid` runs the
// program `image` and to 1 once it does not. TASKLIST's CSV line begins
// with the quoted image name, a comma and the quoted id, which FIND looks
// for (a quotation mark in FIND's string is written twice). Each side of a
// pipe is parsed again by a cmd.exe of its own, which expands "%" (and "!",
// where the registry turns delayed expansion on) once more: only the part of
// the name after the last of those goes in.
std::wstring ProcessCheck(uint32_t pid, const std::wstring& image) {
  const std::wstring id = std::to_wstring(pid);
  const std::wstring list = L"TASKLIST /FI \"PID eq " + id + L"\"";
  if (image.empty()) return list + L" | FIND /c /i \".exe\"";
  const size_t special = image.find_last_of(L"%!");
  const std::wstring tail = special == std::wstring::npos ? L"\"\"" + image
                                                          : image.substr(special + 1);
  return list + L" /FO CSV /NH | FIND /c /i \"" + tail + L"\"\",\"\"" + id + L"\"\"\"";
}

}  // namespace

uint32_t ParseProcessId(const std::wstring& text) {
  if (text.empty() || text.size() > 10) return 0;
  uint64_t value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return 0;
    value = value * 10 + static_cast<uint64_t>(c - L'0');
  }
  return value > UINT32_MAX ? 0 : static_cast<uint32_t>(value);
}

std::wstring ProcessImageName(uint32_t pid) {
  ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return {};
  wchar_t path[MAX_PATH * 4];
  DWORD size = MAX_PATH * 4;
  if (!QueryFullProcessImageNameW(process.get(), 0, path, &size)) return {};
  return FilePath(std::wstring(path, size)).filename().native();
}

FilePath ConsoleSpelling(const FilePath& path, unsigned code_page) {
  std::string ignored;
  if (ToCodePage(path.native(), code_page, &ignored)) return path;
  DWORD size = GetShortPathNameW(path.c_str(), nullptr, 0);
  if (size == 0) return path;
  std::wstring short_path(size, L'\0');
  size = GetShortPathNameW(path.c_str(), short_path.data(), size);
  if (size == 0 || size >= short_path.size()) return path;
  short_path.resize(size);
  if (!ToCodePage(short_path, code_page, &ignored)) return path;
  return short_path;
}

std::wstring BuildUninstallScript(uint32_t pid1, uint32_t pid2, uint32_t pid3,
                                  const std::vector<FilePath>& files,
                                  const std::set<FilePath>& folders, const FilePath& script,
                                  const std::function<FilePath(const FilePath&)>& spell,
                                  const std::function<std::wstring(uint32_t pid)>& image_name) {
  auto form = [&](const FilePath& path) { return spell ? spell(path) : path; };
  auto spelled = [&](const FilePath& path) { return Quoted(form(path)); };
  std::vector<std::pair<std::wstring, uint32_t>> pids = {{L"PID1", pid1}};
  if (pid2) pids.emplace_back(L"PID2", pid2);
  if (pid3) pids.emplace_back(L"PID3", pid3);
  std::wstring text;
  for (const auto& [name, id] : pids) text += L"SET " + name + L"_RUNNING=TRUE\n";
  text += L"SET WAIT_ROUNDS=0\n";
  text += L":again\n";
  for (const auto& [name, id] : pids) {
    text += L"IF %" + name + L"_RUNNING%==TRUE (\n";
    text += ProcessCheck(id, image_name ? image_name(id) : std::wstring()) + L"\n";
    text += L"IF ERRORLEVEL 1 SET " + name + L"_RUNNING=FALSE\n";
    text += L")\n";
  }
  // A pause only while something still runs: a process already gone costs
  // no second.
  for (const auto& [name, id] : pids) text += L"IF %" + name + L"_RUNNING%==TRUE GOTO :pause\n";
  text += L"GOTO :waited\n";
  text += L":pause\n";
  text += L"ping -n 2 127.0.0.1\n";
  text += L"SET /A WAIT_ROUNDS+=1\n";
  text += L"IF %WAIT_ROUNDS% GEQ " + std::to_wstring(kWaitRounds) + L" GOTO :waited\n";
  text += L"GOTO :again\n";
  text += L":waited\n";

  // Where the wait above cannot tell whether a process still runs, a file
  // it holds (the uninstaller itself, for one) refuses to go at first. The
  // lines stay outside parentheses, where cmd.exe would expand the count
  // once for the whole block.
  if (!files.empty()) text += L"SET DEL_TRIES=0\n";
  for (size_t i = 0; i < files.size(); ++i) {
    const std::wstring path = spelled(files[i]);
    const std::wstring again = L":del" + std::to_wstring(i + 1);
    const std::wstring next = L":deleted" + std::to_wstring(i + 1);
    text += again + L"\n";
    text += L"del " + path + L"\n";
    text += L"IF NOT EXIST " + path + L" GOTO " + next + L"\n";
    text += L"SET /A DEL_TRIES+=1\n";
    text += L"IF %DEL_TRIES% GEQ " + std::to_wstring(kDeleteTries) + L" GOTO " + next + L"\n";
    text += L"ping -n 2 127.0.0.1\n";
    text += L"GOTO " + again + L"\n";
    text += next + L"\n";
  }

  // A folder that is some process's current folder cannot be removed.
  text += L"cd /d \"%SystemRoot%\"\n";
  // Deepest first: a folder sorts after its parent.
  for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder)
    text += L"rmdir " + spelled(*folder) + L"\n";

  // Its folder can go only once the script has left it. Windows' cmd.exe
  // opens the script anew for every line, Wine's keeps it open to the end (a
  // script deleted in place stays in the folder until then): so the script
  // moves itself out, and the rest of its last line still runs after that.
  // The last "del" is for a script that could not be moved.
  const FilePath folder = form(script.parent_path());
  const std::wstring own = Quoted(folder / script.filename());
  const std::wstring aside = L"\"%TEMP%\\k_" + std::to_wstring(pid1) + L".bat\"";
  text += L"move /y " + own + L" " + aside + L" & rmdir " + Quoted(folder) + L" & del " + aside +
          L" & del " + own + L"\n";
  return text;
}

std::string EncodeUninstallScript(const std::wstring& script, unsigned code_page) {
  std::string bytes;
  if (ToCodePage(script, code_page, &bytes)) return bytes;
  return "chcp 65001 >nul\n" + WideToUtf8(script);
}

}  // namespace norva::installer
