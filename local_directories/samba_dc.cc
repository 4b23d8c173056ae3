#include "local_directories/samba_dc.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "local_directories/nss_wrapper.h"

namespace userpolicy::local_directories {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kRealm = "USERPOLICY.TEST";
constexpr const char* kDomain = "UPTEST";  // NetBIOS name
constexpr const char* kMailDomain = "userpolicy.test";
constexpr const char* kAddress = "127.0.0.1";
constexpr const char* kLdapUrl = "ldap://127.0.0.1:389";
constexpr const char* kGcHostPort = "127.0.0.1:3268";
constexpr const char* kGcPort = "3268";
constexpr const char* kHostName = "updc.userpolicy.test";
constexpr const char* kShortHostName = "updc";
constexpr const char* kComputerAccount = "UPDC$";
constexpr const char* kServicePrincipal = "svc-userpolicy@USERPOLICY.TEST";
// What Windows clients ask a domain controller's LDAP and Global Catalog
// services for; libldap asks for the first.
constexpr const char* kServicePrincipalNames = "ldap/updc.userpolicy.test,GC/updc.userpolicy.test/userpolicy.test";
constexpr int kBulkUsers = 1600;
// Named after the version of the loaded data: change it with the data.
constexpr const char* kCacheRoot = "/tmp/userpolicy-samba-cache";
constexpr const char* kCacheName = "v1-USERPOLICY.TEST-UPTEST-1600";
constexpr const char* kLockFile = "/tmp/userpolicy-samba.lock";
constexpr const char* kSamba = "/usr/sbin/samba";
constexpr const char* kSambaTool = "/usr/bin/samba-tool";
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kLdapSearch = "/usr/bin/ldapsearch";
constexpr milliseconds kStartTimeout = std::chrono::seconds(60);
constexpr milliseconds kPollInterval{100};
constexpr mode_t kPrivateMode = 0600;
constexpr size_t kPasswordRandomChars = 24;
constexpr size_t kLogTailBytes = 3000;
constexpr size_t kRidBytes = 4;
constexpr const char* kBaseDn = "DC=userpolicy,DC=test";
constexpr const char* kTestOuRdn = "OU=UserPolicy Test";
constexpr const char* kServiceRdn = "CN=svc-userpolicy";
constexpr const char* kServiceAccount = "svc-userpolicy";
constexpr const char* kAdminAccount = "Administrator";
constexpr const char* kProvisionCheckFile =
    "/usr/share/samba/setup/ad-schema/AD_DS_Attributes__Windows_Server_2012_R2.ldf";
// UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD.
constexpr const char* kServiceAccountControl = "66048";

// Prepares the accounts through Samba's own database library, in one run
// (each run costs a second): sets passwords, reading each from a file so
// that no password appears on a command line; adds the service principal
// names a computer account lacks; exports a principal's keys to a keytab.
// Arguments: smb.conf, the computer account, its service principal names
// (comma-separated; "": none), the keytab ("": none), the principal to
// export, then pairs of account name and password file.
constexpr const char* kPrepareAccountsScript = R"py(import sys
import ldb
from samba.auth import system_session
from samba.param import LoadParm
from samba.samdb import SamDB
lp = LoadParm()
lp.load(sys.argv[1])
db = SamDB(url=lp.private_path("sam.ldb"), session_info=system_session(),
           lp=lp)
computer, spns, keytab, principal = sys.argv[2:6]
for i in range(6, len(sys.argv), 2):
    name = sys.argv[i]
    with open(sys.argv[i + 1], encoding="utf-8") as f:
        password = f.read()
    db.setpassword("(sAMAccountName=%s)" % ldb.binary_encode(name), password,
                   force_change_at_next_login=False, username=name)
if spns:
    found = db.search(base=db.domain_dn(), scope=ldb.SCOPE_SUBTREE,
                      expression="(sAMAccountName=%s)" % ldb.binary_encode(computer),
                      attrs=["servicePrincipalName"])
    have = {str(v).lower() for v in found[0].get("servicePrincipalName", [])}
    missing = [n for n in spns.split(",") if n.lower() not in have]
    if missing:
        change = ldb.Message(found[0].dn)
        change["servicePrincipalName"] = ldb.MessageElement(
            missing, ldb.FLAG_MOD_ADD, "servicePrincipalName")
        db.modify(change)
if keytab:
    from samba import enable_net_export_keytab
    from samba.net import Net
    enable_net_export_keytab()
    Net(None, lp).export_keytab(keytab=keytab, principal=principal)
)py";

// Meets the domain's complexity rules: upper and lower case, digits and a
// symbol.
std::string DomainPassword() { return "Up-" + RandomPassword(kPasswordRandomChars) + "-9x"; }

// The UTF-16LE, quoted form unicodePwd takes.
std::string UnicodePwd(const std::string& ascii_password) {
  std::string out;
  for (char c : "\"" + ascii_password + "\"") out += {c, '\0'};
  return out;
}

std::string SmbConf(const std::string& dir, bool strong_auth) {
  return std::string("[global]\nnetbios name = UPDC\nworkgroup = ") + kDomain + "\nrealm = " + kRealm +
         "\nserver role = active directory domain controller\nserver services = ldap, kdc\n"
         "dcerpc endpoint servers =\ninterfaces = " + kAddress +
         "\nbind interfaces only = yes\nldap server require strong auth = " + (strong_auth ? "yes" : "no") +
         "\ntls enabled = no\n"
         "dsdb:schema update allowed = yes\nldb:nosync = true\nprivate dir = " + dir +
         "/private\nlock directory = " + dir + "\nstate directory = " + dir + "/state\ncache directory = " + dir +
         "/cache\nbinddns dir = " + dir + "/bind-dns\npid directory = " + dir + "/run\nncalrpc dir = " + dir +
         "/run/ncalrpc\nntp signd socket directory = " + dir + "/run/ntp_signd\nwinbindd socket directory = " +
         dir + "/run/winbindd\nlog file = " + dir +
         "/samba.log\nlogging = file\nlog level = 1\npanic action =\nidmap_ldb:use rfc2307 = yes\n";
}

// For the host's KRB5_CONFIG: nothing looked up in DNS, host names used as
// written.
std::string Krb5Conf(std::chrono::seconds ticket_lifetime) {
  std::string conf = std::string("[libdefaults]\n default_realm = ") + kRealm +
                     "\n dns_lookup_kdc = false\n dns_lookup_realm = false\n dns_canonicalize_hostname = false\n"
                     " rdns = false\n";
  if (ticket_lifetime.count() > 0) conf += " ticket_lifetime = " + std::to_string(ticket_lifetime.count()) + "\n";
  return conf + "[realms]\n " + kRealm + " = {\n  kdc = " + kAddress + "\n }\n[domain_realm]\n ." + kMailDomain +
         " = " + kRealm + "\n " + kMailDomain + " = " + kRealm + "\n";
}

std::string SchemaLdif(const std::string& base_dn) {
  const std::string schema = "CN=Schema,CN=Configuration," + base_dn;
  const std::string update_now = "dn:\nchangetype: modify\nadd: schemaUpdateNow\nschemaUpdateNow: 1\n-\n\n";
  std::string ldif = "dn: CN=ms-RTC-SIP-PrimaryUserAddress," + schema +
                     "\nchangetype: add\nobjectClass: top\nobjectClass: attributeSchema\n"
                     "cn: ms-RTC-SIP-PrimaryUserAddress\nlDAPDisplayName: msRTCSIP-PrimaryUserAddress\n"
                     "attributeID: 1.2.840.113556.1.6.13.1.17\nattributeSyntax: 2.5.5.12\noMSyntax: 64\n"
                     "isSingleValued: TRUE\nisMemberOfPartialAttributeSet: TRUE\n"
                     "searchFlags: 1\nsystemOnly: FALSE\n\n" + update_now;
  for (const char* cls : {"User", "Contact"}) {
    ldif += "dn: CN=" + std::string(cls) + "," + schema +
            "\nchangetype: modify\nadd: mayContain\nmayContain: msRTCSIP-PrimaryUserAddress\n-\n\n";
  }
  return ldif + "dn: CN=Proxy-Addresses," + schema +
         "\nchangetype: modify\nreplace: isMemberOfPartialAttributeSet\n"
         "isMemberOfPartialAttributeSet: TRUE\n-\n\n" + update_now;
}

struct Person {
  std::string cn;
  std::string account;  // empty for a contact
  std::string mail;
  std::string sip;
  std::vector<std::string> proxy;
};

std::string AddPerson(const std::string& ou, const Person& p) {
  std::string out = LdifLine("dn", "CN=" + p.cn + "," + ou) + "changetype: add\n";
  if (p.account.empty()) {
    out += "objectClass: contact\n";
  } else {
    out += "objectClass: user\n" + LdifLine("sAMAccountName", p.account) +
           LdifLine("userPrincipalName", p.account + "@" + kMailDomain);
  }
  if (!p.mail.empty()) out += LdifLine("mail", p.mail);
  if (!p.sip.empty()) out += LdifLine("msRTCSIP-PrimaryUserAddress", p.sip);
  for (const std::string& a : p.proxy) out += LdifLine("proxyAddresses", a);
  return out + "\n";
}

std::string AddMembers(const std::string& ou, const std::string& group, const std::vector<std::string>& member_cns) {
  std::string out = LdifLine("dn", "CN=" + group + "," + ou) + "changetype: modify\nadd: member\n";
  for (const std::string& m : member_cns) out += LdifLine("member", "CN=" + m + "," + ou);
  return out + "-\n\n";
}

std::string DirectoryLdif(const std::string& ou, const std::string& service_password) {
  const std::string d = kMailDomain;
  std::string ldif = LdifLine("dn", ou) + "changetype: add\nobjectClass: organizationalUnit\n\n";
  ldif += LdifLine("dn", std::string(kServiceRdn) + "," + ou) + "changetype: add\nobjectClass: user\n" +
          LdifLine("sAMAccountName", kServiceAccount) + "userAccountControl: " + kServiceAccountControl + "\n" +
          LdifLine("unicodePwd", UnicodePwd(service_password)) + "\n";
  const Person people[] = {
      {"Alice Archer", "alice", "alice@" + d, "sip:alice@" + d,
       {"SMTP:alice@" + d, "smtp:a.archer@" + d, "sip:alice@" + d}},
      {"Bob/Builder (Ops*)", "bob", "bob@" + d, "sip:bob@" + d, {}},
      {"Zoë Ångström", "zoe", "", "sip:zoe@" + d, {}},
      {"Carol Primary", "carol", "carol@" + d, "sip:carol@" + d, {}},
      {"Dave Cycle", "dave", "", "sip:dave@" + d, {}},
      {"External Contact", "", "ext@partner.test", "sip:ext@partner.test", {"SMTP:ext@partner.test"}},
  };
  for (const Person& p : people) ldif += AddPerson(ou, p);
  const std::pair<const char*, const char*> groups[] = {
      {"Sales", "sales"},           {"Cycle A", "cycle-a"},           {"Cycle B", "cycle-b"},
      {"Diamond Top", "diamond-top"}, {"Diamond Left", "diamond-left"}, {"Diamond Right", "diamond-right"},
      {"Diamond Bottom", "diamond-bottom"}, {"Grüppe (R/D*)", "gruppe-rd"}, {"Big Group", "big-group"}};
  for (const auto& [cn, account] : groups) {
    ldif += LdifLine("dn", "CN=" + std::string(cn) + "," + ou) + "changetype: add\nobjectClass: group\n" +
            LdifLine("sAMAccountName", account) + "\n";
  }
  ldif += AddMembers(ou, "Sales", {"Alice Archer", "Carol Primary"});
  ldif += AddMembers(ou, "Cycle A", {"Cycle B", "Dave Cycle"});
  ldif += AddMembers(ou, "Cycle B", {"Cycle A"});
  ldif += AddMembers(ou, "Diamond Top", {"Diamond Left", "Diamond Right"});
  ldif += AddMembers(ou, "Diamond Left", {"Diamond Bottom"});
  ldif += AddMembers(ou, "Diamond Right", {"Diamond Bottom"});
  ldif += AddMembers(ou, "Diamond Bottom", {"Alice Archer"});
  ldif += AddMembers(ou, "Grüppe (R/D*)", {"Bob/Builder (Ops*)", "Zoë Ångström"});
  std::vector<std::string> bulk;
  for (int i = 0; i < kBulkUsers; ++i) {
    std::string name = std::to_string(i);
    name = "bulk" + std::string(4 - std::min<size_t>(4, name.size()), '0') + name;
    ldif += AddPerson(ou, {name, name, "", "", {}});
    bulk.push_back(std::move(name));
  }
  return ldif + AddMembers(ou, "Big Group", bulk);
}

// The relative identifier: the last sub-authority of a binary SID.
uint32_t RidOf(const std::string& sid) {
  if (sid.size() < kRidBytes) throw std::runtime_error("short objectSid");
  uint32_t rid = 0;
  for (size_t i = 0; i < kRidBytes; ++i) {
    rid |= uint32_t{static_cast<uint8_t>(sid[sid.size() - kRidBytes + i])} << (8 * i);
  }
  return rid;
}

// Opens and locks `path`; the descriptor holds the lock.
UniqueFd LockFile(const std::string& path, milliseconds timeout) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kPrivateMode));
  const Clock::time_point deadline = Clock::now() + timeout;
  while (!fd.valid() || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (!fd.valid() || (errno != EWOULDBLOCK && errno != EINTR)) {
      throw std::runtime_error("cannot lock " + path + ": " + std::strerror(errno));
    }
    if (Clock::now() >= deadline) throw std::runtime_error("another domain controller holds " + path);
    std::this_thread::sleep_for(kPollInterval);
  }
  return fd;
}

void CopyTree(const std::string& from, const std::string& to) {
  RunOrThrow({"cp", "-a", from + "/.", to}, "copying " + from);
}

// See kPrepareAccountsScript; `keytab` empty: no keys exported, no names
// added.
void PrepareAccounts(const std::string& conf_file, const std::string& keytab,
                     const std::vector<std::string>& accounts_and_files) {
  std::vector<std::string> argv = {kPython,          "-c", kPrepareAccountsScript, conf_file, kComputerAccount,
                                   keytab.empty() ? "" : kServicePrincipalNames, keytab, kServicePrincipal};
  argv.insert(argv.end(), accounts_and_files.begin(), accounts_and_files.end());
  RunOrThrow(argv, "preparing the accounts");
  if (!keytab.empty() && ::chmod(keytab.c_str(), kPrivateMode) != 0) {
    throw std::runtime_error("cannot make " + keytab + " private: " + std::strerror(errno));
  }
}

}  // namespace

bool SambaDomainController::Available() {
  const char* external = std::getenv(kExternalSambaVariable);
  if (external != nullptr && *external != '\0') return ::access(kLdapSearch, X_OK) == 0;
  for (const char* program : {kSamba, kSambaTool, kPython, kLdapSearch}) {
    if (::access(program, X_OK) != 0) return false;
  }
  return ::access(kProvisionCheckFile, R_OK) == 0;
}

std::unique_ptr<SambaDomainController> SambaDomainController::Start(const SambaOptions& options) {
  std::unique_ptr<SambaDomainController> dc(new SambaDomainController());
  if (std::optional<ExternalServer> external = ExternalServerFromEnvironment(
          kExternalSambaVariable, kBaseDn, std::string(kServiceRdn) + "," + kTestOuRdn)) {
    dc->attached_ = true;
    dc->gc_host_port_ = external->host_port();
    dc->base_dn_ = external->base_dn;
    dc->test_ou_ = std::string(kTestOuRdn) + "," + dc->base_dn_;
    dc->service_dn_ = external->service_dn;
    dc->service_password_file_ = external->service_password_file;
    dc->work_dir_ = MakeTempDir("userpolicy-samba-");
    return dc;
  }
  if (options.require_strong_auth && !ResolvesTo(kHostName, kAddress)) {
    throw std::runtime_error(std::string(kHostName) + " does not resolve to " + kAddress +
                             " here, and a controller that requires strong authentication is read with Kerberos: "
                             "run the program under nss_wrapper (RunUnderNssWrapper with HostsLines())");
  }
  dc->lock_ = LockFile(kLockFile, options.lock_timeout);
  dc->work_dir_ = MakeTempDir("userpolicy-samba-");
  dc->strong_auth_ = options.require_strong_auth;
  dc->gc_port_ = kGcPort;
  dc->host_name_ = kHostName;
  dc->service_principal_ = kServicePrincipal;
  dc->keytab_file_ = dc->work_dir_ + "/service.keytab";
  dc->krb5_conf_ = dc->work_dir_ + "/krb5.conf";
  WritePrivateFile(dc->krb5_conf_, Krb5Conf(options.ticket_lifetime));
  dc->gc_host_port_ = kGcHostPort;
  dc->base_dn_ = kBaseDn;
  dc->test_ou_ = std::string(kTestOuRdn) + "," + dc->base_dn_;
  dc->service_dn_ = std::string(kServiceRdn) + "," + dc->test_ou_;
  const std::string domain_dir = dc->work_dir_ + "/domain";
  dc->conf_file_ = domain_dir + "/etc/smb.conf";
  dc->admin_password_file_ = dc->work_dir_ + "/admin.pw";
  dc->service_password_file_ = dc->work_dir_ + "/service.pw";
  const std::string service_password = DomainPassword();
  WritePrivateFile(dc->admin_password_file_, DomainPassword());
  WritePrivateFile(dc->service_password_file_, service_password);

  const std::string cached = std::string(kCacheRoot) + "/" + kCacheName;
  std::error_code ignored;
  if (fs::exists(cached + "/etc/smb.conf", ignored)) {
    fs::create_directory(domain_dir);
    CopyTree(cached, domain_dir);
  } else {
    RunOrThrow({kSambaTool, "domain", "provision", std::string("--realm=") + kRealm,
                std::string("--domain=") + kDomain, "--server-role=dc", "--dns-backend=NONE", "--use-rfc2307",
                "--host-name=updc", "--targetdir=" + domain_dir, std::string("--option=interfaces=") + kAddress,
                "--option=bind interfaces only=yes"},
               "samba-tool domain provision");
    WritePrivateFile(dc->conf_file_, SmbConf(domain_dir, /*strong_auth=*/false));
    PrepareAccounts(dc->conf_file_, "", {kAdminAccount, dc->admin_password_file_});
    dc->Launch();
    dc->Modify(SchemaLdif(dc->base_dn_));
    dc->Modify(DirectoryLdif(dc->test_ou_, service_password));
    // Carol's primary group becomes Sales, of which she is a member.
    const std::vector<LdifEntry> sales =
        ParseLdif(LdapSearch({kLdapUrl, dc->service_dn_, dc->service_password_file_},
                             "CN=Sales," + dc->test_ou_, "(objectClass=group)", {"objectSid"}, "base"));
    if (sales.empty() || sales[0].Get("objectSid").empty()) throw std::runtime_error("group Sales has no objectSid");
    dc->Modify("dn: CN=Carol Primary," + dc->test_ou_ + "\nchangetype: modify\nreplace: primaryGroupID\n" +
               "primaryGroupID: " + std::to_string(RidOf(sales[0].Get("objectSid")[0])) + "\n-\n");
    dc->process_.Stop();
    fs::create_directories(kCacheRoot);
    ::chmod(kCacheRoot, 0700);
    const std::string staging = MakeTempDir(".build-", kCacheRoot);
    CopyTree(domain_dir, staging);
    // Another program may have filled the cache meanwhile: keep theirs.
    if (::rename(staging.c_str(), cached.c_str()) != 0) fs::remove_all(staging, ignored);
  }
  // Fresh passwords, keys and paths for this copy.
  WritePrivateFile(dc->conf_file_, SmbConf(domain_dir, options.require_strong_auth));
  PrepareAccounts(dc->conf_file_, dc->keytab_file_,
                  {kAdminAccount, dc->admin_password_file_, kServiceAccount, dc->service_password_file_});
  dc->Launch();
  return dc;
}

SambaDomainController::~SambaDomainController() {
  if (!attached_) process_.Stop();
  std::error_code ignored;
  if (!work_dir_.empty()) fs::remove_all(work_dir_, ignored);
}

std::string SambaDomainController::HostsLines() {
  return std::string(kAddress) + " " + kHostName + " " + kShortHostName + "\n";
}

LdapLogin SambaDomainController::ServiceLogin(const std::string& url) const {
  if (strong_auth_) return LdapLogin{url, "", "", keytab_file_, krb5_conf_};
  return LdapLogin{url, service_dn_, service_password_file_, "", ""};
}

void SambaDomainController::Launch() {
  const std::string out_file = work_dir_ + "/samba.out";
  // Ready once a bind as the fixture reads succeeds (with Kerberos, the KDC
  // answers too).
  const LdapLogin login = strong_auth_ ? ServiceLogin("ldap://" + gc_host_name_port())
                                       : LdapLogin{"ldap://" + gc_host_port(),
                                                   std::string(kAdminAccount) + "@" + kRealm, admin_password_file_};
  const ServerProcess::Wait wait = process_.Start(
      {kSamba, "--foreground", "--no-process-group", "--model=single", "-s", conf_file_}, out_file,
      [&login] {
        try {
          LdapSearch(login, "", "(objectClass=*)", {"dnsHostName"}, "base");
          return true;
        } catch (const std::runtime_error&) {
          return false;
        }
      },
      kStartTimeout, kPollInterval);
  if (wait == ServerProcess::Wait::kReady) return;
  std::string log;
  try {
    log = ReadFile(out_file) + ReadFile(work_dir_ + "/domain/samba.log");
  } catch (const std::runtime_error&) {
  }
  throw std::runtime_error(std::string(wait == ServerProcess::Wait::kExited ? "samba exited" : "samba did not answer") +
                           " on " + gc_host_port() + ": " + Tail(log, kLogTailBytes));
}

std::string SambaDomainController::Search(const std::string& base, const std::string& filter,
                                          const std::vector<std::string>& attrs, const std::string& scope) const {
  return LdapSearch(ServiceLogin("ldap://" + (strong_auth_ ? gc_host_name_port() : gc_host_port())), base, filter,
                    attrs, scope);
}

void SambaDomainController::Modify(const std::string& ldif) const {
  LdapModify({kLdapUrl, std::string(kAdminAccount) + "@" + kRealm, admin_password_file_}, ldif, work_dir_);
}

}  // namespace userpolicy::local_directories
