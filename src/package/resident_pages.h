#ifndef NORVA_PACKAGE_RESIDENT_PAGES_H_
#define NORVA_PACKAGE_RESIDENT_PAGES_H_

#include <cstddef>

namespace norva::installer {

// Brings every page of a fresh allocation into memory with one call, instead
// of one page fault per 4 KiB as it is first written: the range is locked,
// which makes it resident, and unlocked at once, so it pages as before
// afterwards. The process's minimum working set is raised around the lock so
// that the lock fits, then put back. False when the system refused; the
// pages then come in as they are touched, as without the call.
bool MakePagesResident(void* start, size_t size);

}  // namespace norva::installer

#endif  // NORVA_PACKAGE_RESIDENT_PAGES_H_
