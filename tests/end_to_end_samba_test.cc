// From IPC_SERVER_Init to IPC_SERVER_Deinit against a real Active Directory
// domain controller (Samba, provisioned on 127.0.0.1), through its Global
// Catalog with a bound service account: <GUID=...> binds, binary objectGUID
// and objectSid, primary groups that are not in memberOf, memberOf computed
// by the server, names with "/", "(", "*" and non-ASCII letters, and a group
// of 1,600 members. Every answer, cold and again from the caches, must equal
// what ldapsearch shows: once with a simple bind, once with a Kerberos bind
// from the service account's keytab, so that the two runs agree user for
// user. The program re-runs itself under nss_wrapper so that the
// controller's host name, which Kerberos needs, resolves.
#include <memory>

#include <gtest/gtest.h>

#include "local_directories/nss_wrapper.h"
#include "local_directories/samba_dc.h"
#include "tests/support/end_to_end.h"
#include "tests/support/run_all_tests.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/scoped_settings_file.h"

namespace {

using userpolicy::local_directories::SambaDomainController;

TEST(EndToEndActiveDirectory, EveryTestUserResolvesAsTheDirectorySaysWithASimpleAndAKerberosBind) {
  // The install step installs Samba; a machine without it fails here.
  ASSERT_TRUE(SambaDomainController::Available()) << "the Samba AD DC packages are not installed; run ./run deps";
  const std::unique_ptr<SambaDomainController> dc = SambaDomainController::Start();
  {
    SCOPED_TRACE("simple bind");
    userpolicy::testing::ScopedSettingsFile settings(
        userpolicy::testing::DirectorySettings(dc->gc_host_port(), dc->service_dn(), dc->service_password_file()));
    userpolicy::testing::ExpectColdAndWarmPassesAsTheDirectorySays(*dc, dc->test_ou(), 4);
  }
  if (dc->attached()) return;  // a controller started elsewhere has no keytab here
  SCOPED_TRACE("Kerberos bind");
  const userpolicy::testing::ScopedEnvironment environment({{"KRB5_CONFIG", dc->krb5_conf()}});
  userpolicy::testing::ScopedSettingsFile settings("[DirectoryAccess.DEFAULT]\nGlobalCatalogServers = \"" +
                                                   dc->gc_host_name_port() +
                                                   "\"\nBindMethod = \"gssapi\"\nKeytabFile = \"" +
                                                   dc->keytab_file() + "\"\n");
  userpolicy::testing::ExpectColdAndWarmPassesAsTheDirectorySays(*dc, dc->test_ou(), 4);
}

}  // namespace

int main(int argc, char** argv) {
  userpolicy::local_directories::RunUnderNssWrapper(argv, SambaDomainController::HostsLines());
  return userpolicy::testing::RunAllTests(argc, argv);
}
