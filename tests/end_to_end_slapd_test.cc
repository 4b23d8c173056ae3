// From IPC_SERVER_Init to IPC_SERVER_Deinit against a real slapd holding the
// sample directory and a generated one beside it: every sample user's GUID
// list and e-mail address equal what the directory itself says, worked out
// from ldapsearch output with a walk of our own, cold and again from the
// caches; and reading the group walks ahead changes no answer, log line,
// counter or directory read, also when one group of a level fails.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "local_directories/directory_generator.h"
#include "local_directories/slapd_server.h"
#include "platform/ascii.h"
#include "tests/support/end_to_end.h"
#include "tests/support/recorded_reads.h"
#include "tests/support/resolution_transcript.h"
#include "tests/support/scoped_settings_file.h"

namespace {

namespace ldap = platform::ldap;
using userpolicy::local_directories::GeneratorOptions;
using userpolicy::local_directories::SlapdServer;
using userpolicy::testing::ScopedSettingsFile;

// The generated directory, below the sample one, with SIP addresses of its
// own domain.
GeneratorOptions Generated() {
  GeneratorOptions options;
  options.user_count = 300;
  options.group_count = 150;
  options.eleven_user_count = 2;
  options.base_dn = "dc=gen,dc=example,dc=test";
  options.mail_domain = "gen.example.test";
  return options;
}

// One server for every case of this program.
const SlapdServer& Server() {
  static const std::unique_ptr<SlapdServer> server = [] {
    userpolicy::local_directories::SlapdOptions options;
    options.ldif_writers.push_back(
        [](std::ostream& out) { userpolicy::local_directories::WriteGeneratedDirectory(out, Generated()); });
    options.start_timeout = std::chrono::seconds(60);
    return SlapdServer::Start(options);
  }();
  return *server;
}

std::string Settings() {
  return userpolicy::testing::DirectorySettings(Server().host_port(), Server().service_dn(),
                                                Server().service_password_file());
}

bool IsGenerated(const std::string& sip) { return sip.ends_with("@" + Generated().mail_domain); }

std::vector<std::string> AllSips() { return userpolicy::testing::SipAddressesOf(Server(), Server().base_dn()); }

TEST(EndToEnd, EverySampleUserResolvesAsTheDirectorySays) {
  ScopedSettingsFile settings(Settings());
  std::vector<std::string> sips = AllSips();
  sips.erase(std::remove_if(sips.begin(), sips.end(), IsGenerated), sips.end());
  ASSERT_GE(sips.size(), 5u);
  userpolicy::testing::ExpectColdAndWarmPassesAsTheDirectorySays(Server(), sips);
}

TEST(EndToEnd, ReadingGroupsAheadChangesNoAnswerLogLineCounterOrRead) {
  const std::vector<std::string> sips = AllSips();
  ASSERT_GT(sips.size(), static_cast<size_t>(Generated().user_count));
  ScopedSettingsFile settings(Settings());
  const auto comparison = userpolicy::testing::ExpectReadAheadChangesNothing(settings, Settings(), sips);
  // The same entries read and searches made, each as often; several at once
  // only when reading ahead.
  EXPECT_EQ(comparison.read_ahead_reads, comparison.sequential_reads)
      << userpolicy::testing::FirstDifference(comparison.read_ahead_reads, comparison.sequential_reads);
  EXPECT_EQ(comparison.sequential_outstanding, 1);
  EXPECT_GT(comparison.read_ahead_outstanding, 2);
}

TEST(EndToEnd, AGroupThatFailsInTheMiddleOfALevelFailsItsOwnLookupOnly) {
  // A generated user's direct groups are one level of its walk; the middle
  // one's read fails, refused or with the server too busy.
  const auto directory = userpolicy::local_directories::GenerateDirectory(Generated());
  const auto user = std::find_if(directory.users.begin(), directory.users.end(),
                                 [](const auto& u) { return u.groups.size() >= 3; });
  ASSERT_NE(user, directory.users.end());
  const std::string middle = directory.groups[static_cast<size_t>(user->groups[1])].dn;
  const std::vector<std::string> sips = {user->sip_address};
  for (const ldap::Status& failure : {ldap::Status{ldap::kInsufficientAccessRights, "refused", "", false},
                                      ldap::Status{ldap::kBusy, "busy", "", false}}) {
    SCOPED_TRACE(failure.code);
    ScopedSettingsFile settings(Settings());
    const auto comparison = userpolicy::testing::ExpectReadAheadChangesNothing(settings, Settings(), sips,
                                                                              "FailureBackoffMs = 0\n", middle, failure);
    // A refusal read ahead is the answer of the group's own read; a busy
    // server's answer is kept for nobody, and the group's read asks again:
    // one read more of that group, no other.
    std::vector<std::string> expected_reads = comparison.sequential_reads;
    if (failure.code == ldap::kBusy) {
      expected_reads.push_back(platform::AsciiLowercase(middle));
      std::sort(expected_reads.begin(), expected_reads.end());
    }
    EXPECT_EQ(comparison.read_ahead_reads, expected_reads)
        << userpolicy::testing::FirstDifference(comparison.read_ahead_reads, expected_reads);
    const auto& read_ahead = comparison.read_ahead;
    // The failure is the middle group's, at its own lookups (at least one a
    // pass), and no other lookup fails.
    const auto walk_failures = std::count_if(read_ahead.log.begin(), read_ahead.log.end(), [](const std::string& line) {
      return line.find("GetNestedGroupMembershipGuids(") != std::string::npos && line.find("fail") != std::string::npos;
    });
    const auto middle_failures = std::count_if(read_ahead.log.begin(), read_ahead.log.end(), [&](const std::string& line) {
      return line.find("GetNestedGroupMembershipGuids(" + middle + ") fail") != std::string::npos;
    });
    EXPECT_GE(middle_failures, 2);
    EXPECT_EQ(walk_failures, middle_failures);
  }
}

}  // namespace
