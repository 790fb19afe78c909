#ifndef NORVA_TESTS_SUPPORT_OBJECT_ACL_H_
#define NORVA_TESTS_SUPPORT_OBJECT_ACL_H_

#include <windows.h>

#include <string>

namespace norva::installer::test {

// The DACL of the kernel object `object` (opened with READ_CONTROL) as
// "allow <SID> 0x<mask>" entries in order, one space apart; "no DACL" or
// "unreadable" instead.
std::string KernelObjectAcl(HANDLE object);

// The DACL a shared object of the installation carries: `own` for the
// current user, `partner` for Administrators, `full` for SYSTEM.
std::string SharedObjectAcl(DWORD own, DWORD partner, DWORD full);

// The token user's SID as text.
std::string TokenUserSid();

}  // namespace norva::installer::test

#endif  // NORVA_TESTS_SUPPORT_OBJECT_ACL_H_
