// From IPC_SERVER_Init to IPC_SERVER_Deinit against a real Active Directory
// domain controller (Samba, provisioned on 127.0.0.1), through its Global
// Catalog with a bound service account: <GUID=...> binds, binary objectGUID
// and objectSid, primary groups that are not in memberOf, memberOf computed
// by the server, names with "/", "(", "*" and non-ASCII letters, and a group
// of 1,600 members. Every answer, cold and again from the caches, must equal
// what ldapsearch shows: once with a simple bind, once with a Kerberos bind
// from the service account's keytab, so that the two runs agree user for
// user. Reading the group walks ahead changes no answer, log line, counter
// or read. The attribute definitions read on demand from the schema naming
// context type values as the server's whole subschema does. The program
// re-runs itself under nss_wrapper so that the controller's host name,
// which Kerberos needs, resolves.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "local_directories/nss_wrapper.h"
#include "local_directories/samba_dc.h"
#include "tests/support/end_to_end.h"
#include "tests/support/resolution_transcript.h"
#include "tests/support/run_all_tests.h"
#include "tests/support/schema_typing.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/scoped_settings_file.h"

namespace {

using userpolicy::local_directories::SambaDomainController;

// One controller for every case of this program.
const SambaDomainController& Dc() {
  static const std::unique_ptr<SambaDomainController> dc = SambaDomainController::Start();
  return *dc;
}

// The install step installs Samba; a machine without it fails here.
#define REQUIRE_SAMBA()                           \
  ASSERT_TRUE(SambaDomainController::Available()) \
      << "the Samba AD DC packages are not installed; run ./run deps"

std::string SimpleBindSettings() {
  return userpolicy::testing::DirectorySettings(Dc().gc_host_port(), Dc().service_dn(), Dc().service_password_file());
}

TEST(EndToEndActiveDirectory, EveryTestUserResolvesAsTheDirectorySaysWithASimpleAndAKerberosBind) {
  REQUIRE_SAMBA();
  {
    SCOPED_TRACE("simple bind");
    userpolicy::testing::ScopedSettingsFile settings(SimpleBindSettings());
    userpolicy::testing::ExpectColdAndWarmPassesAsTheDirectorySays(Dc(), Dc().test_ou(), 4);
  }
  if (Dc().attached()) return;  // a controller started elsewhere has no keytab here
  SCOPED_TRACE("Kerberos bind");
  const userpolicy::testing::ScopedEnvironment environment({{"KRB5_CONFIG", Dc().krb5_conf()}});
  userpolicy::testing::ScopedSettingsFile settings("[DirectoryAccess.DEFAULT]\nGlobalCatalogServers = \"" +
                                                   Dc().gc_host_name_port() +
                                                   "\"\nBindMethod = \"gssapi\"\nKeytabFile = \"" +
                                                   Dc().keytab_file() + "\"\n");
  userpolicy::testing::ExpectColdAndWarmPassesAsTheDirectorySays(Dc(), Dc().test_ou(), 4);
}

TEST(EndToEndActiveDirectory, ReadingGroupsAheadChangesNoAnswerLogLineCounterOrRead) {
  REQUIRE_SAMBA();
  const std::vector<std::string> sips = userpolicy::testing::SipAddressesOf(Dc(), Dc().test_ou());
  ASSERT_GE(sips.size(), 4u);
  userpolicy::testing::ScopedSettingsFile settings(SimpleBindSettings());
  const auto comparison = userpolicy::testing::ExpectReadAheadChangesNothing(settings, SimpleBindSettings(), sips);
  EXPECT_EQ(comparison.read_ahead_reads, comparison.sequential_reads);
  EXPECT_GT(comparison.read_ahead_outstanding, 1);
}

TEST(EndToEndActiveDirectory, DefinitionsReadOnDemandTypeAsTheWholeSubschema) {
  REQUIRE_SAMBA();
  const std::string subschema = "CN=Aggregate,CN=Schema,CN=Configuration," + Dc().base_dn();
  const auto entries =
      userpolicy::local_directories::ParseLdif(Dc().Search(subschema, "(objectClass=*)", {"attributeTypes"}, "base"));
  ASSERT_EQ(entries.size(), 1u);
  const std::vector<std::string> whole = entries.front().Get("attributeTypes");
  const userpolicy::testing::ServerAccess access{Dc().gc_host_port(), Dc().service_dn(), Dc().service_password_file()};

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

int main(int argc, char** argv) {
  userpolicy::local_directories::RunUnderNssWrapper(argv, SambaDomainController::HostsLines());
  return userpolicy::testing::RunAllTests(argc, argv);
}
