// Who a SIP user is, which groups the user is in and which e-mail address
// the user has, resolved through the module's managers against the
// in-memory directory: the order of the GUID list over group graphs, the
// caller's own entries, unusable attribute values and their warnings,
// directory failures at each step, the exact log lines and access counts,
// very deep chains; then which address wins, how it fills the caller's
// buffer, and every result code.
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
#include "manager/global_catalog_path.h"
#include "manager/lookup_key.h"
#include "manager/user_policy_manager.h"
#include "manager/user_policy_manager_impl.h"
#include "module/manager_factories.h"
#include "perf/ds_access_perf_object.h"
#include "platform/clock_testing.h"
#include "platform/com.h"
#include "platform/crt.h"
#include "platform/directory.h"
#include "platform/directory/directory_backend.h"
#include "platform/directory/directory_error.h"
#include "platform/directory/memory_directory.h"
#include "platform/log_testing.h"
#include "resolve/policy_filter_ds_access_helper.h"
#include "resolve/proxy_address_ds_access_helper.h"

namespace {

using directory::MemoryObject;
using LogLines = std::vector<std::pair<int, std::string>>;

constexpr char kGuidSource[] = "serv_PolicyFilterDSAccessHelper";
constexpr char kMailSource[] = "serv_ProxyAddressDSAccessHelper";
constexpr wchar_t kSip[] = L"sip:ann@example.test";
constexpr wchar_t kUserDn[] = L"CN=Ann,OU=People,DC=example,DC=test";
constexpr int kUserGuid = 1;
constexpr int kPrimaryGuid = 2;
constexpr int kFirstGroupGuid = 10;  // groups get ids from here on, in the order a test declares them
constexpr uint32_t kUserRid = 1104;
constexpr int32_t kPrimaryRid = 513;
constexpr wchar_t kUserSidText[] = L"S-1-5-21-1-2-3-1104";  // the test domain is S-1-5-21-1-2-3
constexpr wchar_t kPrimaryName[] = L"P";

std::string Narrow(std::wstring_view text) { return platform::WideToUtf8(text); }
std::wstring GroupDn(const std::wstring& name) { return L"CN=" + name + L",OU=Groups,DC=example,DC=test"; }

// Sixteen objectGUID bytes that differ for every id, and their bindable
// string form (lower-case hex in byte order), which the resolution appends.
std::vector<uint8_t> GuidBytes(int id) {
  std::vector<uint8_t> bytes(16);
  for (size_t i = 0; i < bytes.size(); ++i) {
    // The id in the first four bytes, a fixed pattern mixed with it after.
    bytes[i] = static_cast<uint8_t>(i < 4 ? static_cast<uint32_t>(id) >> (8 * i) : 0xA0 + i * 7 + id);
  }
  return bytes;
}
std::wstring GuidText(int id) {
  static constexpr wchar_t kHex[] = L"0123456789abcdef";
  std::wstring text;
  for (uint8_t byte : GuidBytes(id)) text += {kHex[byte >> 4], kHex[byte & 0x0f]};
  return text;
}
std::vector<std::wstring> GuidTexts(const std::vector<int>& ids) {
  std::vector<std::wstring> texts;
  for (int id : ids) texts.push_back(GuidText(id));
  return texts;
}

// Binary objectSid of the test domain with `rid` as its last sub-authority.
std::vector<uint8_t> SidBytes(uint32_t rid) {
  std::vector<uint8_t> bytes = {1, 5, 0, 0, 0, 0, 0, 5};  // revision, count, authority 5
  for (uint32_t sub : {21u, 1u, 2u, 3u, rid}) {
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

LogLines LinesOf(const DBG::testing::ScopedLogCapture& capture, std::string_view source) {
  LogLines lines;
  for (const DBG::LogRecord& record : capture.Snapshot()) {
    if (record.source == source) lines.emplace_back(record.level, record.message);
  }
  return lines;
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

// The eight counts of each call's two "DSCounter" lines, in their order.
using Counts = std::array<int, 8>;
std::vector<Counts> CountsIn(const LogLines& lines) {
  std::vector<Counts> calls;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    Counts c{};
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

// A zeroed performance object installed as g_pDSAccessPerfObject while alive.
class ScopedPerfObject {
 public:
  ScopedPerfObject() : previous_(g_pDSAccessPerfObject) { g_pDSAccessPerfObject = &object_; }
  ~ScopedPerfObject() { g_pDSAccessPerfObject = previous_; }
  ScopedPerfObject(const ScopedPerfObject&) = delete;
  ScopedPerfObject& operator=(const ScopedPerfObject&) = delete;

  // Total, user, primary-group and nested-group counts, each directory then cache.
  Counts counts() const {
    const CDSAccessPerfObject& p = object_;
    return {static_cast<int>(p.m_nTotalDSAccess),  static_cast<int>(p.m_nTotalCacheAccess),
            static_cast<int>(p.m_nUserDSAccess),   static_cast<int>(p.m_nUserCacheAccess),
            static_cast<int>(p.m_nPGroupDSAccess), static_cast<int>(p.m_nPGroupCacheAccess),
            static_cast<int>(p.m_nNGroupDSAccess), static_cast<int>(p.m_nNGroupCacheAccess)};
  }
  const CDSAccessPerfObject& object() const { return object_; }

 private:
  CDSAccessPerfObject object_{};
  CDSAccessPerfObject* const previous_;
};

// An attribute list in the order it is stored, for the directory or for a
// record planted in a manager's cache.
using Attributes = std::vector<std::pair<std::wstring, std::vector<_variant_t>>>;

void Remove(Attributes& attributes, const std::wstring& name) {
  std::erase_if(attributes, [&](const auto& attribute) { return attribute.first == name; });
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

// Puts a record into the cache of `manager` under `key`, as a lookup that
// read it would have. The managers convert objectGUID and objectSid to
// strings, so only a record placed this way can hold other value types there.
void Plant(const CUserPolicyManager& manager, const std::wstring& key, const Attributes& attributes) {
  CDSObjectInfo record;
  for (const auto& [name, values] : attributes) {
    CDSObjectProperty property(name.c_str());
    for (_variant_t value : values) property.AddValue(value);
    record.AddProperty(property);
  }
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
  user.emplace_back(L"objectGUID", std::vector{as_record ? Text(GuidText(kUserGuid)) : Binary(GuidBytes(kUserGuid))});
  if (as_record) user.emplace_back(L"distinguishedName", std::vector{Text(kUserDn)});
  std::vector<_variant_t> groups;
  for (const std::wstring& dn : member_of) groups.push_back(Text(dn));
  user.emplace_back(L"memberOf", std::move(groups));
  user.emplace_back(L"primaryGroupID", std::vector{Integer(kPrimaryRid)});
  user.emplace_back(L"objectSid", std::vector{as_record ? Text(kUserSidText) : Binary(SidBytes(kUserRid))});
  return user;
}

// A group: its name (CN), the names of the groups it is a member of, and
// whether it has an objectGUID.
struct TestGroup {
  std::wstring name;
  std::vector<std::wstring> member_of;
  bool has_guid = true;
};

// One test's directory with the user Ann, her primary group "P" and the
// groups a test adds. While alive, every lookup reads `directory`, and the
// module's managers are fresh (empty caches). Make and end it on the test's
// main thread; one may be made per row of a table.
class Scene {
 public:
  Scene() {
    wcsncpy(g_wszGlobalCatalogPath, L"GC://127.0.0.1:3268", kGlobalCatalogPathLength);
    ResetManagers();
  }
  ~Scene() { ResetManagers(); }
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;

  // Adds Ann with the standard attributes, member of the groups named.
  void AddUser(const std::vector<std::wstring>& member_of) {
    std::vector<std::wstring> dns;
    for (const std::wstring& name : member_of) dns.push_back(GroupDn(name));
    AddUserAttributes(StandardUser(false, dns));
  }
  void AddUserAttributes(const Attributes& attributes) {
    MemoryObject user(kUserDn);
    user.AddStrings(L"objectClass", {L"top", L"person", L"user"})
        .AddString(L"objectCategory", L"person")
        .AddString(L"msRTCSIP-PrimaryUserAddress", kSip);
    for (const auto& [name, values] : attributes) {
      for (const _variant_t& value : values) user.AddValue(name, value);
    }
    directory.AddObject(user);
  }

  // Adds the groups, each with the next GUID id ("P" gets kPrimaryGuid and
  // the primary group's SID); adds "P" without parents when not named.
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

  directory::MemoryDirectory directory;

 private:
  static void ResetManagers() {
    ReleaseManagers();
    DropRetiredManagers();
  }

  directory::testing::ScopedBackend backend_{&directory};
  std::map<std::wstring, int> ids_;
};

bool Resolve(const wchar_t* sip, std::vector<_bstr_t>& guids) {
  return CPolicyFilterDSAccessHelper::GetUserIdentityAndMembershipGuids(sip, guids);
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

// The GUID list ---------------------------------------------------------------------

TEST(GuidResolution, GroupGraphsResolveDepthFirstPreOrderWithEachGroupOnce) {
  struct Case {
    const char* title;
    std::vector<std::wstring> user_member_of;
    std::vector<TestGroup> groups;
    std::vector<std::wstring> expected;  // group names after the user's and primary group's GUIDs
    int exist_lines;
    int ngroup_ds;     // nested-group lookups the directory answered
    int ngroup_cache;  // nested-group lookups the cache answered
  };
  const std::vector<Case> cases = {
      {"chains above the primary group, then above the user", {L"A"},
       {{L"P", {L"D"}}, {L"A", {L"B"}}, {L"B", {L"C"}}, {L"C", {}}, {L"D", {L"E"}}, {L"E", {}}},
       {L"D", L"E", L"A", L"B", L"C"}, 0, 5, 0},
      {"each memberOf value's whole chain before the next value", {L"A", L"B"},
       {{L"A", {L"A1", L"A2"}}, {L"A1", {L"A11"}}, {L"A11", {}}, {L"A2", {}}, {L"B", {L"B1"}}, {L"B1", {}}},
       {L"A", L"A1", L"A11", L"A2", L"B", L"B1"}, 0, 6, 0},
      {"diamond: looked up twice, appended once", {L"A", L"B"},
       {{L"A", {L"C"}}, {L"B", {L"C"}}, {L"C", {L"D"}}, {L"D", {}}}, {L"A", L"C", L"D", L"B"}, 1, 4, 1},
      {"cycle of two groups", {L"A"}, {{L"A", {L"B"}}, {L"B", {L"A"}}}, {L"A", L"B"}, 1, 2, 1},
      {"group that is a member of itself", {L"A"}, {{L"A", {L"A"}}}, {L"A"}, 1, 1, 1},
      {"primary group also reached through memberOf", {L"P", L"A"},
       {{L"P", {L"B"}}, {L"A", {L"P"}}, {L"B", {}}}, {L"B", L"A"}, 2, 3, 1},
      {"group without objectGUID adds nothing but its parents are walked", {L"A"},
       {{L"A", {L"B"}, false}, {L"B", {}}}, {L"B"}, 0, 2, 0},
      {"group without objectGUID reached twice is walked twice", {L"A", L"B"},
       {{L"A", {L"C"}}, {L"B", {L"C"}}, {L"C", {L"D"}, false}, {L"D", {}}}, {L"A", L"D", L"B"}, 1, 4, 2},
      {"cycle made only of groups without objectGUID ends", {L"A"},
       {{L"A", {L"B"}, false}, {L"B", {L"A"}, false}}, {}, 0, 2, 1},
  };
  for (const Case& c : cases) {
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
    const LogLines lines = LinesOf(capture, kGuidSource);
    EXPECT_EQ(CountContaining(lines, " query (exist) = "), c.exist_lines);
    EXPECT_TRUE(MessagesAt(lines, DBG::kLevelWarning).empty());
    EXPECT_TRUE(MessagesAt(lines, DBG::kLevelFailure).empty());
    // Per call: total = user + primary group + nested groups, by source.
    const Counts counts = {2 + c.ngroup_ds, c.ngroup_cache, 1, 0, 1, 0, c.ngroup_ds, c.ngroup_cache};
    EXPECT_EQ(CountsIn(lines), std::vector<Counts>{counts});
    EXPECT_EQ(scene.directory.TotalCalls(), 2 + c.ngroup_ds);  // one read per directory answer
  }
}

TEST(GuidResolution, LogsEachStepAndASecondCallWithTheSameListFindsTheGroupsPresent) {
  Scene scene;
  scene.AddGroups({{L"A", {L"B"}}, {L"B", {}}});
  scene.AddUser({L"A"});
  const int a = scene.IdOf(L"A");
  const int b = scene.IdOf(L"B");
  const std::string entry = "GetUserIdentityAndMembershipGuids(" + Narrow(kSip) + ")";
  std::vector<_bstr_t> guids;
  {
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    EXPECT_TRUE(Resolve(kSip, guids));
    const std::vector<std::string> expected = {
        entry,
        UserFoundLine("LDAP", kUserDn),
        GroupFoundLine("LDAP", kPrimaryGuid, GroupDn(kPrimaryName)),
        GroupFoundLine("LDAP", a, GroupDn(L"A")),
        GroupFoundLine("LDAP", b, GroupDn(L"B")),
        "DSCounter: total_ds_access=4, total_cache_access=0,user_ds_access=1, user_cache_access=0",
        "DSCounter: pgroup_ds_access=1, pgroup_cache_access=0,ngroup_ds_access=2, ngroup_cache_access=0",
    };
    EXPECT_EQ(LinesOf(capture, kGuidSource).size(), expected.size());
    EXPECT_EQ(MessagesAt(LinesOf(capture, kGuidSource), DBG::kLevelData), expected);
  }
  EXPECT_EQ(TextsOf(guids), GuidTexts({kUserGuid, kPrimaryGuid, a, b}));

  // Again with the same list: the user's and primary group's GUIDs go in
  // again; A is found present, so its chain is not followed.
  {
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    EXPECT_TRUE(Resolve(kSip, guids));
    const std::vector<std::string> expected = {
        entry,
        UserFoundLine("Local", kUserDn),
        GroupFoundLine("Local", kPrimaryGuid, GroupDn(kPrimaryName)),
        GroupExistLine("Local", a, GroupDn(L"A")),
        "DSCounter: total_ds_access=0, total_cache_access=3,user_ds_access=0, user_cache_access=1",
        "DSCounter: pgroup_ds_access=0, pgroup_cache_access=1,ngroup_ds_access=0, ngroup_cache_access=1",
    };
    EXPECT_EQ(LinesOf(capture, kGuidSource).size(), expected.size());
    EXPECT_EQ(MessagesAt(LinesOf(capture, kGuidSource), DBG::kLevelData), expected);
  }
  EXPECT_EQ(TextsOf(guids), GuidTexts({kUserGuid, kPrimaryGuid, a, b, kUserGuid, kPrimaryGuid}));
  EXPECT_EQ(scene.directory.TotalCalls(), 4);
}

TEST(GuidResolution, CallerEntriesTakePartInTheDuplicateCheckInAnyLetterCase) {
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
  EXPECT_EQ(CountContaining(LinesOf(capture, kGuidSource), GroupExistLine("LDAP", scene.IdOf(L"A"), GroupDn(L"A"))),
            1);
}

TEST(GuidResolution, UnusableUserValuesSkipOnlyTheirStepWithTheirWarning) {
  struct Case {
    const char* title;
    bool planted;  // the record is planted in the user manager's cache ("Local"), else read ("LDAP")
    std::function<void(Attributes&)> edit;
    std::vector<int> expected;  // GUID ids; kFirstGroupGuid is group A
    std::vector<std::string> warnings;
    std::vector<std::string> user_lines;  // lines about the user's own GUID
  };
  const int a = kFirstGroupGuid;
  const std::string no_object = " LDAP query = <" + Narrow(kSip) + "> : no object in AD.";
  const std::string found_ldap = UserFoundLine("LDAP", kUserDn);
  const std::string found_local = UserFoundLine("Local", kUserDn);
  const std::string type_i4 = std::to_string(VT_I4);
  const std::vector<Case> cases = {
      {"objectGUID absent", false, [](Attributes& u) { Remove(u, L"objectGUID"); }, {kPrimaryGuid, a}, {},
       {no_object}},
      {"objectGUID not binary: the manager keeps it without values", false,
       [](Attributes& u) { Replace(u, L"objectGUID", {Integer(5)}); }, {kPrimaryGuid, a}, {}, {no_object}},
      {"objectGUID an integer in the record", true, [](Attributes& u) { Replace(u, L"objectGUID", {Integer(5)}); },
       {kPrimaryGuid, a}, {}, {}},
      {"objectSid absent", false, [](Attributes& u) { Remove(u, L"objectSid"); }, {kUserGuid, a}, {}, {found_ldap}},
      {"objectSid not binary: the manager keeps it without values", false,
       [](Attributes& u) { Replace(u, L"objectSid", {Integer(7)}); }, {kUserGuid, a}, {}, {found_ldap}},
      {"objectSid an integer in the record", true, [](Attributes& u) { Replace(u, L"objectSid", {Integer(7)}); },
       {kUserGuid, a}, {"objDSUser objectSid value type not match, type=" + type_i4}, {found_local}},
      {"objectSid text that is no SID", true,
       [](Attributes& u) { Replace(u, L"objectSid", {Text(L"not a SID")}); }, {kUserGuid, a},
       {"CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID()"}, {found_local}},
      {"primaryGroupID absent", false, [](Attributes& u) { Remove(u, L"primaryGroupID"); }, {kUserGuid, a},
       {"primaryGroupID is empty"}, {found_ldap}},
      {"primaryGroupID VT_EMPTY", false, [](Attributes& u) { Replace(u, L"primaryGroupID", {_variant_t()}); },
       {kUserGuid, a}, {"primaryGroupID value type is VT_EMPTY"}, {found_ldap}},
      {"primaryGroupID naming no group", false, [](Attributes& u) { Replace(u, L"primaryGroupID", {Integer(999)}); },
       {kUserGuid, a}, {"objDSPrimaryGroup objectGUID is empty"}, {found_ldap}},
      {"memberOf values that are not strings are skipped", false,
       [](Attributes& u) {
         Replace(u, L"memberOf", {Integer(4), Text(GroupDn(L"A")), _variant_t(true), _variant_t()});
       },
       {kUserGuid, kPrimaryGuid, a}, {}, {found_ldap}},
      {"distinguishedName absent", true, [](Attributes& u) { Remove(u, L"distinguishedName"); },
       {kUserGuid, kPrimaryGuid, a}, {"objDSUser distinguishedName is empty."}, {UserFoundLine("Local", L"")}},
      {"distinguishedName not a string", true, [](Attributes& u) { Replace(u, L"distinguishedName", {Integer(1)}); },
       {kUserGuid, kPrimaryGuid, a}, {}, {UserFoundLine("Local", L"")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    Scene scene;
    scene.AddGroups({{L"A", {}}});
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
    const LogLines lines = LinesOf(capture, kGuidSource);
    EXPECT_EQ(MessagesAt(lines, DBG::kLevelWarning), c.warnings);
    EXPECT_TRUE(MessagesAt(lines, DBG::kLevelFailure).empty());
    std::vector<std::string> user_lines;
    for (const std::string& message : MessagesAt(lines, DBG::kLevelData)) {
      if (message.find("query = <") != std::string::npos) user_lines.push_back(message);
    }
    EXPECT_EQ(user_lines, c.user_lines);
  }
}

TEST(GuidResolution, UnusableGroupValuesAreWarnedAndTheirParentsStillWalked) {
  struct Case {
    const char* title;
    bool primary;  // the record planted is the primary group's, else group A's
    Attributes record;
    std::vector<int> expected;  // GUID ids
    std::vector<std::string> warnings;
    std::string data_line;  // the line about the planted group ("" when none)
  };
  const int a = kFirstGroupGuid;
  const int b = kFirstGroupGuid + 1;
  const std::vector<_variant_t> parent_b = {Text(GroupDn(L"B"))};
  const std::string type_i4 = std::to_string(VT_I4);
  const std::vector<Case> cases = {
      {"primary group's objectGUID an integer", true, {{L"objectGUID", {Integer(3)}}, {L"memberOf", parent_b}},
       {kUserGuid, b, a}, {"objDSPrimaryGroup objectGUID value type is not match. type=" + type_i4}, ""},
      {"primary group's objectGUID without values", true, {{L"objectGUID", {}}, {L"memberOf", parent_b}},
       {kUserGuid, b, a}, {"objDSPrimaryGroup objectGUID is empty"}, ""},
      {"primary group without distinguishedName: no warning, empty DN", true,
       {{L"objectGUID", {Text(GuidText(kPrimaryGuid))}}}, {kUserGuid, kPrimaryGuid, a}, {},
       GroupFoundLine("Local", kPrimaryGuid, L"")},
      {"group's objectGUID an integer", false,
       {{L"objectGUID", {Integer(3)}}, {L"distinguishedName", {Text(GroupDn(L"A"))}}, {L"memberOf", parent_b}},
       {kUserGuid, kPrimaryGuid, b}, {"objDSGroup objectGUID value type is not match. type=" + type_i4}, ""},
      {"group's objectGUID without values", false, {{L"objectGUID", {}}, {L"memberOf", parent_b}},
       {kUserGuid, kPrimaryGuid, b}, {}, ""},
      {"group without distinguishedName", false, {{L"objectGUID", {Text(GuidText(a))}}, {L"memberOf", parent_b}},
       {kUserGuid, kPrimaryGuid, a, b}, {"objDSGroup distinguishedName is empty"}, GroupFoundLine("Local", a, L"")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    Scene scene;
    scene.AddGroups({{L"A", {}}, {L"B", {}}});
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
    const LogLines lines = LinesOf(capture, kGuidSource);
    EXPECT_EQ(MessagesAt(lines, DBG::kLevelWarning), c.warnings);
    if (!c.data_line.empty()) {
      EXPECT_EQ(CountContaining(lines, c.data_line), 1);
    }
  }
}

TEST(GuidResolution, ResultIsTrueOnlyWhenSomethingWasFoundOrTheUserIsMissing) {
  // The user's objectGUID is an integer (nothing appended for the user, no
  // "no object" either) and there is no objectSid (no primary group), so
  // only the walk can set the result.
  struct Case {
    const char* title;
    std::function<void(Scene&, Attributes&, std::vector<_bstr_t>&)> arrange;
    bool expected;
  };
  const std::vector<Case> cases = {
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
       [](Scene& s, Attributes&, std::vector<_bstr_t>&) { s.AddGroups({{L"A", {L"B"}, false}, {L"B", {}}}); }, true},
      {"no objectGUID attribute at all (no object)",
       [](Scene&, Attributes& u, std::vector<_bstr_t>&) {
         Remove(u, L"objectGUID");
         Replace(u, L"memberOf", {});
       },
       true},
  };
  for (const Case& c : cases) {
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

  // A null address: false, with nothing logged, looked up or appended.
  Scene scene;
  DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
  std::vector<_bstr_t> guids = {_bstr_t(L"kept")};
  EXPECT_FALSE(Resolve(nullptr, guids));
  EXPECT_EQ(TextsOf(guids), std::vector<std::wstring>{L"kept"});
  EXPECT_TRUE(capture.Snapshot().empty());
  EXPECT_EQ(scene.directory.TotalCalls(), 0);
}

TEST(GuidResolution, FailedGroupLookupsAreLoggedWithTheirNameAndOnlyTheirChainIsLost) {
  Scene scene;
  // Reads: 1 user, 2 primary group, 3 A, 4 A1 (fails), 5 A2, 6 Gone (no such
  // object), 7 B; then A2 again, from the cache.
  scene.AddGroups({{L"A", {L"A1", L"A2"}}, {L"A1", {L"X"}}, {L"X", {}}, {L"A2", {}}, {L"B", {L"A2"}}});
  scene.AddUser({L"A", L"Gone", L"B"});
  scene.directory.FailNthCall(4, kDirectoryServerDown);
  ScopedPerfObject perf;
  DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
  std::vector<_bstr_t> guids;
  EXPECT_TRUE(Resolve(kSip, guids));

  EXPECT_EQ(TextsOf(guids),
            GuidTexts({kUserGuid, kPrimaryGuid, scene.IdOf(L"A"), scene.IdOf(L"A2"), scene.IdOf(L"B")}));
  EXPECT_EQ(scene.directory.ReadCount(GroupDn(L"X")), 0);  // nothing above the failed group
  EXPECT_EQ(scene.directory.TotalCalls(), 7);
  const LogLines lines = LinesOf(capture, kGuidSource);
  const std::vector<std::string> failures = MessagesAt(lines, DBG::kLevelFailure);
  ASSERT_EQ(failures.size(), 2u);
  // The error text is the exception's full message, with its code.
  const std::pair<std::wstring, int> failed[] = {{L"A1", kDirectoryServerDown}, {L"Gone", kDirectoryNotFound}};
  for (size_t i = 0; i < 2; ++i) {
    const std::string prefix = "GetNestedGroupMembershipGuids(" + Narrow(GroupDn(failed[i].first)) + ") fail. Error = ";
    EXPECT_EQ(failures[i].rfind(prefix, 0), 0u) << failures[i];
    EXPECT_NE(failures[i].find("code " + std::to_string(failed[i].second)), std::string::npos) << failures[i];
  }
  EXPECT_NE(failures[0].find("failure injected by the in-memory directory"), std::string::npos) << failures[0];
  // Per call, failed lookups are not counted; the performance object counts
  // each as one cache access of its group, without time.
  EXPECT_EQ(CountsIn(lines), std::vector<Counts>(1, Counts{5, 1, 1, 0, 1, 0, 3, 1}));
  EXPECT_EQ(perf.counts(), (Counts{5, 3, 1, 0, 1, 0, 3, 3}));
}

TEST(GuidResolution, FailedUserOrPrimaryGroupLookupIsLoggedAndEndsOnlyItsPart) {
  struct Case {
    const char* title;
    int failing_read;  // 1 the user's search, 2 the primary group's search
    std::string failure;
    bool expected_result;
    std::vector<int> appended;  // GUID ids after the caller's entry
    Counts counts;              // per call
    Counts perf;
  };
  const std::string code = std::to_string(kDirectoryTimeout);
  const std::vector<Case> cases = {
      {"user lookup", 1, "GetUserIdentityAndMembershipGuids() fail. Error = " + code, false, {}, {},
       {0, 1, 0, 1, 0, 0, 0, 0}},
      {"primary-group lookup", 2, "Get primaryGroupID info fail. Error = " + code, true,
       {kUserGuid, kFirstGroupGuid}, {2, 0, 1, 0, 0, 0, 1, 0}, {2, 1, 1, 0, 0, 1, 1, 0}},
  };
  for (const Case& c : cases) {
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
    const LogLines lines = LinesOf(capture, kGuidSource);
    EXPECT_EQ(MessagesAt(lines, DBG::kLevelFailure), std::vector<std::string>{c.failure});
    // Both counter lines still end the call, with the counts so far.
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(CountsIn({lines[lines.size() - 2], lines.back()}), std::vector<Counts>{c.counts});
    EXPECT_EQ(perf.counts(), c.perf);
  }
}

TEST(GuidResolution, LookupTimeGoesToTheGroupThatWaitedForTheDirectory) {
  constexpr int64_t kLookupSeconds = 5;
  Scene scene;
  scene.AddGroups({});
  scene.AddUser({});
  platform::testing::ScopedFakeClock clock(1700000000);
  ScopedPerfObject perf;
  // The user's read parks in the directory while the clock moves on.
  scene.directory.BlockReads();
  std::thread caller([] {
    std::vector<_bstr_t> guids;
    Resolve(kSip, guids);
  });
  ASSERT_TRUE(scene.directory.WaitUntilBlocked(1));
  clock.Advance(kLookupSeconds);
  scene.directory.ReleaseReads();
  caller.join();

  const CDSAccessPerfObject& p = perf.object();
  EXPECT_EQ(perf.counts(), (Counts{2, 0, 1, 0, 1, 0, 0, 0}));
  EXPECT_EQ(p.m_nUserDSAccessTime, kLookupSeconds * 1000);
  EXPECT_EQ(p.m_nTotalDSAccessTime, kLookupSeconds * 1000);  // the primary group's read took no time
  EXPECT_EQ(p.m_nUserCacheAccessTime + p.m_nTotalCacheAccessTime + p.m_nPGroupDSAccessTime, 0);
}

TEST(GuidResolution, DeepChainsResolveCompletelyAndRunsWithoutGuidsStopAtTheGuard) {
  // Deeper than any real directory nests, and deeper than the guard against
  // long runs of groups without a GUID (512), which must not cut chains of
  // groups that have one.
  constexpr int kDepth = 600;
  constexpr int kGuard = 512;
  const auto chain_name = [](int level) { return L"G" + std::to_wstring(level); };
  for (const bool with_guids : {true, false}) {
    SCOPED_TRACE(with_guids ? "groups with GUIDs" : "groups without GUIDs");
    Scene scene;
    std::vector<TestGroup> chain;
    for (int i = 0; i < kDepth; ++i) {
      chain.push_back({chain_name(i), {}, with_guids});
      if (i + 1 < kDepth) chain.back().member_of.push_back(chain_name(i + 1));
    }
    scene.AddGroups(chain);
    scene.AddUser({chain_name(0)});
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    std::vector<_bstr_t> guids;
    EXPECT_TRUE(Resolve(kSip, guids));

    std::vector<int> expected = {kUserGuid, kPrimaryGuid};
    std::vector<std::string> warnings;
    if (with_guids) {
      for (int i = 0; i < kDepth; ++i) expected.push_back(scene.IdOf(chain_name(i)));
    } else {
      warnings.push_back("GetNestedGroupMembershipGuids(" + Narrow(GroupDn(chain_name(kGuard))) +
                         ") stops: nesting deeper than " + std::to_string(kGuard) + " levels");
      EXPECT_EQ(scene.directory.ReadCount(GroupDn(chain_name(kGuard))), 1);
      EXPECT_EQ(scene.directory.ReadCount(GroupDn(chain_name(kGuard + 1))), 0);
    }
    EXPECT_EQ(guids.size(), expected.size());
    EXPECT_TRUE(TextsOf(guids) == GuidTexts(expected));  // without printing hundreds of GUIDs
    EXPECT_EQ(MessagesAt(LinesOf(capture, kGuidSource), DBG::kLevelWarning), warnings);
  }
}

TEST(GuidResolution, ConcurrentCallersEachGetTheWholeList) {
  constexpr int kThreads = 4;
  Scene scene;
  scene.AddGroups({{L"A", {L"B", L"C"}}, {L"B", {L"C"}}, {L"C", {L"A"}}});
  scene.AddUser({L"A", L"C"});
  std::vector<std::vector<_bstr_t>> lists(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back([&lists, t] { Resolve(kSip, lists[t]); });
  for (std::thread& thread : threads) thread.join();
  const auto expected = GuidTexts({kUserGuid, kPrimaryGuid, scene.IdOf(L"A"), scene.IdOf(L"B"), scene.IdOf(L"C")});
  for (const auto& list : lists) EXPECT_EQ(TextsOf(list), expected);
}

// The e-mail address -------------------------------------------------------------------

// Buffers are filled with this before a call, so that every character the
// call writes (or does not write) shows.
constexpr wchar_t kUntouched = L'#';
constexpr size_t kBufferSize = 32;

void AddMailUser(Scene& scene, std::vector<_variant_t> proxy_addresses, std::vector<_variant_t> mail) {
  scene.AddUserAttributes({{L"proxyAddresses", std::move(proxy_addresses)}, {L"mail", std::move(mail)}});
}

std::wstring FreshBuffer() { return std::wstring(kBufferSize, kUntouched); }

long GetAddress(std::wstring& buffer, unsigned long capacity) {
  return CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(kSip, buffer.data(), capacity);
}

// The buffer as a successful call leaves it: `address` cut to capacity - 1
// characters, zeros up to `capacity`, the rest untouched.
std::wstring Filled(const std::wstring& address, size_t capacity) {
  std::wstring expected = FreshBuffer();
  const size_t kept = std::min(address.size(), capacity - 1);
  for (size_t i = 0; i < capacity; ++i) expected[i] = i < kept ? address[i] : L'\0';
  return expected;
}

// The entry line, `lines` at the data level, and the exit line with `hr`.
LogLines MailLog(const std::vector<std::string>& lines, long hr, int level = DBG::kLevelData) {
  LogLines log = {{DBG::kLevelEnter, "CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(" + Narrow(kSip) + ")"}};
  for (const std::string& line : lines) log.emplace_back(level, line);
  char text[16];
  std::snprintf(text, sizeof(text), "0x%x", static_cast<unsigned>(hr));
  log.emplace_back(DBG::kLevelLeave,
                   std::string("CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress() hr=") + text);
  return log;
}

TEST(EmailResolution, PrimaryThenFirstSecondaryThenFirstMailValue) {
  struct Case {
    const char* title;
    std::vector<_variant_t> proxy_addresses;  // numbers are VT_I4 values
    std::vector<_variant_t> mail;
    long expected_hr;
    std::wstring expected_address;  // when expected_hr is S_OK
    std::vector<std::string> lines;  // between the entry and the exit line
  };
  const std::string no_address = "No e-mail address => " + Narrow(kSip) + ".";
  const std::vector<Case> cases = {
      {"primary after a secondary", {L"smtp:a@example.test", L"SMTP:b@example.test"}, {L"m@example.test"}, S_OK,
       L"b@example.test",
       {"Found Secondary proxyAddresses = a@example.test", "Found Primary proxyAddresses = b@example.test",
        "Email Address = b@example.test (in proxyAddresses)"}},
      {"two secondaries: the first, logged once", {L"smtp:a@example.test", L"Smtp:c@example.test"}, {}, S_OK,
       L"a@example.test",
       {"Found Secondary proxyAddresses = a@example.test", "Email Address = a@example.test (in proxyAddresses)"}},
      {"two primaries: the first ends the scan",
       {L"SMTP:a@example.test", L"smtp:s@example.test", L"SMTP:b@example.test"}, {}, S_OK, L"a@example.test",
       {"Found Primary proxyAddresses = a@example.test", "Email Address = a@example.test (in proxyAddresses)"}},
      {"exactly \"SMTP:\" is skipped", {L"SMTP:", L"smtp:", L"sMtP:c@example.test"}, {}, S_OK, L"c@example.test",
       {"Found Secondary proxyAddresses = c@example.test", "Email Address = c@example.test (in proxyAddresses)"}},
      {"one character after the prefix is an address", {L"SMTP:x"}, {}, S_OK, L"x",
       {"Found Primary proxyAddresses = x", "Email Address = x (in proxyAddresses)"}},
      {"other prefixes never count; mail is taken as it is",
       {L"SIP:ann@example.test", L"X500:/o=Example/cn=Ann", L"x400:c=US;a= ;p=Example;s=Ann", L"SMTPann@x.test"},
       {L"Ann.Mail@Example.TEST"}, S_OK, L"Ann.Mail@Example.TEST", {"Email Address = Ann.Mail@Example.TEST (in mail)"}},
      {"values that are not strings are skipped", {7L, L"SMTP:a@example.test"}, {}, S_OK, L"a@example.test",
       {"Found Primary proxyAddresses = a@example.test", "Email Address = a@example.test (in proxyAddresses)"}},
      {"no proxyAddresses: mail, prefix and all", {}, {L"smtp:m@example.test"}, S_OK, L"smtp:m@example.test",
       {"Email Address = smtp:m@example.test (in mail)"}},
      {"only the first mail value counts, even when it is no string", {}, {5L, L"m@example.test"}, E_FAIL, L"",
       {no_address}},
      {"only the first mail value counts", {}, {L"first@example.test", L"second@example.test"}, S_OK,
       L"first@example.test", {"Email Address = first@example.test (in mail)"}},
      {"an empty mail string is an address", {}, {L""}, S_OK, L"", {"Email Address =  (in mail)"}},
      {"other prefixes and no mail", {L"SIP:ann@example.test", L"X500:/o=Example/cn=Ann"}, {}, E_FAIL, L"",
       {no_address}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    Scene scene;
    AddMailUser(scene, c.proxy_addresses, c.mail);
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    std::wstring buffer = FreshBuffer();
    EXPECT_EQ(GetAddress(buffer, kBufferSize), c.expected_hr);
    EXPECT_EQ(buffer, c.expected_hr == S_OK ? Filled(c.expected_address, kBufferSize) : FreshBuffer());
    EXPECT_EQ(LinesOf(capture, kMailSource), MailLog(c.lines, c.expected_hr));
  }
}

TEST(EmailResolution, AddressIsCutToTheCapacityAndTheRestOfTheBufferZeroed) {
  const std::wstring address = L"abcdefghij@klmn.test";  // 20 characters
  const std::tuple<const char*, bool, unsigned long> cases[] = {
      // title, the address is the mail value (else a primary proxyAddresses value), capacity
      {"capacity 1: only the zero", false, 1},
      {"capacity 10 from mail: nine characters and a zero", true, 10},
      {"capacity 20: one character short", false, 20},
      {"capacity 21: exactly fits", false, 21},
  };
  for (const auto& [title, in_mail, capacity] : cases) {
    SCOPED_TRACE(title);
    Scene scene;
    if (in_mail) {
      AddMailUser(scene, {}, {Text(address)});
    } else {
      AddMailUser(scene, {Text(L"SMTP:" + address)}, {});
    }
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    std::wstring buffer = FreshBuffer();
    EXPECT_EQ(GetAddress(buffer, capacity), S_OK);
    EXPECT_EQ(buffer, Filled(address, capacity));
    // The log names the whole address, not the cut one.
    const std::string where = in_mail ? " (in mail)" : " (in proxyAddresses)";
    EXPECT_TRUE(capture.Contains(DBG::kLevelData, "Email Address = " + Narrow(address) + where));
  }
}

TEST(EmailResolution, InvalidArgumentsAreRefusedWithoutLogLookupOrWrite) {
  const std::tuple<const char*, const wchar_t*, bool, unsigned long> cases[] = {
      // title, SIP address, with a buffer, capacity
      {"null SIP address", nullptr, true, kBufferSize},
      {"null buffer", kSip, false, kBufferSize},
      {"capacity 0", kSip, true, 0},
  };
  for (const auto& [title, sip, with_buffer, capacity] : cases) {
    SCOPED_TRACE(title);
    Scene scene;
    AddMailUser(scene, {L"SMTP:a@example.test"}, {});
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    std::wstring buffer = FreshBuffer();
    EXPECT_EQ(CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(sip, with_buffer ? buffer.data() : nullptr,
                                                                       capacity),
              E_INVALIDARG);
    EXPECT_EQ(buffer, FreshBuffer());
    EXPECT_TRUE(capture.Snapshot().empty());
    EXPECT_EQ(scene.directory.TotalCalls(), 0);
  }
}

TEST(EmailResolution, FailedLookupIsLoggedAndNotCachedAndEachCallIsOneCountedUserLookup) {
  Scene scene;
  AddMailUser(scene, {L"SMTP:a@example.test"}, {});
  scene.directory.FailNthCall(1, kDirectoryServerDown);
  ScopedPerfObject perf;
  std::wstring buffer = FreshBuffer();
  {
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    EXPECT_EQ(GetAddress(buffer, kBufferSize), E_FAIL);
    EXPECT_EQ(buffer, FreshBuffer());
    const std::string failure = "CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(szSipAddress = " +
                                Narrow(kSip) + ") fail. Error = " + std::to_string(kDirectoryServerDown);
    EXPECT_EQ(LinesOf(capture, kMailSource), MailLog({failure}, E_FAIL, DBG::kLevelFailure));
  }
  EXPECT_EQ(perf.counts(), (Counts{0, 1, 0, 1, 0, 0, 0, 0}));
  // The next call reads and succeeds, the one after comes from the cache.
  for (const Counts& counts : {Counts{1, 1, 1, 1, 0, 0, 0, 0}, Counts{1, 2, 1, 2, 0, 0, 0, 0}}) {
    EXPECT_EQ(GetAddress(buffer, kBufferSize), S_OK);
    EXPECT_EQ(buffer, Filled(L"a@example.test", kBufferSize));
    EXPECT_EQ(perf.counts(), counts);
  }
  EXPECT_EQ(scene.directory.TotalCalls(), 2);
}

}  // namespace
