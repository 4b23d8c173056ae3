// The library against a real slapd through the fault proxy of
// local_directories/fault_proxy.h.
//
// First the proxy itself, with raw LDAP bytes: each mode does to a bind what
// its contract says, the delay holds answers at least as long as asked, and
// dropping or stopping leaves no thread or socket behind. Then the LDAP
// backend and the started module through it: every call ends within its
// bound (one operation time-out when the server does not answer, well under
// it when the fault announces itself) with an error naming the server and
// the failure; no connection or thread is left behind; the library recovers
// once the proxy heals; it fails over to a healthy second server for every
// class of fault, also with more callers than pooled connections; and a
// user's whole resolution during an outage costs one time-out however long
// its walk of nested groups.
//
// Measured times are printed as "[ measured ]" lines.
#include "local_directories/fault_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "local_directories/slapd_server.h"
#include "module/module_entry.h"
#include "platform/com.h"
#include "platform/directory/directory_error.h"
#include "platform/directory/directory_path.h"
#include "platform/directory/ldap_backend.h"
#include "platform/utf8.h"
#include "resolve/policy_filter_ds_access_helper.h"
#include "resolve/proxy_address_ds_access_helper.h"
#include "testing/log_capture.h"
#include "tests/support/directory_truth.h"
#include "tests/support/scoped_settings_file.h"

namespace {

using directory::DirectoryPath;
using directory::LdapBackend;
using userpolicy::local_directories::FaultProxy;
using userpolicy::local_directories::LdifLine;
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
constexpr Ms kPrompt = kTimeout * 3 / 4;
// What a call may take beyond one time-out on a busy machine (sanitizer
// builds included); less than a second time-out, so that a call that waits
// twice fails its bound.
constexpr Ms kMargin{800};
constexpr Ms kBound = kTimeout + kMargin;
constexpr int kPoolSize = 2;
constexpr Ms kCleanupLimit{3000};

constexpr wchar_t kAliceDn[] = L"cn=Alice Anderson,ou=People,dc=example,dc=test";

// On top of the sample directory, a user who is a direct member of
// kChainLength groups that also form a chain (each a member of the next):
// its resolution walks them all, and during an outage looks each of them
// up on its own (a failed lookup ends only its own part of the walk).
constexpr int kChainLength = 24;
constexpr char kWalkerSip[] = "sip:walker@example.test";
constexpr uint32_t kWalkerRid = 1190;
constexpr uint32_t kChainFirstRid = 1200;

std::string Sid(uint32_t rid) {
  // S-1-5-21-1004336348-1177238915-682003330-rid, as the sample's SIDs.
  std::string sid("\x01\x05\x00\x00\x00\x00\x00\x05\x15\x00\x00\x00\xdc\xf4\xdc\x3b\x83\x3d\x2b\x46\x82\x8b\xa6\x28",
                  24);
  for (int i = 0; i < 4; ++i) sid += static_cast<char>((rid >> (8 * i)) & 0xff);
  return sid;
}

std::string Guid(int number, int kind) {
  std::string guid(16, '\0');
  guid[0] = static_cast<char>(number);
  guid[1] = static_cast<char>(kind);
  guid[2] = '\x77';  // no sample GUID has a third byte
  return guid;
}

std::string ChainDn(int i) { return "cn=Chain " + std::to_string(i) + ",ou=Groups,dc=example,dc=test"; }

void WriteChain(std::ostream& out) {
  const std::string walker = "cn=Walker Deep,ou=People,dc=example,dc=test";
  out << "dn: " << walker << "\nobjectClass: top\nobjectClass: person\nobjectClass: organizationalPerson\n"
      << "objectClass: inetOrgPerson\nobjectClass: user\ncn: Walker Deep\nsn: Deep\nname: Walker Deep\n"
      << "objectCategory: person\n"
      << LdifLine("objectGUID", Guid(1, 1)) << LdifLine("objectSid", Sid(kWalkerRid)) << "primaryGroupID: 513\n"
      << "msRTCSIP-PrimaryUserAddress: " << kWalkerSip << "\nmail: walker@example.test\n\n";
  for (int i = 0; i < kChainLength; ++i) {
    out << "dn: " << ChainDn(i) << "\nobjectClass: top\nobjectClass: group\ncn: Chain " << i << "\nname: Chain " << i
        << "\nobjectCategory: group\ngroupType: -2147483646\n"
        << LdifLine("objectGUID", Guid(i, 3)) << LdifLine("objectSid", Sid(kChainFirstRid + i))
        << "member: " << walker << "\n" << (i == 0 ? "" : "member: " + ChainDn(i - 1) + "\n") << "\n";
  }
}

// One server for every case of this program.
SlapdServer& Server() {
  static const std::unique_ptr<SlapdServer> server = [] {
    userpolicy::local_directories::SlapdOptions options;
    options.ldif_writers.push_back(&WriteChain);
    return SlapdServer::Start(options);
  }();
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
  std::wstring operation;
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
    outcome.operation = ContextOf(error, L"operation");
    outcome.ldap = ContextOf(error, L"ldap");
  }
  outcome.took = Clock::now() - start;
  return outcome;
}

std::string Narrow(const std::wstring& text) { return platform::WideToUtf8(text); }

// How a fault starts: on a backend that has a pooled connection (warm) or
// none yet (cold), and whether the proxy drops its connections as well.
struct FaultCase {
  const char* name;
  FaultProxy::Fault fault;
  bool warm;
  bool drop;
  int code;                  // of the error
  int ldap;                  // the LDAP result in the error's context
  const wchar_t* operation;  // the step that failed, in the error's context
  const wchar_t* says;       // in the error's message
  bool waits;                // the server does not answer: the call waits for the time-out
};

constexpr int kServerDown = 0x51, kDecodingError = 0x54, kTimedOut = 0x55;
constexpr wchar_t kNoAnswer[] = L"did not answer in time";
constexpr wchar_t kLost[] = L"lost the connection to the directory server";
constexpr wchar_t kUnreachable[] = L"cannot reach the directory server";
constexpr wchar_t kNotLdap[] = L"with something that is not LDAP";

// A fault on a pooled connection makes the call retry once on a new one,
// where the fault meets the bind (pass_messages 0) or the read (1).
const FaultCase kFaults[] = {
    {"stall on a pooled connection", {Mode::kStall}, true, false, kDirectoryTimeout, kTimedOut, L"read", kNoAnswer, true},
    {"stall on a new connection", {Mode::kStall}, false, false, kDirectoryTimeout, kTimedOut, L"bind (read)", kNoAnswer,
     true},
    {"answers slower than the time-out", {Mode::kDelay, Ms(kTimeoutMs + 500)}, true, false, kDirectoryTimeout, kTimedOut,
     L"read", kNoAnswer, true},
    {"refused connections", {Mode::kRefuse}, false, false, kDirectoryServerDown, kServerDown, L"bind (read)", kLost,
     false},
    {"not listening, pooled connections dropped", {Mode::kNotListening}, true, true, kDirectoryServerDown, kServerDown,
     L"connect (read)", kUnreachable, false},
    {"reset mid-response on a pooled connection", {Mode::kResetMidResponse}, true, false, kDirectoryServerDown,
     kServerDown, L"bind (read)", kLost, false},
    {"reset mid-response after the bind", {Mode::kResetMidResponse, {}, 1}, false, false, kDirectoryServerDown,
     kServerDown, L"read", kLost, false},
    {"response cut on a pooled connection", {Mode::kCutResponse}, true, false, kDirectoryServerDown, kServerDown,
     L"bind (read)", kLost, false},
    {"response cut after the bind", {Mode::kCutResponse, {}, 1}, false, false, kDirectoryServerDown, kServerDown,
     L"read", kLost, false},
    {"undecodable answers on a pooled connection", {Mode::kUndecodable}, true, false, kDirectoryServerDown,
     kDecodingError, L"bind (read)", kNotLdap, false},
    {"undecodable answer to the bind", {Mode::kUndecodable}, false, false, kDirectoryServerDown, kDecodingError,
     L"bind (read)", kNotLdap, false},
};

TEST(LdapThroughTheProxyTest, EveryFaultFailsWithinItsBoundWithAClearErrorAndHeals) {
  constexpr int kBackoffMs = 300;
  const auto proxy = FaultProxy::Start(Server().host_port());
  const std::wstring proxy_name = platform::Utf8ToWide(proxy->host_port());
  ScopedSettingsFile settings(FaultSettings(proxy->host_port(), kBackoffMs));
  const size_t threads = ThreadCount();
  for (const FaultCase& test : kFaults) {
    SCOPED_TRACE(test.name);
    proxy->SetFault({});
    {
      LdapBackend backend;
      if (test.warm) {
        ASSERT_TRUE(ReadAlice(backend).ok);
      }
      proxy->SetFault(test.fault);
      if (test.drop) proxy->DropConnections();

      // The first call meets the fault; the next ones, while the server
      // backs off, fail at once with the same error.
      const Outcome first = ReadAlice(backend);
      Clock::duration worst = first.took;
      for (int i = 0; i < 2; ++i) {
        const Outcome again = ReadAlice(backend);
        EXPECT_EQ(again.code, test.code);
        EXPECT_LT(again.took, kPrompt);
        worst = std::max(worst, again.took);
      }
      Measured(std::string("backend, ") + test.name + ": worst call", worst);
      EXPECT_FALSE(first.ok);
      EXPECT_EQ(first.code, test.code) << Narrow(first.message);
      EXPECT_EQ(first.server, proxy_name);
      EXPECT_EQ(first.operation, test.operation);
      EXPECT_EQ(first.ldap.rfind(std::to_wstring(test.ldap) + L" ", 0), 0u) << Narrow(first.ldap);
      EXPECT_NE(first.message.find(test.says), std::wstring::npos) << Narrow(first.message);
      EXPECT_NE(first.message.find(proxy_name), std::wstring::npos) << Narrow(first.message);
      if (test.waits) {
        EXPECT_GE(first.took, kTimeout * 9 / 10);
        EXPECT_LE(worst, kBound);
      } else {
        EXPECT_LT(worst, kPrompt);
      }

      // Healed, the same backend reads again once the back-off is over,
      // and holds no more connections than its pool.
      proxy->SetFault({});
      std::this_thread::sleep_for(Ms(kBackoffMs + 50));
      const Outcome healed = ReadAlice(backend);
      EXPECT_TRUE(healed.ok) << Narrow(healed.message);
      EXPECT_LE(proxy->counters().open, kPoolSize);
    }
    // The backend gone, so are its connections, and no thread stays.
    EXPECT_TRUE(Eventually([&] { return proxy->counters().open == 0; })) << proxy->counters().open;
    EXPECT_TRUE(Eventually([&] { return ThreadCount() == threads; })) << ThreadCount() - threads;
  }
}

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

// A host that blocks SIGPIPE itself finds its signals as it left them: one
// it had pending stays pending, and the one the write to the reset
// connection raised is not left behind (it would be delivered, and end the
// process, once the host unblocks the signal).
TEST(LdapThroughTheProxyTest, AHostBlockingSigpipeFindsItsPendingSignalsAsItLeftThem) {
  const auto proxy = FaultProxy::Start(Server().host_port());
  ScopedSettingsFile settings(FaultSettings(proxy->host_port(), 300));
  LdapBackend backend;
  ASSERT_TRUE(ReadAlice(backend).ok);
  sigset_t pipe, previous, pending;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &pipe, &previous), 0);
  for (const bool host_pending : {true, false}) {
    SCOPED_TRACE(host_pending ? "one pending" : "none pending");
    if (host_pending) {
      ASSERT_EQ(pthread_kill(pthread_self(), SIGPIPE), 0);
    }
    proxy->DropConnections(FaultProxy::Close::kReset);
    const Outcome outcome = ReadAlice(backend);
    EXPECT_TRUE(outcome.ok) << Narrow(outcome.message);
    sigemptyset(&pending);
    ASSERT_EQ(sigpending(&pending), 0);
    EXPECT_EQ(sigismember(&pending, SIGPIPE) == 1, host_pending);
    const timespec now{0, 0};
    if (host_pending) {
      EXPECT_EQ(sigtimedwait(&pipe, nullptr, &now), SIGPIPE);
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

TEST(LdapThroughTheProxyTest, FailsOverToTheHealthyServerForEveryFaultClass) {
  constexpr int kBackoffMs = 300;
  const auto proxy = FaultProxy::Start(Server().host_port());
  const std::string proxy_name = proxy->host_port();
  ScopedSettingsFile settings(FaultSettings(proxy_name + ", " + Server().host_port(), kBackoffMs));
  for (const FaultCase& test : kFaults) {
    SCOPED_TRACE(test.name);
    proxy->SetFault({});
    LdapBackend backend;
    if (test.warm) {
      const uint64_t sent = proxy->counters().bytes_to_server;
      ASSERT_TRUE(ReadAlice(backend).ok);
      ASSERT_GT(proxy->counters().bytes_to_server, sent);  // the first server answered
    }
    proxy->SetFault(test.fault);
    if (test.drop) proxy->DropConnections();
    {
      DBG::testing::ScopedLogCapture capture(DBG::Severity::kWarning);
      const Outcome failed_over = ReadAlice(backend);
      Measured(std::string("failover, ") + test.name, failed_over.took);
      EXPECT_TRUE(failed_over.ok) << Narrow(failed_over.message);
      EXPECT_LE(failed_over.took, test.waits ? kBound : kPrompt);
      EXPECT_TRUE(capture.ContainsSubstring(DBG::kLevelWarning, "on " + proxy_name + " failed")) << test.name;
    }
    // While it backs off, the faulty server is not even asked.
    const FaultProxy::Counters before = proxy->counters();
    const Outcome skipped = ReadAlice(backend);
    EXPECT_TRUE(skipped.ok);
    EXPECT_LT(skipped.took, kPrompt);
    EXPECT_EQ(proxy->counters().accepted, before.accepted);
    EXPECT_EQ(proxy->counters().bytes_to_server, before.bytes_to_server);

    // Healed and its back-off over, the first server answers again.
    proxy->SetFault({});
    std::this_thread::sleep_for(Ms(kBackoffMs + 50));
    const uint64_t sent = proxy->counters().bytes_to_server;
    EXPECT_TRUE(ReadAlice(backend).ok);
    EXPECT_GT(proxy->counters().bytes_to_server, sent);
  }
}

// Callers beyond the pool's size wait for a connection of the stalled
// server. When the calls holding its connections fail, the waiters give it
// up at once (no new connection that would wait a whole time-out again) and
// move on to the next server, if there is one.
// Every server stalled: the first call tries each once, and waits for each;
// after that a call probes one of them at most, and the next call fails at
// once or probes the other.
TEST(LdapThroughTheProxyTest, WhenEveryServerIsDownACallProbesOneAtMost) {
  constexpr int kBackoffMs = 300;
  const auto first = FaultProxy::Start(Server().host_port());
  const auto second = FaultProxy::Start(Server().host_port());
  ScopedSettingsFile settings(FaultSettings(first->host_port() + ", " + second->host_port(), kBackoffMs));
  LdapBackend backend;
  ASSERT_TRUE(ReadAlice(backend).ok);
  first->SetFault({Mode::kStall});
  second->SetFault({Mode::kStall});

  const Outcome both = ReadAlice(backend);
  Measured("every server stalled, first call", both.took);
  EXPECT_EQ(both.code, kDirectoryTimeout);
  EXPECT_GE(both.took, 2 * kTimeout * 9 / 10);
  EXPECT_LE(both.took, 2 * kTimeout + kMargin);

  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    std::this_thread::sleep_for(Ms(kBackoffMs + 50));  // both back-offs over
    const Outcome probed = ReadAlice(backend);
    Measured("every server stalled, a call after the back-off", probed.took);
    EXPECT_EQ(probed.code, kDirectoryTimeout) << Narrow(probed.message);
    EXPECT_GE(probed.took, kTimeout * 9 / 10);
    EXPECT_LE(probed.took, kBound);
  }
  first->SetFault({});
  second->SetFault({});
  std::this_thread::sleep_for(Ms(kBackoffMs + 50));
  EXPECT_TRUE(ReadAlice(backend).ok);
  EXPECT_TRUE(ReadAlice(backend).ok);  // the other server, if the first call probed one only
}

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

// The module through the proxy ---------------------------------------------------

std::vector<std::string> Resolve(const std::string& sip, bool* result = nullptr, Clock::duration* took = nullptr) {
  const std::wstring key = platform::Utf8ToWide(sip);
  std::vector<_bstr_t> guids;
  const Clock::time_point start = Clock::now();
  const bool appended = CPolicyFilterDSAccessHelper::GetUserIdentityAndMembershipGuids(key.c_str(), guids);
  if (took != nullptr) *took = Clock::now() - start;
  if (result != nullptr) *result = appended;
  std::vector<std::string> got;
  for (const _bstr_t& guid : guids) got.push_back(platform::WideToUtf8(static_cast<const wchar_t*>(guid)));
  return got;
}

// The e-mail address the module gives for `sip` ("" when it fails, as it
// must for nobody and for a user without one).
std::string Email(const std::string& sip, Clock::duration* took = nullptr) {
  constexpr unsigned long kCapacity = 256;
  const std::wstring key = platform::Utf8ToWide(sip);
  wchar_t email[kCapacity] = {};
  const Clock::time_point start = Clock::now();
  const long hr = CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(key.c_str(), email, kCapacity);
  if (took != nullptr) *took = Clock::now() - start;
  return hr == S_OK ? platform::WideToUtf8(email) : std::string();
}

// What ldapsearch shows for each SIP address of the directory, worked out
// once (each question to the truth runs ldapsearch).
struct Expected {
  std::vector<std::string> guids;
  std::string email;
};
const std::map<std::string, Expected>& Truth() {
  static const auto truth = [] {
    const userpolicy::testing::DirectoryTruth directory = userpolicy::testing::TruthOf(Server());
    std::map<std::string, Expected> expected;
    for (const std::string& sip : userpolicy::testing::SipAddressesOf(Server(), Server().base_dn())) {
      const auto user = directory.User(sip);
      expected[sip] = user ? Expected{directory.Guids(*user), userpolicy::testing::DirectoryTruth::Email(*user)}
                           : Expected{};
    }
    return expected;
  }();
  return truth;
}

// The module's settings: the directory through `proxy`, users cached, groups
// read from the directory on every lookup (so that a cached user's walk
// reads them all again).
std::string ModuleSettings(const FaultProxy& proxy, int backoff_ms) {
  return FaultSettings(proxy.host_port(), backoff_ms) +
         "[QV_DSAccess.DEFAULT]\nUserIdentityCacheTimeout = 3600\nPrimaryGroupCacheTimeout = 0\n"
         "NestedGroupCacheTimeout = 0\n";
}

class ModuleThroughTheProxyTest : public ::testing::Test {
 protected:
  void TearDown() override { IPC_SERVER_Deinit(); }
};

TEST_F(ModuleThroughTheProxyTest, AResolutionDuringAnOutageCostsOneTimeoutHoweverLongTheWalk) {
  constexpr int kBackoffMs = 1000;
  const auto proxy = FaultProxy::Start(Server().host_port());
  ScopedSettingsFile settings(ModuleSettings(*proxy, kBackoffMs));
  const std::vector<std::string>& full = Truth().at(kWalkerSip).guids;
  ASSERT_EQ(full.size(), 2u + kChainLength);  // the user, Domain Users, the chain
  const struct {
    const char* name;
    FaultProxy::Fault fault;
    bool drop;
    bool waits;
  } outages[] = {
      {"stall", {Mode::kStall}, false, true},
      {"answers slower than the time-out", {Mode::kDelay, Ms(kTimeoutMs + 500)}, false, true},
      {"server gone", {Mode::kNotListening}, true, false},
      {"reset mid-response", {Mode::kResetMidResponse}, false, false},
      {"undecodable answers", {Mode::kUndecodable}, false, false},
  };
  ASSERT_EQ(IPC_SERVER_Init(), 0);
  ASSERT_EQ(proxy->counters().open, 0);
  const size_t threads = ThreadCount();
  EXPECT_EQ(Resolve(kWalkerSip), full);  // the user is cached from here on
  for (const auto& outage : outages) {
    SCOPED_TRACE(outage.name);
    proxy->SetFault(outage.fault);
    if (outage.drop) proxy->DropConnections();
    bool result = false;
    Clock::duration took{};
    std::vector<std::string> guids;
    {
      DBG::testing::ScopedLogCapture capture(DBG::Severity::kError);
      guids = Resolve(kWalkerSip, &result, &took);
      // The failure is logged with the server it concerns.
      EXPECT_TRUE(capture.ContainsSubstring(DBG::kLevelFailure, proxy->host_port()));
    }
    Measured(std::string("resolution of a ") + std::to_string(kChainLength) + "-group walk, " + outage.name, took);
    // The cached user's own GUID, and no group: each lookup failed.
    EXPECT_TRUE(result);
    EXPECT_EQ(guids, std::vector<std::string>{full.front()});
    EXPECT_LE(took, outage.waits ? kBound : kPrompt);

    proxy->SetFault({});
    std::this_thread::sleep_for(Ms(kBackoffMs + 50));
    EXPECT_EQ(Resolve(kWalkerSip), full);
    EXPECT_LE(proxy->counters().open, kPoolSize);
  }
  EXPECT_EQ(IPC_SERVER_Deinit(), 0);
  // The process-wide backend keeps its pooled connections for the next
  // start; the proxy runs a pump for each, and no other thread is left.
  EXPECT_LE(proxy->counters().open, kPoolSize);
  EXPECT_TRUE(Eventually([&] { return ThreadCount() == threads + proxy->counters().open; }))
      << ThreadCount() << " threads, " << threads << " before, " << proxy->counters().open << " connections";
}

// Both lookups of the module (GUID list, e-mail address) for every user,
// each time on fresh caches.
TEST_F(ModuleThroughTheProxyTest, EveryUserResolvesInTimeDuringEachFaultAndCorrectlyOnceHealed) {
  constexpr int kBackoffMs = 500;
  const auto proxy = FaultProxy::Start(Server().host_port());
  ScopedSettingsFile settings(ModuleSettings(*proxy, kBackoffMs));
  const auto& truth = Truth();
  ASSERT_GE(truth.size(), 5u);
  const struct {
    const char* name;
    FaultProxy::Fault fault;
    bool drop;
    bool waits;
  } faults[] = {
      {"stall", {Mode::kStall}, false, true},
      {"refused connections", {Mode::kRefuse}, true, false},
      {"not listening", {Mode::kNotListening}, true, false},
      {"reset mid-response", {Mode::kResetMidResponse}, false, false},
      {"response cut after the bind", {Mode::kCutResponse, {}, 1}, true, false},
      {"undecodable answers", {Mode::kUndecodable}, false, false},
  };
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.name);
    proxy->SetFault({});
    ASSERT_EQ(IPC_SERVER_Init(), 0);  // empty caches
    proxy->SetFault(fault.fault);
    if (fault.drop) proxy->DropConnections();
    Clock::duration worst{}, total{};
    for (const auto& [sip, expected] : truth) {
      Clock::duration took[2] = {};
      Resolve(sip, nullptr, &took[0]);
      EXPECT_EQ(Email(sip, &took[1]), "") << sip;  // no user could be read
      worst = std::max({worst, took[0], took[1]});
      total += took[0] + took[1];
    }
    Measured(std::string("module, ") + fault.name + ": worst GUID list or e-mail lookup", worst);
    EXPECT_LE(worst, fault.waits ? kBound : kPrompt);
    // The outage as a whole costs one time-out, not one per user.
    EXPECT_LE(total, fault.waits ? kBound : kPrompt);

    proxy->SetFault({});
    std::this_thread::sleep_for(Ms(kBackoffMs + 50));
    for (const auto& [sip, expected] : truth) {
      EXPECT_EQ(Resolve(sip), expected.guids) << sip;
      EXPECT_EQ(Email(sip), expected.email) << sip;
    }
    EXPECT_EQ(IPC_SERVER_Deinit(), 0);
  }
}

}  // namespace
