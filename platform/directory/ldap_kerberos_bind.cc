#include "platform/directory/ldap_kerberos_bind.h"

#include <string_view>
#include <utility>

#include "platform/ascii.h"
#include "platform/clock.h"
#include "platform/directory/directory_error.h"
#include "platform/directory/ldap_request_errors.h"
#include "platform/log.h"
#include "platform/utf8.h"

namespace directory::ldap_backend_internal {
namespace {

constexpr char kSource[] = "ldap_backend";

// Credentials are renewed once this share of their lifetime has passed.
constexpr __time64_t kRenewNumerator = 3;
constexpr __time64_t kRenewDenominator = 4;

// The security layer's strength factor from which messages are sealed as
// well as signed.
constexpr int kFirstSealingSsf = 2;

constexpr std::string_view kUnknownServer = "Server not found in Kerberos database";

bool DueForRenewal(const platform::kerberos::ClientCredentials& credentials, __time64_t now) {
  const __time64_t lifetime = credentials.expires_at() - credentials.acquired_at();
  return now >= credentials.acquired_at() + lifetime * kRenewNumerator / kRenewDenominator;
}

// The Kerberos reason in a SASL diagnostic such as "SASL(-1): generic
// failure: GSSAPI Error: Unspecified GSS failure.  Minor code may provide
// more information (Server not found in Kerberos database)": the text in the
// last parentheses, else the whole diagnostic.
std::string KerberosReason(const std::string& diagnostic) {
  if (!diagnostic.empty() && diagnostic.back() == ')') {
    const size_t open = diagnostic.rfind('(');
    if (open != std::string::npos && open + 2 < diagnostic.size()) {
      return diagnostic.substr(open + 1, diagnostic.size() - open - 2);
    }
  }
  return diagnostic;
}

std::wstring ServiceOf(const Endpoint& endpoint) { return L"ldap/" + endpoint.host; }

}  // namespace

bool TicketEnded(const ldap::Authentication& authentication) {
  return authentication.valid_until != 0 && _time64(nullptr) + kTicketEndMargin >= authentication.valid_until;
}

KerberosLogin::KerberosLogin(std::string keytab, std::string principal, int minimum_ssf)
    : keytab_(std::move(keytab)), principal_(std::move(principal)), minimum_ssf_(minimum_ssf) {}

std::shared_ptr<const platform::kerberos::ClientCredentials> KerberosLogin::Credentials(bool renew, bool* fresh) {
  platform::MutexLock lock(&mu_);
  *fresh = false;
  const __time64_t now = _time64(nullptr);
  if (credentials_ != nullptr && !renew && !DueForRenewal(*credentials_, now)) return credentials_;
  std::shared_ptr<const platform::kerberos::ClientCredentials> acquired;
  std::string problem;
  if (!platform::kerberos::ClientCredentials::Acquire(keytab_, principal_, &acquired, &problem)) {
    if (credentials_ != nullptr && now < credentials_->expires_at()) {
      DBG::DebugLogEx(nullptr, DBG::kLevelWarning, kSource, __LINE__,
                      L"cannot renew the Kerberos credentials of %S from the keytab %S (%S); the current ones end "
                      L"in %I64d s",
                      principal_.c_str(), keytab_.c_str(), problem.c_str(),
                      static_cast<long long>(credentials_->expires_at() - now));
      return credentials_;
    }
    DirectoryErrorContext context;
    context.operation = L"get Kerberos credentials";
    context.target = platform::Utf8ToWide(principal_);
    context.diagnostic = platform::Utf8ToWide(problem);
    DIRECTORY_THROW(kDirectoryAuthFailed,
                    L"cannot get Kerberos credentials for " + context.target + L" with the keytab " +
                        platform::Utf8ToWide(keytab_) + L": " + context.diagnostic,
                    context);
  }
  if (DBG::IsEnabled(DBG::kLevelData)) {
    DBG::DebugLogEx(nullptr, DBG::kLevelData, kSource, __LINE__,
                    L"%s Kerberos credentials of %S from the keytab %S: valid for %I64d s",
                    credentials_ != nullptr ? L"renewed the" : L"got", principal_.c_str(), keytab_.c_str(),
                    static_cast<long long>(acquired->expires_at() - acquired->acquired_at()));
  }
  credentials_ = acquired;
  *fresh = true;
  return acquired;
}

void KerberosLogin::Bind(ldap::Connection& connection, const Endpoint& endpoint) {
  const std::wstring principal = platform::Utf8ToWide(principal_);
  bool fresh = false;
  std::shared_ptr<const platform::kerberos::ClientCredentials> credentials = Credentials(false, &fresh);
  ldap::KerberosBindRequest request;
  request.credentials = credentials.get();
  request.minimum_ssf = minimum_ssf_;
  ldap::Status status = connection.KerberosBind(request);
  if (status.code == ldap::kLocalError && !fresh &&
      _time64(nullptr) - credentials->acquired_at() >= kMinimumAgeForRenewal) {
    DBG::DebugLogEx(nullptr, DBG::kLevelWarning, kSource, __LINE__,
                    L"the Kerberos bind to %s failed (%S); renewing the credentials and binding again",
                    endpoint.name.c_str(), KerberosReason(status.diagnostic).c_str());
    credentials = Credentials(true, &fresh);
    request.credentials = credentials.get();
    status = connection.KerberosBind(request);
  }

  const std::wstring operation = L"Kerberos bind as " + principal;
  if (!status.ok()) {
    if (IsServerFailure(status, FailedStep::kConnect)) throw ServerFailure{status, L"Kerberos bind", principal};
    const DirectoryErrorContext context = ErrorContextOf(endpoint, operation, ServiceOf(endpoint), status);
    const std::wstring server = L"the directory server " + endpoint.name;
    switch (status.code) {
      case ldap::kAuthUnknown:
        DIRECTORY_THROW(kDirectoryAuthFailed,
                        L"the LDAP library has no " + platform::Utf8ToWide(platform::kerberos::MechanismName()) +
                            L" mechanism for the Kerberos bind to " + endpoint.name + L": " +
                            platform::Utf8ToWide(platform::kerberos::MissingMechanismAdvice()),
                        context);
      case ldap::kStrongerAuthRequired:
      case ldap::kConfidentialityRequired:
        DIRECTORY_THROW(kDirectoryAuthFailed,
                        server + L" requires a stronger security layer than MinimumSsf = " +
                            std::to_wstring(minimum_ssf_) + L" asks for: raise MinimumSsf (" +
                            std::to_wstring(ldap::KerberosBindRequest::kSigning) + L" signs, 56 and more seal)",
                        context);
      case ldap::kLocalError: {
        const std::string reason = KerberosReason(status.diagnostic);
        std::wstring message = L"the Kerberos bind as " + principal + L" to " + ServiceOf(endpoint) + L" at " +
                               endpoint.name + L" failed: " + platform::Utf8ToWide(reason);
        if (reason == kUnknownServer) {
          message += L" (the server's account needs the servicePrincipalName " + ServiceOf(endpoint) +
                     L", and the server must be named by that host name)";
        }
        DIRECTORY_THROW(kDirectoryAuthFailed, message, context);
      }
      default:
        ThrowRequestError(endpoint, operation, ServiceOf(endpoint), status);
    }
  }

  const ldap::Authentication& established = connection.authentication();
  if (!platform::EqualsIgnoringAsciiCase(established.identity, principal_)) {
    DirectoryErrorContext context = ErrorContextOf(endpoint, operation, ServiceOf(endpoint), status);
    DIRECTORY_THROW(kDirectoryAuthFailed,
                    L"the Kerberos bind to " + endpoint.name + L" authenticated '" +
                        platform::Utf8ToWide(established.identity) + L"', not " + principal,
                    context);
  }
  if (DBG::IsEnabled(DBG::kLevelData)) {
    DBG::DebugLogEx(nullptr, DBG::kLevelData, kSource, __LINE__,
                    L"bound to %s with Kerberos as %S, security strength factor %d (%s), ticket valid for %I64d s",
                    endpoint.name.c_str(), established.identity.c_str(), established.ssf,
                    established.ssf >= kFirstSealingSsf ? L"sealed" : L"signed",
                    static_cast<long long>(established.valid_until - _time64(nullptr)));
  }
}

}  // namespace directory::ldap_backend_internal
