// The LDAP client's first use in a process: many threads open their first
// connections one shortly after another, before the process has made any
// other LDAP call. libldap sets up its process-wide options on first use and
// marks them ready before it has finished: a thread that arrives then copies
// options another thread is still writing (the ThreadSanitizer build
// reports it). The client sets libldap up once, before any connection.
//
// Only a fresh process shows it, and a thread lands in that window in about
// half of them, so the test runs itself again in several child processes,
// each a fresh process against the one slapd this program starts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "local_directories/slapd_server.h"
#include "platform/ldap_api.h"
#include "tests/support/scoped_environment.h"

namespace {

namespace ldap = platform::ldap;
using userpolicy::local_directories::ProgramResult;
using userpolicy::local_directories::SlapdServer;

// Set in the child processes: the server's host:port and base DN.
constexpr char kServerVariable[] = "USERPOLICY_FIRST_USE_SERVER";
constexpr char kBaseDnVariable[] = "USERPOLICY_FIRST_USE_BASE_DN";
constexpr int kFreshProcesses = 10;
constexpr int kThreads = 128;
// The threads start this far apart: threads that arrive together all wait
// for libldap's set-up lock and race with nothing; spread over a few hundred
// microseconds, some arrive while the set-up is under way.
constexpr std::chrono::microseconds kStagger{5};

struct FirstContact {
  ldap::Status open;
  ldap::Status search;
  std::vector<ldap::Entry> entries;
};

// In a child: every thread opens a connection and reads the base entry.
void OpenFirstConnections(const std::string& host_port, const std::string& base_dn) {
  ldap::ConnectOptions options;
  options.uri = "ldap://" + host_port;
  ldap::SearchRequest request;
  request.base = base_dn;

  std::vector<FirstContact> contacts(kThreads);
  const auto start = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      FirstContact& contact = contacts[i];
      std::this_thread::sleep_until(start + i * kStagger);
      std::unique_ptr<ldap::Connection> connection;
      contact.open = ldap::Connection::Open(options, &connection);
      if (connection != nullptr) contact.search = connection->Search(request, &contact.entries);
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (size_t i = 0; i < contacts.size(); ++i) {
    SCOPED_TRACE("thread " + std::to_string(i));
    EXPECT_TRUE(contacts[i].open.ok()) << contacts[i].open.text << ": " << contacts[i].open.diagnostic;
    EXPECT_TRUE(contacts[i].search.ok()) << contacts[i].search.text << ": " << contacts[i].search.diagnostic;
    ASSERT_EQ(contacts[i].entries.size(), 1u);
    EXPECT_EQ(contacts[i].entries[0].dn, base_dn);
  }
}

TEST(LdapFirstUse, ManyThreadsOpenTheFirstConnectionsOfFreshProcesses) {
  const char* server_variable = std::getenv(kServerVariable);
  if (server_variable != nullptr) {
    const char* base_dn = std::getenv(kBaseDnVariable);
    ASSERT_NE(base_dn, nullptr);
    OpenFirstConnections(server_variable, base_dn);
    return;
  }

  const std::unique_ptr<SlapdServer> server = SlapdServer::Start();
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  const userpolicy::testing::ScopedEnvironment environment(
      {{kServerVariable, server->host_port()}, {kBaseDnVariable, server->base_dn()}});
  for (int child = 0; child < kFreshProcesses; ++child) {
    const ProgramResult result = userpolicy::local_directories::RunProgram(
        {self, "--gtest_filter=LdapFirstUse.ManyThreadsOpenTheFirstConnectionsOfFreshProcesses"});
    ASSERT_EQ(result.exit_code, 0) << "child " << child << ":\n" << result.out << result.err;
  }
}

}  // namespace
