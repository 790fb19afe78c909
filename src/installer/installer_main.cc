#include "installer/installer_main.h"

#include <windows.h>

#include <string>

#include "base/command_line.h"
#include "product/product_info.h"

namespace norva::installer {
namespace {

void PrintToStandardOutput(const std::string& text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace
}  // namespace norva::installer

extern "C" bool RunInstaller() {
  using namespace norva::installer;
  const CommandLine& command_line = CommandLine::ForCurrentProcess();
  if (command_line.HasSwitch("version")) {
    PrintToStandardOutput(product::ProductVersion());
    return true;
  }
  if (command_line.HasSwitch("internal-version")) {
    PrintToStandardOutput(product::BuildNumberString());
    return true;
  }
  if (command_line.HasSwitch("stream")) {
    PrintToStandardOutput(product::InternalStreamName());
    return true;
  }
  return false;
}
