#ifndef NORVA_BASE_LOGGING_H_
#define NORVA_BASE_LOGGING_H_

#include <functional>
#include <charconv>
#include <type_traits>
#include <string>
#include <string_view>

#include "base/file_path.h"

// The installer's log: one file per run, every line naming its source file and
// line. Use LOG(INFO|WARNING|ERROR) << ..., VLOG(1|2) << ... and PLOG(level),
// which appends the system's last error as readable text.

namespace norva::installer::logging {

// Negative levels are verbose levels: -1 is VLOG(1), -2 is VLOG(2).
enum Level : int { kVerbose2 = -2, kVerbose1 = -1, kInfo = 0, kWarning = 1, kError = 2 };

// Opens a new log file at `path`, or, when a file of that name exists, at the
// first free "<stem>_1<ext>", "<stem>_2<ext>"...; GetLogFilePath() tells
// which. Lines logged before this go nowhere.
bool InitLogFile(const FilePath& path);
void CloseLogFile();
FilePath GetLogFilePath();

// Lines below this level are not written. The default is kInfo.
void SetMinLevel(int level);
bool IsOn(int level);

// Receives every line that is written (after the file). For tests that check
// log texts; pass nullptr to remove.
using LineSink = std::function<void(int level, const std::string& line)>;
void SetLineSinkForTesting(LineSink sink);

// "Access is denied. (0x5)" for an error code of the system.
std::string SystemErrorText(unsigned long error);

// Builds one log line. Formats by hand instead of through iostreams, which
// would pull the whole locale machinery into the executable.
class LogStream {
 public:
  LogStream& operator<<(std::string_view text) {
    out_ += text;
    return *this;
  }
  LogStream& operator<<(const std::string& text) { return *this << std::string_view(text); }
  LogStream& operator<<(const char* text) { return *this << std::string_view(text ? text : ""); }
  LogStream& operator<<(char c) {
    out_ += c;
    return *this;
  }
  LogStream& operator<<(bool value) { return *this << (value ? '1' : '0'); }
  LogStream& operator<<(std::wstring_view text);
  LogStream& operator<<(const std::wstring& text) { return *this << std::wstring_view(text); }
  LogStream& operator<<(const wchar_t* text);
  LogStream& operator<<(const FilePath& path);
  LogStream& operator<<(const void* pointer);
  LogStream& operator<<(double value);
  template <typename Integer>
    requires std::is_integral_v<Integer>
  LogStream& operator<<(Integer value) {
    char buffer[24];
    auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    out_.append(buffer, result.ptr);
    return *this;
  }
  const std::string& str() const { return out_; }

 private:
  std::string out_;
};

class LogMessage {
 public:
  LogMessage(const char* file, int line, int level, bool append_last_error = false);
  ~LogMessage();
  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;
  LogStream& stream() { return stream_; }

 private:
  int level_;
  bool append_last_error_;
  unsigned long last_error_;
  LogStream stream_;
};

// Makes `if (!on) ; else stream << ...` an expression of type void.
struct Voidify {
  void operator&(LogStream&) {}
};

}  // namespace norva::installer::logging

#define NORVA_LOG_LEVEL_INFO ::norva::installer::logging::kInfo
#define NORVA_LOG_LEVEL_WARNING ::norva::installer::logging::kWarning
#define NORVA_LOG_LEVEL_ERROR ::norva::installer::logging::kError

#define NORVA_LOG_STREAM(level, last_error)                                       \
  !::norva::installer::logging::IsOn(level)                                       \
      ? (void)0                                                                   \
      : ::norva::installer::logging::Voidify() &                                  \
            ::norva::installer::logging::LogMessage(__FILE__, __LINE__, level, last_error) \
                .stream()

#define LOG(severity) NORVA_LOG_STREAM(NORVA_LOG_LEVEL_##severity, false)
#define PLOG(severity) NORVA_LOG_STREAM(NORVA_LOG_LEVEL_##severity, true)
#define VLOG(verbosity) NORVA_LOG_STREAM(-(verbosity), false)

#endif  // NORVA_BASE_LOGGING_H_
