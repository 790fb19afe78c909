// A second process for tests that need something held by someone else.
// Usage: test_holder MODE TARGET READY_EVENT HOLD_MS
//   file      opens the file TARGET for reading and writing, sharing nothing
//   mailslot  creates the mailslot TARGET
// Signals READY_EVENT once it holds TARGET, keeps it for HOLD_MS
// milliseconds (unless it is killed first) and ends with 0.
#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) return 2;
  const std::wstring mode = argv[1];
  const wchar_t* target = argv[2];
  HANDLE held = INVALID_HANDLE_VALUE;
  if (mode == L"file") {
    held = CreateFileW(target, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  } else if (mode == L"mailslot") {
    held = CreateMailslotW(target, 0, 0, nullptr);
  } else {
    return 2;
  }
  if (held == INVALID_HANDLE_VALUE) return 3;
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]);
  if (!ready || !SetEvent(ready)) return 4;
  Sleep(static_cast<DWORD>(std::wcstoul(argv[4], nullptr, 10)));
  CloseHandle(held);
  return 0;
}
