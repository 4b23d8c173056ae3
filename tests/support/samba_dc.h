// A real Active Directory domain controller (Samba AD DC) for tests that
// must prove the library against the directory it targets, started by the
// test program on a loopback address and stopped with it.
//
// SambaDomainController::Start provisions a throwaway domain with
// samba-tool, extends its schema with msRTCSIP-PrimaryUserAddress (and puts
// proxyAddresses into the partial attribute set, as mail servers do), loads
// the test directory described below through the running server, and serves
// LDAP on port 389 and the Global Catalog on port 3268 of options.address
// with simple binds over plain LDAP allowed.  Only the LDAP service runs: no
// DNS, Kerberos, SMB or RPC.
//
// Provisioning and loading take about 40 seconds, so the loaded domain is kept
// in a cache directory (keyed by kSambaDataVersion and the options that shape
// the data) and copied for each start, which then takes a few seconds.
//
// The test directory lives in OU=UserPolicy Test under the domain:
//   users  alice    "Alice Archer": mail, proxyAddresses, SIP address;
//                   member of "Diamond Bottom" and "Sales"
//          bob      "Bob/Builder (Ops*)": SIP address, mail
//          zoe      "Zoë Ångström": SIP address, no mail
//          carol    primary group "Sales" (not Domain Users)
//          dave     member of "Cycle A"
//          bulkNNNN large_group_members plain users
//   contact         "External Contact": mail, proxyAddresses, SIP address
//   groups "Sales"; "Cycle A" <-> "Cycle B" (each a member of the other);
//          "Diamond Top" > "Diamond Left", "Diamond Right" > "Diamond Bottom";
//          "Grüppe (R/D*)" holding bob and zoe; "Big Group" holding every
//          bulk user.
// The service account (service_dn()) is a plain domain user with a random
// password that does not expire.
//
// Passwords (Administrator's and the service account's) are random for each
// start, are set before the server starts through Samba's own database
// library, live only in files of mode 0600 in the temporary directory and
// never appear on a command line, in a log or in an exception text.
//
// Samba's listening ports are fixed and it only listens on addresses that an
// interface holds (127.0.0.1 on a plain machine), so only one controller can
// run at a time on a machine: Start waits (up to options.lock_timeout) for a
// lock file that every running controller holds, so test programs run in
// parallel take turns.  Start one per test program.
//
// Threads: Start, Stop and the destructor must be called from one thread and
// never at the same time as any other member.  The const members may be
// called from any thread, concurrently with each other.
//
// Linux only: child processes are started with fork/exec (never a shell) and
// die with the test program.

#ifndef USERPOLICY_TESTS_SUPPORT_SAMBA_DC_H_
#define USERPOLICY_TESTS_SUPPORT_SAMBA_DC_H_

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/directory_tools.h"

namespace userpolicy::testing {

// Changes whenever the loaded test directory changes: cached domains of
// another version are never used.
inline constexpr const char* kSambaDataVersion = "1";

struct SambaOptions {
  std::string realm = "USERPOLICY.TEST";  // DNS name, upper case
  std::string domain = "UPTEST";          // NetBIOS domain name
  // Loopback address the server listens on; an interface must hold it.
  std::string address = "127.0.0.1";
  // Members of "Big Group"; more than 1,500 makes clients that ask for
  // member;range=... need more than one page.
  int large_group_members = 1600;
  // Where loaded domains are cached; empty provisions and loads on every
  // start.
  std::string cache_dir = "/tmp/userpolicy-samba-cache";
  // Held while a controller runs; see the top of this file.
  std::string lock_file = "/tmp/userpolicy-samba.lock";
  std::chrono::milliseconds lock_timeout = std::chrono::minutes(15);
  // How long samba may take to answer after it was started.
  std::chrono::milliseconds start_timeout = std::chrono::seconds(60);
  std::string samba_path = "/usr/sbin/samba";
  std::string samba_tool_path = "/usr/bin/samba-tool";
  std::string python_path = "/usr/bin/python3";
};

class SambaDomainController {
 public:
  // Whether the programs and provisioning data Start needs are installed
  // (packages samba, samba-ad-dc, samba-ad-provision, ldap-utils).
  static bool Available(const SambaOptions& options = {});

  // Starts a controller as described at the top of this file.  Throws
  // std::runtime_error (with samba's or the tool's error output, never a
  // password) if anything fails; nothing is left running then and the
  // temporary directory is removed.
  static std::unique_ptr<SambaDomainController> Start(
      const SambaOptions& options = {});

  // Stops samba (by its PID only) and removes the temporary directory.
  ~SambaDomainController();

  SambaDomainController(const SambaDomainController&) = delete;
  SambaDomainController& operator=(const SambaDomainController&) = delete;

  std::string gc_host_port() const;  // "ADDRESS:3268"
  std::string gc_url() const;        // "ldap://ADDRESS:3268"
  std::string ldap_url() const;      // "ldap://ADDRESS:389"
  const std::string& realm() const { return realm_; }
  const std::string& base_dn() const { return base_dn_; }  // DC=...
  // The OU holding the test directory.
  const std::string& test_ou() const { return test_ou_; }
  const std::string& service_dn() const { return service_dn_; }
  // File holding exactly the service account's password (no newline), mode
  // 0600, as `ldapsearch -y` and the library's password-file setting want.
  const std::string& service_password_file() const {
    return service_password_file_;
  }
  // PID of the running samba, or -1 after Stop().
  pid_t pid() const { return process_.pid(); }
  bool running() const { return process_.running(); }
  const std::string& work_dir() const { return work_dir_; }

  // As ServerProcess::Stop.
  void Stop();

  // Runs `ldapsearch -x -LLL -o ldif-wrap=no` bound as the service account
  // against the Global Catalog (or the domain's LDAP port when
  // `global_catalog` is false) and returns its output.  An absent base gives
  // "".  Throws std::runtime_error with ldapsearch's error output on other
  // failures.  scope: "base", "one" or "sub".
  std::string Search(const std::string& base, const std::string& filter,
                     const std::vector<std::string>& attrs,
                     const std::string& scope = "sub",
                     bool global_catalog = true) const;

  // Applies LDIF change records as Administrator with ldapmodify on the
  // domain's LDAP port.  Throws std::runtime_error with ldapmodify's error
  // output if any change fails.  REQUIRES: running().
  void Modify(const std::string& ldif) const;

 private:
  SambaDomainController() = default;

  void Launch(std::chrono::milliseconds timeout);
  LdapLogin AdminLogin(const std::string& url) const;

  std::string work_dir_;
  std::string conf_file_;
  std::string log_file_;
  std::string admin_password_file_;
  std::string service_password_file_;
  std::string address_;
  std::string realm_;
  std::string base_dn_;
  std::string test_ou_;
  std::string service_dn_;
  std::string samba_path_;
  UniqueFd lock_;  // holds options.lock_file locked
  ServerProcess process_;
};

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_SAMBA_DC_H_
