// The directory library over wldap32: run under wine against the slapd with
// the sample directory that the Linux driver (tests/windows_under_wine_test.cc)
// started, as the environment describes it:
//   USERPOLICY_TEST_SLAPD                 127.0.0.1:PORT (plain LDAP)
//   USERPOLICY_TEST_SLAPD_SERVICE_DN      the service account
//   USERPOLICY_TEST_SLAPD_PASSWORD_FILE   its password, as a Windows path
//   USERPOLICY_TEST_SLAPD_TLS_PORT        the ldaps port
//   USERPOLICY_TEST_SLAPD_CA_FILE         the CA of the server's certificate
//   USERPOLICY_TEST_SLAPD_OTHER_CA_FILE   a CA that signed nothing
//   USERPOLICY_TEST_SLAPD_SERVER_CERT     the server's certificate (PEM)
//   USERPOLICY_TEST_CLOSED_PORT           a loopback port nothing listens on
// The same reads as on Linux give the same values and the same error codes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "platform/directory.h"
#include "platform/directory/directory_error.h"
#include "platform/directory/directory_object.h"
#include "platform/directory/directory_path.h"
#include "platform/directory/ldap_backend.h"
#include "platform/ldap_api.h"
#include "platform/utf8.h"
#include "platform/win/server_certificate_win.h"
#include "tests/support/directory_failure.h"
#include "tests/support/directory_values.h"
#include "tests/support/scoped_settings_file.h"

namespace directory {
namespace {

using ScopedSettings = userpolicy::testing::ScopedSettingsFile;
using userpolicy::testing::ContextOf;
using userpolicy::testing::DirectoryFailure;
using userpolicy::testing::DumpValues;
using Strings = std::vector<std::string>;

constexpr wchar_t kAliceDn[] = L"cn=Alice Anderson,ou=People,dc=example,dc=test";
constexpr char kHost[] = "127.0.0.1";

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// The server the driver started, as the environment describes it.
struct AttachedServer {
  std::string host_port = Variable("USERPOLICY_TEST_SLAPD");
  std::string service_dn = Variable("USERPOLICY_TEST_SLAPD_SERVICE_DN");
  std::string password_file = Variable("USERPOLICY_TEST_SLAPD_PASSWORD_FILE");
  std::string tls_port = Variable("USERPOLICY_TEST_SLAPD_TLS_PORT");
  std::string ca_file = Variable("USERPOLICY_TEST_SLAPD_CA_FILE");
  std::string other_ca_file = Variable("USERPOLICY_TEST_SLAPD_OTHER_CA_FILE");
  std::string server_certificate = Variable("USERPOLICY_TEST_SLAPD_SERVER_CERT");
  std::string closed_port = Variable("USERPOLICY_TEST_CLOSED_PORT");

  bool complete() const {
    return !host_port.empty() && !service_dn.empty() && !password_file.empty() && !tls_port.empty() &&
           !ca_file.empty() && !other_ca_file.empty() && !server_certificate.empty() && !closed_port.empty();
  }
};

const AttachedServer& Server() {
  static const AttachedServer server;
  return server;
}

std::wstring Wide(std::string_view text) { return platform::Utf8ToWide(text); }
std::string Narrow(std::wstring_view text) { return platform::WideToUtf8(text); }

std::string Settings(const std::string& servers, const std::string& extra = "",
                     const std::string& password_file = Server().password_file) {
  return userpolicy::testing::DirectorySettings(servers, Server().service_dn, password_file) +
         "ConnectTimeoutMs = 3000\nOperationTimeoutMs = 3000\nFailureBackoffMs = 0\n" + extra;
}

std::shared_ptr<const DirectoryObject> Read(LdapBackend& backend, std::wstring_view object,
                                            const std::vector<std::wstring>& attributes) {
  return backend.ReadObject(DirectoryPath::Parse(L"GC://" + std::wstring(object)), attributes);
}

class Wldap32Backend : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Server().complete()) << "run by tests/windows_under_wine_test.cc"; }
};

TEST_F(Wldap32Backend, ReadsTheValuesLinuxReadsTypedAndInTheServersOrder) {
  ScopedSettings settings(Settings(Server().host_port));
  LdapBackend backend;
  const auto alice = Read(backend, kAliceDn, {L"objectGUID", L"name", L"distinguishedName", L"memberOf",
                                              L"PrimaryGroupID", L"objectSid", L"proxyAddresses", L"MAIL"});
  EXPECT_EQ(alice->distinguished_name, kAliceDn);
  EXPECT_EQ(DumpValues(*alice),
            (Strings{"name BSTR:Alice Anderson", "objectGUID BYTES:01010000000000000000000000000000",
                     "objectSid BYTES:010500000000000515000000dcf4dc3b833d2b46828ba6284d040000", "PrimaryGroupID I4:513",
                     "MAIL BSTR:alice@example.test", "proxyAddresses BSTR:SMTP:alice@example.test",
                     "proxyAddresses BSTR:smtp:alice.anderson@example.test", "proxyAddresses BSTR:smtp:aa@example.test",
                     "proxyAddresses BSTR:SIP:alice@example.test",
                     "proxyAddresses BSTR:X500:/o=Example/ou=First Administrative Group/cn=Recipients/cn=alice",
                     "memberOf BSTR:cn=Engineering Backend,ou=Groups,dc=example,dc=test",
                     "distinguishedName BSTR:" + Narrow(kAliceDn)}));
  EXPECT_EQ(DumpValues(*Read(backend, L"ou=People,dc=example,dc=test", {L"hasSubordinates"})),
            Strings{"hasSubordinates BOOL:TRUE"});
  // A DN with an escaped '/' and one with an escaped ',' come back as the
  // server spells them.
  EXPECT_EQ(Read(backend, L"cn=Grace Lee\\2fContractor,ou=People,dc=example,dc=test", {L"name"})->distinguished_name,
            L"cn=Grace Lee/Contractor,ou=People,dc=example,dc=test");
  EXPECT_EQ(Read(backend, L"<GUID=01010000000000000000000000000000>", {L"name"})->distinguished_name, kAliceDn);
  const auto found = backend.SearchOne(DirectoryPath::Parse(L"GC://dc=example,dc=test"),
                                       L"(msRTCSIP-PrimaryUserAddress=sip:alice@example.test)", {L"objectGUID"},
                                       kDirectoryScopeSubtree);
  EXPECT_EQ(DumpValues(*found), Strings{"objectGUID BYTES:01010000000000000000000000000000"});
}

// Each failure as the Linux build reports it: the same code, the server.
TEST_F(Wldap32Backend, ReportsFailuresWithTheCodesOfTheLinuxBuild) {
  const std::string closed = std::string(kHost) + ":" + Server().closed_port;
  const std::tuple<const char*, std::string, std::string, std::wstring, int> cases[] = {
      // What, servers, settings file's password file, object, code.
      {"no such object", Server().host_port, Server().password_file, L"cn=Nobody,ou=People,dc=example,dc=test",
       kDirectoryNotFound},
      {"not a DN the server takes", Server().host_port, Server().password_file, L"unknownType=x,dc=example,dc=test",
       kDirectoryInvalidPath},
      // wine's ldap_connect succeeds against a closed port; the bind fails.
      {"nothing listens", closed, Server().password_file, kAliceDn, kDirectoryServerDown},
      {"refused credentials", Server().host_port, Server().ca_file, kAliceDn, kDirectoryAuthFailed},
  };
  for (const auto& [what, servers, password_file, object, code] : cases) {
    SCOPED_TRACE(what);
    ScopedSettings settings(Settings(servers, "", password_file));
    LdapBackend backend;
    const CDirectoryException error = DirectoryFailure([&] { Read(backend, object, {L"name"}); });
    EXPECT_EQ(error.GetErrorCode(), code) << Narrow(error.GetErrorMsgEx().str());
    EXPECT_EQ(ContextOf(error, L"server"), Wide(servers));
  }
}

// wldap32 trusts the Windows store; a CA file is honoured through the
// session's certificate callback. Where wldap32 has none (wine's), the
// connection is refused rather than trusted unchecked.
TEST_F(Wldap32Backend, TlsWithACaFileNeverTrustsAnotherCa) {
  const std::string tls_server = std::string(kHost) + ":" + Server().tls_port;
  const std::tuple<const char*, std::string> cases[] = {{"ldaps", tls_server}, {"starttls", Server().host_port}};
  for (const auto& [mode, server] : cases) {
    SCOPED_TRACE(mode);
    ScopedSettings settings(Settings(server, std::string("Tls = \"") + mode + "\"\nCaFile = \"" +
                                                 Server().other_ca_file + "\"\nVerifyCertificate = true\n"));
    LdapBackend backend;
    const CDirectoryException error = DirectoryFailure([&] { Read(backend, kAliceDn, {L"name"}); });
    EXPECT_EQ(error.GetErrorCode(), kDirectoryTlsFailed) << Narrow(error.GetErrorMsgEx().str());
  }
}

// The callback's decision itself, on the server's certificate: trusted when
// it chains to the file's CA and names the host (an address against the
// certificate's addresses, as libldap checks on Linux), never otherwise.
TEST_F(Wldap32Backend, CertificateCheckTrustsTheFilesCaForTheNamedHostOnly) {
  const platform::ldap::win::StorePtr store = platform::ldap::win::LoadCaFile(Server().server_certificate);
  ASSERT_NE(store, nullptr);
  const platform::ldap::win::CertificatePtr certificate(CertEnumCertificatesInStore(store.get(), nullptr));
  ASSERT_NE(certificate, nullptr);
  const std::tuple<std::string, const wchar_t*, bool> cases[] = {
      {Server().ca_file, L"127.0.0.1", true},      {Server().ca_file, L"localhost", true},
      {Server().ca_file, L"LOCALHOST", true},      {Server().other_ca_file, L"127.0.0.1", false},
      {Server().ca_file, L"127.0.0.2", false},     {Server().ca_file, L"wrong.example.test", false},
      {Server().ca_file, L"::1", false},           {"Z:/no/such/ca.pem", L"127.0.0.1", false},
  };
  for (const auto& [ca_file, host, trusted] : cases) {
    EXPECT_EQ(platform::ldap::win::IsTrustedByCaFile(certificate.get(), ca_file, host), trusted)
        << ca_file << " " << Narrow(host);
  }
}

// A connection stays usable between searches, plain and over ldaps
// without certificate checking, and one to a closed port reports the
// server down at the bind. (Over wine's TLS the answers stay small: its
// wldap32 never returns a large one, such as the schema, over TLS.)
TEST_F(Wldap32Backend, ConnectionsReportWhatTheirServerDid) {
  namespace ldap = platform::ldap;
  ldap::SearchRequest request;
  request.base = "dc=example,dc=test";
  request.scope = ldap::Scope::kSubtree;
  request.filter = "(cn=Alice Anderson)";
  request.attributes = {"cn"};
  ldap::ConnectOptions options;
  const std::string uris[] = {"ldap://" + Server().host_port, "ldaps://" + std::string(kHost) + ":" + Server().tls_port};
  for (const std::string& uri : uris) {
    SCOPED_TRACE(uri);
    options.uri = uri;
    options.verify_certificate = false;
    std::unique_ptr<ldap::Connection> connection;
    ASSERT_TRUE(ldap::Connection::Open(options, &connection).ok());
    ASSERT_TRUE(connection->SimpleBind("", "").ok());
    request.filter = "(cn=Alice Anderson)";
    for (int round = 0; round < 2; ++round) {
      std::vector<ldap::Entry> entries;
      ASSERT_TRUE(connection->Search(request, &entries).ok()) << round;
      ASSERT_EQ(entries.size(), 1u);
      EXPECT_EQ(entries[0].dn, Narrow(kAliceDn));
      EXPECT_TRUE(connection->IsAlive()) << round;
    }
    request.filter = "(cn=Alice";
    std::vector<ldap::Entry> entries;
    EXPECT_EQ(connection->Search(request, &entries).code, ldap::kFilterError);
    EXPECT_TRUE(connection->IsAlive()) << "a refused request leaves the connection usable";
  }

  options.uri = "ldap://" + std::string(kHost) + ":" + Server().closed_port;
  std::unique_ptr<ldap::Connection> nowhere;
  ldap::Status status = ldap::Connection::Open(options, &nowhere);
  if (status.ok()) status = nowhere->SimpleBind("", "");
  EXPECT_EQ(status.code, ldap::kServerDown) << status.text << ": " << status.diagnostic;
}

}  // namespace
}  // namespace directory
