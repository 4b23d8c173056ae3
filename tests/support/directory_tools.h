// What the directory-server fixtures (slapd_server.h, samba_dc.h) share:
// helper programs, server processes stopped by their PID, private temporary
// files, ldapsearch and ldapmodify, and reading and writing LDIF.
//
// Child processes are started with fork/exec (never a shell) with standard
// input /dev/null, and get SIGKILL when the test program dies.  Secrets are
// passed in files of mode 0600, never on a command line.
//
// Threads: the free functions are thread-safe.  A ServerProcess belongs to
// one thread.  Linux only.

#ifndef USERPOLICY_TESTS_SUPPORT_DIRECTORY_TOOLS_H_
#define USERPOLICY_TESTS_SUPPORT_DIRECTORY_TOOLS_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace userpolicy::testing {

// ---------------------------------------------------------------------------
// Programs
// ---------------------------------------------------------------------------

// What a helper program did.
struct ProgramResult {
  int exit_code = -1;      // exit status; 128 + signal number if killed
  bool timed_out = false;  // killed because it ran past the timeout
  std::string out;         // everything it wrote to stdout
  std::string err;         // everything it wrote to stderr
};

// Runs a program: argv[0] is a path or a name looked up in PATH.
// `env_overrides` holds "NAME=VALUE" entries that replace or extend the
// inherited environment.  The program is killed (SIGKILL) once `timeout` has
// passed.  Throws std::runtime_error only if the program cannot be started.
ProgramResult RunProgram(
    const std::vector<std::string>& argv,
    const std::vector<std::string>& env_overrides = {},
    std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Runs the program and throws std::runtime_error("WHAT failed (exit N): ...")
// with the end of its output unless it exits with 0.  Output lines that
// mention a password are left out of the text.
void RunOrThrow(const std::vector<std::string>& argv, const std::string& what,
                std::chrono::milliseconds timeout = std::chrono::minutes(5));

// A server program running in the foreground, its stdout and stderr
// appended to a log file.  Signalled by its PID only; the destructor stops it.
class ServerProcess {
 public:
  enum class Wait { kReady, kExited, kTimedOut };

  ServerProcess() = default;
  ~ServerProcess() { Stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts `argv` (argv[0] as for RunProgram).  Throws std::runtime_error if
  // it cannot be started.  REQUIRES: !running().
  void Start(const std::vector<std::string>& argv, const std::string& log_file);

  // Calls `ready` every `interval` until it returns true (kReady), the
  // process exits (kExited: exit_code() says how) or `timeout` has passed
  // (kTimedOut: the process is stopped then).
  Wait WaitUntilReady(const std::function<bool()>& ready,
                      std::chrono::milliseconds timeout,
                      std::chrono::milliseconds interval);

  // SIGTERM, then SIGKILL if the process has not exited within 10 s; waits
  // for it.  No-op when not running; never throws.
  void Stop();

  // SIGSTOP / SIGCONT, returning once the process changed state.  A paused
  // process keeps its sockets: connections are accepted by the kernel but
  // never answered.  Throws std::runtime_error when it is not running or
  // exited meanwhile.
  void Pause();
  void Resume();

  pid_t pid() const { return pid_; }  // -1 when not running
  bool running() const { return pid_ > 0; }
  bool paused() const { return paused_; }
  // How the last run that ended by itself ended (ProgramResult::exit_code).
  int exit_code() const { return exit_code_; }

 private:
  pid_t pid_ = -1;
  bool paused_ = false;
  int exit_code_ = -1;
};

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

// Owns one file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept;
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Reset();

 private:
  int fd_ = -1;
};

// A new directory (mode 0700) named `prefix` plus six random characters in
// `parent`, or in $TMPDIR (else /tmp) when `parent` is empty.
std::string MakeTempDir(const std::string& prefix,
                        const std::string& parent = "");

// The whole content of `path`.
std::string ReadFile(const std::string& path);

// Creates or replaces `path` with mode 0600 and writes `content`.
void WritePrivateFile(const std::string& path, std::string_view content);

// `length` random letters and digits.
std::string RandomPassword(size_t length);

// The last `bytes` bytes of `text`.
std::string Tail(const std::string& text, size_t bytes);

// The functions above throw std::runtime_error with the system's reason.

// ---------------------------------------------------------------------------
// LDAP clients (ldap-utils)
// ---------------------------------------------------------------------------

// How ldapsearch and ldapmodify reach a server: a simple bind as `bind_dn`
// with the password in `password_file`.
struct LdapLogin {
  std::string url;
  std::string bind_dn;
  std::string password_file;
};

// Runs `ldapsearch -x -LLL -o ldif-wrap=no -H url -D bind_dn -y
// password_file -b base -s scope filter attrs...` and returns what it did.
// scope: "base", "one" or "sub".
ProgramResult RunLdapSearch(
    const LdapLogin& login, const std::string& base, const std::string& filter,
    const std::vector<std::string>& attrs, const std::string& scope,
    std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Its output; "" when `base` does not exist (noSuchObject).  Throws
// std::runtime_error with ldapsearch's error output on other failures.
std::string LdapSearch(const LdapLogin& login, const std::string& base,
                       const std::string& filter,
                       const std::vector<std::string>& attrs,
                       const std::string& scope);

// Applies LDIF change records (changetype: add/modify/delete/modrdn) with
// ldapmodify, through a private file in `scratch_dir`.  Throws
// std::runtime_error with ldapmodify's error output if any change fails.
void LdapModify(const LdapLogin& login, const std::string& ldif,
                const std::string& scratch_dir);

// ---------------------------------------------------------------------------
// LDIF
// ---------------------------------------------------------------------------

// One entry of LDIF as ldapsearch -LLL prints it.
struct LdifEntry {
  struct Value {
    std::string attribute;  // attribute description as printed, e.g. "cn"
    std::string value;      // decoded bytes
    bool base64 = false;    // printed as "name:: base64": binary or non-ASCII
  };
  std::string dn;  // decoded
  std::vector<Value> values;

  // Values of `attribute` (ASCII case-insensitive, exact description, no
  // subtypes), in the order printed.
  std::vector<std::string> Get(std::string_view attribute) const;
  // Whether every value of `attribute` was printed in base64; false if the
  // entry has none.
  bool IsBase64(std::string_view attribute) const;
};

// Parses LDIF content records (folded lines, comments, a leading "version:"
// line and "::" base64 values are handled; "<" URL values are not).  Throws
// std::runtime_error on text that is not LDIF.
std::vector<LdifEntry> ParseLdif(std::string_view ldif);

// "name: value\n", or "name:: BASE64\n" when the value cannot be written as
// it is (non-ASCII, NUL or line breaks; a leading space, ':' or '<'; a
// trailing space).
std::string LdifLine(std::string_view name, std::string_view value);

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_DIRECTORY_TOOLS_H_
