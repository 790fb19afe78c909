// Holds the global storage's access mutex for the tests of another process.
// Usage: mutex_holder READY_EVENT STOP_EVENT [abandon]
// Signals READY_EVENT once it owns the mutex, then releases it when
// STOP_EVENT is set; with "abandon" it exits at once, still owning it.
#include <windows.h>

#include <cstring>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  HANDLE mutex = CreateMutexW(nullptr, FALSE, L"nauc_registry_mutex");
  if (!mutex || WaitForSingleObject(mutex, 10000) != WAIT_OBJECT_0) return 3;
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[1]);
  if (!ready || !SetEvent(ready)) return 4;
  if (argc > 3 && std::strcmp(argv[3], "abandon") == 0) ExitProcess(0);
  HANDLE stop = OpenEventA(SYNCHRONIZE, FALSE, argv[2]);
  if (!stop) return 5;
  WaitForSingleObject(stop, 60000);
  ReleaseMutex(mutex);
  return 0;
}
