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
// The same reads as on Linux give the same values and the same error codes;
// searches carry their controls and run several at once; the Kerberos bind
// (Negotiate, as the service's own account) through the operation table.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "platform/directory.h"
#include "platform/directory/directory_error.h"
#include "platform/directory/directory_object.h"
#include "platform/ascii.h"
#include "platform/directory/directory_config.h"
#include "platform/directory/directory_path.h"
#include "platform/directory/ldap_backend.h"
#include "platform/directory/ldap_schema_reader.h"
#include "platform/kerberos.h"
#include "platform/ldap_api.h"
#include "platform/ldap_api_hook.h"
#include "platform/utf8.h"
#include "platform/win/server_certificate_win.h"
#include "testing/ldap_operations.h"
#include "tests/support/directory_failure.h"
#include "tests/support/directory_values.h"
#include "tests/support/sample_records.h"
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
  const auto alice = Read(backend, kAliceDn, userpolicy::testing::SampleAliceAttributes());
  EXPECT_EQ(alice->distinguished_name, kAliceDn);
  EXPECT_EQ(DumpValues(*alice), userpolicy::testing::SampleAliceValues());
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

// Server controls reach the server (the schema reader's values return
// filter keeps only the definitions asked for), and more searches than are
// sent at once each get their own answer.
TEST_F(Wldap32Backend, SearchesCarryTheirControlsAndRunManyAtOnce) {
  namespace ldap = platform::ldap;
  ldap::ConnectOptions options;
  options.uri = "ldap://" + Server().host_port;
  std::unique_ptr<ldap::Connection> connection;
  ASSERT_TRUE(ldap::Connection::Open(options, &connection).ok());
  ASSERT_TRUE(connection->SimpleBind("", "").ok());

  ldap::SearchRequest schema;
  schema.base = "cn=Subschema";
  schema.filter = "(objectClass=subschema)";
  schema.attributes = {"attributeTypes"};
  const auto definitions = [&] {
    std::vector<ldap::Entry> entries;
    const ldap::Status status = connection->Search(schema, &entries);
    EXPECT_TRUE(status.ok()) << status.text << ": " << status.diagnostic;
    return entries.size() == 1 && entries[0].attributes.size() == 1 ? entries[0].attributes[0].values
                                                                     : std::vector<std::string>{};
  };
  EXPECT_GT(definitions().size(), 200u);
  const std::vector<std::string> names = {"mail", "objectGUID", "memberOf"};
  schema.controls = {{ldap_backend_internal::kValuesReturnFilterOid,
                      ldap_backend_internal::EncodeValuesReturnFilter("attributeTypes", names), false}};
  const std::vector<std::string> filtered = definitions();
  ASSERT_EQ(filtered.size(), names.size());
  for (const std::string& name : names) {
    EXPECT_EQ(std::count_if(filtered.begin(), filtered.end(),
                            [&](const std::string& definition) {
                              return definition.find("'" + name + "'") != std::string::npos;
                            }),
              1)
        << name;
  }

  // Every third names no entry.
  const std::vector<ldap::SearchRequest> requests =
      userpolicy::testing::EveryThirdMissingReads(ldap::Connection::kMaxOutstanding + 8);
  std::vector<ldap::SearchOutcome> outcomes;
  connection->SearchAll(requests, &outcomes);
  userpolicy::testing::ExpectEveryThirdMissingAnswered(requests, outcomes);
  EXPECT_TRUE(connection->IsAlive());
}

// The account this program runs as, by its plain name ("user").
std::string OwnUserName() {
  wchar_t name[256] = {};
  DWORD size = static_cast<DWORD>(std::size(name));
  return GetUserNameW(name, &size) ? Narrow(name) : "";
}

// The Kerberos bind operation, replaced: it records what it was asked for
// and answers as the test says.
struct NegotiateScript {
  platform::ldap::Status status;  // what the bind returns
  int ssf = 0;                    // on success
  std::string identity;           // on success; empty: the credentials' account
};
NegotiateScript g_script;
int g_binds = 0;
int g_asked_ssf = 0;
std::string g_asked_principal;

platform::ldap::Status ScriptedNegotiate(platform::ldap::NativeSession*,
                                         const platform::ldap::KerberosBindRequest& request,
                                         platform::ldap::Authentication* established) {
  ++g_binds;
  g_asked_ssf = request.minimum_ssf;
  g_asked_principal = request.credentials->principal();
  if (!g_script.status.ok()) return g_script.status;
  established->ssf = g_script.ssf;
  established->identity = g_script.identity.empty() ? request.credentials->principal() : g_script.identity;
  return {};
}

std::string GssapiSettings(const std::string& extra = "") {
  return Settings(Server().host_port, "BindMethod = \"gssapi\"\n" + extra);
}

// Windows has no keytab: "gssapi" binds as the account the service runs as,
// and a KeytabFile or Principal (an identity the bind cannot take) is one
// error naming the key.
TEST_F(Wldap32Backend, GssapiBindsAsTheServicesOwnAccountWithoutAKeytab) {
  EXPECT_FALSE(platform::kerberos::CredentialsFromKeytab());
  const std::string user = platform::AsciiLowercase(OwnUserName());
  ASSERT_FALSE(user.empty());
  const struct {
    std::string extra;
    const char* problem;  // in the bind problem; nullptr: usable
  } cases[] = {
      {"", nullptr},
      {"MinimumSsf = 256\n", nullptr},
      {"KeytabFile = \"C:/svc.keytab\"\n", "] KeytabFile (line 10) is not used on this system"},
      {"Principal = \"svc@EXAMPLE.TEST\"\n", "] Principal (line 10) is not used on this system"},
      {"MinimumSsf = 0\n", "] MinimumSsf (line 10) must be an integer from 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.extra);
    ScopedSettings settings(GssapiSettings(c.extra));
    const DirectoryConfig config = DirectoryConfig::Load();
    std::string principal;
    std::wstring problem;
    const bool usable = CheckBindSettings(config, &principal, &problem);
    if (c.problem == nullptr) {
      ASSERT_TRUE(usable) << Narrow(problem);
      // "user@REALM" or "DOMAIN\user".
      const std::string account = platform::AsciiLowercase(principal);
      EXPECT_TRUE(account.rfind(user + "@", 0) == 0 ||
                  (account.size() > user.size() && account.substr(account.size() - user.size() - 1) == "\\" + user))
          << principal;
    } else {
      EXPECT_FALSE(usable);
      EXPECT_NE(Narrow(problem).find(c.problem), std::string::npos) << Narrow(problem);
    }
  }
  // A keytab handed over by the host (the C interface, upm --keytab) is
  // refused the same way.
  std::string found;
  std::string why;
  EXPECT_FALSE(platform::kerberos::FindKeytabPrincipal("C:/svc.keytab", "", &found, &why));
  EXPECT_NE(why.find("keytab files are not used on this system"), std::string::npos) << why;
}

// What the backend makes of each outcome of the Negotiate bind: a bind that
// asked for the configured strength as the service's account, the strength
// and identity checked, each failure its own error.
TEST_F(Wldap32Backend, NegotiateBindsAreCheckedAndEachFailureSaysWhy) {
  namespace ldap = platform::ldap;
  ldap::Operations operations = ldap::testing::DefaultOperations();
  operations.kerberos_bind = &ScriptedNegotiate;
  ldap::testing::ScopedOperations install(operations);
  const ldap::Status ok;
  const auto failure = [](int code) { return ldap::Status{code, ldap::ResultText(code), "", false}; };
  const struct {
    const char* what;
    NegotiateScript script;
    int code;             // 0: Alice is read
    const char* message;  // in the error's message
  } cases[] = {
      {"sealed", {ok, 256, ""}, 0, ""},
      {"signed only", {ok, 1, ""}, kDirectoryAuthFailed, "(SSF 1) is weaker than the minimum 56"},
      {"neither", {ok, 0, ""}, kDirectoryAuthFailed, "(SSF 0) is weaker than the minimum 56"},
      {"another account", {ok, 256, "OTHER\\intruder"}, kDirectoryAuthFailed, "authenticated 'OTHER\\intruder', not"},
      {"no Negotiate", {failure(ldap::kAuthUnknown), 0, ""}, kDirectoryAuthFailed, "Negotiate security package"},
      {"signing required", {failure(ldap::kStrongerAuthRequired), 0, ""}, kDirectoryAuthFailed,
       "raise MinimumSsf"},
      {"server gone", {failure(ldap::kServerDown), 0, ""}, kDirectoryServerDown, ""},
  };
  const std::string user = platform::AsciiLowercase(OwnUserName());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedSettings settings(GssapiSettings("MinimumSsf = 56\n"));
    g_script = c.script;
    g_binds = 0;
    LdapBackend backend;
    if (c.code == 0) {
      EXPECT_EQ(Read(backend, kAliceDn, {L"name"})->distinguished_name, kAliceDn);
    } else {
      const CDirectoryException error = DirectoryFailure([&] { Read(backend, kAliceDn, {L"name"}); });
      EXPECT_EQ(error.GetErrorCode(), c.code) << Narrow(error.GetErrorMsgEx().str());
      EXPECT_NE(Narrow(error.GetErrorMsg().str()).find(c.message), std::string::npos)
          << Narrow(error.GetErrorMsg().str());
    }
    EXPECT_GE(g_binds, 1);
    EXPECT_EQ(g_asked_ssf, 56);
    EXPECT_NE(platform::AsciiLowercase(g_asked_principal).find(user), std::string::npos) << g_asked_principal;
  }
}

// The real Negotiate bind: wine's wldap32 takes neither LDAP_OPT_SIGN nor
// LDAP_OPT_ENCRYPT, so the bind is refused before anything is sent, saying
// why, and the connection stays as it was (anonymous, usable).
TEST_F(Wldap32Backend, NegotiateBindIsNeverMadeWithoutSigningAndSealing) {
  namespace ldap = platform::ldap;
  std::shared_ptr<const platform::kerberos::ClientCredentials> credentials;
  std::string problem;
  ASSERT_TRUE(platform::kerberos::ClientCredentials::Acquire("", "", &credentials, &problem)) << problem;
  ldap::ConnectOptions options;
  options.uri = "ldap://" + Server().host_port;
  std::unique_ptr<ldap::Connection> connection;
  ASSERT_TRUE(ldap::Connection::Open(options, &connection).ok());
  ldap::KerberosBindRequest request;
  request.credentials = credentials.get();
  const ldap::Status status = connection->KerberosBind(request);
  EXPECT_EQ(status.code, ldap::kLocalError) << status.text;
  EXPECT_NE(status.diagnostic.find("cannot sign and seal a Negotiate bind (LDAP_OPT_SIGN: "), std::string::npos)
      << status.diagnostic;
  EXPECT_EQ(connection->authentication().method, ldap::Authentication::Method::kAnonymous);
  EXPECT_EQ(connection->authentication().ssf, 0);
  ldap::SearchRequest alice;
  alice.base = Narrow(kAliceDn);
  std::vector<ldap::Entry> entries;
  EXPECT_TRUE(connection->Search(alice, &entries).ok());
  EXPECT_EQ(entries.size(), 1u);
  EXPECT_TRUE(connection->IsAlive());
}

}  // namespace
}  // namespace directory
