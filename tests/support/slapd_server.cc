#include "tests/support/slapd_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace userpolicy::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kWaitPollInterval{10};
constexpr milliseconds kProbeTimeout{250};
constexpr milliseconds kRestartRetryDelay{200};
constexpr milliseconds kToolTimeout = std::chrono::seconds(120);
constexpr int kMaxLaunchAttempts = 5;
constexpr size_t kLogTailBytes = 4000;
constexpr size_t kPasswordLength = 32;
// Only messages slapd logs whatever the level is (errors): "-d 0" would hide
// them, and any -d keeps slapd in the foreground.
constexpr const char* kSlapdDebugLevel = "32768";
constexpr const char* kSlapd = "/usr/sbin/slapd";
constexpr const char* kSlapadd = "/usr/sbin/slapadd";
constexpr const char* kServiceRdn = "cn=svc-userpolicy";
constexpr const char* kRootRdn = "cn=admin";
constexpr const char* kConfTemplate = "testdata/slapd.conf.in";
constexpr const char* kSchemaDir = "testdata/schema";
// An LDAPv3 anonymous simple bind, message ID 1.
constexpr std::array<unsigned char, 14> kAnonymousBind = {
    0x30, 0x0c, 0x02, 0x01, 0x01, 0x60, 0x07,
    0x02, 0x01, 0x03, 0x04, 0x00, 0x80, 0x00};
constexpr unsigned char kBerSequenceTag = 0x30;

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

int PickFreePort() {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof(address);
  if (!fd.valid() ||
      ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address),
                    &length) != 0) {
    throw std::runtime_error("cannot pick a free port on 127.0.0.1");
  }
  return ntohs(address.sin_port);
}

bool PollFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    pollfd entry{fd, events, 0};
    int n = ::poll(&entry, 1, static_cast<int>(std::max<milliseconds::rep>(
                                  left.count(), 0)));
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

// Sends an anonymous bind to 127.0.0.1:port and waits for an LDAP message.
bool ProbeLdap(int port, milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return false;
  const sockaddr_in address = Loopback(port);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address),
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
           ((text[end] >= 'A' && text[end] <= 'Z') || text[end] == '_')) {
      ++end;
    }
    if (end > at + 1 && end < text.size() && text[end] == '@') {
      return text.substr(at, end + 1 - at);
    }
  }
  return "";
}

std::string SourcePath(const std::string& relative) {
  if (!relative.empty() && relative.front() == '/') return relative;
  return std::string(USERPOLICY_SOURCE_DIR) + "/" + relative;
}

// Whether attribute description `description` (e.g. "member;range=0-9")
// names attribute `name`.
bool IsAttribute(std::string_view description, const char* name) {
  const std::string type(description.substr(0, description.find(';')));
  return ::strcasecmp(type.c_str(), name) == 0;
}

// Entry records of LDIF content without their `member` values, and change
// records adding those values, for loading through the memberof overlay.
struct SplitLdif {
  std::string entries;
  std::string member_changes;
};

void SplitMembers(std::string_view ldif, SplitLdif* split) {
  for (const LdifEntry& entry : ParseLdif(ldif)) {
    const std::string dn = LdifLine("dn", entry.dn);
    std::string members;
    split->entries += dn;
    for (const LdifEntry::Value& v : entry.values) {
      if (IsAttribute(v.attribute, "changetype")) {
        throw std::runtime_error("LDIF change records cannot be loaded: " +
                                 entry.dn);
      }
      (IsAttribute(v.attribute, "member") ? members : split->entries) +=
          LdifLine(v.attribute, v.value);
    }
    split->entries += "\n";
    if (!members.empty()) {
      split->member_changes +=
          dn + "changetype: modify\nadd: member\n" + members + "-\n\n";
    }
  }
}

// ---------------------------------------------------------------------------
// TLS material
// ---------------------------------------------------------------------------

void Openssl(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOrThrow(argv, "openssl " + args.front(), kToolTimeout);
}

void MakeSelfSignedCa(const std::string& dir, const std::string& name,
                      const std::string& common_name) {
  Openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt",
              "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
              dir + "/" + name + ".key", "-out", dir + "/" + name + ".pem",
              "-days", "2", "-subj", "/CN=" + common_name, "-addext",
              "basicConstraints=critical,CA:TRUE", "-addext",
              "keyUsage=critical,keyCertSign,cRLSign"});
}

// Writes ca.pem, server.pem, server.key and other-ca.pem into `dir`.
void MakeCertificates(const std::string& dir) {
  std::filesystem::create_directory(dir);
  MakeSelfSignedCa(dir, "ca", "userpolicy test CA");
  MakeSelfSignedCa(dir, "other-ca", "userpolicy unrelated test CA");
  WritePrivateFile(dir + "/server.ext",
                   "basicConstraints=CA:FALSE\n"
                   "keyUsage=critical,digitalSignature,keyEncipherment\n"
                   "extendedKeyUsage=serverAuth\n"
                   "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
  Openssl({"req", "-new", "-newkey", "ec", "-pkeyopt",
              "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
              dir + "/server.key", "-out", dir + "/server.csr", "-subj",
              "/CN=localhost"});
  Openssl({"x509", "-req", "-in", dir + "/server.csr", "-CA",
              dir + "/ca.pem", "-CAkey", dir + "/ca.key", "-set_serial", "2",
              "-days", "2", "-extfile", dir + "/server.ext", "-out",
              dir + "/server.pem"});
}

}  // namespace

std::unique_ptr<SlapdServer> SlapdServer::Start(const SlapdOptions& options) {
  // The constructor is private; the pointer is owned at once, so a failure
  // below stops whatever was started and removes the directory.
  std::unique_ptr<SlapdServer> server(new SlapdServer());
  server->work_dir_ = MakeTempDir("userpolicy-slapd-");
  const std::string& dir = server->work_dir_;
  server->base_dn_ = options.base_dn;
  server->root_dn_ = std::string(kRootRdn) + "," + options.base_dn;
  server->service_dn_ = std::string(kServiceRdn) + "," + options.base_dn;
  server->start_timeout_ = options.start_timeout;
  server->conf_file_ = dir + "/slapd.conf";
  server->log_file_ = dir + "/slapd.log";
  server->root_password_file_ = dir + "/root.pw";
  server->service_password_file_ = dir + "/service.pw";

  const std::string root_password = RandomPassword(kPasswordLength);
  const std::string service_password = RandomPassword(kPasswordLength);
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

  std::string conf = ReadFile(SourcePath(kConfTemplate));
  ReplaceAll(&conf, "@SCHEMA_DIR@", SourcePath(kSchemaDir));
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
  SplitLdif split;
  for (const std::string& file : options.ldif_files) {
    SplitMembers(ReadFile(SourcePath(file)), &split);
  }
  for (const LdifWriter& writer : options.ldif_writers) {
    std::ostringstream text;
    writer(text);
    SplitMembers(text.str(), &split);
  }
  split.entries += "dn: " + server->service_dn_ +
                   "\nobjectClass: applicationProcess"
                   "\nobjectClass: simpleSecurityObject"
                   "\ncn: svc-userpolicy"
                   "\ndescription: read-only account of the userpolicy library"
                   "\nuserPassword: " +
                   service_password + "\n\n";
  const std::string entries_file = dir + "/entries.ldif";
  WritePrivateFile(entries_file, split.entries);
  RunOrThrow({kSlapadd, "-q", "-f", server->conf_file_, "-l", entries_file},
             "slapadd", kToolTimeout);
  std::filesystem::remove(entries_file);

  server->Launch();
  if (!split.member_changes.empty()) server->Modify(split.member_changes);
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
  }
  log.erase(0, std::min(from, log.size()));
  return log.empty() ? "(no slapd output)" : Tail(log, kLogTailBytes);
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
    std::error_code no_log;
    const uintmax_t log_size = std::filesystem::file_size(log_file_, no_log);
    const size_t output_from = no_log ? 0 : static_cast<size_t>(log_size);

    process_.Start({kSlapd, "-d", kSlapdDebugLevel, "-h", urls, "-f", conf_file_},
                   log_file_);
    const ServerProcess::Wait wait = process_.WaitUntilReady(
        [this] { return ProbeLdap(port_, kProbeTimeout); }, start_timeout_,
        kWaitPollInterval);
    if (wait == ServerProcess::Wait::kReady) return;
    if (wait == ServerProcess::Wait::kTimedOut) {
      throw std::runtime_error("slapd did not answer on " + url() + " within " +
                               std::to_string(start_timeout_.count()) +
                               " ms; its output:\n" + ReadLogTail(output_from));
    }
    const std::string output = ReadLogTail(output_from);
    failure = "slapd exited with code " + std::to_string(process_.exit_code()) +
              "; its output:\n" + output;
    if (output.find("Address already in use") == std::string::npos) break;
    if (keep_ports) std::this_thread::sleep_for(kRestartRetryDelay);
  }
  throw std::runtime_error(failure);
}

void SlapdServer::Stop() { process_.Stop(); }

void SlapdServer::Restart() {
  Stop();
  Launch();
}

void SlapdServer::Pause() { process_.Pause(); }

void SlapdServer::Resume() { process_.Resume(); }

bool SlapdServer::Answers(milliseconds timeout) const {
  return ProbeLdap(port_, timeout);
}

std::string SlapdServer::Search(const std::string& base,
                                const std::string& filter,
                                const std::vector<std::string>& attrs,
                                const std::string& scope) const {
  return LdapSearch({url(), service_dn_, service_password_file_}, base, filter,
                    attrs, scope);
}

void SlapdServer::Modify(const std::string& ldif) {
  if (!running()) throw std::runtime_error("Modify: slapd is not running");
  LdapModify({url(), root_dn_, root_password_file_}, ldif, work_dir_);
}

}  // namespace userpolicy::testing
