#ifndef NORVA_SYSTEM_OBJECT_SECURITY_H_
#define NORVA_SYSTEM_OBJECT_SECURITY_H_

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/scoped_handle.h"

// The named kernel objects that the processes of one installation share: the
// frontend, its backend, and an elevated child that may run as another
// account (an administrator who typed a password at the consent prompt).
namespace norva::installer {

enum class SharedObjectKind { kEvent, kMutex, kMailslot };

// A security descriptor for a shared object: the current user and the
// Administrators group get what a partner process needs of `kind` (waiting
// and signalling; writing to a mailslot, which its creating user also
// reads), SYSTEM everything, nobody else anything.
class SharedObjectSecurity {
 public:
  explicit SharedObjectSecurity(SharedObjectKind kind, bool inheritable = false);
  SharedObjectSecurity(const SharedObjectSecurity&) = delete;
  SharedObjectSecurity& operator=(const SharedObjectSecurity&) = delete;

  // Null when the descriptor could not be built.
  SECURITY_ATTRIBUTES* attributes() { return descriptor_ ? &attributes_ : nullptr; }

 private:
  ScopedLocalMemory<PSECURITY_DESCRIPTOR> descriptor_;
  SECURITY_ATTRIBUTES attributes_ = {};
};

// Whether an object of `kind` that existed before this process asked for it
// may be used: its owner is this user, Administrators, SYSTEM or the token's
// default owner, and its DACL
// lets no other SID than those and this logon session change it (modify its
// state, or its DACL, owner, or delete it). Anything else could have been
// made by another account to steer this process.
bool IsTrustedExistingObject(HANDLE object, SharedObjectKind kind);

// Creates the named event or mutex with SharedObjectSecurity, or opens the
// one that exists if IsTrustedExistingObject; null otherwise, with the reason
// logged and GetLastError() set (ERROR_ACCESS_DENIED for a refused object).
// `existed` tells whether the object was there before.
ScopedHandle CreateSharedEvent(const std::wstring& name, bool manual_reset,
                               bool* existed = nullptr);
ScopedHandle CreateSharedMutex(const std::wstring& name, bool inheritable);

// Creates a new event with SharedObjectSecurity; fails (ERROR_ALREADY_EXISTS)
// when an object of that name exists, whoever made it.
ScopedHandle CreateNewSharedEvent(const std::wstring& name, bool manual_reset);

// `prefix` followed by 32 hexadecimal digits of the system's random number
// generator; empty when the generator fails.
std::wstring UnguessableObjectName(const std::wstring& prefix);

// The SID of the process token's user, binary or as text ("S-1-5-..."); empty
// on failure.
std::vector<uint8_t> CurrentUserSid();
std::wstring CurrentUserSidString();
// A SID as text ("S-1-5-..."); empty when it cannot be converted.
std::wstring SidText(const void* sid);

// The binary SID of a SID's text form; empty unless it is a valid SID.
std::vector<uint8_t> ParseSidString(const std::wstring& text);

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_OBJECT_SECURITY_H_
