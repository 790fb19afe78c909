// window_timer RUNS COMMAND: starts COMMAND RUNS times and prints, for each
// run, the milliseconds from the start of the process to its first visible,
// enabled top-level window, then the median. Each process is ended once its
// window shows. Used by scripts/bench-window; no part of the installer.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct Search {
  DWORD process;
  bool found = false;
};

BOOL CALLBACK FindVisible(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<Search*>(data);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != search->process || !IsWindowVisible(window) || !IsWindowEnabled(window))
    return TRUE;
  search->found = true;
  return FALSE;
}

// Milliseconds to the first visible window, or a negative value.
double TimeOneRun(std::wstring command) {
  LARGE_INTEGER frequency, start, now;
  QueryPerformanceFrequency(&frequency);
  STARTUPINFOW startup = {sizeof(startup)};
  PROCESS_INFORMATION process = {};
  QueryPerformanceCounter(&start);
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return -1;
  }
  double elapsed = -1;
  for (;;) {
    Search search{process.dwProcessId};
    EnumWindows(FindVisible, reinterpret_cast<LPARAM>(&search));
    QueryPerformanceCounter(&now);
    double ms = 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) /
                static_cast<double>(frequency.QuadPart);
    if (search.found) {
      elapsed = ms;
      break;
    }
    if (ms > 30000 || WaitForSingleObject(process.hProcess, 1) == WAIT_OBJECT_0) break;
  }
  TerminateProcess(process.hProcess, 1);
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return elapsed;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fwprintf(stderr, L"usage: window_timer RUNS COMMAND...\n");
    return 2;
  }
  int runs = std::max(1, _wtoi(argv[1]));
  std::wstring command;
  for (int i = 2; i < argc; ++i) command += (i > 2 ? L" " : L"") + std::wstring(argv[i]);
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    double ms = TimeOneRun(command);
    if (ms < 0) {
      std::fwprintf(stderr, L"run %d: no window\n", run + 1);
      return 1;
    }
    std::printf("%.0f ", ms);
    times.push_back(ms);
  }
  std::sort(times.begin(), times.end());
  std::printf("\nmedian %.0f ms\n", times[times.size() / 2]);
  return 0;
}
