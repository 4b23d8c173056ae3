// "platform/kerberos.h" on Windows: no keytab and no ticket cache of our
// own. A Kerberos bind goes through wldap32's Negotiate bind with no
// explicit credentials, so the system authenticates as the account the
// process runs as, with the tickets it keeps and renews for that account.
// ClientCredentials here only names that account and gives the bind a
// nominal lifetime after which the LDAP backend binds new connections
// (which the system then serves with fresh tickets).
#include <windows.h>
#define SECURITY_WIN32
#include <security.h>

#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/kerberos.h"
#include "platform/utf8.h"

namespace platform::kerberos {

// Nothing to hold: the system keeps the account's tickets.
struct NativeCredentials {};

namespace {

// How long a bind is taken to rest on one ticket: a domain's default
// ticket lifetime (10 hours). Connections bound longer ago are replaced.
constexpr __time64_t kNominalTicketLifetime = 10 * 60 * 60;

constexpr char kNoKeytab[] =
    "keytab files are not used on this system: a Kerberos bind authenticates as the account the service runs as "
    "(Negotiate)";

// The account's name in the first form the system can give: its user
// principal name ("svc@EXAMPLE.TEST"), else "DOMAIN\name". Empty when
// neither is known.
std::string NameInFormat(EXTENDED_NAME_FORMAT format) {
  ULONG size = 0;
  GetUserNameExW(format, nullptr, &size);
  if (size == 0) return "";
  std::wstring name(size, L'\0');
  if (!GetUserNameExW(format, name.data(), &size)) return "";
  name.resize(size);
  return WideToUtf8(name);
}

std::string OwnAccount() {
  std::string name = NameInFormat(NameUserPrincipal);
  if (name.empty()) name = NameInFormat(NameSamCompatible);
  return name;
}

}  // namespace

bool CredentialsFromKeytab() { return false; }

std::string MechanismName() { return "Negotiate"; }

std::string MissingMechanismAdvice() {
  return "the system's Negotiate security package (SSPI) is not available to wldap32; the service must run on a "
         "domain member as a domain account, LocalSystem or NetworkService";
}

bool FindKeytabPrincipal(const std::string& keytab, const std::string& principal, std::string* found,
                         std::string* problem) {
  found->clear();
  if (!keytab.empty()) {
    *problem = kNoKeytab;
    return false;
  }
  const std::string account = OwnAccount();
  if (account.empty()) {
    *problem = "cannot tell which account the service runs as (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  if (!principal.empty() && principal != account) {
    *problem = "a Kerberos bind on this system authenticates as the service's own account " + account + ", not " +
               principal;
    return false;
  }
  *found = account;
  return true;
}

bool ClientCredentials::Acquire(const std::string& keytab, const std::string& principal,
                                std::shared_ptr<const ClientCredentials>* credentials, std::string* problem) {
  std::string account;
  if (!FindKeytabPrincipal(keytab, principal, &account, problem)) return false;
  auto acquired = std::make_shared<ClientCredentials>(PrivateTag{});
  acquired->principal_ = account;
  acquired->acquired_at_ = _time64(nullptr);
  acquired->expires_at_ = acquired->acquired_at_ + kNominalTicketLifetime;
  acquired->native_.reset(std::make_unique<NativeCredentials>().release());
  *credentials = std::move(acquired);
  return true;
}

ClientCredentials::~ClientCredentials() = default;

void ClientCredentials::NativeDeleter::operator()(NativeCredentials* native) const {
  std::unique_ptr<NativeCredentials> owned(native);
}

}  // namespace platform::kerberos
