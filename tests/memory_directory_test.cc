// The in-memory directory through the public classes (CDirectoryEntry,
// CDirectorySearcher): searches with the module's filters, reads by DN and
// GUID, read counts, blocked and failing reads; and the filter evaluator
// it answers searches with.
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/directory.h"
#include "platform/directory/directory_error.h"
#include "platform/directory/ldap_filter.h"
#include "platform/directory/memory_directory.h"

namespace {

using directory::MemoryDirectory;
using directory::MemoryObject;

constexpr wchar_t kRoot[] = L"GC://127.0.0.1:3268";
constexpr wchar_t kAnnDn[] = L"CN=Ann Lee,CN=Users,DC=example,DC=test";
constexpr wchar_t kPersonCategory[] = L"CN=Person,CN=Schema,CN=Configuration,DC=example,DC=test";
const std::vector<uint8_t> kAnnGuid = {0xba, 0x7a, 0x96, 0xbf, 0xe6, 0x0d, 0xd0, 0x11,
                                       0xa2, 0x85, 0x00, 0xaa, 0x00, 0x30, 0x49, 0xe2};
// S-1-5-21-1-2-3-1104 and S-1-5-21-1-2-3-513 (Domain Users).
const std::vector<uint8_t> kAnnSid = {0x01, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x15, 0x00,
                                      0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
                                      0x03, 0x00, 0x00, 0x00, 0x50, 0x04, 0x00, 0x00};
const std::vector<uint8_t> kDomainUsersSid = {0x01, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x15, 0x00,
                                              0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
                                              0x03, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00};

std::wstring UserFilter(const std::wstring& sip) {
  return L"(&(|(&(objectClass=user)(objectCategory=person))(&(objectClass=contact)(objectCategory=person)))"
         L"(msRTCSIP-PrimaryUserAddress=" +
         sip + L"))";
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
                             .AddBinary(L"objectSid", kAnnSid)
                             .AddInteger(L"primaryGroupID", 513)
                             .AddInteger(L"userAccountControl", 0x200)
                             .AddStrings(L"memberOf", {L"CN=Sales,OU=Groups,DC=example,DC=test",
                                                       L"CN=Staff,OU=Groups,DC=example,DC=test"})
                             .AddString(L"mail", L"Ann.Lee@example.test"));
    directory_.AddObject(MemoryObject(L"CN=Bob,OU=Contacts,DC=example,DC=test")
                             .AddStrings(L"objectClass", {L"top", L"person", L"contact"})
                             .AddString(L"objectCategory", L"CN=Person,CN=Schema,CN=Configuration,DC=example,DC=test")
                             .AddString(L"msRTCSIP-PrimaryUserAddress", L"sip:bob@example.test"));
    // A computer is a "user" by class but not a person.
    directory_.AddObject(MemoryObject(L"CN=PC1,CN=Computers,DC=example,DC=test")
                             .AddStrings(L"objectClass", {L"top", L"computer", L"user"})
                             .AddString(L"objectCategory", L"CN=Computer,CN=Schema,CN=Configuration,DC=example,DC=test")
                             .AddString(L"msRTCSIP-PrimaryUserAddress", L"sip:pc1@example.test"));
    directory_.AddObject(MemoryObject(L"CN=Domain Users,CN=Users,DC=example,DC=test")
                             .AddStrings(L"objectClass", {L"top", L"group"})
                             .AddBinary(L"objectSid", kDomainUsersSid)
                             .AddBinary(L"objectGUID", std::vector<uint8_t>(16, 0x11)));
  }

  CSearchResult Search(const std::wstring& filter, std::vector<const wchar_t*> attributes = {},
                       const wchar_t* root = kRoot, int scope = kDirectoryScopeSubtree) {
    CDirectoryEntry entry(root);
    CStringCollection names(attributes.data(), attributes.size());
    CDirectorySearcher searcher(entry, filter.c_str(), attributes.empty() ? nullptr : &names, scope);
    return searcher.FindOne();
  }

  MemoryDirectory directory_;
  directory::testing::ScopedBackend backend_{&directory_};
};

TEST_F(MemoryDirectoryTest, UserFilterFindsPeopleBySipAddress) {
  CSearchResult ann = Search(UserFilter(L"sip:ann@example.test"), {L"objectguid", L"memberOf"});
  EXPECT_STREQ(ann.GetDistinguishedName(), kAnnDn);
  ASSERT_EQ(ann.GetPropertyCount(), 2u);
  // The object's order, the caller's spelling.
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
}

TEST_F(MemoryDirectoryTest, PrimaryGroupIsFoundByEscapedBinarySid) {
  wchar_t escaped[256];
  ASSERT_EQ(CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID(L"S-1-5-21-1-2-3-1104", 513,
                                                                                 escaped, 256),
            S_OK);
  CSearchResult group = Search(std::wstring(L"(objectSid=") + escaped + L")", {L"objectGUID"});
  EXPECT_STREQ(group.GetDistinguishedName(), L"CN=Domain Users,CN=Users,DC=example,DC=test");
  ASSERT_EQ(group.GetPropertyCount(), 1u);
  EXPECT_EQ(BytesOf(group.GetProperty(0).GetValue(0)), std::vector<uint8_t>(16, 0x11));

  ASSERT_EQ(CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID(L"S-1-5-21-1-2-3-1104", 514,
                                                                                 escaped, 256),
            S_OK);
  EXPECT_EQ(Search(std::wstring(L"(objectSid=") + escaped + L")").GetPropertyCount(), 0u);
}

TEST_F(MemoryDirectoryTest, ReadsByDistinguishedNameAndByGuid) {
  const wchar_t* names[] = {L"mail", L"primaryGroupID", L"distinguishedName", L"notThere"};
  CStringCollection attributes(names, 4);

  // Any spelling of the DN names the object.
  CDirectoryEntry by_dn(L"GC://127.0.0.1:3268/cn=ann lee, cn=users,DC=Example,DC=test", &attributes);
  ASSERT_EQ(by_dn.GetPropertyCount(), 3u);
  EXPECT_STREQ(by_dn.GetProperty(0).GetName(), L"primaryGroupID");  // the object's order
  EXPECT_EQ(by_dn.GetProperty(0).GetValue(0).vt, VT_I4);
  EXPECT_EQ(by_dn.GetProperty(0).GetValue(0).lVal, 513);
  EXPECT_EQ(TextOf(by_dn.GetProperty(1).GetValue(0)), L"Ann.Lee@example.test");
  EXPECT_EQ(TextOf(by_dn.GetProperty(2).GetValue(0)), kAnnDn);
  EXPECT_EQ(ErrorCodeOf([&] { by_dn.GetProperty(3); }), kDirectoryInvalidArgument);
  EXPECT_EQ(ErrorCodeOf([&] { by_dn.GetProperty(0).GetValue(1); }), kDirectoryInvalidArgument);

  GUID guid{0xbf967aba, 0x0de6, 0x11d0, {0xa2, 0x85, 0x00, 0xaa, 0x00, 0x30, 0x49, 0xe2}};
  wchar_t hex[33];
  ASSERT_EQ(CDirectoryHelper::GUIDtoBindableString(&guid, hex, 33), S_OK);
  CDirectoryEntry by_guid((std::wstring(kRoot) + L"/<GUID=" + hex + L">").c_str(), &attributes);
  ASSERT_EQ(by_guid.GetPropertyCount(), 3u);
  EXPECT_EQ(TextOf(by_guid.GetProperty(2).GetValue(0)), kAnnDn);

  // Escaped and unescaped forms of one value name one object.
  directory_.AddObject(MemoryObject(L"CN=Smith\\, John,CN=Users,DC=example,DC=test").AddString(L"mail", L"j@x"));
  CDirectoryEntry escaped(L"GC://h/CN=smith\\2c john,CN=Users,DC=example,DC=test", nullptr);
  EXPECT_EQ(escaped.GetPropertyCount(), 1u);
}

TEST_F(MemoryDirectoryTest, MissingObjectsAreNotFound) {
  EXPECT_EQ(ErrorCodeOf([] { CDirectoryEntry(L"GC://h/CN=Nobody,DC=example,DC=test", nullptr); }),
            kDirectoryNotFound);
  EXPECT_EQ(ErrorCodeOf([] { CDirectoryEntry(L"GC://h/<GUID=00000000000000000000000000000000>", nullptr); }),
            kDirectoryNotFound);
  // A search root names no object to read.
  EXPECT_EQ(ErrorCodeOf([] { CDirectoryEntry(L"GC://h", nullptr); }), kDirectoryNotFound);
  // A removed object is gone, and a malformed path never reaches the directory.
  EXPECT_TRUE(directory_.RemoveObject(L"cn=bob,ou=contacts,dc=example,dc=test"));
  EXPECT_FALSE(directory_.RemoveObject(L"cn=bob,ou=contacts,dc=example,dc=test"));
  EXPECT_EQ(Search(UserFilter(L"sip:bob@example.test")).GetPropertyCount(), 0u);
  const int calls = directory_.TotalCalls();
  EXPECT_EQ(ErrorCodeOf([] { CDirectoryEntry(L"GC://h/CN=a/b", nullptr); }), kDirectoryInvalidPath);
  EXPECT_EQ(directory_.TotalCalls(), calls);
}

TEST_F(MemoryDirectoryTest, SearchesHonourRootAndScope) {
  const std::wstring people = L"(objectCategory=person)";
  EXPECT_STREQ(Search(people, {}, L"GC://h/CN=Users,DC=example,DC=test", kDirectoryScopeOneLevel)
                   .GetDistinguishedName(),
               kAnnDn);
  EXPECT_STREQ(Search(people, {}, L"GC://h/OU=Contacts,DC=example,DC=test", kDirectoryScopeSubtree)
                   .GetDistinguishedName(),
               L"CN=Bob,OU=Contacts,DC=example,DC=test");
  EXPECT_EQ(Search(people, {}, L"GC://h/DC=example,DC=test", kDirectoryScopeOneLevel).GetPropertyCount(), 0u);
  EXPECT_EQ(Search(people, {}, L"GC://h/CN=Users,DC=example,DC=test", kDirectoryScopeBase).GetPropertyCount(), 0u);
  EXPECT_STREQ(Search(people, {}, (std::wstring(L"GC://h/") + kAnnDn).c_str(), kDirectoryScopeBase)
                   .GetDistinguishedName(),
               kAnnDn);
  // Insertion order decides among several matches.
  EXPECT_STREQ(Search(L"(objectClass=*)").GetDistinguishedName(), kAnnDn);
}

TEST_F(MemoryDirectoryTest, CountsCallsPerKey) {
  const std::wstring filter = UserFilter(L"sip:ann@example.test");
  Search(filter);
  Search(filter);
  CDirectoryEntry first(L"GC://h/CN=Ann Lee,CN=Users,DC=example,DC=test", nullptr);
  CDirectoryEntry second(L"GC://h/cn=ANN LEE,cn=users,dc=example,dc=test", nullptr);
  EXPECT_EQ(ErrorCodeOf([] { CDirectoryEntry(L"GC://h/CN=Nobody,DC=x", nullptr); }), kDirectoryNotFound);
  CDirectoryEntry root(L"GC://h");  // parses only

  EXPECT_EQ(directory_.ReadCount(filter), 2);
  EXPECT_EQ(directory_.ReadCount(UserFilter(L"SIP:ann@example.test")), 0);  // filters count as written
  EXPECT_EQ(directory_.ReadCount(kAnnDn), 2);
  EXPECT_EQ(directory_.ReadCount(L"cn=ann lee,cn=users,dc=example,dc=test"), 2);
  EXPECT_EQ(directory_.ReadCount(L"CN=Nobody,DC=x"), 1);
  EXPECT_EQ(directory_.TotalCalls(), 5);

  GUID guid{0xbf967aba, 0x0de6, 0x11d0, {0xa2, 0x85, 0x00, 0xaa, 0x00, 0x30, 0x49, 0xe2}};
  wchar_t hex[33];
  ASSERT_EQ(CDirectoryHelper::GUIDtoBindableString(&guid, hex, 33), S_OK);
  CDirectoryEntry by_guid((std::wstring(L"GC://h/<GUID=") + hex + L">").c_str(), nullptr);
  EXPECT_EQ(directory_.ReadCount(L"<GUID=BA7A96BFE60DD011A28500AA003049E2>"), 1);

  directory_.ResetCounts();
  EXPECT_EQ(directory_.ReadCount(filter), 0);
  EXPECT_EQ(directory_.TotalCalls(), 0);
}

TEST_F(MemoryDirectoryTest, BlockedReadersWaitUntilReleased) {
  constexpr int kReaders = 4;
  EXPECT_FALSE(directory_.WaitUntilBlocked(1, std::chrono::milliseconds(20)));
  directory_.BlockReads();
  std::atomic<int> finished{0};
  std::vector<size_t> property_counts(kReaders, 0);
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i) {
    readers.emplace_back([&, i] {
      const wchar_t* names[] = {L"mail"};
      CStringCollection attributes(names, 1);
      CDirectoryEntry entry(L"GC://h/CN=Ann Lee,CN=Users,DC=example,DC=test", &attributes);
      property_counts[i] = entry.GetPropertyCount();
      ++finished;
    });
  }
  ASSERT_TRUE(directory_.WaitUntilBlocked(kReaders));
  EXPECT_EQ(directory_.BlockedCount(), kReaders);
  EXPECT_EQ(directory_.ReadCount(kAnnDn), kReaders);  // counted on arrival
  EXPECT_EQ(finished.load(), 0);

  directory_.ReleaseReads();
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(finished.load(), kReaders);
  EXPECT_EQ(property_counts, std::vector<size_t>(kReaders, 1));
  EXPECT_EQ(directory_.BlockedCount(), 0);

  // Released means released: later reads pass.
  CDirectoryEntry later(L"GC://h/CN=Ann Lee,CN=Users,DC=example,DC=test", nullptr);
  EXPECT_EQ(directory_.ReadCount(kAnnDn), kReaders + 1);
}

TEST_F(MemoryDirectoryTest, InjectedFailures) {
  const std::wstring filter = UserFilter(L"sip:ann@example.test");
  directory_.FailNthCall(2, kDirectoryServerDown);
  EXPECT_STREQ(Search(filter).GetDistinguishedName(), kAnnDn);
  try {
    Search(filter);
    ADD_FAILURE() << "the second call did not fail";
  } catch (const CDirectoryException& e) {
    EXPECT_EQ(e.GetErrorCode(), kDirectoryServerDown);
    ASSERT_NE(e.FindContext(L"target"), nullptr);
    EXPECT_EQ(*e.FindContext(L"target"), filter);
  }
  EXPECT_STREQ(Search(filter).GetDistinguishedName(), kAnnDn);
  EXPECT_EQ(directory_.ReadCount(filter), 3);  // failed calls count too

  directory_.FailAllCalls(kDirectoryTimeout);
  EXPECT_EQ(ErrorCodeOf([&] { Search(filter); }), kDirectoryTimeout);
  EXPECT_EQ(ErrorCodeOf([] { CDirectoryEntry(L"GC://h/CN=Ann Lee,CN=Users,DC=example,DC=test", nullptr); }),
            kDirectoryTimeout);
  directory_.ClearFailures();
  EXPECT_EQ(ErrorCodeOf([&] { Search(filter); }), 0);
}

TEST_F(MemoryDirectoryTest, DelayHoldsEveryCallAtLeastThatLong) {
  constexpr auto kDelay = std::chrono::milliseconds(30);
  directory_.SetReadDelay(kDelay);
  const auto start = std::chrono::steady_clock::now();
  Search(L"(mail=*)");
  EXPECT_GE(std::chrono::steady_clock::now() - start, kDelay);
}

TEST_F(MemoryDirectoryTest, SearcherChecksItsArgumentsBeforeAsking) {
  CDirectoryEntry root(kRoot);
  const std::wstring longest = L"(mail=" + std::wstring(CDirectorySearcher::kMaxFilterLength - 7, L'a') + L")";
  ASSERT_EQ(longest.size(), CDirectorySearcher::kMaxFilterLength);
  CDirectorySearcher accepted(root, longest.c_str(), nullptr, kDirectoryScopeSubtree);
  EXPECT_EQ(accepted.FindOne().GetPropertyCount(), 0u);
  EXPECT_EQ(directory_.TotalCalls(), 1);

  const std::wstring too_long = L"(mail=" + std::wstring(CDirectorySearcher::kMaxFilterLength - 6, L'a') + L")";
  EXPECT_EQ(ErrorCodeOf([&] { CDirectorySearcher(root, too_long.c_str(), nullptr, kDirectoryScopeSubtree); }),
            kDirectoryInvalidArgument);
  EXPECT_EQ(ErrorCodeOf([&] { CDirectorySearcher(root, nullptr, nullptr, kDirectoryScopeSubtree); }),
            kDirectoryInvalidArgument);
  EXPECT_EQ(ErrorCodeOf([&] { CDirectorySearcher(root, L"(mail=*)", nullptr, 3); }), kDirectoryInvalidArgument);
  EXPECT_EQ(ErrorCodeOf([&] { CDirectorySearcher(root, L"(mail=*)", nullptr, -1); }), kDirectoryInvalidArgument);
  EXPECT_EQ(directory_.TotalCalls(), 1);

  // A malformed filter reaches the directory, which refuses it.
  EXPECT_EQ(ErrorCodeOf([&] { Search(L"(mail=*"); }), kDirectoryInvalidArgument);

  const wchar_t* with_null[] = {L"mail", nullptr};
  EXPECT_EQ(ErrorCodeOf([&] { CStringCollection(with_null, 2); }), kDirectoryInvalidArgument);
  EXPECT_EQ(ErrorCodeOf([&] { CStringCollection(with_null, static_cast<unsigned long long>(-1)); }),
            kDirectoryInvalidArgument);
  EXPECT_EQ(ErrorCodeOf([&] { CStringCollection(nullptr, 1); }), kDirectoryInvalidArgument);
  EXPECT_EQ(CStringCollection(nullptr, 0).GetCount(), 0u);
}

TEST_F(MemoryDirectoryTest, ResultsOutliveTheirSearcherAndLaterChanges) {
  std::vector<CSearchResultProperty> kept;
  {
    CSearchResult result = Search(UserFilter(L"sip:ann@example.test"), {L"mail"});
    ASSERT_EQ(result.GetPropertyCount(), 1u);
    kept.push_back(result.GetProperty(0));
  }
  directory_.AddObject(MemoryObject(kAnnDn).AddString(L"mail", L"changed@example.test"));
  ASSERT_TRUE(directory_.RemoveObject(kAnnDn));
  EXPECT_STREQ(kept[0].GetName(), L"mail");
  EXPECT_EQ(TextOf(kept[0].GetValue(0)), L"Ann.Lee@example.test");
}

TEST_F(MemoryDirectoryTest, ReplacingAnObjectKeepsItsPlace) {
  directory_.AddObject(MemoryObject(L"cn=ann lee,cn=users,dc=example,dc=test")
                           .AddString(L"objectCategory", L"person")
                           .AddString(L"mail", L"new@example.test"));
  CSearchResult first = Search(L"(objectCategory=person)", {L"mail"});
  EXPECT_EQ(TextOf(first.GetProperty(0).GetValue(0)), L"new@example.test");
  EXPECT_EQ(ErrorCodeOf([&] { directory_.AddObject(MemoryObject(L"not a dn")); }), kDirectoryInvalidArgument);
}

// The filter evaluator ------------------------------------------------------------

directory::DirectoryObject SampleObject() {
  return MemoryObject(L"CN=Ann,CN=Users,DC=example,DC=test")
      .AddStrings(L"objectClass", {L"top", L"user"})
      .AddString(L"objectCategory", L"CN=Person,CN=Schema,CN=Configuration,DC=example,DC=test")
      .AddString(L"sn", L"Lee (Sales)*")
      .AddString(L"proxyAddresses", L"SMTP:ann@example.test")
      .AddInteger(L"userAccountControl", 0x202)
      .AddLargeInteger(L"uSNChanged", 5000000000LL)
      .AddBoolean(L"isCriticalSystemObject", false)
      .AddBinary(L"objectSid", {0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00})
      .AddString(L"displayName", L"Ann Ö")
      .object();
}

struct FilterCase {
  const wchar_t* filter;
  bool matches;
};

class FilterEvaluation : public ::testing::TestWithParam<FilterCase> {};

TEST_P(FilterEvaluation, MatchesAsExpected) {
  const directory::DirectoryObject object = SampleObject();
  EXPECT_EQ(directory::LdapFilter::Parse(GetParam().filter).Matches(object), GetParam().matches)
      << ::testing::PrintToString(std::wstring(GetParam().filter));
}

INSTANTIATE_TEST_SUITE_P(
    Filters, FilterEvaluation,
    ::testing::Values(
        FilterCase{L"(objectClass=USER)", true}, FilterCase{L"(OBJECTCLASS=user)", true},
        FilterCase{L"(objectClass=group)", false}, FilterCase{L"(objectCategory=person)", true},
        FilterCase{L"(objectCategory=computer)", false},
        FilterCase{L"(objectCategory=CN=Person,CN=Schema,CN=Configuration,DC=example,DC=test)", true},
        FilterCase{L"(&(objectClass=user)(!(objectClass=computer)))", true},
        FilterCase{L"(|(objectClass=group)(objectClass=contact))", false}, FilterCase{L"(!(mail=*))", true},
        FilterCase{L"(mail=*)", false}, FilterCase{L"(!(mail=x))", true}, FilterCase{L"(sn=*)", true},
        FilterCase{L"(&)", true}, FilterCase{L"(|)", false},
        // Escapes and substrings.
        FilterCase{L"(sn=Lee \\28Sales\\29\\2a)", true}, FilterCase{L"(sn=lee*)", true},
        FilterCase{L"(sn=*\\2a)", true}, FilterCase{L"(sn=*sales*)", true}, FilterCase{L"(sn=l*x*\\2a)", false},
        FilterCase{L"(sn=l*\\28s*s\\29\\2a)", true}, FilterCase{L"(sn=Lee*Lee)", false},
        FilterCase{L"(proxyAddresses=smtp:*)", true}, FilterCase{L"(proxyAddresses=*@example.test)", true},
        FilterCase{L"(displayName=ann \\c3\\96)", true}, FilterCase{L"(displayName=Ann Ö)", true},
        // Binary values match byte for byte.
        FilterCase{L"(objectSid=\\01\\01\\00\\00\\00\\00\\00\\05\\12\\00\\00\\00)", true},
        FilterCase{L"(objectSid=\\01\\01\\00\\00\\00\\00\\00\\05\\12\\00\\00)", false},
        FilterCase{L"(objectSid=\\01\\01\\00\\00\\00\\00\\00\\05\\12\\00\\00\\00\\00)", false},
        // Numbers, booleans, ordering, bit masks.
        FilterCase{L"(userAccountControl=514)", true}, FilterCase{L"(userAccountControl>=600)", false},
        FilterCase{L"(userAccountControl<=514)", true}, FilterCase{L"(uSNChanged>=4999999999)", true},
        FilterCase{L"(userAccountControl:1.2.840.113556.1.4.803:=2)", true},
        FilterCase{L"(userAccountControl:1.2.840.113556.1.4.803:=3)", false},
        FilterCase{L"(userAccountControl:1.2.840.113556.1.4.804:=3)", true},
        FilterCase{L"(isCriticalSystemObject=FALSE)", true}, FilterCase{L"(isCriticalSystemObject=TRUE)", false},
        FilterCase{L"(distinguishedName=cn=ann,cn=users,dc=example,dc=test)", true}));

TEST(FilterParsing, RefusesMalformedFilters) {
  for (const wchar_t* text :
       {L"", L"mail=x", L"(mail=x", L"(mail=x))", L"((mail=x))", L"(=x)", L"(mail)", L"(mail~x)",
        L"(mail=a(b)", L"(mail=\\2)", L"(mail=\\zz)", L"(mail=a**b)", L"(!(a=b)(c=d))", L"(&(a=b)x)",
        L"(mail>=a*)", L"(member:1.2.840.113556.1.4.1941:=CN=x)", L"(cn:dn:=x)",
        L"(userAccountControl:1.2.840.113556.1.4.803:=two)"}) {
    EXPECT_THROW(directory::LdapFilter::Parse(text), CDirectoryException)
        << ::testing::PrintToString(std::wstring(text));
  }
  std::wstring deep;
  for (int i = 0; i < 100; ++i) deep += L"(!";
  deep += L"(a=b)";
  for (int i = 0; i < 100; ++i) deep += L")";
  EXPECT_THROW(directory::LdapFilter::Parse(deep), CDirectoryException);
}

}  // namespace
