// A real OpenLDAP slapd for tests and benchmarks, started by the test
// program itself on 127.0.0.1 and stopped with it.
//
// SlapdServer::Start makes a fresh temporary directory, writes slapd.conf
// from testdata/slapd.conf.in, loads the LDIF data (testdata/sample.ldif by
// default) and starts /usr/sbin/slapd on a free loopback port.  The schema is
// testdata/schema/ad-subset.schema; memberOf is kept by the memberof overlay.
// Entries are loaded with slapadd before the server starts; every `member`
// value is then added through the running server (ldapmodify as the root DN)
// so that the overlay writes memberOf exactly as a live directory shows it.
//
// A read-only service account (service_dn(), password in
// service_password_file()) is added under the base DN; anonymous reads are
// allowed as well.  Passwords are random for each server, live only in files
// of mode 0600 in the temporary directory and never appear on a command line
// or in an exception text.
//
// Start one server per test program (see tests/slapd_server_test.cc for a
// GoogleTest Environment doing that): starting takes a fraction of a second
// for the sample and a few seconds for the generated 10,000-user directory.
//
// Threads: Start, Stop, Restart, Pause, Resume and the destructor must be
// called from one thread and never at the same time as any other member.
// The const members (accessors, Search, Answers) may be called from any
// thread, concurrently with each other.
//
// Linux only: child processes are started with fork/exec (never a shell) and
// die with the test program.

#ifndef USERPOLICY_TESTS_SUPPORT_SLAPD_SERVER_H_
#define USERPOLICY_TESTS_SUPPORT_SLAPD_SERVER_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

// RunProgram, ParseLdif and LdifEntry come with this header.
#include "tests/support/directory_tools.h"

namespace userpolicy::testing {

// Writes LDIF text for the server to load (e.g. a generated directory).
using LdifWriter = std::function<void(std::ostream&)>;

struct SlapdOptions {
  // LDIF content files, loaded in order; relative paths are taken from the
  // source tree.  Parents must come before children.  Clear it to load only
  // ldif_writers.
  std::vector<std::string> ldif_files = {"testdata/sample.ldif"};
  // Called at start; their output is loaded after ldif_files.
  std::vector<LdifWriter> ldif_writers;
  // Suffix of the database; the loaded data must hold this entry.
  std::string base_dn = "dc=example,dc=test";
  // Also serve ldaps:// with a throwaway CA (needs the openssl program).
  bool tls = false;
  // How long slapd may take to answer after it was started.
  std::chrono::milliseconds start_timeout = std::chrono::seconds(10);
};

class SlapdServer {
 public:
  // Starts a server as described at the top of this file.  Throws
  // std::runtime_error (with slapd's or slapadd's error output, never a
  // password) if anything fails; nothing is left running then and the
  // temporary directory is removed.
  static std::unique_ptr<SlapdServer> Start(const SlapdOptions& options = {});

  // Stops the server (by its PID only) and removes the temporary directory.
  ~SlapdServer();

  SlapdServer(const SlapdServer&) = delete;
  SlapdServer& operator=(const SlapdServer&) = delete;

  int port() const { return port_; }
  std::string url() const;        // "ldap://127.0.0.1:PORT"
  std::string host_port() const;  // "127.0.0.1:PORT"
  const std::string& base_dn() const { return base_dn_; }
  const std::string& root_dn() const { return root_dn_; }
  const std::string& service_dn() const { return service_dn_; }
  // File holding exactly the service account's password (no newline), mode
  // 0600, as `ldapsearch -y` and the library's password-file setting want.
  const std::string& service_password_file() const {
    return service_password_file_;
  }
  // The service account's password, for clients that take it as a value.
  std::string service_password() const;
  // PID of the running slapd, or -1 after Stop().
  pid_t pid() const { return process_.pid(); }
  bool running() const { return process_.running(); }
  bool paused() const { return process_.paused(); }
  // The temporary directory owned by this server.
  const std::string& work_dir() const { return work_dir_; }

  // TLS, REQUIRES: started with SlapdOptions::tls.
  bool tls() const { return tls_port_ > 0; }
  int tls_port() const { return tls_port_; }
  std::string ldaps_url() const;  // "ldaps://127.0.0.1:TLSPORT"
  // CA that signed the server certificate (valid for 127.0.0.1, localhost).
  const std::string& ca_file() const { return ca_file_; }
  // A second CA that signed nothing the server presents.
  const std::string& other_ca_file() const { return other_ca_file_; }

  // Fault control.  Stop, Pause and Resume as ServerProcess's.  Restart
  // starts slapd again on the same port(s) with the same data (stopping it
  // first if needed) and throws std::runtime_error if it does not answer,
  // e.g. because another process took the port meanwhile.
  void Stop();
  void Restart();
  void Pause();
  void Resume();

  // Whether slapd answers an anonymous LDAP bind on port() within `timeout`.
  bool Answers(std::chrono::milliseconds timeout) const;

  // Runs `ldapsearch -x -LLL -o ldif-wrap=no -H url() -D service_dn() -y
  // service_password_file() -b base -s scope filter attrs...` and returns its
  // output.  An absent base (noSuchObject) gives "".  Throws
  // std::runtime_error with ldapsearch's error output on other failures.
  // scope: "base", "one" or "sub".
  std::string Search(const std::string& base, const std::string& filter,
                     const std::vector<std::string>& attrs,
                     const std::string& scope = "sub") const;

  // Applies LDIF change records (changetype: add/modify/delete/modrdn) as
  // the root DN with ldapmodify.  Throws std::runtime_error with
  // ldapmodify's error output if any change fails.  REQUIRES: running().
  void Modify(const std::string& ldif);

 private:
  SlapdServer() = default;

  void Launch();  // starts slapd on port_/tls_port_ and waits until it answers
  // The end of slapd's output written after byte `from` of its log.
  std::string ReadLogTail(size_t from) const;

  std::string work_dir_;
  std::string conf_file_;
  std::string log_file_;
  std::string root_password_file_;
  std::string service_password_file_;
  std::string ca_file_;
  std::string other_ca_file_;
  std::string base_dn_;
  std::string root_dn_;
  std::string service_dn_;
  std::chrono::milliseconds start_timeout_{0};
  int port_ = 0;
  int tls_port_ = 0;
  bool want_tls_ = false;
  ServerProcess process_;
};

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_SLAPD_SERVER_H_
