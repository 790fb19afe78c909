#ifndef NORVA_BASE_COMMAND_LINE_H_
#define NORVA_BASE_COMMAND_LINE_H_

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/file_path.h"

namespace norva::installer {

// A parsed Windows command line. A switch is "--name", "-name" or "/name",
// optionally followed by "=value"; names are kept in lower case. Arguments
// after a bare "--" are never switches. Everything else is a plain argument.
class CommandLine {
 public:
  using SwitchMap = std::map<std::string, std::wstring, std::less<>>;

  explicit CommandLine(const FilePath& program);
  // Parses a whole command line string as Windows splits it.
  static CommandLine FromString(std::wstring_view command_line);
  static CommandLine FromArgv(const std::vector<std::wstring>& argv);

  // The process command line, parsed once on first use.
  static const CommandLine& ForCurrentProcess();

  const FilePath& GetProgram() const { return program_; }
  bool HasSwitch(std::string_view name) const;
  std::wstring GetSwitchValue(std::string_view name) const;
  FilePath GetSwitchValuePath(std::string_view name) const;
  std::string GetSwitchValueASCII(std::string_view name) const;
  // The boolean rule of every "[0|1]" switch (ParseBoolSwitchValue); a switch
  // given without a value is false, an absent one is `absent_value`.
  bool GetSwitchValueBool(std::string_view name, bool absent_value = false) const;
  const SwitchMap& GetSwitches() const { return switches_; }
  // Plain arguments, in order.
  const std::vector<std::wstring>& GetArgs() const { return args_; }
  // Every argument after the program exactly as it was given.
  const std::vector<std::wstring>& GetRawArgs() const { return raw_args_; }

  void AppendSwitch(std::string_view name);
  void AppendSwitchValue(std::string_view name, std::wstring_view value);
  void AppendSwitchPath(std::string_view name, const FilePath& value);
  void AppendArg(std::wstring_view arg);

  // The whole command line, quoted so that CommandLineToArgvW gives back the
  // same program, switches and arguments.
  std::wstring GetCommandLineString() const;
  // The same without the program.
  std::wstring GetArgumentsString() const;

 private:
  void ParseArgument(const std::wstring& arg, bool* switches_done);

  FilePath program_;
  SwitchMap switches_;
  std::vector<std::wstring> args_;
  std::vector<std::wstring> raw_args_;
};

// True for "yes" or "true" in any ASCII case, otherwise when the leading
// decimal integer is non-zero; anything else is false.
bool ParseBoolSwitchValue(std::wstring_view value);

// Quotes one argument for a Windows command line (the rules that
// CommandLineToArgvW and the C runtime apply when splitting).
std::wstring QuoteArgument(std::wstring_view arg);

}  // namespace norva::installer

#endif  // NORVA_BASE_COMMAND_LINE_H_
