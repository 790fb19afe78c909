#include "base/logging.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

#include "base/scoped_handle.h"
#include "base/strings.h"

namespace norva::installer::logging {
namespace {

struct LogState {
  std::mutex lock;
  ScopedHandle file;
  FilePath path;
  LineSink sink;
};

LogState& State() {
  static LogState* state = new LogState;  // never destroyed: logging may run at exit
  return *state;
}

int g_min_level = kInfo;

// Names tried after the given one is taken, by runs started in the same second.
constexpr int kMaxLogFileNumber = 100;

const char* LevelName(int level) {
  switch (level) {
    case kInfo: return "INFO";
    case kWarning: return "WARNING";
    case kError: return "ERROR";
    default: return "VERBOSE";
  }
}

std::string_view BaseName(std::string_view file) {
  size_t slash = file.find_last_of("/\\");
  return slash == file.npos ? file : file.substr(slash + 1);
}

}  // namespace

bool InitLogFile(const FilePath& path) {
  LogState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  state.file.reset();
  FilePath candidate = path;
  for (int number = 1;; ++number) {
    state.file.reset(CreateFileW(candidate.c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (state.file || GetLastError() != ERROR_FILE_EXISTS ||
        number > kMaxLogFileNumber)
      break;
    candidate = path.parent_path() / (path.stem().native() + L"_" + std::to_wstring(number) +
                                      path.extension().native());
  }
  state.path = state.file ? candidate : FilePath();
  return state.file.is_valid();
}

void CloseLogFile() {
  LogState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  state.file.reset();
}

FilePath GetLogFilePath() {
  LogState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  return state.path;
}

void SetMinLevel(int level) { g_min_level = level; }
bool IsOn(int level) { return level >= g_min_level; }

void SetLineSinkForTesting(LineSink sink) {
  LogState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  state.sink = std::move(sink);
}

std::string SystemErrorText(unsigned long error) {
  ScopedLocalMemory<wchar_t*> buffer;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(buffer.Receive()), 0, nullptr);
  std::string text;
  if (length && buffer)
    text = TrimWhitespaceASCII(WideToUtf8(std::wstring_view(buffer.get(), length)));
  if (text.empty()) text = "Error";
  return text + StringPrintf(" (0x%lX)", error);
}

LogMessage::LogMessage(const char* file, int line, int level, bool append_last_error)
    : level_(level), append_last_error_(append_last_error), last_error_(GetLastError()) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  std::string_view base = BaseName(file);
  stream_ << StringPrintf("[%lu:%lu:%02d%02d/%02d%02d%02d.%03d:", GetCurrentProcessId(),
                          GetCurrentThreadId(), now.wMonth, now.wDay, now.wHour, now.wMinute,
                          now.wSecond, now.wMilliseconds);
  if (level < 0)
    stream_ << "VERBOSE" << -level;
  else
    stream_ << LevelName(level);
  stream_ << ":" << base << "(" << line << ")] ";
}

LogMessage::~LogMessage() {
  if (append_last_error_) stream_ << ": " << SystemErrorText(last_error_);
  std::string line = stream_.str();
  line += "\r\n";
  LogState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  if (state.file) {
    DWORD written = 0;
    WriteFile(state.file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
  if (state.sink) {
    line.resize(line.size() - 2);
    state.sink(level_, line);
  }
  // Logging must not change what the caller sees as the last error.
  SetLastError(last_error_);
}


LogStream& LogStream::operator<<(std::wstring_view text) {
  out_ += WideToUtf8(text);
  return *this;
}
LogStream& LogStream::operator<<(const wchar_t* text) {
  return *this << std::wstring_view(text ? text : L"");
}
LogStream& LogStream::operator<<(const FilePath& path) {
  return *this << std::wstring_view(path.native());
}
LogStream& LogStream::operator<<(const void* pointer) {
  return *this << StringPrintf("%p", pointer);
}
LogStream& LogStream::operator<<(double value) { return *this << StringPrintf("%g", value); }

}  // namespace norva::installer::logging
