// From IPC_SERVER_Init to IPC_SERVER_Deinit against a real slapd holding the
// sample directory: every sample user's GUID list and e-mail address equal
// what the directory itself says, worked out from ldapsearch output with a
// walk of our own, cold and again from the caches.
#include <memory>

#include <gtest/gtest.h>

#include "local_directories/slapd_server.h"
#include "tests/support/end_to_end.h"
#include "tests/support/scoped_settings_file.h"

namespace {

using userpolicy::local_directories::SlapdServer;

TEST(EndToEnd, EverySampleUserResolvesAsTheDirectorySays) {
  const std::unique_ptr<SlapdServer> server = SlapdServer::Start();
  userpolicy::testing::ScopedSettingsFile settings(userpolicy::testing::DirectorySettings(
      server->host_port(), server->service_dn(), server->service_password_file()));
  userpolicy::testing::ExpectColdAndWarmPassesAsTheDirectorySays(*server, server->base_dn(), 5);
}

}  // namespace
