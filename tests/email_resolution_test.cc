// A SIP user's e-mail address, resolved through the user-identity manager
// against the in-memory directory: which of proxyAddresses and mail wins,
// how the address is copied into the caller's buffer, the failures, and the
// exact log lines of each case.
#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "dsobject/user_policy_manager_exception.h"
#include "manager/in_flight_table.h"
#include "platform/com.h"
#include "platform/directory/directory_error.h"
#include "platform/log_testing.h"
#include "platform/types.h"
#include "resolve/proxy_address_ds_access_helper.h"
#include "tests/support/resolve_fixture.h"

namespace {

using directory::MemoryObject;
using userpolicy::testing::LinesOf;
using userpolicy::testing::LogLines;
using userpolicy::testing::Narrow;
using userpolicy::testing::ResolveDirectory;
using userpolicy::testing::ScopedPerfObject;
using userpolicy::testing::UserObject;

constexpr char kSource[] = "serv_ProxyAddressDSAccessHelper";
constexpr wchar_t kSip[] = L"sip:ann@example.test";
constexpr wchar_t kUserDn[] = L"CN=Ann,OU=People,DC=example,DC=test";
// Buffers are filled with this before a call, so that every character the
// call writes (or does not write) shows.
constexpr wchar_t kUntouched = L'#';
constexpr size_t kBufferSize = 32;

const std::string kEntryLine = "CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(" + Narrow(kSip) + ")";

std::string ExitLine(long hr) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%x", static_cast<unsigned>(hr));
  return std::string("CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress() hr=") + text;
}

// A value of proxyAddresses or mail: a string, or an integer (not a string).
using Value = std::variant<std::wstring, int>;

void AddValues(MemoryObject& object, const wchar_t* attribute, const std::vector<Value>& values) {
  for (const Value& value : values) {
    if (const std::wstring* text = std::get_if<std::wstring>(&value)) {
      object.AddString(attribute, *text);
    } else {
      object.AddInteger(attribute, std::get<int>(value));
    }
  }
}

void AddUser(ResolveDirectory& scene, const std::vector<Value>& proxy_addresses, const std::vector<Value>& mail) {
  MemoryObject user = UserObject(kUserDn, kSip);
  AddValues(user, L"proxyAddresses", proxy_addresses);
  AddValues(user, L"mail", mail);
  scene.directory.AddObject(user);
}

std::wstring FreshBuffer() { return std::wstring(kBufferSize, kUntouched); }

long GetAddress(const wchar_t* sip, std::wstring& buffer, unsigned long capacity) {
  return CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(sip, buffer.data(), capacity);
}

// The buffer as a successful call leaves it: `address` cut to capacity - 1
// characters, zeros up to `capacity`, the rest untouched.
std::wstring Filled(const std::wstring& address, size_t capacity) {
  std::wstring expected = FreshBuffer();
  const size_t kept = std::min(address.size(), capacity - 1);
  for (size_t i = 0; i < capacity; ++i) expected[i] = i < kept ? address[i] : L'\0';
  return expected;
}

// Which address wins -------------------------------------------------------------

struct PrecedenceCase {
  const char* title;
  std::vector<Value> proxy_addresses;
  std::vector<Value> mail;
  long expected_hr;
  std::wstring expected_address;  // when expected_hr is S_OK
  std::vector<std::string> lines;  // between the entry and the exit line, all at level 258
};

TEST(EmailResolution, PrimaryThenFirstSecondaryThenFirstMailValue) {
  const std::string no_address = "No e-mail address => " + Narrow(kSip) + ".";
  const std::vector<PrecedenceCase> cases = {
      {"primary after a secondary",
       {L"smtp:a@example.test", L"SMTP:b@example.test"},
       {L"m@example.test"},
       S_OK,
       L"b@example.test",
       {"Found Secondary proxyAddresses = a@example.test", "Found Primary proxyAddresses = b@example.test",
        "Email Address = b@example.test (in proxyAddresses)"}},
      {"two secondaries: the first, logged once",
       {L"smtp:a@example.test", L"Smtp:c@example.test"},
       {},
       S_OK,
       L"a@example.test",
       {"Found Secondary proxyAddresses = a@example.test", "Email Address = a@example.test (in proxyAddresses)"}},
      {"two primaries: the first ends the scan",
       {L"SMTP:a@example.test", L"smtp:s@example.test", L"SMTP:b@example.test"},
       {},
       S_OK,
       L"a@example.test",
       {"Found Primary proxyAddresses = a@example.test", "Email Address = a@example.test (in proxyAddresses)"}},
      {"exactly \"SMTP:\" is skipped",
       {L"SMTP:", L"smtp:", L"sMtP:c@example.test"},
       {},
       S_OK,
       L"c@example.test",
       {"Found Secondary proxyAddresses = c@example.test", "Email Address = c@example.test (in proxyAddresses)"}},
      {"one character after the prefix is an address",
       {L"SMTP:x"},
       {},
       S_OK,
       L"x",
       {"Found Primary proxyAddresses = x", "Email Address = x (in proxyAddresses)"}},
      {"other prefixes never count; mail is taken as it is",
       {L"SIP:ann@example.test", L"X500:/o=Example/cn=Ann", L"x400:c=US;a= ;p=Example;s=Ann", L"SMTPann@x.test"},
       {L"Ann.Mail@Example.TEST"},
       S_OK,
       L"Ann.Mail@Example.TEST",
       {"Email Address = Ann.Mail@Example.TEST (in mail)"}},
      {"other prefixes and no mail",
       {L"SIP:ann@example.test", L"X500:/o=Example/cn=Ann"},
       {},
       E_FAIL,
       L"",
       {no_address}},
      {"values that are not strings are skipped",
       {7, L"SMTP:a@example.test"},
       {},
       S_OK,
       L"a@example.test",
       {"Found Primary proxyAddresses = a@example.test", "Email Address = a@example.test (in proxyAddresses)"}},
      {"no proxyAddresses: mail, prefix and all",
       {},
       {L"smtp:m@example.test"},
       S_OK,
       L"smtp:m@example.test",
       {"Email Address = smtp:m@example.test (in mail)"}},
      {"only the first mail value counts, even when it is no string",
       {},
       {5, L"m@example.test"},
       E_FAIL,
       L"",
       {no_address}},
      {"only the first mail value counts",
       {},
       {L"first@example.test", L"second@example.test"},
       S_OK,
       L"first@example.test",
       {"Email Address = first@example.test (in mail)"}},
      {"an empty mail string is an address",
       {},
       {L""},
       S_OK,
       L"",
       {"Email Address =  (in mail)"}},
      {"neither attribute", {}, {}, E_FAIL, L"", {no_address}},
  };
  for (const PrecedenceCase& c : cases) {
    SCOPED_TRACE(c.title);
    ResolveDirectory scene;
    AddUser(scene, c.proxy_addresses, c.mail);

    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    std::wstring buffer = FreshBuffer();
    EXPECT_EQ(GetAddress(kSip, buffer, kBufferSize), c.expected_hr);
    EXPECT_EQ(buffer, c.expected_hr == S_OK ? Filled(c.expected_address, kBufferSize) : FreshBuffer());

    LogLines expected = {{DBG::kLevelEnter, kEntryLine}};
    for (const std::string& line : c.lines) expected.emplace_back(DBG::kLevelData, line);
    expected.emplace_back(DBG::kLevelLeave, ExitLine(c.expected_hr));
    EXPECT_EQ(LinesOf(capture, kSource), expected);
  }
}

TEST(EmailResolution, UserTheSearchDoesNotFindHasNoAddress) {
  ResolveDirectory scene;
  DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
  std::wstring buffer = FreshBuffer();
  EXPECT_EQ(GetAddress(L"sip:nobody@example.test", buffer, kBufferSize), E_FAIL);
  EXPECT_EQ(buffer, FreshBuffer());
  const LogLines expected = {
      {DBG::kLevelEnter, "CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(sip:nobody@example.test)"},
      {DBG::kLevelData, "No e-mail address => sip:nobody@example.test."},
      {DBG::kLevelLeave, ExitLine(E_FAIL)},
  };
  EXPECT_EQ(LinesOf(capture, kSource), expected);
}

// The caller's buffer -------------------------------------------------------------

struct BufferCase {
  const char* title;
  bool in_mail;  // the address is the mail value, else a primary proxyAddresses value
  unsigned long capacity;
};

TEST(EmailResolution, AddressIsCutToTheCapacityAndTheRestOfTheBufferZeroed) {
  const std::wstring address = L"abcdefghij@klmn.test";  // 20 characters
  ASSERT_EQ(address.size(), 20u);
  const std::vector<BufferCase> cases = {
      {"capacity 10: nine characters and a zero", false, 10},
      {"capacity 10 from mail", true, 10},
      {"capacity 20: one character short", false, 20},
      {"capacity 21: exactly fits", false, 21},
      {"capacity 32: zeros after the address up to the end", false, 32},
      {"capacity 32 from mail", true, 32},
      {"capacity 1: only the zero", false, 1},
  };
  for (const BufferCase& c : cases) {
    SCOPED_TRACE(c.title);
    ResolveDirectory scene;
    if (c.in_mail) {
      AddUser(scene, {}, {address});
    } else {
      AddUser(scene, {L"SMTP:" + address}, {});
    }
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    std::wstring buffer = FreshBuffer();
    EXPECT_EQ(GetAddress(kSip, buffer, c.capacity), S_OK);
    EXPECT_EQ(buffer, Filled(address, c.capacity));
    // The log names the whole address, not the cut one.
    const std::string where = c.in_mail ? " (in mail)" : " (in proxyAddresses)";
    EXPECT_TRUE(capture.Contains(DBG::kLevelData, "Email Address = " + Narrow(address) + where));
  }
}

struct InvalidCallCase {
  const char* title;
  const wchar_t* sip;
  bool with_buffer;
  unsigned long capacity;
};

TEST(EmailResolution, InvalidArgumentsAreRefusedWithoutLogLookupOrWrite) {
  const std::vector<InvalidCallCase> cases = {
      {"null SIP address", nullptr, true, kBufferSize},
      {"null buffer", kSip, false, kBufferSize},
      {"both null", nullptr, false, kBufferSize},
      {"capacity 0", kSip, true, 0},
  };
  for (const InvalidCallCase& c : cases) {
    SCOPED_TRACE(c.title);
    ResolveDirectory scene;
    AddUser(scene, {L"SMTP:a@example.test"}, {});
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    std::wstring buffer = FreshBuffer();
    wchar_t* target = c.with_buffer ? buffer.data() : nullptr;
    EXPECT_EQ(CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(c.sip, target, c.capacity), E_INVALIDARG);
    EXPECT_EQ(buffer, FreshBuffer());
    EXPECT_TRUE(capture.Snapshot().empty());
    EXPECT_EQ(scene.directory.TotalCalls(), 0);
  }
}

// Failures -------------------------------------------------------------------------

std::string FailureLine(int code) {
  return "CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(szSipAddress = " + Narrow(kSip) +
         ") fail. Error = " + std::to_string(code);
}

TEST(EmailResolution, FailedDirectoryLookupLogsItsCodeAndLeavesTheBufferAlone) {
  for (const int code : {kDirectoryServerDown, kDirectoryTimeout}) {
    SCOPED_TRACE(code);
    ResolveDirectory scene;
    AddUser(scene, {L"SMTP:a@example.test"}, {});
    scene.directory.FailNthCall(1, code);
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    std::wstring buffer = FreshBuffer();
    EXPECT_EQ(GetAddress(kSip, buffer, kBufferSize), E_FAIL);
    EXPECT_EQ(buffer, FreshBuffer());
    const LogLines expected = {
        {DBG::kLevelEnter, kEntryLine},
        {DBG::kLevelFailure, FailureLine(code)},
        {DBG::kLevelLeave, ExitLine(E_FAIL)},
    };
    EXPECT_EQ(LinesOf(capture, kSource), expected);

    // Nothing was cached for the failure: the next call reads and succeeds.
    EXPECT_EQ(GetAddress(kSip, buffer, kBufferSize), S_OK);
    EXPECT_EQ(buffer, Filled(L"a@example.test", kBufferSize));
  }
}

TEST(EmailResolution, NotFoundFailureOfTheManagerLogsItsCodeAndLeavesTheBufferAlone) {
  ResolveDirectory scene;
  AddUser(scene, {L"SMTP:a@example.test"}, {});
  // A caller that finds another caller's read of its key in flight, with no
  // event to wait on, gets the manager's not-found failure at once.
  in_flight_testing::SetFailEventCreation(true);
  scene.directory.BlockReads();
  long reader_hr = 0;
  std::wstring reader_buffer = FreshBuffer();
  std::thread reader([&] { reader_hr = GetAddress(kSip, reader_buffer, kBufferSize); });
  ASSERT_TRUE(scene.directory.WaitUntilBlocked(1));

  // While the reader stays parked, every record is this call's.
  std::wstring buffer = FreshBuffer();
  long hr = 0;
  LogLines lines;
  {
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    hr = GetAddress(kSip, buffer, kBufferSize);
    lines = LinesOf(capture, kSource);
  }
  scene.directory.ReleaseReads();
  reader.join();

  EXPECT_EQ(hr, E_FAIL);
  EXPECT_EQ(buffer, FreshBuffer());
  const LogLines expected = {
      {DBG::kLevelEnter, kEntryLine},
      {DBG::kLevelFailure, FailureLine(EX_USER_POLICY_MGR_DSOBJECT_NOT_FOUND)},
      {DBG::kLevelLeave, ExitLine(E_FAIL)},
  };
  EXPECT_EQ(lines, expected);
  // The reader itself was answered.
  EXPECT_EQ(reader_hr, S_OK);
  EXPECT_EQ(reader_buffer, Filled(L"a@example.test", kBufferSize));
}

// Counting ---------------------------------------------------------------------------

TEST(EmailResolution, EachCallIsOneUserLookupCountedBySource) {
  ResolveDirectory scene;
  AddUser(scene, {}, {L"m@example.test"});
  ScopedPerfObject perf;
  const CDSAccessPerfObject& p = perf.counters();
  std::wstring buffer = FreshBuffer();

  ASSERT_EQ(GetAddress(kSip, buffer, kBufferSize), S_OK);
  EXPECT_EQ((std::vector<ULONG>{p.m_nTotalDSAccess, p.m_nUserDSAccess, p.m_nTotalCacheAccess, p.m_nUserCacheAccess}),
            (std::vector<ULONG>{1, 1, 0, 0}));
  ASSERT_EQ(GetAddress(kSip, buffer, kBufferSize), S_OK);
  EXPECT_EQ((std::vector<ULONG>{p.m_nTotalDSAccess, p.m_nUserDSAccess, p.m_nTotalCacheAccess, p.m_nUserCacheAccess}),
            (std::vector<ULONG>{1, 1, 1, 1}));
  EXPECT_EQ(p.m_nPGroupDSAccess + p.m_nPGroupCacheAccess + p.m_nNGroupDSAccess + p.m_nNGroupCacheAccess, 0u);
  EXPECT_EQ(scene.directory.TotalCalls(), 1);
}

}  // namespace
