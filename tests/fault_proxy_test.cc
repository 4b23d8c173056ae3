// The fault proxy of local_directories/fault_proxy.h in front of a real
// slapd, driven with raw LDAP bytes: each mode does to a bind and a search
// what its contract says, a stall holds bytes until it heals, the delay
// holds answers at least as long as asked, and dropping or stopping leaves
// no thread or socket behind. Then the LDAP backend through it.
//
// Measured times are printed as "[ measured ]" lines.
#include "local_directories/fault_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "local_directories/slapd_server.h"
#include "platform/directory/directory_error.h"
#include "platform/directory/directory_path.h"
#include "platform/directory/ldap_backend.h"
#include "platform/utf8.h"
#include "tests/support/directory_truth.h"
#include "tests/support/scoped_settings_file.h"

namespace {

using directory::DirectoryPath;
using directory::LdapBackend;
using userpolicy::local_directories::FaultProxy;
using userpolicy::local_directories::SlapdServer;
using userpolicy::local_directories::UniqueFd;
using userpolicy::testing::DirectorySettings;
using userpolicy::testing::ScopedSettingsFile;
using Clock = std::chrono::steady_clock;
using Mode = FaultProxy::Mode;
using Ms = std::chrono::milliseconds;

// The time-outs of the library's cases; a fault the server announces (a
// reset, an end of stream, a frame that is no LDAP) must not cost one.
constexpr int kTimeoutMs = 1000;
constexpr Ms kTimeout{kTimeoutMs};
constexpr Ms kPrompt = kTimeout / 2;
// What a call may take beyond one time-out on a busy machine (sanitizer
// builds included); less than a second time-out, so that a call that waits
// twice fails its bound.
constexpr Ms kMargin{800};
constexpr Ms kBound = kTimeout + kMargin;
constexpr int kPoolSize = 2;
constexpr Ms kCleanupLimit{3000};

constexpr wchar_t kAliceDn[] = L"cn=Alice Anderson,ou=People,dc=example,dc=test";

// One server for every case of this program.
SlapdServer& Server() {
  static const std::unique_ptr<SlapdServer> server = SlapdServer::Start();
  return *server;
}

// Waits until `done` holds, at most kCleanupLimit; returns whether it does.
bool Eventually(const std::function<bool()>& done) {
  const Clock::time_point deadline = Clock::now() + kCleanupLimit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(Ms(10));
  }
  return true;
}

size_t CountEntries(const char* directory) {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) ++count;
  return count;
}
long long Millis(Clock::duration duration) { return std::chrono::duration_cast<Ms>(duration).count(); }

void Measured(const std::string& what, Clock::duration took) {
  std::printf("[ measured ] %-58s %6lld ms\n", what.c_str(), Millis(took));
  std::fflush(stdout);
}

size_t ThreadCount() { return CountEntries("/proc/self/task"); }
size_t OpenFileCount() { return CountEntries("/proc/self/fd"); }

// The proxy itself ---------------------------------------------------------------

// An anonymous simple bind (message 1), a search of the rootDSE for no
// attributes (message 2: answered by an entry and a result) and an unbind
// (message 3), as a client sends them.
const std::string kBind1("\x30\x0c\x02\x01\x01\x60\x07\x02\x01\x03\x04\x00\x80\x00", 14);
const std::string kSearch2(
    "\x30\x2a\x02\x01\x02\x63\x25\x04\x00\x0a\x01\x00\x0a\x01\x00\x02\x01\x00\x02\x01\x00\x01\x01\x00"
    "\x87\x0bobjectClass\x30\x05\x04\x03" "1.1",
    44);
const std::string kUnbind3("\x30\x05\x02\x01\x03\x42\x00", 7);
const std::string kUndecodable("\x30\x0d\x04\x0bundecodable", 15);

UniqueFd Connect(int port, int* error = nullptr) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    if (error != nullptr) *error = errno;
    return UniqueFd();
  }
  return fd;
}

void Send(int fd, const std::string& bytes) {
  ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// What a raw client saw until the stream ended or stayed quiet for `quiet`.
struct Seen {
  enum End { kOpen, kEndOfStream, kReset };
  std::string bytes;
  End end = kOpen;
  Clock::duration first_byte{};  // after the call began
};

Seen ReadUntilQuiet(int fd, Ms quiet) {
  Seen seen;
  const Clock::time_point start = Clock::now();
  for (;;) {
    pollfd readable{fd, POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(quiet.count())) == 0) return seen;
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    if (n > 0) {
      if (seen.bytes.empty()) seen.first_byte = Clock::now() - start;
      seen.bytes.append(buffer, static_cast<size_t>(n));
      continue;
    }
    seen.end = n == 0 ? Seen::kEndOfStream : errno == ECONNRESET ? Seen::kReset : Seen::kOpen;
    return seen;
  }
}

// What slapd itself answers to `requests`.
std::string DirectAnswer(const std::string& requests) {
  UniqueFd fd = Connect(Server().port());
  Send(fd.get(), requests);
  return ReadUntilQuiet(fd.get(), Ms(300)).bytes;
}

TEST(FaultProxyTest, EachModeDoesToRawRequestsWhatItsContractSays) {
  const std::string one = DirectAnswer(kBind1);
  ASSERT_EQ(one.size(), 14u);  // 30 0c 02 01 01 61 07 0a 01 00 04 00 04 00
  // The bind's answer, the entry (short-form length), the search's result.
  const std::string two = DirectAnswer(kBind1 + kSearch2);
  ASSERT_GT(two.size(), 16u);
  const size_t entry = 2 + static_cast<unsigned char>(two[15]);
  ASSERT_LT(14 + entry, two.size()) << userpolicy::testing::DirectoryTruth::Hex(two);
  const auto proxy = FaultProxy::Start(Server().host_port());

  const struct {
    const char* name;
    FaultProxy::Fault fault;
    std::string requests;
    std::string answer;  // exactly what the client must receive
    Seen::End end;
    Ms first_byte_after;  // at least
  } cases[] = {
      {"pass", {}, kBind1 + kSearch2, two, Seen::kOpen, Ms(0)},
      {"delay", {Mode::kDelay, Ms(60)}, kBind1 + kSearch2, two, Seen::kOpen, Ms(60)},
      {"stall", {Mode::kStall}, kBind1, "", Seen::kOpen, Ms(0)},
      {"refuse", {Mode::kRefuse}, kBind1, "", Seen::kEndOfStream, Ms(0)},
      {"reset mid-response", {Mode::kResetMidResponse}, kBind1, one.substr(0, 7), Seen::kReset, Ms(0)},
      {"reset after one message", {Mode::kResetMidResponse, {}, 1}, kBind1 + kSearch2, two.substr(0, 14 + entry / 2),
       Seen::kReset, Ms(0)},
      {"cut response", {Mode::kCutResponse}, kBind1, one.substr(0, 7), Seen::kEndOfStream, Ms(0)},
      {"cut after one message", {Mode::kCutResponse, {}, 1}, kBind1 + kSearch2, two.substr(0, 14 + entry / 2),
       Seen::kEndOfStream, Ms(0)},
      // Two answers of the proxy's own; none for the unbind.
      {"undecodable", {Mode::kUndecodable}, kBind1 + kSearch2 + kUnbind3, kUndecodable + kUndecodable, Seen::kOpen,
       Ms(0)},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    proxy->SetFault(test.fault);
    const FaultProxy::Counters before = proxy->counters();
    UniqueFd client = Connect(proxy->port());
    ASSERT_TRUE(client.valid());
    Send(client.get(), test.requests);
    const Seen seen = ReadUntilQuiet(client.get(), Ms(300));
    EXPECT_EQ(seen.bytes, test.answer);
    EXPECT_EQ(seen.end, test.end);
    EXPECT_GE(seen.first_byte, test.first_byte_after);
    const FaultProxy::Counters after = proxy->counters();
    EXPECT_EQ(after.accepted, before.accepted + 1);
    EXPECT_EQ(after.refused - before.refused, test.fault.mode == Mode::kRefuse ? 1u : 0u);
    EXPECT_EQ(after.resets - before.resets, test.fault.mode == Mode::kResetMidResponse ? 1u : 0u);
    EXPECT_EQ(after.cuts - before.cuts, test.fault.mode == Mode::kCutResponse ? 1u : 0u);
    EXPECT_EQ(after.undecodable_answers - before.undecodable_answers, test.fault.mode == Mode::kUndecodable ? 2u : 0u);
    // Nothing of a swallowed or refused request reaches the server.
    const bool forwards = test.fault.mode != Mode::kUndecodable && test.fault.mode != Mode::kRefuse &&
                          test.fault.mode != Mode::kStall;
    EXPECT_EQ(after.bytes_to_server - before.bytes_to_server, forwards ? test.requests.size() : 0u);
  }
  const std::string events = proxy->DescribeEvents();
  EXPECT_NE(events.find("reset after 7 of 14 bytes of message 1\n"), std::string::npos) << events;
  EXPECT_NE(events.find("cut after " + std::to_string(entry / 2) + " of " + std::to_string(entry) +
                        " bytes of message 2\n"),
            std::string::npos)
      << events;
  EXPECT_NE(events.find("answered request 2 (operation 0x63) with an undecodable frame"), std::string::npos) << events;
  EXPECT_NE(events.find("swallowed request 3 (operation 0x42, no answer due)"), std::string::npos) << events;

  // Not listening: the system refuses; listening again on the same port heals.
  UniqueFd open_before = Connect(proxy->port());
  proxy->SetFault({Mode::kNotListening});
  int error = 0;
  EXPECT_FALSE(Connect(proxy->port(), &error).valid());
  EXPECT_EQ(error, ECONNREFUSED);
  proxy->SetFault({});
  UniqueFd client = Connect(proxy->port());
  ASSERT_TRUE(client.valid());
  Send(client.get(), kBind1);
  EXPECT_EQ(ReadUntilQuiet(client.get(), Ms(200)).bytes, one);
  // A connection made before kept working all along.
  Send(open_before.get(), kBind1);
  EXPECT_EQ(ReadUntilQuiet(open_before.get(), Ms(200)).bytes, one);
}

TEST(FaultProxyTest, AStallHoldsBytesOfOpenConnectionsAndHealingLetsThemThrough) {
  const auto proxy = FaultProxy::Start(Server().host_port());
  UniqueFd client = Connect(proxy->port());
  Send(client.get(), kBind1);
  const std::string one = ReadUntilQuiet(client.get(), Ms(200)).bytes;
  ASSERT_EQ(one.size(), 14u);
  proxy->SetFault({Mode::kStall});
  Send(client.get(), kSearch2);
  EXPECT_EQ(ReadUntilQuiet(client.get(), Ms(300)).bytes, "");
  proxy->SetFault({});
  const Seen healed = ReadUntilQuiet(client.get(), Ms(300));
  EXPECT_EQ(healed.bytes, DirectAnswer(kBind1 + kSearch2).substr(14));
  EXPECT_EQ(healed.end, Seen::kOpen);
}

TEST(FaultProxyTest, TheDelayHoldsEveryAnswerAtLeastAsLongAsAsked) {
  // Lower bounds only: the added time is the delay plus the system's wake-up
  // latency, which the printed figures show.
  const auto proxy = FaultProxy::Start(Server().host_port());
  UniqueFd client = Connect(proxy->port());
  for (const Ms delay : {Ms(0), Ms(2), Ms(20)}) {
    proxy->SetFault({Mode::kDelay, delay});
    Clock::duration slowest{}, fastest = Clock::duration::max();
    for (int i = 0; i < 20; ++i) {
      const Clock::time_point start = Clock::now();
      Send(client.get(), kBind1);
      std::string answer;
      while (answer.size() < 14) {
        char buffer[64];
        const ssize_t n = ::recv(client.get(), buffer, sizeof(buffer), 0);
        ASSERT_GT(n, 0);
        answer.append(buffer, static_cast<size_t>(n));
      }
      const Clock::duration took = Clock::now() - start;
      EXPECT_GE(took, delay);
      slowest = std::max(slowest, took);
      fastest = std::min(fastest, took);
    }
    const auto micros = [](Clock::duration d) { return std::chrono::duration_cast<std::chrono::microseconds>(d).count(); };
    std::printf("[ measured ] bind round trip with a delay of %2lld ms: fastest %lld us, slowest %lld us\n",
                static_cast<long long>(delay.count()), static_cast<long long>(micros(fastest)),
                static_cast<long long>(micros(slowest)));
  }
}

TEST(FaultProxyTest, DroppingAndStoppingLeaveNoThreadOrSocketBehind) {
  const size_t threads = ThreadCount();
  const size_t files = OpenFileCount();
  {
    const auto proxy = FaultProxy::Start(Server().host_port());
    std::vector<UniqueFd> clients;
    for (int i = 0; i < 3; ++i) {
      clients.push_back(Connect(proxy->port()));
      Send(clients.back().get(), kBind1);
      ASSERT_EQ(ReadUntilQuiet(clients.back().get(), Ms(100)).bytes.size(), 14u);
    }
    EXPECT_EQ(proxy->counters().open, 3);
    EXPECT_EQ(ThreadCount(), threads + 4);  // the acceptor and three pumps

    EXPECT_EQ(proxy->DropConnections(), 3);
    EXPECT_EQ(proxy->counters().open, 0);
    EXPECT_EQ(proxy->counters().dropped, 3u);
    for (const UniqueFd& client : clients) EXPECT_EQ(ReadUntilQuiet(client.get(), Ms(100)).end, Seen::kEndOfStream);
    EXPECT_TRUE(Eventually([&] { return ThreadCount() == threads + 1; })) << ThreadCount() - threads;

    // Stop closes what is open, stalled or not, and joins everything.
    clients.clear();
    clients.push_back(Connect(proxy->port()));
    proxy->SetFault({Mode::kStall});
    clients.push_back(Connect(proxy->port()));
    ASSERT_TRUE(Eventually([&] { return proxy->counters().open == 2; }));
    proxy->Stop();
    EXPECT_EQ(ThreadCount(), threads);
    for (const UniqueFd& client : clients) EXPECT_EQ(ReadUntilQuiet(client.get(), Ms(100)).end, Seen::kEndOfStream);
    int error = 0;
    EXPECT_FALSE(Connect(proxy->port(), &error).valid());
    EXPECT_EQ(error, ECONNREFUSED);
  }
  EXPECT_EQ(OpenFileCount(), files);
}

// The LDAP backend through the proxy -------------------------------------------

// The service account's settings for `servers`, with short time-outs and
// the given back-off (no doubling), and `extra` lines in the same table.
std::string FaultSettings(const std::string& servers, int backoff_ms, const std::string& extra = "") {
  return DirectorySettings(servers, Server().service_dn(), Server().service_password_file()) +
         "ConnectTimeoutMs = " + std::to_string(kTimeoutMs) + "\nOperationTimeoutMs = " + std::to_string(kTimeoutMs) +
         "\nPoolSize = " + std::to_string(kPoolSize) + "\nFailureBackoffMs = " + std::to_string(backoff_ms) +
         "\nMaxFailureBackoffMs = " + std::to_string(backoff_ms) + "\n" + extra;
}

struct Outcome {
  bool ok = false;
  int code = 0;
  std::wstring message;  // GetErrorMsgEx
  std::wstring server;   // the context items
  std::wstring ldap;
  Clock::duration took{};
};

std::wstring ContextOf(const CDirectoryException& error, const wchar_t* name) {
  const std::wstring* value = error.FindContext(name);
  return value != nullptr ? *value : L"<none>";
}

Outcome ReadAlice(LdapBackend& backend) {
  Outcome outcome;
  const Clock::time_point start = Clock::now();
  try {
    outcome.ok = backend.ReadObject(DirectoryPath::Parse(std::wstring(L"GC://") + kAliceDn), {L"objectGUID", L"name"})
                     ->distinguished_name == kAliceDn;
  } catch (const CDirectoryException& error) {
    outcome.code = error.GetErrorCode();
    outcome.message = error.GetErrorMsgEx().str();
    outcome.server = ContextOf(error, L"server");
    outcome.ldap = ContextOf(error, L"ldap");
  }
  outcome.took = Clock::now() - start;
  return outcome;
}

std::string Narrow(const std::wstring& text) { return platform::WideToUtf8(text); }

// The next request goes to the dead pooled connection first: closed in
// order, the write succeeds and the read fails; reset, the write itself
// fails, which must not raise SIGPIPE (it would end the process).
TEST(LdapThroughTheProxyTest, ADroppedPooledConnectionIsReplacedWithinTheCall) {
  const auto proxy = FaultProxy::Start(Server().host_port());
  ScopedSettingsFile settings(FaultSettings(proxy->host_port(), 300));
  LdapBackend backend;
  ASSERT_TRUE(ReadAlice(backend).ok);
  for (const FaultProxy::Close how : {FaultProxy::Close::kOrderly, FaultProxy::Close::kReset}) {
    const uint64_t accepted = proxy->counters().accepted;
    EXPECT_EQ(proxy->DropConnections(how), 1);
    const Outcome outcome = ReadAlice(backend);
    EXPECT_TRUE(outcome.ok) << Narrow(outcome.message);
    EXPECT_LT(outcome.took, kPrompt);
    EXPECT_EQ(proxy->counters().accepted, accepted + 1);
  }
}

// Callers beyond the pool's size wait for a connection of the stalled
// server. When the calls holding its connections fail, the waiters give it
// up at once (no new connection that would wait a whole time-out again) and
// move on to the next server, if there is one.
TEST(LdapThroughTheProxyTest, MoreCallersThanPooledConnectionsEachWaitOneTimeoutAtMost) {
  constexpr int kCallers = 8;
  const auto proxy = FaultProxy::Start(Server().host_port());
  const struct {
    const char* name;
    std::string servers;
    bool fails_over;
  } cases[] = {
      {"the stalled server alone", proxy->host_port(), false},
      {"a healthy second server", proxy->host_port() + ", " + Server().host_port(), true},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    proxy->SetFault({});
    ScopedSettingsFile settings(FaultSettings(test.servers, 5000));
    LdapBackend backend;
    ASSERT_TRUE(ReadAlice(backend).ok);
    proxy->SetFault({Mode::kStall});
    std::vector<Outcome> outcomes(kCallers);
    std::vector<std::thread> callers;
    for (Outcome& outcome : outcomes) callers.emplace_back([&backend, &outcome] { outcome = ReadAlice(backend); });
    for (std::thread& caller : callers) caller.join();
    Clock::duration worst{};
    for (const Outcome& outcome : outcomes) {
      worst = std::max(worst, outcome.took);
      EXPECT_EQ(outcome.ok, test.fails_over) << Narrow(outcome.message);
      if (!test.fails_over) {
        EXPECT_EQ(outcome.code, kDirectoryTimeout) << Narrow(outcome.message);
      }
    }
    Measured(std::to_string(kCallers) + " callers, pool of 2, " + test.name + ": worst call", worst);
    EXPECT_LE(worst, kBound);
    EXPECT_LE(proxy->counters().open, kPoolSize);
    proxy->SetFault({});
  }
}

}  // namespace
