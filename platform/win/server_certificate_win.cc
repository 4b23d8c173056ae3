// The server-certificate check of platform/win/server_certificate_win.h on
// CryptoAPI: the chain the system builds with the CA file's certificates,
// which must end in one of them, and the SSL server chain policy.
// winsock2.h must come before windows.h, which the header includes.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/win/server_certificate_win.h"

#include <cstdio>
#include <string_view>
#include <vector>

#include "platform/ascii.h"

namespace platform::ldap::win {
namespace {

// The largest PEM file taken as a CA file.
constexpr size_t kMaxCaFileBytes = 1 << 20;
// SECURITY_FLAG_IGNORE_UNKNOWN_CA and SECURITY_FLAG_IGNORE_CERT_CN_INVALID
// of <wininet.h>, which this file does not otherwise need.
constexpr DWORD kIgnoreUnknownCa = 0x00000100;
constexpr DWORD kIgnoreNameMismatch = 0x00001000;
constexpr size_t kIpv4Bytes = 4;
constexpr size_t kIpv6Bytes = 16;

struct ChainFree {
  void operator()(const CERT_CHAIN_CONTEXT* chain) const { CertFreeCertificateChain(chain); }
};
using ChainPtr = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree>;

// `host` as the bytes of an IP address, or empty when it is a name.
std::string IpAddressBytes(const std::wstring& host) {
  IN_ADDR v4{};
  if (InetPtonW(AF_INET, host.c_str(), &v4) == 1) return std::string(reinterpret_cast<const char*>(&v4), kIpv4Bytes);
  IN6_ADDR v6{};
  if (InetPtonW(AF_INET6, host.c_str(), &v6) == 1) return std::string(reinterpret_cast<const char*>(&v6), kIpv6Bytes);
  return std::string();
}

// Whether DNS name `pattern` of a certificate names `host`: equal without
// regard to ASCII case, or "*." and a suffix that matches all of `host`
// after its first label.
bool DnsNameMatches(std::wstring_view pattern, std::wstring_view host) {
  if (pattern.size() > 2 && pattern.substr(0, 2) == L"*.") {
    const size_t dot = host.find(L'.');
    return dot != std::wstring_view::npos && dot > 0 && EqualsIgnoringAsciiCase(pattern.substr(1), host.substr(dot));
  }
  return EqualsIgnoringAsciiCase(pattern, host);
}

// Whether the certificate names `host`, as libldap checks it on Linux: an IP
// address against the subject alternative names' addresses; a name against
// their DNS names, or the subject's common name when there are none.
// (CryptoAPI's SSL policy compares names only, so an address never matches
// there.)
bool NamesHost(const CERT_CONTEXT* certificate, const std::wstring& host) {
  const std::string address = IpAddressBytes(host);
  const CERT_EXTENSION* extension =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension,
                        certificate->pCertInfo->rgExtension);
  bool has_dns_names = false;
  if (extension != nullptr) {
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
      return false;
    }
    bool matched = false;
    for (DWORD i = 0; i < names->cAltEntry && !matched; ++i) {
      const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
      if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
        matched = !address.empty() &&
                  std::string_view(reinterpret_cast<const char*>(entry.IPAddress.pbData), entry.IPAddress.cbData) ==
                      address;
      } else if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
        has_dns_names = true;
        matched = address.empty() && entry.pwszDNSName != nullptr && DnsNameMatches(entry.pwszDNSName, host);
      }
    }
    LocalFree(names);
    if (matched) return true;
  }
  if (!address.empty() || has_dns_names) return false;
  const DWORD length = CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0,
                                          const_cast<char*>(szOID_COMMON_NAME), nullptr, 0);
  std::wstring common_name(length, L'\0');
  CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME),
                     common_name.data(), length);
  if (!common_name.empty()) common_name.pop_back();  // the terminator
  return !common_name.empty() && DnsNameMatches(common_name, host);
}

// Whether `certificate` chains to a certificate of `roots`, and only to one
// of those, passes the SSL server policy and names `host`.
//
// The chain is built by the default engine with the CA file's certificates
// (and the server's intermediates) as additional certificates; a root found
// there is one the system does not trust, which is the only trust error
// allowed, and only when that root is one of `roots`. (A chain engine with
// the file as its exclusive root would say the same; wine's crypt32 does
// not create such engines.)
bool ChainsTo(const CERT_CONTEXT* certificate, HCERTSTORE roots, const std::wstring& host) {
  StorePtr candidates(CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
  if (candidates == nullptr || !CertAddStoreToCollection(candidates.get(), roots, 0, 0)) return false;
  if (certificate->hCertStore != nullptr) CertAddStoreToCollection(candidates.get(), certificate->hCertStore, 0, 0);
  CERT_CHAIN_PARA chain_para{};
  chain_para.cbSize = sizeof(chain_para);
  const CERT_CHAIN_CONTEXT* raw_chain = nullptr;
  if (!CertGetCertificateChain(nullptr, certificate, nullptr, candidates.get(), &chain_para, 0, nullptr,
                               &raw_chain)) {
    return false;
  }
  ChainPtr chain(raw_chain);
  if (chain->cChain == 0 || (chain->TrustStatus.dwErrorStatus & ~CERT_TRUST_IS_UNTRUSTED_ROOT) != 0) return false;
  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
  if (simple->cElement == 0) return false;
  const CERT_CONTEXT* top = simple->rgpElement[simple->cElement - 1]->pCertContext;
  const CertificatePtr found(
      CertFindCertificateInStore(roots, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, top, nullptr));
  if (found == nullptr) return false;

  HTTPSPolicyCallbackData https{};
  https.cbSize = sizeof(https);
  https.dwAuthType = AUTHTYPE_SERVER;
  // The root was checked above, the name is checked below.
  https.fdwChecks = kIgnoreUnknownCa | kIgnoreNameMismatch;
  CERT_CHAIN_POLICY_PARA policy_para{};
  policy_para.cbSize = sizeof(policy_para);
  policy_para.dwFlags = CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG;
  policy_para.pvExtraPolicyPara = &https;
  CERT_CHAIN_POLICY_STATUS policy_status{};
  policy_status.cbSize = sizeof(policy_status);
  return CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy_para, &policy_status) &&
         policy_status.dwError == ERROR_SUCCESS && NamesHost(certificate, host);
}

}  // namespace

StorePtr LoadCaFile(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return nullptr;
  std::string pem(kMaxCaFileBytes, '\0');
  pem.resize(std::fread(pem.data(), 1, pem.size(), file));
  std::fclose(file);
  StorePtr store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  if (store == nullptr) return nullptr;
  static constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  static constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  int added = 0;
  for (size_t begin = pem.find(kBegin); begin != std::string::npos; begin = pem.find(kBegin, begin + 1)) {
    const size_t end = pem.find(kEnd, begin);
    if (end == std::string::npos) break;
    const std::string block = pem.substr(begin, end + kEnd.size() - begin);
    DWORD size = 0;
    if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                              &size, nullptr, nullptr)) {
      continue;
    }
    std::string der(size, '\0');
    if (CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                             reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr) &&
        CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                         size, CERT_STORE_ADD_ALWAYS, nullptr)) {
      ++added;
    }
  }
  return added > 0 ? std::move(store) : nullptr;
}

bool IsTrustedByCaFile(const CERT_CONTEXT* certificate, const std::string& ca_file, const std::wstring& host) {
  const StorePtr roots = LoadCaFile(ca_file);
  return roots != nullptr && certificate != nullptr && ChainsTo(certificate, roots.get(), host);
}

}  // namespace platform::ldap::win
