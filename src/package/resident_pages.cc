#include "package/resident_pages.h"

#include <windows.h>

#include <algorithm>
#include <mutex>

namespace norva::installer {

bool MakePagesResident(void* start, size_t size) {
  if (!start || !size) return false;
  // The working-set limits are the process's: two callers raising and
  // restoring them at once could leave either's lock without room.
  static std::mutex lock;
  std::lock_guard<std::mutex> hold(lock);
  HANDLE self = GetCurrentProcess();
  SIZE_T minimum = 0, maximum = 0;
  if (!GetProcessWorkingSetSize(self, &minimum, &maximum)) return false;
  const SIZE_T raised = minimum + size;
  bool changed =
      raised > minimum && SetProcessWorkingSetSize(self, raised, std::max<SIZE_T>(maximum, raised));
  bool locked = VirtualLock(start, size);
  if (locked) VirtualUnlock(start, size);
  if (changed) SetProcessWorkingSetSize(self, minimum, maximum);
  return locked;
}

}  // namespace norva::installer
