// The server-certificate check of the Windows LDAP client with a CA file:
// whether a server's certificate chains to a certificate of a PEM file, and
// to nothing else, and names the host connected to. Internal to the
// platform layer (platform/win/ldap_api_win.cc), and reachable by the
// Windows tests, which check it with certificates of their own because
// wine's wldap32 never calls the session's certificate callback.
//
// Thread safety: pure functions of their arguments and the files they read.
#ifndef USERPOLICY_PLATFORM_WIN_SERVER_CERTIFICATE_WIN_H_
#define USERPOLICY_PLATFORM_WIN_SERVER_CERTIFICATE_WIN_H_

#include <windows.h>
#include <wincrypt.h>

#include <memory>
#include <string>

namespace platform::ldap::win {

struct StoreClose {
  void operator()(HCERTSTORE store) const { CertCloseStore(store, 0); }
};
using StorePtr = std::unique_ptr<void, StoreClose>;
struct CertificateFree {
  void operator()(const CERT_CONTEXT* certificate) const { CertFreeCertificateContext(certificate); }
};
using CertificatePtr = std::unique_ptr<const CERT_CONTEXT, CertificateFree>;

// The certificates of the PEM file `path` (a narrow path in the ANSI code
// page) in a new memory store; null when the file cannot be read or holds
// no certificate.
StorePtr LoadCaFile(const std::string& path);

// Whether `certificate` (with the intermediate certificates of its store)
// chains to a certificate of the PEM file `ca_file`, and only to one of
// those, passes the SSL server policy for `host` (name, validity, usage).
// False when the file cannot be read.
bool IsTrustedByCaFile(const CERT_CONTEXT* certificate, const std::string& ca_file, const std::wstring& host);

}  // namespace platform::ldap::win

#endif  // USERPOLICY_PLATFORM_WIN_SERVER_CERTIFICATE_WIN_H_
