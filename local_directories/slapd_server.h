// A real OpenLDAP slapd on a free 127.0.0.1 port for tests, benchmarks and
// the demo, with the base DN dc=example,dc=test.
//
// Start writes slapd.conf from testdata/slapd.conf.in into a fresh temporary
// directory, loads the entries with slapadd and then adds every `member`
// value through the running server, so that the memberof overlay keeps
// memberOf as Active Directory shows it.  A read-only service account is
// added under the base DN; anonymous reads are allowed too.  Passwords are
// random, live only in files of mode 0600 and never reach a command line or
// an exception text.
//
// Start one server per test program.  Start, Stop, Restart, Pause, Resume
// and the destructor belong to one thread; the const members may be called
// from any thread.
//
// A server started outside the program.  A program that cannot start slapd
// (a Windows test program under wine cannot fork one) runs against a server
// that something else started, e.g. this fixture in a native program, as the
// environment describes it (see ExternalServerFromEnvironment):
//   USERPOLICY_TEST_SLAPD                HOST:PORT of its plain LDAP, HOST in
//                                        127.0.0.0/8
//   USERPOLICY_TEST_SLAPD_PASSWORD_FILE  the file holding the service
//                                        account's password, mode 0600
//   USERPOLICY_TEST_SLAPD_BASE_DN        default dc=example,dc=test
//   USERPOLICY_TEST_SLAPD_SERVICE_DN     default cn=svc-userpolicy,<base DN>
// A started server's host_port(), base_dn(), service_dn() and
// service_password_file() are those values.  No password is ever in the
// environment.  While USERPOLICY_TEST_SLAPD is set and not empty, Start
// starts nothing: it checks that the service account can read the base entry
// there and returns an attached() server, which must hold the sample
// directory; Start refuses options that ask for other data or for TLS.  What
// it did not start it never stops: on an attached server Stop, Restart,
// Pause and Resume throw std::logic_error, and the destructor only removes
// work_dir(), which then holds no server files.  Search runs ldapsearch as
// ever.

#ifndef USERPOLICY_LOCAL_DIRECTORIES_SLAPD_SERVER_H_
#define USERPOLICY_LOCAL_DIRECTORIES_SLAPD_SERVER_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

// RunProgram, ParseLdif and LdifEntry come with this header.
#include "local_directories/directory_tools.h"

namespace userpolicy::local_directories {

struct SlapdOptions {
  // LDIF files (relative ones from the source tree), then what the writers
  // write, are loaded in order: parents before children.
  std::vector<std::string> ldif_files = {"testdata/sample.ldif"};
  std::vector<std::function<void(std::ostream&)>> ldif_writers;
  // Also serve ldaps:// with a throwaway CA (needs openssl).
  bool tls = false;
  // Entries loaded after the others without schema checks: records a
  // damaged directory could hold (a user without objectGUID, say). Each
  // must carry a structuralObjectClass line, which slapd otherwise derives;
  // their member values are not loaded.
  std::vector<std::function<void(std::ostream&)>> unchecked_ldif_writers;
  // Also write every operation slapd serves (connections, binds, searches
  // with their base, scope and filter as slapd parsed it: its "stats"
  // level) to the log that operation_log() returns.
  bool log_operations = false;
  // How long slapd may take to answer once started.
  std::chrono::milliseconds start_timeout = std::chrono::seconds(10);
};

// The environment variable that describes a server started outside the
// program; its companions append _PASSWORD_FILE, _BASE_DN and _SERVICE_DN.
inline constexpr char kExternalSlapdVariable[] = "USERPOLICY_TEST_SLAPD";

class SlapdServer {
 public:
  // Throws std::runtime_error with slapd's or slapadd's error output if
  // anything fails, leaving nothing running and no directory behind.  Attaches
  // instead when kExternalSlapdVariable is set (see above).
  static std::unique_ptr<SlapdServer> Start(const SlapdOptions& options = {});
  // Stops slapd unless attached, and removes the temporary directory.
  ~SlapdServer();

  SlapdServer(const SlapdServer&) = delete;
  SlapdServer& operator=(const SlapdServer&) = delete;

  // Whether Start attached to a server started outside the program.
  bool attached() const { return attached_; }
  int port() const { return port_; }
  std::string host_port() const { return host_ + ":" + std::to_string(port_); }
  std::string url() const { return "ldap://" + host_port(); }
  const std::string& base_dn() const { return base_dn_; }
  const std::string& service_dn() const { return service_dn_; }
  // Holds exactly the service account's password, without a newline.
  const std::string& service_password_file() const { return service_password_file_; }
  std::string service_password() const { return ReadFile(service_password_file_); }
  pid_t pid() const { return process_.pid(); }  // -1 when stopped or attached
  bool running() const { return attached_ || process_.running(); }  // attached: taken to run
  bool paused() const { return process_.paused(); }
  const std::string& work_dir() const { return work_dir_; }

  // With SlapdOptions::tls: the ldaps port, the CA of the server's
  // certificate (for 127.0.0.1 and localhost), a CA that signed nothing, and
  // the server's certificate itself (PEM).
  int tls_port() const { return tls_port_; }
  const std::string& ca_file() const { return ca_file_; }
  const std::string& other_ca_file() const { return other_ca_file_; }
  const std::string& certificate_file() const { return certificate_file_; }

  // Fault control as ServerProcess's.  Restart starts slapd again on the same
  // ports with the same data; it throws if slapd does not answer, e.g.
  // because another process took the port.  All four throw std::logic_error
  // on an attached server.
  void Stop();
  void Restart();
  void Pause();
  void Resume();

  // What slapd wrote to its log so far: errors, and with
  // SlapdOptions::log_operations every operation ("conn=1000 op=1 SRCH
  // base=... filter=..."). Throws std::logic_error on an attached server.
  std::string operation_log() const;

  // LdapSearch (directory_tools.h) bound as the service account.
  std::string Search(const std::string& base, const std::string& filter, const std::vector<std::string>& attrs,
                     const std::string& scope = "sub") const {
    return LdapSearch({url(), service_dn_, service_password_file_}, base, filter, attrs, scope);
  }

 private:
  SlapdServer() = default;
  static std::unique_ptr<SlapdServer> Attach(const ExternalServer& external, const SlapdOptions& options);
  void Launch();  // starts slapd on port_ (and tls_port_) and waits until it answers
  void RequireOwnProcess(const char* operation) const;  // throws std::logic_error when attached

  std::string work_dir_;
  std::string conf_file_;
  std::string log_file_;
  std::string service_password_file_;
  std::string ca_file_;
  std::string other_ca_file_;
  std::string certificate_file_;
  std::string base_dn_;
  std::string service_dn_;
  std::chrono::milliseconds start_timeout_{0};
  std::string host_ = "127.0.0.1";
  int port_ = 0;
  int tls_port_ = 0;
  bool want_tls_ = false;
  const char* debug_level_ = nullptr;
  bool attached_ = false;
  ServerProcess process_;
};

}  // namespace userpolicy::local_directories

#endif  // USERPOLICY_LOCAL_DIRECTORIES_SLAPD_SERVER_H_
