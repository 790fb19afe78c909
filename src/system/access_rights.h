#ifndef NORVA_SYSTEM_ACCESS_RIGHTS_H_
#define NORVA_SYSTEM_ACCESS_RIGHTS_H_

#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Checking and widening the current user's rights on files, folders and
// registry keys. Objects are named as the named-security functions of the
// system expect them; a registry key by RegistryObjectName.
namespace norva::installer {

// Object types, as the system numbers them.
constexpr DWORD kFileObjectType = 1;      // a file or folder
constexpr DWORD kRegistryObjectType = 4;  // a registry key

// The DACL an object had before ObtainPermissions widened it.
struct SavedPermissions {
  SavedPermissions(std::wstring name, DWORD type, PACL dacl, PSECURITY_DESCRIPTOR descriptor)
      : name(std::move(name)), type(type), dacl(dacl), descriptor(descriptor) {}
  ~SavedPermissions();
  SavedPermissions(const SavedPermissions&) = delete;
  SavedPermissions& operator=(const SavedPermissions&) = delete;

  std::wstring name;
  DWORD type;
  PACL dacl;                        // points into `descriptor`
  PSECURITY_DESCRIPTOR descriptor;  // owned, released with the record
};

// Whether the process's token is granted `desired_access` on the object.
bool CheckAccess(const std::wstring& name, DWORD type, DWORD desired_access);

// While one lives on a thread, CheckAccess there remembers what it found
// granted and holds one identification token, so that a run of operations on
// the same keys checks each key once: under Wine a check is about ten round
// trips to the server. Denials are not remembered. Every change of a DACL, an
// owner or a privilege made in the process forgets it all: the functions
// below announce their own, other code calls NoteAccessRightsChanged.
class ScopedAccessCheckCache {
 public:
  ScopedAccessCheckCache();
  ~ScopedAccessCheckCache();
  ScopedAccessCheckCache(const ScopedAccessCheckCache&) = delete;
  ScopedAccessCheckCache& operator=(const ScopedAccessCheckCache&) = delete;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// Tells the caches that a security descriptor or a token changed.
void NoteAccessRightsChanged();

// Makes CheckAccess answer false for the object `name` (empty: none) after
// its real check. Wine gives a folder's own user, and root, every right, so
// a folder this user may not write cannot be made there.
void SetAccessDeniedForTesting(const std::wstring& name);

// Grants the current user `access_mask` on the object (taking ownership for
// the Administrators group when the DACL cannot be read or written). Unless
// `permanent`, the previous DACL goes into `saved` for RestorePermissions.
bool ObtainPermissions(const std::wstring& name, DWORD type, DWORD access_mask, bool permanent,
                       std::unique_ptr<SavedPermissions>* saved);

// The object's DACL as a self-relative security descriptor, for a journal
// that must be able to put it back after the process is gone.
bool ReadDaclDescriptor(const std::wstring& name, DWORD type, std::vector<uint8_t>* descriptor);
// Sets the DACL of such a descriptor (with its protection) on the object.
// Registry keys are read and written through a key handle: the protection of
// a key's DACL does not survive the named-object functions everywhere.
bool WriteDaclDescriptor(const std::wstring& name, DWORD type,
                         const std::vector<uint8_t>& descriptor);

// Makes the Administrators group the owner of the object.
bool TakeOwnership(const std::wstring& name, DWORD type);

// Puts the saved DACL back and releases the record.
bool RestorePermissions(std::unique_ptr<SavedPermissions>* saved);

// Enables or disables a privilege of `token`, which it closes.
bool EnablePrivilege(const wchar_t* privilege, bool enable, HANDLE token);

// Adds to the DACL of the kernel object `object` (an event) an entry that
// grants the Administrators group generic-all access. Before Vista an
// elevated process does not run with the token that created the object, and
// the default DACL shuts it out.
bool FixEventACL(HANDLE object);

// "MACHINE\SOFTWARE\X" for HKEY_LOCAL_MACHINE and "SOFTWARE\X".
std::wstring RegistryObjectName(HKEY root, const std::wstring& subkey);
// The reverse, for HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE; false for others.
bool SplitRegistryObjectName(const std::wstring& name, HKEY* root, std::wstring* subkey);

// Whether the process's token (or, when asked and the token is a limited
// one, its linked elevated token) is a member of the Administrators group.
bool IsUserAdmin(bool consider_linked_token);

enum class AdminMembership {
  kNotMember,
  kMember,
  kLinkedMember,  // a limited token whose linked elevated token is a member
};

// The membership answer of IsUserAdmin for tests (the process token under
// Wine is always an administrator); nullopt restores the real check. The
// token calls around it still run.
void SetAdminMembershipForTesting(std::optional<AdminMembership> membership);

// Tells `observer` (empty to stop) the name of every object whose DACL
// RestorePermissions has put back. Wine keeps a file's DACL as Unix mode bits
// and reads no deny entry back, so the DACL of a restored file cannot show
// there whether it was restored; the restore itself still runs.
void SetRestoreObserverForTesting(std::function<void(const std::wstring&)> observer);

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_ACCESS_RIGHTS_H_
