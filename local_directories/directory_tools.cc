#include "local_directories/directory_tools.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace userpolicy::local_directories {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kStopTimeout = std::chrono::seconds(10);
constexpr milliseconds kStopPollInterval{10};
constexpr size_t kErrorTailBytes = 3000;
constexpr mode_t kPrivateFileMode = 0600;
constexpr int kExecFailedExitCode = 127;
constexpr int kLdapNoSuchObject = 32;
constexpr std::string_view kBase64Digits =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

// Full path of `program`, looked up in PATH when it holds no '/'.
std::string ResolveProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) {
    if (::access(program.c_str(), X_OK) != 0) throw std::runtime_error("cannot execute " + program);
    return program;
  }
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  throw std::runtime_error("program " + program + " not found in PATH");
}

// Forks and executes argv with stdin on /dev/null and stdout and stderr on
// the given descriptors.  SIGKILL on the test program's death reaches a
// paused server too.  The child only makes async-signal-safe calls.
pid_t SpawnChild(std::vector<std::string> argv, int out_fd, int err_fd) {
  if (argv.empty()) throw std::runtime_error("empty argv");
  const std::string path = ResolveProgram(argv.front());
  std::vector<char*> c_argv;
  for (std::string& arg : argv) c_argv.push_back(arg.data());
  c_argv.push_back(nullptr);
  UniqueFd null_in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!null_in.valid()) throw SystemError("open /dev/null");
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) throw SystemError("fork");
  if (pid == 0) {
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent ||
        ::dup2(null_in.get(), STDIN_FILENO) < 0 || ::dup2(out_fd, STDOUT_FILENO) < 0 ||
        ::dup2(err_fd, STDERR_FILENO) < 0) {
      ::_exit(kExecFailedExitCode);
    }
    ::close_range(STDERR_FILENO + 1, UINT_MAX, 0);
    ::execve(path.c_str(), c_argv.data(), environ);
    ::_exit(kExecFailedExitCode);
  }
  return pid;
}

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

int WaitFor(pid_t pid, int options) {
  int status = 0;
  while (::waitpid(pid, &status, options) < 0 && errno == EINTR) {
  }
  return status;
}

// Lines of `text` that do not mention a password.
std::string WithoutPasswords(const std::string& text) {
  std::istringstream in(text);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    if (::strcasestr(line.c_str(), "password") == nullptr) out += line + "\n";
  }
  return out;
}

void ThrowUnlessSucceeded(const ProgramResult& r, const std::string& what) {
  if (r.exit_code == 0 && !r.timed_out) return;
  throw std::runtime_error(what + " failed (exit " + std::to_string(r.exit_code) +
                           (r.timed_out ? ", timed out" : "") +
                           "): " + Tail(WithoutPasswords(r.err + r.out), kErrorTailBytes));
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Splits LDIF into records of unfolded lines, without comments and without
// a leading "version:" line.
std::vector<std::vector<std::string>> LdifRecords(std::string_view text) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> record;
  bool in_comment = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) {
      if (!record.empty()) records.push_back(std::move(record));
      record.clear();
      in_comment = false;
    } else if (line.front() == ' ') {
      if (in_comment) continue;
      if (record.empty()) throw std::runtime_error("LDIF continuation line without a line");
      record.back().append(line.substr(1));
    } else {
      in_comment = line.front() == '#';
      if (!in_comment) record.emplace_back(line);
    }
  }
  if (!record.empty()) records.push_back(std::move(record));
  if (!records.empty() && records.front().front().rfind("version:", 0) == 0) {
    records.front().erase(records.front().begin());
    if (records.front().empty()) records.erase(records.begin());
  }
  return records;
}

std::string Base64Decode(std::string_view text) {
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') break;
    if (c == ' ') continue;
    const size_t value = kBase64Digits.find(c);
    if (value == std::string_view::npos) throw std::runtime_error("bad base64 in LDIF");
    buffer = (buffer << 6) | static_cast<unsigned>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xffu));
    }
  }
  return out;
}

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t group = 0;
    for (size_t j = 0; j < 3; ++j) group = (group << 8) | (j < n ? static_cast<uint8_t>(bytes[i + j]) : 0);
    for (size_t j = 0; j < 4; ++j) out += j <= n ? kBase64Digits[(group >> (18 - 6 * j)) & 63] : '=';
  }
  return out;
}

LdifEntry::Value ParseLdifLine(std::string_view line) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) {
    throw std::runtime_error("LDIF line without attribute: " + std::string(line.substr(0, 80)));
  }
  LdifEntry::Value value{std::string(line.substr(0, colon)), ""};
  const std::string_view rest = line.substr(colon + 1);
  if (!rest.empty() && rest.front() == ':') {
    value.value = Base64Decode(rest.substr(1));
  } else if (!rest.empty() && rest.front() == '<') {
    throw std::runtime_error("LDIF URL values are not supported");
  } else if (const size_t start = rest.find_first_not_of(' '); start != std::string_view::npos) {
    value.value = rest.substr(start);
  }
  return value;
}

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& argv, milliseconds timeout) {
  std::array<int, 2> out_pipe{}, err_pipe{};
  if (::pipe2(out_pipe.data(), O_CLOEXEC) != 0) throw SystemError("pipe");
  UniqueFd out_read(out_pipe[0]), out_write(out_pipe[1]);
  if (::pipe2(err_pipe.data(), O_CLOEXEC) != 0) throw SystemError("pipe");
  UniqueFd err_read(err_pipe[0]), err_write(err_pipe[1]);
  const pid_t pid = SpawnChild(argv, out_write.get(), err_write.get());
  out_write.Reset();
  err_write.Reset();

  ProgramResult result;
  const Clock::time_point deadline = Clock::now() + timeout;
  std::array<pollfd, 2> fds = {pollfd{out_read.get(), POLLIN, 0}, pollfd{err_read.get(), POLLIN, 0}};
  std::array<std::string*, 2> sinks = {&result.out, &result.err};
  std::vector<char> chunk(65536);
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    int wait_ms = -1;
    if (!result.timed_out) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
      wait_ms = static_cast<int>(std::max<milliseconds::rep>(left.count(), 0));
    }
    const int n = ::poll(fds.data(), fds.size(), wait_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 && !result.timed_out) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
      continue;
    }
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = ::read(fds[i].fd, chunk.data(), chunk.size());
      if (got > 0) {
        sinks[i]->append(chunk.data(), static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        fds[i].fd = -1;
      }
    }
  }
  result.exit_code = ExitCodeOf(WaitFor(pid, 0));
  return result;
}

void RunOrThrow(const std::vector<std::string>& argv, const std::string& what, milliseconds timeout) {
  ThrowUnlessSucceeded(RunProgram(argv, timeout), what);
}

ServerProcess::Wait ServerProcess::Start(const std::vector<std::string>& argv, const std::string& log_file,
                                         const std::function<bool()>& ready, milliseconds timeout,
                                         milliseconds interval) {
  UniqueFd log(::open(log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kPrivateFileMode));
  if (!log.valid()) throw SystemError("open " + log_file);
  pid_ = SpawnChild(argv, log.get(), log.get());
  paused_ = false;
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      exit_code_ = ExitCodeOf(status);
      return Wait::kExited;
    }
    if (ready()) return Wait::kReady;
    if (Clock::now() >= deadline) {
      Stop();
      return Wait::kTimedOut;
    }
    std::this_thread::sleep_for(interval);
  }
}

void ServerProcess::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  if (paused_) ::kill(pid_, SIGCONT);
  const Clock::time_point deadline = Clock::now() + kStopTimeout;
  int status = 0;
  pid_t done;
  while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 || (done < 0 && errno == EINTR)) {
    if (Clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      WaitFor(pid_, 0);
      break;
    }
    std::this_thread::sleep_for(kStopPollInterval);
  }
  pid_ = -1;
  paused_ = false;
}

void ServerProcess::Pause() {
  if (pid_ <= 0) throw std::runtime_error("Pause: the server is not running");
  if (paused_) return;
  if (::kill(pid_, SIGSTOP) != 0) throw SystemError("SIGSTOP");
  const int status = WaitFor(pid_, WUNTRACED);
  if (!WIFSTOPPED(status)) {
    pid_ = -1;
    exit_code_ = ExitCodeOf(status);
    throw std::runtime_error("the server exited while being paused");
  }
  paused_ = true;
}

void ServerProcess::Resume() {
  if (pid_ <= 0) throw std::runtime_error("Resume: the server is not running");
  if (!paused_) return;
  if (::kill(pid_, SIGCONT) != 0) throw SystemError("SIGCONT");
  WaitFor(pid_, WCONTINUED);
  paused_ = false;
}

void UniqueFd::Reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int PickFreeLoopbackPort() {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot pick a free port on 127.0.0.1");
  }
  return ntohs(address.sin_port);
}

std::string MakeTempDir(const std::string& prefix, const std::string& parent) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = !parent.empty() ? parent : (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
  pattern += "/" + prefix + "XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw SystemError("mkdtemp " + pattern);
  return pattern;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void WritePrivateFile(const std::string& path, std::string_view content) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kPrivateFileMode));
  if (!fd.valid() || ::fchmod(fd.get(), kPrivateFileMode) != 0) throw SystemError("cannot create " + path);
  while (!content.empty()) {
    const ssize_t n = ::write(fd.get(), content.data(), content.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw SystemError("cannot write " + path);
    content.remove_prefix(static_cast<size_t>(n));
  }
}

std::string RandomPassword(size_t length) {
  static constexpr std::string_view kAlphabet = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  std::random_device device;
  std::uniform_int_distribution<size_t> pick(0, kAlphabet.size() - 1);
  std::string password;
  for (size_t i = 0; i < length; ++i) password.push_back(kAlphabet[pick(device)]);
  return password;
}

std::string Tail(const std::string& text, size_t bytes) {
  return text.size() <= bytes ? text : text.substr(text.size() - bytes);
}

namespace {

// `tool` with the options that bind as `login`.
std::vector<std::string> ToolBoundAs(const std::string& tool, const LdapLogin& login) {
  if (login.keytab.empty()) return {tool, "-x", "-H", login.url, "-D", login.bind_dn, "-y", login.password_file};
  return {"env", "KRB5_CLIENT_KTNAME=" + login.keytab, "KRB5CCNAME=MEMORY:" + tool, "KRB5_CONFIG=" + login.krb5_conf,
          tool, "-Y", "GSSAPI", "-N", "-Q", "-H", login.url};
}

}  // namespace

std::string LdapSearch(const LdapLogin& login, const std::string& base, const std::string& filter,
                       const std::vector<std::string>& attrs, const std::string& scope) {
  std::vector<std::string> argv = ToolBoundAs("ldapsearch", login);
  argv.insert(argv.end(), {"-LLL", "-o", "ldif-wrap=no", "-b", base, "-s", scope, filter});
  argv.insert(argv.end(), attrs.begin(), attrs.end());
  const ProgramResult r = RunProgram(argv);
  if (r.exit_code == kLdapNoSuchObject && !r.timed_out) return "";
  ThrowUnlessSucceeded(r, "ldapsearch -b '" + base + "' '" + filter + "'");
  return r.out;
}

void LdapModify(const LdapLogin& login, const std::string& ldif, const std::string& scratch_dir) {
  static std::atomic<int> changes{0};
  const std::string file = scratch_dir + "/change-" + std::to_string(++changes) + ".ldif";
  WritePrivateFile(file, ldif);
  std::vector<std::string> argv = ToolBoundAs("ldapmodify", login);
  argv.insert(argv.end(), {"-f", file});
  const ProgramResult r = RunProgram(argv, std::chrono::minutes(5));
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
  ThrowUnlessSucceeded(r, "ldapmodify");
}

std::optional<ExternalServer> ExternalServerFromEnvironment(const std::string& name,
                                                            const std::string& default_base_dn,
                                                            const std::string& service_rdn) {
  const auto variable = [&name](const char* suffix) {
    const char* value = std::getenv((name + suffix).c_str());
    return std::string(value != nullptr ? value : "");
  };
  const std::string address = variable("");
  if (address.empty()) return std::nullopt;
  const auto refuse = [](const std::string& what, const std::string& why) {
    return std::runtime_error(what + ": " + why);
  };

  ExternalServer server;
  const size_t colon = address.rfind(':');
  in_addr ipv4{};
  if (colon == std::string::npos || ::inet_pton(AF_INET, address.substr(0, colon).c_str(), &ipv4) != 1 ||
      (ntohl(ipv4.s_addr) >> 24) != 127) {
    throw refuse(name + "=" + address, "want HOST:PORT with HOST an IPv4 loopback address (127.0.0.0/8)");
  }
  const std::string port = address.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(port) < 1 || std::stoi(port) > 65535) {
    throw refuse(name + "=" + address, "the port must be a number from 1 to 65535");
  }
  server.host = address.substr(0, colon);
  server.port = std::stoi(port);
  server.base_dn = variable("_BASE_DN");
  if (server.base_dn.empty()) server.base_dn = default_base_dn;
  server.service_dn = variable("_SERVICE_DN");
  if (server.service_dn.empty()) server.service_dn = service_rdn + "," + server.base_dn;

  const std::string password_variable = name + "_PASSWORD_FILE";
  server.service_password_file = variable("_PASSWORD_FILE");
  struct stat info {};
  if (server.service_password_file.empty()) {
    throw refuse(password_variable, "not set; it must name the file holding the service account's password");
  }
  if (::stat(server.service_password_file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    throw refuse(password_variable + "=" + server.service_password_file, "not a readable file");
  }
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    throw refuse(password_variable + "=" + server.service_password_file,
                 "group or others may read it; a password file must have mode 0600");
  }

  const std::string where = name + "=" + address + " (" + server.service_dn + ")";
  std::string base_entry;
  try {
    base_entry = LdapSearch({"ldap://" + server.host_port(), server.service_dn, server.service_password_file},
                            server.base_dn, "(objectClass=*)", {"1.1"}, "base");
  } catch (const std::runtime_error& e) {
    throw refuse(where, std::string("the service account cannot read the base DN: ") + e.what());
  }
  if (base_entry.empty()) throw refuse(where, "the base DN " + server.base_dn + " does not exist there");
  return server;
}

std::vector<std::string> LdifEntry::Get(std::string_view attribute) const {
  std::vector<std::string> found;
  for (const Value& v : values) {
    if (EqualsIgnoreCase(v.attribute, attribute)) found.push_back(v.value);
  }
  return found;
}

std::vector<LdifEntry> ParseLdif(std::string_view ldif) {
  std::vector<LdifEntry> entries;
  for (const std::vector<std::string>& record : LdifRecords(ldif)) {
    LdifEntry::Value dn = ParseLdifLine(record.front());
    if (!EqualsIgnoreCase(dn.attribute, "dn")) {
      throw std::runtime_error("LDIF record does not start with dn: " + record.front());
    }
    LdifEntry& entry = entries.emplace_back();
    entry.dn = std::move(dn.value);
    for (size_t i = 1; i < record.size(); ++i) entry.values.push_back(ParseLdifLine(record[i]));
  }
  return entries;
}

std::string LdifLine(std::string_view name, std::string_view value) {
  bool safe = value.empty() ||
              (value.front() != ' ' && value.front() != ':' && value.front() != '<' && value.back() != ' ');
  for (char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80 || byte == '\n' || byte == '\r' || byte == '\0') safe = false;
  }
  return std::string(name) + (safe ? ": " + std::string(value) : ":: " + Base64Encode(value)) + "\n";
}

}  // namespace userpolicy::local_directories
