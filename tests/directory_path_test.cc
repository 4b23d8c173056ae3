// Directory paths: the accepted forms with what they parse into and their
// text form round trip, GUID bytes, and the rejected forms.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "platform/directory/directory_error.h"
#include "platform/directory/directory_path.h"

namespace {

using directory::DirectoryPath;

// "scheme|host|port|kind|dn|Server()".
std::wstring Parts(const DirectoryPath& path) {
  static const wchar_t* const kKinds[] = {L"root", L"dn", L"guid"};
  return std::wstring(path.scheme == DirectoryPath::Scheme::kLdap ? L"LDAP|" : L"GC|") + path.host + L"|" +
         std::to_wstring(path.port) + L"|" + kKinds[static_cast<int>(path.kind)] + L"|" + path.dn + L"|" +
         path.Server();
}

TEST(DirectoryPathTest, AcceptedFormsParseIntoTheirPartsAndBack) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"GC://gc1.example.test", L"GC|gc1.example.test|0|root||gc1.example.test:3268"},
      {L"gc://GC1.example.test:3269", L"GC|GC1.example.test|3269|root||GC1.example.test:3269"},
      {L"LDAP://dc1.example.test", L"LDAP|dc1.example.test|0|root||dc1.example.test:389"},
      {L"Ldap://dc1:636/CN=Ann,CN=Users,DC=x", L"LDAP|dc1|636|dn|CN=Ann,CN=Users,DC=x|dc1:636"},
      {L"GC://[::1]:3268/CN=Ann,DC=x", L"GC|::1|3268|dn|CN=Ann,DC=x|[::1]:3268"},
      {L"GC://h:65535", L"GC|h|65535|root||h:65535"},
      // Host-less paths use the configured servers.
      {L"CN=A\\2fB,DC=example,DC=test", L"GC||0|dn|CN=A\\2fB,DC=example,DC=test|"},
      {L"GC://DC=example,DC=test", L"GC||0|dn|DC=example,DC=test|"},
      {L"GC://", L"GC||0|root||"},
      // Escapes stay as written.
      {L"GC://h/CN=a\\2fb,DC=x", L"GC|h|0|dn|CN=a\\2fb,DC=x|h:3268"},
      {L"GC://h/CN=Smith\\, John,OU=R\\+D,DC=x", L"GC|h|0|dn|CN=Smith\\, John,OU=R\\+D,DC=x|h:3268"},
      {L"GC://h/CN=a+UID=b,DC=x", L"GC|h|0|dn|CN=a+UID=b,DC=x|h:3268"},
      {L"GC://h/2.5.4.3=\\23hash,DC=x", L"GC|h|0|dn|2.5.4.3=\\23hash,DC=x|h:3268"},
  };
  for (const auto& [text, parts] : cases) {
    const DirectoryPath path = DirectoryPath::Parse(text);
    EXPECT_EQ(Parts(path), parts) << ::testing::PrintToString(std::wstring(text));
    EXPECT_EQ(Parts(DirectoryPath::Parse(path.ToString())), parts) << ::testing::PrintToString(path.ToString());
  }
  // The text form keeps a port only when one was written.
  EXPECT_EQ(DirectoryPath::Parse(L"GC://h/DC=x").ToString(), L"GC://h/DC=x");
  EXPECT_EQ(DirectoryPath::Parse(L"LDAP://[::1]:389/DC=x").ToString(), L"LDAP://[::1]:389/DC=x");

  // GUID bytes are taken in the order written (objectGUID order), any case.
  constexpr std::array<uint8_t, 16> kUserClassGuid = {0xba, 0x7a, 0x96, 0xbf, 0xe6, 0x0d, 0xd0, 0x11,
                                                      0xa2, 0x85, 0x00, 0xaa, 0x00, 0x30, 0x49, 0xe2};
  for (const wchar_t* text : {L"GC://127.0.0.1:3268/<GUID=ba7a96bfe60dd011a28500aa003049e2>",
                              L"GC://<guid=BA7A96BFE60DD011A28500AA003049E2>"}) {
    const DirectoryPath path = DirectoryPath::Parse(text);
    EXPECT_EQ(path.kind, DirectoryPath::Kind::kGuid) << text;
    EXPECT_EQ(path.guid, kUserClassGuid) << text;
    EXPECT_TRUE(path.dn.empty());
  }
  EXPECT_EQ(DirectoryPath::Parse(L"GC://h:1/<GUID=BA7A96BFE60DD011A28500AA003049E2>").ToString(),
            L"GC://h:1/<GUID=ba7a96bfe60dd011a28500aa003049e2>");
}

TEST(DirectoryPathTest, RejectedFormsRaiseInvalidPathNamingThePath) {
  const std::wstring rejected[] = {
      // Scheme.
      L"", L"GC:", L"gc1.example.test", L"HTTP://h", L"GCX://h",
      // Host and port.
      L"GC://h:", L"GC://h:0", L"GC://h:65536", L"GC://h:12ab", L"GC://h:3268:1", L"GC://ho st", L"GC://h..test",
      L"GC://:3268", L"GC:///CN=a,DC=x", L"GC://h:-1", L"GC://[::1", L"GC://[::1]x", L"GC://[::1]:", L"GC://[]:3268",
      // Object part: an unescaped "/" ends the DN, escapes must be whole.
      L"GC://h/", L"GC://h/<GUID=ba7a96bf>", L"GC://h/<GUID=ba7a96bfe60dd011a28500aa003049ez>",
      L"GC://h/<GUID=ba7a96bfe60dd011a28500aa003049e2>x", L"GC://h/<GUID=ba7a96bfe60dd011a28500aa003049e2",
      L"GC://h/<SID=010500000000000515000000>", L"GC://h/CN=a/b,DC=x", L"GC://h/CN=a\\", L"GC://h/CN=a\\2,DC=x",
      L"GC://h/CN=a\\q,DC=x", L"GC://h/CN=a,,DC=x", L"GC://h/novalue", L"GC://h/=a,DC=x", L"GC://h/C N=a",
      L"GC://h/CN=a,DC=x/extra", std::wstring(L"GC://h/CN=a\0,DC=x", 17)};
  for (const std::wstring& text : rejected) {
    try {
      DirectoryPath::Parse(text);
      ADD_FAILURE() << "accepted: " << ::testing::PrintToString(text);
    } catch (const CDirectoryException& e) {
      EXPECT_EQ(e.GetErrorCode(), kDirectoryInvalidPath) << ::testing::PrintToString(text);
      if (text.empty()) continue;  // nothing to name
      const std::wstring* target = e.FindContext(L"target");
      ASSERT_NE(target, nullptr);
      EXPECT_EQ(*target, text);
    }
  }
}

// A configured server is read as the host[:port] of a path, and only so:
// the settings, Global Catalog discovery and the LDAP backend all parse
// servers with ParseServer, so none of them keeps a server another refuses.
TEST(DirectoryPathTest, ServersAreExactlyTheHostAndPortOfAPath) {
  const std::pair<const wchar_t*, const wchar_t*> accepted[] = {
      {L"gc1.example.test", L"gc1.example.test|0|gc1.example.test:3268"},
      {L"gc1.example.test:3269", L"gc1.example.test|3269|gc1.example.test:3269"},
      {L"127.0.0.1:00389", L"127.0.0.1|389|127.0.0.1:389"},
      {L"dc_1-a", L"dc_1-a|0|dc_1-a:3268"},
      {L"[::1]", L"::1|0|[::1]:3268"},
      {L"[fe80::1]:636", L"fe80::1|636|[fe80::1]:636"},
      {L"[::]", L"::|0|[::]:3268"},
      {L"[1:2:3:4:5:6:7:8]", L"1:2:3:4:5:6:7:8|0|[1:2:3:4:5:6:7:8]:3268"},
      {L"[1:2:3:4:5:6:7::]", L"1:2:3:4:5:6:7::|0|[1:2:3:4:5:6:7::]:3268"},
      {L"[::ffff:192.0.2.1]:3268", L"::ffff:192.0.2.1|3268|[::ffff:192.0.2.1]:3268"},
  };
  for (const auto& [text, parts] : accepted) {
    const std::optional<DirectoryPath> server = DirectoryPath::ParseServer(text);
    ASSERT_TRUE(server.has_value()) << ::testing::PrintToString(std::wstring(text));
    EXPECT_EQ(server->host + L"|" + std::to_wstring(server->port) + L"|" + server->Server(), parts);
    EXPECT_EQ(DirectoryPath::Parse(std::wstring(L"GC://") + text).Server(), server->Server());
  }
  // Dots that make an empty label, characters no host name has, ports out
  // of range or empty, unclosed brackets, anything after the port.
  for (const wchar_t* text : {L"", L"127.0.0..:3268", L".gc1", L"gc1.", L"gc1!.example.test", L"user@gc1",
                              L"gc 1", L"gc1:", L"gc1:0", L"gc1:65536", L"gc1:000389", L"gc1:+389", L":3268",
                              L"[::1", L"[]", L"[::1]x", L"[::1]:", L"[g::1]", L"gc1/DC=x", L"DC=x", L"gc1:3268/",
                              // What is no IPv6 address: nine groups, eight and a "::", two "::", a group of
                              // five digits, a ':' alone at either end, bad or misplaced IPv4 parts, and hex
                              // digits and colons of any length (the fuzzer's find).
                              L"[1:2:3:4:5:6:7:8:9]", L"[1:2:3:4:5:6:7:8::]", L"[1::2::3]", L"[12345::1]", L"[:1::2]",
                              L"[1::2:]", L"[::1.2.3]", L"[::256.1.1.1]", L"[::1.2.3.4:5]", L"[1.2.3.4]", L"[1:2]",
                              L"[::1cccccccccccccccccccc:cccc]"}) {
    EXPECT_FALSE(DirectoryPath::ParseServer(text).has_value()) << ::testing::PrintToString(std::wstring(text));
  }
}

}  // namespace
