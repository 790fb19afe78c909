#ifndef NORVA_NET_URL_PARTS_H_
#define NORVA_NET_URL_PARTS_H_

#include <windows.h>
#include <wininet.h>

#include <string>
#include <string_view>
#include <vector>

namespace norva::installer {

// What the downloader needs of an address.
struct UrlParts {
  INTERNET_SCHEME scheme = INTERNET_SCHEME_UNKNOWN;
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring path;
};

// Splits `url` (escaped characters decoded, unsafe ones escaped again);
// false when it is not an address.
bool CrackUrl(const std::wstring& url, UrlParts* parts);

// True when `host` ends with one of `allowed` (case-sensitive), or when
// `allowed` is empty.
bool IsHostAllowed(std::wstring_view host, const std::vector<std::wstring>& allowed);

// "Norva NetInstaller/" and the product version.
std::wstring NetInstallerUserAgent();

}  // namespace norva::installer

#endif  // NORVA_NET_URL_PARTS_H_
