// From IPC_SERVER_Init to IPC_SERVER_Deinit against a real Active Directory
// domain controller (Samba, provisioned on 127.0.0.1), through its Global
// Catalog with a bound service account: <GUID=...> binds, binary objectGUID
// and objectSid, primary groups that are not in memberOf, memberOf computed
// by the server, names with "/", "(", "*" and non-ASCII letters, and a group
// of 1,600 members. Every answer must equal what ldapsearch shows.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "module/module_entry.h"
#include "platform/crt.h"
#include "tests/support/directory_truth.h"
#include "tests/support/samba_dc.h"
#include "tests/support/scoped_settings_file.h"

namespace {

using userpolicy::testing::DirectoryTruth;
using userpolicy::testing::ParseLdif;
using userpolicy::testing::SambaDomainController;
using userpolicy::testing::ScopedSettingsFile;

constexpr char kSipAttribute[] = "msRTCSIP-PrimaryUserAddress";

class EndToEndActiveDirectory : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The install step installs Samba; a machine without it fails here.
    ASSERT_TRUE(SambaDomainController::Available())
        << "the Samba AD DC packages are not installed; run ./run deps";
    dc_ = SambaDomainController::Start().release();
  }
  static void TearDownTestSuite() { delete dc_; }

  void SetUp() override {
    ASSERT_NE(dc_, nullptr);
    settings_ = std::make_unique<ScopedSettingsFile>(
        userpolicy::testing::DirectorySettings(dc_->gc_host_port(), dc_->service_dn(), dc_->service_password_file()));
  }

  static std::vector<std::string> SipAddresses() {
    std::vector<std::string> sips;
    for (const auto& entry :
         ParseLdif(dc_->Search(dc_->test_ou(), "(" + std::string(kSipAttribute) + "=*)", {kSipAttribute}))) {
      for (const std::string& sip : entry.Get(kSipAttribute)) sips.push_back(sip);
    }
    return sips;
  }

  static SambaDomainController* dc_;
  std::unique_ptr<ScopedSettingsFile> settings_;
};

SambaDomainController* EndToEndActiveDirectory::dc_ = nullptr;

TEST_F(EndToEndActiveDirectory, EveryTestUserResolvesAsTheDirectorySays) {
  ASSERT_EQ(IPC_SERVER_Init(), 0);
  const std::vector<std::string> sips = SipAddresses();
  ASSERT_GE(sips.size(), 4u);
  const DirectoryTruth truth(
      [](const std::string& base, const std::string& filter, const std::vector<std::string>& attributes,
         const std::string& scope) { return dc_->Search(base, filter, attributes, scope); },
      dc_->base_dn());
  userpolicy::testing::ExpectLibraryAgreesWithDirectory(truth, sips);
  EXPECT_EQ(IPC_SERVER_Deinit(), 0);
}

}  // namespace
