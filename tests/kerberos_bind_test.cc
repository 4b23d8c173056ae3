// Kerberos binds from a keytab against a Samba domain controller with its
// own KDC that requires strong authentication, as a hardened domain does: a
// simple bind refused with an error that says how to bind; the GSSAPI bind
// signed or sealed as the service principal, and every end-to-end
// resolution as the directory says; the clear error of a wrong keytab, a
// principal not in it, a KDC that does not answer, a server named by
// address, a missing SASL mechanism and a server that wants more (the last
// two through the LDAP seam); a ticket that ends during a run renewed from
// the keytab; nothing secret in the log at trace level.
//
// The program re-runs itself under nss_wrapper, so that the controller's
// host name resolves (local_directories/nss_wrapper.h), and points
// KRB5_CONFIG at the controller's krb5.conf, as a host would.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "local_directories/directory_tools.h"
#include "local_directories/nss_wrapper.h"
#include "local_directories/samba_dc.h"
#include "platform/directory/directory_config.h"
#include "platform/directory/directory_error.h"
#include "platform/directory/directory_path.h"
#include "platform/directory/ldap_backend.h"
#include "platform/directory/ldap_kerberos_bind.h"
#include "platform/kerberos.h"
#include "platform/ldap_api.h"
#include "platform/utf8.h"
#include "testing/fake_clock.h"
#include "testing/ldap_operations.h"
#include "testing/log_capture.h"
#include "tests/support/directory_failure.h"
#include "tests/support/end_to_end.h"
#include "tests/support/keytab_file.h"
#include "tests/support/run_all_tests.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/scoped_settings_file.h"

namespace directory {
namespace {

namespace ldap = platform::ldap;
using userpolicy::local_directories::SambaDomainController;
using userpolicy::local_directories::SambaOptions;
using userpolicy::testing::ScopedEnvironment;
using userpolicy::testing::ScopedSettingsFile;

// Tickets of a few minutes: this KDC refuses service tickets from shorter
// ones, and the renewal case moves the library's clock instead of waiting.
constexpr std::chrono::seconds kTicketLifetime{400};

class StrongAuthDomain : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!SambaDomainController::Available()) FAIL() << "the Samba AD DC packages are not installed; run ./run deps";
    SambaOptions options;
    options.require_strong_auth = true;
    options.ticket_lifetime = kTicketLifetime;
    try {
      dc_ = SambaDomainController::Start(options);
    } catch (const std::exception& e) {
      FAIL() << "cannot start the domain controller: " << e.what();
    }
    // The host's Kerberos configuration, as a service's environment holds it.
    environment_.emplace(ScopedEnvironment::Values{{"KRB5_CONFIG", dc_->krb5_conf()}});
  }
  void TearDown() override {
    environment_.reset();
    dc_.reset();
  }
  const SambaDomainController* dc() const { return dc_.get(); }

 private:
  std::unique_ptr<SambaDomainController> dc_;
  std::optional<ScopedEnvironment> environment_;
};

StrongAuthDomain* const g_domain = static_cast<StrongAuthDomain*>(
    ::testing::AddGlobalTestEnvironment(std::make_unique<StrongAuthDomain>().release()));

std::string Narrow(std::wstring_view text) { return platform::WideToUtf8(text); }

using userpolicy::testing::DirectoryFailure;

class KerberosBindTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(g_domain->dc(), nullptr) << "no domain controller"; }
  const SambaDomainController& dc() const { return *g_domain->dc(); }

  // [DirectoryAccess.DEFAULT] for a Kerberos bind to `server` (default: the
  // controller's Global Catalog by host name), with `extra` lines.
  std::string KerberosSettings(const std::string& extra = "", const std::string& server = "") const {
    return "[DirectoryAccess.DEFAULT]\nGlobalCatalogServers = \"" +
           (server.empty() ? dc().gc_host_name_port() : server) + "\"\nBindMethod = \"gssapi\"\nKeytabFile = \"" +
           dc().keytab_file() + "\"\n" + extra;
  }
  std::shared_ptr<const DirectoryObject> ReadAlice(LdapBackend& backend) const {
    return backend.ReadObject(
        DirectoryPath::Parse(platform::Utf8ToWide("GC://" + dc().gc_host_name_port() + "/CN=Alice Archer," +
                                                  dc().test_ou())),
        {L"mail"});
  }
};

TEST_F(KerberosBindTest, SimpleBindsAreRefusedWithAnErrorThatSaysHowToBind) {
  ScopedSettingsFile settings(userpolicy::testing::DirectorySettings(dc().gc_host_name_port(), dc().service_dn(),
                                                                     dc().service_password_file()));
  LdapBackend backend;
  const CDirectoryException error = DirectoryFailure([&] { ReadAlice(backend); });
  EXPECT_EQ(error.GetErrorCode(), kDirectoryAuthFailed);
  const std::string text = Narrow(error.GetErrorMsgEx().str());
  EXPECT_NE(text.find("requires a signed or sealed connection"), std::string::npos) << text;
  EXPECT_NE(text.find("BindMethod = \"gssapi\""), std::string::npos) << text;
  EXPECT_NE(text.find("ldap=8 "), std::string::npos) << text;
}

// At the trace level the log shows every step, and still no key of the
// keytab (as bytes or in hex) and no password.
TEST_F(KerberosBindTest, EveryUserResolvesAsTheDirectorySaysAndNoSecretReachesTheLog) {
  ScopedSettingsFile settings(KerberosSettings());
  DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
  userpolicy::testing::ExpectColdAndWarmPassesAsTheDirectorySays(dc(), dc().test_ou(), 4);

  std::vector<std::string> secrets = {userpolicy::local_directories::ReadFile(dc().service_password_file())};
  for (const std::string& key : userpolicy::testing::KeytabKeys(dc().keytab_file())) {
    secrets.push_back(key);
    secrets.push_back(userpolicy::testing::DirectoryTruth::Hex(key));
  }
  ASSERT_GE(secrets.size(), 3u);
  ASSERT_TRUE(capture.ContainsSubstring(DBG::kLevelData, "with Kerberos as " + dc().service_principal()));
  for (const DBG::LogRecord& record : capture.records()) {
    for (const std::string& secret : secrets) {
      EXPECT_EQ(record.message.find(secret), std::string::npos) << record.message;
    }
  }
}

TEST_F(KerberosBindTest, BindsAreSignedOrSealedAsTheServicePrincipalAndSaySo) {
  std::shared_ptr<const platform::kerberos::ClientCredentials> credentials;
  std::string problem;
  ASSERT_TRUE(platform::kerberos::ClientCredentials::Acquire(dc().keytab_file(), dc().service_principal(),
                                                            &credentials, &problem))
      << problem;
  EXPECT_EQ(credentials->principal(), dc().service_principal());
  EXPECT_GT(credentials->expires_at(), credentials->acquired_at());
  EXPECT_LE(credentials->expires_at() - credentials->acquired_at(), kTicketLifetime.count());
  // The least strength asked for, and the least the server gave.
  const std::pair<int, int> strengths[] = {{1, 1}, {56, 56}, {256, 256}};
  for (const auto& [minimum, at_least] : strengths) {
    ldap::ConnectOptions options;
    options.uri = "ldap://" + dc().gc_host_name_port();
    std::unique_ptr<ldap::Connection> connection;
    ASSERT_TRUE(ldap::Connection::Open(options, &connection).ok());
    ldap::KerberosBindRequest request;
    request.credentials = credentials.get();
    request.minimum_ssf = minimum;
    const ldap::Status status = connection->KerberosBind(request);
    ASSERT_TRUE(status.ok()) << status.text << ": " << status.diagnostic;
    const ldap::Authentication& established = connection->authentication();
    EXPECT_EQ(established.method, ldap::Authentication::Method::kKerberos);
    EXPECT_EQ(established.identity, dc().service_principal());
    EXPECT_GE(established.ssf, at_least) << minimum;
    EXPECT_EQ(established.valid_until, credentials->expires_at());
    std::vector<ldap::Entry> entries;
    ldap::SearchRequest base;
    base.filter = "(objectClass=*)";
    base.attributes = {"dnsHostName"};
    EXPECT_TRUE(connection->Search(base, &entries).ok());
    EXPECT_EQ(entries.size(), 1u);
  }
  // The backend logs what each new connection established, at the data level.
  ScopedSettingsFile settings(KerberosSettings("MinimumSsf = 56\n"));
  DBG::testing::ScopedLogCapture capture(DBG::Severity::kInfo);
  LdapBackend backend;
  EXPECT_NE(ReadAlice(backend), nullptr);
  EXPECT_TRUE(capture.ContainsSubstring(DBG::kLevelData, "bound to " + dc().gc_host_name_port() +
                                                             " with Kerberos as " + dc().service_principal() +
                                                             ", security strength factor 256 (sealed)"));
}

// Operation table hooks: count Kerberos binds, fail the next ones with a
// made-up status, and drop the next search as a lost connection would.
struct BindHooks {
  std::atomic<int> binds{0};
  std::atomic<int> fail_binds{0};
  ldap::Status failure;
  std::atomic<int> drop_searches{0};
} g_hooks;

ldap::Status CountedKerberosBind(ldap::NativeSession* session, const ldap::KerberosBindRequest& request,
                                 ldap::Authentication* established) {
  ++g_hooks.binds;
  if (g_hooks.fail_binds > 0) {
    --g_hooks.fail_binds;
    return g_hooks.failure;
  }
  return ldap::testing::DefaultOperations().kerberos_bind(session, request, established);
}

ldap::Status DroppingSearch(ldap::NativeSession* session, const ldap::SearchRequest& request, int* id) {
  if (g_hooks.drop_searches > 0) {
    --g_hooks.drop_searches;
    return ldap::Status{ldap::kServerDown, ldap::ResultText(ldap::kServerDown), "dropped by the test", false};
  }
  return ldap::testing::DefaultOperations().search(session, request, id);
}

ldap::Operations Hooked(int fail_binds = 0, ldap::Status failure = {}) {
  g_hooks.binds = 0;
  g_hooks.fail_binds = fail_binds;
  g_hooks.failure = std::move(failure);
  g_hooks.drop_searches = 0;
  ldap::Operations operations = ldap::testing::DefaultOperations();
  operations.kerberos_bind = &CountedKerberosBind;
  operations.search = &DroppingSearch;
  return operations;
}

// (A principal the keytab holds no keys of is ldap_backend_test's, checked
// before any bind.)
TEST_F(KerberosBindTest, EachFailureGivesItsOwnClearError) {
  const std::filesystem::path dir = std::filesystem::path(dc().work_dir()) / "failures";
  std::filesystem::create_directories(dir);
  // Keys the KDC does not know, for the service principal.
  const std::string foreign_keytab = (dir / "foreign.keytab").string();
  userpolicy::testing::WriteKeytab(foreign_keytab, {dc().service_principal()});
  // A Kerberos configuration whose KDC does not answer.
  const std::string no_kdc_conf = (dir / "no-kdc.conf").string();
  std::string conf = userpolicy::local_directories::ReadFile(dc().krb5_conf());
  conf.replace(conf.find("kdc = 127.0.0.1"), std::string("kdc = 127.0.0.1").size(),
               "kdc = 127.0.0.1:" + std::to_string(userpolicy::local_directories::PickFreeLoopbackPort()));
  std::ofstream(no_kdc_conf) << conf;
  const std::string ip_server = "127.0.0.1:3268";

  struct Case {
    std::string what;
    std::string settings;
    std::optional<std::string> krb5_conf;  // else the controller's
    ldap::Status bind_failure;             // code 0: the real bind
    int code;
    std::string says;
  };
  const ldap::Status no_mechanism{ldap::kAuthUnknown, ldap::ResultText(ldap::kAuthUnknown),
                                  "SASL(-4): no mechanism available: No worthy mechs found", false};
  const ldap::Status wants_more{ldap::kStrongerAuthRequired, ldap::ResultText(ldap::kStrongerAuthRequired),
                                "the server wants sealing", false};
  const std::vector<Case> cases = {
      {"wrong keytab",
       "[DirectoryAccess.DEFAULT]\nGlobalCatalogServers = \"" + dc().gc_host_name_port() +
           "\"\nBindMethod = \"gssapi\"\nKeytabFile = \"" + foreign_keytab + "\"\n",
       std::nullopt, {}, kDirectoryAuthFailed,
       "cannot get Kerberos credentials for " + dc().service_principal() + " with the keytab " + foreign_keytab},
      {"KDC not answering", KerberosSettings(), no_kdc_conf, {}, kDirectoryAuthFailed,
       "Cannot contact any KDC for realm 'USERPOLICY.TEST'"},
      {"server named by address", KerberosSettings("", ip_server), std::nullopt, {}, kDirectoryAuthFailed,
       "to ldap/127.0.0.1 at 127.0.0.1:3268 failed: Server not found in Kerberos database (the server's account "
       "needs the servicePrincipalName ldap/127.0.0.1"},
      {"no SASL mechanism", KerberosSettings(), std::nullopt, no_mechanism, kDirectoryAuthFailed,
       "install libsasl2-modules-gssapi-mit"},
      {"server wants more", KerberosSettings(), std::nullopt, wants_more, kDirectoryAuthFailed,
       "requires a stronger security layer than MinimumSsf = 1 asks for: raise MinimumSsf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedSettingsFile settings(c.settings);
    ScopedEnvironment environment({{"KRB5_CONFIG", c.krb5_conf.value_or(dc().krb5_conf())}});
    ldap::testing::ScopedOperations hooks(Hooked(c.bind_failure.code != 0 ? 1 : 0, c.bind_failure));
    LdapBackend backend;
    const std::string server = c.settings.find(ip_server) != std::string::npos ? ip_server : dc().gc_host_name_port();
    const CDirectoryException error = DirectoryFailure([&] {
      backend.ReadObject(DirectoryPath::Parse(platform::Utf8ToWide("GC://" + server + "/" + dc().test_ou())), {});
    });
    EXPECT_EQ(error.GetErrorCode(), c.code);
    const std::string text = Narrow(error.GetErrorMsg().str());
    EXPECT_NE(text.find(c.says), std::string::npos) << text;
  }
}

TEST_F(KerberosBindTest, ATicketThatEndsDuringARunIsRenewedFromTheKeytab) {
  ScopedSettingsFile settings(KerberosSettings());
  ldap::testing::ScopedOperations hooks(Hooked());
  platform::testing::ScopedFakeClock clock;
  DBG::testing::ScopedLogCapture capture(DBG::Severity::kInfo);
  LdapBackend backend;
  ASSERT_NE(ReadAlice(backend), nullptr);
  ASSERT_NE(ReadAlice(backend), nullptr);
  EXPECT_EQ(g_hooks.binds, 1);  // the second read reused the connection
  EXPECT_TRUE(capture.ContainsSubstring(DBG::kLevelData, "got Kerberos credentials of " + dc().service_principal()));

  // Past the ticket's end by the library's clock: the pooled connection is
  // replaced, the credentials renewed from the keytab (a real exchange with
  // the KDC), and the read succeeds.
  clock.Advance(kTicketLifetime.count());
  EXPECT_NE(ReadAlice(backend), nullptr);
  EXPECT_EQ(g_hooks.binds, 2);
  EXPECT_TRUE(
      capture.ContainsSubstring(DBG::kLevelData, "renewed the Kerberos credentials of " + dc().service_principal()));

  // A bind that fails for a Kerberos reason (a ticket that ended early by
  // the server's clock) with credentials a while old renews them and binds
  // once more: here on the fresh connection that replaces a dropped one.
  clock.Advance(ldap_backend_internal::KerberosLogin::kMinimumAgeForRenewal);
  g_hooks.failure = ldap::Status{ldap::kLocalError, ldap::ResultText(ldap::kLocalError),
                                 "SASL(-1): generic failure: GSSAPI Error: Unspecified GSS failure.  Minor code may "
                                 "provide more information (Ticket expired)",
                                 false};
  g_hooks.fail_binds = 1;
  g_hooks.drop_searches = 1;
  capture.Clear();
  EXPECT_NE(ReadAlice(backend), nullptr);
  EXPECT_EQ(g_hooks.binds, 4);
  EXPECT_TRUE(capture.ContainsSubstring(DBG::kLevelWarning, "failed (Ticket expired); renewing the credentials"));
  EXPECT_TRUE(capture.ContainsSubstring(DBG::kLevelData, "renewed the Kerberos credentials"));
}

// upm binds with Kerberos from its options alone (the settings name only
// the server), and discover shows the bind: method, identity and strength.
TEST_F(KerberosBindTest, UpmBindsWithTheKeytabItIsGivenAndDiscoverShowsTheBind) {
  ScopedSettingsFile settings("[DirectoryAccess.DEFAULT]\nGlobalCatalogServers = \"" + dc().gc_host_name_port() +
                              "\"\n");
  const auto upm = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {UPM_PROGRAM, "--config", settings.path()});
    return userpolicy::local_directories::RunProgram(args);
  };
  const auto discover = upm({"--bind", "gssapi", "--keytab", dc().keytab_file(), "discover"});
  EXPECT_EQ(discover.exit_code, 0) << discover.err;
  EXPECT_NE(discover.out.find("bind to " + dc().gc_host_name_port() + ": gssapi as " + dc().service_principal() +
                              ", security strength factor 256 (sealed)"),
            std::string::npos)
      << discover.out;

  const auto guids = upm({"--bind", "gssapi", "--keytab", dc().keytab_file(), "--principal",
                          dc().service_principal(), "guids", "sip:alice@userpolicy.test"});
  EXPECT_EQ(guids.exit_code, 0) << guids.err;
  EXPECT_GE(std::count(guids.out.begin(), guids.out.end(), '\n'), 3) << guids.out;

  // --bind simple takes the settings' BindDN and password, which this
  // controller refuses without signing.
  settings.Rewrite(userpolicy::testing::DirectorySettings(dc().gc_host_name_port(), dc().service_dn(),
                                                          dc().service_password_file()) +
                   "BindMethod = \"gssapi\"\nKeytabFile = \"" + dc().keytab_file() + "\"\n");
  const auto simple = upm({"--bind", "simple", "guids", "sip:alice@userpolicy.test"});
  EXPECT_EQ(simple.exit_code, 3) << simple.out;
  EXPECT_NE(simple.err.find("requires a signed or sealed connection"), std::string::npos) << simple.err;

  const auto no_keytab = upm({"--bind", "gssapi", "--keytab", dc().work_dir() + "/none.keytab", "discover"});
  EXPECT_EQ(no_keytab.exit_code, 4);
  EXPECT_NE(no_keytab.err.find("keytab: cannot open the keytab " + dc().work_dir() + "/none.keytab"),
            std::string::npos)
      << no_keytab.err;
}

}  // namespace
}  // namespace directory

int main(int argc, char** argv) {
  userpolicy::local_directories::RunUnderNssWrapper(
      argv, userpolicy::local_directories::SambaDomainController::HostsLines());
  return userpolicy::testing::RunAllTests(argc, argv);
}
