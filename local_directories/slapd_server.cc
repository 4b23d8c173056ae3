#include "local_directories/slapd_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace userpolicy::local_directories {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kWaitPollInterval{10};
constexpr milliseconds kProbeTimeout{250};
constexpr milliseconds kRestartRetryDelay{200};
constexpr milliseconds kToolTimeout = std::chrono::seconds(120);
constexpr int kMaxLaunchAttempts = 5;
constexpr size_t kLogTailBytes = 4000;
constexpr size_t kPasswordLength = 32;
// Errors only; any -d keeps slapd in the foreground, and "-d 0" hides errors.
constexpr const char* kSlapdDebugLevel = "32768";
// Errors and the "stats" level (256): every operation with its parameters.
constexpr const char* kSlapdOperationsDebugLevel = "33024";
constexpr const char* kConfTemplate = "testdata/slapd.conf.in";
constexpr const char* kBaseDn = "dc=example,dc=test";
constexpr const char* kServiceRdn = "cn=svc-userpolicy";
// An LDAPv3 anonymous simple bind, message ID 1; the answer is a SEQUENCE.
constexpr std::array<unsigned char, 14> kAnonymousBind = {0x30, 0x0c, 0x02, 0x01, 0x01, 0x60, 0x07,
                                                          0x02, 0x01, 0x03, 0x04, 0x00, 0x80, 0x00};
constexpr unsigned char kBerSequenceTag = 0x30;

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

// Sends an anonymous bind to 127.0.0.1:port and waits for an LDAP message;
// the timeout holds for connecting and for the answer.
bool ProbeLdap(int port, milliseconds timeout) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const timeval limit{static_cast<time_t>(timeout.count() / 1000),
                      static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
  const sockaddr_in address = Loopback(port);
  unsigned char first = 0;
  return fd.valid() && ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) == 0 &&
         ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)) == 0 &&
         ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
         ::send(fd.get(), kAnonymousBind.data(), kAnonymousBind.size(), MSG_NOSIGNAL) ==
             static_cast<ssize_t>(kAnonymousBind.size()) &&
         ::recv(fd.get(), &first, 1, 0) == 1 && first == kBerSequenceTag;
}

std::string SourcePath(const std::string& relative) {
  return relative.starts_with('/') ? relative : std::string(USERPOLICY_SOURCE_DIR) + "/" + relative;
}

// Whether attribute description `description` ("member;range=0-9") names
// attribute `name`.
bool IsAttribute(const std::string& description, const char* name) {
  return ::strcasecmp(description.substr(0, description.find(';')).c_str(), name) == 0;
}

// Appends the records of `ldif` without their `member` values to *entries,
// and change records adding those values to *member_changes.
void SplitMembers(std::string_view ldif, std::string* entries, std::string* member_changes) {
  for (const LdifEntry& entry : ParseLdif(ldif)) {
    const std::string dn = LdifLine("dn", entry.dn);
    std::string members;
    *entries += dn;
    for (const LdifEntry::Value& v : entry.values) {
      if (IsAttribute(v.attribute, "changetype")) {
        throw std::runtime_error("LDIF change records cannot be loaded: " + entry.dn);
      }
      (IsAttribute(v.attribute, "member") ? members : *entries) += LdifLine(v.attribute, v.value);
    }
    *entries += "\n";
    if (!members.empty()) *member_changes += dn + "changetype: modify\nadd: member\n" + members + "-\n\n";
  }
}

void Openssl(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOrThrow(argv, "openssl " + args.front(), kToolTimeout);
}

void MakeSelfSignedCa(const std::string& dir, const std::string& name, const std::string& common_name) {
  Openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
           dir + "/" + name + ".key", "-out", dir + "/" + name + ".pem", "-days", "2", "-subj", "/CN=" + common_name,
           "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
}

// Writes ca.pem, server.pem, server.key and other-ca.pem into `dir`.
void MakeCertificates(const std::string& dir) {
  std::filesystem::create_directory(dir);
  MakeSelfSignedCa(dir, "ca", "userpolicy test CA");
  MakeSelfSignedCa(dir, "other-ca", "userpolicy unrelated test CA");
  WritePrivateFile(dir + "/server.ext",
                   "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
                   "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1,DNS:localhost\n");
  Openssl({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
           dir + "/server.key", "-out", dir + "/server.csr", "-subj", "/CN=localhost"});
  Openssl({"x509", "-req", "-in", dir + "/server.csr", "-CA", dir + "/ca.pem", "-CAkey", dir + "/ca.key",
           "-set_serial", "2", "-days", "2", "-extfile", dir + "/server.ext", "-out", dir + "/server.pem"});
}

}  // namespace

std::unique_ptr<SlapdServer> SlapdServer::Start(const SlapdOptions& options) {
  if (std::optional<ExternalServer> external =
          ExternalServerFromEnvironment(kExternalSlapdVariable, kBaseDn, kServiceRdn)) {
    return Attach(*external, options);
  }
  // Owned at once: a failure below stops slapd and removes the directory.
  std::unique_ptr<SlapdServer> server(new SlapdServer());
  server->base_dn_ = kBaseDn;
  server->service_dn_ = std::string(kServiceRdn) + "," + kBaseDn;
  server->work_dir_ = MakeTempDir("userpolicy-slapd-");
  const std::string& dir = server->work_dir_;
  const std::string root_dn = "cn=admin," + server->base_dn_;
  const std::string root_password_file = dir + "/root.pw";
  server->start_timeout_ = options.start_timeout;
  server->debug_level_ = options.log_operations ? kSlapdOperationsDebugLevel : kSlapdDebugLevel;
  server->conf_file_ = dir + "/slapd.conf";
  server->log_file_ = dir + "/slapd.log";
  server->service_password_file_ = dir + "/service.pw";
  const std::string root_password = RandomPassword(kPasswordLength);
  const std::string service_password = RandomPassword(kPasswordLength);
  WritePrivateFile(root_password_file, root_password);
  WritePrivateFile(server->service_password_file_, service_password);

  std::string tls_config;
  if (options.tls) {
    const std::string tls_dir = dir + "/tls";
    MakeCertificates(tls_dir);
    server->ca_file_ = tls_dir + "/ca.pem";
    server->other_ca_file_ = tls_dir + "/other-ca.pem";
    server->certificate_file_ = tls_dir + "/server.pem";
    tls_config = "TLSCACertificateFile \"" + server->ca_file_ + "\"\nTLSCertificateFile \"" +
                 server->certificate_file_ + "\"\nTLSCertificateKeyFile \"" + tls_dir + "/server.key\"\n";
    server->want_tls_ = true;
  }

  std::string conf = ReadFile(SourcePath(kConfTemplate));
  const std::pair<const char*, std::string> placeholders[] = {
      {"@SCHEMA_DIR@", SourcePath("testdata/schema")}, {"@WORK_DIR@", dir},
      {"@BASE_DN@", server->base_dn_},                 {"@ROOT_DN@", root_dn},
      {"@SERVICE_DN@", server->service_dn_},           {"@TLS_CONFIG@", tls_config},
      {"@ROOT_PASSWORD@", root_password}};
  for (const auto& [name, value] : placeholders) {
    for (size_t at = conf.find(name); at != std::string::npos; at = conf.find(name, at + value.size())) {
      conf.replace(at, std::strlen(name), value);
    }
  }
  if (std::smatch left; std::regex_search(conf, left, std::regex("@[A-Z_]+@"))) {
    throw std::runtime_error("unknown placeholder " + left.str() + " in " + kConfTemplate);
  }
  WritePrivateFile(server->conf_file_, conf);
  std::filesystem::create_directory(dir + "/db");

  // Entries go in with slapadd; member values through the running server.
  std::string entries, member_changes;
  for (const std::string& file : options.ldif_files) {
    SplitMembers(ReadFile(SourcePath(file)), &entries, &member_changes);
  }
  for (const auto& writer : options.ldif_writers) {
    std::ostringstream text;
    writer(text);
    SplitMembers(text.str(), &entries, &member_changes);
  }
  entries += "dn: " + server->service_dn_ +
             "\nobjectClass: applicationProcess\nobjectClass: simpleSecurityObject\ncn: svc-userpolicy"
             "\ndescription: read-only account of the userpolicy library\nuserPassword: " +
             service_password + "\n\n";
  const std::string entries_file = dir + "/entries.ldif";
  WritePrivateFile(entries_file, entries);
  RunOrThrow({"/usr/sbin/slapadd", "-q", "-f", server->conf_file_, "-l", entries_file}, "slapadd", kToolTimeout);
  if (!options.unchecked_ldif_writers.empty()) {
    std::ostringstream unchecked;
    for (const auto& writer : options.unchecked_ldif_writers) writer(unchecked);
    WritePrivateFile(entries_file, unchecked.str());
    RunOrThrow({"/usr/sbin/slapadd", "-q", "-s", "-f", server->conf_file_, "-l", entries_file}, "slapadd -s",
               kToolTimeout);
  }
  std::filesystem::remove(entries_file);

  server->Launch();
  if (!member_changes.empty()) LdapModify({server->url(), root_dn, root_password_file}, member_changes, dir);
  return server;
}

std::unique_ptr<SlapdServer> SlapdServer::Attach(const ExternalServer& external, const SlapdOptions& options) {
  if (options.tls || options.log_operations || !options.unchecked_ldif_writers.empty() || options.ldif_files != SlapdOptions().ldif_files ||
      !options.ldif_writers.empty()) {
    throw std::runtime_error(std::string(kExternalSlapdVariable) +
                             " is set: the server it names serves the sample directory over plain LDAP, "
                             "and these options ask for other data, TLS or its operation log");
  }
  std::unique_ptr<SlapdServer> server(new SlapdServer());
  server->attached_ = true;
  server->host_ = external.host;
  server->port_ = external.port;
  server->base_dn_ = external.base_dn;
  server->service_dn_ = external.service_dn;
  server->service_password_file_ = external.service_password_file;
  server->work_dir_ = MakeTempDir("userpolicy-slapd-");
  return server;
}

SlapdServer::~SlapdServer() {
  if (!attached_) process_.Stop();
  std::error_code ignored;
  if (!work_dir_.empty()) std::filesystem::remove_all(work_dir_, ignored);
}

void SlapdServer::Launch() {
  const bool keep_ports = port_ > 0;
  std::string failure;
  for (int attempt = 0; attempt < kMaxLaunchAttempts; ++attempt) {
    if (!keep_ports) {
      port_ = PickFreeLoopbackPort();
      do {
        tls_port_ = want_tls_ ? PickFreeLoopbackPort() : 0;
      } while (tls_port_ == port_);
    }
    std::string urls = "ldap://" + host_port() + "/";
    if (want_tls_) urls += " ldaps://127.0.0.1:" + std::to_string(tls_port_) + "/";
    std::error_code no_log;
    const uintmax_t log_size = std::filesystem::file_size(log_file_, no_log);
    const size_t log_from = no_log ? 0 : static_cast<size_t>(log_size);
    const ServerProcess::Wait wait =
        process_.Start({"/usr/sbin/slapd", "-d", debug_level_, "-h", urls, "-f", conf_file_}, log_file_,
                       [this] { return ProbeLdap(port_, kProbeTimeout); }, start_timeout_, kWaitPollInterval);
    if (wait == ServerProcess::Wait::kReady) return;
    std::string output;
    try {
      output = ReadFile(log_file_);
    } catch (const std::runtime_error&) {
    }
    output.erase(0, std::min(log_from, output.size()));
    output = output.empty() ? "(no slapd output)" : Tail(output, kLogTailBytes);
    if (wait == ServerProcess::Wait::kTimedOut) {
      throw std::runtime_error("slapd did not answer on " + url() + " within " +
                               std::to_string(start_timeout_.count()) + " ms; its output:\n" + output);
    }
    failure = "slapd exited with code " + std::to_string(process_.exit_code()) + "; its output:\n" + output;
    if (output.find("Address already in use") == std::string::npos) break;
    if (keep_ports) std::this_thread::sleep_for(kRestartRetryDelay);
  }
  throw std::runtime_error(failure);
}

std::string SlapdServer::operation_log() const {
  RequireOwnProcess("operation_log");
  return ReadFile(log_file_);
}

void SlapdServer::RequireOwnProcess(const char* operation) const {
  if (!attached_) return;
  throw std::logic_error(std::string(operation) + ": this slapd at " + host_port() +
                         " was started outside the program (" + kExternalSlapdVariable +
                         "); only what started it may stop, pause or restart it");
}

void SlapdServer::Stop() {
  RequireOwnProcess("Stop");
  process_.Stop();
}

void SlapdServer::Restart() {
  RequireOwnProcess("Restart");
  process_.Stop();
  Launch();
}

void SlapdServer::Pause() {
  RequireOwnProcess("Pause");
  process_.Pause();
}

void SlapdServer::Resume() {
  RequireOwnProcess("Resume");
  process_.Resume();
}

}  // namespace userpolicy::local_directories
