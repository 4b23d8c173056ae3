// Who a SIP user is, which groups the user is in and which e-mail address
// the user has, resolved through the module's managers against the
// in-memory directory: the order of the GUID list over group graphs, the
// caller's own entries, unusable attribute values and their warnings,
// directory failures at each step, the log lines and access counts of a
// cold and a warm call, very deep chains; then which address wins, how it
// fills the caller's buffer, and every result code.
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "dsobject/ds_object_info.h"
#include "manager/global_catalog_path.h"
#include "manager/lookup_key.h"
#include "manager/user_policy_manager.h"
#include "manager/user_policy_manager_impl.h"
#include "module/manager_factories.h"
#include "perf/ds_access_perf_object.h"
#include "platform/com.h"
#include "platform/crt.h"
#include "platform/directory.h"
#include "platform/directory/directory_backend.h"
#include "platform/directory/directory_error.h"
#include "platform/utf8.h"
#include "resolve/policy_filter_ds_access_helper.h"
#include "resolve/proxy_address_ds_access_helper.h"
#include "testing/fake_clock.h"
#include "testing/log_capture.h"
#include "testing/memory_directory.h"

namespace {

using directory::MemoryObject;
using LogLines = std::vector<std::pair<int, std::string>>;
using Names = std::vector<std::wstring>;

constexpr char kGuidSource[] = "serv_PolicyFilterDSAccessHelper";
constexpr char kMailSource[] = "serv_ProxyAddressDSAccessHelper";
constexpr wchar_t kSip[] = L"sip:ann@example.test";
constexpr wchar_t kUser[] = L"Ann";
constexpr wchar_t kUserDn[] = L"CN=Ann,OU=People,DC=example,DC=test";
constexpr wchar_t kPrimary[] = L"P";  // the user's primary group
constexpr uint32_t kUserRid = 1104;
constexpr int32_t kPrimaryRid = 513;
constexpr wchar_t kUserSidText[] = L"S-1-5-21-1-2-3-1104";  // the test domain is S-1-5-21-1-2-3

std::string Narrow(std::wstring_view text) { return platform::WideToUtf8(text); }
std::wstring GroupDn(const std::wstring& name) { return L"CN=" + name + L",OU=Groups,DC=example,DC=test"; }

// The objectGUID of the user or group `name` (at most 16 characters): its
// characters, then bytes no name has; and its bindable string form (hex in
// byte order, lower-case unless asked), which the resolution appends.
std::vector<uint8_t> GuidBytes(const std::wstring& name) {
  std::vector<uint8_t> bytes(16);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i < name.size() ? name[i] : 0xA0 + i);
  return bytes;
}
std::wstring GuidText(const std::wstring& name, bool upper_case = false) {
  const wchar_t* const hex = upper_case ? L"0123456789ABCDEF" : L"0123456789abcdef";
  std::wstring text;
  for (uint8_t byte : GuidBytes(name)) text += {hex[byte >> 4], hex[byte & 0x0f]};
  return text;
}
// An empty name stands for an entry without characters ("<none>", as TextsOf shows it).
std::vector<std::wstring> GuidTexts(const Names& names) {
  std::vector<std::wstring> texts;
  for (const std::wstring& name : names) texts.push_back(name.empty() ? L"<none>" : GuidText(name));
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
_variant_t NullText() {  // VT_BSTR without a string
  _variant_t value;
  value.vt = VT_BSTR;
  value.bstrVal = nullptr;
  return value;
}
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
// `text` alone, or nothing when it is empty.
std::vector<std::string> OneOrNone(const std::string& text) {
  return text.empty() ? std::vector<std::string>{} : std::vector{text};
}

// The two "DSCounter" lines that end each call's log, with the counts
// total, user, primary group and nested groups, each directory then cache;
// and the last two lines of a log.
using Counts = std::array<int, 8>;
LogLines CounterLines(const Counts& c) {
  char total[128];
  char groups[128];
  std::snprintf(total, sizeof(total),
                "DSCounter: total_ds_access=%d, total_cache_access=%d,user_ds_access=%d, user_cache_access=%d", c[0],
                c[1], c[2], c[3]);
  std::snprintf(groups, sizeof(groups),
                "DSCounter: pgroup_ds_access=%d, pgroup_cache_access=%d,ngroup_ds_access=%d, ngroup_cache_access=%d",
                c[4], c[5], c[6], c[7]);
  return {{DBG::kLevelData, total}, {DBG::kLevelData, groups}};
}
LogLines LastTwo(const LogLines& lines) {
  return LogLines(lines.end() - std::min<size_t>(lines.size(), 2), lines.end());
}

// A zeroed performance object installed as g_pDSAccessPerfObject (which
// nothing else sets in this program) while alive.
struct ScopedPerfObject {
  ScopedPerfObject() { g_pDSAccessPerfObject = &object; }
  ~ScopedPerfObject() { g_pDSAccessPerfObject = nullptr; }
  ScopedPerfObject(const ScopedPerfObject&) = delete;
  ScopedPerfObject& operator=(const ScopedPerfObject&) = delete;

  Counts counts() const {
    return {static_cast<int>(object.m_nTotalDSAccess),  static_cast<int>(object.m_nTotalCacheAccess),
            static_cast<int>(object.m_nUserDSAccess),   static_cast<int>(object.m_nUserCacheAccess),
            static_cast<int>(object.m_nPGroupDSAccess), static_cast<int>(object.m_nPGroupCacheAccess),
            static_cast<int>(object.m_nNGroupDSAccess), static_cast<int>(object.m_nNGroupCacheAccess)};
  }

  CDSAccessPerfObject object{};
};

// An attribute list in the order it is stored, for the directory or for a
// record planted in a manager's cache.
using Attributes = std::vector<std::pair<std::wstring, std::vector<_variant_t>>>;

// Replaces the values of `name` (adding it when missing); no values remove it.
void Edit(Attributes& attributes, const std::wstring& name, std::vector<_variant_t> values) {
  auto it = std::find_if(attributes.begin(), attributes.end(), [&](const auto& a) { return a.first == name; });
  if (values.empty()) {
    if (it != attributes.end()) attributes.erase(it);
  } else if (it != attributes.end()) {
    it->second = std::move(values);
  } else {
    attributes.emplace_back(name, std::move(values));
  }
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
// or as a record holds them (their string forms, and distinguishedName),
// member of the groups named.
Attributes StandardUser(bool as_record, const Names& member_of) {
  Attributes user;
  user.emplace_back(L"objectGUID", std::vector{as_record ? Text(GuidText(kUser)) : Binary(GuidBytes(kUser))});
  if (as_record) user.emplace_back(L"distinguishedName", std::vector{Text(kUserDn)});
  std::vector<_variant_t> groups;
  for (const std::wstring& name : member_of) groups.push_back(Text(GroupDn(name)));
  user.emplace_back(L"memberOf", std::move(groups));
  user.emplace_back(L"primaryGroupID", std::vector{Integer(kPrimaryRid)});
  user.emplace_back(L"objectSid", std::vector{as_record ? Text(kUserSidText) : Binary(SidBytes(kUserRid))});
  return user;
}

// A group's record as a manager's cache holds it, member of group B.
Attributes GroupRecord(const std::wstring& name) {
  return {{L"objectGUID", {Text(GuidText(name))}},
          {L"distinguishedName", {Text(GroupDn(name))}},
          {L"memberOf", {Text(GroupDn(L"B"))}}};
}

// A group: its name (CN), the names of the groups it is a member of, and
// whether it has an objectGUID.
struct TestGroup {
  std::wstring name;
  Names member_of;
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
  void AddUser(const Names& member_of) { AddUserAttributes(StandardUser(false, member_of)); }
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

  // Adds the groups ("P" with the primary group's SID); adds "P" without
  // parents when not named.
  void AddGroups(const std::vector<TestGroup>& groups) {
    bool have_primary = false;
    for (const TestGroup& group : groups) {
      const bool primary = group.name == kPrimary;
      have_primary = have_primary || primary;
      MemoryObject object(GroupDn(group.name));
      object.AddStrings(L"objectClass", {L"top", L"group"});
      if (group.has_guid) object.AddBinary(L"objectGUID", GuidBytes(group.name));
      if (primary) object.AddBinary(L"objectSid", SidBytes(kPrimaryRid));
      for (const std::wstring& parent : group.member_of) object.AddString(L"memberOf", GroupDn(parent));
      directory.AddObject(object);
    }
    if (!have_primary) AddGroups({{kPrimary, {}}});
  }

  directory::MemoryDirectory directory;

 private:
  static void ResetManagers() {
    ReleaseManagers();
    DropRetiredManagers();
  }

  directory::testing::ScopedBackend backend_{&directory};
};

bool Resolve(const wchar_t* sip, std::vector<_bstr_t>& guids) {
  return CPolicyFilterDSAccessHelper::GetUserIdentityAndMembershipGuids(sip, guids);
}

// The list as text; an entry without a string shows as "<none>".
std::vector<std::wstring> TextsOf(const std::vector<_bstr_t>& guids) {
  std::vector<std::wstring> texts;
  for (const _bstr_t& guid : guids) {
    // A _bstr_t of a variant without a string reads as null (Linux) or as
    // an empty string (Windows' comutil): either way no characters.
    const wchar_t* text = static_cast<const wchar_t*>(guid);
    texts.push_back(text != nullptr && *text != L'\0' ? text : L"<none>");
  }
  return texts;
}

// The data lines naming the user (from the directory or the cache, by
// `word`) or a group, with the distinguished name `dn`.
std::string UserFoundLine(const char* word, const std::wstring& dn) {
  return std::string(" ") + word + " query = <" + Narrow(kSip) + "> : objectGUID=" + Narrow(GuidText(kUser)) +
         ", DN=" + Narrow(dn) + " .";
}
std::string GroupFoundLine(const char* word, const std::wstring& name, const std::wstring& dn) {
  return std::string(" ") + word + " query = objectGUID=" + Narrow(GuidText(name)) + ", DN=" + Narrow(dn) + " .";
}

// The GUID list ---------------------------------------------------------------------

TEST(GuidResolution, GroupGraphsResolveDepthFirstPreOrderWithEachGroupOnce) {
  struct Case {
    const char* title;
    Names user_member_of;
    std::vector<TestGroup> groups;
    Names expected;  // the groups after the user and the primary group
    int exist_lines;
    int ngroup_ds;     // nested-group lookups the directory answered
    int ngroup_cache;  // nested-group lookups the cache answered
  };
  const std::vector<Case> cases = {
      {"the chain above the primary group, then each memberOf value's whole chain in turn", {L"A", L"B"},
       {{L"P", {L"D"}}, {L"D", {L"E"}}, {L"E", {}}, {L"A", {L"A1", L"A2"}}, {L"A1", {L"A11"}}, {L"A11", {}},
        {L"A2", {}}, {L"B", {L"B1"}}, {L"B1", {}}},
       {L"D", L"E", L"A", L"A1", L"A11", L"A2", L"B", L"B1"}, 0, 8, 0},
      {"diamond: looked up twice, appended once", {L"A", L"B"},
       {{L"A", {L"C"}}, {L"B", {L"C"}}, {L"C", {L"D"}}, {L"D", {}}}, {L"A", L"C", L"D", L"B"}, 1, 4, 1},
      {"cycle", {L"A"}, {{L"A", {L"B"}}, {L"B", {L"A"}}}, {L"A", L"B"}, 1, 2, 1},
      {"primary group also reached through memberOf", {L"P", L"A"},
       {{L"P", {L"B"}}, {L"A", {L"P"}}, {L"B", {}}}, {L"B", L"A"}, 2, 3, 1},
      {"group without objectGUID adds nothing, is walked each time it is reached", {L"A", L"B"},
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

    Names expected = {kUser, kPrimary};
    expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    EXPECT_EQ(TextsOf(guids), GuidTexts(expected));
    const LogLines lines = LinesOf(capture, kGuidSource);
    EXPECT_EQ(CountContaining(lines, " query (exist) = "), c.exist_lines);
    EXPECT_TRUE(MessagesAt(lines, DBG::kLevelWarning).empty());
    EXPECT_TRUE(MessagesAt(lines, DBG::kLevelFailure).empty());
    // Per call: total = user + primary group + nested groups, by source.
    const Counts counts = {2 + c.ngroup_ds, c.ngroup_cache, 1, 0, 1, 0, c.ngroup_ds, c.ngroup_cache};
    EXPECT_EQ(LastTwo(lines), CounterLines(counts));
    EXPECT_EQ(scene.directory.TotalCalls(), 2 + c.ngroup_ds);  // one read per directory answer
  }
}

TEST(GuidResolution, ColdAndWarmCallLogEachStepAndCallerEntriesTakePartInTheDuplicateCheck) {
  Scene scene;
  scene.AddGroups({{L"A", {L"B"}}, {L"B", {}}});
  scene.AddUser({L"A"});
  const std::string entry = "GetUserIdentityAndMembershipGuids(" + Narrow(kSip) + ")";
  // The caller's entries stay in front, unchanged; the one without a string
  // equals nothing, and the user's GUID goes in however often it is there.
  std::vector<_bstr_t> guids = {_bstr_t(L"unrelated"), _bstr_t(), _bstr_t(GuidText(kUser).c_str())};
  const auto call = [&](const std::vector<std::string>& data_lines, const Counts& counts) {
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    EXPECT_TRUE(Resolve(kSip, guids));
    LogLines expected = {{DBG::kLevelData, entry}};
    for (const std::string& line : data_lines) expected.emplace_back(DBG::kLevelData, line);
    for (const auto& line : CounterLines(counts)) expected.push_back(line);
    EXPECT_EQ(LinesOf(capture, kGuidSource), expected);
  };
  call({UserFoundLine("LDAP", kUserDn), GroupFoundLine("LDAP", kPrimary, GroupDn(kPrimary)),
        GroupFoundLine("LDAP", L"A", GroupDn(L"A")), GroupFoundLine("LDAP", L"B", GroupDn(L"B"))},
       {4, 0, 1, 0, 1, 0, 2, 0});
  ASSERT_EQ(guids.size(), 7u);
  guids[5] = GuidText(L"A", true).c_str();  // A's entry, upper-cased
  // A is found present, in other letter case, so its chain is not followed.
  call({UserFoundLine("Local", kUserDn), GroupFoundLine("Local", kPrimary, GroupDn(kPrimary)),
        " Local query (exist) = objectGUID=" + Narrow(GuidText(L"A")) + ", DN=" + Narrow(GroupDn(L"A"))},
       {0, 3, 0, 1, 0, 1, 0, 1});
  std::vector<std::wstring> expected = GuidTexts({kUser, kUser, kPrimary, L"A", L"B", kUser, kPrimary});
  expected[3] = GuidText(L"A", true);
  expected.insert(expected.begin(), {L"unrelated", L"<none>"});
  EXPECT_EQ(TextsOf(guids), expected);
  EXPECT_EQ(scene.directory.TotalCalls(), 4);
}

TEST(GuidResolution, UnusableValuesSkipOnlyTheirStepWithTheirWarning) {
  // Whose attribute is changed: the user's as the directory holds it, or in
  // a record planted in a manager's cache ("Local"): the user's, the primary
  // group's or group A's (both member of B).
  enum Where { kRead, kUserRecord, kPrimaryRecord, kGroupRecord };
  struct Case {
    const char* title;
    Where where;
    const wchar_t* attribute;
    std::vector<_variant_t> values;  // none: the attribute is removed
    Names expected;
    std::string warning;  // "" when none
    std::string line;     // the data line naming the changed object, "" when none
  };
  const std::string no_object = " LDAP query = <" + Narrow(kSip) + "> : no object in AD.";
  const std::string read = UserFoundLine("LDAP", kUserDn);
  const std::string local = UserFoundLine("Local", kUserDn);
  const std::string i4 = std::to_string(VT_I4);
  const std::vector<Case> cases = {
      {"objectGUID not binary: read without a value", kRead, L"objectGUID", {Integer(5)}, {kPrimary, L"A"}, "",
       no_object},
      {"objectGUID an integer", kUserRecord, L"objectGUID", {Integer(5)}, {kPrimary, L"A"}, "", ""},
      {"objectSid not binary: read without a value", kRead, L"objectSid", {Integer(7)}, {kUser, L"A"}, "", read},
      {"objectSid an integer", kUserRecord, L"objectSid", {Integer(7)}, {kUser, L"A"},
       "objDSUser objectSid value type not match, type=" + i4, local},
      {"objectSid text that is no SID", kUserRecord, L"objectSid", {Text(L"not a SID")}, {kUser, L"A"},
       "CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID()", local},
      {"primaryGroupID absent", kRead, L"primaryGroupID", {}, {kUser, L"A"}, "primaryGroupID is empty", read},
      {"primaryGroupID VT_EMPTY", kRead, L"primaryGroupID", {_variant_t()}, {kUser, L"A"},
       "primaryGroupID value type is VT_EMPTY", read},
      {"primaryGroupID naming no group", kRead, L"primaryGroupID", {Integer(999)}, {kUser, L"A"},
       "objDSPrimaryGroup objectGUID is empty", read},
      {"memberOf values that are not strings are skipped", kRead, L"memberOf",
       {Integer(4), Text(GroupDn(L"A")), _variant_t(true), _variant_t()}, {kUser, kPrimary, L"A"}, "", read},
      {"user's distinguishedName absent", kUserRecord, L"distinguishedName", {}, {kUser, kPrimary, L"A"},
       "objDSUser distinguishedName is empty.", UserFoundLine("Local", L"")},
      {"user's distinguishedName not a string", kUserRecord, L"distinguishedName", {Integer(1)},
       {kUser, kPrimary, L"A"}, "", UserFoundLine("Local", L"")},
      {"primary group's objectGUID an integer", kPrimaryRecord, L"objectGUID", {Integer(3)}, {kUser, L"B", L"A"},
       "objDSPrimaryGroup objectGUID value type is not match. type=" + i4, ""},
      {"primary group's distinguishedName absent: no warning", kPrimaryRecord, L"distinguishedName", {},
       {kUser, kPrimary, L"B", L"A"}, "", GroupFoundLine("Local", kPrimary, L"")},
      {"group's objectGUID an integer", kGroupRecord, L"objectGUID", {Integer(3)}, {kUser, kPrimary, L"B"},
       "objDSGroup objectGUID value type is not match. type=" + i4, ""},
      {"group's distinguishedName absent", kGroupRecord, L"distinguishedName", {}, {kUser, kPrimary, L"A", L"B"},
       "objDSGroup distinguishedName is empty", GroupFoundLine("Local", L"A", L"")},
      // Appended as an empty entry that the duplicate check finds equal to nothing.
      {"group's objectGUID a string without characters", kGroupRecord, L"objectGUID", {NullText()},
       {kUser, kPrimary, L"", L"B"}, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    Scene scene;
    scene.AddGroups({{L"A", {}}, {L"B", {}}});
    Attributes record = c.where == kPrimaryRecord ? GroupRecord(kPrimary)
                        : c.where == kGroupRecord ? GroupRecord(L"A")
                                                  : StandardUser(c.where == kUserRecord, {L"A"});
    Edit(record, c.attribute, c.values);
    if (c.where == kRead) scene.AddUserAttributes(record);
    if (c.where == kUserRecord) Plant(UserPolicy_GetUserIdentityManager(), kSip, record);
    if (c.where == kPrimaryRecord || c.where == kGroupRecord) scene.AddUser({L"A"});
    if (c.where == kPrimaryRecord) Plant(UserPolicy_GetPrimaryGroupIDTOGroupManager(), PrimaryGroupKey(), record);
    if (c.where == kGroupRecord) Plant(UserPolicy_GetGroupMemeberShipManager(), GroupDn(L"A"), record);
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    std::vector<_bstr_t> guids;
    EXPECT_TRUE(Resolve(kSip, guids));
    EXPECT_EQ(TextsOf(guids), GuidTexts(c.expected));
    const LogLines lines = LinesOf(capture, kGuidSource);
    EXPECT_EQ(MessagesAt(lines, DBG::kLevelWarning), OneOrNone(c.warning));
    EXPECT_TRUE(MessagesAt(lines, DBG::kLevelFailure).empty());
    const std::string naming = c.where == kPrimaryRecord ? " query = objectGUID=" + Narrow(GuidText(kPrimary))
                               : c.where == kGroupRecord ? " query = objectGUID=" + Narrow(GuidText(L"A"))
                                                         : " query = <";
    std::vector<std::string> named;
    for (const std::string& message : MessagesAt(lines, DBG::kLevelData)) {
      if (message.find(naming) != std::string::npos) named.push_back(message);
    }
    EXPECT_EQ(named, OneOrNone(c.line));
  }
}

TEST(GuidResolution, ResultIsTrueOnlyWhenSomethingWasFoundOrTheUserIsMissing) {
  // The user's record has an integer objectGUID (nothing appended for the
  // user, no "no object" either) and no objectSid (no primary group), so
  // only the walk from group A can set the result.
  enum Twist { kNone, kAListed, kNoObjectGuid };
  const std::tuple<const char*, std::vector<TestGroup>, Twist, bool> cases[] = {
      {"the only group already in the list", {{L"A", {}}}, kAListed, true},
      {"the only group's lookup fails (no such object)", {}, kNone, false},
      {"the only group has no objectGUID and no parents", {{L"A", {}, false}}, kNone, false},
      {"a group found above a group without objectGUID", {{L"A", {L"B"}, false}, {L"B", {}}}, kNone, true},
      {"no objectGUID attribute at all (no object), A missing", {}, kNoObjectGuid, true},
  };
  for (const auto& [title, groups, twist, expected] : cases) {
    SCOPED_TRACE(title);
    Scene scene;
    scene.AddGroups(groups);
    Attributes user = StandardUser(true, {L"A"});
    Edit(user, L"objectGUID", twist == kNoObjectGuid ? std::vector<_variant_t>{} : std::vector{Integer(5)});
    Edit(user, L"objectSid", {});
    Plant(UserPolicy_GetUserIdentityManager(), kSip, user);
    std::vector<_bstr_t> guids;
    if (twist == kAListed) guids.emplace_back(GuidText(L"A").c_str());
    EXPECT_EQ(Resolve(kSip, guids), expected);
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

TEST(GuidResolution, FailedLookupAtEachStepIsLoggedAndLosesOnlyItsPart) {
  using ::testing::AllOf;
  using ::testing::HasSubstr;
  using ::testing::StartsWith;
  struct Case {
    const char* title;
    int failing_read;  // 1 the user's read, 2 the primary group's, 4 group A1's (after A's)
    ::testing::Matcher<std::string> failure;
    bool expected_result;
    Names appended;  // after the caller's entry
    Counts counts;   // per call: the failed lookup is not counted
    Counts perf;     // one cache access of its group, without time
  };
  const std::string code = std::to_string(kDirectoryTimeout);
  const std::vector<Case> cases = {
      {"user", 1, "GetUserIdentityAndMembershipGuids() fail. Error = " + code, false, {}, {},
       {0, 1, 0, 1, 0, 0, 0, 0}},
      {"primary group", 2, "Get primaryGroupID info fail. Error = " + code, true,
       {kUser, L"A", L"A1", L"X", L"A2", L"B"}, {6, 1, 1, 0, 0, 0, 5, 1}, {6, 2, 1, 0, 0, 1, 5, 1}},
      // The group's error text is the exception's full message, with its code.
      {"group A1: nothing above it is read", 4,
       AllOf(StartsWith("GetNestedGroupMembershipGuids(" + Narrow(GroupDn(L"A1")) + ") fail. Error = "),
             HasSubstr("code " + code), HasSubstr("failure injected by the in-memory directory")),
       true, {kUser, kPrimary, L"A", L"A2", L"B"}, {5, 1, 1, 0, 1, 0, 3, 1}, {5, 2, 1, 0, 1, 0, 3, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    Scene scene;
    scene.AddGroups({{L"A", {L"A1", L"A2"}}, {L"A1", {L"X"}}, {L"X", {}}, {L"A2", {}}, {L"B", {L"A2"}}});
    scene.AddUser({L"A", L"B"});
    scene.directory.FailNthCall(c.failing_read, kDirectoryTimeout);
    ScopedPerfObject perf;
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    std::vector<_bstr_t> guids = {_bstr_t(L"caller")};
    EXPECT_EQ(Resolve(kSip, guids), c.expected_result);
    std::vector<std::wstring> expected = {L"caller"};
    for (const std::wstring& name : c.appended) expected.push_back(GuidText(name));
    EXPECT_EQ(TextsOf(guids), expected);
    EXPECT_EQ(scene.directory.TotalCalls(), c.counts[0] + 1);  // each directory answer, and the failed read
    const LogLines lines = LinesOf(capture, kGuidSource);
    EXPECT_THAT(MessagesAt(lines, DBG::kLevelFailure), ::testing::ElementsAre(c.failure));
    EXPECT_EQ(LastTwo(lines), CounterLines(c.counts));  // still the end of the call
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

  const CDSAccessPerfObject& p = perf.object;
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

    Names expected = {kUser, kPrimary};
    std::vector<std::string> warnings;
    if (with_guids) {
      for (int i = 0; i < kDepth; ++i) expected.push_back(chain_name(i));
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
  const auto expected = GuidTexts({kUser, kPrimary, L"A", L"B", L"C"});
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

TEST(EmailResolution, FirstPrimaryElseFirstSecondaryElseFirstMailValue) {
  const std::tuple<const char*, std::vector<_variant_t>, std::vector<_variant_t>, const wchar_t*> cases[] = {
      // title, proxyAddresses (numbers are VT_I4 values), mail, the address (nullptr: none)
      {"the first primary, also after a secondary",
       {L"smtp:s@example.test", L"SMTP:a@example.test", L"SMTP:b@example.test"}, {L"m@example.test"},
       L"a@example.test"},
      {"no primary: the first secondary; values that are not strings are skipped",
       {7L, L"smtp:a@example.test", L"Smtp:c@example.test"}, {}, L"a@example.test"},
      {"a prefix alone is skipped, one character after it is an address", {L"SMTP:", L"smtp:", L"sMtP:x"}, {},
       L"x"},
      {"other prefixes never count; the first mail value, as it is",
       {L"SIP:ann@example.test", L"X500:/o=Example/cn=Ann", L"x400:c=US;a= ;p=Example;s=Ann", L"SMTPann@x.test"},
       {L"smtp:Ann.Mail@Example.TEST", L"second@example.test"}, L"smtp:Ann.Mail@Example.TEST"},
      {"only the first mail value counts, even when it is no string", {}, {5L, L"m@example.test"}, nullptr},
      {"an empty mail string is an address", {}, {L""}, L""},
      {"nothing at all", {}, {}, nullptr},
  };
  for (const auto& [title, proxy_addresses, mail, address] : cases) {
    SCOPED_TRACE(title);
    Scene scene;
    AddMailUser(scene, proxy_addresses, mail);
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    std::wstring buffer = FreshBuffer();
    EXPECT_EQ(GetAddress(buffer, kBufferSize), address != nullptr ? S_OK : E_FAIL);
    EXPECT_EQ(buffer, address != nullptr ? Filled(address, kBufferSize) : FreshBuffer());
    if (address == nullptr) {
      EXPECT_TRUE(capture.Contains(DBG::kLevelData, "No e-mail address => " + Narrow(kSip) + "."));
    }
  }
}

TEST(EmailResolution, AddressIsCutToTheCapacityAndInvalidArgumentsAreRefusedUntouched) {
  const std::wstring address = L"abcdefghij@klmn.test";  // 20 characters
  const std::tuple<const char*, const wchar_t*, bool, unsigned long, bool, long> cases[] = {
      // title, SIP address, with a buffer, capacity, the address is the mail value (else a primary
      // proxyAddresses value), result
      {"null SIP address", nullptr, true, kBufferSize, false, E_INVALIDARG},
      {"null buffer", kSip, false, kBufferSize, false, E_INVALIDARG},
      {"capacity 0", kSip, true, 0, false, E_INVALIDARG},
      {"capacity 1: only the zero", kSip, true, 1, false, S_OK},
      {"capacity 10 from mail: nine characters and a zero", kSip, true, 10, true, S_OK},
      {"capacity 21: exactly fits", kSip, true, 21, false, S_OK},
  };
  for (const auto& [title, sip, with_buffer, capacity, in_mail, expected_hr] : cases) {
    SCOPED_TRACE(title);
    Scene scene;
    const std::vector<_variant_t> none, proxy = {Text(L"SMTP:" + address)}, mail = {Text(address)};
    AddMailUser(scene, in_mail ? none : proxy, in_mail ? mail : none);
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    std::wstring buffer = FreshBuffer();
    EXPECT_EQ(CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(sip, with_buffer ? buffer.data() : nullptr,
                                                                       capacity),
              expected_hr);
    if (expected_hr == E_INVALIDARG) {  // without a log line, a lookup or a write
      EXPECT_EQ(buffer, FreshBuffer());
      EXPECT_TRUE(capture.Snapshot().empty());
      EXPECT_EQ(scene.directory.TotalCalls(), 0);
    } else {
      EXPECT_EQ(buffer, Filled(address, capacity));
      // The log names the whole address, not the cut one.
      const std::string where = in_mail ? " (in mail)" : " (in proxyAddresses)";
      EXPECT_TRUE(capture.Contains(DBG::kLevelData, "Email Address = " + Narrow(address) + where));
    }
  }
}

TEST(EmailResolution, FailedLookupIsLoggedAndNotCachedAndEachCallIsOneCountedUserLookup) {
  Scene scene;
  AddMailUser(scene, {L"smtp:s@example.test", L"Smtp:t@example.test", L"SMTP:a@example.test"}, {});
  scene.directory.FailNthCall(1, kDirectoryServerDown);
  ScopedPerfObject perf;
  const std::string enter = "CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(" + Narrow(kSip) + ")";
  const std::string leave = "CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress() hr=";
  const LogLines failed = {
      {DBG::kLevelEnter, enter},
      {DBG::kLevelFailure, "CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(szSipAddress = " +
                               Narrow(kSip) + ") fail. Error = " + std::to_string(kDirectoryServerDown)},
      {DBG::kLevelLeave, leave + "0x80004005"}};
  // Only the first secondary address is logged, and the primary that ends the scan.
  const LogLines found = {{DBG::kLevelEnter, enter},
                          {DBG::kLevelData, "Found Secondary proxyAddresses = s@example.test"},
                          {DBG::kLevelData, "Found Primary proxyAddresses = a@example.test"},
                          {DBG::kLevelData, "Email Address = a@example.test (in proxyAddresses)"},
                          {DBG::kLevelLeave, leave + "0x0"}};
  // The failed call, then one that reads and succeeds, then one from the cache.
  const std::tuple<long, LogLines, Counts> calls[] = {
      {E_FAIL, failed, {0, 1, 0, 1, 0, 0, 0, 0}},
      {S_OK, found, {1, 1, 1, 1, 0, 0, 0, 0}},
      {S_OK, found, {1, 2, 1, 2, 0, 0, 0, 0}},
  };
  for (const auto& [hr, lines, counts] : calls) {
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    std::wstring buffer = FreshBuffer();
    EXPECT_EQ(GetAddress(buffer, kBufferSize), hr);
    EXPECT_EQ(buffer, hr == S_OK ? Filled(L"a@example.test", kBufferSize) : FreshBuffer());
    EXPECT_EQ(LinesOf(capture, kMailSource), lines);
    EXPECT_EQ(perf.counts(), counts);
  }
  EXPECT_EQ(scene.directory.TotalCalls(), 2);
}

}  // namespace
