// Who a SIP user is and which groups the user is in, resolved through the
// module's managers against the in-memory directory: the order of the GUID
// list over chains, diamonds and cycles, the caller's own entries, unusable
// attribute values and their warnings, directory failures at each step, the
// per-call access counts in the log and the module's performance counters,
// and very deep chains.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cwctype>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "dsobject/ds_object_info.h"
#include "manager/lookup_key.h"
#include "manager/user_policy_manager.h"
#include "manager/user_policy_manager_impl.h"
#include "module/manager_factories.h"
#include "platform/clock_testing.h"
#include "platform/com.h"
#include "platform/directory.h"
#include "platform/directory/directory_error.h"
#include "platform/log_testing.h"
#include "resolve/policy_filter_ds_access_helper.h"
#include "tests/support/resolve_fixture.h"

namespace {

using directory::MemoryObject;
using userpolicy::testing::GuidBytes;
using userpolicy::testing::GuidText;
using userpolicy::testing::LinesOf;
using userpolicy::testing::LogLines;
using userpolicy::testing::Narrow;
using userpolicy::testing::ScopedPerfObject;
using userpolicy::testing::UserObject;

constexpr char kSource[] = "serv_PolicyFilterDSAccessHelper";
constexpr wchar_t kSip[] = L"sip:ann@example.test";
constexpr wchar_t kUserDn[] = L"CN=Ann,OU=People,DC=example,DC=test";
constexpr int kUserGuid = 1;
constexpr int kPrimaryGuid = 2;
// Groups get GUID ids from here on, in the order a test declares them.
constexpr int kFirstGroupGuid = 10;
constexpr uint32_t kUserRid = 1104;
constexpr int32_t kPrimaryRid = 513;
// The test domain S-1-5-21-1-2-3.
constexpr uint32_t kDomainSubAuthorities[] = {21, 1, 2, 3};
constexpr wchar_t kUserSidText[] = L"S-1-5-21-1-2-3-1104";
constexpr wchar_t kPrimaryName[] = L"P";
constexpr int kVariantTypeI4 = VT_I4;

std::wstring GroupDn(const std::wstring& name) { return L"CN=" + name + L",OU=Groups,DC=example,DC=test"; }

// Binary objectSid of the test domain with `rid` as its last sub-authority.
std::vector<uint8_t> SidBytes(uint32_t rid) {
  std::vector<uint8_t> bytes = {1, 5, 0, 0, 0, 0, 0, 5};  // revision, count, authority 5
  std::vector<uint32_t> subs(std::begin(kDomainSubAuthorities), std::end(kDomainSubAuthorities));
  subs.push_back(rid);
  for (uint32_t sub : subs) {
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(sub >> shift));
  }
  return bytes;
}

_variant_t Binary(const std::vector<uint8_t>& bytes) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  if (array == nullptr) _com_issue_error(E_OUTOFMEMORY);
  std::copy(bytes.begin(), bytes.end(), static_cast<uint8_t*>(array->pvData));
  _variant_t value;
  value.vt = VT_ARRAY | VT_UI1;
  value.parray = array;
  return value;
}
_variant_t Text(const std::wstring& text) { return _variant_t(text.c_str()); }
_variant_t Integer(int32_t number) { return _variant_t(static_cast<long>(number)); }

// An attribute list in the order it is stored, for the directory or for a
// record planted in a manager's cache.
using Attributes = std::vector<std::pair<std::wstring, std::vector<_variant_t>>>;

void Remove(Attributes& attributes, const std::wstring& name) {
  attributes.erase(std::remove_if(attributes.begin(), attributes.end(),
                                  [&](const auto& attribute) { return attribute.first == name; }),
                   attributes.end());
}
void Replace(Attributes& attributes, const std::wstring& name, std::vector<_variant_t> values) {
  for (auto& attribute : attributes) {
    if (attribute.first == name) {
      attribute.second = std::move(values);
      return;
    }
  }
  attributes.emplace_back(name, std::move(values));
}

CDSObjectInfo RecordOf(const Attributes& attributes) {
  CDSObjectInfo record;
  for (const auto& [name, values] : attributes) {
    CDSObjectProperty property(name.c_str());
    for (_variant_t value : values) property.AddValue(value);
    record.AddProperty(property);
  }
  return record;
}

// Puts `record` into the cache of `manager` under `key`, as a lookup that
// read it would have: the next lookup of `key` returns it, from the cache.
// The managers convert objectGUID and objectSid to strings, so only a
// record placed this way can hold other value types there.
void Plant(const CUserPolicyManager& manager, const std::wstring& key, const Attributes& attributes) {
  CDSObjectInfo record = RecordOf(attributes);
  CUserPolicyManagerInspector::Impl(manager)->cache().Update(NormaliseKey(key.c_str()), record);
}

std::wstring PrimaryGroupKey() {
  wchar_t key[kKeyBufferLength] = {};
  EXPECT_EQ(CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID(kUserSidText, kPrimaryRid, key,
                                                                                 kKeyBufferLength),
            S_OK);
  return key;
}

// The user's attributes as the directory holds them (binary GUID and SID)
// or as a record holds them (their string forms, and distinguishedName).
Attributes StandardUser(bool as_record, const std::vector<std::wstring>& member_of) {
  Attributes user;
  user.emplace_back(L"objectGUID", std::vector<_variant_t>{as_record ? Text(GuidText(kUserGuid))
                                                                     : Binary(GuidBytes(kUserGuid))});
  if (as_record) user.emplace_back(L"distinguishedName", std::vector<_variant_t>{Text(kUserDn)});
  std::vector<_variant_t> groups;
  for (const std::wstring& dn : member_of) groups.push_back(Text(dn));
  user.emplace_back(L"memberOf", std::move(groups));
  user.emplace_back(L"primaryGroupID", std::vector<_variant_t>{Integer(kPrimaryRid)});
  user.emplace_back(L"objectSid",
                    std::vector<_variant_t>{as_record ? Text(kUserSidText) : Binary(SidBytes(kUserRid))});
  return user;
}

// The eight counts of one call's two "DSCounter" lines, in their order.
using DSCounts = std::array<int, 8>;

std::vector<DSCounts> CountsIn(const LogLines& lines) {
  std::vector<DSCounts> calls;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    DSCounts c{};
    if (std::sscanf(lines[i].second.c_str(),
                    "DSCounter: total_ds_access=%d, total_cache_access=%d,user_ds_access=%d, user_cache_access=%d",
                    &c[0], &c[1], &c[2], &c[3]) == 4 &&
        std::sscanf(lines[i + 1].second.c_str(),
                    "DSCounter: pgroup_ds_access=%d, pgroup_cache_access=%d,ngroup_ds_access=%d, "
                    "ngroup_cache_access=%d",
                    &c[4], &c[5], &c[6], &c[7]) == 4) {
      calls.push_back(c);
    }
  }
  return calls;
}

std::string CounterLine1(int total_ds, int total_cache, int user_ds, int user_cache) {
  return "DSCounter: total_ds_access=" + std::to_string(total_ds) +
         ", total_cache_access=" + std::to_string(total_cache) + ",user_ds_access=" + std::to_string(user_ds) +
         ", user_cache_access=" + std::to_string(user_cache);
}
std::string CounterLine2(int pgroup_ds, int pgroup_cache, int ngroup_ds, int ngroup_cache) {
  return "DSCounter: pgroup_ds_access=" + std::to_string(pgroup_ds) +
         ", pgroup_cache_access=" + std::to_string(pgroup_cache) +
         ",ngroup_ds_access=" + std::to_string(ngroup_ds) + ", ngroup_cache_access=" + std::to_string(ngroup_cache);
}

std::vector<std::string> MessagesAt(const LogLines& lines, int level) {
  std::vector<std::string> messages;
  for (const auto& [line_level, message] : lines) {
    if (line_level == level) messages.push_back(message);
  }
  return messages;
}

int CountContaining(const LogLines& lines, const std::string& fragment) {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
    return line.second.find(fragment) != std::string::npos;
  }));
}

// The list as text; an entry without a string shows as "<none>".
std::vector<std::wstring> TextsOf(const std::vector<_bstr_t>& guids) {
  std::vector<std::wstring> texts;
  for (const _bstr_t& guid : guids) {
    const wchar_t* text = static_cast<const wchar_t*>(guid);
    texts.push_back(text != nullptr ? text : L"<none>");
  }
  return texts;
}

std::vector<std::wstring> GuidTexts(const std::vector<int>& ids) {
  std::vector<std::wstring> texts;
  for (int id : ids) texts.push_back(GuidText(id));
  return texts;
}

std::string UserFoundLine(const char* word, const std::wstring& dn) {
  return std::string(" ") + word + " query = <" + Narrow(kSip) + "> : objectGUID=" + Narrow(GuidText(kUserGuid)) +
         ", DN=" + Narrow(dn) + " .";
}
std::string GroupFoundLine(const char* word, int id, const std::wstring& dn) {
  return std::string(" ") + word + " query = objectGUID=" + Narrow(GuidText(id)) + ", DN=" + Narrow(dn) + " .";
}
std::string GroupExistLine(const char* word, int id, const std::wstring& dn) {
  return std::string(" ") + word + " query (exist) = objectGUID=" + Narrow(GuidText(id)) + ", DN=" + Narrow(dn);
}

// A group of a test directory: its name (CN), the names of the groups it is
// a member of, and whether it has an objectGUID.
struct TestGroup {
  std::wstring name;
  std::vector<std::wstring> member_of;
  bool has_guid = true;
};

// One test directory with the user Ann, her primary group "P" and the
// groups a test adds.
class Scene : public userpolicy::testing::ResolveDirectory {
 public:
  // Adds Ann with the standard attributes, member of `member_of` (names of
  // groups).
  void AddUser(const std::vector<std::wstring>& member_of) {
    std::vector<std::wstring> dns;
    for (const std::wstring& name : member_of) dns.push_back(GroupDn(name));
    AddUserAttributes(StandardUser(false, dns));
  }
  void AddUserAttributes(const Attributes& attributes) {
    MemoryObject user = UserObject(kUserDn, kSip);
    for (const auto& [name, values] : attributes) {
      for (const _variant_t& value : values) user.AddValue(name, value);
    }
    directory.AddObject(user);
  }

  // Adds the groups, each with the next GUID id (the primary group "P" has
  // kPrimaryGuid and the primary group's SID); adds "P" without parents when
  // `groups` does not name it.
  void AddGroups(const std::vector<TestGroup>& groups) {
    bool have_primary = false;
    for (const TestGroup& group : groups) {
      const bool primary = group.name == kPrimaryName;
      have_primary = have_primary || primary;
      const int id = primary ? kPrimaryGuid : kFirstGroupGuid + static_cast<int>(ids_.size());
      if (!primary) ids_[group.name] = id;
      MemoryObject object(GroupDn(group.name));
      object.AddStrings(L"objectClass", {L"top", L"group"});
      if (group.has_guid) object.AddBinary(L"objectGUID", GuidBytes(id));
      if (primary) object.AddBinary(L"objectSid", SidBytes(kPrimaryRid));
      for (const std::wstring& parent : group.member_of) object.AddString(L"memberOf", GroupDn(parent));
      directory.AddObject(object);
    }
    if (!have_primary) AddGroups({{kPrimaryName, {}}});
  }

  // The GUID id a group got from AddGroups.
  int IdOf(const std::wstring& name) const { return name == kPrimaryName ? kPrimaryGuid : ids_.at(name); }

 private:
  std::map<std::wstring, int> ids_;
};

bool Resolve(const wchar_t* sip, std::vector<_bstr_t>& guids) {
  return CPolicyFilterDSAccessHelper::GetUserIdentityAndMembershipGuids(sip, guids);
}

// The list over group graphs ------------------------------------------------------

struct GraphCase {
  const char* title;
  std::vector<std::wstring> user_member_of;
  std::vector<TestGroup> groups;
  std::vector<std::wstring> expected;  // group names after the user's and primary group's GUIDs
  int exist_lines;
  int ngroup_ds;     // nested-group lookups the directory answered
  int ngroup_cache;  // nested-group lookups the cache answered
};

TEST(PolicyFilterResolution, GroupGraphsResolveDepthFirstPreOrderWithEachGroupOnce) {
  const std::vector<GraphCase> cases = {
      {"chains above the primary group, then above the user",
       {L"A"},
       {{L"P", {L"D"}}, {L"A", {L"B"}}, {L"B", {L"C"}}, {L"C", {}}, {L"D", {L"E"}}, {L"E", {}}},
       {L"D", L"E", L"A", L"B", L"C"},
       0, 5, 0},
      {"each memberOf value's whole chain before the next value",
       {L"A", L"B"},
       {{L"A", {L"A1", L"A2"}}, {L"A1", {L"A11"}}, {L"A11", {}}, {L"A2", {}}, {L"B", {L"B1"}}, {L"B1", {}}},
       {L"A", L"A1", L"A11", L"A2", L"B", L"B1"},
       0, 6, 0},
      {"diamond: looked up twice, appended once",
       {L"A", L"B"},
       {{L"A", {L"C"}}, {L"B", {L"C"}}, {L"C", {L"D"}}, {L"D", {}}},
       {L"A", L"C", L"D", L"B"},
       1, 4, 1},
      {"cycle of two groups",
       {L"A"},
       {{L"A", {L"B"}}, {L"B", {L"A"}}},
       {L"A", L"B"},
       1, 2, 1},
      {"group that is a member of itself",
       {L"A"},
       {{L"A", {L"A"}}},
       {L"A"},
       1, 1, 1},
      {"primary group also reached through memberOf",
       {L"P", L"A"},
       {{L"P", {L"B"}}, {L"A", {L"P"}}, {L"B", {}}},
       {L"B", L"A"},
       2, 3, 1},
      {"group without objectGUID adds nothing but its parents are walked",
       {L"A"},
       {{L"A", {L"B"}, false}, {L"B", {}}},
       {L"B"},
       0, 2, 0},
      {"group without objectGUID reached twice is walked twice",
       {L"A", L"B"},
       {{L"A", {L"C"}}, {L"B", {L"C"}}, {L"C", {L"D"}, false}, {L"D", {}}},
       {L"A", L"D", L"B"},
       1, 4, 2},
      {"cycle made only of groups without objectGUID ends",
       {L"A"},
       {{L"A", {L"B"}, false}, {L"B", {L"A"}, false}},
       {},
       0, 2, 1},
  };
  for (const GraphCase& c : cases) {
    SCOPED_TRACE(c.title);
    Scene scene;
    scene.AddGroups(c.groups);
    scene.AddUser(c.user_member_of);

    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    std::vector<_bstr_t> guids;
    EXPECT_TRUE(Resolve(kSip, guids));

    std::vector<int> expected_ids = {kUserGuid, kPrimaryGuid};
    for (const std::wstring& name : c.expected) expected_ids.push_back(scene.IdOf(name));
    EXPECT_EQ(TextsOf(guids), GuidTexts(expected_ids));
    const LogLines lines = LinesOf(capture, kSource);
    EXPECT_EQ(CountContaining(lines, " query (exist) = "), c.exist_lines);
    EXPECT_TRUE(MessagesAt(lines, DBG::kLevelWarning).empty());
    EXPECT_TRUE(MessagesAt(lines, DBG::kLevelFailure).empty());
    // Per call: total = user + primary group + nested groups, by source.
    const std::vector<DSCounts> counts = CountsIn(lines);
    ASSERT_EQ(counts.size(), 1u);
    EXPECT_EQ(counts[0], (DSCounts{2 + c.ngroup_ds, c.ngroup_cache, 1, 0, 1, 0, c.ngroup_ds, c.ngroup_cache}));
    // Every lookup the directory answered was one read of it.
    EXPECT_EQ(scene.directory.TotalCalls(), 2 + c.ngroup_ds);
  }
}

TEST(PolicyFilterResolution, LogsEachStepAndASecondCallWithTheSameListFindsTheGroupsPresent) {
  Scene scene;
  scene.AddGroups({{L"A", {L"B"}}, {L"B", {}}});
  scene.AddUser({L"A"});
  const int a = scene.IdOf(L"A");
  const int b = scene.IdOf(L"B");

  std::vector<_bstr_t> guids;
  {
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    EXPECT_TRUE(Resolve(kSip, guids));
    const LogLines expected = {
        {DBG::kLevelData, "GetUserIdentityAndMembershipGuids(" + Narrow(kSip) + ")"},
        {DBG::kLevelData, UserFoundLine("LDAP", kUserDn)},
        {DBG::kLevelData, GroupFoundLine("LDAP", kPrimaryGuid, GroupDn(kPrimaryName))},
        {DBG::kLevelData, GroupFoundLine("LDAP", a, GroupDn(L"A"))},
        {DBG::kLevelData, GroupFoundLine("LDAP", b, GroupDn(L"B"))},
        {DBG::kLevelData, CounterLine1(4, 0, 1, 0)},
        {DBG::kLevelData, CounterLine2(1, 0, 2, 0)},
    };
    EXPECT_EQ(LinesOf(capture, kSource), expected);
  }
  EXPECT_EQ(TextsOf(guids), GuidTexts({kUserGuid, kPrimaryGuid, a, b}));

  // Again with the same list: the user's and primary group's GUIDs go in
  // again; A is found present, so its chain is not followed.
  {
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    EXPECT_TRUE(Resolve(kSip, guids));
    const LogLines expected = {
        {DBG::kLevelData, "GetUserIdentityAndMembershipGuids(" + Narrow(kSip) + ")"},
        {DBG::kLevelData, UserFoundLine("Local", kUserDn)},
        {DBG::kLevelData, GroupFoundLine("Local", kPrimaryGuid, GroupDn(kPrimaryName))},
        {DBG::kLevelData, GroupExistLine("Local", a, GroupDn(L"A"))},
        {DBG::kLevelData, CounterLine1(0, 3, 0, 1)},
        {DBG::kLevelData, CounterLine2(0, 1, 0, 1)},
    };
    EXPECT_EQ(LinesOf(capture, kSource), expected);
  }
  EXPECT_EQ(TextsOf(guids), GuidTexts({kUserGuid, kPrimaryGuid, a, b, kUserGuid, kPrimaryGuid}));
  EXPECT_EQ(scene.directory.TotalCalls(), 4);
}

TEST(PolicyFilterResolution, CallerEntriesTakePartInTheDuplicateCheckInAnyLetterCase) {
  Scene scene;
  scene.AddGroups({{L"A", {L"B"}}, {L"B", {}}, {L"C", {}}});
  scene.AddUser({L"A", L"C"});
  std::wstring a_upper = GuidText(scene.IdOf(L"A"));
  std::transform(a_upper.begin(), a_upper.end(), a_upper.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c))); });
  ASSERT_NE(a_upper, GuidText(scene.IdOf(L"A")));
  std::vector<_bstr_t> guids = {_bstr_t(L"unrelated"), _bstr_t(), _bstr_t(a_upper.c_str()),
                                _bstr_t(GuidText(kUserGuid).c_str())};

  DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
  EXPECT_TRUE(Resolve(kSip, guids));

  // The caller's entries stay in front, unchanged (the one without a string
  // equals nothing); the user's GUID goes in again (no check for it); A is
  // present, so neither A nor B (above A) is appended, and B is not even
  // looked up; C is new.
  std::vector<std::wstring> expected = {L"unrelated", L"<none>", a_upper, GuidText(kUserGuid)};
  for (int id : {kUserGuid, kPrimaryGuid, scene.IdOf(L"C")}) expected.push_back(GuidText(id));
  EXPECT_EQ(TextsOf(guids), expected);
  EXPECT_EQ(scene.directory.ReadCount(GroupDn(L"B")), 0);
  EXPECT_EQ(CountContaining(LinesOf(capture, kSource), GroupExistLine("LDAP", scene.IdOf(L"A"), GroupDn(L"A"))), 1);
}

// Attributes that cannot be used ----------------------------------------------------

struct UserValueCase {
  const char* title;
  // True: the user's record is planted in the user manager's cache (source
  // "Local"); false: the user is read from the directory (source "LDAP").
  bool planted;
  std::function<void(Attributes&)> edit;
  std::vector<int> expected;  // GUID ids; kFirstGroupGuid is group A
  std::vector<std::string> warnings;
  std::vector<std::string> user_lines;  // lines about the user's own GUID
};

TEST(PolicyFilterResolution, UnusableUserValuesSkipOnlyTheirStepWithTheirWarning) {
  const int a = kFirstGroupGuid;
  const std::string no_object_ldap = " LDAP query = <" + Narrow(kSip) + "> : no object in AD.";
  const std::string found_ldap = UserFoundLine("LDAP", kUserDn);
  const std::string found_local = UserFoundLine("Local", kUserDn);
  const std::vector<UserValueCase> cases = {
      {"objectGUID absent", false, [](Attributes& u) { Remove(u, L"objectGUID"); },
       {kPrimaryGuid, a}, {}, {no_object_ldap}},
      {"objectGUID not binary: the manager keeps it without values", false,
       [](Attributes& u) { Replace(u, L"objectGUID", {Integer(5)}); },
       {kPrimaryGuid, a}, {}, {no_object_ldap}},
      {"objectGUID an integer in the record", true,
       [](Attributes& u) { Replace(u, L"objectGUID", {Integer(5)}); },
       {kPrimaryGuid, a}, {}, {}},
      {"objectSid absent", false, [](Attributes& u) { Remove(u, L"objectSid"); },
       {kUserGuid, a}, {}, {found_ldap}},
      {"objectSid not binary: the manager keeps it without values", false,
       [](Attributes& u) { Replace(u, L"objectSid", {Integer(7)}); },
       {kUserGuid, a}, {}, {found_ldap}},
      {"objectSid an integer in the record", true,
       [](Attributes& u) { Replace(u, L"objectSid", {Integer(7)}); },
       {kUserGuid, a}, {"objDSUser objectSid value type not match, type=" + std::to_string(kVariantTypeI4)},
       {found_local}},
      {"objectSid text that is no SID", true,
       [](Attributes& u) { Replace(u, L"objectSid", {Text(L"not a SID")}); },
       {kUserGuid, a}, {"CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID()"},
       {found_local}},
      {"primaryGroupID absent", false, [](Attributes& u) { Remove(u, L"primaryGroupID"); },
       {kUserGuid, a}, {"primaryGroupID is empty"}, {found_ldap}},
      {"primaryGroupID VT_EMPTY", false, [](Attributes& u) { Replace(u, L"primaryGroupID", {_variant_t()}); },
       {kUserGuid, a}, {"primaryGroupID value type is VT_EMPTY"}, {found_ldap}},
      {"primaryGroupID naming no group", false,
       [](Attributes& u) { Replace(u, L"primaryGroupID", {Integer(999)}); },
       {kUserGuid, a}, {"objDSPrimaryGroup objectGUID is empty"}, {found_ldap}},
      {"memberOf values that are not strings are skipped", false,
       [](Attributes& u) {
         Replace(u, L"memberOf", {Integer(4), Text(GroupDn(L"A")), _variant_t(true), _variant_t()});
       },
       {kUserGuid, kPrimaryGuid, a}, {}, {found_ldap}},
      {"distinguishedName absent", true, [](Attributes& u) { Remove(u, L"distinguishedName"); },
       {kUserGuid, kPrimaryGuid, a}, {"objDSUser distinguishedName is empty."}, {UserFoundLine("Local", L"")}},
      {"distinguishedName not a string", true,
       [](Attributes& u) { Replace(u, L"distinguishedName", {Integer(1)}); },
       {kUserGuid, kPrimaryGuid, a}, {}, {UserFoundLine("Local", L"")}},
  };
  for (const UserValueCase& c : cases) {
    SCOPED_TRACE(c.title);
    Scene scene;
    scene.AddGroups({{L"A", {}}});
    ASSERT_EQ(scene.IdOf(L"A"), a);
    Attributes user = StandardUser(c.planted, {GroupDn(L"A")});
    c.edit(user);
    if (c.planted) {
      Plant(UserPolicy_GetUserIdentityManager(), kSip, user);
    } else {
      scene.AddUserAttributes(user);
    }

    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    std::vector<_bstr_t> guids;
    EXPECT_TRUE(Resolve(kSip, guids));
    EXPECT_EQ(TextsOf(guids), GuidTexts(c.expected));
    const LogLines lines = LinesOf(capture, kSource);
    EXPECT_EQ(MessagesAt(lines, DBG::kLevelWarning), c.warnings);
    EXPECT_TRUE(MessagesAt(lines, DBG::kLevelFailure).empty());
    std::vector<std::string> user_lines;
    for (const std::string& message : MessagesAt(lines, DBG::kLevelData)) {
      if (message.find("query = <") != std::string::npos) user_lines.push_back(message);
    }
    EXPECT_EQ(user_lines, c.user_lines);
  }
}

struct GroupRecordCase {
  const char* title;
  bool primary;  // the record planted is the primary group's, else group A's
  Attributes record;
  std::vector<int> expected;  // GUID ids
  std::vector<std::string> warnings;
  std::string data_line;  // the line about the planted group ("" when none)
};

TEST(PolicyFilterResolution, UnusableGroupValuesAreWarnedAndTheirParentsStillWalked) {
  const int a = kFirstGroupGuid;
  const int b = kFirstGroupGuid + 1;
  const std::vector<_variant_t> parent_b = {Text(GroupDn(L"B"))};
  const std::string type_i4 = std::to_string(kVariantTypeI4);
  const std::vector<GroupRecordCase> cases = {
      {"primary group's objectGUID an integer",
       true,
       {{L"objectGUID", {Integer(3)}}, {L"memberOf", parent_b}},
       {kUserGuid, b, a},
       {"objDSPrimaryGroup objectGUID value type is not match. type=" + type_i4},
       ""},
      {"primary group's objectGUID without values",
       true,
       {{L"objectGUID", {}}, {L"memberOf", parent_b}},
       {kUserGuid, b, a},
       {"objDSPrimaryGroup objectGUID is empty"},
       ""},
      {"primary group without distinguishedName: no warning, empty DN",
       true,
       {{L"objectGUID", {Text(GuidText(kPrimaryGuid))}}},
       {kUserGuid, kPrimaryGuid, a},
       {},
       GroupFoundLine("Local", kPrimaryGuid, L"")},
      {"group's objectGUID an integer",
       false,
       {{L"objectGUID", {Integer(3)}}, {L"distinguishedName", {Text(GroupDn(L"A"))}}, {L"memberOf", parent_b}},
       {kUserGuid, kPrimaryGuid, b},
       {"objDSGroup objectGUID value type is not match. type=" + type_i4},
       ""},
      {"group's objectGUID without values",
       false,
       {{L"objectGUID", {}}, {L"memberOf", parent_b}},
       {kUserGuid, kPrimaryGuid, b},
       {},
       ""},
      {"group without distinguishedName",
       false,
       {{L"objectGUID", {Text(GuidText(a))}}, {L"memberOf", parent_b}},
       {kUserGuid, kPrimaryGuid, a, b},
       {"objDSGroup distinguishedName is empty"},
       GroupFoundLine("Local", a, L"")},
  };
  for (const GroupRecordCase& c : cases) {
    SCOPED_TRACE(c.title);
    Scene scene;
    scene.AddGroups({{L"A", {}}, {L"B", {}}});
    ASSERT_EQ(scene.IdOf(L"B"), b);
    scene.AddUser({L"A"});
    if (c.primary) {
      Plant(UserPolicy_GetPrimaryGroupIDTOGroupManager(), PrimaryGroupKey(), c.record);
    } else {
      Plant(UserPolicy_GetGroupMemeberShipManager(), GroupDn(L"A"), c.record);
    }

    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    std::vector<_bstr_t> guids;
    EXPECT_TRUE(Resolve(kSip, guids));
    EXPECT_EQ(TextsOf(guids), GuidTexts(c.expected));
    const LogLines lines = LinesOf(capture, kSource);
    EXPECT_EQ(MessagesAt(lines, DBG::kLevelWarning), c.warnings);
    if (!c.data_line.empty()) {
      EXPECT_EQ(CountContaining(lines, c.data_line), 1);
    }
  }
}

TEST(PolicyFilterResolution, UserTheSearchDoesNotFindLogsNoObjectFromDirectoryThenFromCache) {
  Scene scene;
  scene.AddGroups({});
  for (const char* word : {"LDAP", "Local"}) {
    SCOPED_TRACE(word);
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    std::vector<_bstr_t> guids;
    EXPECT_TRUE(Resolve(L"sip:nobody@example.test", guids));
    EXPECT_TRUE(guids.empty());
    const bool cold = std::string(word) == "LDAP";
    const LogLines expected = {
        {DBG::kLevelData, "GetUserIdentityAndMembershipGuids(sip:nobody@example.test)"},
        {DBG::kLevelData, std::string(" ") + word + " query = <sip:nobody@example.test> : no object in AD."},
        {DBG::kLevelData, cold ? CounterLine1(1, 0, 1, 0) : CounterLine1(0, 1, 0, 1)},
        {DBG::kLevelData, CounterLine2(0, 0, 0, 0)},
    };
    EXPECT_EQ(LinesOf(capture, kSource), expected);
  }
  EXPECT_EQ(scene.directory.TotalCalls(), 1);
}

TEST(PolicyFilterResolution, NullSipAddressReturnsFalseWithoutLogOrLookup) {
  Scene scene;
  scene.AddGroups({});
  scene.AddUser({});
  DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
  std::vector<_bstr_t> guids = {_bstr_t(L"kept")};
  EXPECT_FALSE(Resolve(nullptr, guids));
  EXPECT_EQ(TextsOf(guids), std::vector<std::wstring>{L"kept"});
  EXPECT_TRUE(capture.Snapshot().empty());
  EXPECT_EQ(scene.directory.TotalCalls(), 0);
}

// The result flag -------------------------------------------------------------------

struct ResultCase {
  const char* title;
  std::function<void(Scene&, Attributes&, std::vector<_bstr_t>&)> arrange;
  bool expected;
};

TEST(PolicyFilterResolution, ResultIsTrueOnlyWhenSomethingWasFoundOrTheUserIsMissing) {
  // The user's objectGUID is an integer (nothing appended for the user, no
  // "no object" either) and there is no objectSid (no primary group), so
  // only the walk can set the result.
  const std::vector<ResultCase> cases = {
      {"no groups", [](Scene&, Attributes& u, std::vector<_bstr_t>&) { Replace(u, L"memberOf", {}); }, false},
      {"a group appended", [](Scene& s, Attributes&, std::vector<_bstr_t>&) { s.AddGroups({{L"A", {}}}); }, true},
      {"the only group already in the list",
       [](Scene& s, Attributes&, std::vector<_bstr_t>& guids) {
         s.AddGroups({{L"A", {}}});
         guids.emplace_back(GuidText(s.IdOf(L"A")).c_str());
       },
       true},
      {"the only group's lookup fails",
       [](Scene& s, Attributes&, std::vector<_bstr_t>&) {
         s.AddGroups({{L"A", {}}});
         s.directory.FailAllCalls(kDirectoryServerDown);
       },
       false},
      {"the only group has no objectGUID and no parents",
       [](Scene& s, Attributes&, std::vector<_bstr_t>&) { s.AddGroups({{L"A", {}, false}}); }, false},
      {"a group found above a group without objectGUID",
       [](Scene& s, Attributes&, std::vector<_bstr_t>&) { s.AddGroups({{L"A", {L"B"}, false}, {L"B", {}}}); },
       true},
      {"no objectGUID attribute at all (no object)",
       [](Scene&, Attributes& u, std::vector<_bstr_t>&) {
         Remove(u, L"objectGUID");
         Replace(u, L"memberOf", {});
       },
       true},
  };
  for (const ResultCase& c : cases) {
    SCOPED_TRACE(c.title);
    Scene scene;
    Attributes user = StandardUser(true, {GroupDn(L"A")});
    Replace(user, L"objectGUID", {Integer(5)});
    Remove(user, L"objectSid");
    std::vector<_bstr_t> guids;
    c.arrange(scene, user, guids);
    Plant(UserPolicy_GetUserIdentityManager(), kSip, user);
    EXPECT_EQ(Resolve(kSip, guids), c.expected);
  }
}

// Directory failures -----------------------------------------------------------------

TEST(PolicyFilterResolution, FailedGroupLookupIsLoggedWithItsNameAndSiblingsAreStillWalked) {
  Scene scene;
  // Reads: 1 user, 2 primary group, 3 A, 4 A1 (fails), 5 A2, 6 B.
  scene.AddGroups({{L"A", {L"A1", L"A2"}}, {L"A1", {L"X"}}, {L"X", {}}, {L"A2", {}}, {L"B", {}}});
  scene.AddUser({L"A", L"B"});
  constexpr int kFailingRead = 4;
  scene.directory.FailNthCall(kFailingRead, kDirectoryServerDown);
  ScopedPerfObject perf;

  DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
  std::vector<_bstr_t> guids;
  EXPECT_TRUE(Resolve(kSip, guids));

  EXPECT_EQ(TextsOf(guids),
            GuidTexts({kUserGuid, kPrimaryGuid, scene.IdOf(L"A"), scene.IdOf(L"A2"), scene.IdOf(L"B")}));
  EXPECT_EQ(scene.directory.ReadCount(GroupDn(L"A1")), 1);
  EXPECT_EQ(scene.directory.ReadCount(GroupDn(L"X")), 0);  // nothing above the failed group
  const LogLines lines = LinesOf(capture, kSource);
  const std::vector<std::string> failures = MessagesAt(lines, DBG::kLevelFailure);
  ASSERT_EQ(failures.size(), 1u);
  const std::string prefix = "GetNestedGroupMembershipGuids(" + Narrow(GroupDn(L"A1")) + ") fail. Error = ";
  EXPECT_EQ(failures[0].rfind(prefix, 0), 0u) << failures[0];
  // The error text is the exception's full message, with its code.
  EXPECT_NE(failures[0].find("failure injected by the in-memory directory"), std::string::npos) << failures[0];
  EXPECT_NE(failures[0].find("code " + std::to_string(kDirectoryServerDown)), std::string::npos) << failures[0];
  // The failed lookup is not counted per call; in the performance object it
  // is one cache access of the nested-group and total groups.
  const std::vector<DSCounts> counts = CountsIn(lines);
  ASSERT_EQ(counts.size(), 1u);
  EXPECT_EQ(counts[0], (DSCounts{5, 0, 1, 0, 1, 0, 3, 0}));
  EXPECT_EQ(perf.counters().m_nNGroupDSAccess, 3u);
  EXPECT_EQ(perf.counters().m_nNGroupCacheAccess, 1u);
  EXPECT_EQ(perf.counters().m_nTotalDSAccess, 5u);
  EXPECT_EQ(perf.counters().m_nTotalCacheAccess, 1u);
}

TEST(PolicyFilterResolution, MemberOfNamingNoObjectIsLoggedAsAFailedLookup) {
  Scene scene;
  scene.AddGroups({{L"B", {}}});
  scene.AddUser({L"Gone", L"B"});
  DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
  std::vector<_bstr_t> guids;
  EXPECT_TRUE(Resolve(kSip, guids));
  EXPECT_EQ(TextsOf(guids), GuidTexts({kUserGuid, kPrimaryGuid, scene.IdOf(L"B")}));
  const std::vector<std::string> failures = MessagesAt(LinesOf(capture, kSource), DBG::kLevelFailure);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].rfind("GetNestedGroupMembershipGuids(" + Narrow(GroupDn(L"Gone")) + ") fail. Error = ", 0),
            0u)
      << failures[0];
  EXPECT_NE(failures[0].find("code " + std::to_string(kDirectoryNotFound)), std::string::npos) << failures[0];
}

struct StepFailureCase {
  const char* title;
  int failing_read;  // 1 the user's search, 2 the primary group's search
  std::string failure;
  bool expected_result;
  std::vector<int> appended;  // GUID ids after the caller's entry
  DSCounts counts;
};

TEST(PolicyFilterResolution, FailedUserOrPrimaryGroupLookupIsLoggedAndEndsOnlyItsPart) {
  const std::string code = std::to_string(kDirectoryTimeout);
  const std::vector<StepFailureCase> cases = {
      {"user lookup", 1, "GetUserIdentityAndMembershipGuids() fail. Error = " + code, false, {},
       {0, 0, 0, 0, 0, 0, 0, 0}},
      {"primary-group lookup", 2, "Get primaryGroupID info fail. Error = " + code, true,
       {kUserGuid, kFirstGroupGuid}, {2, 0, 1, 0, 0, 0, 1, 0}},
  };
  for (const StepFailureCase& c : cases) {
    SCOPED_TRACE(c.title);
    Scene scene;
    scene.AddGroups({{L"A", {}}});
    scene.AddUser({L"A"});
    scene.directory.FailNthCall(c.failing_read, kDirectoryTimeout);
    ScopedPerfObject perf;

    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    std::vector<_bstr_t> guids = {_bstr_t(L"caller")};
    EXPECT_EQ(Resolve(kSip, guids), c.expected_result);
    std::vector<std::wstring> expected = {L"caller"};
    for (int id : c.appended) expected.push_back(GuidText(id));
    EXPECT_EQ(TextsOf(guids), expected);
    const LogLines lines = LinesOf(capture, kSource);
    EXPECT_EQ(MessagesAt(lines, DBG::kLevelFailure), std::vector<std::string>{c.failure});
    // Both counter lines still end the call, with the counts so far.
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(CountsIn({lines[lines.size() - 2], lines.back()}), std::vector<DSCounts>{c.counts});
    // The failed lookup counts as one cache access of its group.
    const CDSAccessPerfObject& p = perf.counters();
    EXPECT_EQ(c.failing_read == 1 ? p.m_nUserCacheAccess : p.m_nPGroupCacheAccess, 1u);
    EXPECT_EQ(p.m_nTotalCacheAccess, 1u);
  }
}

// Counting ------------------------------------------------------------------------

std::array<ULONG, 8> CountsOf(const CDSAccessPerfObject& p) {
  return {p.m_nTotalDSAccess,   p.m_nTotalCacheAccess,  p.m_nUserDSAccess,   p.m_nUserCacheAccess,
          p.m_nPGroupDSAccess,  p.m_nPGroupCacheAccess, p.m_nNGroupDSAccess, p.m_nNGroupCacheAccess};
}

TEST(PolicyFilterResolution, PerformanceCountersSeparateDirectoryAndCacheByGroup) {
  Scene scene;
  scene.AddGroups({{L"A", {L"C"}}, {L"B", {L"C"}}, {L"C", {}}});
  scene.AddUser({L"A", L"B"});
  ScopedPerfObject perf;

  // Cold: every object read once (user, primary group, A, C, B); C is
  // looked up a second time, from the nested-group cache.
  std::vector<_bstr_t> cold;
  Resolve(kSip, cold);
  EXPECT_EQ(CountsOf(perf.counters()), (std::array<ULONG, 8>{5, 1, 1, 0, 1, 0, 3, 1}));

  // Warm, with a new list: the same six lookups, all from the caches.
  std::vector<_bstr_t> warm;
  Resolve(kSip, warm);
  EXPECT_EQ(CountsOf(perf.counters()), (std::array<ULONG, 8>{5, 7, 1, 1, 1, 1, 3, 5}));
  EXPECT_EQ(TextsOf(warm), TextsOf(cold));
  EXPECT_EQ(scene.directory.TotalCalls(), 5);
}

TEST(PolicyFilterResolution, LookupTimeGoesToItsSourceAndAThrowingLookupAddsNoTime) {
  constexpr int64_t kLookupSeconds = 5;
  constexpr LONGLONG kLookupMilliseconds = kLookupSeconds * 1000;
  constexpr __time64_t kStartTime = 1700000000;
  for (const bool fail : {false, true}) {
    SCOPED_TRACE(fail ? "lookup throws" : "answered by the directory");
    Scene scene;
    scene.AddGroups({});
    scene.AddUser({});
    platform::testing::ScopedFakeClock clock(kStartTime);
    ScopedPerfObject perf;
    // The user's read parks in the directory while the clock moves on.
    scene.directory.BlockReads();
    std::thread caller([] {
      std::vector<_bstr_t> guids;
      Resolve(kSip, guids);
    });
    ASSERT_TRUE(scene.directory.WaitUntilBlocked(1));
    clock.Advance(kLookupSeconds);
    if (fail) scene.directory.FailAllCalls(kDirectoryServerDown);
    scene.directory.ReleaseReads();
    caller.join();

    const CDSAccessPerfObject& p = perf.counters();
    if (fail) {
      EXPECT_EQ(CountsOf(p), (std::array<ULONG, 8>{0, 1, 0, 1, 0, 0, 0, 0}));
      EXPECT_EQ(p.m_nUserDSAccessTime + p.m_nUserCacheAccessTime, 0);
      EXPECT_EQ(p.m_nTotalDSAccessTime + p.m_nTotalCacheAccessTime, 0);
    } else {
      EXPECT_EQ(CountsOf(p), (std::array<ULONG, 8>{2, 0, 1, 0, 1, 0, 0, 0}));
      EXPECT_EQ(p.m_nUserDSAccessTime, kLookupMilliseconds);
      EXPECT_EQ(p.m_nTotalDSAccessTime, kLookupMilliseconds);  // the primary group's read took no time
      EXPECT_EQ(p.m_nUserCacheAccessTime + p.m_nTotalCacheAccessTime + p.m_nPGroupDSAccessTime, 0);
    }
  }
}

// Depth -----------------------------------------------------------------------------

// Deeper than any real directory nests, and deeper than the walk's guard
// against long runs of groups without a GUID (512 of them), which must not
// cut chains of groups that have one.
constexpr int kDeepChain = 300;
constexpr int kBeyondGuardChain = 600;
constexpr int kWalkDepthGuard = 512;

std::wstring ChainName(int level) { return L"G" + std::to_wstring(level); }

// Ann in a chain G0 -> G1 -> ... -> G<count-1>.
void AddChain(Scene& scene, int count, bool with_guids) {
  std::vector<TestGroup> chain;
  for (int i = 0; i < count; ++i) {
    TestGroup group{ChainName(i), {}, with_guids};
    if (i + 1 < count) group.member_of.push_back(ChainName(i + 1));
    chain.push_back(std::move(group));
  }
  scene.AddGroups(chain);
  scene.AddUser({ChainName(0)});
}

TEST(PolicyFilterResolution, DeepChainsOfGroupsWithGuidsResolveCompletely) {
  for (const int depth : {kDeepChain, kBeyondGuardChain}) {
    SCOPED_TRACE(depth);
    Scene scene;
    AddChain(scene, depth, true);
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    std::vector<_bstr_t> guids;
    EXPECT_TRUE(Resolve(kSip, guids));
    std::vector<int> expected = {kUserGuid, kPrimaryGuid};
    for (int i = 0; i < depth; ++i) expected.push_back(scene.IdOf(ChainName(i)));
    // Compared without printing hundreds of GUIDs on failure.
    EXPECT_EQ(guids.size(), expected.size());
    EXPECT_TRUE(TextsOf(guids) == GuidTexts(expected));
    EXPECT_EQ(MessagesAt(LinesOf(capture, kSource), DBG::kLevelWarning), std::vector<std::string>{});
  }
}

TEST(PolicyFilterResolution, EndlessWalkThroughGroupsWithoutGuidsStopsAtTheDepthGuard) {
  Scene scene;
  AddChain(scene, kBeyondGuardChain, false);
  DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
  std::vector<_bstr_t> guids;
  EXPECT_TRUE(Resolve(kSip, guids));
  EXPECT_EQ(TextsOf(guids), GuidTexts({kUserGuid, kPrimaryGuid}));
  const std::string stopped = "GetNestedGroupMembershipGuids(" + Narrow(GroupDn(ChainName(kWalkDepthGuard))) +
                              ") stops: nesting deeper than " + std::to_string(kWalkDepthGuard) + " levels";
  EXPECT_EQ(MessagesAt(LinesOf(capture, kSource), DBG::kLevelWarning), std::vector<std::string>{stopped});
  EXPECT_EQ(scene.directory.ReadCount(GroupDn(ChainName(kWalkDepthGuard))), 1);
  EXPECT_EQ(scene.directory.ReadCount(GroupDn(ChainName(kWalkDepthGuard + 1))), 0);
}

// Threads -----------------------------------------------------------------------------

TEST(PolicyFilterResolution, ConcurrentCallersEachGetTheWholeList) {
  constexpr int kThreads = 4;
  Scene scene;
  scene.AddGroups({{L"A", {L"B", L"C"}}, {L"B", {L"C"}}, {L"C", {L"A"}}});
  scene.AddUser({L"A", L"C"});
  std::vector<std::vector<_bstr_t>> lists(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&lists, t] { Resolve(kSip, lists[t]); });
  }
  for (std::thread& thread : threads) thread.join();
  const std::vector<std::wstring> expected =
      GuidTexts({kUserGuid, kPrimaryGuid, scene.IdOf(L"A"), scene.IdOf(L"B"), scene.IdOf(L"C")});
  for (const auto& list : lists) EXPECT_EQ(TextsOf(list), expected);
}

}  // namespace
