#include "tests/support/slapd_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace userpolicy::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kStopTimeout = std::chrono::seconds(10);
constexpr milliseconds kWaitPollInterval{10};
constexpr milliseconds kProbeTimeout{250};
constexpr milliseconds kRestartRetryDelay{200};
constexpr milliseconds kSearchTimeout = std::chrono::seconds(30);
constexpr milliseconds kToolTimeout = std::chrono::seconds(120);
constexpr int kMaxLaunchAttempts = 5;
constexpr size_t kLogTailBytes = 4000;
constexpr size_t kPasswordBytes = 16;
constexpr size_t kReadChunk = 65536;
constexpr mode_t kPrivateFileMode = 0600;
constexpr int kExecFailedExitCode = 127;
constexpr int kSignalExitBase = 128;
constexpr int kLdapNoSuchObject = 32;
// Only messages slapd logs whatever the level is (errors): "-d 0" would hide
// them, and any -d keeps slapd in the foreground.
constexpr const char* kSlapdDebugLevel = "32768";
constexpr const char* kServiceRdn = "cn=svc-userpolicy";
constexpr const char* kRootRdn = "cn=admin";
constexpr const char* kConfTemplate = "testdata/slapd.conf.in";
constexpr const char* kSchemaDir = "testdata/schema";
// An LDAPv3 anonymous simple bind, message ID 1.
constexpr std::array<unsigned char, 14> kAnonymousBind = {
    0x30, 0x0c, 0x02, 0x01, 0x01, 0x60, 0x07,
    0x02, 0x01, 0x03, 0x04, 0x00, 0x80, 0x00};
constexpr unsigned char kBerSequenceTag = 0x30;

// ---------------------------------------------------------------------------
// Small POSIX helpers
// ---------------------------------------------------------------------------

std::string ErrnoText(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Owns one file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// Creates `path` (which must not exist) with mode 0600 and writes `content`.
void WritePrivateFile(const std::string& path, std::string_view content) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                     kPrivateFileMode));
  if (!fd.valid()) throw std::runtime_error(ErrnoText("cannot create " + path));
  while (!content.empty()) {
    ssize_t n = ::write(fd.get(), content.data(), content.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::runtime_error(ErrnoText("cannot write " + path));
    content.remove_prefix(static_cast<size_t>(n));
  }
}

std::string RandomPassword() {
  static constexpr char kHex[] = "0123456789abcdef";
  std::random_device device;
  std::string password;
  for (size_t i = 0; i < kPasswordBytes; ++i) {
    unsigned byte = device() & 0xffu;
    password.push_back(kHex[byte >> 4]);
    password.push_back(kHex[byte & 0xfu]);
  }
  return password;
}

std::string MakeTempDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
  pattern += "/userpolicy-slapd-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    throw std::runtime_error(ErrnoText("mkdtemp " + pattern));
  }
  return std::string(buffer.data());
}

// Full path of `program`, looked up in PATH when it holds no '/'.
std::string ResolveProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) {
    if (::access(program.c_str(), X_OK) != 0) {
      throw std::runtime_error("cannot execute " + program);
    }
    return program;
  }
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  throw std::runtime_error("program " + program + " not found in PATH");
}

std::vector<std::string> BuildEnvironment(
    const std::vector<std::string>& overrides) {
  std::vector<std::string> env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view item(*entry);
    std::string_view name = item.substr(0, item.find('='));
    bool replaced = std::any_of(
        overrides.begin(), overrides.end(), [&](const std::string& o) {
          return std::string_view(o).substr(0, o.find('=')) == name;
        });
    if (!replaced) env.emplace_back(item);
  }
  env.insert(env.end(), overrides.begin(), overrides.end());
  return env;
}

std::vector<char*> CStrings(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Forks and executes `path` with stdin/stdout/stderr on the given
// descriptors.  The child gets `death_signal` when the test program dies
// (SIGKILL for servers: a pending SIGTERM would never reach a paused one).
// Everything the child does between fork and exec is async-signal-safe.
pid_t SpawnChild(const std::string& path, std::vector<std::string> argv,
                 std::vector<std::string> env, int in_fd, int out_fd,
                 int err_fd, int death_signal) {
  std::vector<char*> c_argv = CStrings(argv);
  std::vector<char*> c_env = CStrings(env);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error(ErrnoText("fork"));
  if (pid == 0) {
    if (::prctl(PR_SET_PDEATHSIG, death_signal) != 0 || ::getppid() != parent) {
      ::_exit(kExecFailedExitCode);
    }
    if (::dup2(in_fd, STDIN_FILENO) < 0 || ::dup2(out_fd, STDOUT_FILENO) < 0 ||
        ::dup2(err_fd, STDERR_FILENO) < 0) {
      ::_exit(kExecFailedExitCode);
    }
    ::close_range(STDERR_FILENO + 1, UINT_MAX, 0);
    ::execve(path.c_str(), c_argv.data(), c_env.data());
    static constexpr char kMessage[] = "exec failed\n";
    ssize_t ignored = ::write(STDERR_FILENO, kMessage, sizeof(kMessage) - 1);
    (void)ignored;
    ::_exit(kExecFailedExitCode);
  }
  return pid;
}

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return kSignalExitBase + WTERMSIG(status);
  return -1;
}

// Waits for `pid` to exit until `deadline`.  Returns true (and reaps it) if
// it exited.
bool WaitForExit(pid_t pid, Clock::time_point deadline, int* status) {
  for (;;) {
    pid_t done = ::waitpid(pid, status, WNOHANG);
    if (done == pid) return true;
    if (done < 0 && errno != EINTR) return true;  // not our child any more
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kWaitPollInterval);
  }
}

int PickFreePort() {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) throw std::runtime_error(ErrnoText("socket"));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address),
             sizeof(address)) != 0) {
    throw std::runtime_error(ErrnoText("bind 127.0.0.1:0"));
  }
  socklen_t length = sizeof(address);
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) !=
      0) {
    throw std::runtime_error(ErrnoText("getsockname"));
  }
  return ntohs(address.sin_port);
}

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<milliseconds::rep>(left.count(), 0));
}

bool PollFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    int n = ::poll(&entry, 1, RemainingMs(deadline));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}

// Sends an anonymous bind to 127.0.0.1:port and waits for an LDAP message.
bool ProbeLdap(int port, milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address),
                sizeof(address)) != 0) {
    if (errno != EINPROGRESS) return false;
    if (!PollFor(fd.get(), POLLOUT, deadline)) return false;
    int error = 0;
    socklen_t length = sizeof(error);
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 ||
        error != 0) {
      return false;
    }
  }
  if (::send(fd.get(), kAnonymousBind.data(), kAnonymousBind.size(),
             MSG_NOSIGNAL) != static_cast<ssize_t>(kAnonymousBind.size())) {
    return false;
  }
  if (!PollFor(fd.get(), POLLIN, deadline)) return false;
  unsigned char first = 0;
  return ::recv(fd.get(), &first, 1, 0) == 1 && first == kBerSequenceTag;
}

void ReplaceAll(std::string* text, std::string_view from, std::string_view to) {
  for (size_t at = text->find(from); at != std::string::npos;
       at = text->find(from, at + to.size())) {
    text->replace(at, from.size(), to);
  }
}

// The first "@NAME@" (capital letters and '_') left in `text`, or "".
std::string UnreplacedPlaceholder(const std::string& text) {
  for (size_t at = text.find('@'); at != std::string::npos;
       at = text.find('@', at + 1)) {
    size_t end = at + 1;
    while (end < text.size() &&
           (std::isupper(static_cast<unsigned char>(text[end])) != 0 ||
            text[end] == '_')) {
      ++end;
    }
    if (end > at + 1 && end < text.size() && text[end] == '@') {
      return text.substr(at, end + 1 - at);
    }
  }
  return "";
}

std::string JoinPath(const std::string& dir, const std::string& relative) {
  if (!relative.empty() && relative.front() == '/') return relative;
  return dir + "/" + relative;
}

// ---------------------------------------------------------------------------
// LDIF
// ---------------------------------------------------------------------------

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Splits LDIF text into records of unfolded lines, without comments.
std::vector<std::vector<std::string>> LdifRecords(std::string_view text) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> record;
  bool in_comment = false;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view()
                                         : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) {
      if (!record.empty()) records.push_back(std::move(record));
      record.clear();
      in_comment = false;
    } else if (line.front() == ' ') {
      if (in_comment) continue;
      if (record.empty()) {
        throw std::runtime_error("LDIF continuation line without a line");
      }
      record.back().append(line.substr(1));
    } else if (line.front() == '#') {
      in_comment = true;
    } else {
      in_comment = false;
      record.emplace_back(line);
    }
  }
  if (!record.empty()) records.push_back(std::move(record));
  // A leading "version: 1" belongs to no entry.
  if (!records.empty() && !records.front().empty() &&
      records.front().front().rfind("version:", 0) == 0) {
    records.front().erase(records.front().begin());
    if (records.front().empty()) records.erase(records.begin());
  }
  return records;
}

std::string_view AttributeOf(std::string_view line) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) {
    throw std::runtime_error("LDIF line without attribute: " +
                             std::string(line.substr(0, 80)));
  }
  return line.substr(0, colon);
}

std::string Base64Decode(std::string_view text) {
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    if (c == ' ') continue;
    size_t value = kAlphabet.find(c);
    if (value == std::string_view::npos) {
      throw std::runtime_error("bad base64 in LDIF");
    }
    buffer = (buffer << 6) | static_cast<unsigned>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xffu));
    }
  }
  return out;
}

LdifEntry::Value ParseLdifLine(std::string_view line) {
  LdifEntry::Value value;
  std::string_view attribute = AttributeOf(line);
  std::string_view rest = line.substr(attribute.size() + 1);
  value.attribute = std::string(attribute);
  if (!rest.empty() && rest.front() == ':') {
    value.base64 = true;
    value.value = Base64Decode(rest.substr(1));
  } else if (!rest.empty() && rest.front() == '<') {
    throw std::runtime_error("LDIF URL values are not supported");
  } else {
    size_t start = rest.find_first_not_of(' ');
    value.value = start == std::string_view::npos
                      ? std::string()
                      : std::string(rest.substr(start));
  }
  return value;
}

// Entry records of `ldif` without their `member` values, and change records
// adding those values, for loading through the memberof overlay.
struct SplitLdif {
  std::string entries;
  std::string member_changes;
};

SplitLdif SplitMembers(std::string_view ldif) {
  SplitLdif split;
  for (const std::vector<std::string>& record : LdifRecords(ldif)) {
    if (!EqualsIgnoreCase(AttributeOf(record.front()), "dn")) {
      throw std::runtime_error("LDIF record does not start with dn: " +
                               record.front());
    }
    std::vector<const std::string*> members;
    split.entries += record.front() + "\n";
    for (size_t i = 1; i < record.size(); ++i) {
      std::string_view attribute = AttributeOf(record[i]);
      std::string_view base = attribute.substr(0, attribute.find(';'));
      if (EqualsIgnoreCase(base, "changetype")) {
        throw std::runtime_error("LDIF change records cannot be loaded: " +
                                 record.front());
      }
      if (EqualsIgnoreCase(base, "member")) {
        members.push_back(&record[i]);
      } else {
        split.entries += record[i] + "\n";
      }
    }
    split.entries += "\n";
    if (!members.empty()) {
      split.member_changes +=
          record.front() + "\nchangetype: modify\nadd: member\n";
      for (const std::string* member : members) {
        split.member_changes += *member + "\n";
      }
      split.member_changes += "-\n\n";
    }
  }
  return split;
}

// ---------------------------------------------------------------------------
// TLS material
// ---------------------------------------------------------------------------

void RunOpenssl(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  ProgramResult result = RunProgram(argv, {}, kToolTimeout);
  if (result.exit_code != 0) {
    throw std::runtime_error("openssl " + args.front() +
                             " failed: " + result.err);
  }
}

void MakeSelfSignedCa(const std::string& dir, const std::string& name,
                      const std::string& common_name) {
  RunOpenssl({"req", "-x509", "-newkey", "ec", "-pkeyopt",
              "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
              dir + "/" + name + ".key", "-out", dir + "/" + name + ".pem",
              "-days", "2", "-subj", "/CN=" + common_name, "-addext",
              "basicConstraints=critical,CA:TRUE", "-addext",
              "keyUsage=critical,keyCertSign,cRLSign"});
}

// Writes ca.pem, server.pem, server.key and other-ca.pem into `dir`.
void MakeCertificates(const std::string& dir) {
  try {
    ResolveProgram("openssl");
  } catch (const std::runtime_error&) {
    throw std::runtime_error(
        "TLS test server needs the openssl program (Debian package openssl)");
  }
  std::filesystem::create_directory(dir);
  MakeSelfSignedCa(dir, "ca", "userpolicy test CA");
  MakeSelfSignedCa(dir, "other-ca", "userpolicy unrelated test CA");
  WritePrivateFile(dir + "/server.ext",
                   "basicConstraints=CA:FALSE\n"
                   "keyUsage=critical,digitalSignature,keyEncipherment\n"
                   "extendedKeyUsage=serverAuth\n"
                   "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
  RunOpenssl({"req", "-new", "-newkey", "ec", "-pkeyopt",
              "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
              dir + "/server.key", "-out", dir + "/server.csr", "-subj",
              "/CN=localhost"});
  RunOpenssl({"x509", "-req", "-in", dir + "/server.csr", "-CA",
              dir + "/ca.pem", "-CAkey", dir + "/ca.key", "-set_serial", "2",
              "-days", "2", "-extfile", dir + "/server.ext", "-out",
              dir + "/server.pem"});
}

}  // namespace

// ---------------------------------------------------------------------------
// Public helpers
// ---------------------------------------------------------------------------

ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env_overrides,
                         milliseconds timeout) {
  if (argv.empty()) throw std::runtime_error("RunProgram: empty argv");
  const std::string path = ResolveProgram(argv.front());
  std::array<int, 2> out_pipe{};
  std::array<int, 2> err_pipe{};
  if (::pipe2(out_pipe.data(), O_CLOEXEC) != 0) {
    throw std::runtime_error(ErrnoText("pipe"));
  }
  UniqueFd out_read(out_pipe[0]), out_write(out_pipe[1]);
  if (::pipe2(err_pipe.data(), O_CLOEXEC) != 0) {
    throw std::runtime_error(ErrnoText("pipe"));
  }
  UniqueFd err_read(err_pipe[0]), err_write(err_pipe[1]);
  UniqueFd null_in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!null_in.valid()) throw std::runtime_error(ErrnoText("open /dev/null"));

  const pid_t pid =
      SpawnChild(path, argv, BuildEnvironment(env_overrides), null_in.get(),
                 out_write.get(), err_write.get(), SIGKILL);
  out_write.Reset();
  err_write.Reset();

  ProgramResult result;
  const Clock::time_point deadline = Clock::now() + timeout;
  std::array<pollfd, 2> fds = {pollfd{out_read.get(), POLLIN, 0},
                               pollfd{err_read.get(), POLLIN, 0}};
  std::array<std::string*, 2> sinks = {&result.out, &result.err};
  std::vector<char> chunk(kReadChunk);
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    int wait_ms = result.timed_out ? -1 : RemainingMs(deadline);
    int n = ::poll(fds.data(), fds.size(), wait_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 && !result.timed_out) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
      continue;
    }
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t got = ::read(fds[i].fd, chunk.data(), chunk.size());
      if (got > 0) {
        sinks[i]->append(chunk.data(), static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        fds[i].fd = -1;
      }
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_code = ExitCodeOf(status);
  return result;
}

std::vector<std::string> LdifEntry::Get(std::string_view attribute) const {
  std::vector<std::string> found;
  for (const Value& v : values) {
    if (EqualsIgnoreCase(v.attribute, attribute)) found.push_back(v.value);
  }
  return found;
}

bool LdifEntry::IsBase64(std::string_view attribute) const {
  bool any = false;
  for (const Value& v : values) {
    if (!EqualsIgnoreCase(v.attribute, attribute)) continue;
    if (!v.base64) return false;
    any = true;
  }
  return any;
}

std::vector<LdifEntry> ParseLdif(std::string_view ldif) {
  std::vector<LdifEntry> entries;
  for (const std::vector<std::string>& record : LdifRecords(ldif)) {
    LdifEntry::Value dn = ParseLdifLine(record.front());
    if (!EqualsIgnoreCase(dn.attribute, "dn")) {
      throw std::runtime_error("LDIF record does not start with dn: " +
                               record.front());
    }
    LdifEntry entry;
    entry.dn = std::move(dn.value);
    for (size_t i = 1; i < record.size(); ++i) {
      entry.values.push_back(ParseLdifLine(record[i]));
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

// ---------------------------------------------------------------------------
// SlapdServer
// ---------------------------------------------------------------------------

std::unique_ptr<SlapdServer> SlapdServer::Start(const SlapdOptions& options) {
  // The constructor is private; the pointer is owned at once, so a failure
  // below stops whatever was started and removes the directory.
  std::unique_ptr<SlapdServer> server(new SlapdServer());
  const std::string source_dir =
      options.source_dir.empty() ? USERPOLICY_SOURCE_DIR : options.source_dir;
  server->work_dir_ = MakeTempDir();
  const std::string& dir = server->work_dir_;
  server->base_dn_ = options.base_dn;
  server->root_dn_ = std::string(kRootRdn) + "," + options.base_dn;
  server->service_dn_ = std::string(kServiceRdn) + "," + options.base_dn;
  server->slapd_path_ = options.slapd_path;
  server->start_timeout_ = options.start_timeout;
  server->conf_file_ = dir + "/slapd.conf";
  server->log_file_ = dir + "/slapd.log";
  server->root_password_file_ = dir + "/root.pw";
  server->service_password_file_ = dir + "/service.pw";

  const std::string root_password = RandomPassword();
  const std::string service_password = RandomPassword();
  WritePrivateFile(server->root_password_file_, root_password);
  WritePrivateFile(server->service_password_file_, service_password);

  std::string tls_config;
  if (options.tls) {
    const std::string tls_dir = dir + "/tls";
    MakeCertificates(tls_dir);
    server->ca_file_ = tls_dir + "/ca.pem";
    server->other_ca_file_ = tls_dir + "/other-ca.pem";
    tls_config = "TLSCACertificateFile \"" + tls_dir +
                 "/ca.pem\"\nTLSCertificateFile \"" + tls_dir +
                 "/server.pem\"\nTLSCertificateKeyFile \"" + tls_dir +
                 "/server.key\"\n";
    server->want_tls_ = true;
  }

  std::string conf = ReadFile(JoinPath(source_dir, kConfTemplate));
  ReplaceAll(&conf, "@SCHEMA_DIR@", JoinPath(source_dir, kSchemaDir));
  ReplaceAll(&conf, "@WORK_DIR@", dir);
  ReplaceAll(&conf, "@BASE_DN@", server->base_dn_);
  ReplaceAll(&conf, "@ROOT_DN@", server->root_dn_);
  ReplaceAll(&conf, "@SERVICE_DN@", server->service_dn_);
  ReplaceAll(&conf, "@TLS_CONFIG@", tls_config);
  ReplaceAll(&conf, "@ROOT_PASSWORD@", root_password);
  if (std::string left = UnreplacedPlaceholder(conf); !left.empty()) {
    throw std::runtime_error("unknown placeholder " + left + " in " +
                             kConfTemplate);
  }
  WritePrivateFile(server->conf_file_, conf);
  std::filesystem::create_directory(dir + "/db");

  // Entries go in with slapadd; member values through the running server.
  std::string entries;
  std::string member_changes;
  auto add_ldif = [&](std::string_view text) {
    SplitLdif split = SplitMembers(text);
    entries += split.entries;
    member_changes += split.member_changes;
  };
  for (const std::string& file : options.ldif_files) {
    add_ldif(ReadFile(JoinPath(source_dir, file)));
  }
  for (const LdifWriter& writer : options.ldif_writers) {
    std::ostringstream text;
    writer(text);
    add_ldif(text.str());
  }
  entries += "dn: " + server->service_dn_ +
             "\nobjectClass: applicationProcess"
             "\nobjectClass: simpleSecurityObject"
             "\ncn: svc-userpolicy"
             "\ndescription: read-only account of the userpolicy library"
             "\nuserPassword: " +
             service_password + "\n\n";
  const std::string entries_file = dir + "/entries.ldif";
  WritePrivateFile(entries_file, entries);
  ProgramResult added = RunProgram({options.slapadd_path, "-q", "-f",
                                    server->conf_file_, "-l", entries_file},
                                   {}, kToolTimeout);
  std::filesystem::remove(entries_file);
  if (added.exit_code != 0) {
    throw std::runtime_error("slapadd failed (exit " +
                             std::to_string(added.exit_code) +
                             "): " + added.err);
  }

  server->Launch();
  if (!member_changes.empty()) server->Modify(member_changes);
  return server;
}

SlapdServer::~SlapdServer() {
  Stop();
  std::error_code ignored;
  if (!work_dir_.empty()) std::filesystem::remove_all(work_dir_, ignored);
}

std::string SlapdServer::url() const { return "ldap://" + host_port(); }

std::string SlapdServer::host_port() const {
  return "127.0.0.1:" + std::to_string(port_);
}

std::string SlapdServer::ldaps_url() const {
  return "ldaps://127.0.0.1:" + std::to_string(tls_port_);
}

std::string SlapdServer::service_password() const {
  return ReadFile(service_password_file_);
}

std::string SlapdServer::ReadLogTail(size_t from) const {
  std::string log;
  try {
    log = ReadFile(log_file_);
  } catch (const std::runtime_error&) {
    return "(no slapd output)";
  }
  log.erase(0, std::min(from, log.size()));
  if (log.size() > kLogTailBytes) log.erase(0, log.size() - kLogTailBytes);
  return log.empty() ? "(no slapd output)" : log;
}

void SlapdServer::Launch() {
  const bool keep_ports = port_ > 0;
  std::string failure;
  for (int attempt = 0; attempt < kMaxLaunchAttempts; ++attempt) {
    if (!keep_ports) {
      port_ = PickFreePort();
      if (want_tls_) {
        do {
          tls_port_ = PickFreePort();
        } while (tls_port_ == port_);
      }
    }
    std::string urls = "ldap://" + host_port() + "/";
    if (tls_port_ > 0) urls += " " + ldaps_url() + "/";

    UniqueFd log(::open(log_file_.c_str(),
                        O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                        kPrivateFileMode));
    if (!log.valid()) throw std::runtime_error(ErrnoText("open " + log_file_));
    UniqueFd null_in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!null_in.valid()) {
      throw std::runtime_error(ErrnoText("open /dev/null"));
    }
    const off_t log_start = ::lseek(log.get(), 0, SEEK_END);
    const size_t output_from =
        log_start > 0 ? static_cast<size_t>(log_start) : 0;
    const std::string path = ResolveProgram(slapd_path_);
    pid_ = SpawnChild(
        path, {path, "-d", kSlapdDebugLevel, "-h", urls, "-f", conf_file_},
        BuildEnvironment({}), null_in.get(), log.get(), log.get(), SIGKILL);
    paused_ = false;

    const Clock::time_point deadline = Clock::now() + start_timeout_;
    int status = 0;
    bool exited = false;
    while (Clock::now() < deadline) {
      if (WaitForExit(pid_, Clock::now(), &status)) {
        exited = true;
        break;
      }
      if (ProbeLdap(port_, kProbeTimeout)) return;
      std::this_thread::sleep_for(kWaitPollInterval);
    }
    if (!exited) {
      ::kill(pid_, SIGKILL);
      WaitForExit(pid_, Clock::now() + kStopTimeout, &status);
      pid_ = -1;
      throw std::runtime_error("slapd did not answer on " + url() + " within " +
                               std::to_string(start_timeout_.count()) +
                               " ms; its output:\n" + ReadLogTail(output_from));
    }
    pid_ = -1;
    std::string output = ReadLogTail(output_from);
    failure = "slapd exited with code " + std::to_string(ExitCodeOf(status)) +
              "; its output:\n" + output;
    if (output.find("Address already in use") == std::string::npos) break;
    if (keep_ports) std::this_thread::sleep_for(kRestartRetryDelay);
  }
  throw std::runtime_error(failure);
}

void SlapdServer::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  if (paused_) ::kill(pid_, SIGCONT);
  int status = 0;
  if (!WaitForExit(pid_, Clock::now() + kStopTimeout, &status)) {
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  pid_ = -1;
  paused_ = false;
}

void SlapdServer::Restart() {
  Stop();
  Launch();
}

void SlapdServer::Pause() {
  if (pid_ <= 0) throw std::runtime_error("Pause: slapd is not running");
  if (paused_) return;
  if (::kill(pid_, SIGSTOP) != 0)
    throw std::runtime_error(ErrnoText("SIGSTOP"));
  int status = 0;
  pid_t done;
  while ((done = ::waitpid(pid_, &status, WUNTRACED)) < 0 && errno == EINTR) {
  }
  if (done == pid_ && !WIFSTOPPED(status)) {
    pid_ = -1;
    throw std::runtime_error("slapd exited while being paused: " +
                             ReadLogTail(0));
  }
  paused_ = true;
}

void SlapdServer::Resume() {
  if (pid_ <= 0) throw std::runtime_error("Resume: slapd is not running");
  if (!paused_) return;
  if (::kill(pid_, SIGCONT) != 0)
    throw std::runtime_error(ErrnoText("SIGCONT"));
  int status = 0;
  while (::waitpid(pid_, &status, WCONTINUED) < 0 && errno == EINTR) {
  }
  paused_ = false;
}

bool SlapdServer::Answers(milliseconds timeout) const {
  return ProbeLdap(port_, timeout);
}

ProgramResult SlapdServer::RunSearch(const std::string& url,
                                     const std::string& ca_file,
                                     const std::string& base,
                                     const std::string& filter,
                                     const std::vector<std::string>& attrs,
                                     const std::string& scope) const {
  std::vector<std::string> argv = {
      "ldapsearch", "-x", "-LLL",      "-o",  "ldif-wrap=no",         "-H",
      url,          "-D", service_dn_, "-y",  service_password_file_, "-b",
      base,         "-s", scope,       filter};
  argv.insert(argv.end(), attrs.begin(), attrs.end());
  std::vector<std::string> env;
  if (!ca_file.empty()) {
    env = {"LDAPTLS_CACERT=" + ca_file, "LDAPTLS_REQCERT=demand"};
  }
  return RunProgram(argv, env, kSearchTimeout);
}

std::string SlapdServer::Search(const std::string& base,
                                const std::string& filter,
                                const std::vector<std::string>& attrs,
                                const std::string& scope) const {
  ProgramResult result = RunSearch(url(), "", base, filter, attrs, scope);
  if (result.exit_code == 0) return result.out;
  if (result.exit_code == kLdapNoSuchObject) return "";
  throw std::runtime_error(
      "ldapsearch -b '" + base + "' '" + filter + "' failed (exit " +
      std::to_string(result.exit_code) +
      (result.timed_out ? ", timed out" : "") + "): " + result.err);
}

void SlapdServer::Modify(const std::string& ldif) {
  if (pid_ <= 0) throw std::runtime_error("Modify: slapd is not running");
  const std::string file =
      work_dir_ + "/change-" + std::to_string(++change_files_) + ".ldif";
  WritePrivateFile(file, ldif);
  ProgramResult result =
      RunProgram({"ldapmodify", "-x", "-H", url(), "-D", root_dn_, "-y",
                  root_password_file_, "-f", file},
                 {}, kToolTimeout);
  std::filesystem::remove(file);
  if (result.exit_code != 0) {
    throw std::runtime_error(
        "ldapmodify failed (exit " + std::to_string(result.exit_code) +
        (result.timed_out ? ", timed out" : "") + "): " + result.err);
  }
}

}  // namespace userpolicy::testing
