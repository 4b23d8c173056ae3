// The Windows build's tests, run from Linux: this program starts slapd with
// the sample directory (and TLS), makes a throwaway wine prefix in a
// temporary directory, and runs under wine
//  - every Windows test program of the cross build (windows_test_programs.txt
//    in that tree), with the server described in the environment as
//    local_directories/slapd_server.h and tests/windows/wldap32_test.cc say;
//  - the end-to-end host (tests/windows/end_to_end_host.cc), whose answers
//    through userpolicy.dll must be those of this Linux build on the same
//    server, line for line (tests/support/module_answers.h).
// wine runs without a display and with WINEDEBUG=-all; at the end the
// wineserver of this program's prefix, and nothing else, is stopped and the
// prefix removed.
//
// The cross build tree and the wine programs are compiled in
// (USERPOLICY_WINDOWS_BUILD_DIR, USERPOLICY_WINE, USERPOLICY_WINESERVER).
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "local_directories/slapd_server.h"
#include "tests/support/directory_truth.h"
#include "tests/support/module_answers.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/scoped_settings_file.h"

namespace {

using userpolicy::local_directories::ProgramResult;
using userpolicy::local_directories::RunProgram;
using userpolicy::local_directories::SlapdServer;
using userpolicy::testing::SetEnvironment;

constexpr std::chrono::minutes kWineBootTimeout{3};
constexpr std::chrono::minutes kProgramTimeout{5};
constexpr size_t kOutputTail = 6000;
// What a SIP address of nobody must resolve to, on both builds alike.
constexpr char kNobody[] = "sip:nobody@example.test";

// A Linux path as the Windows programs see it: wine maps the root to Z:.
std::string WindowsPath(const std::string& path) { return "Z:" + path; }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> LinesOfFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return Lines(text.str());
}

std::vector<std::string> WindowsTestPrograms() {
  return LinesOfFile(std::string(USERPOLICY_WINDOWS_BUILD_DIR) + "/windows_test_programs.txt");
}

std::string Describe(const ProgramResult& result) {
  return "exit " + std::to_string(result.exit_code) + (result.timed_out ? " (timed out)" : "") + "\n" +
         userpolicy::local_directories::Tail(result.out + result.err, kOutputTail);
}

// The server and the wine prefix, once for the whole program.
class ServerAndPrefix : public ::testing::Environment {
 public:
  void SetUp() override {
    userpolicy::local_directories::SlapdOptions options;
    options.tls = true;
    server_ = SlapdServer::Start(options);
    prefix_ = userpolicy::local_directories::MakeTempDir("userpolicy-wine-");
    // No display, no debug channels, and no offer to install Mono or Gecko.
    SetEnvironment("WINEPREFIX", prefix_);
    SetEnvironment("WINEDEBUG", "-all");
    SetEnvironment("WINEDLLOVERRIDES", "mscoree,mshtml=");
    SetEnvironment("DISPLAY", std::nullopt);
    SetEnvironment("WAYLAND_DISPLAY", std::nullopt);
    const ProgramResult boot = RunProgram({USERPOLICY_WINE, "wineboot", "--init"}, kWineBootTimeout);
    ASSERT_EQ(boot.exit_code, 0) << "wineboot: " << Describe(boot);

    SetEnvironment("USERPOLICY_TEST_SLAPD", server_->host_port());
    SetEnvironment("USERPOLICY_TEST_SLAPD_BASE_DN", server_->base_dn());
    SetEnvironment("USERPOLICY_TEST_SLAPD_SERVICE_DN", server_->service_dn());
    SetEnvironment("USERPOLICY_TEST_SLAPD_PASSWORD_FILE", WindowsPath(server_->service_password_file()));
    SetEnvironment("USERPOLICY_TEST_SLAPD_TLS_PORT", std::to_string(server_->tls_port()));
    SetEnvironment("USERPOLICY_TEST_SLAPD_CA_FILE", WindowsPath(server_->ca_file()));
    SetEnvironment("USERPOLICY_TEST_SLAPD_OTHER_CA_FILE", WindowsPath(server_->other_ca_file()));
    SetEnvironment("USERPOLICY_TEST_SLAPD_SERVER_CERT", WindowsPath(server_->certificate_file()));
    SetEnvironment("USERPOLICY_TEST_CLOSED_PORT",
                   std::to_string(userpolicy::local_directories::PickFreeLoopbackPort()));
  }

  void TearDown() override {
    if (!prefix_.empty()) {
      // WINEPREFIX names this program's prefix: only its wineserver (and the
      // wine processes it serves) stops.
      RunProgram({USERPOLICY_WINESERVER, "-k"}, std::chrono::seconds(30));
      std::error_code ignored;
      std::filesystem::remove_all(prefix_, ignored);
    }
    server_.reset();
  }

  static const SlapdServer& server() { return *server_; }
  static const std::string& prefix() { return prefix_; }

 private:
  static std::unique_ptr<SlapdServer> server_;
  static std::string prefix_;
};

std::unique_ptr<SlapdServer> ServerAndPrefix::server_;
std::string ServerAndPrefix::prefix_;

// Owned and set up by GoogleTest, before the first test.
::testing::Environment* const g_server_and_prefix = ::testing::AddGlobalTestEnvironment(new ServerAndPrefix);

class UnderWine : public ::testing::TestWithParam<std::string> {};

TEST_P(UnderWine, WindowsTestProgramPasses) {
  const ProgramResult result = RunProgram({USERPOLICY_WINE, GetParam()}, kProgramTimeout);
  EXPECT_EQ(result.exit_code, 0) << GetParam() << ": " << Describe(result);
}

INSTANTIATE_TEST_SUITE_P(CrossBuild, UnderWine, ::testing::ValuesIn(WindowsTestPrograms()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return std::filesystem::path(info.param).stem().string();
                         });

// Every sample user (and an address of nobody), from IPC_SERVER_Init to
// IPC_SERVER_Deinit through userpolicy.dll under wine, answers as the Linux
// build answers on the same server: the same GUID lists in the same order,
// the same e-mail addresses, the same counts in the counters.
TEST(EndToEndUnderWine, HostAnswersAsTheLinuxBuild) {
  const SlapdServer& server = ServerAndPrefix::server();
  std::vector<std::string> sips = userpolicy::testing::SipAddressesOf(server, server.base_dn());
  ASSERT_GE(sips.size(), 5u);
  sips.push_back(kNobody);

  std::vector<std::string> linux_answers;
  {
    userpolicy::testing::ScopedSettingsFile settings(userpolicy::testing::DirectorySettings(
        server.host_port(), server.service_dn(), server.service_password_file()));
    linux_answers = userpolicy::testing::ModuleAnswers(sips, static_cast<int>(getpid()));
  }
  ASSERT_EQ(linux_answers.front(), "start 0");
  ASSERT_EQ(linux_answers.back(), "stop 0");

  const std::string sip_list = ServerAndPrefix::prefix() + "/sips.txt";
  std::ofstream(sip_list) << [&] {
    std::string text;
    for (const std::string& sip : sips) text += sip + "\n";
    return text;
  }();
  const std::string settings_file = ServerAndPrefix::prefix() + "/settings.toml";
  std::ofstream(settings_file) << userpolicy::testing::DirectorySettings(
      server.host_port(), server.service_dn(), WindowsPath(server.service_password_file()));
  const std::vector<std::string> host = LinesOfFile(std::string(USERPOLICY_WINDOWS_BUILD_DIR) +
                                                    "/windows_end_to_end_host.txt");
  ASSERT_EQ(host.size(), 1u);
  userpolicy::testing::ScopedEnvironment environment({{"USERPOLICY_SETTINGS", WindowsPath(settings_file)}});
  const ProgramResult result = RunProgram({USERPOLICY_WINE, host[0], WindowsPath(sip_list)}, kProgramTimeout);
  ASSERT_EQ(result.exit_code, 0) << Describe(result);
  EXPECT_EQ(Lines(result.out), linux_answers) << result.err;
}

}  // namespace
