#include "system/object_security.h"

#include <aclapi.h>
#include <bcrypt.h>
#include <sddl.h>

#include "base/logging.h"
#include "base/strings.h"

namespace norva::installer {
namespace {

using Sid = std::vector<uint8_t>;

struct KindRights {
  DWORD own;      // what the creating user gets
  DWORD partner;  // what Administrators get
  DWORD full;     // what SYSTEM gets
  DWORD modify;   // the object's own rights that change it
};

KindRights RightsOf(SharedObjectKind kind) {
  switch (kind) {
    // All of the object's rights, not only waiting and signalling: peers of
    // older versions open these objects with all access, and the user and
    // the administrators may take the object over anyway.
    case SharedObjectKind::kEvent:
      return {EVENT_ALL_ACCESS, EVENT_ALL_ACCESS, EVENT_ALL_ACCESS, EVENT_MODIFY_STATE};
    case SharedObjectKind::kMutex:
      return {MUTEX_ALL_ACCESS, MUTEX_ALL_ACCESS, MUTEX_ALL_ACCESS, MUTEX_MODIFY_STATE};
    case SharedObjectKind::kMailslot:
      break;
  }
  // The creator reads, and writes the datagram that wakes its own reader;
  // creating a mailslot is checked against its new DACL in some systems.
  return {FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_GENERIC_WRITE, FILE_ALL_ACCESS,
          FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES};
}

// What the creating process keeps of its own object: enough to use it and
// to read its descriptor.
DWORD OwnAccess(SharedObjectKind kind) { return RightsOf(kind).own | READ_CONTROL; }


bool ReadToken(TOKEN_INFORMATION_CLASS what, std::vector<uint8_t>* buffer) {
  ScopedHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive())) return false;
  DWORD size = 0;
  GetTokenInformation(token.get(), what, nullptr, 0, &size);
  buffer->resize(size);
  return size && GetTokenInformation(token.get(), what, buffer->data(), size, &size);
}

Sid CopySid(const void* sid) {
  const auto* bytes = static_cast<const uint8_t*>(sid);
  return Sid(bytes, bytes + GetLengthSid(const_cast<void*>(sid)));
}

Sid WellKnownSid(WELL_KNOWN_SID_TYPE type) {
  Sid sid(SECURITY_MAX_SID_SIZE);
  DWORD size = static_cast<DWORD>(sid.size());
  if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
  sid.resize(size);
  return sid;
}

// The owner this process gives the objects it makes: the user, or a group
// of the token allowed to own (Administrators for an elevated administrator).
Sid DefaultOwnerSid() {
  std::vector<uint8_t> buffer;
  if (!ReadToken(TokenOwner, &buffer)) return {};
  return CopySid(reinterpret_cast<const TOKEN_OWNER*>(buffer.data())->Owner);
}

// The logon session's SIDs, which the default DACL of this user's objects
// grants.
std::vector<Sid> LogonSids() {
  std::vector<Sid> sids;
  std::vector<uint8_t> buffer;
  if (!ReadToken(TokenGroups, &buffer)) return sids;
  const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    if ((groups->Groups[i].Attributes & SE_GROUP_LOGON_ID) == SE_GROUP_LOGON_ID)
      sids.push_back(CopySid(groups->Groups[i].Sid));
  }
  return sids;
}

bool Contains(const std::vector<Sid>& sids, const void* sid) {
  for (const Sid& candidate : sids) {
    if (candidate.empty()) continue;
    if (EqualSid(const_cast<uint8_t*>(candidate.data()), const_cast<void*>(sid))) return true;
  }
  return false;
}

// Whether an entry of the DACL lets a SID outside `trusted` change the object.
bool GrantsOthers(const ACE_HEADER* header, DWORD modify, const std::vector<Sid>& trusted) {
  if (header->AceFlags & INHERIT_ONLY_ACE) return false;
  switch (header->AceType) {
    case ACCESS_DENIED_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
      return false;
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
      break;
    default:
      return true;  // a form not read here is not trusted
  }
  const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
  const DWORD unsafe = modify | WRITE_DAC | WRITE_OWNER | DELETE | GENERIC_WRITE | GENERIC_ALL;
  return (ace->Mask & unsafe) && !Contains(trusted, &ace->SidStart);
}

bool DaclGrantsOthers(PACL dacl, DWORD modify, const std::vector<Sid>& trusted) {
  ACL_SIZE_INFORMATION size = {};
  if (!GetAclInformation(dacl, &size, sizeof(size), AclSizeInformation)) return true;
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace) || GrantsOthers(static_cast<ACE_HEADER*>(ace), modify, trusted))
      return true;
  }
  return false;
}

void LogRefused(const std::wstring& name) {
  LOG(ERROR) << "Refusing the existing object " << name
             << ": another account made it or may change it";
}

// The handle of an object that existed is kept only if trusted.
ScopedHandle KeepIfTrusted(ScopedHandle object, const std::wstring& name, SharedObjectKind kind,
                           bool* existed) {
  const bool was_there = GetLastError() == ERROR_ALREADY_EXISTS;
  if (existed) *existed = was_there;
  if (!object && GetLastError() == ERROR_ACCESS_DENIED) LogRefused(name);
  if (!object || !was_there) return object;
  if (IsTrustedExistingObject(object.get(), kind)) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return object;
  }
  LogRefused(name);
  SetLastError(ERROR_ACCESS_DENIED);
  return {};
}

}  // namespace

SharedObjectSecurity::SharedObjectSecurity(SharedObjectKind kind, bool inheritable) {
  const std::wstring user = CurrentUserSidString();
  if (user.empty()) return;
  const KindRights rights = RightsOf(kind);
  const std::wstring text =
      StringPrintf(L"D:P(A;;0x%08lX;;;%ls)(A;;0x%08lX;;;BA)(A;;0x%08lX;;;SY)", rights.own,
                   user.c_str(), rights.partner, rights.full);
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                            descriptor_.Receive(), nullptr)) {
    PLOG(ERROR) << "Could not build the security descriptor of a shared object";
    return;
  }
  attributes_ = {sizeof(attributes_), descriptor_.get(), inheritable ? TRUE : FALSE};
}

bool IsTrustedExistingObject(HANDLE object, SharedObjectKind kind) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  ScopedLocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  if (GetSecurityInfo(object, SE_KERNEL_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                      &dacl, nullptr, descriptor.Receive()) != ERROR_SUCCESS)
    return false;
  std::vector<Sid> trusted = {CurrentUserSid(), WellKnownSid(WinBuiltinAdministratorsSid),
                              WellKnownSid(WinLocalSystemSid)};
  // A null DACL grants everyone everything.
  if (!owner || !dacl) return false;
  std::vector<Sid> owners = trusted;
  owners.push_back(DefaultOwnerSid());
  if (!Contains(owners, owner)) return false;
  for (Sid& logon : LogonSids()) trusted.push_back(std::move(logon));
  return !DaclGrantsOthers(dacl, RightsOf(kind).modify, trusted);
}

ScopedHandle CreateSharedEvent(const std::wstring& name, bool manual_reset, bool* existed) {
  SharedObjectSecurity security(SharedObjectKind::kEvent);
  if (!security.attributes()) return {};
  ScopedHandle event(CreateEventExW(security.attributes(), name.c_str(),
                                    manual_reset ? CREATE_EVENT_MANUAL_RESET : 0,
                                    OwnAccess(SharedObjectKind::kEvent)));
  return KeepIfTrusted(std::move(event), name, SharedObjectKind::kEvent, existed);
}

ScopedHandle CreateSharedMutex(const std::wstring& name, bool inheritable) {
  SharedObjectSecurity security(SharedObjectKind::kMutex, inheritable);
  if (!security.attributes()) return {};
  ScopedHandle mutex(CreateMutexExW(security.attributes(), name.c_str(), 0,
                                    OwnAccess(SharedObjectKind::kMutex)));
  return KeepIfTrusted(std::move(mutex), name, SharedObjectKind::kMutex, nullptr);
}

ScopedHandle CreateNewSharedEvent(const std::wstring& name, bool manual_reset) {
  SharedObjectSecurity security(SharedObjectKind::kEvent);
  if (!security.attributes()) return {};
  ScopedHandle event(CreateEventExW(security.attributes(), name.c_str(),
                                    manual_reset ? CREATE_EVENT_MANUAL_RESET : 0,
                                    OwnAccess(SharedObjectKind::kEvent)));
  if (event && GetLastError() == ERROR_ALREADY_EXISTS) {
    LogRefused(name);
    event.reset();
    SetLastError(ERROR_ALREADY_EXISTS);
  }
  return event;
}

std::wstring UnguessableObjectName(const std::wstring& prefix) {
  uint8_t bytes[16];
  if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes, sizeof(bytes),
                                      BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
    return {};
  std::wstring name = prefix;
  for (uint8_t byte : bytes) name += StringPrintf(L"%02x", byte);
  return name;
}

std::vector<uint8_t> CurrentUserSid() {
  std::vector<uint8_t> buffer;
  if (!ReadToken(TokenUser, &buffer)) return {};
  return CopySid(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid);
}

std::wstring CurrentUserSidString() {
  Sid sid = CurrentUserSid();
  return sid.empty() ? std::wstring() : SidText(sid.data());
}

std::vector<uint8_t> ParseSidString(const std::wstring& text) {
  ScopedLocalMemory<PSID> sid;
  if (text.empty() || !ConvertStringSidToSidW(text.c_str(), sid.Receive()) ||
      !IsValidSid(sid.get()))
    return {};
  return CopySid(sid.get());
}

std::wstring SidText(const void* sid) {
  ScopedLocalMemory<wchar_t*> text;
  if (!ConvertSidToStringSidW(const_cast<void*>(sid), text.Receive())) return {};
  return text.get();
}

}  // namespace norva::installer
