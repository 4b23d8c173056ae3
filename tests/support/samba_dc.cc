#include "tests/support/samba_dc.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace userpolicy::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kLdapPort = 389;
constexpr int kGcPort = 3268;
constexpr milliseconds kPollInterval{100};
constexpr milliseconds kProbeTimeout = std::chrono::seconds(60);
constexpr mode_t kPrivateMode = 0600;
constexpr mode_t kPrivateDirMode = 0700;
constexpr size_t kPasswordRandomChars = 24;
constexpr size_t kLogTailBytes = 3000;
constexpr size_t kRidBytes = 4;
constexpr const char* kTestOuRdn = "OU=UserPolicy Test";
constexpr const char* kServiceRdn = "CN=svc-userpolicy";
constexpr const char* kServiceAccount = "svc-userpolicy";
constexpr const char* kAdminAccount = "Administrator";
constexpr const char* kProvisionCheckFile =
    "/usr/share/samba/setup/ad-schema/"
    "AD_DS_Attributes__Windows_Server_2012_R2.ldf";
// UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD.
constexpr const char* kServiceAccountControl = "66048";

// Sets passwords through Samba's own database library, reading each from a
// file, so that no password appears on a command line.  Arguments: smb.conf,
// then pairs of account name and password file.
constexpr const char* kSetPasswordsScript = R"py(import sys
import ldb
from samba.auth import system_session
from samba.param import LoadParm
from samba.samdb import SamDB
lp = LoadParm()
lp.load(sys.argv[1])
db = SamDB(url=lp.private_path("sam.ldb"), session_info=system_session(),
           lp=lp)
for i in range(2, len(sys.argv), 2):
    name = sys.argv[i]
    with open(sys.argv[i + 1], encoding="utf-8") as f:
        password = f.read()
    db.setpassword("(sAMAccountName=%s)" % ldb.binary_encode(name), password,
                   force_change_at_next_login=False, username=name)
)py";

// Meets the domain's complexity rules: upper and lower case, digits and a
// symbol.
std::string DomainPassword() {
  return "Up-" + RandomPassword(kPasswordRandomChars) + "-9x";
}

// The UTF-16LE, quoted form unicodePwd takes.
std::string UnicodePwd(const std::string& ascii_password) {
  std::string quoted = "\"" + ascii_password + "\"";
  std::string out;
  for (char c : quoted) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

std::string DomainDn(const std::string& realm) {
  std::string dn;
  std::istringstream labels(realm);
  std::string label;
  while (std::getline(labels, label, '.')) {
    for (char& c : label) c = static_cast<char>(std::tolower(c));
    dn += (dn.empty() ? "DC=" : ",DC=") + label;
  }
  return dn;
}

std::string SmbConf(const std::string& dir, const SambaOptions& options) {
  std::ostringstream conf;
  conf << "[global]\n"
       << "netbios name = UPDC\n"
       << "workgroup = " << options.domain << "\n"
       << "realm = " << options.realm << "\n"
       << "server role = active directory domain controller\n"
       << "server services = ldap\n"
       << "dcerpc endpoint servers =\n"
       << "interfaces = " << options.address << "\n"
       << "bind interfaces only = yes\n"
       << "ldap server require strong auth = no\n"
       << "tls enabled = no\n"
       << "dsdb:schema update allowed = yes\n"
       << "ldb:nosync = true\n"
       << "private dir = " << dir << "/private\n"
       << "lock directory = " << dir << "\n"
       << "state directory = " << dir << "/state\n"
       << "cache directory = " << dir << "/cache\n"
       << "binddns dir = " << dir << "/bind-dns\n"
       << "pid directory = " << dir << "/run\n"
       << "ncalrpc dir = " << dir << "/run/ncalrpc\n"
       << "ntp signd socket directory = " << dir << "/run/ntp_signd\n"
       << "winbindd socket directory = " << dir << "/run/winbindd\n"
       << "log file = " << dir << "/samba.log\n"
       << "logging = file\n"
       << "log level = 1\n"
       << "panic action =\n"
       << "idmap_ldb:use rfc2307 = yes\n";
  return conf.str();
}

std::string SchemaLdif(const std::string& base_dn) {
  const std::string schema = "CN=Schema,CN=Configuration," + base_dn;
  std::ostringstream ldif;
  ldif << "dn: CN=ms-RTC-SIP-PrimaryUserAddress," << schema << "\n"
       << "changetype: add\n"
       << "objectClass: top\nobjectClass: attributeSchema\n"
       << "cn: ms-RTC-SIP-PrimaryUserAddress\n"
       << "lDAPDisplayName: msRTCSIP-PrimaryUserAddress\n"
       << "attributeID: 1.2.840.113556.1.6.13.1.17\n"
       << "attributeSyntax: 2.5.5.12\noMSyntax: 64\n"
       << "isSingleValued: TRUE\n"
       << "isMemberOfPartialAttributeSet: TRUE\n"
       << "searchFlags: 1\nsystemOnly: FALSE\n\n"
       << "dn:\nchangetype: modify\nadd: schemaUpdateNow\n"
       << "schemaUpdateNow: 1\n-\n\n";
  for (const char* cls : {"User", "Contact"}) {
    ldif << "dn: CN=" << cls << "," << schema << "\n"
         << "changetype: modify\nadd: mayContain\n"
         << "mayContain: msRTCSIP-PrimaryUserAddress\n-\n\n";
  }
  ldif << "dn: CN=Proxy-Addresses," << schema << "\n"
       << "changetype: modify\nreplace: isMemberOfPartialAttributeSet\n"
       << "isMemberOfPartialAttributeSet: TRUE\n-\n\n"
       << "dn:\nchangetype: modify\nadd: schemaUpdateNow\n"
       << "schemaUpdateNow: 1\n-\n";
  return ldif.str();
}

struct Person {
  std::string cn;
  std::string account;  // empty for a contact
  std::string mail;
  std::string sip;
  std::vector<std::string> proxy;
};

std::string AddEntry(const std::string& ou, const std::string& domain,
                     const Person& p) {
  std::string out = LdifLine("dn", "CN=" + p.cn + "," + ou);
  out += "changetype: add\n";
  out += p.account.empty() ? "objectClass: contact\n" : "objectClass: user\n";
  if (!p.account.empty()) {
    out += LdifLine("sAMAccountName", p.account);
    out += LdifLine("userPrincipalName", p.account + "@" + domain);
  }
  if (!p.mail.empty()) out += LdifLine("mail", p.mail);
  if (!p.sip.empty()) out += LdifLine("msRTCSIP-PrimaryUserAddress", p.sip);
  for (const std::string& a : p.proxy) out += LdifLine("proxyAddresses", a);
  return out + "\n";
}

std::string AddGroup(const std::string& ou, const std::string& cn,
                     const std::string& account) {
  return LdifLine("dn", "CN=" + cn + "," + ou) +
         "changetype: add\nobjectClass: group\n" +
         LdifLine("sAMAccountName", account) + "\n";
}

std::string AddMembers(const std::string& ou, const std::string& group,
                       const std::vector<std::string>& member_cns) {
  std::string out = LdifLine("dn", "CN=" + group + "," + ou);
  out += "changetype: modify\nadd: member\n";
  for (const std::string& m : member_cns) {
    out += LdifLine("member", "CN=" + m + "," + ou);
  }
  return out + "-\n\n";
}

std::string BulkName(int i) {
  std::string digits = std::to_string(i);
  return "bulk" + std::string(digits.size() < 4 ? 4 - digits.size() : 0, '0') +
         digits;
}

std::string DirectoryLdif(const std::string& domain, const std::string& ou,
                          const std::string& service_password, int bulk) {
  std::string ldif = LdifLine("dn", ou) +
                     "changetype: add\nobjectClass: organizationalUnit\n\n";
  ldif += LdifLine("dn", std::string(kServiceRdn) + "," + ou) +
          "changetype: add\nobjectClass: user\n" +
          LdifLine("sAMAccountName", kServiceAccount) +
          "userAccountControl: " + kServiceAccountControl + "\n" +
          LdifLine("unicodePwd", UnicodePwd(service_password)) + "\n";
  const std::vector<Person> people = {
      {"Alice Archer",
       "alice",
       "alice@" + domain,
       "sip:alice@" + domain,
       {"SMTP:alice@" + domain, "smtp:a.archer@" + domain,
        "sip:alice@" + domain}},
      {"Bob/Builder (Ops*)", "bob", "bob@" + domain, "sip:bob@" + domain, {}},
      {"Zoë Ångström", "zoe", "", "sip:zoe@" + domain, {}},
      {"Carol Primary", "carol", "carol@" + domain, "sip:carol@" + domain, {}},
      {"Dave Cycle", "dave", "", "sip:dave@" + domain, {}},
      {"External Contact",
       "",
       "ext@partner.test",
       "sip:ext@partner.test",
       {"SMTP:ext@partner.test"}},
  };
  for (const Person& p : people) ldif += AddEntry(ou, domain, p);
  const std::vector<std::pair<std::string, std::string>> groups = {
      {"Sales", "sales"},
      {"Cycle A", "cycle-a"},
      {"Cycle B", "cycle-b"},
      {"Diamond Top", "diamond-top"},
      {"Diamond Left", "diamond-left"},
      {"Diamond Right", "diamond-right"},
      {"Diamond Bottom", "diamond-bottom"},
      {"Grüppe (R/D*)", "gruppe-rd"},
      {"Big Group", "big-group"}};
  for (const auto& [cn, account] : groups) ldif += AddGroup(ou, cn, account);
  ldif += AddMembers(ou, "Sales", {"Alice Archer", "Carol Primary"});
  ldif += AddMembers(ou, "Cycle A", {"Cycle B", "Dave Cycle"});
  ldif += AddMembers(ou, "Cycle B", {"Cycle A"});
  ldif += AddMembers(ou, "Diamond Top", {"Diamond Left", "Diamond Right"});
  ldif += AddMembers(ou, "Diamond Left", {"Diamond Bottom"});
  ldif += AddMembers(ou, "Diamond Right", {"Diamond Bottom"});
  ldif += AddMembers(ou, "Diamond Bottom", {"Alice Archer"});
  ldif +=
      AddMembers(ou, "Grüppe (R/D*)", {"Bob/Builder (Ops*)", "Zoë Ångström"});
  std::vector<std::string> bulk_names;
  for (int i = 0; i < bulk; ++i) {
    bulk_names.push_back(BulkName(i));
    ldif += AddEntry(ou, domain, {BulkName(i), BulkName(i), "", "", {}});
  }
  ldif += AddMembers(ou, "Big Group", bulk_names);
  return ldif;
}

// The relative identifier: the last sub-authority of a binary SID.
uint32_t RidOf(const std::string& sid) {
  if (sid.size() < kRidBytes) throw std::runtime_error("short objectSid");
  uint32_t rid = 0;
  for (size_t i = 0; i < kRidBytes; ++i) {
    rid |= static_cast<uint32_t>(
               static_cast<uint8_t>(sid[sid.size() - kRidBytes + i]))
           << (8 * i);
  }
  return rid;
}

// Opens and locks `path`; the descriptor holds the lock.
UniqueFd LockFile(const std::string& path, milliseconds timeout) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kPrivateMode));
  if (!fd.valid()) {
    throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  }
  const Clock::time_point deadline = Clock::now() + timeout;
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      throw std::runtime_error("cannot lock " + path + ": " + std::strerror(errno));
    }
    if (Clock::now() >= deadline) {
      throw std::runtime_error("another domain controller holds " + path);
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  return fd;
}

void CopyTree(const std::string& from, const std::string& to) {
  RunOrThrow({"cp", "-a", from + "/.", to}, "copying " + from);
}

}  // namespace

bool SambaDomainController::Available(const SambaOptions& options) {
  return ::access(options.samba_path.c_str(), X_OK) == 0 &&
         ::access(options.samba_tool_path.c_str(), X_OK) == 0 &&
         ::access(options.python_path.c_str(), X_OK) == 0 &&
         ::access(kProvisionCheckFile, R_OK) == 0 &&
         ::access("/usr/bin/ldapsearch", X_OK) == 0;
}

std::unique_ptr<SambaDomainController> SambaDomainController::Start(
    const SambaOptions& options) {
  std::unique_ptr<SambaDomainController> dc(new SambaDomainController());
  dc->lock_ = LockFile(options.lock_file, options.lock_timeout);
  dc->work_dir_ = MakeTempDir("userpolicy-samba-");
  dc->address_ = options.address;
  dc->realm_ = options.realm;
  dc->base_dn_ = DomainDn(options.realm);
  dc->test_ou_ = std::string(kTestOuRdn) + "," + dc->base_dn_;
  dc->service_dn_ = std::string(kServiceRdn) + "," + dc->test_ou_;
  dc->samba_path_ = options.samba_path;
  const std::string domain_dir = dc->work_dir_ + "/domain";
  dc->conf_file_ = domain_dir + "/etc/smb.conf";
  dc->log_file_ = domain_dir + "/samba.log";
  dc->admin_password_file_ = dc->work_dir_ + "/admin.pw";
  dc->service_password_file_ = dc->work_dir_ + "/service.pw";
  const std::string service_password = DomainPassword();
  WritePrivateFile(dc->admin_password_file_, DomainPassword());
  WritePrivateFile(dc->service_password_file_, service_password);

  const std::string cached =
      options.cache_dir.empty()
          ? std::string()
          : options.cache_dir + "/v" + kSambaDataVersion + "-" + options.realm +
                "-" + options.domain + "-" +
                std::to_string(options.large_group_members);
  std::error_code ignored;
  if (!cached.empty() && fs::exists(cached + "/etc/smb.conf", ignored)) {
    fs::create_directory(domain_dir);
    CopyTree(cached, domain_dir);
  } else {
    RunOrThrow({options.samba_tool_path, "domain", "provision",
                "--realm=" + options.realm, "--domain=" + options.domain,
                "--server-role=dc", "--dns-backend=NONE", "--use-rfc2307",
                "--host-name=updc", "--targetdir=" + domain_dir,
                "--option=interfaces=" + options.address,
                "--option=bind interfaces only=yes"},
               "samba-tool domain provision");
    WritePrivateFile(dc->conf_file_, SmbConf(domain_dir, options));
    RunOrThrow({options.python_path, "-c", kSetPasswordsScript, dc->conf_file_,
                kAdminAccount, dc->admin_password_file_},
               "setting the Administrator password");
    dc->Launch(options.start_timeout);
    dc->Modify(SchemaLdif(dc->base_dn_));
    std::string mail_domain = options.realm;
    for (char& c : mail_domain) c = static_cast<char>(std::tolower(c));
    dc->Modify(DirectoryLdif(mail_domain, dc->test_ou_, service_password,
                             options.large_group_members));
    // Carol's primary group becomes Sales, of which she is a member.
    std::vector<LdifEntry> sales =
        ParseLdif(dc->Search("CN=Sales," + dc->test_ou_, "(objectClass=group)",
                             {"objectSid"}, "base", false));
    if (sales.empty() || sales[0].Get("objectSid").empty()) {
      throw std::runtime_error("group Sales has no objectSid");
    }
    dc->Modify("dn: CN=Carol Primary," + dc->test_ou_ +
               "\nchangetype: modify\nreplace: primaryGroupID\n"
               "primaryGroupID: " +
               std::to_string(RidOf(sales[0].Get("objectSid")[0])) + "\n-\n");
    dc->Stop();
    if (!cached.empty()) {
      fs::create_directories(options.cache_dir);
      ::chmod(options.cache_dir.c_str(), kPrivateDirMode);
      const std::string staging = MakeTempDir(".build-", options.cache_dir);
      CopyTree(domain_dir, staging);
      // Another program may have filled the cache meanwhile: keep theirs.
      if (::rename(staging.c_str(), cached.c_str()) != 0) {
        fs::remove_all(staging, ignored);
      }
    }
  }
  // Fresh passwords and paths for this copy.
  WritePrivateFile(dc->conf_file_, SmbConf(domain_dir, options));
  RunOrThrow({options.python_path, "-c", kSetPasswordsScript, dc->conf_file_,
              kAdminAccount, dc->admin_password_file_, kServiceAccount,
              dc->service_password_file_},
             "setting passwords");
  dc->Launch(options.start_timeout);
  return dc;
}

SambaDomainController::~SambaDomainController() {
  Stop();
  std::error_code ignored;
  if (!work_dir_.empty()) fs::remove_all(work_dir_, ignored);
}

std::string SambaDomainController::gc_host_port() const {
  return address_ + ":" + std::to_string(kGcPort);
}

std::string SambaDomainController::gc_url() const {
  return "ldap://" + gc_host_port();
}

std::string SambaDomainController::ldap_url() const {
  return "ldap://" + address_ + ":" + std::to_string(kLdapPort);
}

LdapLogin SambaDomainController::AdminLogin(const std::string& url) const {
  return {url, std::string(kAdminAccount) + "@" + realm_, admin_password_file_};
}

void SambaDomainController::Launch(milliseconds timeout) {
  const std::string out_file = work_dir_ + "/samba.out";
  process_.Start({samba_path_, "--foreground", "--no-process-group",
                  "--model=single", "-s", conf_file_},
                 out_file);
  const ServerProcess::Wait wait = process_.WaitUntilReady(
      [this] {
        return RunLdapSearch(AdminLogin(gc_url()), "", "(objectClass=*)",
                             {"dnsHostName"}, "base", kProbeTimeout)
                   .exit_code == 0;
      },
      timeout, kPollInterval);
  if (wait == ServerProcess::Wait::kReady) return;
  std::string log;
  try {
    log = ReadFile(out_file) + ReadFile(log_file_);
  } catch (const std::exception&) {
  }
  throw std::runtime_error(
      std::string(wait == ServerProcess::Wait::kExited ? "samba exited"
                                                       : "samba did not answer") +
      " on " + gc_url() + ": " + Tail(log, kLogTailBytes));
}

void SambaDomainController::Stop() { process_.Stop(); }

std::string SambaDomainController::Search(const std::string& base,
                                          const std::string& filter,
                                          const std::vector<std::string>& attrs,
                                          const std::string& scope,
                                          bool global_catalog) const {
  return LdapSearch(
      {global_catalog ? gc_url() : ldap_url(), service_dn_, service_password_file_},
      base, filter, attrs, scope);
}

void SambaDomainController::Modify(const std::string& ldif) const {
  LdapModify(AdminLogin(ldap_url()), ldif, work_dir_);
}

}  // namespace userpolicy::testing
