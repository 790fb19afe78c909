#include "net/url_parts.h"

#include "base/strings.h"
#include "product/product_info.h"

namespace norva::installer {

std::wstring NetInstallerUserAgent() {
  return L"Norva NetInstaller/" + Utf8ToWide(product::ProductVersion());
}

bool IsHostAllowed(std::wstring_view host, const std::vector<std::wstring>& allowed) {
  if (allowed.empty()) return true;
  for (const std::wstring& suffix : allowed) {
    if (host.size() >= suffix.size() &&
        host.compare(host.size() - suffix.size(), suffix.size(), suffix) == 0)
      return true;
  }
  return false;
}

bool CrackUrl(const std::wstring& url, UrlParts* parts) {
  wchar_t host[256] = {};
  wchar_t path[4096] = {};
  URL_COMPONENTSW components = {};
  components.dwStructSize = sizeof(components);
  components.lpszHostName = host;
  components.dwHostNameLength = 255;
  components.lpszUrlPath = path;
  components.dwUrlPathLength = 4095;
  if (!InternetCrackUrlW(url.c_str(), 0, ICU_DECODE | ICU_ESCAPE, &components)) return false;
  parts->scheme = components.nScheme;
  parts->host.assign(host, components.dwHostNameLength);
  parts->port = components.nPort;
  parts->path.assign(path, components.dwUrlPathLength);
  return true;
}

}  // namespace norva::installer
