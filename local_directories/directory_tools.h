// What the directory-server fixtures (slapd_server.h, samba_dc.h) share:
// programs and server processes, private files, ldapsearch and ldapmodify,
// LDIF, and the description of a server started outside the program.
// Children are started with fork/exec (never a shell), read /dev/null and
// get SIGKILL when the test program dies.  Secrets go in files of mode 0600,
// never on a command line or in the environment.  Errors are
// std::runtime_error.  The free functions are thread-safe.  Linux only.

#ifndef USERPOLICY_LOCAL_DIRECTORIES_DIRECTORY_TOOLS_H_
#define USERPOLICY_LOCAL_DIRECTORIES_DIRECTORY_TOOLS_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace userpolicy::local_directories {

struct ProgramResult {
  int exit_code = -1;      // 128 + signal number if killed
  bool timed_out = false;  // killed after the timeout
  std::string out;
  std::string err;
};

// Runs argv (argv[0] a path or a name in PATH) and kills it once `timeout`
// has passed.  Throws only if it cannot be started.
ProgramResult RunProgram(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Throws "WHAT failed (exit N): <end of its output>" unless the program exits
// with 0; output lines that mention a password are left out.
void RunOrThrow(const std::vector<std::string>& argv, const std::string& what,
                std::chrono::milliseconds timeout = std::chrono::minutes(5));

// A server in the foreground, its output appended to a log file, signalled
// by its PID only.  The destructor stops it.  Belongs to one thread.
class ServerProcess {
 public:
  enum class Wait { kReady, kExited, kTimedOut };

  ServerProcess() = default;
  ~ServerProcess() { Stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts argv, then calls `ready` every `interval` until it returns true,
  // the process exits (see exit_code()) or `timeout` passes (the process is
  // stopped then).  REQUIRES: !running().
  Wait Start(const std::vector<std::string>& argv, const std::string& log_file,
             const std::function<bool()>& ready, std::chrono::milliseconds timeout,
             std::chrono::milliseconds interval);
  // SIGTERM, SIGKILL after 10 s, and waits.  No-op when not running.
  void Stop();
  // SIGSTOP / SIGCONT, returning once the state changed; a paused server's
  // port accepts connections that are never answered.  Throw when it is not
  // running or exited meanwhile.
  void Pause();
  void Resume();

  pid_t pid() const { return pid_; }  // -1 when not running
  bool running() const { return pid_ > 0; }
  bool paused() const { return paused_; }
  int exit_code() const { return exit_code_; }  // of the last run that ended by itself

 private:
  pid_t pid_ = -1;
  bool paused_ = false;
  int exit_code_ = -1;
};

// Owns one file descriptor.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~UniqueFd() { Reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Reset();

 private:
  int fd_;
};

// A new directory (mode 0700) named `prefix` plus six random characters in
// `parent`, else in $TMPDIR, else in /tmp.
std::string MakeTempDir(const std::string& prefix, const std::string& parent = "");
// A TCP port on 127.0.0.1 that was free a moment ago (bound, read, closed):
// for a server about to listen on it, or as a port nothing answers on.
int PickFreeLoopbackPort();
std::string ReadFile(const std::string& path);
// Creates or replaces `path` with mode 0600.
void WritePrivateFile(const std::string& path, std::string_view content);
std::string RandomPassword(size_t length);  // letters and digits
std::string Tail(const std::string& text, size_t bytes);

// A simple bind as `bind_dn` with the password in `password_file`; or,
// when `keytab` is set, a Kerberos (SASL GSSAPI) bind as the keytab's first
// principal, with `krb5_conf` as the Kerberos configuration and the service
// named from the URL's host as written (the tool's KRB5_* variables point at
// the keytab, the file and a memory credential cache of its own).
struct LdapLogin {
  std::string url;
  std::string bind_dn;
  std::string password_file;
  std::string keytab = {};
  std::string krb5_conf = {};
};

// `ldapsearch -x -LLL -o ldif-wrap=no` of `filter` under `base` ("base",
// "one" or "sub" `scope`): its LDIF, or "" when `base` does not exist.
// Throws with ldapsearch's error output on other failures.
std::string LdapSearch(const LdapLogin& login, const std::string& base, const std::string& filter,
                       const std::vector<std::string>& attrs, const std::string& scope);

// Applies LDIF change records with ldapmodify through a private file in
// `scratch_dir`; throws as RunOrThrow if any change fails.
void LdapModify(const LdapLogin& login, const std::string& ldif, const std::string& scratch_dir);

// A directory server that something outside this program started and that a
// fixture attaches to instead of starting one (see slapd_server.h and
// samba_dc.h).
struct ExternalServer {
  std::string host;  // an IPv4 address in 127.0.0.0/8
  int port = 0;      // plain LDAP
  std::string base_dn;
  std::string service_dn;
  std::string service_password_file;

  std::string host_port() const { return host + ":" + std::to_string(port); }
};

// The server the environment describes under the variable `name`:
//   NAME                "HOST:PORT", HOST an IPv4 loopback address
//   NAME_PASSWORD_FILE  a file holding exactly the service account's
//                       password, which neither group nor others may read
//   NAME_BASE_DN        optional; `default_base_dn` when unset or empty
//   NAME_SERVICE_DN     optional; `service_rdn` + "," + the base DN
// No variable holds a secret, so the environment may be logged.  Returns
// nullopt when NAME is unset or empty.  Throws std::runtime_error naming the
// variable at fault when the description is incomplete or unsafe, or when
// the service account cannot read the base DN's entry on that server.
std::optional<ExternalServer> ExternalServerFromEnvironment(const std::string& name,
                                                            const std::string& default_base_dn,
                                                            const std::string& service_rdn);

// One LDIF entry, its DN and values decoded.
struct LdifEntry {
  struct Value {
    std::string attribute;  // as printed, e.g. "member;range=0-1499"
    std::string value;
  };
  std::string dn;
  std::vector<Value> values;

  // Values of `attribute` (ASCII case-insensitive, exact description).
  std::vector<std::string> Get(std::string_view attribute) const;
};

// Parses LDIF content records: comments, folded lines, a "version:" line and
// "::" base64 values, but no "<" URL values.  Throws on text that is not LDIF.
std::vector<LdifEntry> ParseLdif(std::string_view ldif);

// "name: value\n", or "name:: BASE64\n" for a value LDIF cannot hold as is.
std::string LdifLine(std::string_view name, std::string_view value);

}  // namespace userpolicy::local_directories

#endif  // USERPOLICY_LOCAL_DIRECTORIES_DIRECTORY_TOOLS_H_
