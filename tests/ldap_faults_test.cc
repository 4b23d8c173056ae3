// The LDAP backend when things go wrong: a stopped, restarted or stalled
// (SIGSTOP) slapd, failover to a second server, refused credentials, TLS
// with an unknown and with the configured CA, connections that die in the
// pool (through the operation table), and the pool under many threads.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/crt.h"
#include "platform/directory.h"
#include "platform/directory/directory_config.h"
#include "platform/directory/directory_error.h"
#include "platform/directory/directory_path.h"
#include "platform/directory/ldap_backend.h"
#include "platform/ldap_api_testing.h"
#include "platform/log_testing.h"
#include "platform/settings.h"
#include "tests/support/scoped_settings_file.h"
#include "tests/support/slapd_server.h"

namespace directory {
namespace {

namespace ldap = platform::ldap;
using Clock = std::chrono::steady_clock;
using userpolicy::testing::SlapdOptions;
using userpolicy::testing::SlapdServer;

constexpr wchar_t kAliceDn[] = L"cn=Alice Anderson,ou=People,dc=example,dc=test";
constexpr int kConnectTimeoutMs = 1000;
constexpr int kOperationTimeoutMs = 1000;
// What a call may take beyond its timeouts (scheduling on a busy machine).
constexpr std::chrono::milliseconds kSlack{3000};

// The primary serves ldaps too; the secondary holds the same data.
SlapdServer& Primary() {
  static const std::unique_ptr<SlapdServer> server = [] {
    SlapdOptions options;
    options.tls = true;
    return SlapdServer::Start(options);
  }();
  return *server;
}

SlapdServer& Secondary() {
  static const std::unique_ptr<SlapdServer> server = SlapdServer::Start();
  return *server;
}

std::wstring Wide(std::string_view text) { return platform::Utf8ToWide(text); }
std::string Narrow(std::wstring_view text) { return platform::WideToUtf8(text); }

std::string TempPath(const std::string& stem) {
  static std::atomic<int> counter{0};
  return (std::filesystem::temp_directory_path() /
          ("ldap_faults_test_" + std::to_string(getpid()) + "_" + std::to_string(++counter) + "_" + stem))
      .string();
}

using ScopedSettings = userpolicy::testing::ScopedDirectorySettings;

// Anonymous access to `servers` with short timeouts.
std::string AnonymousSettings(const std::string& servers, const std::string& extra = "") {
  return "GlobalCatalogServers = \"" + servers + "\"\n" + "ConnectTimeoutMs = " + std::to_string(kConnectTimeoutMs) +
         "\n" + "OperationTimeoutMs = " + std::to_string(kOperationTimeoutMs) + "\n" + extra;
}

// The same with the primary's service account (the servers' passwords
// differ).
std::string Settings(const std::string& servers, const std::string& extra = "") {
  return AnonymousSettings(servers, "BindDN = \"" + Primary().service_dn() + "\"\n" + "PasswordFile = \"" +
                                        Primary().service_password_file() + "\"\n" + extra);
}

// Brings a server back however a case ends.
class ScopedRevive {
 public:
  explicit ScopedRevive(SlapdServer* server) : server_(server) {}
  ~ScopedRevive() {
    if (server_->running() && server_->paused()) server_->Resume();
    if (!server_->running()) server_->Restart();
  }
  ScopedRevive(const ScopedRevive&) = delete;
  ScopedRevive& operator=(const ScopedRevive&) = delete;

 private:
  SlapdServer* server_;
};

std::shared_ptr<const DirectoryObject> ReadAlice(LdapBackend& backend, const std::wstring& root = L"GC://") {
  return backend.ReadObject(DirectoryPath::Parse(root + (root == L"GC://" ? L"" : L"/") + kAliceDn),
                            {L"objectGUID", L"name"});
}

// Runs `call`, which must raise a CDirectoryException, and returns it.
template <typename Call>
CDirectoryException Failure(Call&& call) {
  try {
    call();
  } catch (const CDirectoryException& error) {
    return error;
  }
  ADD_FAILURE() << "no CDirectoryException";
  return CDirectoryException(0, "", 0, L"");
}

std::wstring ContextOf(const CDirectoryException& error, const wchar_t* name) {
  const std::wstring* value = error.FindContext(name);
  return value != nullptr ? *value : L"";
}

// Server stopped, restarted, stalled -------------------------------------------

TEST(LdapFaultsTest, StoppedServerFailsQuicklyNamingItAndRecoversWhenRestarted) {
  SlapdServer& server = Primary();
  ScopedRevive revive(&server);
  ScopedSettings settings(Settings(server.host_port()));
  LdapBackend backend;
  ASSERT_EQ(ReadAlice(backend)->distinguished_name, kAliceDn);  // a pooled connection now exists

  server.Stop();
  const Clock::time_point start = Clock::now();
  const CDirectoryException error = Failure([&] { ReadAlice(backend); });
  const auto elapsed = Clock::now() - start;
  EXPECT_EQ(error.GetErrorCode(), kDirectoryServerDown) << Narrow(error.GetErrorMsgEx().str());
  EXPECT_EQ(ContextOf(error, L"server"), Wide(server.host_port()));
  EXPECT_NE(error.GetErrorMsg().str().find(Wide(server.host_port())), std::wstring::npos);
  EXPECT_LT(elapsed, std::chrono::milliseconds(kConnectTimeoutMs) + kSlack);

  server.Restart();
  // The same backend, no restart of the caller: the dead connection is
  // replaced.
  EXPECT_EQ(ReadAlice(backend)->distinguished_name, kAliceDn);
}

TEST(LdapFaultsTest, StalledServerGivesUpWithinTheOperationTimeout) {
  SlapdServer& server = Primary();
  ScopedRevive revive(&server);
  ScopedSettings settings(Settings(server.host_port()));
  LdapBackend pooled;
  ASSERT_EQ(ReadAlice(pooled)->distinguished_name, kAliceDn);

  server.Pause();
  struct Case {
    const char* name;
    LdapBackend* backend;
    std::string server;
  };
  LdapBackend fresh;  // no connection yet: the bind is what stalls
  const std::string tls_server = "127.0.0.1:" + std::to_string(server.tls_port());
  ScopedSettings tls_settings(Settings(tls_server, "Tls = \"ldaps\"\nCaFile = \"" + server.ca_file() + "\"\n"));
  LdapBackend tls;  // the TLS handshake stalls
  const Case cases[] = {{"pooled connection", &pooled, server.host_port()},
                        {"new connection", &fresh, server.host_port()},
                        {"ldaps handshake", &tls, tls_server}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Clock::time_point start = Clock::now();
    const CDirectoryException error = Failure([&] { ReadAlice(*c.backend); });
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(error.GetErrorCode(), kDirectoryTimeout) << Narrow(error.GetErrorMsgEx().str());
    EXPECT_EQ(ContextOf(error, L"server"), Wide(c.server));
    EXPECT_GE(elapsed, std::chrono::milliseconds(std::min(kConnectTimeoutMs, kOperationTimeoutMs)) * 9 / 10);
    EXPECT_LT(elapsed, std::chrono::milliseconds(kConnectTimeoutMs + kOperationTimeoutMs) + kSlack);
  }
  server.Resume();
  for (const Case& c : cases) EXPECT_EQ(ReadAlice(*c.backend)->distinguished_name, kAliceDn) << c.name;
}

TEST(LdapFaultsTest, FailsOverToTheNextServerAlsoFromAPathNamingTheDeadOne) {
  SlapdServer& primary = Primary();
  SlapdServer& secondary = Secondary();
  ScopedRevive revive_primary(&primary);
  ScopedRevive revive_secondary(&secondary);
  ScopedSettings settings(AnonymousSettings(primary.host_port() + ", " + secondary.host_port()));
  LdapBackend backend;
  primary.Stop();
  {
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kWarning);
    EXPECT_EQ(ReadAlice(backend)->distinguished_name, kAliceDn);
    EXPECT_TRUE(capture.ContainsSubstring(DBG::kLevelWarning, "on " + primary.host_port() + " failed"));
  }
  {
    // The failed server now comes last: no new failure to report.
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kWarning);
    EXPECT_EQ(ReadAlice(backend, L"GC://" + Wide(primary.host_port()))->distinguished_name, kAliceDn);
    EXPECT_EQ(capture.Count(DBG::kLevelWarning), 0u);
  }

  secondary.Stop();
  const CDirectoryException error = Failure([&] { ReadAlice(backend); });
  EXPECT_EQ(error.GetErrorCode(), kDirectoryServerDown);
  const std::wstring message = error.GetErrorMsg().str();
  EXPECT_NE(message.find(Wide(primary.host_port())), std::wstring::npos) << Narrow(message);
  EXPECT_NE(message.find(Wide(secondary.host_port())), std::wstring::npos) << Narrow(message);

  primary.Restart();
  secondary.Restart();
  EXPECT_EQ(ReadAlice(backend)->distinguished_name, kAliceDn);
}

// Credentials ------------------------------------------------------------------------

TEST(LdapFaultsTest, WrongPasswordIsRefusedWithoutTheSecretInMessageOrLog) {
  const std::string secret = "Wr0ng-S3cret-q7Zx";
  const std::string password_file = TempPath("password");
  std::ofstream(password_file) << secret << "\n";
  ScopedSettings settings("GlobalCatalogServers = \"" + Primary().host_port() + "\"\nBindDN = \"" +
                          Primary().service_dn() + "\"\nPasswordFile = \"" + password_file + "\"\n");
  DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
  LdapBackend backend;
  const CDirectoryException error = Failure([&] { ReadAlice(backend); });
  std::remove(password_file.c_str());

  EXPECT_EQ(error.GetErrorCode(), kDirectoryAuthFailed);
  const std::string text = Narrow(error.GetErrorMsgEx().str());
  EXPECT_NE(text.find(Primary().host_port()), std::string::npos) << text;
  EXPECT_NE(text.find(Primary().service_dn()), std::string::npos) << text;
  EXPECT_NE(text.find("ldap=49 "), std::string::npos) << text;
  EXPECT_EQ(text.find(secret), std::string::npos) << text;
  ASSERT_GT(capture.records().size(), 0u);
  for (const DBG::LogRecord& record : capture.records()) {
    EXPECT_EQ(record.message.find(secret), std::string::npos) << record.message;
  }
}

TEST(LdapFaultsTest, UnusablePasswordSettingsAreConfigurationErrors) {
  struct Case {
    const char* name;
    std::string extra;
    std::string in_message;
  };
  const Case cases[] = {
      {"unreadable file", "PasswordFile = \"/nonexistent/bind-password\"\n", "/nonexistent/bind-password"},
      {"no file", "", "PasswordFile"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedSettings settings("GlobalCatalogServers = \"" + Primary().host_port() + "\"\nBindDN = \"" +
                            Primary().service_dn() + "\"\n" + c.extra);
    LdapBackend backend;
    const CDirectoryException error = Failure([&] { ReadAlice(backend); });
    EXPECT_EQ(error.GetErrorCode(), kDirectoryConfigError);
    EXPECT_NE(Narrow(error.GetErrorMsg().str()).find(c.in_message), std::string::npos)
        << Narrow(error.GetErrorMsg().str());
  }
}

// TLS --------------------------------------------------------------------------------

TEST(LdapFaultsTest, TlsTrustsOnlyTheConfiguredCa) {
  SlapdServer& server = Primary();
  struct Case {
    const char* name;
    const char* mode;
    int port;
    std::string ca_file;
    bool verify;
    int expected;  // 0: the read succeeds
  };
  const Case cases[] = {
      {"ldaps, unrelated CA", "ldaps", server.tls_port(), server.other_ca_file(), true, kDirectoryTlsFailed},
      {"ldaps, the server's CA", "ldaps", server.tls_port(), server.ca_file(), true, 0},
      {"StartTLS, unrelated CA", "starttls", server.port(), server.other_ca_file(), true, kDirectoryTlsFailed},
      {"StartTLS, the server's CA", "starttls", server.port(), server.ca_file(), true, 0},
      {"ldaps, checking off", "ldaps", server.tls_port(), server.other_ca_file(), false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedSettings settings(Settings("127.0.0.1:" + std::to_string(c.port),
                                     std::string("Tls = \"") + c.mode + "\"\nCaFile = \"" + c.ca_file + "\"\n" +
                                         "VerifyCertificate = " + (c.verify ? "true" : "false") + "\n"));
    LdapBackend backend;
    if (c.expected == 0) {
      EXPECT_EQ(ReadAlice(backend)->distinguished_name, kAliceDn);
      continue;
    }
    const CDirectoryException error = Failure([&] { ReadAlice(backend); });
    EXPECT_EQ(error.GetErrorCode(), c.expected) << Narrow(error.GetErrorMsgEx().str());
    EXPECT_EQ(ContextOf(error, L"server"), L"127.0.0.1:" + std::to_wstring(c.port));
  }
}

// Dying connections and the pool, through the operation table ---------------------

std::atomic<int> g_connects{0};
std::atomic<int> g_searches{0};
std::atomic<int> g_fail_from{0};   // searches numbered from 1; 0: none fails
std::atomic<int> g_fail_count{0};  // how many in a row fail from g_fail_from

ldap::Status CountingConnect(const ldap::ConnectOptions& options, ldap::NativeSession** session) {
  ++g_connects;
  return ldap::testing::DefaultOperations().connect(options, session);
}

// Fails chosen searches as a dropped connection would.
ldap::Status DroppingSearch(ldap::NativeSession* session, const ldap::SearchRequest& request, int* id) {
  const int number = ++g_searches;
  const int from = g_fail_from.load();
  if (from != 0 && number >= from && number < from + g_fail_count.load()) {
    return ldap::Status{ldap::kServerDown, ldap::ResultText(ldap::kServerDown), "dropped by the test", false};
  }
  return ldap::testing::DefaultOperations().search(session, request, id);
}

class OperationTableTest : public ::testing::Test {
 protected:
  OperationTableTest() : install_(Operations()) {
    g_connects = 0;
    g_searches = 0;
    g_fail_from = 0;
    g_fail_count = 0;
  }
  static ldap::Operations Operations() {
    ldap::Operations operations = ldap::testing::DefaultOperations();
    operations.connect = &CountingConnect;
    operations.search = &DroppingSearch;
    return operations;
  }
  ldap::testing::ScopedOperations install_;
};

TEST_F(OperationTableTest, RetriesOnceOnAFreshConnectionWhenAPooledOneDied) {
  ScopedSettings settings(Settings(Primary().host_port()));
  LdapBackend backend;
  ASSERT_EQ(ReadAlice(backend)->distinguished_name, kAliceDn);
  ASSERT_EQ(g_connects.load(), 1);

  // The next search fails on the pooled connection; the retry gets a new one.
  g_fail_from = g_searches.load() + 1;
  g_fail_count = 1;
  EXPECT_EQ(ReadAlice(backend)->distinguished_name, kAliceDn);
  EXPECT_EQ(g_connects.load(), 2);

  // Two in a row: the fresh connection fails too, and there is no third try.
  g_fail_from = g_searches.load() + 1;
  g_fail_count = 2;
  const CDirectoryException error = Failure([&] { ReadAlice(backend); });
  EXPECT_EQ(error.GetErrorCode(), kDirectoryServerDown);
  EXPECT_EQ(ContextOf(error, L"diagnostic"), L"dropped by the test");
  EXPECT_EQ(g_connects.load(), 3);
  EXPECT_EQ(g_searches.load(), g_fail_from.load() + 1);
}

TEST_F(OperationTableTest, PoolServesEightThreadsWithinItsSize) {
  constexpr int kPoolSize = 3;
  constexpr int kThreads = 8;
  constexpr int kCallsPerThread = 40;
  ScopedSettings settings(Settings(Primary().host_port(), "PoolSize = " + std::to_string(kPoolSize) + "\n"));
  LdapBackend backend;
  const DirectoryPath root = DirectoryPath::Parse(L"GC://");
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCallsPerThread; ++i) {
        if ((i + t) % 2 == 0) {
          if (ReadAlice(backend)->distinguished_name != kAliceDn) ++wrong;
        } else {
          const auto bob = backend.SearchOne(root, L"(msRTCSIP-PrimaryUserAddress=sip:bob@example.test)",
                                             {L"primaryGroupID"}, kDirectoryScopeSubtree);
          if (bob == nullptr || bob->attributes.size() != 1 || bob->attributes[0].values.at(0).lVal != 1105) ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GE(g_connects.load(), 1);
  EXPECT_LE(g_connects.load(), kPoolSize);
}

}  // namespace
}  // namespace directory
