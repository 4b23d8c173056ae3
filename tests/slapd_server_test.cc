// Self-test of the test directory server: the sample directory must look
// like Active Directory does for every lookup the library makes, and the
// fault controls must do what fault tests rely on.

#include "tests/support/slapd_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#ifdef USERPOLICY_HAVE_DIRGEN
#include "bench/directory_generator.h"
#endif

namespace userpolicy::testing {
namespace {

using std::chrono::milliseconds;

// One server for the whole program, started before the first test and
// stopped after the last: the pattern every test program that needs a
// directory follows.
class SampleDirectoryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    SlapdOptions options;
    options.tls = true;
    try {
      server_ = SlapdServer::Start(options);
    } catch (const std::exception& e) {
      FAIL() << "cannot start the test directory: " << e.what();
    }
  }
  void TearDown() override { server_.reset(); }
  SlapdServer& server() const { return *server_; }

 private:
  std::unique_ptr<SlapdServer> server_;
};

// gtest owns registered environments.
SampleDirectoryEnvironment* const g_sample =
    static_cast<SampleDirectoryEnvironment*>(
        ::testing::AddGlobalTestEnvironment(
            std::make_unique<SampleDirectoryEnvironment>().release()));

SlapdServer& Server() { return g_sample->server(); }

constexpr milliseconds kNoAnswerWait{300};
constexpr milliseconds kAnswerWait{5000};
constexpr int kLdapInvalidCredentials = 49;
constexpr size_t kGuidBytes = 16;
constexpr size_t kDomainSidBytes = 28;

const std::string kBase = "dc=example,dc=test";
const std::vector<std::string> kUserAttrs = {
    "objectGUID",     "name",      "distinguishedName", "memberOf",
    "primaryGroupID", "objectSid", "proxyAddresses",    "mail"};
const std::vector<std::string> kGroupAttrs = {"objectGUID", "distinguishedName",
                                              "memberOf", "groupType"};

std::string UserFilter(const std::string& sip) {
  return "(&(|(&(objectClass=user)(objectCategory=person))"
         "(&(objectClass=contact)(objectCategory=person)))"
         "(msRTCSIP-PrimaryUserAddress=" +
         sip + "))";
}

std::string Group(const std::string& cn) {
  return "cn=" + cn + ",ou=Groups," + kBase;
}
std::string Person(const std::string& cn) {
  return "cn=" + cn + ",ou=People," + kBase;
}
std::string Contact(const std::string& cn) {
  return "cn=" + cn + ",ou=Contacts," + kBase;
}
// slapd returns the escaped comma of this DN as "\2C" (AD writes "\,");
// both spell the same DN and either finds the entry.
const std::string kSmithCn = "Smith\\, Jones and Partners";
const std::string kSmithCnAsReturned = "Smith\\2C Jones and Partners";

// The sample's GUIDs: byte 0 numbers the entry, byte 1 is its kind.
std::string SampleGuid(int number, int kind) {
  std::string guid(kGuidBytes, '\0');
  guid[0] = static_cast<char>(number);
  guid[1] = static_cast<char>(kind);
  return guid;
}
constexpr int kUserKind = 1, kContactKind = 2, kGroupKind = 3;

// S-1-5-21-1004336348-1177238915-682003330-rid, built from the numbers.
std::string SampleSid(uint32_t rid) {
  std::string sid = {1, 5, 0, 0, 0, 0, 0, 5};
  for (uint32_t sub : {21u, 1004336348u, 1177238915u, 682003330u, rid}) {
    for (int shift = 0; shift < 32; shift += 8) {
      sid.push_back(static_cast<char>((sub >> shift) & 0xffu));
    }
  }
  return sid;
}

// "\xx" for every byte, as a client writes binary assertion values.
std::string EscapeBinary(const std::string& bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char byte : bytes) {
    out += '\\';
    out += kHex[byte >> 4];
    out += kHex[byte & 0xfu];
  }
  return out;
}

std::vector<std::string> Sorted(std::vector<std::string> values) {
  std::sort(values.begin(), values.end());
  return values;
}

std::vector<LdifEntry> SearchEntries(const std::string& base,
                                     const std::string& filter,
                                     const std::vector<std::string>& attrs,
                                     const std::string& scope = "sub") {
  return ParseLdif(Server().Search(base, filter, attrs, scope));
}

LdifEntry ReadEntry(const std::string& dn,
                    const std::vector<std::string>& attrs) {
  std::vector<LdifEntry> found =
      SearchEntries(dn, "(objectClass=*)", attrs, "base");
  if (found.size() != 1) {
    ADD_FAILURE() << "expected one entry at " << dn << ", got " << found.size();
    return {};
  }
  return found.front();
}

// ---------------------------------------------------------------------------
// The sample directory
// ---------------------------------------------------------------------------

struct SipCase {
  std::string sip;
  std::string dn;  // empty: the user filter must find nothing
  std::string guid;
  std::string primary_group_id;  // empty: none (contacts)
  std::vector<std::string> member_of;
};

TEST(SampleDirectoryTest, UserFilterFindsPeopleBySipWithDirectMemberOf) {
  const std::vector<SipCase> cases = {
      {"sip:alice@example.test",
       Person("Alice Anderson"),
       SampleGuid(1, kUserKind),
       "513",
       {Group("Engineering Backend")}},
      {"sip:bob@example.test",
       Person("Bob Brown"),
       SampleGuid(2, kUserKind),
       "1105",
       {Group("Team Leads"), Group("Engineering")}},
      {"sip:carol@example.test",
       Person("Carol Clark"),
       SampleGuid(3, kUserKind),
       "513",
       {Group("Web Team")}},
      {"sip:dave@example.test",
       Person("Dave Davis"),
       SampleGuid(4, kUserKind),
       "513",
       {Group("Cycle A")}},
      {"sip:erin@example.test",
       Person("Erin Evans"),
       SampleGuid(6, kUserKind),
       "513",
       {Group("Mirror"), Group("Star*Group")}},
      {"sip:frank@example.test",
       Person("Frank Fischer"),
       SampleGuid(7, kUserKind),
       "513",
       {Group("Sales/Marketing (EMEA)"), Group(kSmithCnAsReturned)}},
      {"sip:grace@example.test",
       Person("Grace Lee/Contractor"),
       SampleGuid(8, kUserKind),
       "513",
       {Group("\xc3\x89quipe Z\xc3\xbcrich"), Group("Partners")}},
      // Stored as sip:Heidi.Hall@Example.Test: matching ignores case.
      {"sip:heidi.hall@example.test",
       Person("Heidi Hall"),
       SampleGuid(9, kUserKind),
       "513",
       {}},
      {"sip:karl@partner.example",
       Contact("Karl Klein"),
       SampleGuid(1, kContactKind),
       "",
       {Group("Partners")}},
      {"sip:laura@partner.example",
       Contact("Laura Lang"),
       SampleGuid(2, kContactKind),
       "",
       {}},
      // A computer with a SIP address: objectCategory is not person.
      {"sip:ws-0001@example.test", "", "", "", {}},
      {"sip:ivan@example.test", "", "", "", {}},
      {"alice@example.test", "", "", "", {}},
  };
  for (const SipCase& c : cases) {
    SCOPED_TRACE(c.sip);
    std::vector<LdifEntry> found =
        SearchEntries(kBase, UserFilter(c.sip), kUserAttrs);
    if (c.dn.empty()) {
      EXPECT_TRUE(found.empty());
      continue;
    }
    ASSERT_EQ(found.size(), 1u);
    const LdifEntry& entry = found.front();
    EXPECT_EQ(entry.dn, c.dn);
    EXPECT_TRUE(entry.IsBase64("objectGUID"));
    EXPECT_EQ(entry.Get("objectGUID"), std::vector<std::string>{c.guid});
    EXPECT_EQ(Sorted(entry.Get("memberOf")), Sorted(c.member_of));
    if (c.primary_group_id.empty()) {
      EXPECT_TRUE(entry.Get("primaryGroupID").empty());
      EXPECT_TRUE(entry.Get("objectSid").empty());
    } else {
      EXPECT_EQ(entry.Get("primaryGroupID"),
                std::vector<std::string>{c.primary_group_id});
      ASSERT_TRUE(entry.IsBase64("objectSid"));
      ASSERT_EQ(entry.Get("objectSid").front().size(), kDomainSidBytes);
      EXPECT_EQ(entry.Get("objectSid").front().substr(0, kDomainSidBytes - 4),
                SampleSid(0).substr(0, kDomainSidBytes - 4));
    }
  }
}

TEST(SampleDirectoryTest, AddressAttributesKeepEveryForm) {
  LdifEntry alice =
      SearchEntries(kBase, UserFilter("sip:alice@example.test"), kUserAttrs)
          .at(0);
  EXPECT_EQ(alice.Get("mail"), std::vector<std::string>{"alice@example.test"});
  EXPECT_EQ(alice.Get("proxyAddresses").size(), 5u);
  LdifEntry frank =
      SearchEntries(kBase, UserFilter("sip:frank@example.test"), kUserAttrs)
          .at(0);
  const std::vector<std::string> frank_proxies = frank.Get("proxyAddresses");
  EXPECT_NE(std::find(frank_proxies.begin(), frank_proxies.end(), "SMTP:"),
            frank_proxies.end());
  LdifEntry erin =
      SearchEntries(kBase, UserFilter("sip:erin@example.test"), kUserAttrs)
          .at(0);
  EXPECT_TRUE(erin.Get("mail").empty());
  EXPECT_TRUE(erin.Get("proxyAddresses").empty());
}

// What the schema file documents about `name` and `distinguishedName`.
TEST(SampleDirectoryTest, NameAndDistinguishedNameReturnTheirSubtypes) {
  LdifEntry group =
      ReadEntry(Group("Team Leads"), {"name", "distinguishedName"});
  EXPECT_EQ(group.Get("name"), std::vector<std::string>{"Team Leads"});
  EXPECT_EQ(group.Get("cn"), std::vector<std::string>{"Team Leads"});
  EXPECT_TRUE(group.Get("distinguishedName").empty());
  EXPECT_EQ(group.Get("member"), std::vector<std::string>{Person("Bob Brown")});
}

struct GroupCase {
  std::string cn;
  std::vector<std::string> member_of;
};

TEST(SampleDirectoryTest, GroupMemberOfListsDirectParentsOnly) {
  const std::vector<GroupCase> cases = {
      {"Engineering Backend", {Group("Engineering")}},
      {"Web Team", {Group("Engineering"), Group("Design")}},
      {"Cycle A", {Group("Cycle B")}},
      {"Cycle B", {Group("Cycle A")}},
      {"Mirror", {Group("Mirror")}},
      {"\xc3\x89quipe Z\xc3\xbcrich", {Group("Sales/Marketing (EMEA)")}},
      {"All Staff", {}},
      {"Domain Users", {}},
  };
  for (const GroupCase& c : cases) {
    SCOPED_TRACE(c.cn);
    LdifEntry group = ReadEntry(Group(c.cn), kGroupAttrs);
    EXPECT_EQ(Sorted(group.Get("memberOf")), Sorted(c.member_of));
    EXPECT_TRUE(group.IsBase64("objectGUID"));
    EXPECT_EQ(group.Get("groupType").size(), 1u);
  }
  // Primary group membership is implicit, as in AD.
  EXPECT_TRUE(
      SearchEntries(kBase, "(memberOf=" + Group("Domain Users") + ")", {"dn"})
          .empty());
}

struct BinaryCase {
  std::string attribute;
  std::string value;
  std::string dn;  // empty: no group has it
};

TEST(SampleDirectoryTest, GroupsAreFoundByEscapedBinarySidAndGuid) {
  const std::vector<BinaryCase> cases = {
      {"objectSid", SampleSid(513), Group("Domain Users")},
      {"objectSid", SampleSid(1105), Group("Team Leads")},
      {"objectSid", SampleSid(1101), ""},  // Alice is no group
      {"objectGUID", SampleGuid(0x2a, kGroupKind), Group("Star*Group")},
      {"objectGUID", SampleGuid(0x5c, kGroupKind),
       Group("\xc3\x89quipe Z\xc3\xbcrich")},
      {"objectGUID", SampleGuid(0x28, kGroupKind),
       Group("Sales/Marketing (EMEA)")},
      {"objectGUID", SampleGuid(0x77, kGroupKind), ""},
  };
  for (const BinaryCase& c : cases) {
    SCOPED_TRACE(c.dn + " " + EscapeBinary(c.value));
    std::vector<LdifEntry> found =
        SearchEntries(kBase,
                      "(&(objectClass=group)(" + c.attribute + "=" +
                          EscapeBinary(c.value) + "))",
                      kGroupAttrs);
    if (c.dn.empty()) {
      EXPECT_TRUE(found.empty());
      continue;
    }
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found.front().dn, c.dn);
  }
  LdifEntry domain_users =
      SearchEntries(kBase,
                    "(&(objectClass=group)(objectSid=" +
                        EscapeBinary(SampleSid(513)) + "))",
                    kGroupAttrs)
          .at(0);
  EXPECT_EQ(domain_users.Get("groupType"),
            std::vector<std::string>{"-2147483646"});
  EXPECT_EQ(domain_users.Get("objectGUID"),
            std::vector<std::string>{SampleGuid(1, kGroupKind)});
}

TEST(SampleDirectoryTest, GroupDnsWithSpecialCharactersReadByBaseScope) {
  struct SpecialGroup {
    std::string cn;
    std::string returned_cn;
    int guid_number;
  };
  const std::vector<SpecialGroup> groups = {
      {"Sales/Marketing (EMEA)", "Sales/Marketing (EMEA)", 0x28},
      {"Star*Group", "Star*Group", 0x2a},
      {kSmithCn, kSmithCnAsReturned, 0x2c},
      {kSmithCnAsReturned, kSmithCnAsReturned, 0x2c},
      {"\xc3\x89quipe Z\xc3\xbcrich", "\xc3\x89quipe Z\xc3\xbcrich", 0x5c},
  };
  for (const auto& [cn, returned_cn, number] : groups) {
    SCOPED_TRACE(cn);
    LdifEntry group = ReadEntry(Group(cn), kGroupAttrs);
    EXPECT_EQ(group.dn, Group(returned_cn));
    EXPECT_EQ(group.Get("objectGUID"),
              std::vector<std::string>{SampleGuid(number, kGroupKind)});
  }
  EXPECT_EQ(Server().Search(Group("No Such Group"), "(objectClass=*)",
                            kGroupAttrs, "base"),
            "");
}

TEST(SampleDirectoryTest, EmptyBaseSearchesRunFromTheSuffix) {
  std::vector<LdifEntry> found =
      SearchEntries("", UserFilter("sip:alice@example.test"), {"name"});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found.front().dn, Person("Alice Anderson"));
  LdifEntry root_dse = ReadEntry("", {"namingContexts"});
  EXPECT_EQ(root_dse.Get("namingContexts"), std::vector<std::string>{kBase});
}

TEST(SampleDirectoryTest, ModifyKeepsMemberOfCurrent) {
  const std::string heidi = Person("Heidi Hall");
  Server().Modify("dn: " + Group("Engineering") +
                  "\nchangetype: modify\nadd: member\nmember: " + heidi +
                  "\n-\n");
  EXPECT_EQ(ReadEntry(heidi, {"memberOf"}).Get("memberOf"),
            std::vector<std::string>{Group("Engineering")});
  Server().Modify("dn: " + Group("Engineering") +
                  "\nchangetype: modify\ndelete: member\nmember: " + heidi +
                  "\n-\n");
  EXPECT_TRUE(ReadEntry(heidi, {"memberOf"}).Get("memberOf").empty());
  EXPECT_THROW(
      Server().Modify("dn: cn=Nobody," + kBase + "\nchangetype: delete\n"),
      std::runtime_error);
}

TEST(SampleDirectoryTest, ServiceAccountNeedsItsPassword) {
  struct stat info {};
  ASSERT_EQ(::stat(Server().service_password_file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const std::string password = Server().service_password();
  EXPECT_FALSE(password.empty());
  EXPECT_EQ(password.find('\n'), std::string::npos);

  ProgramResult wrong =
      RunProgram({"ldapsearch", "-x", "-LLL", "-H", Server().url(), "-D",
                  Server().service_dn(), "-w", "not-the-password", "-b", kBase,
                  "-s", "base", "(objectClass=*)"});
  EXPECT_EQ(wrong.exit_code, kLdapInvalidCredentials);
  ProgramResult anonymous =
      RunProgram({"ldapsearch", "-x", "-LLL", "-H", Server().url(), "-b",
                  Group("Mirror"), "-s", "base", "(objectClass=*)", "cn"});
  EXPECT_EQ(anonymous.exit_code, 0) << anonymous.err;
}

TEST(SampleDirectoryTest, LdapsTrustsOnlyTheServersCa) {
  ASSERT_TRUE(Server().tls());
  ProgramResult trusted =
      Server().RunSearch(Server().ldaps_url(), Server().ca_file(), kBase,
                         UserFilter("sip:alice@example.test"), {"name"});
  EXPECT_EQ(trusted.exit_code, 0) << trusted.err;
  EXPECT_NE(trusted.out.find("name: Alice Anderson"), std::string::npos);

  ProgramResult untrusted =
      Server().RunSearch(Server().ldaps_url(), Server().other_ca_file(), kBase,
                         UserFilter("sip:alice@example.test"), {"name"});
  EXPECT_NE(untrusted.exit_code, 0);
  EXPECT_TRUE(untrusted.out.empty());
}

// Leaves the server running, as the other tests need it.
TEST(SampleDirectoryTest, PauseStopAndRestartKeepPortAndData) {
  SlapdServer& server = Server();
  const int port = server.port();
  const pid_t pid = server.pid();
  ASSERT_TRUE(server.Answers(kAnswerWait));

  server.Pause();
  EXPECT_TRUE(server.paused());
  EXPECT_FALSE(server.Answers(kNoAnswerWait));
  server.Resume();
  EXPECT_TRUE(server.Answers(kAnswerWait));
  EXPECT_EQ(server.pid(), pid);

  server.Pause();
  server.Stop();  // stopping a paused server must not hang
  EXPECT_FALSE(server.running());
  EXPECT_FALSE(server.Answers(kNoAnswerWait));
  EXPECT_THROW(server.Search(kBase, "(objectClass=*)", {"dn"}, "base"),
               std::runtime_error);

  server.Restart();
  EXPECT_TRUE(server.running());
  EXPECT_NE(server.pid(), pid);
  EXPECT_EQ(server.port(), port);
  std::vector<LdifEntry> found =
      SearchEntries(kBase, UserFilter("sip:bob@example.test"), kUserAttrs);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(Sorted(found.front().Get("memberOf")),
            Sorted({Group("Team Leads"), Group("Engineering")}));
  ProgramResult tls =
      server.RunSearch(server.ldaps_url(), server.ca_file(), kBase,
                       UserFilter("sip:bob@example.test"), {"name"});
  EXPECT_EQ(tls.exit_code, 0) << tls.err;
}

// Leaves the server running.  Another process took the port while slapd was
// down: Restart must say so instead of moving to another port.
TEST(SampleDirectoryTest, RestartReportsAPortTakenMeanwhile) {
  SlapdServer& server = Server();
  const int port = server.port();
  server.Stop();
  {
    int blocker = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(blocker, 0);
    // The port has connections in TIME_WAIT, as it would for slapd itself.
    const int on = 1;
    ::setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool bound = ::bind(blocker, reinterpret_cast<sockaddr*>(&address),
                              sizeof(address)) == 0 &&
                       ::listen(blocker, 1) == 0;
    if (bound) {
      try {
        server.Restart();
        ADD_FAILURE() << "restarted on a port another process holds";
      } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("Address already in use"),
                  std::string::npos)
            << e.what();
      }
      EXPECT_FALSE(server.running());
    }
    ::close(blocker);
    ASSERT_TRUE(bound) << "could not occupy port " << port;
  }
  server.Restart();
  EXPECT_EQ(server.port(), port);
  EXPECT_TRUE(server.Answers(kAnswerWait));
}

TEST(SlapdServerStartTest, FailuresExplainThemselves) {
  SlapdOptions missing;
  missing.ldif_files = {"testdata/no-such-file.ldif"};
  try {
    SlapdServer::Start(missing);
    ADD_FAILURE() << "started without its data";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("no-such-file.ldif"),
              std::string::npos);
  }

  // A user without objectGUID breaks the schema: slapadd says so.
  SlapdOptions invalid;
  invalid.ldif_files.clear();
  invalid.ldif_writers.push_back([](std::ostream& out) {
    out << "dn: dc=example,dc=test\nobjectClass: domain\ndc: example\n\n"
           "dn: cn=Broken,dc=example,dc=test\nobjectClass: user\n"
           "cn: Broken\nsn: Broken\nobjectCategory: person\n\n";
  });
  try {
    SlapdServer::Start(invalid);
    ADD_FAILURE() << "started with an entry the schema forbids";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("slapadd"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("objectGUID"), std::string::npos)
        << e.what();
  }
}

TEST(LdifTest, ParsesFoldedBase64AndCommentLines) {
  std::vector<LdifEntry> entries = ParseLdif(
      "version: 1\n"
      "# a comment\n"
      "#  folded comment\n"
      "dn: cn=A,dc=x\n"
      "description: folded\n"
      "  value\n"
      "objectGUID:: AQID\n"
      "proxyAddresses: SMTP:\n"
      "\n"
      "dn:: Y249w4k=\n"
      "cn: \xc3\x89\n");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].dn, "cn=A,dc=x");
  EXPECT_EQ(entries[0].Get("DESCRIPTION"),
            std::vector<std::string>{"folded value"});
  EXPECT_EQ(entries[0].Get("objectGUID"),
            std::vector<std::string>{"\x01\x02\x03"});
  EXPECT_TRUE(entries[0].IsBase64("objectGUID"));
  EXPECT_FALSE(entries[0].IsBase64("proxyAddresses"));
  EXPECT_EQ(entries[0].Get("proxyAddresses"),
            std::vector<std::string>{"SMTP:"});
  EXPECT_EQ(entries[1].dn, "cn=\xc3\x89");
  EXPECT_THROW(ParseLdif("cn: no dn first\n"), std::runtime_error);
}

// ---------------------------------------------------------------------------
// The generated directory
// ---------------------------------------------------------------------------

#ifdef USERPOLICY_HAVE_DIRGEN

using bench::GeneratedDirectory;
using bench::GeneratorOptions;

TEST(DirectoryGeneratorTest, DefaultDirectoryHasTheAdvertisedShape) {
  const GeneratorOptions options;
  const GeneratedDirectory dir = bench::GenerateDirectory(options);
  ASSERT_EQ(dir.users.size(), 10000u);
  ASSERT_EQ(dir.groups.size(), 2000u);
  EXPECT_TRUE(
      dir.groups[static_cast<size_t>(dir.domain_users)].member_users.empty());

  std::set<std::string> sips;
  size_t total = 0;
  for (size_t i = 0; i < dir.users.size(); ++i) {
    sips.insert(dir.users[i].sip_address);
    total += bench::TransitiveGroups(dir, static_cast<int>(i)).size();
  }
  EXPECT_EQ(sips.size(), dir.users.size());
  const double mean = static_cast<double>(total) / dir.users.size();
  EXPECT_GT(mean, 25.0);
  EXPECT_LT(mean, 35.0);

  for (int n = 1; n <= options.eleven_user_count; ++n) {
    const std::string sip = bench::ElevenSipAddress(n, options);
    auto user =
        std::find_if(dir.users.begin(), dir.users.end(),
                     [&](const auto& u) { return u.sip_address == sip; });
    ASSERT_NE(user, dir.users.end()) << sip;
    EXPECT_EQ(
        bench::TransitiveGroups(dir, static_cast<int>(user - dir.users.begin()))
            .size(),
        static_cast<size_t>(bench::kElevenGroupCount));
  }
  EXPECT_EQ(dir.users.front().sip_address, "sip:user00001@example.test");

  // Some group reaches itself: the nesting has cycles.
  bool cycle = false;
  for (size_t g = 0; g < dir.groups.size() && !cycle; ++g) {
    std::vector<int> stack(dir.groups[g].parents);
    std::set<int> seen;
    while (!stack.empty() && !cycle) {
      int at = stack.back();
      stack.pop_back();
      cycle = at == static_cast<int>(g);
      if (seen.insert(at).second) {
        for (int p : dir.groups[static_cast<size_t>(at)].parents) {
          stack.push_back(p);
        }
      }
    }
  }
  EXPECT_TRUE(cycle);
}

TEST(DirectoryGeneratorTest, OutputDependsOnlyOnTheOptions) {
  GeneratorOptions options;
  options.user_count = 500;
  options.group_count = 150;
  std::ostringstream first, second, other;
  bench::WriteGeneratedDirectory(first, options);
  bench::WriteGeneratedDirectory(second, options);
  options.seed += 1;
  bench::WriteGeneratedDirectory(other, options);
  EXPECT_EQ(first.str(), second.str());
  EXPECT_NE(first.str(), other.str());
  EXPECT_EQ(ParseLdif(first.str()).size(), 3u + 500u + 150u);
}

// Loads a small generated directory and follows memberOf through the server
// the way the library does: the groups reached must be the model's.
TEST(DirectoryGeneratorTest, ServerMemberOfMatchesTheModel) {
  GeneratorOptions options;
  options.user_count = 300;
  options.group_count = 100;
  options.eleven_user_count = 2;
  SlapdOptions slapd;
  slapd.ldif_files.clear();
  slapd.ldif_writers.push_back(
      [&](std::ostream& out) { bench::WriteGeneratedDirectory(out, options); });
  std::unique_ptr<SlapdServer> server = SlapdServer::Start(slapd);
  const GeneratedDirectory dir = bench::GenerateDirectory(options);

  for (int user : {0, 150, options.user_count - 1}) {
    const bench::GeneratedUser& model = dir.users[static_cast<size_t>(user)];
    SCOPED_TRACE(model.sip_address);
    std::vector<LdifEntry> found = ParseLdif(
        server->Search(kBase, UserFilter(model.sip_address), kUserAttrs));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found.front().Get("objectGUID").at(0),
              std::string(model.guid.begin(), model.guid.end()));

    std::set<std::string> reached;
    std::vector<std::string> pending = found.front().Get("memberOf");
    while (!pending.empty()) {
      std::string dn = pending.back();
      pending.pop_back();
      if (!reached.insert(dn).second) continue;
      std::vector<LdifEntry> group =
          ParseLdif(server->Search(dn, "(objectClass=*)", kGroupAttrs, "base"));
      ASSERT_EQ(group.size(), 1u) << dn;
      for (const std::string& parent : group.front().Get("memberOf")) {
        pending.push_back(parent);
      }
    }
    std::set<std::string> expected;
    for (int g : bench::TransitiveGroups(dir, user)) {
      expected.insert(dir.groups[static_cast<size_t>(g)].dn);
    }
    EXPECT_EQ(reached, expected);
  }
}

#endif  // USERPOLICY_HAVE_DIRGEN

}  // namespace
}  // namespace userpolicy::testing
