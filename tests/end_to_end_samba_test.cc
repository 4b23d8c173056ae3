// From IPC_SERVER_Init to IPC_SERVER_Deinit against a real Active Directory
// domain controller (Samba, provisioned on 127.0.0.1), through its Global
// Catalog with a bound service account: <GUID=...> binds, binary objectGUID
// and objectSid, primary groups that are not in memberOf, memberOf computed
// by the server, names with "/", "(", "*" and non-ASCII letters, and a group
// of 1,600 members. Every answer, cold and again from the caches, must equal
// what ldapsearch shows (the Kerberos bind's resolution is
// kerberos_bind_test's). Reading the group walks ahead changes no answer, log
// line, counter or read. The attribute definitions read on demand from the
// schema naming context type values as the server's whole subschema does.
//
// First the controller fixture itself: one controller at a time, the test
// directory samba_dc.h describes on the Global Catalog, a stop by PID that
// leaves nothing behind, and attaching to a controller started outside the
// program without stopping it. The program re-runs itself under nss_wrapper
// so that the controller's host name, which Kerberos needs, resolves.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "local_directories/nss_wrapper.h"
#include "local_directories/samba_dc.h"
#include "platform/kerberos.h"
#include "tests/support/end_to_end.h"
#include "tests/support/resolution_transcript.h"
#include "tests/support/run_all_tests.h"
#include "tests/support/schema_typing.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/scoped_settings_file.h"

namespace userpolicy::local_directories {
namespace {

class SambaEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    // The install step installs Samba: a machine without it fails here.
    if (!SambaDomainController::Available()) FAIL() << "the Samba AD DC packages are not installed; run ./run deps";
    try {
      dc_ = SambaDomainController::Start();
    } catch (const std::exception& e) {
      FAIL() << "cannot start the domain controller: " << e.what();
    }
  }
  void TearDown() override {
    if (dc_ == nullptr || dc_->attached()) return;
    const pid_t pid = dc_->pid();
    const std::string dir = dc_->work_dir();
    dc_.reset();
    EXPECT_TRUE(::kill(pid, 0) != 0 && errno == ESRCH) << "samba " << pid << " still runs";
    EXPECT_FALSE(std::filesystem::exists(dir)) << dir;
  }
  const SambaDomainController* dc() const { return dc_.get(); }

 private:
  std::unique_ptr<SambaDomainController> dc_;
};

SambaEnvironment* const g_samba = static_cast<SambaEnvironment*>(
    ::testing::AddGlobalTestEnvironment(std::make_unique<SambaEnvironment>().release()));

class SambaDcTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(g_samba->dc(), nullptr) << "no domain controller"; }
  const SambaDomainController& dc() const { return *g_samba->dc(); }
  std::string Dn(const std::string& cn) const { return "CN=" + cn + "," + dc().test_ou(); }
  std::string SimpleBindSettings() const {
    return userpolicy::testing::DirectorySettings(dc().gc_host_port(), dc().service_dn(),
                                                  dc().service_password_file());
  }

  // Values of `attribute` of the entry at `dn` on the Global Catalog, sorted.
  std::vector<std::string> Values(const std::string& dn, const std::string& attribute) const {
    std::vector<LdifEntry> found = ParseLdif(dc().Search(dn, "(objectClass=*)", {attribute}, "base"));
    if (found.size() != 1) {
      ADD_FAILURE() << dn << " found " << found.size() << " entries";
      return {};
    }
    std::vector<std::string> values = found[0].Get(attribute);
    std::sort(values.begin(), values.end());
    return values;
  }
};

TEST_F(SambaDcTest, ServesTheGlobalCatalogOnLoopbackOneControllerAtATime) {
  EXPECT_EQ(dc().gc_host_port(), "127.0.0.1:3268");
  struct stat st {};
  ASSERT_EQ(::stat(dc().service_password_file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(Values("", "isGlobalCatalogReady"), std::vector<std::string>{"TRUE"});
  EXPECT_EQ(Values("", "defaultNamingContext"), std::vector<std::string>{dc().base_dn()});

  // Kerberos: the service principal names of the controller, the service
  // account's keys, and the host's configuration, in the work directory.
  const std::vector<std::string> spns = Values("CN=UPDC,OU=Domain Controllers," + dc().base_dn(),
                                               "servicePrincipalName");
  for (const std::string spn : {"ldap/updc.userpolicy.test", "GC/updc.userpolicy.test/userpolicy.test"}) {
    EXPECT_NE(std::find(spns.begin(), spns.end(), spn), spns.end()) << spn;
  }
  ASSERT_EQ(::stat(dc().keytab_file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string principal;
  std::string problem;
  EXPECT_TRUE(platform::kerberos::FindKeytabPrincipal(dc().keytab_file(), "", &principal, &problem)) << problem;
  EXPECT_EQ(principal, dc().service_principal());
  const std::string krb5_conf = ReadFile(dc().krb5_conf());
  for (const char* line : {"default_realm = USERPOLICY.TEST", "kdc = 127.0.0.1", "rdns = false"}) {
    EXPECT_NE(krb5_conf.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(dc().keytab_file().rfind(dc().work_dir() + "/", 0), 0u);
  EXPECT_EQ(SambaDomainController::HostsLines(), "127.0.0.1 updc.userpolicy.test updc\n");

  SambaOptions second;
  second.lock_timeout = std::chrono::milliseconds(0);
  try {
    SambaDomainController::Start(second);
    ADD_FAILURE() << "a second controller started";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("another domain controller holds"), std::string::npos) << e.what();
  }
}

// A program that cannot start Samba attaches to the controller that another
// holds the lock for, reads the test directory through it, and leaves it
// running.
TEST_F(SambaDcTest, AttachesToTheControllerTheEnvironmentDescribes) {
  const pid_t pid = dc().pid();
  ASSERT_GT(pid, 0);
  {
    const std::string name = kExternalSambaVariable;
    const userpolicy::testing::ScopedEnvironment environment({{name, dc().gc_host_port()},
                                                              {name + "_PASSWORD_FILE", dc().service_password_file()},
                                                              {name + "_BASE_DN", std::nullopt},
                                                              {name + "_SERVICE_DN", std::nullopt}});
    SambaOptions no_waiting;
    no_waiting.lock_timeout = std::chrono::milliseconds(0);
    std::unique_ptr<SambaDomainController> attached = SambaDomainController::Start(no_waiting);
    EXPECT_TRUE(attached->attached());
    EXPECT_EQ(attached->pid(), -1);
    EXPECT_EQ(attached->gc_host_port(), dc().gc_host_port());
    EXPECT_EQ(attached->base_dn(), dc().base_dn());
    EXPECT_EQ(attached->test_ou(), dc().test_ou());
    EXPECT_EQ(attached->service_dn(), dc().service_dn());
    const std::vector<LdifEntry> alice =
        ParseLdif(attached->Search(Dn("Alice Archer"), "(objectClass=*)", {"mail"}, "base"));
    ASSERT_EQ(alice.size(), 1u);
    EXPECT_EQ(alice[0].Get("mail"), std::vector<std::string>{"alice@userpolicy.test"});
    attached.reset();
  }
  EXPECT_EQ(::kill(pid, 0), 0) << "samba " << pid << " was stopped";
  EXPECT_EQ(Values("", "isGlobalCatalogReady"), std::vector<std::string>{"TRUE"});
}

// The shape the end-to-end test relies on, which agreeing with ldapsearch
// alone would not show: every person, proxyAddresses on the Global Catalog,
// direct memberOf, a primary group other than Domain Users and a ranged group.
TEST_F(SambaDcTest, TheTestDirectoryIsTheDescribedOne) {
  std::vector<std::string> people;
  for (const LdifEntry& e : ParseLdif(
           dc().Search(dc().test_ou(), "(&(objectCategory=person)(msRTCSIP-PrimaryUserAddress=*))", {"cn"}))) {
    people.push_back(e.Get("cn").at(0));
  }
  std::sort(people.begin(), people.end());
  EXPECT_EQ(people, (std::vector<std::string>{"Alice Archer", "Bob/Builder (Ops*)", "Carol Primary", "Dave Cycle",
                                              "External Contact", "Zoë Ångström"}));
  EXPECT_EQ(Values(Dn("Alice Archer"), "proxyAddresses"),
            (std::vector<std::string>{"SMTP:alice@userpolicy.test", "sip:alice@userpolicy.test",
                                      "smtp:a.archer@userpolicy.test"}));

  const std::vector<std::pair<std::string, std::vector<std::string>>> member_of = {
      {"Alice Archer", {Dn("Diamond Bottom"), Dn("Sales")}},
      // Carol's primary group is Sales: Domain Users became an ordinary
      // membership, as on Windows controllers.
      {"Carol Primary", {"CN=Domain Users,CN=Users," + dc().base_dn()}},
      {"Dave Cycle", {Dn("Cycle A")}},
      {"Cycle A", {Dn("Cycle B")}},
      {"Cycle B", {Dn("Cycle A")}},
      {"Diamond Bottom", {Dn("Diamond Left"), Dn("Diamond Right")}},
      {"Diamond Left", {Dn("Diamond Top")}},
      {"Zoë Ångström", {Dn("Grüppe (R/D*)")}},
  };
  for (auto [cn, groups] : member_of) {
    std::sort(groups.begin(), groups.end());
    EXPECT_EQ(Values(Dn(cn), "memberOf"), groups) << cn;
  }
  const std::vector<std::string> sid = Values(Dn("Sales"), "objectSid");
  ASSERT_EQ(sid.size(), 1u);
  uint32_t rid = 0;  // the last sub-authority, little-endian
  for (size_t i = 0; i < 4; ++i) rid |= uint32_t{static_cast<uint8_t>(sid[0][sid[0].size() - 4 + i])} << (8 * i);
  EXPECT_EQ(Values(Dn("Carol Primary"), "primaryGroupID"), std::vector<std::string>{std::to_string(rid)});

  const std::vector<std::string> first = Values(Dn("Big Group"), "member;range=0-1499");
  const std::vector<std::string> rest = Values(Dn("Big Group"), "member;range=1500-*");
  EXPECT_EQ(first.size(), 1500u);
  std::set<std::string> all(first.begin(), first.end());
  all.insert(rest.begin(), rest.end());
  EXPECT_EQ(all.size(), 1600u);
  EXPECT_EQ(all.count(Dn("bulk0000")) + all.count(Dn("bulk1599")), 2u);
}

// The library end to end ----------------------------------------------------------

using EndToEndActiveDirectory = SambaDcTest;

TEST_F(EndToEndActiveDirectory, EveryTestUserResolvesAsTheDirectorySays) {
  userpolicy::testing::ScopedSettingsFile settings(SimpleBindSettings());
  userpolicy::testing::ExpectColdAndWarmPassesAsTheDirectorySays(dc(), dc().test_ou(), 4);
}

TEST_F(EndToEndActiveDirectory, ReadingGroupsAheadChangesNoAnswerLogLineCounterOrRead) {
  const std::vector<std::string> sips = userpolicy::testing::SipAddressesOf(dc(), dc().test_ou());
  ASSERT_GE(sips.size(), 4u);
  userpolicy::testing::ScopedSettingsFile settings(SimpleBindSettings());
  const auto comparison = userpolicy::testing::ExpectReadAheadChangesNothing(settings, SimpleBindSettings(), sips);
  EXPECT_EQ(comparison.read_ahead_reads, comparison.sequential_reads);
  EXPECT_GT(comparison.read_ahead_outstanding, 1);
}

TEST_F(EndToEndActiveDirectory, DefinitionsReadOnDemandTypeAsTheWholeSubschema) {
  const std::string subschema = "CN=Aggregate,CN=Schema,CN=Configuration," + dc().base_dn();
  const auto entries = ParseLdif(dc().Search(subschema, "(objectClass=*)", {"attributeTypes"}, "base"));
  ASSERT_EQ(entries.size(), 1u);
  const std::vector<std::string> whole = entries.front().Get("attributeTypes");
  const userpolicy::testing::ServerAccess access{dc().gc_host_port(), dc().service_dn(), dc().service_password_file()};

  // The managers' attributes: the rootDSE, then one search of the schema
  // naming context that returns their 9 attributeSchema objects.
  const auto managers =
      userpolicy::testing::CompareOnDemandTyping(access, whole, userpolicy::testing::ManagerAttributes());
  EXPECT_EQ(managers.differences, std::vector<std::string>{});
  EXPECT_EQ(managers.searches, 2);
  EXPECT_EQ(managers.types_read, 9u);

  // Every attribute of the schema. Samba's subschema shows userParameters,
  // a Unicode string by its attributeSchema object, as an octet string; no
  // other attribute may differ.
  const std::vector<std::string> names = userpolicy::testing::NamesOfDescriptions(whole);
  ASSERT_GT(names.size(), 1000u);
  const auto all = userpolicy::testing::CompareOnDemandTyping(access, whole, names);
  EXPECT_LE(all.differences.size(), 1u);
  for (const std::string& difference : all.differences) {
    EXPECT_EQ(difference, "userParameters: on demand text, whole bytes");
  }
}

}  // namespace
}  // namespace userpolicy::local_directories

int main(int argc, char** argv) {
  userpolicy::local_directories::RunUnderNssWrapper(
      argv, userpolicy::local_directories::SambaDomainController::HostsLines());
  return userpolicy::testing::RunAllTests(argc, argv);
}
