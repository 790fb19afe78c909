#include "package/checksum_checker.h"

#include <bcrypt.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "base/logging.h"
#include "base/strings.h"
#include "package/mapped_file.h"
#include "package/payload_trailer.h"
#include "product/product_info.h"

namespace norva::installer {
namespace {

// Holds the optional replacement of WinVerifyTrust's result.
std::atomic<bool> g_trust_override_set{false};
std::atomic<LONG> g_trust_override{0};

class HashAlgorithm {
 public:
  HashAlgorithm() {
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_SHA256_ALGORITHM,
                                                    nullptr, 0)))
      algorithm_ = nullptr;
  }
  ~HashAlgorithm() {
    if (hash_) BCryptDestroyHash(hash_);
    if (algorithm_) BCryptCloseAlgorithmProvider(algorithm_, 0);
  }
  HashAlgorithm(const HashAlgorithm&) = delete;
  HashAlgorithm& operator=(const HashAlgorithm&) = delete;

  bool Start() {
    DWORD object_length = 0, got = 0;
    if (!algorithm_ ||
        !BCRYPT_SUCCESS(BCryptGetProperty(algorithm_, BCRYPT_OBJECT_LENGTH,
                                          reinterpret_cast<PUCHAR>(&object_length),
                                          sizeof(object_length), &got, 0)))
      return false;
    object_.resize(object_length);
    return BCRYPT_SUCCESS(
        BCryptCreateHash(algorithm_, &hash_, object_.data(), object_length, nullptr, 0, 0));
  }
  bool Update(const uint8_t* data, size_t size) {
    constexpr size_t kMaxPiece = 1u << 30;
    while (size > 0) {
      ULONG piece = static_cast<ULONG>(std::min(size, kMaxPiece));
      if (!BCRYPT_SUCCESS(BCryptHashData(hash_, const_cast<PUCHAR>(data), piece, 0)))
        return false;
      data += piece;
      size -= piece;
    }
    return true;
  }
  bool Finish(uint8_t (&digest)[32]) {
    return BCRYPT_SUCCESS(BCryptFinishHash(hash_, digest, sizeof(digest), 0));
  }

 private:
  BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  BCRYPT_HASH_HANDLE hash_ = nullptr;
  std::vector<UCHAR> object_;
};

std::string LowerHex(const uint8_t* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

}  // namespace

WINTRUST_DATA PackageTrustRequest(WINTRUST_FILE_INFO* file) {
  WINTRUST_DATA trust_data{};
  trust_data.cbStruct = sizeof(trust_data);
  trust_data.dwUIChoice = WTD_UI_NONE;
  trust_data.fdwRevocationChecks = WTD_REVOKE_NONE;
  // The package comes from our own service over a checked connection and
  // carries its digest: a revocation lookup (or a chain download) behind a
  // proxy or offline would only stall the installation, so none is made,
  // whatever the machine's policy says.
  trust_data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
  trust_data.dwUnionChoice = WTD_CHOICE_FILE;
  trust_data.pFile = file;
  trust_data.dwStateAction = 0;
  return trust_data;
}

namespace {

LONG VerifyTrust(const FilePath& path) {
  WINTRUST_FILE_INFO file_info{};
  file_info.cbStruct = sizeof(file_info);
  file_info.pcwszFilePath = path.c_str();
  WINTRUST_DATA trust_data = PackageTrustRequest(&file_info);
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &trust_data);
  if (g_trust_override_set.load()) result = g_trust_override.load();
  return result;
}

struct StoreCloser {
  void operator()(void* store) const { CertCloseStore(static_cast<HCERTSTORE>(store), 0); }
};
struct MessageCloser {
  void operator()(void* message) const { CryptMsgClose(static_cast<HCRYPTMSG>(message)); }
};
struct CertificateCloser {
  void operator()(const CERT_CONTEXT* certificate) const {
    CertFreeCertificateContext(certificate);
  }
};

// The simple display name of the first signer of the file's embedded
// signature; empty when any step fails.
std::wstring SignerName(const FilePath& path) {
  HCERTSTORE raw_store = nullptr;
  HCRYPTMSG raw_message = nullptr;
  DWORD encoding = 0, content_type = 0, format_type = 0;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(),
                        CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                        0, &encoding, &content_type, &format_type, &raw_store, &raw_message,
                        nullptr)) {
    PLOG(ERROR) << "CryptQueryObject failed for " << path;
    if (raw_store) CertCloseStore(raw_store, 0);
    if (raw_message) CryptMsgClose(raw_message);
    return std::wstring();
  }
  std::unique_ptr<void, StoreCloser> store(raw_store);
  std::unique_ptr<void, MessageCloser> message(raw_message);
  DWORD size = 0;
  if (!CryptMsgGetParam(raw_message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) || size == 0) {
    PLOG(ERROR) << "Could not read the signer of " << path;
    return std::wstring();
  }
  std::vector<uint8_t> buffer(size);
  if (!CryptMsgGetParam(raw_message, CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size)) {
    PLOG(ERROR) << "Could not read the signer of " << path;
    return std::wstring();
  }
  auto* signer = reinterpret_cast<CMSG_SIGNER_INFO*>(buffer.data());
  CERT_INFO wanted{};
  wanted.Issuer = signer->Issuer;
  wanted.SerialNumber = signer->SerialNumber;
  std::unique_ptr<const CERT_CONTEXT, CertificateCloser> certificate(CertFindCertificateInStore(
      raw_store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT, &wanted,
      nullptr));
  if (!certificate) {
    PLOG(ERROR) << "The signer's certificate is missing from " << path;
    return std::wstring();
  }
  DWORD length = CertGetNameStringW(certificate.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                                    nullptr, 0);
  if (length <= 1) return std::wstring();
  std::wstring name(length, L'\0');
  length = CertGetNameStringW(certificate.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                              name.data(), length);
  name.resize(length > 0 ? length - 1 : 0);
  return name;
}

}  // namespace

bool ChecksumChecker::VerifyChecksum(const FilePath& path,
                                     std::string_view expected) {
  std::string digest = ComputeSha256(path);
  return !digest.empty() && digest == expected;
}

std::string ChecksumChecker::ComputeSha256(const FilePath& path) {
  MappedFile file;
  if (!file.Initialize(path)) {
    LOG(ERROR) << "Unable to read " << path;
    return std::string();
  }
  HashAlgorithm hash;
  uint8_t digest[32];
  if (!hash.Start() || !hash.Update(file.data(), file.length()) || !hash.Finish(digest)) {
    LOG(ERROR) << "Could not compute the SHA-256 digest of " << path;
    return std::string();
  }
  return LowerHex(digest, sizeof(digest));
}

bool HasCertificateTable(const FilePath& path, bool* has_table) {
  MappedFile file;
  CertificateTable table;
  if (!file.Initialize(path) || !ReadPeCertificateTable(file.data(), file.length(), &table))
    return false;
  *has_table = table.size != 0;
  return true;
}

bool VerifyPackageSigner(const FilePath& path) {
  LONG trust = VerifyTrust(path);
  if (trust != 0) {
    LOG(ERROR) << "The signature of " << path << " is not valid: "
               << logging::SystemErrorText(static_cast<unsigned long>(trust));
    return false;
  }
  std::wstring signer = SignerName(path);
  std::wstring expected = Utf8ToWide(product::ExpectedSigner());
  if (signer.empty() || signer != expected) {
    LOG(ERROR) << path << " is signed by \"" << signer << "\", not by the expected publisher";
    return false;
  }
  return true;
}

void SetTrustResultForTesting(std::optional<LONG> result) {
  g_trust_override.store(result.value_or(0));
  g_trust_override_set.store(result.has_value());
}

}  // namespace norva::installer
