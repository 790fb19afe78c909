#ifndef NORVA_NET_SERVICE_DOMAINS_H_
#define NORVA_NET_SERVICE_DOMAINS_H_

namespace norva::installer {

// Hosts of the maker's services. The public suffix is what the branding's
// "domain" normally holds; the internal ones serve development builds.
inline constexpr wchar_t kPublicDomainSuffix[] = L".norva.example";
inline constexpr wchar_t kInternalDomainSuffix[] = L".norva.internal";
inline constexpr wchar_t kInternalUpdateServer[] = L"https://autoupdate.norva.internal/";

}  // namespace norva::installer

#endif  // NORVA_NET_SERVICE_DOMAINS_H_
