#include "base/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include "base/strings.h"

namespace norva::installer {
namespace {

constexpr std::wstring_view kSwitchPrefixes[] = {L"--", L"-", L"/"};
constexpr wchar_t kSwitchTerminator[] = L"--";

// Splits "--name=value" into its lower-cased name and value. False for
// anything that is not a switch.
bool SplitSwitch(const std::wstring& arg, std::string* name, std::wstring* value) {
  for (std::wstring_view prefix : kSwitchPrefixes) {
    if (arg.size() <= prefix.size() || arg.compare(0, prefix.size(), prefix) != 0) continue;
    std::wstring rest = arg.substr(prefix.size());
    size_t equals = rest.find(L'=');
    std::wstring raw_name = rest.substr(0, equals);
    if (raw_name.empty()) return false;
    *name = WideToUtf8(ToLowerASCII(std::wstring_view(raw_name)));
    *value = equals == std::wstring::npos ? std::wstring() : rest.substr(equals + 1);
    return true;
  }
  return false;
}

}  // namespace

CommandLine::CommandLine(const FilePath& program) : program_(program) {}

CommandLine CommandLine::FromArgv(const std::vector<std::wstring>& argv) {
  CommandLine line(argv.empty() ? FilePath() : FilePath(argv[0]));
  bool switches_done = false;
  for (size_t i = 1; i < argv.size(); ++i) line.ParseArgument(argv[i], &switches_done);
  return line;
}

CommandLine CommandLine::FromString(std::wstring_view command_line) {
  std::wstring text(command_line);
  int count = 0;
  wchar_t** parts = text.empty() ? nullptr : CommandLineToArgvW(text.c_str(), &count);
  std::vector<std::wstring> argv;
  for (int i = 0; parts && i < count; ++i) argv.emplace_back(parts[i]);
  if (parts) LocalFree(parts);
  return FromArgv(argv);
}

const CommandLine& CommandLine::ForCurrentProcess() {
  static const CommandLine* current = new CommandLine(FromString(GetCommandLineW()));
  return *current;
}

void CommandLine::ParseArgument(const std::wstring& arg, bool* switches_done) {
  raw_args_.push_back(arg);
  if (!*switches_done) {
    if (arg == kSwitchTerminator) {
      *switches_done = true;
      return;
    }
    std::string name;
    std::wstring value;
    if (SplitSwitch(arg, &name, &value)) {
      switches_[name] = value;
      return;
    }
  }
  args_.push_back(arg);
}

bool CommandLine::HasSwitch(std::string_view name) const {
  return switches_.find(name) != switches_.end();
}

std::wstring CommandLine::GetSwitchValue(std::string_view name) const {
  auto it = switches_.find(name);
  return it == switches_.end() ? std::wstring() : it->second;
}

FilePath CommandLine::GetSwitchValuePath(std::string_view name) const {
  return FilePath(GetSwitchValue(name));
}

std::string CommandLine::GetSwitchValueASCII(std::string_view name) const {
  std::wstring value = GetSwitchValue(name);
  return IsStringASCII(value) ? WideToUtf8(value) : std::string();
}

bool CommandLine::GetSwitchValueBool(std::string_view name, bool absent_value) const {
  auto it = switches_.find(name);
  return it == switches_.end() ? absent_value : ParseBoolSwitchValue(it->second);
}

void CommandLine::AppendSwitch(std::string_view name) { AppendSwitchValue(name, L""); }

void CommandLine::AppendSwitchValue(std::string_view name, std::wstring_view value) {
  std::string lower = ToLowerASCII(name);
  std::wstring arg = L"--" + Utf8ToWide(lower);
  if (!value.empty()) arg += L"=" + std::wstring(value);
  switches_[lower] = std::wstring(value);
  raw_args_.push_back(arg);
}

void CommandLine::AppendSwitchPath(std::string_view name, const FilePath& value) {
  AppendSwitchValue(name, value.native());
}

void CommandLine::AppendArg(std::wstring_view arg) {
  args_.emplace_back(arg);
  raw_args_.emplace_back(arg);
}

std::wstring CommandLine::GetArgumentsString() const {
  std::wstring out;
  for (const std::wstring& arg : raw_args_) {
    if (!out.empty()) out += L' ';
    out += QuoteArgument(arg);
  }
  return out;
}

std::wstring CommandLine::GetCommandLineString() const {
  std::wstring out = QuoteArgument(program_.native());
  std::wstring args = GetArgumentsString();
  if (!args.empty()) out += L' ' + args;
  return out;
}

bool ParseBoolSwitchValue(std::wstring_view value) {
  if (EqualsCaseInsensitiveASCII(value, L"yes") || EqualsCaseInsensitiveASCII(value, L"true"))
    return true;
  // The leading decimal integer, as atoi reads it.
  size_t i = 0;
  while (i < value.size() && (value[i] == L' ' || value[i] == L'\t')) ++i;
  if (i < value.size() && (value[i] == L'+' || value[i] == L'-')) ++i;
  for (; i < value.size() && value[i] >= L'0' && value[i] <= L'9'; ++i)
    if (value[i] != L'0') return true;
  return false;
}

std::wstring QuoteArgument(std::wstring_view arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring_view::npos)
    return std::wstring(arg);
  // Backslashes are literal unless they precede a quote; those before a quote
  // (or before the closing quote) are doubled.
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  out += L'"';
  return out;
}

}  // namespace norva::installer
