#include "system/access_rights.h"

#include <aclapi.h>

#include <atomic>
#include <set>
#include <tuple>
#include <utility>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/registry.h"
#include "base/scoped_handle.h"
#include "system/object_security.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

std::optional<AdminMembership> g_admin_membership;

std::wstring& DeniedObjectForTesting() {
  static std::wstring name;
  return name;
}

std::function<void(const std::wstring&)>& RestoreObserver() {
  static std::function<void(const std::wstring&)> observer;
  return observer;
}

bool OpenProcessTokenWith(DWORD access, ScopedHandle* token) {
  return OpenProcessToken(GetCurrentProcess(), access, token->Receive()) != FALSE;
}

// Counts the changes of rights in the process; a cache filled under another
// count is stale.
std::atomic<uint64_t> g_rights_changes{0};

}  // namespace

struct ScopedAccessCheckCache::State {
  using Check = std::tuple<DWORD, DWORD, std::wstring>;  // type, access, name

  // Drops what was learnt before the last change of rights.
  void Refresh() {
    uint64_t changes = g_rights_changes.load();
    if (changes == seen_changes) return;
    granted.clear();
    identification.reset();
    seen_changes = changes;
  }

  uint64_t seen_changes = g_rights_changes.load();
  ScopedHandle identification;
  std::set<Check> granted;
  State* outer = nullptr;
};

namespace {

thread_local ScopedAccessCheckCache::State* t_access_cache = nullptr;

bool GenericMappingFor(DWORD type, GENERIC_MAPPING* mapping) {
  if (type == kFileObjectType) {
    *mapping = {0x120089, 0x120116, 0x1200A0, 0x1F01FF};
    return true;
  }
  if (type == kRegistryObjectType) {
    *mapping = {0x20019, 0x20006, 0x20019, 0xF003F};
    return true;
  }
  return false;
}

class AdministratorsSid {
 public:
  AdministratorsSid() {
    SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
    if (!AllocateAndInitializeSid(&nt_authority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &sid_)) {
      sid_ = nullptr;
    }
  }
  ~AdministratorsSid() {
    if (sid_) FreeSid(sid_);
  }
  AdministratorsSid(const AdministratorsSid&) = delete;
  AdministratorsSid& operator=(const AdministratorsSid&) = delete;
  PSID get() const { return sid_; }

 private:
  PSID sid_ = nullptr;
};

// The name as the named-security functions take it: a file's in its
// extended-length form, so that a deep one can be reached.
std::wstring SystemName(const std::wstring& name, DWORD type) {
  return type == kFileObjectType ? ExtendedLengthPath(name) : name;
}

DWORD ReadDacl(const std::wstring& name, DWORD type, PACL* dacl, PSECURITY_DESCRIPTOR* descriptor) {
  return GetNamedSecurityInfoW(SystemName(name, type).c_str(), static_cast<SE_OBJECT_TYPE>(type),
                               DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr,
                               descriptor);
}

DWORD WriteDacl(const std::wstring& name, DWORD type, PACL dacl,
                SECURITY_INFORMATION protection = 0) {
  std::wstring system_name = SystemName(name, type);
  NoteAccessRightsChanged();
  return SetNamedSecurityInfoW(system_name.data(), static_cast<SE_OBJECT_TYPE>(type),
                               DACL_SECURITY_INFORMATION | protection, nullptr, nullptr, dacl,
                               nullptr);
}

// A DACL set by name inherits from the parent unless told otherwise, so a
// restored one must be told what the saved one was.
SECURITY_INFORMATION ProtectionOf(PSECURITY_DESCRIPTOR descriptor) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  return GetSecurityDescriptorControl(descriptor, &control, &revision) &&
                 (control & SE_DACL_PROTECTED)
             ? PROTECTED_DACL_SECURITY_INFORMATION
             : UNPROTECTED_DACL_SECURITY_INFORMATION;
}

// Lets the deny entries that name one of our groups stop denying the rights
// we are about to grant ourselves.
void RelaxDenyEntries(EXPLICIT_ACCESS_W* entries, ULONG count, DWORD access_mask) {
  for (ULONG i = 0; i < count; ++i) {
    EXPLICIT_ACCESS_W& entry = entries[i];
    if (entry.grfAccessMode != DENY_ACCESS || entry.Trustee.TrusteeForm != TRUSTEE_IS_SID)
      continue;
    BOOL member = FALSE;
    if (CheckTokenMembership(nullptr, reinterpret_cast<PSID>(entry.Trustee.ptstrName), &member) &&
        member) {
      entry.grfAccessPermissions &= ~access_mask;
    }
  }
}

// The old explicit entries merged into one that grants `access_mask` to `user`.
bool BuildWidenedDacl(PACL old_dacl, PSID user, DWORD access_mask,
                      ScopedLocalMemory<PACL>* new_dacl) {
  ULONG count = 0;
  ScopedLocalMemory<EXPLICIT_ACCESS_W*> entries;
  if (old_dacl && GetExplicitEntriesFromAclW(old_dacl, &count, entries.Receive()) != ERROR_SUCCESS)
    return false;
  RelaxDenyEntries(entries.get(), count, access_mask);

  EXPLICIT_ACCESS_W grant = {};
  grant.grfAccessPermissions = access_mask;
  grant.grfAccessMode = GRANT_ACCESS;
  grant.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  BuildTrusteeWithSidW(&grant.Trustee, user);
  ScopedLocalMemory<PACL> grant_only;
  if (SetEntriesInAclW(1, &grant, nullptr, grant_only.Receive()) != ERROR_SUCCESS) return false;
  return SetEntriesInAclW(count, entries.get(), grant_only.get(), new_dacl->Receive()) ==
         ERROR_SUCCESS;
}

}  // namespace

SavedPermissions::~SavedPermissions() {
  if (descriptor) LocalFree(descriptor);
}

namespace {

// The process token duplicated for AccessCheck.
bool OpenIdentificationToken(ScopedHandle* identification) {
  ScopedHandle token;
  return OpenProcessTokenWith(TOKEN_QUERY | TOKEN_DUPLICATE, &token) &&
         DuplicateToken(token.get(), SecurityIdentification, identification->Receive());
}

bool RunAccessCheck(const std::wstring& name, DWORD type, DWORD desired_access,
                    GENERIC_MAPPING mapping, HANDLE identification) {
  ScopedLocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  if (GetNamedSecurityInfoW(
          SystemName(name, type).c_str(), static_cast<SE_OBJECT_TYPE>(type),
          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          nullptr, nullptr, nullptr, nullptr, descriptor.Receive()) != ERROR_SUCCESS) {
    return false;
  }
  MapGenericMask(&desired_access, &mapping);
  PRIVILEGE_SET privileges;
  DWORD privileges_size = sizeof(privileges);
  DWORD granted = 0;
  BOOL status = FALSE;
  return AccessCheck(descriptor.get(), identification, desired_access, &mapping, &privileges,
                     &privileges_size, &granted, &status) &&
         status;
}

}  // namespace

bool CheckAccess(const std::wstring& name, DWORD type, DWORD desired_access) {
  GENERIC_MAPPING mapping;
  if (!GenericMappingFor(type, &mapping)) return false;
  ScopedAccessCheckCache::State* cache = t_access_cache;
  if (cache) cache->Refresh();
  ScopedAccessCheckCache::State::Check check{type, desired_access, name};
  bool allowed = cache && cache->granted.count(check);
  if (!allowed) {
    ScopedHandle own_token;
    ScopedHandle& identification = cache ? cache->identification : own_token;
    allowed = (identification || OpenIdentificationToken(&identification)) &&
              RunAccessCheck(name, type, desired_access, mapping, identification.get());
    if (allowed && cache) cache->granted.insert(std::move(check));
  }
  if (!DeniedObjectForTesting().empty() && name == DeniedObjectForTesting()) return false;
  return allowed;
}

ScopedAccessCheckCache::ScopedAccessCheckCache() : state_(std::make_unique<State>()) {
  state_->outer = t_access_cache;
  t_access_cache = state_.get();
}

ScopedAccessCheckCache::~ScopedAccessCheckCache() { t_access_cache = state_->outer; }

void NoteAccessRightsChanged() { ++g_rights_changes; }

void SetAccessDeniedForTesting(const std::wstring& name) { DeniedObjectForTesting() = name; }

bool EnablePrivilege(const wchar_t* privilege, bool enable, HANDLE token) {
  ScopedHandle owned(token);
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  if (!LookupPrivilegeValueW(nullptr, privilege, &privileges.Privileges[0].Luid)) return false;
  privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  NoteAccessRightsChanged();
  return AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), nullptr, nullptr) &&
         GetLastError() != ERROR_NOT_ALL_ASSIGNED;
}

bool TakeOwnership(const std::wstring& name, DWORD type) {
  ScopedHandle token;
  if (!OpenProcessTokenWith(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token) ||
      !EnablePrivilege(SE_TAKE_OWNERSHIP_NAME, true, token.release())) {
    return false;
  }
  DWORD result = ERROR_INVALID_SID;
  AdministratorsSid administrators;
  if (administrators.get()) {
    std::wstring system_name = SystemName(name, type);
    NoteAccessRightsChanged();
    result = SetNamedSecurityInfoW(system_name.data(), static_cast<SE_OBJECT_TYPE>(type),
                                   OWNER_SECURITY_INFORMATION, administrators.get(), nullptr,
                                   nullptr, nullptr);
  }
  if (OpenProcessTokenWith(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
    EnablePrivilege(SE_TAKE_OWNERSHIP_NAME, false, token.release());
  return result == ERROR_SUCCESS;
}

bool ObtainPermissions(const std::wstring& name, DWORD type, DWORD access_mask, bool permanent,
                       std::unique_ptr<SavedPermissions>* saved) {
  saved->reset();
  // The token's own SID: a name can be ambiguous between a local, a domain
  // and a cloud account.
  std::vector<uint8_t> user = CurrentUserSid();
  if (user.empty()) return false;

  PACL old_dacl = nullptr;
  ScopedLocalMemory<PSECURITY_DESCRIPTOR> old_descriptor;
  DWORD result = ReadDacl(name, type, &old_dacl, old_descriptor.Receive());
  if (result == ERROR_ACCESS_DENIED) {
    if (!TakeOwnership(name, type)) return false;
    result = ReadDacl(name, type, &old_dacl, old_descriptor.Receive());
  }
  if (result != ERROR_SUCCESS) return false;

  ScopedLocalMemory<PACL> new_dacl;
  if (!BuildWidenedDacl(old_dacl, user.data(), access_mask, &new_dacl)) return false;
  result = WriteDacl(name, type, new_dacl.get());
  if (result == ERROR_ACCESS_DENIED && TakeOwnership(name, type))
    result = WriteDacl(name, type, new_dacl.get());
  if (result != ERROR_SUCCESS) return false;

  if (!permanent)
    *saved = std::make_unique<SavedPermissions>(name, type, old_dacl, old_descriptor.release());
  return true;
}

namespace {

// Opens a key named as RegistryObjectName names it.
RegKey OpenNamedKey(const std::wstring& name, REGSAM access) {
  HKEY root = nullptr;
  std::wstring subkey;
  RegKey key;
  if (SplitRegistryObjectName(name, &root, &subkey)) key.Open(root, subkey, access);
  return key;
}

}  // namespace

bool ReadDaclDescriptor(const std::wstring& name, DWORD type, std::vector<uint8_t>* descriptor) {
  if (type == kRegistryObjectType) {
    RegKey key = OpenNamedKey(name, READ_CONTROL);
    DWORD size = 0;
    bool read = key && RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, nullptr, &size) ==
                           ERROR_INSUFFICIENT_BUFFER;
    descriptor->resize(size);
    read = read && RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor->data(),
                                     &size) == ERROR_SUCCESS;
    return read;
  }
  PACL dacl = nullptr;
  ScopedLocalMemory<PSECURITY_DESCRIPTOR> read;
  if (ReadDacl(name, type, &dacl, read.Receive()) != ERROR_SUCCESS) return false;
  const uint8_t* bytes = static_cast<const uint8_t*>(read.get());
  descriptor->assign(bytes, bytes + GetSecurityDescriptorLength(read.get()));
  return true;
}

bool WriteDaclDescriptor(const std::wstring& name, DWORD type,
                         const std::vector<uint8_t>& descriptor) {
  auto* saved = const_cast<uint8_t*>(descriptor.data());
  if (descriptor.size() < sizeof(SECURITY_DESCRIPTOR_RELATIVE) || !IsValidSecurityDescriptor(saved))
    return false;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  if (!GetSecurityDescriptorDacl(saved, &present, &dacl, &defaulted) || !present) return false;
  if (type == kRegistryObjectType) {
    RegKey key = OpenNamedKey(name, WRITE_DAC);
    NoteAccessRightsChanged();
    return key && RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, saved) == ERROR_SUCCESS;
  }
  return WriteDacl(name, type, dacl, ProtectionOf(saved)) == ERROR_SUCCESS;
}

bool RestorePermissions(std::unique_ptr<SavedPermissions>* saved) {
  if (!*saved) return false;
  bool restored = WriteDacl((*saved)->name, (*saved)->type, (*saved)->dacl,
                            ProtectionOf((*saved)->descriptor)) == ERROR_SUCCESS;
  if (restored && RestoreObserver()) RestoreObserver()((*saved)->name);
  saved->reset();
  return restored;
}

bool FixEventACL(HANDLE object) {
  PACL old_dacl = nullptr;
  ScopedLocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  if (GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                      &old_dacl, nullptr, descriptor.Receive()) != ERROR_SUCCESS) {
    LOG(ERROR) << "FixEventACL: failed to GetSecurityInfo";
    return false;
  }
  AdministratorsSid administrators;
  if (!administrators.get()) {
    LOG(ERROR) << "FixEventACL: failed to AllocateAndInitializeSid";
    return false;
  }
  EXPLICIT_ACCESS_W grant = {};
  grant.grfAccessPermissions = GENERIC_ALL;
  grant.grfAccessMode = GRANT_ACCESS;
  grant.grfInheritance = NO_INHERITANCE;
  grant.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  grant.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
  grant.Trustee.ptstrName = reinterpret_cast<wchar_t*>(administrators.get());
  ScopedLocalMemory<PACL> new_dacl;
  if (SetEntriesInAclW(1, &grant, old_dacl, new_dacl.Receive()) != ERROR_SUCCESS) {
    LOG(ERROR) << "FixEventACL: failed to SetEntriesInAcl";
    return false;
  }
  if (SetSecurityInfo(object, SE_KERNEL_OBJECT,
                      DACL_SECURITY_INFORMATION | ProtectionOf(descriptor.get()), nullptr,
                      nullptr, new_dacl.get(), nullptr) != ERROR_SUCCESS) {
    LOG(ERROR) << "FixEventACL: failed to SetSecurityInfo";
    return false;
  }
  return true;
}

std::wstring RegistryObjectName(HKEY root, const std::wstring& subkey) {
  const wchar_t* prefix = L"";
  if (root == HKEY_CLASSES_ROOT)
    prefix = L"CLASSES_ROOT\\";
  else if (root == HKEY_LOCAL_MACHINE)
    prefix = L"MACHINE\\";
  else if (root == HKEY_CURRENT_USER)
    prefix = L"CURRENT_USER\\";
  else if (root == HKEY_USERS)
    prefix = L"USERS\\";
  return prefix + subkey;
}

bool SplitRegistryObjectName(const std::wstring& name, HKEY* root, std::wstring* subkey) {
  for (HKEY candidate : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    std::wstring prefix = RegistryObjectName(candidate, L"");
    if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0) {
      *root = candidate;
      *subkey = name.substr(prefix.size());
      return true;
    }
  }
  return false;
}

bool IsUserAdmin(bool consider_linked_token) {
  ScopedHandle token;
  if (!OpenProcessTokenWith(TOKEN_QUERY | TOKEN_DUPLICATE, &token)) return false;
  if (consider_linked_token && GetWindowsVersionRank() >= kWindowsVista) {
    TOKEN_ELEVATION_TYPE elevation_type;
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenElevationType, &elevation_type,
                             sizeof(elevation_type), &size)) {
      return false;
    }
    if (elevation_type == TokenElevationTypeLimited) {
      TOKEN_LINKED_TOKEN linked = {};
      if (!GetTokenInformation(token.get(), TokenLinkedToken, &linked, sizeof(linked), &size))
        return false;
      token.reset(linked.LinkedToken);
    }
  }
  ScopedHandle identification;
  if (!DuplicateToken(token.get(), SecurityIdentification, identification.Receive())) return false;
  AdministratorsSid administrators;
  BOOL member = FALSE;
  if (!administrators.get() ||
      !CheckTokenMembership(identification.get(), administrators.get(), &member)) {
    return false;
  }
  if (g_admin_membership) {
    member = *g_admin_membership == AdminMembership::kMember ||
             (*g_admin_membership == AdminMembership::kLinkedMember && consider_linked_token);
  }
  return member != FALSE;
}

void SetAdminMembershipForTesting(std::optional<AdminMembership> membership) {
  g_admin_membership = membership;
}

void SetRestoreObserverForTesting(std::function<void(const std::wstring&)> observer) {
  RestoreObserver() = std::move(observer);
}

}  // namespace norva::installer
