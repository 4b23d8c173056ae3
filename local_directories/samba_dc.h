// A real Active Directory domain controller (Samba) for tests that prove the
// library against the directory it targets: domain USERPOLICY.TEST with LDAP
// on 127.0.0.1:389, the Global Catalog on 127.0.0.1:3268 and the realm's KDC
// on 127.0.0.1:88; simple binds over plain LDAP allowed unless the options
// require strong authentication; no DNS, SMB or RPC.
//
// Start provisions the domain, adds msRTCSIP-PrimaryUserAddress to the schema
// and proxyAddresses to the partial attribute set, and loads this directory
// into test_ou():
//   users  alice    "Alice Archer": mail, proxyAddresses, SIP address;
//                   member of "Diamond Bottom" and "Sales"
//          bob      "Bob/Builder (Ops*)": SIP address, mail
//          zoe      "Zoë Ångström": SIP address, no mail
//          carol    primary group "Sales" (not Domain Users)
//          dave     member of "Cycle A"
//          bulk0000..bulk1599 plain users
//   contact         "External Contact": mail, proxyAddresses, SIP address
//   groups "Sales"; "Cycle A" <-> "Cycle B" (each a member of the other);
//          "Diamond Top" > "Diamond Left", "Diamond Right" > "Diamond Bottom";
//          "Grüppe (R/D*)" holding bob and zoe; "Big Group" holding every
//          bulk user (more than one member;range page).
// That takes about 40 s, so the loaded domain is cached in
// /tmp/userpolicy-samba-cache and copied for each start (a few seconds).
//
// The service account is a plain domain user.  Passwords (its and
// Administrator's) are random for each start, are set through Samba's
// database library and live only in files of mode 0600.
//
// Kerberos.  The controller is updc.userpolicy.test; its account holds the
// service principal names ldap/updc.userpolicy.test and
// GC/updc.userpolicy.test/userpolicy.test.  Each start exports the service
// account's keys (new with its password) to keytab_file(), mode 0600, and
// writes krb5_conf() for the host's KRB5_CONFIG: the realm, kdc = 127.0.0.1,
// no DNS lookups, no canonicalisation or reverse lookups of host names, and
// the options' ticket lifetime.  The machine's resolver does not know the
// controller's name: a program that binds with Kerberos runs under
// nss_wrapper with HostsLines() (nss_wrapper.h), nothing under /etc
// changes.  All of it lives in work_dir().  With require_strong_auth the
// controller refuses simple binds and binds without signing or sealing
// ("ldap server require strong auth = yes"); the fixture itself then reads
// with Kerberos, so Start needs the host name to resolve.
//
// Samba's ports are fixed, so one controller runs on a machine at a time:
// Start waits for a lock that every running controller holds.  Start one
// per test program; Start and the destructor belong to one thread, the const
// members may be called from any thread.
//
// A controller started outside the program, as the environment describes it
// (see ExternalServerFromEnvironment and, for why, slapd_server.h):
//   USERPOLICY_TEST_SAMBA                HOST:PORT of its Global Catalog,
//                                        HOST in 127.0.0.0/8
//   USERPOLICY_TEST_SAMBA_PASSWORD_FILE  the file holding the service
//                                        account's password, mode 0600
//   USERPOLICY_TEST_SAMBA_BASE_DN        default DC=userpolicy,DC=test
//   USERPOLICY_TEST_SAMBA_SERVICE_DN     default CN=svc-userpolicy,<test OU>
// A started controller's gc_host_port(), base_dn(), service_dn() and
// service_password_file() are those values (no Kerberos: keytab_file() and
// krb5_conf() are empty); the test OU is
// OU=UserPolicy Test under the base DN.  While USERPOLICY_TEST_SAMBA is set
// and not empty, Start neither takes the lock (the program that started the
// controller holds it) nor provisions anything: it checks that the service
// account can read the base entry there and returns an attached()
// controller, which must hold the test directory above.  The destructor of
// an attached controller stops nothing and only removes work_dir(), which
// then holds no server files.  The Administrator account is used only while
// provisioning, so the description does not name it.

#ifndef USERPOLICY_LOCAL_DIRECTORIES_SAMBA_DC_H_
#define USERPOLICY_LOCAL_DIRECTORIES_SAMBA_DC_H_

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "local_directories/directory_tools.h"

namespace userpolicy::local_directories {

// The environment variable that describes a controller started outside the
// program; its companions append _PASSWORD_FILE, _BASE_DN and _SERVICE_DN.
inline constexpr char kExternalSambaVariable[] = "USERPOLICY_TEST_SAMBA";

struct SambaOptions {
  // How long Start waits for another program's controller to stop.
  std::chrono::milliseconds lock_timeout = std::chrono::minutes(15);
  // Refuse simple binds, and Kerberos binds without signing or sealing.
  bool require_strong_auth = false;
  // The lifetime of the tickets krb5_conf() asks for; zero: the KDC's
  // default (ten hours).  This KDC refuses service tickets from
  // ticket-granting tickets of about a minute or less: take minutes.
  std::chrono::seconds ticket_lifetime{0};
};

class SambaDomainController {
 public:
  // Whether the packages Start needs are installed (samba, samba-ad-dc,
  // samba-ad-provision, ldap-utils; only ldap-utils to attach).
  static bool Available();

  // Throws std::runtime_error with samba's or the tool's error output if
  // anything fails, leaving nothing running and no directory behind.
  // Attaches instead when kExternalSambaVariable is set (see above).
  static std::unique_ptr<SambaDomainController> Start(const SambaOptions& options = {});
  // Stops samba unless attached, and removes the temporary directory.
  ~SambaDomainController();

  // The hosts-file lines that name the controller (for RunUnderNssWrapper).
  static std::string HostsLines();

  SambaDomainController(const SambaDomainController&) = delete;
  SambaDomainController& operator=(const SambaDomainController&) = delete;

  // Whether Start attached to a controller started outside the program.
  bool attached() const { return attached_; }
  const std::string& gc_host_port() const { return gc_host_port_; }  // "127.0.0.1:3268"
  const std::string& base_dn() const { return base_dn_; }  // DC=userpolicy,DC=test
  const std::string& test_ou() const { return test_ou_; }
  const std::string& service_dn() const { return service_dn_; }
  // Holds exactly the service account's password, without a newline.
  const std::string& service_password_file() const { return service_password_file_; }
  pid_t pid() const { return process_.pid(); }  // -1 when attached
  const std::string& work_dir() const { return work_dir_; }

  // Kerberos (see above); empty when attached.
  const std::string& host_name() const { return host_name_; }  // updc.userpolicy.test
  std::string gc_host_name_port() const { return host_name_ + ":" + gc_port_; }
  const std::string& service_principal() const { return service_principal_; }  // svc-userpolicy@USERPOLICY.TEST
  const std::string& keytab_file() const { return keytab_file_; }
  const std::string& krb5_conf() const { return krb5_conf_; }

  // LdapSearch (directory_tools.h) on the Global Catalog as the service
  // account.
  std::string Search(const std::string& base, const std::string& filter, const std::vector<std::string>& attrs,
                     const std::string& scope = "sub") const;

 private:
  SambaDomainController() = default;

  void Launch();
  void Modify(const std::string& ldif) const;  // as Administrator
  // How the fixture reads: as the service account, with Kerberos when
  // simple binds are refused.
  LdapLogin ServiceLogin(const std::string& url) const;

  std::string work_dir_;
  std::string conf_file_;
  std::string admin_password_file_;
  std::string service_password_file_;
  std::string base_dn_;
  std::string test_ou_;
  std::string service_dn_;
  std::string gc_host_port_;
  std::string gc_port_;
  std::string host_name_;
  std::string service_principal_;
  std::string keytab_file_;
  std::string krb5_conf_;
  bool strong_auth_ = false;
  bool attached_ = false;
  UniqueFd lock_;  // holds the lock file locked
  ServerProcess process_;
};

}  // namespace userpolicy::local_directories

#endif  // USERPOLICY_LOCAL_DIRECTORIES_SAMBA_DC_H_
