// Self-test of the slapd fixture: it loads the sample and generated
// directories with memberOf as Active Directory shows it, keeps the service
// account's password private, explains failures and leaves nothing behind,
// and attaches to a server started outside the program without ever
// stopping it.
// (ldap_backend_test's fault cases pause, stop and restart it and use a wrong
// password; its ldaps cases prove its TLS.)

#include "local_directories/slapd_server.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "local_directories/directory_generator.h"
#include "tests/support/end_to_end.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/scoped_settings_file.h"

namespace userpolicy::local_directories {
namespace {

namespace fs = std::filesystem;
using userpolicy::testing::ScopedEnvironment;

bool ProcessGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// One server for the whole program, as every program that needs one has it;
// stopping it must end slapd and remove its directory.
class SampleDirectoryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    try {
      server_ = SlapdServer::Start();
    } catch (const std::exception& e) {
      FAIL() << "cannot start the test directory: " << e.what();
    }
  }
  void TearDown() override {
    if (server_ == nullptr || server_->attached()) return;
    const pid_t pid = server_->pid();
    const std::string dir = server_->work_dir();
    server_.reset();
    EXPECT_TRUE(ProcessGone(pid)) << pid;
    EXPECT_FALSE(fs::exists(dir)) << dir;
  }
  SlapdServer& server() const { return *server_; }

 private:
  std::unique_ptr<SlapdServer> server_;
};

SampleDirectoryEnvironment* const g_sample = static_cast<SampleDirectoryEnvironment*>(
    ::testing::AddGlobalTestEnvironment(std::make_unique<SampleDirectoryEnvironment>().release()));

SlapdServer& Server() { return g_sample->server(); }

const std::string kBase = "dc=example,dc=test";

std::string UserFilter(const std::string& sip) { return "(msRTCSIP-PrimaryUserAddress=" + sip + ")"; }
std::string Group(const std::string& cn) { return "cn=" + cn + ",ou=Groups," + kBase; }

std::vector<std::string> Sorted(std::vector<std::string> values) {
  std::sort(values.begin(), values.end());
  return values;
}

// memberOf of the one entry `filter` finds under `base`, whose binary GUID
// must have loaded as its 16 bytes.
std::vector<std::string> MemberOf(const std::string& base, const std::string& filter,
                                  const std::string& scope = "sub") {
  std::vector<LdifEntry> found = ParseLdif(Server().Search(base, filter, {"memberOf", "objectGUID"}, scope));
  if (found.size() != 1) {
    ADD_FAILURE() << filter << " at " << base << " found " << found.size();
    return {};
  }
  EXPECT_EQ(found[0].Get("objectGUID").at(0).size(), 16u);
  return Sorted(found[0].Get("memberOf"));
}

// Member values go in through the memberof overlay after all entries exist:
// memberOf lists each entry's direct groups spelled as the groups' DNs, also
// with escaped commas, '/' and non-ASCII, for contacts, cycles and a group
// that is its own member.  The service account's password is in a private file.
TEST(SlapdServerTest, SampleLoadsWithMemberOfAsTheDirectoryShowsIt) {
  struct stat info {};
  ASSERT_EQ(::stat(Server().service_password_file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  const std::vector<std::tuple<std::string, std::string, std::vector<std::string>>> cases = {
      {kBase, UserFilter("sip:bob@example.test"), {Group("Engineering"), Group("Team Leads")}},
      {kBase, UserFilter("sip:frank@example.test"),
       {Group("Sales/Marketing (EMEA)"), Group("Smith\\2C Jones and Partners")}},
      {kBase, UserFilter("sip:grace@example.test"), {Group("Partners"), Group("\xc3\x89quipe Z\xc3\xbcrich")}},
      {kBase, UserFilter("sip:karl@partner.example"), {Group("Partners")}},  // a contact
      {Group("Cycle A"), "(objectClass=*)", {Group("Cycle B")}},
      {Group("Mirror"), "(objectClass=*)", {Group("Mirror")}},
  };
  for (const auto& [base, filter, member_of] : cases) {
    SCOPED_TRACE(base + " " + filter);
    EXPECT_EQ(MemberOf(base, filter, base == kBase ? "sub" : "base"), Sorted(member_of));
  }
}

TEST(SlapdServerTest, AFailedStartExplainsItselfAndLeavesNothing) {
  const std::string tmp = MakeTempDir("slapd-server-test-");
  const char* old_tmpdir = std::getenv("TMPDIR");
  const std::string saved = old_tmpdir != nullptr ? old_tmpdir : "";
  ::setenv("TMPDIR", tmp.c_str(), 1);

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
    EXPECT_NE(std::string(e.what()).find("slapadd"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("objectGUID"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(fs::is_empty(tmp)) << "left behind in " << tmp;
  saved.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", saved.c_str(), 1);
  fs::remove_all(tmp);
}

// The description of the program's own server, as whatever started it
// would give it to a program that cannot start one.
ScopedEnvironment::Values Described(const std::string& address, const std::optional<std::string>& password_file,
                                    const std::optional<std::string>& base_dn = std::nullopt) {
  const std::string name = kExternalSlapdVariable;
  return {{name, address},
          {name + "_PASSWORD_FILE", password_file},
          {name + "_BASE_DN", base_dn},
          {name + "_SERVICE_DN", std::nullopt}};
}

// A program that cannot start slapd runs against one started outside it:
// the attached object gives the library that server's address and account,
// refuses to stop, pause or restart what it did not start, and leaves the
// server running when it goes.
TEST(SlapdServerTest, AttachesToTheServerTheEnvironmentDescribes) {
  const pid_t pid = Server().pid();
  ASSERT_GT(pid, 0);
  {
    const ScopedEnvironment environment(Described(Server().host_port(), Server().service_password_file()));
    std::unique_ptr<SlapdServer> attached = SlapdServer::Start();
    EXPECT_TRUE(attached->attached());
    EXPECT_EQ(attached->pid(), -1);
    EXPECT_EQ(attached->host_port(), Server().host_port());
    EXPECT_EQ(attached->base_dn(), Server().base_dn());
    EXPECT_EQ(attached->service_dn(), Server().service_dn());
    {
      const userpolicy::testing::ScopedSettingsFile settings(userpolicy::testing::DirectorySettings(
          attached->host_port(), attached->service_dn(), attached->service_password_file()));
      userpolicy::testing::ExpectColdAndWarmPassesAsTheDirectorySays(*attached, attached->base_dn(), 5);
    }
    EXPECT_THROW(attached->Stop(), std::logic_error);
    EXPECT_THROW(attached->Pause(), std::logic_error);
    EXPECT_THROW(attached->Resume(), std::logic_error);
    EXPECT_THROW(attached->Restart(), std::logic_error);
    const std::string dir = attached->work_dir();
    attached.reset();
    EXPECT_FALSE(fs::exists(dir)) << dir;
  }
  EXPECT_FALSE(ProcessGone(pid));
  EXPECT_TRUE(fs::exists(Server().work_dir() + "/slapd.conf"));
  EXPECT_TRUE(Server().running());
  EXPECT_EQ(ParseLdif(Server().Search(kBase, "(objectClass=*)", {"1.1"}, "base")).size(), 1u);
}

// A description that is incomplete, points off this machine, leaves the
// password readable by others or does not let the account read the base is
// refused, naming what is wrong; so are options an attached server cannot
// honour.
TEST(SlapdServerTest, RefusesADescriptionItCannotUse) {
  const std::string dir = MakeTempDir("slapd-attach-test-");
  const std::string password = Server().service_password_file();
  const std::string readable = dir + "/readable.pw";
  const std::string wrong = dir + "/wrong.pw";
  WritePrivateFile(readable, Server().service_password());
  ASSERT_EQ(::chmod(readable.c_str(), 0644), 0);
  WritePrivateFile(wrong, "not-the-password");
  const std::string here = Server().host_port();
  const std::vector<std::tuple<std::string, std::optional<std::string>, std::optional<std::string>, std::string>>
      cases = {
          {"127.0.0.1", password, std::nullopt, "USERPOLICY_TEST_SLAPD=127.0.0.1: want HOST:PORT"},
          {"192.0.2.1:389", password, std::nullopt, "IPv4 loopback"},
          {"localhost:389", password, std::nullopt, "IPv4 loopback"},
          {"127.0.0.1:65536", password, std::nullopt, "port"},
          {here, std::nullopt, std::nullopt, "USERPOLICY_TEST_SLAPD_PASSWORD_FILE: not set"},
          {here, dir + "/missing.pw", std::nullopt, "not a readable file"},
          {here, readable, std::nullopt, "mode 0600"},
          {here, wrong, std::nullopt, "cannot read the base DN"},
          {here, password, "dc=elsewhere,dc=test", "dc=elsewhere,dc=test"},
      };
  for (const auto& [address, password_file, base_dn, complaint] : cases) {
    SCOPED_TRACE(address + " " + password_file.value_or("(no password file)") + " " + base_dn.value_or(""));
    const ScopedEnvironment environment(Described(address, password_file, base_dn));
    try {
      SlapdServer::Start();
      ADD_FAILURE() << "attached";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(complaint), std::string::npos) << e.what();
    }
  }

  const ScopedEnvironment environment(Described(here, password));
  SlapdOptions tls;
  tls.tls = true;
  SlapdOptions generated;
  generated.ldif_writers.push_back([](std::ostream&) {});
  SlapdOptions unchecked;
  unchecked.unchecked_ldif_writers.push_back([](std::ostream&) {});
  SlapdOptions logged;
  logged.log_operations = true;
  for (const SlapdOptions& options : {tls, generated, unchecked, logged}) {
    try {
      SlapdServer::Start(options);
      ADD_FAILURE() << "attached with options it cannot honour";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("ask for other data, TLS or its operation log"), std::string::npos)
          << e.what();
    }
  }
  fs::remove_all(dir);
}

// Loading parses and rewrites LDIF: folded lines, comments and values that
// LDIF cannot hold as they are.
TEST(LdifTest, HandlesFoldedLinesAndValuesThatNeedBase64) {
  std::vector<LdifEntry> entries = ParseLdif("version: 1\n#  folded\n comment\ndn: cn=A\ndescription: fol\n ded\n");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].Get("DESCRIPTION"), std::vector<std::string>{"folded"});
  EXPECT_THROW(ParseLdif("cn: no dn first\n"), std::runtime_error);
  EXPECT_EQ(LdifLine("dn", "plain"), "dn: plain\n");
  for (const std::string& value : {std::string(":x"), std::string(" x"), std::string("x "), std::string("<x"),
                                    std::string("a\0b\n", 4), std::string("\xc3\x89")}) {
    EXPECT_TRUE(LdifLine("dn", value).starts_with("dn:: ")) << value;
    EXPECT_EQ(ParseLdif(LdifLine("dn", value))[0].dn, value);
  }
}

// The generator's promised shape: sizes, unique SIP addresses, about 30
// groups per user, cycles, and the "eleven" users last.
TEST(DirectoryGeneratorTest, DefaultDirectoryHasTheAdvertisedShape) {
  const GeneratorOptions options;
  const GeneratedDirectory dir = GenerateDirectory(options);
  ASSERT_EQ(dir.users.size(), 10000u);
  ASSERT_EQ(dir.groups.size(), 2000u);
  EXPECT_TRUE(dir.groups[static_cast<size_t>(dir.domain_users)].member_users.empty());
  EXPECT_EQ(dir.users.front().sip_address, "sip:user00001@example.test");
  std::set<std::string> sips;
  size_t total = 0;
  for (size_t i = 0; i < dir.users.size(); ++i) {
    sips.insert(dir.users[i].sip_address);
    total += TransitiveGroups(dir, static_cast<int>(i)).size();
  }
  EXPECT_EQ(sips.size(), dir.users.size());
  EXPECT_NEAR(static_cast<double>(total) / dir.users.size(), 30.0, 5.0);
  for (int n = 1; n <= options.eleven_user_count; ++n) {
    const int user = options.user_count - options.eleven_user_count + n - 1;
    EXPECT_EQ(dir.users[static_cast<size_t>(user)].sip_address, ElevenSipAddress(n, options));
    EXPECT_EQ(TransitiveGroups(dir, user).size(), static_cast<size_t>(kElevenGroupCount));
  }
  const auto reaches_itself = [&](const GeneratedGroup& g) {
    const int self = static_cast<int>(&g - dir.groups.data());
    std::vector<int> pending(g.parents);
    std::set<int> seen;
    while (!pending.empty()) {
      const int at = pending.back();
      pending.pop_back();
      if (at == self) return true;
      if (seen.insert(at).second) {
        for (int p : dir.groups[static_cast<size_t>(at)].parents) pending.push_back(p);
      }
    }
    return false;
  };
  EXPECT_TRUE(std::any_of(dir.groups.begin(), dir.groups.end(), reaches_itself));
}

// The LDIF is deterministic, and a server loaded with it shows through
// memberOf the groups the model says a user reaches.
TEST(DirectoryGeneratorTest, ServerMemberOfMatchesTheModel) {
  GeneratorOptions options;
  options.user_count = 300;
  options.group_count = 100;
  options.eleven_user_count = 2;
  std::ostringstream first, second;
  WriteGeneratedDirectory(first, options);
  WriteGeneratedDirectory(second, options);
  EXPECT_EQ(first.str(), second.str());

  SlapdOptions slapd;
  slapd.ldif_files.clear();
  slapd.ldif_writers.push_back([&](std::ostream& out) { out << first.str(); });
  std::unique_ptr<SlapdServer> server = SlapdServer::Start(slapd);
  const GeneratedDirectory dir = GenerateDirectory(options);
  for (int user : {0, 150, options.user_count - 1}) {
    SCOPED_TRACE(user);
    std::set<std::string> reached, expected;
    std::vector<std::string> pending = {dir.users[static_cast<size_t>(user)].dn};
    while (!pending.empty()) {
      const std::string dn = pending.back();
      pending.pop_back();
      std::vector<LdifEntry> found = ParseLdif(server->Search(dn, "(objectClass=*)", {"memberOf"}, "base"));
      ASSERT_EQ(found.size(), 1u) << dn;
      for (const std::string& parent : found[0].Get("memberOf")) {
        if (reached.insert(parent).second) pending.push_back(parent);
      }
    }
    for (int g : TransitiveGroups(dir, user)) expected.insert(dir.groups[static_cast<size_t>(g)].dn);
    EXPECT_EQ(reached, expected);
  }
}

}  // namespace
}  // namespace userpolicy::local_directories
