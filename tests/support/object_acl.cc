#include "support/object_acl.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>

namespace norva::installer::test {
namespace {

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return "?";
  std::string result = text;
  LocalFree(text);
  return result;
}

std::string Entry(const char* type, const std::string& sid, DWORD mask) {
  char hex[16];
  std::snprintf(hex, sizeof(hex), "0x%08lx", static_cast<unsigned long>(mask));
  return std::string(type) + " " + sid + " " + hex;
}

}  // namespace

std::string KernelObjectAcl(HANDLE object) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                      &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
    return "unreadable";
  std::string text = dacl ? "" : "no DACL";
  for (WORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) break;
    const auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    const char* type = header->AceType == ACCESS_ALLOWED_ACE_TYPE  ? "allow"
                       : header->AceType == ACCESS_DENIED_ACE_TYPE ? "deny"
                                                                   : "other";
    if (!text.empty()) text += " ";
    text += Entry(type, SidText(const_cast<DWORD*>(&ace->SidStart)), ace->Mask);
  }
  LocalFree(descriptor);
  return text;
}

std::string TokenUserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return "?";
  BYTE buffer[256];
  DWORD size = 0;
  std::string sid = "?";
  if (GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size))
    sid = SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
  CloseHandle(token);
  return sid;
}

std::string SharedObjectAcl(DWORD own, DWORD partner, DWORD full) {
  return Entry("allow", TokenUserSid(), own) + " " + Entry("allow", "S-1-5-32-544", partner) +
         " " + Entry("allow", "S-1-5-18", full);
}

}  // namespace norva::installer::test
