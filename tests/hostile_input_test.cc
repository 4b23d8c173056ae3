// Hostile input through the public operations, against a real slapd that
// logs every search it serves.
//
// Keys: every filter metacharacter, wildcards and injected filter parts, a
// NUL inside, 10,000 characters, code units that are no Unicode. Each gets
// a clear answer (nobody, or a refusal) and the server sees exactly one
// equality search for what the key says, escaped, or no search at all.
//
// Records: a user without objectGUID or objectSid or primaryGroupID, or with
// values of the wrong length or a primary group that does not exist;
// memberOf naming a non-group, a missing object, rings of groups of length
// 1 to 100, and a user in 5,000 groups. Each walk ends, with the GUIDs it
// could find in the designed order and a warning where a step had to be
// skipped.
#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <memory>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "local_directories/slapd_server.h"
#include "module/module_entry.h"
#include "platform/com.h"
#include "platform/hex.h"
#include "platform/utf8.h"
#include "resolve/policy_filter_ds_access_helper.h"
#include "resolve/proxy_address_ds_access_helper.h"
#include "testing/log_capture.h"
#include "tests/support/scoped_settings_file.h"

namespace {

using userpolicy::local_directories::LdifLine;
using userpolicy::local_directories::SlapdOptions;
using userpolicy::local_directories::SlapdServer;

constexpr char kPeople[] = "ou=People,dc=example,dc=test";
constexpr char kGroups[] = "ou=Groups,dc=example,dc=test";
// The sample directory's Domain Users (RID 513) and its domain SID.
constexpr char kDomainUsersGuid[] = "01030000000000000000000000000000";
constexpr unsigned char kDomainSid[] = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 0xdc, 0xf4, 0xdc, 0x3b,
                                        0x83, 0x3d, 0x2b, 0x46, 0x82, 0x8b, 0xa6, 0x28};
// Objects that are not groups: a computer account and an OU (no objectGUID).
constexpr char kComputerDn[] = "cn=WS-0001,ou=Computers,dc=example,dc=test";
constexpr char kComputerGuid[] = "40040000000000000000000000000000";
constexpr char kOuDn[] = "ou=Computers,dc=example,dc=test";
constexpr int kRingLengths[] = {1, 2, 7, 100};
constexpr int kManyGroups = 5000;
// slapd cuts a filter it logs near this length.
constexpr size_t kSlapdLoggedFilterLimit = 200;
constexpr unsigned char kRingTag = 0xc0;
constexpr unsigned char kManyTag = 0xd0;
constexpr unsigned char kUserTag = 0xe0;

// 16 bytes: a tag, a 16-bit number, the rest zero; as the library prints it.
std::string Guid(unsigned char tag, int number) {
  std::string bytes(16, '\0');
  bytes[0] = static_cast<char>(tag);
  bytes[1] = static_cast<char>(number & 0xff);
  bytes[2] = static_cast<char>((number >> 8) & 0xff);
  return bytes;
}
std::string GuidText(unsigned char tag, int number) {
  std::string text;
  for (char byte : Guid(tag, number)) platform::AppendLowerHexByte(&text, static_cast<uint8_t>(byte));
  return text;
}

std::string Sid(uint32_t rid) {
  std::string sid(reinterpret_cast<const char*>(kDomainSid), sizeof kDomainSid);
  for (int i = 0; i < 4; ++i) sid += static_cast<char>((rid >> (8 * i)) & 0xff);
  return sid;
}

std::string RingDn(int length, int k) {
  return "cn=Ring " + std::to_string(length) + "-" + std::to_string(k) + "," + kGroups;
}
std::string ManyDn(int i) { return "cn=Many " + std::to_string(i) + "," + kGroups; }

void WriteGroup(std::ostream& out, const std::string& dn, const std::string& guid, uint32_t rid,
                const std::vector<std::string>& member_of) {
  out << "dn: " << dn << "\nobjectClass: top\nobjectClass: group\ncn: " << dn.substr(3, dn.find(',') - 3)
      << "\nobjectCategory: group\ngroupType: -2147483646\n"
      << LdifLine("objectGUID", guid) << LdifLine("objectSid", Sid(rid));
  for (const std::string& parent : member_of) out << "memberOf: " << parent << "\n";
  out << "\n";
}

// A user sip:hostile-<name>@example.test with RID 5000 + `number`; each
// optional attribute is written only when given.
struct HostileUser {
  std::string name;
  std::optional<std::string> guid;
  std::optional<std::string> sid;
  std::optional<std::string> primary_group_id;
  std::vector<std::string> member_of;
};

std::string SipOf(const std::string& name) { return "sip:hostile-" + name + "@example.test"; }

void WriteUser(std::ostream& out, const HostileUser& user) {
  out << "dn: cn=Hostile " << user.name << "," << kPeople
      << "\nobjectClass: top\nobjectClass: person\nobjectClass: organizationalPerson\nobjectClass: "
         "inetOrgPerson\nobjectClass: user\nstructuralObjectClass: user\ncn: Hostile "
      << user.name << "\nsn: " << user.name << "\nobjectCategory: person\nmsRTCSIP-PrimaryUserAddress: "
      << SipOf(user.name) << "\nmail: hostile-" << user.name << "@example.test\n";
  if (user.guid) out << LdifLine("objectGUID", *user.guid);
  if (user.sid) out << LdifLine("objectSid", *user.sid);
  if (user.primary_group_id) out << "primaryGroupID: " << *user.primary_group_id << "\n";
  for (const std::string& group : user.member_of) out << "memberOf: " << group << "\n";
  out << "\n";
}

std::vector<HostileUser> HostileUsers() {
  std::vector<HostileUser> users;
  int number = 0;
  auto user = [&](const std::string& name, std::vector<std::string> member_of) {
    ++number;
    return HostileUser{name, Guid(kUserTag, number), Sid(5000 + number), "513", std::move(member_of)};
  };
  const std::vector<std::string> ring2 = {RingDn(2, 1)};
  HostileUser no_guid = user("no-guid", ring2);
  no_guid.guid.reset();
  HostileUser short_guid = user("short-guid", ring2);
  short_guid.guid = std::string("\x01\x02\x03", 3);
  HostileUser no_sid = user("no-sid", ring2);
  no_sid.sid.reset();
  HostileUser short_sid = user("short-sid", ring2);
  short_sid.sid = std::string("\x01\x05\x00\x00\x00", 5);
  HostileUser no_primary = user("no-primary", ring2);
  no_primary.primary_group_id.reset();
  HostileUser missing_primary = user("missing-primary", ring2);
  missing_primary.primary_group_id = "99999";
  HostileUser huge_primary = user("huge-primary", ring2);
  huge_primary.primary_group_id = "4294967296000";
  users = {no_guid, short_guid, no_sid, short_sid, no_primary, missing_primary, huge_primary};
  users.push_back(user("odd-members", {kComputerDn, kOuDn, "cn=Gone," + std::string(kGroups), RingDn(2, 1)}));
  for (int length : kRingLengths) users.push_back(user("ring-" + std::to_string(length), {RingDn(length, 1)}));
  std::vector<std::string> many;
  for (int i = 1; i <= kManyGroups; ++i) many.push_back(ManyDn(i));
  users.push_back(user("many", many));
  return users;
}

void WriteHostileGroups(std::ostream& out) {
  for (int length : kRingLengths) {
    for (int k = 1; k <= length; ++k) {
      WriteGroup(out, RingDn(length, k), Guid(kRingTag + (length & 0x0f), k), 10000 + 1000 * length + k,
                 {RingDn(length, k % length + 1)});
    }
  }
  for (int i = 1; i <= kManyGroups; ++i) WriteGroup(out, ManyDn(i), Guid(kManyTag, i), 200000 + i, {});
}

void WriteHostileUsers(std::ostream& out) {
  for (const HostileUser& user : HostileUsers()) WriteUser(out, user);
}

std::string Messages(const DBG::testing::ScopedLogCapture& capture) {
  std::string text;
  for (const DBG::LogRecord& record : capture.Snapshot()) text += std::to_string(record.level) + " " + record.message + "\n";
  return text;
}

std::vector<std::string> RingGuids(int length) {
  std::vector<std::string> guids;
  for (int k = 1; k <= length; ++k) guids.push_back(GuidText(kRingTag + (length & 0x0f), k));
  return guids;
}

class HostileInput : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    SlapdOptions options;
    options.log_operations = true;
    options.ldif_writers.push_back(&WriteHostileGroups);
    options.unchecked_ldif_writers.push_back(&WriteHostileUsers);
    options.start_timeout = std::chrono::seconds(120);
    server_ = SlapdServer::Start(options).release();
    settings_ = new userpolicy::testing::ScopedSettingsFile(userpolicy::testing::DirectorySettings(
        server_->host_port(), server_->service_dn(), server_->service_password_file()));
    ASSERT_EQ(IPC_SERVER_Init(), 0);
  }
  static void TearDownTestSuite() {
    IPC_SERVER_Deinit();
    delete settings_;
    delete server_;
  }

  struct Resolution {
    bool result = false;
    std::vector<std::string> guids;
    long email_hr = 0;
    std::string email;
  };
  static Resolution Resolve(const std::wstring& sip) {
    Resolution resolution;
    std::vector<_bstr_t> guids;
    resolution.result = CPolicyFilterDSAccessHelper::GetUserIdentityAndMembershipGuids(sip.c_str(), guids);
    for (const _bstr_t& guid : guids) resolution.guids.push_back(platform::WideToUtf8(static_cast<const wchar_t*>(guid)));
    wchar_t email[256] = {};
    resolution.email_hr = CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(sip.c_str(), email, 256);
    resolution.email = platform::WideToUtf8(email);
    return resolution;
  }

  // The filters of the user searches slapd logged since `from` (an offset
  // into its log), as slapd printed them.
  static std::vector<std::string> UserSearchesSince(size_t from) {
    const std::string log = server_->operation_log().substr(from);
    static const std::regex kSearch(R"(SRCH base="[^"]*" scope=2 deref=\d+ filter="([^\n]*msRTCSIP-PrimaryUserAddress[^\n]*)\"\n)",
                                    std::regex::icase);
    std::vector<std::string> filters;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), kSearch); it != std::sregex_iterator(); ++it) {
      filters.push_back((*it)[1]);
    }
    return filters;
  }
  static size_t LogSize() { return server_->operation_log().size(); }

  static SlapdServer* server_;
  static userpolicy::testing::ScopedSettingsFile* settings_;
};
SlapdServer* HostileInput::server_ = nullptr;
userpolicy::testing::ScopedSettingsFile* HostileInput::settings_ = nullptr;

TEST_F(HostileInput, KeysReachTheServerAsOneEscapedEqualityOrNotAtAll) {
  const std::string long_key = "sip:" + std::string(10000, 'a') + "@example.test";
  struct Case {
    const char* title;
    std::wstring key;
    // The value slapd must show inside the equality, escaped as it prints
    // it; empty when the key must not reach the server.
    std::string logged;
  };
  const Case cases[] = {
      {"a lone asterisk", L"sip:*", R"(sip:\2A)"},
      {"injected filter parts", L"sip:x)(cn=*", R"(sip:x\29\28cn=\2A)"},
      {"an injected OR", L"sip:x)(|(objectClass=*)", R"(sip:x\29\28|\28objectClass=\2A\29)"},
      {"every metacharacter", L"sip:(*\\)@example.test", R"(sip:\28\2A\5C\29@example.test)"},
      {"an escaped-looking key", L"sip:\\2a@example.test", R"(sip:\5C2a@example.test)"},
      {"a wildcard inside", L"sip:al*@example.test", R"(sip:al\2A@example.test)"},
      {"a NUL ends the key", std::wstring(L"sip:nul\0*@example.test", 21), R"(sip:nul)"},
      {"10,000 characters", platform::Utf8ToWide(long_key), long_key},
      {"a lone high surrogate", std::wstring(L"sip:a") + wchar_t(0xD800) + L"@example.test", ""},
      {"a lone low surrogate", std::wstring(L"sip:a") + wchar_t(0xDC00) + L"@example.test", ""},
      {"a code point above U+10FFFF", std::wstring(L"sip:a") + wchar_t(0x110000) + L"@example.test", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    const size_t from = LogSize();
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kWarning);
    const Resolution got = Resolve(c.key);
    // Nobody is found; a key that is no Unicode is refused with a failure
    // on the log, before any search.
    EXPECT_TRUE(got.guids.empty());
    EXPECT_EQ(got.email_hr, E_FAIL);
    const std::vector<std::string> searches = UserSearchesSince(from);
    if (c.logged.empty()) {
      EXPECT_FALSE(got.result);
      EXPECT_TRUE(searches.empty()) << searches.front();
      EXPECT_TRUE(capture.ContainsSubstring(DBG::kLevelFailure, "which is not a valid Unicode character")) << Messages(capture);
      continue;
    }
    EXPECT_TRUE(got.result);  // an unknown address
    // One search (the e-mail lookup finds the empty record cached), whose
    // only assertion about the SIP address is the equality with the whole
    // key, upper-cased as the manager keeps it.
    ASSERT_EQ(searches.size(), 1u);
    std::string expected = "(&(|(&(objectClass=user)(objectCategory=person))(&(objectClass=contact)"
                           "(objectCategory=person)))(msRTCSIP-PrimaryUserAddress=" + c.logged + "))";
    std::string seen = searches[0];
    for (std::string* text : {&expected, &seen}) {
      std::transform(text->begin(), text->end(), text->begin(), [](char ch) {
        return ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 'a' + 'A') : ch;
      });
    }
    // slapd prints hex escapes in its own case and cuts a long filter short
    // (closing its parentheses) when it logs it.
    if (seen.size() < expected.size() && seen.size() >= kSlapdLoggedFilterLimit) {
      EXPECT_EQ(expected.compare(0, seen.size() - 2, seen, 0, seen.size() - 2), 0) << searches[0];
    } else {
      EXPECT_EQ(seen, expected);
    }
  }
}

TEST_F(HostileInput, HostileRecordsEndTheirWalkWithWhatCouldBeFoundAndAWarning) {
  const std::string ring2_a = GuidText(kRingTag + 2, 1), ring2_b = GuidText(kRingTag + 2, 2);
  struct Case {
    std::string name;
    std::vector<std::string> expected;  // "*" stands for the user's own GUID, whatever its form
    std::string warning = "";           // "" when none is due
    std::string failure = "";           // "" when none is due
  };
  std::vector<Case> cases = {
      {"no-guid", {kDomainUsersGuid, ring2_a, ring2_b}, ""},
      // A GUID that is not 16 bytes is no GUID: the user counts as without one.
      {"short-guid", {kDomainUsersGuid, ring2_a, ring2_b}, ""},
      {"no-sid", {"*", ring2_a, ring2_b}, ""},
      // A SID too short to hold a RID is no SID: no primary group, as without one.
      {"short-sid", {"*", ring2_a, ring2_b}, ""},
      {"no-primary", {"*", ring2_a, ring2_b}, "primaryGroupID is empty"},
      {"missing-primary", {"*", ring2_a, ring2_b}, "objDSPrimaryGroup objectGUID is empty"},
      {"huge-primary", {"*", ring2_a, ring2_b}, "objDSPrimaryGroup objectGUID is empty"},
      // An object that is no group is walked like one; one without objectGUID
      // adds nothing, and a missing object ends only its own branch, with
      // the failure that names it.
      {"odd-members", {"*", kDomainUsersGuid, kComputerGuid, ring2_a, ring2_b}, "",
       "GetNestedGroupMembershipGuids(cn=Gone,ou=Groups,dc=example,dc=test) fail. Error = no object at GC://"},
  };
  for (int length : kRingLengths) {
    std::vector<std::string> expected = {"*", kDomainUsersGuid};
    for (const std::string& guid : RingGuids(length)) expected.push_back(guid);
    cases.push_back({"ring-" + std::to_string(length), expected, "", ""});
  }
  std::vector<std::string> many = {"*", kDomainUsersGuid};
  for (int i = 1; i <= kManyGroups; ++i) many.push_back(GuidText(kManyTag, i));
  cases.push_back({"many", many, "", ""});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kWarning);
    const Resolution got = Resolve(platform::Utf8ToWide(SipOf(c.name)));
    EXPECT_TRUE(got.result);
    ASSERT_EQ(got.guids.size(), c.expected.size());
    for (size_t i = 0; i < c.expected.size(); ++i) {
      if (c.expected[i] != "*") {
        EXPECT_EQ(got.guids[i], c.expected[i]) << "entry " << i;
      }
    }
    EXPECT_EQ(got.email_hr, S_OK);
    EXPECT_EQ(got.email, "hostile-" + c.name + "@example.test");
    if (!c.warning.empty()) {
      EXPECT_TRUE(capture.ContainsSubstring(DBG::kLevelWarning, c.warning)) << Messages(capture);
    }
    if (c.failure.empty()) {
      EXPECT_EQ(capture.Count(DBG::kLevelFailure), 0u) << Messages(capture);
    } else {
      EXPECT_TRUE(capture.ContainsSubstring(DBG::kLevelFailure, c.failure)) << Messages(capture);
    }
  }
}

}  // namespace
