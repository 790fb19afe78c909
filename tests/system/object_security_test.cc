#include "system/object_security.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include "base/strings.h"
#include "support/object_acl.h"
#include "support/scratch.h"

namespace norva::installer {
namespace {

std::wstring TestName(const std::wstring& what) {
  return L"Local\\NorvaTest/ObjectSecurity/" + std::to_wstring(GetCurrentProcessId()) + L"/" +
         what;
}

// The token's logon SID, as the default DACL of this user's objects names it.
std::wstring LogonSid() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  std::vector<uint8_t> buffer(4096);
  DWORD size = 0;
  std::wstring sid;
  if (GetTokenInformation(token, TokenGroups, buffer.data(), 4096, &size)) {
    auto* groups = reinterpret_cast<TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount && sid.empty(); ++i) {
      wchar_t* text = nullptr;
      if ((groups->Groups[i].Attributes & SE_GROUP_LOGON_ID) == SE_GROUP_LOGON_ID &&
          ConvertSidToStringSidW(groups->Groups[i].Sid, &text)) {
        sid = text;
        LocalFree(text);
      }
    }
  }
  CloseHandle(token);
  return sid;
}

void Replace(std::wstring* text, const std::wstring& from, const std::wstring& to) {
  for (size_t at = text->find(from); at != std::wstring::npos; at = text->find(from, at))
    text->replace(at, from.size(), to);
}

// Made first by "another process", with the descriptor `sddl` (USER and
// LOGON stand for this token's SIDs).
HANDLE CreateFirst(SharedObjectKind kind, const std::wstring& name, std::wstring sddl) {
  Replace(&sddl, L"USER", Utf8ToWide(test::TokenUserSid()));
  Replace(&sddl, L"LOGON", LogonSid());
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr))
    return nullptr;
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  HANDLE object = kind == SharedObjectKind::kEvent
                      ? CreateEventW(&attributes, TRUE, FALSE, name.c_str())
                      : CreateMutexW(&attributes, FALSE, name.c_str());
  LocalFree(descriptor);
  return object;
}

// An object of a fixed name that already exists is used only when no other
// account may change it; one that the partner of the same installation made
// (this user, or this user and Administrators) is used.
TEST(ObjectSecurityTest, ExistingObjectIsUsedOnlyWhenNoOtherAccountMayChangeIt) {
  const struct {
    const char* name;
    const wchar_t* sddl;
    bool used;
  } kCases[] = {
      {"everyone has all access", L"D:(A;;GA;;;WD)", false},
      {"authenticated users may modify", L"D:(A;;GA;;;USER)(A;;0x100003;;;AU)", false},
      {"users may modify", L"D:(A;;GA;;;USER)(A;;0x100003;;;BU)", false},
      {"interactive users may modify", L"D:(A;;GA;;;USER)(A;;0x100003;;;IU)", false},
      {"another account may change the DACL",
       L"D:(A;;GA;;;USER)(A;;WD;;;S-1-5-21-1111111111-2222222222-3333333333-1234)", false},
      {"another account may take it over",
       L"D:(A;;GA;;;USER)(A;;WO;;;S-1-5-21-1111111111-2222222222-3333333333-1234)", false},
      {"no DACL", L"D:NO_ACCESS_CONTROL", false},
      {"everyone may only wait", L"D:(A;;GA;;;USER)(A;;0x100000;;;WD)", true},
      {"this user, Administrators and SYSTEM",
       L"D:P(A;;0x100003;;;USER)(A;;0x100003;;;BA)(A;;GA;;;SY)", true},
      {"this user's default list", L"D:(A;;GA;;;USER)(A;;GA;;;SY)(A;;0x100003;;;LOGON)", true},
      {"another account denied",
       L"D:(D;;GA;;;S-1-5-21-1111111111-2222222222-3333333333-1234)(A;;GA;;;USER)", true},
  };
  for (SharedObjectKind kind : {SharedObjectKind::kEvent, SharedObjectKind::kMutex}) {
    const bool event = kind == SharedObjectKind::kEvent;
    int number = 0;
    for (const auto& c : kCases) {
      SCOPED_TRACE(std::string(event ? "event: " : "mutex: ") + c.name);
      const std::wstring name = TestName(L"existing/" + std::to_wstring(++number));
      HANDLE first = CreateFirst(kind, name, c.sddl);
      ASSERT_NE(first, nullptr);
      test::LogCapture capture;
      bool existed = false;
      ScopedHandle second = event ? CreateSharedEvent(name, true, &existed)
                                  : CreateSharedMutex(name, false);
      EXPECT_EQ(second.is_valid(), c.used);
      EXPECT_EQ(capture.Contains("Refusing the existing object"), !c.used);
      if (event && c.used) {
        EXPECT_TRUE(existed);
      }
      CloseHandle(first);
    }
  }
}

// An event that must be new is refused when its name exists, even when this
// user made it.
TEST(ObjectSecurityTest, NewEventRefusesAnExistingName) {
  const std::wstring name = TestName(L"new");
  ScopedHandle fresh = CreateNewSharedEvent(name, true);
  ASSERT_TRUE(fresh);
  ScopedHandle again = CreateNewSharedEvent(name, true);
  EXPECT_FALSE(again);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

}  // namespace
}  // namespace norva::installer
