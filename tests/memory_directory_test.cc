// The in-memory directory through the public classes (CDirectoryEntry,
// CDirectorySearcher): the module's user filter, reads by DN and GUID, argument
// checks and result lifetime; and as much of the filter evaluator it answers
// searches with as the module's filters use. Its test controls (counts,
// blocking, injected failures) are pinned by the manager and resolution tests,
// whose exact read counts, parked reads and failing steps depend on them.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/directory.h"
#include "platform/directory/directory_error.h"
#include "testing/ldap_filter.h"
#include "testing/memory_directory.h"

namespace {

using directory::MemoryDirectory;
using directory::MemoryObject;

constexpr wchar_t kRoot[] = L"GC://127.0.0.1:3268";
constexpr wchar_t kAnnDn[] = L"CN=Ann Lee,CN=Users,DC=example,DC=test";
constexpr wchar_t kPersonCategory[] = L"CN=Person,CN=Schema,CN=Configuration,DC=example,DC=test";
// The bytes of GUID bf967aba-0de6-11d0-a285-00aa003049e2 as objectGUID holds them.
const std::vector<uint8_t> kAnnGuid = {0xba, 0x7a, 0x96, 0xbf, 0xe6, 0x0d, 0xd0, 0x11,
                                       0xa2, 0x85, 0x00, 0xaa, 0x00, 0x30, 0x49, 0xe2};
std::wstring UserFilter(const std::wstring& sip) {
  return L"(&(|(&(objectClass=user)(objectCategory=person))(&(objectClass=contact)(objectCategory=person)))"
         L"(msRTCSIP-PrimaryUserAddress=" + sip + L"))";
}

int ErrorCodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const CDirectoryException& e) {
    return e.GetErrorCode();
  }
  return 0;
}

std::vector<uint8_t> BytesOf(const _variant_t& value) {
  if (value.vt != (VT_ARRAY | VT_UI1)) return {};
  const auto* data = static_cast<const uint8_t*>(value.parray->pvData);
  return std::vector<uint8_t>(data, data + value.parray->rgsabound[0].cElements);
}

std::wstring TextOf(const _variant_t& value) { return value.vt == VT_BSTR ? value.bstrVal : L"<not text>"; }

class MemoryDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_.AddObject(MemoryObject(kAnnDn)
                             .AddStrings(L"objectClass", {L"top", L"person", L"organizationalPerson", L"user"})
                             .AddString(L"objectCategory", kPersonCategory)
                             .AddString(L"msRTCSIP-PrimaryUserAddress", L"sip:ann@example.test")
                             .AddBinary(L"objectGUID", kAnnGuid)
                             .AddInteger(L"primaryGroupID", 513)
                             .AddStrings(L"memberOf", {L"CN=Sales,OU=Groups,DC=example,DC=test",
                                                       L"CN=Staff,OU=Groups,DC=example,DC=test"})
                             .AddString(L"mail", L"Ann.Lee@example.test"));
    directory_.AddObject(MemoryObject(L"CN=Bob,OU=Contacts,DC=example,DC=test")
                             .AddStrings(L"objectClass", {L"top", L"person", L"contact"})
                             .AddString(L"objectCategory", kPersonCategory)
                             .AddString(L"msRTCSIP-PrimaryUserAddress", L"sip:bob@example.test"));
    // A computer is a "user" by class but not a person.
    directory_.AddObject(MemoryObject(L"CN=PC1,CN=Computers,DC=example,DC=test")
                             .AddStrings(L"objectClass", {L"top", L"computer", L"user"})
                             .AddString(L"objectCategory", L"CN=Computer,CN=Schema,CN=Configuration,DC=example,DC=test")
                             .AddString(L"msRTCSIP-PrimaryUserAddress", L"sip:pc1@example.test"));
  }

  CSearchResult Search(const std::wstring& filter, std::vector<const wchar_t*> attributes = {}) {
    CDirectoryEntry entry(kRoot);
    CStringCollection names(attributes.data(), attributes.size());
    CDirectorySearcher searcher(entry, filter.c_str(), attributes.empty() ? nullptr : &names, kDirectoryScopeSubtree);
    return searcher.FindOne();
  }

  MemoryDirectory directory_;
  directory::testing::ScopedBackend backend_{&directory_};
};

TEST_F(MemoryDirectoryTest, TheUserFilterFindsPeopleBySipAddress) {
  CSearchResult ann = Search(UserFilter(L"sip:ann@example.test"), {L"objectguid", L"memberOf"});
  EXPECT_STREQ(ann.GetDistinguishedName(), kAnnDn);
  ASSERT_EQ(ann.GetPropertyCount(), 2u);
  // The object's order, the caller's spelling, every value.
  EXPECT_STREQ(ann.GetProperty(0).GetName(), L"objectguid");
  EXPECT_EQ(BytesOf(ann.GetProperty(0).GetValue(0)), kAnnGuid);
  EXPECT_STREQ(ann.GetProperty(1).GetName(), L"memberOf");
  ASSERT_EQ(ann.GetProperty(1).GetValueCount(), 2u);
  EXPECT_EQ(TextOf(ann.GetProperty(1).GetValue(1)), L"CN=Staff,OU=Groups,DC=example,DC=test");

  // Values compare without regard to case; contacts are people too.
  EXPECT_STREQ(Search(UserFilter(L"SIP:Ann@Example.Test")).GetDistinguishedName(), kAnnDn);
  EXPECT_STREQ(Search(UserFilter(L"sip:bob@example.test")).GetDistinguishedName(),
               L"CN=Bob,OU=Contacts,DC=example,DC=test");
  // A computer and an unknown address match nothing: an empty result.
  for (const wchar_t* sip : {L"sip:pc1@example.test", L"sip:nobody@example.test"}) {
    CSearchResult none = Search(UserFilter(sip), {L"objectGUID"});
    EXPECT_EQ(none.GetPropertyCount(), 0u) << sip;
    EXPECT_STREQ(none.GetDistinguishedName(), L"");
    EXPECT_EQ(ErrorCodeOf([&] { none.GetProperty(0); }), kDirectoryInvalidArgument);
  }

  // Insertion order decides among several matches.
  EXPECT_STREQ(Search(L"(objectClass=*)").GetDistinguishedName(), kAnnDn);
}

TEST_F(MemoryDirectoryTest, ReadsByAnySpellingOfTheDnAndByGuid) {
  const wchar_t* names[] = {L"mail", L"primaryGroupID", L"distinguishedName", L"notThere"};
  CStringCollection attributes(names, 4);
  CDirectoryEntry by_dn(L"GC://127.0.0.1:3268/cn=ann lee, cn=users,DC=Example,DC=test", &attributes);
  ASSERT_EQ(by_dn.GetPropertyCount(), 3u);
  EXPECT_STREQ(by_dn.GetProperty(0).GetName(), L"primaryGroupID");  // the object's order
  EXPECT_EQ(by_dn.GetProperty(0).GetValue(0).vt, VT_I4);
  EXPECT_EQ(by_dn.GetProperty(0).GetValue(0).lVal, 513);
  EXPECT_EQ(TextOf(by_dn.GetProperty(1).GetValue(0)), L"Ann.Lee@example.test");
  EXPECT_EQ(TextOf(by_dn.GetProperty(2).GetValue(0)), kAnnDn);
  EXPECT_EQ(ErrorCodeOf([&] { by_dn.GetProperty(3); }), kDirectoryInvalidArgument);
  EXPECT_EQ(ErrorCodeOf([&] { by_dn.GetProperty(0).GetValue(1); }), kDirectoryInvalidArgument);

  CDirectoryEntry by_guid(L"GC://h/<GUID=ba7a96bfe60dd011a28500aa003049e2>", &attributes);
  ASSERT_EQ(by_guid.GetPropertyCount(), 3u);
  EXPECT_EQ(TextOf(by_guid.GetProperty(2).GetValue(0)), kAnnDn);

  // Escaped and unescaped forms of one value name one object.
  directory_.AddObject(MemoryObject(L"CN=Smith\\, John,CN=Users,DC=example,DC=test").AddString(L"mail", L"j@x"));
  EXPECT_EQ(CDirectoryEntry(L"GC://h/CN=smith\\2c john,CN=Users,DC=example,DC=test", nullptr).GetPropertyCount(), 1u);

  // Missing objects, a search root and a removed object are not found; a
  // malformed path never reaches the directory.
  for (const wchar_t* path : {L"GC://h/CN=Nobody,DC=example,DC=test", L"GC://h/<GUID=00000000000000000000000000000000>",
                              L"GC://h"}) {
    EXPECT_EQ(ErrorCodeOf([&] { CDirectoryEntry(path, nullptr); }), kDirectoryNotFound) << path;
  }
  EXPECT_TRUE(directory_.RemoveObject(L"cn=bob,ou=contacts,dc=example,dc=test"));
  EXPECT_FALSE(directory_.RemoveObject(L"cn=bob,ou=contacts,dc=example,dc=test"));
  EXPECT_EQ(Search(UserFilter(L"sip:bob@example.test")).GetPropertyCount(), 0u);
  const int calls = directory_.TotalCalls();
  EXPECT_EQ(ErrorCodeOf([] { CDirectoryEntry(L"GC://h/CN=a/b", nullptr); }), kDirectoryInvalidPath);
  EXPECT_EQ(directory_.TotalCalls(), calls);
  EXPECT_EQ(ErrorCodeOf([&] { directory_.AddObject(MemoryObject(L"not a dn")); }), kDirectoryInvalidArgument);
}

TEST_F(MemoryDirectoryTest, NullArgumentsAreRefusedBeforeAsking) {
  CDirectoryEntry root(kRoot);
  EXPECT_EQ(ErrorCodeOf([&] { CDirectorySearcher(root, nullptr, nullptr, kDirectoryScopeSubtree); }),
            kDirectoryInvalidArgument);
  const wchar_t* with_null[] = {L"mail", nullptr};
  for (const auto& [strings, count] : {std::pair<const wchar_t**, unsigned long long>{with_null, 2},
                                       {with_null, static_cast<unsigned long long>(-1)}, {nullptr, 1}}) {
    EXPECT_EQ(ErrorCodeOf([&, strings = strings, count = count] { CStringCollection(strings, count); }),
              kDirectoryInvalidArgument);
  }
  EXPECT_EQ(CStringCollection(nullptr, 0).GetCount(), 0u);
  EXPECT_EQ(directory_.TotalCalls(), 0);
  // A malformed filter reaches the directory, which refuses it.
  EXPECT_EQ(ErrorCodeOf([&] { Search(L"(mail=*"); }), kDirectoryInvalidArgument);
}

TEST_F(MemoryDirectoryTest, ResultsOutliveTheirSearcherAndLaterChanges) {
  std::vector<CSearchResultProperty> kept;
  {
    CSearchResult result = Search(UserFilter(L"sip:ann@example.test"), {L"mail"});
    ASSERT_EQ(result.GetPropertyCount(), 1u);
    kept.push_back(result.GetProperty(0));
  }
  // Replacing an object keeps its place in the search order.
  directory_.AddObject(MemoryObject(L"cn=ann lee,cn=users,dc=example,dc=test").AddString(L"mail", L"new@example.test"));
  CSearchResult first = Search(L"(|(mail=*)(objectClass=*))", {L"mail"});
  EXPECT_STREQ(first.GetDistinguishedName(), L"cn=ann lee,cn=users,dc=example,dc=test");
  EXPECT_EQ(TextOf(first.GetProperty(0).GetValue(0)), L"new@example.test");
  ASSERT_TRUE(directory_.RemoveObject(kAnnDn));
  EXPECT_STREQ(kept[0].GetName(), L"mail");
  EXPECT_EQ(TextOf(kept[0].GetValue(0)), L"Ann.Lee@example.test");
}

// The filter evaluator ------------------------------------------------------------

TEST(LdapFilterTest, MatchesWhatTheModulesFiltersNeedAndRefusesMalformedOnes) {
  const directory::DirectoryObject object =
      MemoryObject(L"CN=Ann,CN=Users,DC=example,DC=test")
          .AddStrings(L"objectClass", {L"top", L"user"})
          .AddString(L"objectCategory", kPersonCategory)
          .AddString(L"msRTCSIP-PrimaryUserAddress", L"sip:Lee (Sales)*@example.test")
          .AddString(L"displayName", L"Ann \u00d6")
          .AddBinary(L"objectSid", {1, 1, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0})
          .object();
  const std::pair<const wchar_t*, bool> cases[] = {
      {L"(OBJECTCLASS=USER)", true}, {L"(objectCategory=person)", true}, {L"(objectCategory=computer)", false},
      {L"(objectCategory=CN=Person,CN=Schema,CN=Configuration,DC=example,DC=test)", true},
      {L"(&(objectClass=user)(!(objectClass=computer)))", true}, {L"(|(objectClass=group)(mail=x))", false},
      {L"(!(mail=x))", true} /* an absent attribute matches no item */, {L"(mail=*)", false},
      {L"(msRTCSIP-PrimaryUserAddress=sip:lee \\28sales\\29\\2a@example.test)", true},
      {L"(displayName=ann \\c3\\96)", true},
      {L"(objectSid=\\01\\01\\00\\00\\00\\00\\00\\05\\12\\00\\00\\00)", true},
      {L"(objectSid=\\01\\01\\00\\00\\00\\00\\00\\05\\12\\00\\00)", false},
      {L"(objectSid=\\01\\01\\00\\00\\00\\00\\00\\05\\12\\00\\00\\00\\00)", false},
  };
  for (const auto& [filter, matches] : cases) {
    EXPECT_EQ(directory::LdapFilter::Parse(filter).Matches(object), matches)
        << ::testing::PrintToString(std::wstring(filter));
  }
  std::wstring deep;
  for (int i = 0; i < 100; ++i) deep += L"(!";
  deep += L"(a=b)" + std::wstring(100, L')');
  for (const std::wstring& text : std::vector<std::wstring>{L"", L"mail=x", L"(mail=x", L"(mail=x))", L"(=x)",
                                                            L"(mail=\\2)", L"(!(a=b)(c=d))", deep}) {
    EXPECT_THROW(directory::LdapFilter::Parse(text), CDirectoryException) << ::testing::PrintToString(text);
  }
}

}  // namespace
