// The LDAP backend against a real slapd holding testdata/sample.ldif: reads
// and searches, value typing, paths, attribute selection, ranged retrieval
// (through the operation table, since slapd does not answer in ranges),
// schema caching, discovery and the configuration reader.
#include "platform/directory/ldap_backend.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/crt.h"
#include "platform/directory.h"
#include "platform/directory/directory_config.h"
#include "platform/directory/directory_error.h"
#include "platform/directory/directory_path.h"
#include "platform/ldap_api_testing.h"
#include "platform/log_testing.h"
#include "platform/settings.h"
#include "tests/support/scoped_settings_file.h"
#include "tests/support/slapd_server.h"

namespace directory {
namespace {

namespace ldap = platform::ldap;
using userpolicy::testing::SlapdServer;

constexpr wchar_t kAliceDn[] = L"cn=Alice Anderson,ou=People,dc=example,dc=test";
constexpr char kAliceGuidHex[] = "01010000000000000000000000000000";
constexpr char kAliceSidHex[] = "010500000000000515000000dcf4dc3b833d2b46828ba6284d040000";
constexpr char kSubschemaDn[] = "cn=Subschema";

// One server for every case of this program.
SlapdServer& Server() {
  static const std::unique_ptr<SlapdServer> server = SlapdServer::Start();
  return *server;
}

std::wstring Wide(std::string_view text) { return platform::Utf8ToWide(text); }
std::string Narrow(std::wstring_view text) { return platform::WideToUtf8(text); }

using ScopedSettings = userpolicy::testing::ScopedDirectorySettings;

std::string BasicSettings(const std::string& extra = "") {
  const SlapdServer& server = Server();
  return "GlobalCatalogServers = \"" + server.host_port() + "\"\n" + "BindDN = \"" + server.service_dn() + "\"\n" +
         "PasswordFile = \"" + server.service_password_file() + "\"\n" + "OperationTimeoutMs = 10000\n" + extra;
}

std::wstring Gc(std::wstring_view object = L"") {
  std::wstring path = L"GC://" + Wide(Server().host_port());
  if (!object.empty()) path += L"/" + std::wstring(object);
  return path;
}

std::string Hex(const _variant_t& value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  const auto* bytes = static_cast<const unsigned char*>(value.parray->pvData);
  for (ULONG i = 0; i < value.parray->rgsabound[0].cElements; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 0x0f];
  }
  return hex;
}

// "I4:513", "I8:...", "BOOL:TRUE", "BSTR:text", "BYTES:hex".
std::string Describe(const _variant_t& value) {
  switch (value.vt) {
    case VT_I4:
      return "I4:" + std::to_string(value.lVal);
    case VT_I8:
      return "I8:" + std::to_string(value.llVal);
    case VT_BOOL:
      return value.boolVal == VARIANT_TRUE ? "BOOL:TRUE" : "BOOL:FALSE";
    case VT_BSTR:
      return "BSTR:" + Narrow(std::wstring(value.bstrVal, SysStringLen(value.bstrVal)));
    case VT_ARRAY | VT_UI1:
      return "BYTES:" + Hex(value);
    default:
      return "VT:" + std::to_string(value.vt);
  }
}

std::vector<std::string> Values(const DirectoryAttribute& attribute) {
  std::vector<std::string> values;
  for (const _variant_t& value : attribute.values) values.push_back(Describe(value));
  return values;
}

std::vector<std::wstring> Names(const DirectoryObject& object) {
  std::vector<std::wstring> names;
  for (const DirectoryAttribute& attribute : object.attributes) names.push_back(attribute.name);
  return names;
}

const DirectoryAttribute* Find(const DirectoryObject& object, std::wstring_view name) {
  for (const DirectoryAttribute& attribute : object.attributes) {
    if (attribute.name == name) return &attribute;
  }
  return nullptr;
}

// Operation table wrappers that record what was asked and may answer for
// made-up entries. State is global because the table holds plain functions.
struct Recorder {
  std::mutex mu;
  std::vector<ldap::SearchRequest> requests;
  std::atomic<int> connects{0};
  // Made-up answers by base DN; a fake that returns nothing lets the
  // request through to the server.
  std::map<std::string, std::function<std::optional<std::vector<ldap::Entry>>(const ldap::SearchRequest&)>> fakes;
  std::map<int, std::vector<ldap::Entry>> pending;  // fake message id -> entries not yet returned
  int next_fake_id = -1000;

  void Reset() {
    std::lock_guard<std::mutex> lock(mu);
    requests.clear();
    fakes.clear();
    pending.clear();
    connects = 0;
  }
  int Count(const std::function<bool(const ldap::SearchRequest&)>& predicate) {
    std::lock_guard<std::mutex> lock(mu);
    int count = 0;
    for (const ldap::SearchRequest& request : requests) count += predicate(request) ? 1 : 0;
    return count;
  }
};
Recorder g_recorder;

ldap::Status RecordingConnect(const ldap::ConnectOptions& options, ldap::NativeSession** session) {
  ++g_recorder.connects;
  return ldap::testing::DefaultOperations().connect(options, session);
}

ldap::Status RecordingSearch(ldap::NativeSession* session, const ldap::SearchRequest& request, int* id) {
  {
    std::lock_guard<std::mutex> lock(g_recorder.mu);
    g_recorder.requests.push_back(request);
    const auto fake = g_recorder.fakes.find(request.base);
    if (fake != g_recorder.fakes.end()) {
      if (std::optional<std::vector<ldap::Entry>> entries = fake->second(request)) {
        *id = g_recorder.next_fake_id--;
        g_recorder.pending[*id] = std::move(*entries);
        return ldap::Status{};
      }
    }
  }
  return ldap::testing::DefaultOperations().search(session, request, id);
}

ldap::Status RecordingNextResult(ldap::NativeSession* session, int id, std::chrono::milliseconds timeout,
                                 ldap::SearchItem* item) {
  {
    std::lock_guard<std::mutex> lock(g_recorder.mu);
    const auto pending = g_recorder.pending.find(id);
    if (pending != g_recorder.pending.end()) {
      if (pending->second.empty()) {
        item->kind = ldap::SearchItem::Kind::kDone;
        g_recorder.pending.erase(pending);
      } else {
        item->kind = ldap::SearchItem::Kind::kEntry;
        item->entry = std::move(pending->second.front());
        pending->second.erase(pending->second.begin());
      }
      return ldap::Status{};
    }
  }
  return ldap::testing::DefaultOperations().next_result(session, id, timeout, item);
}

ldap::Operations RecordingOperations() {
  ldap::Operations operations = ldap::testing::DefaultOperations();
  operations.connect = &RecordingConnect;
  operations.search = &RecordingSearch;
  operations.next_result = &RecordingNextResult;
  return operations;
}

bool HasAttribute(const ldap::SearchRequest& request, std::string_view name) {
  for (const std::string& attribute : request.attributes) {
    if (attribute == name) return true;
  }
  return false;
}

class LdapBackendTest : public ::testing::Test {
 protected:
  LdapBackendTest() : settings_(BasicSettings()), backend_(std::make_unique<LdapBackend>()) {}

  std::shared_ptr<const DirectoryObject> Read(std::wstring_view object, const std::vector<std::wstring>& attributes) {
    return backend_->ReadObject(DirectoryPath::Parse(Gc(object)), attributes);
  }

  std::shared_ptr<const DirectoryObject> Search(std::wstring_view root, const std::wstring& filter,
                                                const std::vector<std::wstring>& attributes, int scope) {
    return backend_->SearchOne(DirectoryPath::Parse(root), filter, attributes, scope);
  }

  ScopedSettings settings_;
  std::unique_ptr<LdapBackend> backend_;
};

// Reading ----------------------------------------------------------------------

TEST_F(LdapBackendTest, ReadsTheUserAttributesTypedAndInServerOrder) {
  const std::vector<std::wstring> asked = {L"objectGUID",     L"name",      L"distinguishedName", L"memberOf",
                                           L"PrimaryGroupID", L"objectSid", L"proxyAddresses",    L"MAIL"};
  const auto object = Read(kAliceDn, asked);
  EXPECT_EQ(object->distinguished_name, kAliceDn);
  // The server's order (slapd: as stored, operational memberOf last), names
  // as asked; cn, sn and givenName (subtypes of name) are dropped and
  // distinguishedName, which slapd does not store, comes last.
  EXPECT_EQ(Names(*object), (std::vector<std::wstring>{L"name", L"objectGUID", L"objectSid", L"PrimaryGroupID", L"MAIL",
                                                       L"proxyAddresses", L"memberOf", L"distinguishedName"}));
  EXPECT_EQ(Values(*Find(*object, L"objectGUID")), (std::vector<std::string>{std::string("BYTES:") + kAliceGuidHex}));
  EXPECT_EQ(Values(*Find(*object, L"objectSid")), (std::vector<std::string>{std::string("BYTES:") + kAliceSidHex}));
  EXPECT_EQ(Values(*Find(*object, L"PrimaryGroupID")), (std::vector<std::string>{"I4:513"}));
  EXPECT_EQ(Values(*Find(*object, L"name")), (std::vector<std::string>{"BSTR:Alice Anderson"}));
  EXPECT_EQ(Values(*Find(*object, L"MAIL")), (std::vector<std::string>{"BSTR:alice@example.test"}));
  EXPECT_EQ(Values(*Find(*object, L"memberOf")),
            (std::vector<std::string>{"BSTR:cn=Engineering Backend,ou=Groups,dc=example,dc=test"}));
  EXPECT_EQ(Values(*Find(*object, L"proxyAddresses")),
            (std::vector<std::string>{"BSTR:SMTP:alice@example.test", "BSTR:smtp:alice.anderson@example.test",
                                      "BSTR:smtp:aa@example.test", "BSTR:SIP:alice@example.test",
                                      "BSTR:X500:/o=Example/ou=First Administrative Group/cn=Recipients/cn=alice"}));
  EXPECT_EQ(Values(*Find(*object, L"distinguishedName")), (std::vector<std::string>{"BSTR:" + Narrow(kAliceDn)}));
}

TEST_F(LdapBackendTest, TypesValuesFromTheServerSchema) {
  struct Case {
    const wchar_t* dn;
    const wchar_t* attribute;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {L"cn=Bob Brown,ou=People,dc=example,dc=test", L"primaryGroupID", {"I4:1105"}},
      {L"cn=Domain Users,ou=Groups,dc=example,dc=test", L"groupType", {"I4:-2147483646"}},
      {L"cn=Partners,ou=Groups,dc=example,dc=test", L"groupType", {"I4:8"}},
      {L"cn=Partners,ou=Groups,dc=example,dc=test", L"objectGUID", {"BYTES:23030000000000000000000000000000"}},
      {L"ou=People,dc=example,dc=test", L"hasSubordinates", {"BOOL:TRUE"}},
      {L"cn=Judy Jones,ou=People,dc=example,dc=test", L"hasSubordinates", {"BOOL:FALSE"}},
      {L"cn=Bob Brown,ou=People,dc=example,dc=test",
       L"objectSid",
       {"BYTES:010500000000000515000000dcf4dc3b833d2b46828ba6284e040000"}},
      {L"cn=Équipe Zürich,ou=Groups,dc=example,dc=test", L"name", {"BSTR:Équipe Zürich"}},
      {L"cn=Frank Fischer,ou=People,dc=example,dc=test",
       L"memberOf",
       {"BSTR:cn=Sales/Marketing (EMEA),ou=Groups,dc=example,dc=test",
        "BSTR:cn=Smith\\2C Jones and Partners,ou=Groups,dc=example,dc=test"}},
      {L"cn=Frank Fischer,ou=People,dc=example,dc=test",
       L"proxyAddresses",
       {"BSTR:SMTP:", "BSTR:smtp:frank@example.test", "BSTR:x400:c=DE;a= ;p=Example;o=Test;s=Fischer;g=Frank;"}},
      {L"cn=Grace Lee\\2fContractor,ou=People,dc=example,dc=test",
       L"memberOf",
       {"BSTR:cn=Équipe Zürich,ou=Groups,dc=example,dc=test", "BSTR:cn=Partners,ou=Groups,dc=example,dc=test"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.dn) + " " + Narrow(c.attribute));
    const auto object = Read(c.dn, {c.attribute});
    ASSERT_EQ(object->attributes.size(), 1u);
    EXPECT_EQ(object->attributes[0].name, c.attribute);
    EXPECT_EQ(Values(object->attributes[0]), c.expected);
  }
}

TEST_F(LdapBackendTest, LeavesOutAbsentAttributesAndKeepsTheDefaultSetWithoutAList) {
  // Erin has neither mail nor proxyAddresses; the last name is in no schema.
  const auto erin =
      Read(L"cn=Erin Evans,ou=People,dc=example,dc=test", {L"mail", L"proxyAddresses", L"name", L"noSuchAttribute"});
  EXPECT_EQ(Names(*erin), (std::vector<std::wstring>{L"name"}));

  // No list: the server's default set under the server's names, without
  // operational attributes such as memberOf.
  const auto all = Read(kAliceDn, {});
  for (const wchar_t* expected : {L"cn", L"sn", L"givenName", L"objectGUID", L"objectSid", L"objectClass"}) {
    EXPECT_NE(Find(*all, expected), nullptr) << Narrow(expected);
  }
  EXPECT_EQ(Find(*all, L"memberOf"), nullptr);
  EXPECT_EQ(Values(*Find(*all, L"objectGUID")), (std::vector<std::string>{std::string("BYTES:") + kAliceGuidHex}));
}

TEST_F(LdapBackendTest, DropsSubtypesAndMatchesAliasesAndSynthesizesTheDistinguishedName) {
  // slapd answers distinguishedName with the group's member values (its
  // subtype) and stores no distinguishedName itself.
  const auto group = Read(L"cn=Engineering,ou=Groups,dc=example,dc=test",
                          {L"objectGUID", L"distinguishedName", L"memberOf", L"groupType"});
  EXPECT_EQ(Names(*group), (std::vector<std::wstring>{L"groupType", L"objectGUID", L"memberOf", L"distinguishedName"}));
  EXPECT_EQ(Values(*Find(*group, L"distinguishedName")),
            (std::vector<std::string>{"BSTR:cn=Engineering,ou=Groups,dc=example,dc=test"}));
  EXPECT_EQ(Values(*Find(*group, L"memberOf")),
            (std::vector<std::string>{"BSTR:cn=Research and Development,ou=Groups,dc=example,dc=test"}));

  // commonName is another name of cn: the server answers "cn", the result
  // carries the name the caller used.
  const auto alias = Read(kAliceDn, {L"commonName"});
  EXPECT_EQ(Names(*alias), (std::vector<std::wstring>{L"commonName"}));
  EXPECT_EQ(Values(alias->attributes[0]), (std::vector<std::string>{"BSTR:Alice Anderson"}));
}

TEST_F(LdapBackendTest, PassesDnPathsAsWrittenAndReturnsTheServersName) {
  struct Case {
    const wchar_t* path_dn;
    const wchar_t* expected_dn;
  };
  const Case cases[] = {
      {L"cn=Grace Lee\\2fContractor,ou=People,dc=example,dc=test",
       L"cn=Grace Lee/Contractor,ou=People,dc=example,dc=test"},
      {L"cn=Grace Lee\\2FContractor,ou=People,dc=example,dc=test",
       L"cn=Grace Lee/Contractor,ou=People,dc=example,dc=test"},
      // The server answers with its own spelling of the escaped comma.
      {L"cn=Smith\\, Jones and Partners,ou=Groups,dc=example,dc=test",
       L"cn=Smith\\2C Jones and Partners,ou=Groups,dc=example,dc=test"},
      {L"cn=Sales\\2fMarketing \\28EMEA\\29,ou=Groups,dc=example,dc=test",
       L"cn=Sales/Marketing (EMEA),ou=Groups,dc=example,dc=test"},
      {L"cn=Équipe Zürich,ou=Groups,dc=example,dc=test", L"cn=Équipe Zürich,ou=Groups,dc=example,dc=test"},
      {L"CN=Alice Anderson,OU=People,DC=example,DC=test", kAliceDn},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.path_dn));
    const auto object = Read(c.path_dn, {L"distinguishedName"});
    EXPECT_EQ(object->distinguished_name, c.expected_dn);
    EXPECT_EQ(Values(*Find(*object, L"distinguishedName")),
              (std::vector<std::string>{"BSTR:" + Narrow(c.expected_dn)}));
  }
}

TEST_F(LdapBackendTest, ReadsGuidPathsBySearchOnSlapdAndRemembersThat) {
  ldap::testing::ScopedOperations install(RecordingOperations());
  g_recorder.Reset();
  const auto alice = Read(L"<GUID=01010000000000000000000000000000>", {L"name"});
  EXPECT_EQ(alice->distinguished_name, kAliceDn);
  // slapd refused the <GUID=...> base (invalid DN syntax) and the backend
  // searched for objectGUID instead.
  EXPECT_EQ(g_recorder.Count([](const ldap::SearchRequest& r) { return r.base.rfind("<GUID=", 0) == 0; }), 1);

  g_recorder.Reset();
  // 29 is ')', special in a filter: it must arrive escaped.
  const auto mirror = Read(L"<GUID=29030000000000000000000000000000>", {L"objectGUID"});
  EXPECT_EQ(mirror->distinguished_name, L"cn=Mirror,ou=Groups,dc=example,dc=test");
  EXPECT_EQ(Values(mirror->attributes[0]), (std::vector<std::string>{"BYTES:29030000000000000000000000000000"}));
  EXPECT_EQ(g_recorder.Count([](const ldap::SearchRequest&) { return true; }), 1);
  EXPECT_EQ(g_recorder.Count([](const ldap::SearchRequest& r) {
    return r.scope == ldap::Scope::kSubtree && r.filter.find("objectGUID=\\29\\03") != std::string::npos;
  }),
            1);
}

TEST_F(LdapBackendTest, ReportsPathsThatNameNothingWithTheirContext) {
  struct Case {
    std::wstring path;
    int code;
    std::wstring ldap;  // start of the "ldap" context item; empty: none expected
  };
  const Case cases[] = {
      {Gc(L"cn=Nobody,ou=People,dc=example,dc=test"), kDirectoryNotFound, L"32 "},
      {Gc(L"cn=Alice Anderson,ou=Nowhere,dc=example,dc=test"), kDirectoryNotFound, L"32 "},
      {Gc(L"<GUID=ffeeddccbbaa99887766554433221100>"), kDirectoryNotFound, L"32 "},
      {Gc(L"unknownType=x,dc=example,dc=test"), kDirectoryInvalidPath, L"34 "},
      {Gc(), kDirectoryInvalidArgument, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.path));
    try {
      backend_->ReadObject(DirectoryPath::Parse(c.path), {L"name"});
      ADD_FAILURE() << "no exception";
    } catch (const CDirectoryException& error) {
      EXPECT_EQ(error.GetErrorCode(), c.code) << Narrow(error.GetErrorMsgEx().str());
      ASSERT_NE(error.FindContext(L"target"), nullptr);
      EXPECT_NE(error.FindContext(L"target")->find(c.path.substr(c.path.find(L'/', 5) + 1)), std::wstring::npos);
      if (c.code != kDirectoryInvalidArgument) {
        ASSERT_NE(error.FindContext(L"server"), nullptr);
        EXPECT_EQ(*error.FindContext(L"server"), Wide(Server().host_port()));
      }
      if (!c.ldap.empty()) {
        ASSERT_NE(error.FindContext(L"ldap"), nullptr);
        EXPECT_EQ(error.FindContext(L"ldap")->rfind(c.ldap, 0), 0u) << Narrow(*error.FindContext(L"ldap"));
      }
    }
  }
}

// Searching --------------------------------------------------------------------

std::wstring UserFilter(const std::wstring& sip) {
  return L"(&(|(&(objectClass=user)(objectCategory=person))(&(objectClass=contact)(objectCategory=person)))"
         L"(msRTCSIP-PrimaryUserAddress=" +
         sip + L"))";
}

TEST_F(LdapBackendTest, SearchesFindTheFirstMatchOrNothing) {
  struct Case {
    std::wstring root;
    std::wstring filter;
    int scope;
    const wchar_t* expected_dn;  // null: nothing matches
  };
  const Case cases[] = {
      {L"GC://", UserFilter(L"sip:alice@example.test"), kDirectoryScopeSubtree, kAliceDn},
      {Gc(), UserFilter(L"sip:heidi.hall@example.test"), kDirectoryScopeSubtree,
       L"cn=Heidi Hall,ou=People,dc=example,dc=test"},
      {Gc(), UserFilter(L"sip:karl@partner.example"), kDirectoryScopeSubtree,
       L"cn=Karl Klein,ou=Contacts,dc=example,dc=test"},
      {Gc(), UserFilter(L"sip:ws-0001@example.test"), kDirectoryScopeSubtree, nullptr},  // a computer, not a person
      {Gc(), UserFilter(L"sip:nobody@example.test"), kDirectoryScopeSubtree, nullptr},
      {Gc(L"ou=Groups,dc=example,dc=test"), L"(cn=Web Team)", kDirectoryScopeOneLevel,
       L"cn=Web Team,ou=Groups,dc=example,dc=test"},
      {Gc(L"ou=Groups,dc=example,dc=test"), L"(cn=Web Team)", kDirectoryScopeBase, nullptr},
      {Gc(L"<GUID=10030000000000000000000000000000>"), L"(objectClass=group)", kDirectoryScopeBase,
       L"cn=All Staff,ou=Groups,dc=example,dc=test"},
      {Gc(),
       L"(objectSid=\\01\\05\\00\\00\\00\\00\\00\\05\\15\\00\\00\\00\\dc\\f4\\dc\\3b\\83\\3d\\2b\\46\\82\\8b\\a6\\28"
       L"\\51\\04\\00\\00)",
       kDirectoryScopeSubtree, L"cn=Team Leads,ou=Groups,dc=example,dc=test"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.root + L" " + c.filter));
    const auto found = Search(c.root, c.filter, {L"objectGUID", L"mail", L"distinguishedName"}, c.scope);
    if (c.expected_dn == nullptr) {
      EXPECT_EQ(found, nullptr);
      continue;
    }
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->distinguished_name, c.expected_dn);
    EXPECT_EQ(Values(*Find(*found, L"distinguishedName")), (std::vector<std::string>{"BSTR:" + Narrow(c.expected_dn)}));
    EXPECT_EQ(Find(*found, L"objectGUID")->values.at(0).vt, VT_ARRAY | VT_UI1);
  }
}

TEST_F(LdapBackendTest, RefusesBadSearchesWithTheirCodes) {
  struct Case {
    std::wstring root;
    std::wstring filter;
    int scope;
    int code;
  };
  const Case cases[] = {
      {Gc(), L"(objectClass=user", kDirectoryScopeSubtree, kDirectoryInvalidArgument},
      {Gc(), L"(objectClass=user)", 7, kDirectoryInvalidArgument},
      {Gc(L"ou=Nowhere,dc=example,dc=test"), L"(objectClass=*)", kDirectoryScopeSubtree, kDirectoryNotFound},
      {Gc(L"<GUID=ffeeddccbbaa99887766554433221100>"), L"(objectClass=*)", kDirectoryScopeSubtree, kDirectoryNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.root + L" " + c.filter));
    try {
      Search(c.root, c.filter, {L"name"}, c.scope);
      ADD_FAILURE() << "no exception";
    } catch (const CDirectoryException& error) {
      EXPECT_EQ(error.GetErrorCode(), c.code) << Narrow(error.GetErrorMsgEx().str());
    }
  }
}

// Ranged retrieval and content-typed values, answered through the table ----

constexpr char kBigGroupDn[] = "cn=Big Group,ou=Groups,dc=example,dc=test";
constexpr char kStuckGroupDn[] = "cn=Stuck Group,ou=Groups,dc=example,dc=test";

std::string Member(int i) { return "cn=User " + std::to_string(i) + ",ou=People,dc=example,dc=test"; }

ldap::Attribute Members(const std::string& name, int first, int last) {
  ldap::Attribute attribute{name, {}};
  for (int i = first; i <= last; ++i) attribute.values.push_back(Member(i));
  return attribute;
}

std::optional<std::vector<ldap::Entry>> BigGroup(const ldap::SearchRequest& request) {
  ldap::Entry entry{kBigGroupDn, {}};
  if (HasAttribute(request, "member;range=3-*")) {
    entry.attributes.push_back(Members("member;range=3-5", 3, 5));
  } else if (HasAttribute(request, "member;range=6-*")) {
    entry.attributes.push_back(Members("member;range=6-*", 6, 7));
  } else {
    entry.attributes.push_back({"objectGUID", {std::string("\x42\x03\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 16)}});
    entry.attributes.push_back(Members("member;range=0-2", 0, 2));
    entry.attributes.push_back({"x-opaque", {std::string("\x01\x00\xff", 3)}});
    entry.attributes.push_back({"x-note", {"plain text", "Zürich"}});
    entry.attributes.push_back({"primaryGroupID", {"4294967296", "-7", "12x"}});
    entry.attributes.push_back({"cn", {"Big Group"}});
  }
  return std::vector<ldap::Entry>{entry};
}

std::optional<std::vector<ldap::Entry>> StuckGroup(const ldap::SearchRequest&) {
  return std::vector<ldap::Entry>{ldap::Entry{kStuckGroupDn, {Members("member;range=0-2", 0, 2)}}};
}

TEST_F(LdapBackendTest, CompletesRangedAttributesAndTypesUnknownOnesByContent) {
  ldap::testing::ScopedOperations install(RecordingOperations());
  g_recorder.Reset();
  {
    std::lock_guard<std::mutex> lock(g_recorder.mu);
    g_recorder.fakes[kBigGroupDn] = &BigGroup;
  }
  const auto group = Read(Wide(kBigGroupDn), {L"Member", L"objectGUID", L"x-opaque", L"x-note", L"primaryGroupID"});
  EXPECT_EQ(Names(*group),
            (std::vector<std::wstring>{L"objectGUID", L"Member", L"x-opaque", L"x-note", L"primaryGroupID"}));
  std::vector<std::string> expected;
  for (int i = 0; i <= 7; ++i) expected.push_back("BSTR:" + Member(i));
  EXPECT_EQ(Values(*Find(*group, L"Member")), expected);
  EXPECT_EQ(Values(*Find(*group, L"x-opaque")), (std::vector<std::string>{"BYTES:0100ff"}));
  EXPECT_EQ(Values(*Find(*group, L"x-note")), (std::vector<std::string>{"BSTR:plain text", "BSTR:Zürich"}));
  // INTEGER values that do not fit 32 bits widen; one that is no number stays text.
  EXPECT_EQ(Values(*Find(*group, L"primaryGroupID")), (std::vector<std::string>{"I8:4294967296", "I4:-7", "BSTR:12x"}));
  EXPECT_EQ(g_recorder.Count([](const ldap::SearchRequest& r) { return r.base == kBigGroupDn; }), 3);

  {
    std::lock_guard<std::mutex> lock(g_recorder.mu);
    g_recorder.fakes[kStuckGroupDn] = &StuckGroup;
  }
  try {
    Read(Wide(kStuckGroupDn), {L"member"});
    ADD_FAILURE() << "a range that never advances was accepted";
  } catch (const CDirectoryException& error) {
    EXPECT_EQ(error.GetErrorCode(), kDirectoryProtocolError);
  }
}

// Schema, pool and discovery -----------------------------------------------------

TEST_F(LdapBackendTest, ReadsTheSchemaOncePerServerNotPerConnection) {
  ldap::testing::ScopedOperations install(RecordingOperations());
  g_recorder.Reset();
  backend_ = std::make_unique<LdapBackend>();
  constexpr int kThreads = 6;
  constexpr int kReadsPerThread = 10;
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kReadsPerThread; ++i) {
        const auto object = Read(kAliceDn, {L"primaryGroupID"});
        if (Values(object->attributes.at(0)) != std::vector<std::string>{"I4:513"}) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_LE(g_recorder.connects.load(), DirectoryConfig::kDefaultPoolSize);

  // New connection settings close the pool; the schema stays.
  DirectoryConfig config = DirectoryConfig::Load();
  config.pool_size = 2;
  const int connects_before = g_recorder.connects.load();
  backend_->Reconfigure(config);
  EXPECT_EQ(Values(Read(kAliceDn, {L"primaryGroupID"})->attributes.at(0)), (std::vector<std::string>{"I4:513"}));
  EXPECT_EQ(g_recorder.connects.load(), connects_before + 1);
  EXPECT_EQ(g_recorder.Count([](const ldap::SearchRequest& r) { return r.base == kSubschemaDn; }), 1);
}

TEST_F(LdapBackendTest, GetRootGCPathFollowsTheSettingsFileAsItChanges) {
  std::wstring path;
  ASSERT_EQ(backend_->GetRootGCPath(&path), S_OK);
  EXPECT_EQ(path, L"GC://" + Wide(Server().host_port()));
  settings_.Rewrite("GlobalCatalogServers = \"gc9.example.test:3270, gc8.example.test\"\n");
  ASSERT_EQ(backend_->GetRootGCPath(&path), S_OK);
  EXPECT_EQ(path, L"GC://gc9.example.test:3270");
  EXPECT_EQ(backend_->GetRootGCPath(nullptr), E_INVALIDARG);
}

TEST_F(LdapBackendTest, GetGCFromRootDSEUsesDnsHostNameWhenTheCatalogIsReady) {
  // slapd's rootDSE has neither attribute.
  std::wstring path = L"unchanged";
  EXPECT_EQ(backend_->GetGCFromRootDSE(&path), E_FAIL);
  EXPECT_EQ(path, L"unchanged");

  struct Case {
    std::string ready;
    HRESULT result;
  };
  static std::string ready;
  for (const Case& c : {Case{"TRUE", S_OK}, Case{"FALSE", E_FAIL}}) {
    SCOPED_TRACE(c.ready);
    ldap::testing::ScopedOperations install(RecordingOperations());
    g_recorder.Reset();
    ready = c.ready;
    {
      std::lock_guard<std::mutex> lock(g_recorder.mu);
      g_recorder.fakes[""] = [](const ldap::SearchRequest& request) -> std::optional<std::vector<ldap::Entry>> {
        if (!HasAttribute(request, "dnsHostName")) return std::nullopt;
        return std::vector<ldap::Entry>{
            ldap::Entry{"", {{"dnsHostName", {"dc1.example.test"}}, {"isGlobalCatalogReady", {ready}}}}};
      };
    }
    settings_.Rewrite(BasicSettings("DomainController = \"" + Server().host_port() + "\"\n"));
    path = L"unchanged";
    EXPECT_EQ(backend_->GetGCFromRootDSE(&path), c.result);
    // A test server's own port is kept.
    EXPECT_EQ(path, c.result == S_OK ? L"GC://dc1.example.test:" + std::to_wstring(Server().port()) : L"unchanged");
  }
}

// The public classes on the process-wide backend ------------------------------

TEST(ProcessWideBackendTest, PublicClassesReadAndSearchThroughIt) {
  ScopedSettings settings(BasicSettings());
  // Discovery reloads the settings of the process-wide backend.
  wchar_t root[256] = {};
  ASSERT_EQ(CDirectoryHelper::GetRootGCPath(root, 256), S_OK);
  EXPECT_EQ(std::wstring(root), L"GC://" + Wide(Server().host_port()));

  const wchar_t* names[] = {L"objectGUID", L"distinguishedName", L"memberOf", L"groupType"};
  CStringCollection attributes(names, 4);
  CDirectoryEntry group((L"GC://" + std::wstring(L"cn=Web Team,ou=Groups,dc=example,dc=test")).c_str(), &attributes);
  ASSERT_EQ(group.GetPropertyCount(), 4u);
  std::map<std::wstring, size_t> counts;
  for (size_t i = 0; i < group.GetPropertyCount(); ++i) {
    counts[group.GetProperty(i).GetName()] = group.GetProperty(i).GetValueCount();
  }
  EXPECT_EQ(counts, (std::map<std::wstring, size_t>{
                        {L"objectGUID", 1}, {L"distinguishedName", 1}, {L"memberOf", 2}, {L"groupType", 1}}));

  CDirectoryEntry forest(root);
  const wchar_t* user_names[] = {L"mail"};
  CStringCollection user_attributes(user_names, 1);
  CDirectorySearcher searcher(forest, UserFilter(L"sip:dave@example.test").c_str(), &user_attributes,
                              kDirectoryScopeSubtree);
  const CSearchResult result = searcher.FindOne();
  ASSERT_EQ(result.GetPropertyCount(), 1u);
  EXPECT_EQ(Describe(result.GetProperty(0).GetValue(0)), "BSTR:dave@example.test");
  EXPECT_EQ(std::wstring(result.GetDistinguishedName()), L"cn=Dave Davis,ou=People,dc=example,dc=test");
}

// Configuration --------------------------------------------------------------------

TEST(DirectoryConfigTest, ReadsEveryKey) {
  ScopedSettings settings(
      "GlobalCatalogServers = \" gc1.example.test:3268 ,gc2.example.test,, [::1]:3268 \"\n"
      "DomainController = \"dc1.example.test:389\"\n"
      "Forest = \"example.test\"\n"
      "BindDN = \"CN=svc,DC=example,DC=test\"\n"
      "PasswordFile = \"/etc/userpolicy/bind-password\"\n"
      "Tls = \"StartTLS\"\n"
      "CaFile = \"/etc/userpolicy/ca.pem\"\n"
      "VerifyCertificate = false\n"
      "ConnectTimeoutMs = 250\n"
      "OperationTimeoutMs = { type = \"VT_UI4\", value = 1500 }\n"
      "PoolSize = 9\n"
      "SearchBase = \"DC=example,DC=test\"\n");
  DBG::testing::ScopedLogCapture capture(DBG::Severity::kWarning);
  const DirectoryConfig config = DirectoryConfig::Load();
  EXPECT_EQ(config.global_catalog_servers,
            (std::vector<std::wstring>{L"gc1.example.test:3268", L"gc2.example.test", L"[::1]:3268"}));
  EXPECT_EQ(config.domain_controller, L"dc1.example.test:389");
  EXPECT_EQ(config.forest, L"example.test");
  EXPECT_EQ(config.bind_dn, L"CN=svc,DC=example,DC=test");
  EXPECT_EQ(config.password_file, "/etc/userpolicy/bind-password");
  EXPECT_EQ(config.tls, DirectoryConfig::Tls::kStartTls);
  EXPECT_EQ(config.ca_file, "/etc/userpolicy/ca.pem");
  EXPECT_FALSE(config.verify_certificate);
  EXPECT_EQ(config.connect_timeout_ms, 250);
  EXPECT_EQ(config.operation_timeout_ms, 1500);
  EXPECT_EQ(config.pool_size, 9);
  EXPECT_EQ(config.search_base, L"DC=example,DC=test");
  EXPECT_EQ(capture.Count(DBG::kLevelWarning), 0u);
}

TEST(DirectoryConfigTest, WarnsAboutBadValuesWithKeyAndLineAndKeepsDefaults) {
  struct Case {
    std::string line;  // the table's second line
    std::string warning;
    std::function<bool(const DirectoryConfig&)> kept_default;
  };
  const DirectoryConfig defaults;
  const Case cases[] = {
      {"PoolSize = 0", "PoolSize (line 2)", [&](const auto& c) { return c.pool_size == defaults.pool_size; }},
      {"OperationTimeoutMs = -5", "OperationTimeoutMs (line 2)",
       [&](const auto& c) { return c.operation_timeout_ms == defaults.operation_timeout_ms; }},
      {"ConnectTimeoutMs = \"fast\"", "ConnectTimeoutMs (line 2) is not an integer",
       [&](const auto& c) { return c.connect_timeout_ms == defaults.connect_timeout_ms; }},
      {"ConnectTimeoutMs = { type = \"VT_I8\", value = 99999999999 }", "ConnectTimeoutMs (line 2)",
       [&](const auto& c) { return c.connect_timeout_ms == defaults.connect_timeout_ms; }},
      {"Tls = \"ssl\"", "Tls (line 2)", [](const auto& c) { return c.tls == DirectoryConfig::Tls::kNone; }},
      {"VerifyCertificate = 1", "VerifyCertificate (line 2)", [](const auto& c) { return c.verify_certificate; }},
      {"BindDN = 42", "BindDN (line 2) is not a string", [](const auto& c) { return c.bind_dn.empty(); }},
      {"DomainController = \"dc1:notaport\"", "DomainController (line 2)",
       [](const auto& c) { return c.domain_controller.empty(); }},
      {"GlobalCatalogServers = \"gc1.example.test, bad host:x, gc2.example.test:99999\"",
       "GlobalCatalogServers (line 2) holds the malformed server 'bad host:x'",
       [](const auto& c) { return c.global_catalog_servers == std::vector<std::wstring>{L"gc1.example.test"}; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ScopedSettings settings(c.line + "\n");
    DBG::testing::ScopedLogCapture capture(DBG::Severity::kWarning);
    const DirectoryConfig config = DirectoryConfig::Load();
    EXPECT_TRUE(c.kept_default(config));
    EXPECT_TRUE(capture.ContainsSubstring(DBG::kLevelWarning, c.warning));
  }
}

TEST(DirectoryConfigTest, MissingFileGivesTheDefaults) {
  setenv(kSettingsPathVariable, "/nonexistent/userpolicy/settings.toml", 1);
  DBG::testing::ScopedLogCapture capture(DBG::Severity::kWarning);
  const DirectoryConfig config = DirectoryConfig::Load();
  unsetenv(kSettingsPathVariable);
  EXPECT_TRUE(config.global_catalog_servers.empty());
  EXPECT_EQ(config.pool_size, DirectoryConfig::kDefaultPoolSize);
  EXPECT_EQ(config.operation_timeout_ms, DirectoryConfig::kDefaultOperationTimeoutMs);
  EXPECT_TRUE(config.verify_certificate);
  EXPECT_EQ(capture.Count(DBG::kLevelWarning), 0u);
}

}  // namespace
}  // namespace directory
