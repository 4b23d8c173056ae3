// Runs tests/capi_ctypes.py, which calls libuserpolicy.so from Python
// through ctypes, against a slapd of this program's own: the expected
// answers of every sample user (worked out from ldapsearch output) go to
// the script in a JSON file, the settings in a settings file it names in
// up_options.
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "local_directories/slapd_server.h"
#include "platform/settings.h"
#include "tests/support/directory_truth.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/scoped_settings_file.h"

namespace {

using userpolicy::local_directories::MakeTempDir;
using userpolicy::local_directories::ParseLdif;
using userpolicy::local_directories::RunProgram;
using userpolicy::local_directories::SlapdServer;


TEST(CInterfaceFromPython, EverySampleUserResolvesThroughCtypes) {
  const std::unique_ptr<SlapdServer> server = SlapdServer::Start();
  userpolicy::testing::ScopedSettingsFile settings(userpolicy::testing::DirectorySettings(
      server->host_port(), server->service_dn(), server->service_password_file()));
  userpolicy::testing::SetEnvironment(kSettingsPathVariable, std::nullopt);  // the script names the file in up_options

  const userpolicy::testing::DirectoryTruth truth = userpolicy::testing::TruthOf(*server);
  nlohmann::json expected;
  expected["users"] = nlohmann::json::array();
  for (const std::string& sip : userpolicy::testing::SipAddressesOf(*server, server->base_dn())) {
    const auto user = truth.User(sip);
    expected["users"].push_back({{"sip", sip},
                                 {"guids", user ? truth.Guids(*user) : std::vector<std::string>{}},
                                 {"email", user ? userpolicy::testing::DirectoryTruth::Email(*user) : ""}});
  }
  ASSERT_GE(expected["users"].size(), 10u);
  expected["unknown"] = "sip:nobody@example.test";
  expected["closed_server"] =  // nothing listens there
      "127.0.0.1:" + std::to_string(userpolicy::local_directories::PickFreeLoopbackPort());
  const std::string work_dir = MakeTempDir("capi-ctypes-");
  const std::string expected_file = work_dir + "/expected.json";
  std::ofstream(expected_file) << expected.dump(2);

  // A sanitizer build's library needs the sanitizer's runtime loaded
  // first; Python's own allocations are not ours to check for leaks.
  std::vector<std::string> argv = {"env"};
  const std::string runtime = USERPOLICY_SANITIZER_RUNTIME;
  if (!runtime.empty()) {
    argv.push_back("LD_PRELOAD=" + runtime);
    argv.push_back("ASAN_OPTIONS=detect_leaks=0");
  }
  argv.insert(argv.end(), {USERPOLICY_PYTHON, std::string(USERPOLICY_SOURCE_DIR) + "/tests/capi_ctypes.py",
                           USERPOLICY_LIBRARY_PATH, settings.path(), expected_file});
  const auto result = RunProgram(argv, std::chrono::minutes(5));
  std::remove(expected_file.c_str());
  rmdir(work_dir.c_str());
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("0 failed checks"), std::string::npos) << result.out << result.err;
}

}  // namespace
