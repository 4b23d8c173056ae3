// Directory paths: the accepted forms with what they parse into, the
// rejected ones, and the text form round trip.
#include <array>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "platform/directory/directory_error.h"
#include "platform/directory/directory_path.h"

namespace {

using directory::DirectoryPath;
using Kind = DirectoryPath::Kind;
using Scheme = DirectoryPath::Scheme;

// objectGUID bytes of the schema class "user" (bf967aba-0de6-11d0-a285-00aa003049e2).
constexpr std::array<uint8_t, 16> kUserClassGuid = {0xba, 0x7a, 0x96, 0xbf, 0xe6, 0x0d, 0xd0, 0x11,
                                                    0xa2, 0x85, 0x00, 0xaa, 0x00, 0x30, 0x49, 0xe2};

struct Accepted {
  const wchar_t* text;
  Scheme scheme;
  const wchar_t* host;
  int port;
  Kind kind;
  const wchar_t* dn;
  const wchar_t* server;  // Server()
};

class AcceptedPath : public ::testing::TestWithParam<Accepted> {};

TEST_P(AcceptedPath, ParsesIntoItsParts) {
  const Accepted& c = GetParam();
  const DirectoryPath path = DirectoryPath::Parse(c.text);
  EXPECT_EQ(path.scheme, c.scheme);
  EXPECT_EQ(path.host, c.host);
  EXPECT_EQ(path.port, c.port);
  EXPECT_EQ(path.kind, c.kind);
  EXPECT_EQ(path.dn, c.dn);
  EXPECT_EQ(path.Server(), c.server);

  // The text form parses back into the same path.
  const DirectoryPath again = DirectoryPath::Parse(path.ToString());
  EXPECT_EQ(again.scheme, path.scheme);
  EXPECT_EQ(again.host, path.host);
  EXPECT_EQ(again.port, path.port);
  EXPECT_EQ(again.kind, path.kind);
  EXPECT_EQ(again.dn, path.dn);
  EXPECT_EQ(again.guid, path.guid);
}

const Accepted kAccepted[] = {
    {L"GC://gc1.example.test", Scheme::kGlobalCatalog, L"gc1.example.test", 0, Kind::kRoot, L"",
     L"gc1.example.test:3268"},
    {L"gc://GC1.example.test:3269", Scheme::kGlobalCatalog, L"GC1.example.test", 3269, Kind::kRoot, L"",
     L"GC1.example.test:3269"},
    {L"LDAP://dc1.example.test", Scheme::kLdap, L"dc1.example.test", 0, Kind::kRoot, L"", L"dc1.example.test:389"},
    {L"Ldap://dc1:636/CN=Ann,CN=Users,DC=example,DC=test", Scheme::kLdap, L"dc1", 636, Kind::kDistinguishedName,
     L"CN=Ann,CN=Users,DC=example,DC=test", L"dc1:636"},
    {L"GC://127.0.0.1:3268/CN=Ann,DC=x", Scheme::kGlobalCatalog, L"127.0.0.1", 3268, Kind::kDistinguishedName,
     L"CN=Ann,DC=x", L"127.0.0.1:3268"},
    {L"GC://[::1]:3268/CN=Ann,DC=x", Scheme::kGlobalCatalog, L"::1", 3268, Kind::kDistinguishedName, L"CN=Ann,DC=x",
     L"[::1]:3268"},
    {L"GC://[::1]", Scheme::kGlobalCatalog, L"::1", 0, Kind::kRoot, L"", L"[::1]:3268"},
    {L"CN=A\\2fB,DC=example,DC=test", Scheme::kGlobalCatalog, L"", 0, Kind::kDistinguishedName,
     L"CN=A\\2fB,DC=example,DC=test", L""},
    {L"GC://DC=example,DC=test", Scheme::kGlobalCatalog, L"", 0, Kind::kDistinguishedName, L"DC=example,DC=test",
     L""},
    {L"GC://", Scheme::kGlobalCatalog, L"", 0, Kind::kRoot, L"", L""},
    // Escapes stay as written.
    {L"GC://h/CN=a\\2fb,DC=x", Scheme::kGlobalCatalog, L"h", 0, Kind::kDistinguishedName, L"CN=a\\2fb,DC=x",
     L"h:3268"},
    {L"GC://h/CN=Smith\\, John,OU=R\\+D,DC=x", Scheme::kGlobalCatalog, L"h", 0, Kind::kDistinguishedName,
     L"CN=Smith\\, John,OU=R\\+D,DC=x", L"h:3268"},
    {L"GC://h/CN=a+UID=b,DC=x", Scheme::kGlobalCatalog, L"h", 0, Kind::kDistinguishedName, L"CN=a+UID=b,DC=x",
     L"h:3268"},
    {L"GC://h/2.5.4.3=\\23hash,DC=x", Scheme::kGlobalCatalog, L"h", 0, Kind::kDistinguishedName,
     L"2.5.4.3=\\23hash,DC=x", L"h:3268"},
    {L"GC://h:65535", Scheme::kGlobalCatalog, L"h", 65535, Kind::kRoot, L"", L"h:65535"},
};

INSTANTIATE_TEST_SUITE_P(Forms, AcceptedPath, ::testing::ValuesIn(kAccepted));

TEST(DirectoryPathGuid, BytesAreTakenInTheOrderWritten) {
  for (const wchar_t* text : {L"GC://127.0.0.1:3268/<GUID=ba7a96bfe60dd011a28500aa003049e2>",
                              L"GC://<guid=BA7A96BFE60DD011A28500AA003049E2>"}) {
    const DirectoryPath path = DirectoryPath::Parse(text);
    EXPECT_EQ(path.kind, Kind::kGuid) << text;
    EXPECT_EQ(path.guid, kUserClassGuid) << text;
    EXPECT_TRUE(path.dn.empty());
  }
  const DirectoryPath path = DirectoryPath::Parse(L"GC://h:1/<GUID=BA7A96BFE60DD011A28500AA003049E2>");
  EXPECT_EQ(path.ToString(), L"GC://h:1/<GUID=ba7a96bfe60dd011a28500aa003049e2>");
}

TEST(DirectoryPathPort, EffectivePortFillsTheSchemeDefault) {
  EXPECT_EQ(DirectoryPath::Parse(L"GC://h").EffectivePort(), DirectoryPath::kGlobalCatalogPort);
  EXPECT_EQ(DirectoryPath::Parse(L"LDAP://h").EffectivePort(), DirectoryPath::kLdapPort);
  EXPECT_EQ(DirectoryPath::Parse(L"LDAP://h:3269").EffectivePort(), 3269);
  // The text form keeps a port only when one was written.
  EXPECT_EQ(DirectoryPath::Parse(L"GC://h/DC=x").ToString(), L"GC://h/DC=x");
  EXPECT_EQ(DirectoryPath::Parse(L"LDAP://[::1]:389/DC=x").ToString(), L"LDAP://[::1]:389/DC=x");
}

class RejectedPath : public ::testing::TestWithParam<const wchar_t*> {};

TEST_P(RejectedPath, RaisesInvalidPathNamingIt) {
  const std::wstring text = GetParam();
  try {
    DirectoryPath::Parse(text);
    ADD_FAILURE() << "accepted: " << ::testing::PrintToString(text);
  } catch (const CDirectoryException& e) {
    EXPECT_EQ(e.GetErrorCode(), kDirectoryInvalidPath);
    if (text.empty()) return;  // nothing to name
    const std::wstring* target = e.FindContext(L"target");
    ASSERT_NE(target, nullptr);
    EXPECT_EQ(*target, text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RejectedPath,
    ::testing::Values(
        // Scheme.
        L"", L"GC:", L"GC:/h", L"gc1.example.test", L"HTTP://h", L"://h", L"GCX://h",
        // Host and port.
        L"GC://h:", L"GC://h:0", L"GC://h:65536", L"GC://h:12ab", L"GC://h:123456", L"GC://h:3268:1",
        L"GC://ho st", L"GC://h..test", L"GC://.h", L"GC://:3268", L"GC:///CN=a,DC=x", L"GC://h:-1",
        L"GC://[::1", L"GC://[xyz]", L"GC://[::1]x", L"GC://[::1]:", L"GC://[]:3268", L"GC://h\\x",
        // Object part.
        L"GC://h/", L"GC://h/<GUID=ba7a96bf>", L"GC://h/<GUID=ba7a96bfe60dd011a28500aa003049ez>",
        L"GC://h/<GUID=ba7a96bfe60dd011a28500aa003049e2>x", L"GC://h/<GUID=ba7a96bfe60dd011a28500aa003049e2",
        L"GC://h/<SID=010500000000000515000000>", L"GC://<GUID=ba7a96bfe60dd011a28500aa003049e2a0>",
        L"GC://h/CN=a/b,DC=x", L"GC://h/CN=a\\", L"GC://h/CN=a\\2,DC=x", L"GC://h/CN=a\\q,DC=x",
        L"GC://h/CN=a,,DC=x", L"GC://h/CN=a,", L"GC://h/novalue", L"GC://h/=a,DC=x", L"GC://h/C N=a",
        L"GC://h/CN=a,DC=x/extra"));

TEST(DirectoryPathRejected, NulInsideTheTextIsNotIgnored) {
  const std::wstring text(L"GC://h/CN=a\0,DC=x", 17);
  EXPECT_THROW(DirectoryPath::Parse(text), CDirectoryException);
}

}  // namespace
