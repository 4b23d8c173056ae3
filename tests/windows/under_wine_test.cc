// The Windows build's tests, run from Linux: this program starts slapd with
// the sample directory (and TLS), makes a throwaway wine prefix in a
// temporary directory, and runs under wine
//  - every Windows test program of the cross build (windows_test_programs.txt
//    in that tree), with the server described in the environment as
//    local_directories/slapd_server.h and tests/windows/wldap32_test.cc say;
//  - the end-to-end host (tests/windows/end_to_end_host.cc), whose answers
//    through userpolicy.dll must be those of this Linux build on the same
//    server, line for line (tests/support/module_answers.h), and whose
//    counters upm.exe reads while it runs;
//  - upm.exe beside this build's upm on the same server: the same output
//    and exit codes.
// wine runs without a display and with WINEDEBUG=-all; at the end the
// wineserver of this program's prefix, and nothing else, is stopped and the
// prefix removed.
//
// The cross build tree, the wine programs and the Linux upm are compiled in
// (USERPOLICY_WINDOWS_BUILD_DIR, USERPOLICY_WINE, USERPOLICY_WINESERVER,
// UPM_PROGRAM).
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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

// The one program a file of the cross build names.
std::string WindowsProgram(const std::string& list_file) {
  const std::vector<std::string> lines = LinesOfFile(std::string(USERPOLICY_WINDOWS_BUILD_DIR) + "/" + list_file);
  return lines.size() == 1 ? lines[0] : std::string();
}

// The text's lines with "\r\n" read as "\n": upm.exe writes its standard
// streams in text mode, the Windows line end.
std::string WithoutCarriageReturns(std::string text) {
  std::string::size_type at = 0;
  while ((at = text.find("\r\n", at)) != std::string::npos) text.erase(at, 1);
  return text;
}

// upm's --json output, one document a line, without the field that times
// each answer.
std::vector<nlohmann::json> JsonLinesWithoutTimes(const std::string& text) {
  std::vector<nlohmann::json> documents;
  for (const std::string& line : Lines(text)) {
    nlohmann::json document = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (document.is_object()) document.erase("milliseconds");
    documents.push_back(std::move(document));
  }
  return documents;
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

// The settings of the driver's server for the Linux programs and, with
// the password file's Windows path, for the Windows ones.
std::string LinuxSettings() {
  const SlapdServer& server = ServerAndPrefix::server();
  return userpolicy::testing::DirectorySettings(server.host_port(), server.service_dn(),
                                                server.service_password_file());
}

std::string WindowsSettingsFile() {
  const SlapdServer& server = ServerAndPrefix::server();
  const std::string file = ServerAndPrefix::prefix() + "/settings.toml";
  std::ofstream(file) << userpolicy::testing::DirectorySettings(server.host_port(), server.service_dn(),
                                                               WindowsPath(server.service_password_file()));
  return file;
}

// Every sample user and an address of nobody.
std::vector<std::string> SampleSipsAndNobody() {
  const SlapdServer& server = ServerAndPrefix::server();
  std::vector<std::string> sips = userpolicy::testing::SipAddressesOf(server, server.base_dn());
  sips.push_back(kNobody);
  return sips;
}

// A file `name` in the prefix's folder with `sips`, one a line.
std::string WriteSipList(const std::string& name, const std::vector<std::string>& sips) {
  const std::string file = ServerAndPrefix::prefix() + "/" + name;
  std::ofstream out(file);
  for (const std::string& sip : sips) out << sip << "\n";
  return file;
}

// Every sample user (and an address of nobody), from IPC_SERVER_Init to
// IPC_SERVER_Deinit through userpolicy.dll under wine, answers as the Linux
// build answers on the same server: the same GUID lists in the same order,
// the same e-mail addresses, the same counts in the counters. While the host
// is started, upm.exe reads its counters (through their named mapping) and
// shows the counts the host read itself, and lists the host among the
// processes that publish counters.
TEST(EndToEndUnderWine, HostAnswersAsTheLinuxBuildAndUpmReadsItsCounters) {
  const std::vector<std::string> sips = SampleSipsAndNobody();
  ASSERT_GE(sips.size(), 6u);

  std::vector<std::string> linux_answers;
  {
    userpolicy::testing::ScopedSettingsFile settings(LinuxSettings());
    linux_answers = userpolicy::testing::ModuleAnswers(sips, static_cast<int>(getpid()));
  }
  ASSERT_EQ(linux_answers.front(), "start 0");
  ASSERT_EQ(linux_answers.back(), "stop 0");

  const std::string sip_list = WriteSipList("sips.txt", sips);
  const std::string host = WindowsProgram("windows_end_to_end_host.txt");
  const std::string upm = WindowsProgram("windows_upm.txt");
  ASSERT_FALSE(host.empty());
  ASSERT_FALSE(upm.empty());
  userpolicy::testing::ScopedEnvironment environment(
      {{"USERPOLICY_SETTINGS", WindowsPath(WindowsSettingsFile())}});
  const ProgramResult result =
      RunProgram({USERPOLICY_WINE, host, WindowsPath(sip_list), WindowsPath(upm)}, kProgramTimeout);
  ASSERT_EQ(result.exit_code, 0) << Describe(result);

  // The host's own answers, and what upm.exe said (its runs and its lines).
  std::vector<std::string> answers;
  std::vector<std::string> upm_runs;
  std::vector<nlohmann::json> upm_documents;
  std::map<std::string, uint32_t> host_counts;
  for (const std::string& line : Lines(result.out)) {
    if (line.starts_with("upm-out ")) {
      upm_documents.push_back(nlohmann::json::parse(line.substr(8), nullptr, /*allow_exceptions=*/false));
    } else if (line.starts_with("upm ")) {
      upm_runs.push_back(line);
    } else {
      answers.push_back(line);
      std::istringstream counter(line);
      std::string word, name;
      uint32_t count = 0;
      if (counter >> word >> name >> count && word == "counter") host_counts[name] = count;
    }
  }
  EXPECT_EQ(answers, linux_answers) << result.err;

  // The first run read the host's counters by its id, the second listed it.
  ASSERT_EQ(upm_runs.size(), 2u) << result.out;
  ASSERT_EQ(upm_documents.size(), 2u) << result.out << result.err;
  EXPECT_THAT(upm_runs[0], ::testing::MatchesRegex("upm --json perf --pid [0-9]+ exit 0")) << result.out;
  EXPECT_EQ(upm_runs[1], "upm --json perf exit 0") << result.out;
  const nlohmann::json& read = upm_documents[0];
  ASSERT_TRUE(read.is_object() && read.contains("counters")) << read;
  ASSERT_EQ(host_counts.size(), 8u) << result.out;
  for (const auto& [name, count] : host_counts) EXPECT_EQ(read["counters"][name], count) << name << ": " << read;
  const nlohmann::json& listed = upm_documents[1];
  ASSERT_TRUE(listed.is_object() && listed.contains("processes")) << listed;
  EXPECT_THAT(listed["processes"].get<std::vector<int>>(), ::testing::Contains(read["pid"].get<int>())) << listed;
}

// upm.exe answers as this build's upm on the same server: the answers for
// every sample user and for nobody, as text and as JSON (whose time per
// answer aside), and as a batch read from a file, with the same exit code
// (1: nobody is not found). A batch on a pipe draws no progress bar.
TEST(UpmExeUnderWine, AnswersAsTheLinuxUpm) {
  const std::vector<std::string> sips = SampleSipsAndNobody();
  const std::string upm = WindowsProgram("windows_upm.txt");
  ASSERT_FALSE(upm.empty());
  const std::string linux_settings = ServerAndPrefix::prefix() + "/linux-settings.toml";
  std::ofstream(linux_settings) << LinuxSettings();
  const std::string windows_settings = WindowsPath(WindowsSettingsFile());
  const std::string list = WriteSipList("batch.txt", sips);

  struct Case {
    std::string command;
    bool json;
    bool batch;  // the addresses from --file, else on the command line
  };
  // Text, JSON and a batch: the formats are shared code, the console and
  // the file are each platform's own.
  const Case cases[] = {{"guids", false, false}, {"email", true, false}, {"email", false, true}};
  for (const Case& c : cases) {
    std::vector<std::string> on_linux = {UPM_PROGRAM, "--config", linux_settings};
    std::vector<std::string> under_wine = {USERPOLICY_WINE, upm, "--config", windows_settings};
    for (auto* argv : {&on_linux, &under_wine}) {
      if (c.json) argv->push_back("--json");
      argv->push_back(c.command);
      if (c.batch) {
        argv->insert(argv->end(), {"--file", argv == &on_linux ? list : WindowsPath(list)});
      } else {
        argv->insert(argv->end(), sips.begin(), sips.end());
      }
    }
    const ProgramResult expected = RunProgram(on_linux);
    const ProgramResult actual = RunProgram(under_wine, kProgramTimeout);
    const std::string what = c.command + (c.json ? " --json" : "") + (c.batch ? " --file" : "");
    ASSERT_EQ(expected.exit_code, 1) << what << ": " << Describe(expected);
    EXPECT_EQ(actual.exit_code, expected.exit_code) << what << ": " << Describe(actual);
    if (c.json) {
      const std::vector<nlohmann::json> documents = JsonLinesWithoutTimes(expected.out);
      ASSERT_EQ(documents.size(), sips.size()) << what << ": " << expected.out;
      EXPECT_EQ(JsonLinesWithoutTimes(actual.out), documents) << what;
    } else {
      ASSERT_FALSE(expected.out.empty()) << what;
      EXPECT_EQ(WithoutCarriageReturns(actual.out), expected.out) << what;
    }
    if (c.batch) {
      EXPECT_THAT(actual.err, ::testing::HasSubstr(std::to_string(sips.size()) + " addresses in ")) << what;
      EXPECT_THAT(actual.err, ::testing::Not(::testing::HasSubstr("ETA"))) << what;
      EXPECT_THAT(actual.err, ::testing::Not(::testing::HasSubstr("\033["))) << what;
    }
  }
}

// upm.exe's exit code for a server that does not answer (3), with one line
// on stderr that names the server. (Not found, 1, is AnswersAsTheLinuxUpm's;
// that every command maps a directory error to 3 is upm_commands_test's.)
TEST(UpmExeUnderWine, ExitCode3ForAnUnreachableServerNamingIt) {
  const std::string upm = WindowsProgram("windows_upm.txt");
  ASSERT_FALSE(upm.empty());
  const std::string closed = "127.0.0.1:" + std::to_string(userpolicy::local_directories::PickFreeLoopbackPort());
  const ProgramResult run = RunProgram({USERPOLICY_WINE, upm, "--config", WindowsPath(WindowsSettingsFile()),
                                        "--server", closed, "guids", "sip:alice@example.test"},
                                       kProgramTimeout);
  EXPECT_EQ(run.exit_code, 3) << Describe(run);
  const std::vector<std::string> err = Lines(run.err);
  ASSERT_EQ(err.size(), 1u) << run.err;
  EXPECT_THAT(err[0], ::testing::AllOf(::testing::StartsWith("upm: "), ::testing::HasSubstr(closed)));
}

}  // namespace
