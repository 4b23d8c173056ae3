// The LDAP backend against one real slapd (also serving ldaps) holding
// testdata/sample.ldif: values typed from the schema, attribute selection,
// DN and <GUID=...> paths, failures with their context, searches, ranged
// retrieval (answered through the operation table: slapd does not answer in
// ranges), the schema and the pool under threads, discovery, the settings
// reader; then faults: a stalled TLS handshake, a stopped server, failover,
// dying pooled connections, wrong credentials and TLS (the faults a proxy can
// make are fault_proxy_test's).
#include "platform/directory/ldap_backend.h"

#include <gtest/gtest.h>
#include <ldap.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "local_directories/slapd_server.h"
#include "platform/crt.h"
#include "platform/directory.h"
#include "platform/directory/directory_config.h"
#include "platform/directory/directory_error.h"
#include "platform/directory/directory_path.h"
#include "platform/directory/ldap_schema_reader.h"
#include "platform/directory/read_ahead.h"
#include "platform/ascii.h"
#include "platform/clock.h"
#include "platform/utf8.h"
#include "testing/fake_clock.h"
#include "testing/ldap_operations.h"
#include "testing/log_capture.h"
#include "tests/support/directory_failure.h"
#include "tests/support/directory_truth.h"
#include "tests/support/directory_values.h"
#include "tests/support/keytab_file.h"
#include "tests/support/recorded_reads.h"
#include "tests/support/sample_records.h"
#include "tests/support/schema_typing.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/scoped_settings_file.h"
#include "tests/support/scoped_temporary_folder.h"

namespace directory {
namespace {

namespace ldap = platform::ldap;
using Clock = std::chrono::steady_clock;
using ScopedSettings = userpolicy::testing::ScopedSettingsFile;
using userpolicy::testing::ContextOf;
using userpolicy::testing::DirectoryFailure;
using userpolicy::testing::DumpValues;
using Strings = std::vector<std::string>;
using userpolicy::local_directories::SlapdServer;

constexpr wchar_t kAliceDn[] = L"cn=Alice Anderson,ou=People,dc=example,dc=test";
constexpr char kAliceGuid[] = "objectGUID BYTES:01010000000000000000000000000000";
// Groups of the sample directory: Alice is in Engineering Backend, which is
// in Engineering, in Research and Development, in All Staff; Web Team is in
// Engineering and Design, and Design in Research and Development.
constexpr wchar_t kEngineeringBackendDn[] = L"cn=Engineering Backend,ou=Groups,dc=example,dc=test";
constexpr wchar_t kEngineeringDn[] = L"cn=Engineering,ou=Groups,dc=example,dc=test";
constexpr wchar_t kResearchDn[] = L"cn=Research and Development,ou=Groups,dc=example,dc=test";
constexpr wchar_t kAllStaffDn[] = L"cn=All Staff,ou=Groups,dc=example,dc=test";
constexpr wchar_t kWebTeamDn[] = L"cn=Web Team,ou=Groups,dc=example,dc=test";
constexpr wchar_t kDesignDn[] = L"cn=Design,ou=Groups,dc=example,dc=test";
// The connect and operation timeouts of the fault cases, and what a call may
// take beyond them on a busy machine.
constexpr int kTimeoutMs = 1000;
constexpr char kShortTimeouts[] = "ConnectTimeoutMs = 1000\nOperationTimeoutMs = 1000\n";
// A failed server is tried again by the next call.
constexpr char kNoBackoff[] = "FailureBackoffMs = 0\n";
constexpr std::chrono::milliseconds kSlack{3000};

// One server for every case of this program.
SlapdServer& Server() {
  static const std::unique_ptr<SlapdServer> server = [] {
    userpolicy::local_directories::SlapdOptions options;
    options.tls = true;
    return SlapdServer::Start(options);
  }();
  return *server;
}

std::wstring Wide(std::string_view text) { return platform::Utf8ToWide(text); }
std::string Narrow(std::wstring_view text) { return platform::WideToUtf8(text); }

// Settings that read `servers` as the service account, with `extra` lines in the table.
constexpr char kTable[] = "[DirectoryAccess.DEFAULT]\n";
std::string Settings(const std::string& servers, const std::string& extra = "") {
  using userpolicy::testing::DirectorySettings;
  return DirectorySettings(servers, Server().service_dn(), Server().service_password_file()) + extra;
}

std::wstring Gc(std::wstring_view object = L"") {
  return L"GC://" + Wide(Server().host_port()) + (object.empty() ? L"" : L"/" + std::wstring(object));
}

std::vector<std::wstring> Names(const DirectoryObject& object) {
  std::vector<std::wstring> names;
  for (const DirectoryAttribute& attribute : object.attributes) names.push_back(attribute.name);
  return names;
}

std::shared_ptr<const DirectoryObject> ReadAlice(LdapBackend& backend, const std::wstring& server = L"") {
  return backend.ReadObject(DirectoryPath::Parse(L"GC://" + server + (server.empty() ? L"" : L"/") + kAliceDn),
                            {L"objectGUID", L"name"});
}

// Operation table hooks (plain functions, so their state is global): they
// count connects and searches, record the requests, fail chosen searches as
// a dropped connection would, and let `fake` answer a search with made-up
// entries (nullopt: the server answers).
using FakeAnswer = std::function<std::optional<std::vector<ldap::Entry>>(const ldap::SearchRequest&)>;
constexpr int kFakeId = -1000;
constexpr int kStalledId = -2000;
struct Hooks {
  std::mutex mu;
  std::vector<ldap::SearchRequest> requests;
  FakeAnswer fake;
  std::vector<ldap::Entry> pending;  // of the fake answer, not yet returned
  std::atomic<int> connects{0}, searches{0};
  std::atomic<int> drop_from{0}, drop_count{0};  // searches are numbered from 1; 0: none is dropped
  std::set<std::string> stalled;                 // bases (lowercase) whose searches get no answer in time
} g_hooks;

int Requests(const std::function<bool(const ldap::SearchRequest&)>& predicate) {
  std::lock_guard<std::mutex> lock(g_hooks.mu);
  int count = 0;
  for (const ldap::SearchRequest& request : g_hooks.requests) count += predicate(request) ? 1 : 0;
  return count;
}

void Fake(FakeAnswer answer) {
  std::lock_guard<std::mutex> lock(g_hooks.mu);
  g_hooks.fake = std::move(answer);
}

ldap::Status HookedConnect(const ldap::ConnectOptions& options, ldap::NativeSession** session) {
  ++g_hooks.connects;
  return ldap::testing::DefaultOperations().connect(options, session);
}

ldap::Status HookedSearch(ldap::NativeSession* session, const ldap::SearchRequest& request, int* id) {
  const int number = ++g_hooks.searches;
  if (g_hooks.drop_from != 0 && number >= g_hooks.drop_from && number < g_hooks.drop_from + g_hooks.drop_count) {
    return ldap::Status{ldap::kServerDown, ldap::ResultText(ldap::kServerDown), "dropped by the test", false};
  }
  std::lock_guard<std::mutex> lock(g_hooks.mu);
  g_hooks.requests.push_back(request);
  if (g_hooks.stalled.count(platform::AsciiLowercase(request.base)) != 0) {
    *id = kStalledId;
    return ldap::Status{};
  }
  if (std::optional<std::vector<ldap::Entry>> entries = g_hooks.fake ? g_hooks.fake(request) : std::nullopt) {
    g_hooks.pending = std::move(*entries);
    *id = kFakeId;
    return ldap::Status{};
  }
  return ldap::testing::DefaultOperations().search(session, request, id);
}

ldap::Status HookedNextResult(ldap::NativeSession* session, int id, std::chrono::milliseconds timeout,
                              ldap::SearchItem* item) {
  if (id == kStalledId) return ldap::Status{ldap::kTimeout, ldap::ResultText(ldap::kTimeout), "", false};
  if (id != kFakeId) return ldap::testing::DefaultOperations().next_result(session, id, timeout, item);
  std::lock_guard<std::mutex> lock(g_hooks.mu);
  item->kind = g_hooks.pending.empty() ? ldap::SearchItem::Kind::kDone : ldap::SearchItem::Kind::kEntry;
  if (!g_hooks.pending.empty()) item->entry = g_hooks.pending.front();
  if (!g_hooks.pending.empty()) g_hooks.pending.erase(g_hooks.pending.begin());
  return ldap::Status{};
}

void HookedAbandon(ldap::NativeSession* session, int id) {
  if (id != kFakeId && id != kStalledId) ldap::testing::DefaultOperations().abandon(session, id);
}

// The hooked table, with nothing recorded yet.
ldap::Operations Hooked() {
  std::lock_guard<std::mutex> lock(g_hooks.mu);
  g_hooks.requests.clear();
  g_hooks.stalled.clear();
  g_hooks.fake = nullptr;
  g_hooks.connects = g_hooks.searches = g_hooks.drop_from = g_hooks.drop_count = 0;
  ldap::Operations operations = ldap::testing::DefaultOperations();
  operations.connect = &HookedConnect;
  operations.search = &HookedSearch;
  operations.next_result = &HookedNextResult;
  operations.abandon = &HookedAbandon;
  return operations;
}

bool Asks(const ldap::SearchRequest& request, std::string_view attribute) {
  return std::find(request.attributes.begin(), request.attributes.end(), attribute) != request.attributes.end();
}

class LdapBackendTest : public ::testing::Test {
 protected:
  std::shared_ptr<const DirectoryObject> Read(std::wstring_view object, const std::vector<std::wstring>& attributes) {
    return backend_->ReadObject(DirectoryPath::Parse(Gc(object)), attributes);
  }
  std::shared_ptr<const DirectoryObject> Search(std::wstring_view root, const std::wstring& filter, int scope) {
    return backend_->SearchOne(DirectoryPath::Parse(root), filter, {L"objectGUID", L"distinguishedName"}, scope);
  }

  ScopedSettings settings_{Settings(Server().host_port())};
  std::unique_ptr<LdapBackend> backend_ = std::make_unique<LdapBackend>();
};

TEST_F(LdapBackendTest, ReadsExactlyTheAttributesAskedForTypedFromTheSchemaInTheServersOrder) {
  const auto alice = Read(kAliceDn, userpolicy::testing::SampleAliceAttributes());
  EXPECT_EQ(alice->distinguished_name, kAliceDn);
  // The server's order, names as asked; cn, sn and givenName (subtypes of
  // name) are dropped.
  EXPECT_EQ(DumpValues(*alice), userpolicy::testing::SampleAliceValues());

  EXPECT_EQ(DumpValues(*Read(L"ou=People,dc=example,dc=test", {L"hasSubordinates"})), Strings{"hasSubordinates BOOL:TRUE"});
  EXPECT_EQ(DumpValues(*Read(L"cn=Judy Jones,ou=People,dc=example,dc=test", {L"hasSubordinates"})),
            Strings{"hasSubordinates BOOL:FALSE"});

  // Erin has neither mail nor proxyAddresses; the last name is in no schema.
  EXPECT_EQ(DumpValues(*Read(L"cn=Erin Evans,ou=People,dc=example,dc=test",
                       {L"mail", L"proxyAddresses", L"name", L"noSuchAttribute"})),
            Strings{"name BSTR:Erin Evans"});

  // No list: the server's default set under the server's names, without
  // operational attributes such as memberOf.
  const std::vector<std::wstring> all = Names(*Read(kAliceDn, {}));
  for (const wchar_t* name : {L"cn", L"sn", L"givenName", L"objectSid", L"objectClass"}) {
    EXPECT_EQ(std::count(all.begin(), all.end(), name), 1) << Narrow(name);
  }
  EXPECT_EQ(std::count(all.begin(), all.end(), L"memberOf"), 0);
  const Strings values = DumpValues(*Read(kAliceDn, {}));
  EXPECT_EQ(std::count(values.begin(), values.end(), kAliceGuid), 1);

  // slapd answers distinguishedName with the group's member values (its
  // subtype) and stores no distinguishedName itself; commonName is another
  // name of cn, answered as "cn" and returned as the caller named it.
  EXPECT_EQ(DumpValues(*Read(L"cn=Engineering,ou=Groups,dc=example,dc=test",
                       {L"objectGUID", L"distinguishedName", L"memberOf", L"groupType"})),
            (Strings{"groupType I4:-2147483646", "objectGUID BYTES:12030000000000000000000000000000",
                     "memberOf BSTR:cn=Research and Development,ou=Groups,dc=example,dc=test",
                     "distinguishedName BSTR:cn=Engineering,ou=Groups,dc=example,dc=test"}));
  EXPECT_EQ(DumpValues(*Read(kAliceDn, {L"commonName"})), Strings{"commonName BSTR:Alice Anderson"});
}

// The server's whole attributeTypes, as ldapsearch shows them.
std::vector<std::string> WholeAttributeTypes() {
  const auto entries = userpolicy::local_directories::ParseLdif(
      Server().Search("cn=Subschema", "(objectClass=subschema)", {"attributeTypes"}, "base"));
  return entries.empty() ? std::vector<std::string>{} : entries.front().Get("attributeTypes");
}

TEST_F(LdapBackendTest, ReadsTheDefinitionsItNeedsAndTypesAsTheWholeSchemaWould) {
  const std::vector<std::string> whole = WholeAttributeTypes();
  const userpolicy::testing::ServerAccess access{Server().host_port(), Server().service_dn(),
                                                 Server().service_password_file()};
  // Every attribute the managers ask for: the rootDSE, then one search that
  // returns their 9 definitions only.
  const auto managers = userpolicy::testing::CompareOnDemandTyping(access, whole, userpolicy::testing::ManagerAttributes());
  EXPECT_EQ(managers.differences, Strings{});
  EXPECT_EQ(managers.searches, 2);
  EXPECT_EQ(managers.types_read, 9u);
  // Types that inherit their syntax from one not asked for: a second search
  // reads the superior.
  const auto inheriting = userpolicy::testing::CompareOnDemandTyping(access, whole, {"cn", "sn", "givenName", "mail"});
  EXPECT_EQ(inheriting.differences, Strings{});
  EXPECT_EQ(inheriting.searches, 3);
  // Every type of the server.
  const std::vector<std::string> names = userpolicy::testing::NamesOfDescriptions(whole);
  ASSERT_GT(names.size(), 200u);
  EXPECT_EQ(userpolicy::testing::CompareOnDemandTyping(access, whole, names).differences, Strings{});

  // Through the backend: a new name costs one search, a known one none.
  ldap::testing::ScopedOperations hooks(Hooked());
  const auto schema_reads = [] {
    return Requests([](const ldap::SearchRequest& r) { return r.base.empty() || r.base == "cn=Subschema"; });
  };
  const std::vector<std::wstring> user = {L"objectGUID", L"name", L"memberOf", L"primaryGroupID"};
  EXPECT_EQ(DumpValues(*Read(kAliceDn, user)),
            (Strings{"name BSTR:Alice Anderson", kAliceGuid, "primaryGroupID I4:513",
                     "memberOf BSTR:cn=Engineering Backend,ou=Groups,dc=example,dc=test"}));
  EXPECT_EQ(schema_reads(), 2);
  EXPECT_EQ(Requests([](const ldap::SearchRequest& r) {
              return r.controls.size() == 1 && r.controls.front().oid == "1.2.826.0.1.3344810.2.3";  // values return filter
            }),
            1);
  Read(L"cn=Bob Brown,ou=People,dc=example,dc=test", user);
  EXPECT_EQ(schema_reads(), 2);
  Read(L"cn=Engineering,ou=Groups,dc=example,dc=test", {L"objectGUID", L"groupType", L"noSuchAttribute"});
  EXPECT_EQ(schema_reads(), 3);
  Read(L"cn=Engineering,ou=Groups,dc=example,dc=test", {L"groupType", L"noSuchAttribute"});
  EXPECT_EQ(schema_reads(), 3);
}

// A backend of its own stands for each process: a later one types with the
// definitions an earlier one kept exactly as the server's own would type,
// without asking the server, and asks it again for names not kept, a day
// later, or when the file could have been written by another account.
TEST_F(LdapBackendTest, ALaterProcessTypesWithTheDefinitionsAnEarlierOneKept) {
  const userpolicy::testing::ScopedTemporaryFolder folder;
  const std::string file = (folder.path() / "attribute-types").string();
  ScopedSettings settings(std::string(kTable) + "GlobalCatalogServers = \"" + Server().host_port() + "\"\nBindDN = \"" +
                          Server().service_dn() + "\"\nPasswordFile = \"" + Server().service_password_file() +
                          "\"\nSchemaCacheFile = \"" + file + "\"\n");
  ldap::testing::ScopedOperations hooks(Hooked());
  const auto schema_reads = [] {
    return Requests([](const ldap::SearchRequest& r) { return r.base.empty() || r.base == "cn=Subschema"; });
  };
  const std::vector<std::wstring> user = {L"objectGUID", L"name", L"memberOf", L"primaryGroupID", L"objectSid"};
  const std::vector<std::wstring> group = {L"objectGUID", L"groupType"};
  const DirectoryPath alice = DirectoryPath::Parse(Gc(kAliceDn));
  const DirectoryPath engineering = DirectoryPath::Parse(Gc(L"cn=Engineering,ou=Groups,dc=example,dc=test"));
  const auto process = [&](const std::vector<std::wstring>& attributes, const DirectoryPath& path) {
    return DumpValues(*LdapBackend().ReadObject(path, attributes));
  };

  const Strings from_server = process(user, alice);
  EXPECT_EQ(schema_reads(), 2);  // the rootDSE, then the definitions
  EXPECT_EQ(process(user, alice), from_server);
  EXPECT_EQ(schema_reads(), 2);
  const Strings group_from_server = process(group, engineering);  // groupType was not kept
  EXPECT_EQ(schema_reads(), 4);
  EXPECT_EQ(process(group, engineering), group_from_server);
  EXPECT_EQ(process(user, alice), from_server);
  EXPECT_EQ(schema_reads(), 4);

  std::filesystem::permissions(file, std::filesystem::perms::group_write, std::filesystem::perm_options::add);
  EXPECT_EQ(process(user, alice), from_server);
  EXPECT_EQ(schema_reads(), 6);  // and the file it wrote is its own again
  EXPECT_EQ(process(user, alice), from_server);
  EXPECT_EQ(schema_reads(), 6);
  {
    platform::testing::ScopedFakeClock a_day_later(_time64(nullptr) + 24 * 3600);
    EXPECT_EQ(process(user, alice), from_server);
    EXPECT_EQ(schema_reads(), 8);
  }
}

// The schema reader encodes its values return filter itself (wldap32 has
// no encoder of it): the bytes are libldap's.
TEST(LdapSchemaReader, ValuesReturnFilterIsTheBerLibldapWrites) {
  const std::vector<std::vector<std::string>> cases = {
      {"cn"},
      {"objectGUID", "name", "distinguishedName", "memberOf", "primaryGroupID", "objectSid", "proxyAddresses", "mail"},
      std::vector<std::string>(40, "msRTCSIP-PrimaryUserAddress"),  // lengths beyond 255 bytes
  };
  for (const std::vector<std::string>& names : cases) {
    std::string filter = "(";
    for (const std::string& name : names) filter += "(attributeTypes=" + name + ")";
    filter += ")";
    BerElement* ber = ber_alloc_t(LBER_USE_DER);
    ASSERT_EQ(ldap_put_vrFilter(ber, filter.c_str()), 0) << filter;
    berval flat{};
    ASSERT_EQ(ber_flatten2(ber, &flat, 0), 0);
    EXPECT_EQ(ldap_backend_internal::EncodeValuesReturnFilter("attributeTypes", names), std::string(flat.bv_val, flat.bv_len)) << filter;
    ber_free(ber, 1);
  }
}

// A walk up memberOf over the sample directory, as the read-ahead sees one:
// groups are read from the Global Catalog path of their DN with the group
// attributes, except those the walk holds; it stops above those in `stops`.
class SampleWalk : public GroupWalk {
 public:
  std::set<std::wstring> held, stops;  // lower-case DNs

  const std::vector<std::wstring>& GroupAttributes() override { return attributes_; }
  std::wstring_view ParentAttribute() override { return L"memberOf"; }
  std::optional<std::wstring> PathToRead(std::wstring_view dn) override {
    if (held.count(platform::AsciiLowercase(dn)) != 0) return std::nullopt;
    return Gc(dn);
  }
  bool WalksAbove(const DirectoryObject& object) override {
    return stops.count(platform::AsciiLowercase(object.distinguished_name)) == 0;
  }
  // Alice's record leads to the search `after_alice`, when set.
  std::optional<Search> after_alice;
  std::optional<Search> SearchAfter(const DirectoryObject& object) override {
    return object.distinguished_name == kAliceDn ? after_alice : std::nullopt;
  }

 private:
  const std::vector<std::wstring> attributes_ = {L"objectGUID", L"distinguishedName", L"memberOf", L"groupType"};
};

Strings Lowercase(std::initializer_list<const wchar_t*> dns) {
  Strings bases;
  for (const wchar_t* dn : dns) bases.push_back(platform::AsciiLowercase(Narrow(dn)));
  std::sort(bases.begin(), bases.end());
  return bases;
}

TEST_F(LdapBackendTest, ReadsAWalksGroupsAheadALevelAtATimeEachForItsOwnReadOnce) {
  SampleWalk walk;
  const std::vector<std::wstring> group = {L"objectGUID", L"distinguishedName", L"memberOf", L"groupType"};
  const std::wstring chain[] = {kEngineeringBackendDn, kEngineeringDn, kResearchDn, kAllStaffDn};
  std::vector<Strings> expected;
  for (const std::wstring& dn : chain) expected.push_back(DumpValues(*Read(dn, group)));

  // Alice's record also leads to a search for her primary group.
  const std::wstring primary_group_filter = L"(&(objectClass=group)(cn=Domain Users))";
  walk.after_alice = GroupWalk::Search{Gc(), primary_group_filter, kDirectoryScopeSubtree, group};
  const auto search_primary_group = [&] {
    return backend_->SearchOne(DirectoryPath::Parse(Gc()), primary_group_filter, group, kDirectoryScopeSubtree);
  };
  const Strings primary_group = DumpValues(*search_primary_group());

  ReadAheadScope scope(&walk);
  ldap::testing::ScopedOperations hooks(Hooked());
  const auto entry_reads = [] {
    std::lock_guard<std::mutex> lock(g_hooks.mu);
    Strings bases;
    for (const ldap::SearchRequest& r : g_hooks.requests) {
      if (r.scope == ldap::Scope::kBase && !r.base.empty()) bases.push_back(platform::AsciiLowercase(r.base));
    }
    std::sort(bases.begin(), bases.end());
    return bases;
  };
  const auto searches = [] { return Requests([](const ldap::SearchRequest& r) { return r.scope != ldap::Scope::kBase; }); };
  Read(kAliceDn, {L"objectGUID", L"memberOf"});
  EXPECT_EQ(entry_reads(), Lowercase({kAliceDn, kEngineeringBackendDn, kEngineeringDn, kResearchDn, kAllStaffDn}));
  EXPECT_EQ(searches(), 1);
  // Each read and search takes its answer, once, and only with the same attributes.
  for (size_t i = 0; i < std::size(chain); ++i) EXPECT_EQ(DumpValues(*Read(chain[i], group)), expected[i]);
  EXPECT_EQ(DumpValues(*search_primary_group()), primary_group);
  EXPECT_EQ(entry_reads().size(), 5u);
  EXPECT_EQ(searches(), 1);
  Read(kEngineeringBackendDn, group);
  search_primary_group();
  EXPECT_EQ(entry_reads().size(), 6u);
  EXPECT_EQ(searches(), 2);
}

TEST_F(LdapBackendTest, ReadsAheadOnlyWhatTheWalkWillReadItself) {
  const struct {
    std::set<std::wstring> held, stops;
    bool read_ahead;
    Strings read;
    int most_outstanding;
  } cases[] = {
      // Web Team's parents together, then Research and Development once, then All Staff.
      {{}, {}, true, Lowercase({kWebTeamDn, kEngineeringDn, kDesignDn, kResearchDn, kAllStaffDn}), 2},
      // A group the walk holds is not read, nor (through it) the groups above it.
      {{L"cn=design,ou=groups,dc=example,dc=test"}, {}, true,
       Lowercase({kWebTeamDn, kEngineeringDn, kResearchDn, kAllStaffDn}), 1},
      // Nor the groups above those the walk stops at.
      {{}, {L"cn=engineering,ou=groups,dc=example,dc=test", L"cn=design,ou=groups,dc=example,dc=test"}, true,
       Lowercase({kWebTeamDn, kEngineeringDn, kDesignDn}), 2},
      {{}, {}, false, Lowercase({kWebTeamDn}), 1},
  };
  for (const auto& c : cases) {
    settings_.Rewrite(Settings(Server().host_port(), c.read_ahead ? "" : "ReadAhead = false\n"));
    backend_ = std::make_unique<LdapBackend>();
    SampleWalk walk;
    walk.held = c.held;
    walk.stops = c.stops;
    ReadAheadScope scope(&walk);
    userpolicy::testing::RecordedReads reads;
    Read(kWebTeamDn, walk.GroupAttributes());
    EXPECT_EQ(reads.SortedBases(), c.read) << c.read.size();
    EXPECT_EQ(reads.MostOutstanding(), c.most_outstanding) << c.read.size();
  }
}

TEST_F(LdapBackendTest, AGroupLevelTheServerLeavesUnansweredCostsTheWalkOneWaitAsWithoutReadAhead) {
  // Web Team's parents, Engineering and Design, get no answer in time.
  const std::string engineering = platform::AsciiLowercase(Narrow(kEngineeringDn));
  const std::string design = platform::AsciiLowercase(Narrow(kDesignDn));
  std::vector<std::pair<int, std::wstring>> failures[2];  // error code and LDAP result, by read_ahead
  for (const bool read_ahead : {false, true}) {
    settings_.Rewrite(Settings(Server().host_port(), read_ahead ? "" : "ReadAhead = false\n"));
    backend_ = std::make_unique<LdapBackend>();
    SampleWalk walk;
    ReadAheadScope scope(&walk);
    ldap::testing::ScopedOperations hooks(Hooked());
    {
      std::lock_guard<std::mutex> lock(g_hooks.mu);
      g_hooks.stalled = {engineering, design};
    }
    Read(kWebTeamDn, walk.GroupAttributes());
    for (const wchar_t* dn : {kEngineeringDn, kDesignDn}) {
      const CDirectoryException error = DirectoryFailure([&] { Read(dn, walk.GroupAttributes()); });
      failures[read_ahead].emplace_back(error.GetErrorCode(), ContextOf(error, L"ldap"));
    }
    const auto reads_of = [](const std::string& base) {
      return Requests([&](const ldap::SearchRequest& r) { return platform::AsciiLowercase(r.base) == base; });
    };
    // The server was waited for once; the read that found it silent is not
    // asked again, and the server, failed, is skipped by the next read.
    EXPECT_EQ(reads_of(engineering), 1) << read_ahead;
    EXPECT_EQ(reads_of(design), read_ahead ? 1 : 0) << read_ahead;
  }
  EXPECT_EQ(failures[1], failures[0]);
  ASSERT_FALSE(failures[0].empty());
  EXPECT_EQ(failures[0].front().second.rfind(std::to_wstring(ldap::kTimeout) + L" ", 0), 0u)
      << Narrow(failures[0].front().second);
}

TEST_F(LdapBackendTest, LeavesAGroupAnsweredInRangesToItsOwnRead) {
  ldap::testing::ScopedOperations hooks(Hooked());
  static const std::string engineering = Narrow(kEngineeringDn);
  Fake([](const ldap::SearchRequest& r) -> std::optional<std::vector<ldap::Entry>> {
    if (!platform::EqualsIgnoringAsciiCase(r.base, engineering)) return std::nullopt;
    if (Asks(r, "memberOf;range=1-*")) return std::vector<ldap::Entry>{{engineering, {{"memberOf;range=1-*", {Narrow(kDesignDn)}}}}};
    return std::vector<ldap::Entry>{{engineering, {{"memberOf;range=0-0", {Narrow(kResearchDn)}}}}};
  });
  SampleWalk walk;
  ReadAheadScope scope(&walk);
  Read(kEngineeringBackendDn, walk.GroupAttributes());
  const auto engineering_reads = [] {
    return Requests([](const ldap::SearchRequest& r) { return platform::EqualsIgnoringAsciiCase(r.base, engineering); });
  };
  // Read ahead but not kept; nothing above it read ahead yet.
  EXPECT_EQ(engineering_reads(), 1);
  EXPECT_EQ(Requests([](const ldap::SearchRequest& r) { return r.base == Narrow(kResearchDn); }), 0);
  // Its own read completes the ranges and reads ahead from every value.
  EXPECT_EQ(DumpValues(*Read(kEngineeringDn, walk.GroupAttributes())),
            (Strings{"memberOf BSTR:" + Narrow(kResearchDn), "memberOf BSTR:" + Narrow(kDesignDn),
                     "distinguishedName BSTR:" + engineering}));
  EXPECT_EQ(engineering_reads(), 3);
  EXPECT_EQ(Requests([](const ldap::SearchRequest& r) { return r.base == Narrow(kResearchDn); }), 1);
  EXPECT_EQ(Requests([](const ldap::SearchRequest& r) { return r.base == Narrow(kDesignDn); }), 1);
}

TEST_F(LdapBackendTest, SearchesOutstandingTogetherGetTheirOwnAnswersInOrder) {
  std::unique_ptr<ldap::Connection> connection;
  ldap::ConnectOptions options;
  options.uri = Server().url();
  ASSERT_TRUE(ldap::Connection::Open(options, &connection).ok());
  ASSERT_TRUE(connection->SimpleBind("", "").ok());
  // More requests than are sent at once; every third names no entry.
  std::vector<ldap::SearchRequest> requests =
      userpolicy::testing::EveryThirdMissingReads(ldap::Connection::kMaxOutstanding + 8);
  ldap::testing::ScopedOperations hooks(Hooked());
  std::vector<ldap::SearchOutcome> outcomes;
  connection->SearchAll(requests, &outcomes);
  userpolicy::testing::ExpectEveryThirdMissingAnswered(requests, outcomes);
  EXPECT_TRUE(connection->IsAlive());

  // The second request finds the connection gone: the first, sent before
  // and not yet answered, and the third, never sent, fail with it too.
  g_hooks.searches = 0;
  g_hooks.drop_from = 2;
  g_hooks.drop_count = 1;
  requests.resize(3);
  connection->SearchAll(requests, &outcomes);
  for (const ldap::SearchOutcome& outcome : outcomes) EXPECT_EQ(outcome.status.code, ldap::kServerDown);
  EXPECT_EQ(g_hooks.searches.load(), 2);
  EXPECT_FALSE(connection->IsAlive());

  // A request the server does not answer in time: the connection counts as
  // lost, the requests not yet answered get the time-out, and no more are
  // sent.
  ASSERT_TRUE(ldap::Connection::Open(options, &connection).ok());
  ASSERT_TRUE(connection->SimpleBind("", "").ok());
  g_hooks.searches = g_hooks.drop_from = g_hooks.drop_count = 0;
  g_hooks.stalled = {platform::AsciiLowercase(Narrow(kAliceDn))};
  requests.resize(ldap::Connection::kMaxOutstanding + 8);
  requests[0].base = Narrow(kAliceDn);
  for (size_t i = 1; i < requests.size(); ++i) requests[i].base = Narrow(kEngineeringDn);
  connection->SearchAll(requests, &outcomes);
  EXPECT_EQ(g_hooks.searches.load(), static_cast<int>(ldap::Connection::kMaxOutstanding));
  for (const ldap::SearchOutcome& outcome : outcomes) EXPECT_EQ(outcome.status.code, ldap::kTimeout);
  EXPECT_FALSE(connection->IsAlive());
}

TEST_F(LdapBackendTest, ReadsDnPathsAsWrittenAndGuidPathsBySearchOnSlapd) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {  // the path's DN, the server's spelling
      {L"cn=Grace Lee\\2fContractor,ou=People,dc=example,dc=test",
       L"cn=Grace Lee/Contractor,ou=People,dc=example,dc=test"},
      {L"cn=Smith\\, Jones and Partners,ou=Groups,dc=example,dc=test",
       L"cn=Smith\\2C Jones and Partners,ou=Groups,dc=example,dc=test"},
  };
  for (const auto& [path_dn, expected] : cases) {
    const auto object = Read(path_dn, {L"distinguishedName"});
    EXPECT_EQ(object->distinguished_name, expected);
    EXPECT_EQ(DumpValues(*object), Strings{"distinguishedName BSTR:" + Narrow(expected)}) << Narrow(path_dn);
  }

  ldap::testing::ScopedOperations hooks(Hooked());
  EXPECT_EQ(Read(L"<GUID=01010000000000000000000000000000>", {L"objectGUID"})->distinguished_name, kAliceDn);
  // slapd refused the <GUID=...> base (invalid DN syntax) and the backend
  // searched for objectGUID instead; it does not ask in that form again.
  const auto guid_base = [](const ldap::SearchRequest& r) { return r.base.rfind("<GUID=", 0) == 0; };
  EXPECT_EQ(Requests(guid_base), 1);
  const int before = g_hooks.searches;
  // 29 is ')', special in a filter: it must arrive escaped.
  const auto mirror = Read(L"<GUID=29030000000000000000000000000000>", {L"objectGUID"});
  EXPECT_EQ(mirror->distinguished_name, L"cn=Mirror,ou=Groups,dc=example,dc=test");
  EXPECT_EQ(DumpValues(*mirror), Strings{"objectGUID BYTES:29030000000000000000000000000000"});
  EXPECT_EQ(g_hooks.searches, before + 1);
  EXPECT_EQ(Requests(guid_base), 1);
  EXPECT_EQ(Requests([](const ldap::SearchRequest& r) {
              return r.scope == ldap::Scope::kSubtree && r.filter.find("objectGUID=\\29\\03") != std::string::npos;
            }),
            1);
}

TEST_F(LdapBackendTest, ReportsFailuresWithTheirCodeAndContext) {
  const std::tuple<std::wstring, int, std::wstring> reads[] = {
      // Path, code, start of the "ldap" context item (empty: none expected).
      {Gc(L"cn=Nobody,ou=People,dc=example,dc=test"), kDirectoryNotFound, L"32 "},
      {Gc(L"<GUID=ffeeddccbbaa99887766554433221100>"), kDirectoryNotFound, L"32 "},
      {Gc(L"unknownType=x,dc=example,dc=test"), kDirectoryInvalidPath, L"34 "},
      {Gc(), kDirectoryInvalidArgument, L""},
  };
  for (const auto& [path, code, ldap_result] : reads) {
    const CDirectoryException error =
        DirectoryFailure([&, &path = path] { backend_->ReadObject(DirectoryPath::Parse(path), {L"name"}); });
    EXPECT_EQ(error.GetErrorCode(), code) << Narrow(path) << Narrow(error.GetErrorMsgEx().str());
    EXPECT_NE(ContextOf(error, L"target").find(path.substr(path.find(L'/', 5) + 1)), std::wstring::npos);
    if (code != kDirectoryInvalidArgument) {
      EXPECT_EQ(ContextOf(error, L"server"), Wide(Server().host_port()));
    }
    // Starts with the LDAP result code (no check for an empty one).
    EXPECT_EQ(ContextOf(error, L"ldap").rfind(ldap_result, 0), 0u) << Narrow(ContextOf(error, L"ldap"));
  }
  const std::tuple<std::wstring, const wchar_t*, int, int> searches[] = {  // root, filter, scope, code
      {Gc(), L"(objectClass=user", kDirectoryScopeSubtree, kDirectoryInvalidArgument},
      {Gc(), L"(objectClass=user)", 7, kDirectoryInvalidArgument},
      {Gc(L"ou=Nowhere,dc=example,dc=test"), L"(objectClass=*)", kDirectoryScopeSubtree, kDirectoryNotFound},
      {Gc(L"<GUID=ffeeddccbbaa99887766554433221100>"), L"(objectClass=*)", kDirectoryScopeSubtree, kDirectoryNotFound},
  };
  for (const auto& [root, filter, scope, code] : searches) {
    const CDirectoryException error = DirectoryFailure([&, &root = root, filter = filter, scope = scope] {
      Search(root, filter, scope);
    });
    EXPECT_EQ(error.GetErrorCode(), code) << Narrow(root + L" " + filter) << Narrow(error.GetErrorMsgEx().str());
  }
}

TEST_F(LdapBackendTest, SearchesFindTheFirstMatchOrNothing) {
  const std::tuple<std::wstring, std::wstring, int, const wchar_t*> cases[] = {  // root, filter, scope, found
      {L"GC://", L"(msRTCSIP-PrimaryUserAddress=sip:alice@example.test)", kDirectoryScopeSubtree, kAliceDn},
      {Gc(L"ou=Groups,dc=example,dc=test"), L"(cn=Web Team)", kDirectoryScopeOneLevel,
       L"cn=Web Team,ou=Groups,dc=example,dc=test"},
      {Gc(L"ou=Groups,dc=example,dc=test"), L"(cn=Web Team)", kDirectoryScopeBase, nullptr},
      {Gc(L"<GUID=10030000000000000000000000000000>"), L"(objectClass=group)", kDirectoryScopeBase,
       L"cn=All Staff,ou=Groups,dc=example,dc=test"},
  };
  for (const auto& [root, filter, scope, expected_dn] : cases) {
    SCOPED_TRACE(Narrow(root + L" " + filter));
    const auto found = Search(root, filter, scope);
    if (expected_dn == nullptr) {
      EXPECT_EQ(found, nullptr);
      continue;
    }
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->distinguished_name, expected_dn);
    const Strings values = DumpValues(*found);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].rfind("objectGUID BYTES:", 0), 0u);
    EXPECT_EQ(values[1], "distinguishedName BSTR:" + Narrow(expected_dn));
  }
}

// Ranged retrieval and values typed by content, answered through the table.
constexpr char kBigGroupDn[] = "cn=Big Group,ou=Groups,dc=example,dc=test";
constexpr char kStuckGroupDn[] = "cn=Stuck Group,ou=Groups,dc=example,dc=test";

ldap::Attribute Members(const std::string& name, int first, int last) {
  ldap::Attribute attribute{name, {}};
  for (int i = first; i <= last; ++i) attribute.values.push_back("cn=User " + std::to_string(i) + ",ou=People");
  return attribute;
}

std::optional<std::vector<ldap::Entry>> RangedGroups(const ldap::SearchRequest& request) {
  if (request.base == kStuckGroupDn) return std::vector<ldap::Entry>{{kStuckGroupDn, {Members("member;range=0-2", 0, 2)}}};
  if (request.base != kBigGroupDn) return std::nullopt;
  ldap::Entry entry{kBigGroupDn, {}};
  if (Asks(request, "member;range=3-*")) {
    entry.attributes.push_back(Members("member;range=3-5", 3, 5));
  } else if (Asks(request, "member;range=6-*")) {
    entry.attributes.push_back(Members("member;range=6-*", 6, 7));
  } else {
    entry.attributes = {{"objectGUID", {std::string("\x42\x03\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 16)}},
                        Members("member;range=0-2", 0, 2),
                        {"x-opaque", {std::string("\x01\x00\xff", 3)}},
                        {"x-note", {"plain text", "Zürich"}},
                        {"primaryGroupID", {"4294967296", "-7", "12x"}},
                        {"cn", {"Big Group"}}};
  }
  return std::vector<ldap::Entry>{entry};
}

TEST_F(LdapBackendTest, CompletesRangedAttributesAndTypesUnknownOnesByContent) {
  ldap::testing::ScopedOperations hooks(Hooked());
  Fake(&RangedGroups);
  Strings expected = {"objectGUID BYTES:42030000000000000000000000000000"};
  for (int i = 0; i <= 7; ++i) expected.push_back("Member BSTR:cn=User " + std::to_string(i) + ",ou=People");
  // Unknown attributes are text when printable, bytes otherwise. INTEGER
  // values that do not fit 32 bits widen; one that is no number stays text.
  expected.insert(expected.end(), {"x-opaque BYTES:0100ff", "x-note BSTR:plain text", "x-note BSTR:Zürich",
                                   "primaryGroupID I8:4294967296", "primaryGroupID I4:-7", "primaryGroupID BSTR:12x"});
  EXPECT_EQ(DumpValues(*Read(Wide(kBigGroupDn), {L"Member", L"objectGUID", L"x-opaque", L"x-note", L"primaryGroupID"})),
            expected);
  EXPECT_EQ(Requests([](const ldap::SearchRequest& r) { return r.base == kBigGroupDn; }), 3);
  // A range that never advances is an error, not an endless loop.
  EXPECT_EQ(DirectoryFailure([&] { Read(Wide(kStuckGroupDn), {L"member"}); }).GetErrorCode(), kDirectoryProtocolError);
}

TEST_F(LdapBackendTest, ThreadsShareOneSchemaReadAndAPoolOfTheConfiguredSize) {
  constexpr int kPoolSize = 3;
  settings_.Rewrite(Settings(Server().host_port(), "PoolSize = " + std::to_string(kPoolSize) + "\n"));
  ldap::testing::ScopedOperations hooks(Hooked());
  backend_ = std::make_unique<LdapBackend>();
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        const auto object = (i + t) % 2 == 0 ? Read(kAliceDn, {L"primaryGroupID"})
                                             : backend_->SearchOne(DirectoryPath::Parse(L"GC://"),
                                                                   L"(msRTCSIP-PrimaryUserAddress=sip:bob@example.test)",
                                                                   {L"primaryGroupID"}, kDirectoryScopeSubtree);
        if (object == nullptr || DumpValues(*object) != Strings{(i + t) % 2 == 0 ? "primaryGroupID I4:513"
                                                                           : "primaryGroupID I4:1105"}) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GE(g_hooks.connects.load(), 1);
  EXPECT_LE(g_hooks.connects.load(), kPoolSize);

  // New connection settings close the pool; the schema stays.
  DirectoryConfig config = DirectoryConfig::Load();
  config.pool_size = 2;
  const int connects_before = g_hooks.connects.load();
  backend_->Reconfigure(config);
  EXPECT_EQ(DumpValues(*Read(kAliceDn, {L"primaryGroupID"})), Strings{"primaryGroupID I4:513"});
  EXPECT_EQ(g_hooks.connects.load(), connects_before + 1);
  EXPECT_EQ(Requests([](const ldap::SearchRequest& r) { return r.base == "cn=Subschema"; }), 1);
}

TEST_F(LdapBackendTest, DiscoveryFollowsTheSettingsFileAsItChanges) {
  std::wstring path;
  ASSERT_EQ(backend_->GetRootGCPath(&path), S_OK);
  EXPECT_EQ(path, Gc());
  settings_.Rewrite(kTable + std::string("GlobalCatalogServers = \"gc9.example.test:3270, gc8.example.test\"\n"));
  ASSERT_EQ(backend_->GetRootGCPath(&path), S_OK);
  EXPECT_EQ(path, L"GC://gc9.example.test:3270");
  EXPECT_EQ(backend_->GetRootGCPath(nullptr), E_INVALIDARG);

  // slapd's own rootDSE has neither dnsHostName nor isGlobalCatalogReady
  // (""); a made-up one names a ready or an unready Global Catalog.
  settings_.Rewrite(Settings(Server().host_port(), "DomainController = \"" + Server().host_port() + "\"\n"));
  static std::string ready;
  for (const auto& [value, result] :
       std::vector<std::pair<std::string, HRESULT>>{{"", E_FAIL}, {"TRUE", S_OK}, {"FALSE", E_FAIL}}) {
    ldap::testing::ScopedOperations hooks(Hooked());
    ready = value;
    Fake([](const ldap::SearchRequest& request) -> std::optional<std::vector<ldap::Entry>> {
      if (ready.empty() || !request.base.empty() || !Asks(request, "dnsHostName")) return std::nullopt;
      return std::vector<ldap::Entry>{{"", {{"dnsHostName", {"dc1.example.test"}}, {"isGlobalCatalogReady", {ready}}}}};
    });
    path = L"unchanged";
    EXPECT_EQ(backend_->GetGCFromRootDSE(&path), result) << value;
    // A test server's own port is kept.
    EXPECT_EQ(path, result == S_OK ? L"GC://dc1.example.test:" + std::to_wstring(Server().port()) : L"unchanged");
  }
}

TEST(DirectoryConfigTest, ReadsTheSettingsAndKeepsDefaultsForBadValuesWithAWarning) {
  {
    // The keys and forms the backend cases above do not already depend on.
    ScopedSettings settings(
        std::string(kTable) + "GlobalCatalogServers = \" gc1.example.test:3268 ,gc2.example.test,, [::1]:3268 \"\n"
        "Forest = \"example.test\"\nTls = \"StartTLS\"\nOperationTimeoutMs = { type = \"VT_UI4\", value = 1500 }\n"
        "SearchBase = \"DC=example,DC=test\"\nReadAhead = false\n");
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kWarning);
    const DirectoryConfig config = DirectoryConfig::Load();
    EXPECT_EQ(config.global_catalog_servers,
              (std::vector<std::wstring>{L"gc1.example.test:3268", L"gc2.example.test", L"[::1]:3268"}));
    EXPECT_EQ(config.forest, L"example.test");
    EXPECT_EQ(config.tls, DirectoryConfig::Tls::kStartTls);
    EXPECT_EQ(config.operation_timeout_ms, 1500);
    EXPECT_EQ(config.search_base, L"DC=example,DC=test");
    EXPECT_FALSE(config.read_ahead);
    EXPECT_EQ(capture.Count(DBG::kLevelWarning), 0u);
  }
  const auto fields = [](const DirectoryConfig& c) {
    return std::tie(c.global_catalog_servers, c.domain_controller, c.forest, c.bind_dn, c.password_file, c.tls,
                    c.ca_file, c.verify_certificate, c.connect_timeout_ms, c.operation_timeout_ms, c.pool_size,
                    c.search_base, c.read_ahead);
  };
  // The table's second line, the warning, and the servers kept (everything
  // else keeps its default).
  const std::tuple<std::string, std::string, std::vector<std::wstring>> cases[] = {
      {"PoolSize = 0", "PoolSize (line 2)", {}},
      {"ConnectTimeoutMs = \"fast\"", "ConnectTimeoutMs (line 2) is not an integer", {}},
      {"ConnectTimeoutMs = { type = \"VT_I8\", value = 99999999999 }", "ConnectTimeoutMs (line 2)", {}},
      {"Tls = \"ssl\"", "Tls (line 2)", {}},
      {"VerifyCertificate = 1", "VerifyCertificate (line 2)", {}},
      {"ReadAhead = \"no\"", "ReadAhead (line 2)", {}},
      {"BindDN = 42", "BindDN (line 2) is not a string", {}},
      {"DomainController = \"dc1:notaport\"", "DomainController (line 2)", {}},
      {"GlobalCatalogServers = \"gc1.example.test, bad host:x, gc2.example.test:99999\"",
       "GlobalCatalogServers (line 2) holds the malformed server 'bad host:x'", {L"gc1.example.test"}},
      // A server the path parser refuses is refused here too, not kept for
      // the backend to try while discovery ignores it.
      {"GlobalCatalogServers = \"127.0.0..:3268, gc1.example.test, user@gc2.example.test\"",
       "GlobalCatalogServers (line 2) holds the malformed server '127.0.0..:3268'", {L"gc1.example.test"}},
      {"DomainController = \"dc1..example.test\"", "DomainController (line 2) is not host[:port]", {}},
  };
  for (const auto& [line, warning, servers] : cases) {
    ScopedSettings settings(kTable + line + "\n");
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kWarning);
    const DirectoryConfig config = DirectoryConfig::Load();
    DirectoryConfig expected;
    expected.global_catalog_servers = servers;
    EXPECT_EQ(fields(config), fields(expected)) << line;
    EXPECT_TRUE(capture.ContainsSubstring(DBG::kLevelWarning, warning)) << line;
  }
}

TEST(DirectoryConfigTest, BindSettingsThatWouldWeakenTheBindAreOneErrorNamingTheKey) {
  {
    ScopedSettings settings(std::string(kTable) +
                            "BindMethod = \"GSSAPI\"\nKeytabFile = \" /etc/svc.keytab \"\n"
                            "Principal = \"svc@EXAMPLE.TEST\"\nMinimumSsf = 56\n");
    const DirectoryConfig config = DirectoryConfig::Load();
    EXPECT_EQ(config.bind_method, DirectoryConfig::BindMethod::kGssapi);
    EXPECT_EQ(config.keytab_file, "/etc/svc.keytab");
    EXPECT_EQ(config.principal, "svc@EXAMPLE.TEST");
    EXPECT_EQ(config.minimum_ssf, 56);
    EXPECT_EQ(config.bind_problem, L"");
  }
  // Instead of a warning and a default (which would bind more weakly than
  // asked), one problem that every bind reports.
  const std::string kerberos = "BindMethod = \"gssapi\"\nKeytabFile = \"/k\"\n";
  const std::pair<std::string, std::string> refused[] = {
      {"BindMethod = \"kerberos\"", "BindMethod (line 2) is not one of simple, gssapi"},
      {"BindMethod = 7", "BindMethod (line 2) is not one of simple, gssapi"},
      {"BindMethod = \"gssapi\"", "KeytabFile is needed with BindMethod = \"gssapi\""},
      {kerberos + "MinimumSsf = 0", "MinimumSsf (line 4) must be an integer from 1 (signing) to 256"},
      {kerberos + "MinimumSsf = 257", "MinimumSsf (line 4) must be an integer from 1"},
      {kerberos + "MinimumSsf = \"sealed\"", "MinimumSsf (line 4) must be an integer from 1"},
  };
  for (const auto& [lines, problem] : refused) {
    ScopedSettings settings(kTable + lines + "\n");
    const DirectoryConfig config = DirectoryConfig::Load();
    EXPECT_NE(Narrow(config.bind_problem).find("[DirectoryAccess.DEFAULT] " + problem), std::string::npos)
        << lines << ": " << Narrow(config.bind_problem);
    std::wstring reported;
    EXPECT_FALSE(CheckBindSettings(config, nullptr, &reported)) << lines;
    EXPECT_EQ(reported, config.bind_problem);
  }
  // A simple bind does not look at the Kerberos keys.
  ScopedSettings settings(std::string(kTable) + "KeytabFile = \"/nonexistent\"\nMinimumSsf = 0\n");
  std::wstring problem;
  std::string principal = "unchanged";
  EXPECT_TRUE(CheckBindSettings(DirectoryConfig::Load(), &principal, &problem)) << Narrow(problem);
  EXPECT_EQ(principal, "");
}

TEST(DirectoryConfigTest, CheckBindSettingsFindsThePrincipalInTheKeytabOrNamesTheKeyAtFault) {
  const userpolicy::testing::ScopedTemporaryFolder folder;
  const std::filesystem::path& dir = folder.path();
  const std::string keytab = (dir / "svc.keytab").string();
  userpolicy::testing::WriteKeytab(keytab, {"svc@EXAMPLE.TEST", "other@EXAMPLE.TEST"});
  const std::string garbage = (dir / "garbage.keytab").string();
  std::ofstream(garbage) << "not a keytab\n";
  const std::string empty = (dir / "empty.keytab").string();
  std::ofstream(empty, std::ios::binary) << "\x05\x02";  // the format's version alone
  const std::string missing = (dir / "missing.keytab").string();
  const std::string krb5_conf = (dir / "krb5.conf").string();
  std::ofstream(krb5_conf) << "[libdefaults]\n default_realm = EXAMPLE.TEST\n";
  userpolicy::testing::ScopedEnvironment environment({{"KRB5_CONFIG", krb5_conf}});

  // Keytab, principal, and the principal found or the problem's beginning.
  const std::tuple<std::string, std::string, bool, std::string> cases[] = {
      {keytab, "", true, "svc@EXAMPLE.TEST"},
      {keytab, "other@EXAMPLE.TEST", true, "other@EXAMPLE.TEST"},
      {keytab, "other", true, "other@EXAMPLE.TEST"},  // in the default realm
      {keytab, "nobody@EXAMPLE.TEST", false,
       "[DirectoryAccess.DEFAULT] Principal: the keytab " + keytab + " holds no keys of nobody@EXAMPLE.TEST"},
      {missing, "", false,
       "[DirectoryAccess.DEFAULT] KeytabFile: cannot open the keytab " + missing + ": No such file or directory"},
      {missing, "svc@EXAMPLE.TEST", false, "[DirectoryAccess.DEFAULT] KeytabFile: cannot open the keytab"},
      {garbage, "svc@EXAMPLE.TEST", false, "[DirectoryAccess.DEFAULT] KeytabFile: " + garbage + " is not a keytab"},
      {empty, "", false, "[DirectoryAccess.DEFAULT] KeytabFile: the keytab " + empty + " holds no keys"},
  };
  for (const auto& [file, wanted, usable, expected] : cases) {
    DirectoryConfig config;
    config.bind_method = DirectoryConfig::BindMethod::kGssapi;
    config.keytab_file = file;
    config.principal = wanted;
    std::string principal;
    std::wstring problem;
    EXPECT_EQ(CheckBindSettings(config, &principal, &problem), usable) << file << " " << wanted;
    if (usable) {
      EXPECT_EQ(principal, expected);
    } else {
      EXPECT_EQ(Narrow(problem).rfind(expected, 0), 0u) << Narrow(problem);
    }
  }
}

TEST(DirectoryConfigTest, UnusableBindSettingsFailDiscoveryOnceAndEveryReadWithoutConnecting) {
  ScopedSettings settings(std::string(kTable) + "GlobalCatalogServers = \"" + Server().host_port() +
                          "\"\nBindMethod = \"gssapi\"\nKeytabFile = \"/nonexistent/svc.keytab\"\n");
  ldap::testing::ScopedOperations hooks(Hooked());
  DBG::testing::ScopedLogCapture capture(DBG::Severity::kWarning);
  LdapBackend backend;
  std::wstring path;
  EXPECT_EQ(backend.GetRootGCPath(&path), E_FAIL);
  EXPECT_EQ(backend.GetGCFromRootDSE(&path), E_FAIL);
  EXPECT_EQ(capture.Count(DBG::kLevelFailure), 1u);
  EXPECT_TRUE(capture.ContainsSubstring(DBG::kLevelFailure, "KeytabFile: cannot open the keytab /nonexistent/svc.keytab"));
  const CDirectoryException error = DirectoryFailure([&] { ReadAlice(backend); });
  EXPECT_EQ(error.GetErrorCode(), kDirectoryConfigError);
  EXPECT_NE(Narrow(error.GetErrorMsg().str()).find("KeytabFile"), std::string::npos);
  EXPECT_EQ(g_hooks.connects, 0);
}

// Faults -------------------------------------------------------------------------

// Brings the server back however a case ends.
struct ScopedRevive {
  ~ScopedRevive() {
    if (Server().running() && Server().paused()) Server().Resume();
    if (!Server().running()) Server().Restart();
  }
};

// A stalled server under a pooled or a new plain connection is
// fault_proxy_test's; here a new ldaps connection's TLS handshake stalls.
TEST(LdapFaultsTest, AStalledTlsHandshakeGivesUpWithinTheTimeouts) {
  ScopedRevive revive;
  const std::string tls_server = "127.0.0.1:" + std::to_string(Server().tls_port());
  ScopedSettings settings(Settings(tls_server, std::string(kShortTimeouts) + kNoBackoff + "Tls = \"ldaps\"\nCaFile = \"" +
                                                   Server().ca_file() + "\"\n"));
  LdapBackend tls;
  Server().Pause();
  const Clock::time_point start = Clock::now();
  const CDirectoryException error = DirectoryFailure([&] { ReadAlice(tls); });
  const auto elapsed = Clock::now() - start;
  EXPECT_EQ(error.GetErrorCode(), kDirectoryTimeout) << Narrow(error.GetErrorMsgEx().str());
  EXPECT_EQ(ContextOf(error, L"server"), Wide(tls_server));
  EXPECT_GE(elapsed, std::chrono::milliseconds(kTimeoutMs) * 9 / 10);
  EXPECT_LT(elapsed, std::chrono::milliseconds(2 * kTimeoutMs) + kSlack);
  Server().Resume();
  EXPECT_EQ(ReadAlice(tls)->distinguished_name, kAliceDn);
}

// (That a healed server is asked again once its back-off is over is
// fault_proxy_test's, for every fault class.)
TEST(LdapFaultsTest, FailsOverAndSkipsFailedServersWhileTheyBackOff) {
  ScopedRevive revive;
  // Nothing listens on 127.0.0.2: the server holds 127.0.0.1 only.
  const std::string dead = "127.0.0.2:" + std::to_string(Server().port());
  ScopedSettings settings(Settings(dead + ", " + Server().host_port(),
                                   std::string(kShortTimeouts) + "FailureBackoffMs = 2000\nMaxFailureBackoffMs = 2000\n"));
  LdapBackend backend;
  EXPECT_EQ(ReadAlice(backend)->distinguished_name, kAliceDn);  // failed over, as fault_proxy_test checks
  {
    // The failed server, even named by the path, is skipped while its
    // back-off lasts: no new failure to report.
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kWarning);
    EXPECT_EQ(ReadAlice(backend, Wide(dead))->distinguished_name, kAliceDn);
    EXPECT_EQ(capture.Count(DBG::kLevelWarning), 0u);
  }

  // The pooled connection dies with the server; the fresh one cannot connect.
  Server().Stop();
  const CDirectoryException error = DirectoryFailure([&] { ReadAlice(backend); });
  EXPECT_EQ(error.GetErrorCode(), kDirectoryServerDown) << Narrow(error.GetErrorMsgEx().str());
  EXPECT_EQ(ContextOf(error, L"server"), Wide(Server().host_port()));  // the last one tried
  const std::wstring message = error.GetErrorMsg().str();
  EXPECT_NE(message.find(Wide(Server().host_port())), std::wstring::npos) << Narrow(message);
  EXPECT_NE(message.find(L"skipped " + Wide(dead)), std::wstring::npos) << Narrow(message);

  // Now every server is backing off: calls fail at once, with the same code
  // and the latest failure's server.
  const Clock::time_point start = Clock::now();
  const CDirectoryException fast = DirectoryFailure([&] { ReadAlice(backend); });
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kTimeoutMs / 2));
  EXPECT_EQ(fast.GetErrorCode(), kDirectoryServerDown) << Narrow(fast.GetErrorMsgEx().str());
  EXPECT_EQ(ContextOf(fast, L"server"), Wide(Server().host_port()));
  EXPECT_NE(fast.GetErrorMsg().str().find(L"not tried"), std::wstring::npos) << Narrow(fast.GetErrorMsg().str());
}

TEST(LdapFaultsTest, AnOutageCostsOneTimeoutThenOneProbeAtATime) {
  ScopedRevive revive;
  constexpr std::chrono::milliseconds kBackoff{1500};
  ScopedSettings settings(Settings(Server().host_port(), std::string(kShortTimeouts) +
                                                             "FailureBackoffMs = 1500\nMaxFailureBackoffMs = 1500\n"));
  LdapBackend backend;
  ASSERT_EQ(ReadAlice(backend)->distinguished_name, kAliceDn);
  Server().Pause();

  // The first call waits for the time-out (that the calls after it fail at
  // once while the server backs off is fault_proxy_test's).
  EXPECT_EQ(DirectoryFailure([&] { ReadAlice(backend); }).GetErrorCode(), kDirectoryTimeout);

  // When the back-off is over, one caller at a time probes the server: of
  // four at once, one waits for the time-out and the others fail at once.
  std::this_thread::sleep_for(kBackoff + std::chrono::milliseconds(100));
  std::vector<std::chrono::steady_clock::duration> took(4);
  std::vector<std::thread> callers;
  for (auto& elapsed : took) {
    callers.emplace_back([&backend, &elapsed] {
      const Clock::time_point begin = Clock::now();
      DirectoryFailure([&] { ReadAlice(backend); });
      elapsed = Clock::now() - begin;
    });
  }
  for (std::thread& caller : callers) caller.join();
  const auto waited = std::count_if(took.begin(), took.end(), [](auto elapsed) {
    return elapsed >= std::chrono::milliseconds(kTimeoutMs) * 9 / 10;
  });
  EXPECT_EQ(waited, 1);
  // (That the back-off stays at its maximum and a healed server answers
  // again is fault_proxy_test's WhenEveryServerIsDownACallProbesOneAtMost.)
}

TEST(LdapFaultsTest, RetriesOnceOnAFreshConnectionWhenAPooledOneDied) {
  ldap::testing::ScopedOperations hooks(Hooked());
  ScopedSettings settings(Settings(Server().host_port()));
  LdapBackend backend;
  ASSERT_EQ(ReadAlice(backend)->distinguished_name, kAliceDn);
  ASSERT_EQ(g_hooks.connects.load(), 1);

  // That a single failure on the pooled connection is retried on a new one
  // is fault_proxy_test's. Two in a row: the fresh connection fails too, and
  // there is no third try.
  g_hooks.drop_count = 2;
  g_hooks.drop_from = g_hooks.searches + 1;
  const CDirectoryException error = DirectoryFailure([&] { ReadAlice(backend); });
  EXPECT_EQ(error.GetErrorCode(), kDirectoryServerDown);
  EXPECT_EQ(ContextOf(error, L"diagnostic"), L"dropped by the test");
  EXPECT_EQ(g_hooks.connects.load(), 2);
  EXPECT_EQ(g_hooks.searches.load(), g_hooks.drop_from.load() + 1);
}

// A server that fails one step of every call with a chosen status, made
// entirely through the operation table: nothing listens on its address.
struct FailingServer {
  std::string host_port;  // the address the settings name first
  std::string step;       // "connect", "bind" or "search"
  ldap::Status status;
} g_failing;
char g_failing_session_tag;
ldap::NativeSession* FailingSession() { return reinterpret_cast<ldap::NativeSession*>(&g_failing_session_tag); }

ldap::Status FailingConnect(const ldap::ConnectOptions& options, ldap::NativeSession** session) {
  if (options.uri != "ldap://" + g_failing.host_port) return ldap::testing::DefaultOperations().connect(options, session);
  if (g_failing.step == "connect") return g_failing.status;
  *session = FailingSession();
  return ldap::Status{};
}
ldap::Status FailingBind(ldap::NativeSession* session, const std::string& dn, const std::string& password,
                         std::chrono::milliseconds timeout) {
  if (session != FailingSession()) return ldap::testing::DefaultOperations().bind(session, dn, password, timeout);
  return g_failing.step == "bind" ? g_failing.status : ldap::Status{};
}
ldap::Status FailingSearch(ldap::NativeSession* session, const ldap::SearchRequest& request, int* id) {
  if (session != FailingSession()) return ldap::testing::DefaultOperations().search(session, request, id);
  return g_failing.status;
}
bool FailingIsAlive(ldap::NativeSession* session) {
  return session == FailingSession() || ldap::testing::DefaultOperations().is_alive(session);
}
void FailingClose(ldap::NativeSession* session) {
  if (session != FailingSession()) ldap::testing::DefaultOperations().close(session);
}
void FailingAbandon(ldap::NativeSession* session, int id) {
  if (session != FailingSession()) ldap::testing::DefaultOperations().abandon(session, id);
}

TEST(LdapFaultsTest, MovesToTheNextServerOnlyWhenTheServerIsToBlame) {
  ldap::Operations operations = ldap::testing::DefaultOperations();
  operations.connect = &FailingConnect;
  operations.bind = &FailingBind;
  operations.search = &FailingSearch;
  operations.is_alive = &FailingIsAlive;
  operations.close = &FailingClose;
  operations.abandon = &FailingAbandon;
  ldap::testing::ScopedOperations install(operations);
  g_failing.host_port = "127.0.0.3:" + std::to_string(Server().port());
  ScopedSettings settings(Settings(g_failing.host_port + ", " + Server().host_port()));

  struct Case {
    const char* step;
    int code;
    bool tls;
    bool next_server;  // the call moves on and the second server answers
  };
  const Case cases[] = {
      {"connect", ldap::kServerDown, false, true},
      {"connect", ldap::kConnectError, false, true},
      {"connect", ldap::kLocalError, true, true},  // TLS could not be set up
      {"connect", ldap::kParamError, false, false},
      {"bind", ldap::kTimeout, false, true},
      {"bind", ldap::kBusy, false, true},
      {"bind", ldap::kProtocolError, false, true},
      {"bind", ldap::kUnwillingToPerform, false, false},
      {"bind", ldap::kInvalidCredentials, false, false},
      {"search", ldap::kServerDown, false, true},
      {"search", ldap::kTimeout, false, true},
      {"search", ldap::kDecodingError, false, true},
      {"search", ldap::kBusy, false, true},
      {"search", ldap::kUnavailable, false, true},
      {"search", ldap::kUnwillingToPerform, false, true},
      {"search", ldap::kProtocolError, false, false},
      {"search", ldap::kFilterError, false, false},
      {"search", ldap::kNoSuchObject, false, false},
      {"search", ldap::kSizeLimitExceeded, false, false},
      {"search", ldap::kAdminLimitExceeded, false, false},
      {"search", ldap::kOther, false, false},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(std::string(test.step) + " " + ldap::ResultText(test.code) + (test.tls ? " (TLS)" : ""));
    g_failing.step = test.step;
    g_failing.status = ldap::Status{test.code, ldap::ResultText(test.code), "made by the test", test.tls};
    LdapBackend backend;  // no server marked as failed by an earlier case
    if (test.next_server) {
      EXPECT_EQ(ReadAlice(backend)->distinguished_name, kAliceDn);
    } else {
      const CDirectoryException error = DirectoryFailure([&] { ReadAlice(backend); });
      EXPECT_EQ(ContextOf(error, L"server"), Wide(g_failing.host_port)) << Narrow(error.GetErrorMsgEx().str());
    }
  }
}

TEST(LdapFaultsTest, CredentialProblemsNeverShowThePassword) {
  const std::string secret = "Wr0ng-S3cret-q7Zx";
  const std::string password_file =
      (std::filesystem::temp_directory_path() / ("ldap_backend_test_" + std::to_string(getpid()) + "_password"))
          .string();
  std::ofstream(password_file) << secret << "\n";
  const std::string account = std::string(kTable) + "GlobalCatalogServers = \"" + Server().host_port() +
                              "\"\nBindDN = \"" + Server().service_dn() + "\"\n";
  {
    ScopedSettings settings(account + "PasswordFile = \"" + password_file + "\"\n");
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
    LdapBackend backend;
    const CDirectoryException error = DirectoryFailure([&] { ReadAlice(backend); });
    std::remove(password_file.c_str());
    EXPECT_EQ(error.GetErrorCode(), kDirectoryAuthFailed);
    const std::string text = Narrow(error.GetErrorMsgEx().str());
    EXPECT_NE(text.find(Server().host_port()), std::string::npos) << text;
    EXPECT_NE(text.find(Server().service_dn()), std::string::npos) << text;
    EXPECT_NE(text.find("ldap=49 "), std::string::npos) << text;
    EXPECT_EQ(text.find(secret), std::string::npos) << text;
    ASSERT_GT(capture.records().size(), 0u);
    for (const DBG::LogRecord& record : capture.records()) {
      EXPECT_EQ(record.message.find(secret), std::string::npos) << record.message;
    }
  }
  // A password that cannot be read is a configuration error naming the file.
  const std::pair<std::string, std::string> unusable[] = {
      {"PasswordFile = \"/nonexistent/bind-password\"\n", "/nonexistent/bind-password"}, {"", "PasswordFile"}};
  for (const auto& [extra, in_message] : unusable) {
    ScopedSettings settings(account + extra);
    LdapBackend backend;
    const CDirectoryException error = DirectoryFailure([&] { ReadAlice(backend); });
    EXPECT_EQ(error.GetErrorCode(), kDirectoryConfigError);
    EXPECT_NE(Narrow(error.GetErrorMsg().str()).find(in_message), std::string::npos)
        << Narrow(error.GetErrorMsg().str());
  }
}

TEST(LdapFaultsTest, TlsTrustsOnlyTheConfiguredCa) {
  const SlapdServer& server = Server();
  const std::tuple<const char*, int, std::string, bool, int> cases[] = {
      // Mode, port, CA file, verification, the error (0: the read succeeds).
      {"ldaps", server.tls_port(), server.other_ca_file(), true, kDirectoryTlsFailed},
      {"ldaps", server.tls_port(), server.ca_file(), true, 0},
      {"starttls", server.port(), server.other_ca_file(), true, kDirectoryTlsFailed},
      {"starttls", server.port(), server.ca_file(), true, 0},
      {"ldaps", server.tls_port(), server.other_ca_file(), false, 0},
  };
  for (const auto& [mode, port, ca_file, verify, expected] : cases) {
    SCOPED_TRACE(std::string(mode) + " " + ca_file + (verify ? "" : " unverified"));
    ScopedSettings settings(Settings("127.0.0.1:" + std::to_string(port),
                                     std::string("Tls = \"") + mode + "\"\nCaFile = \"" + ca_file + "\"\n" +
                                         "VerifyCertificate = " + (verify ? "true" : "false") + "\n"));
    LdapBackend backend;
    if (expected == 0) {
      EXPECT_EQ(ReadAlice(backend)->distinguished_name, kAliceDn);
      continue;
    }
    const CDirectoryException error = DirectoryFailure([&] { ReadAlice(backend); });
    EXPECT_EQ(error.GetErrorCode(), expected) << Narrow(error.GetErrorMsgEx().str());
    EXPECT_EQ(ContextOf(error, L"server"), L"127.0.0.1:" + std::to_wstring(port));
  }
}

}  // namespace
}  // namespace directory
