// The upm program against a real slapd holding the sample directory: each
// command's output and exit code for users and objects that are there and
// that are not, an unreachable server (a closed loopback port) and unusable
// settings; the explain tree of every sample user checked against what
// ldapsearch shows; the progress bar under a
// pseudo-terminal and not on a pipe; no secret in any output. The output
// formats and batches themselves are upm's unit tests' (tests/upm/).
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "capi/userpolicy.h"
#include "local_directories/slapd_server.h"
#include "tests/support/directory_truth.h"
#include "tests/support/scoped_settings_file.h"

namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using userpolicy::local_directories::ProgramResult;
using userpolicy::local_directories::SlapdServer;
using userpolicy::testing::DirectorySettings;
using userpolicy::testing::DirectoryTruth;

constexpr char kEngineering[] = "cn=Engineering,ou=Groups,dc=example,dc=test";
constexpr char kEngineeringGuid[] = "12030000000000000000000000000000";
constexpr char kDomainSid[] = "S-1-5-21-1004336348-1177238915-682003330";

ProgramResult Upm(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {UPM_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  return userpolicy::local_directories::RunProgram(argv);
}

std::vector<nlohmann::json> JsonLines(const std::string& text) {
  std::vector<nlohmann::json> documents;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) documents.push_back(nlohmann::json::parse(line));
  return documents;
}

// Runs argv with stdin, stdout and stderr on a new pseudo-terminal and
// returns the exit code and everything it wrote.
ProgramResult RunUnderPseudoTerminal(const std::vector<std::string>& argv) {
  ProgramResult result;
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) {
    ADD_FAILURE() << "forkpty: " << std::strerror(errno);
    return result;
  }
  if (pid == 0) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n > 0) {
      result.out.append(buffer, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // EIO once the child and its terminal are gone
    }
  }
  close(master);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

class UpmProgram : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = SlapdServer::Start();
    work_dir_ = server_->work_dir();
    settings_ = WriteFile("settings.toml", DirectorySettings(server_->host_port(), server_->service_dn(),
                                                             server_->service_password_file()));
    sips_ = userpolicy::testing::SipAddressesOf(*server_, server_->base_dn());
    truth_ = std::make_unique<DirectoryTruth>(userpolicy::testing::TruthOf(*server_));
  }
  static void TearDownTestSuite() {
    truth_.reset();
    server_.reset();
  }

  static std::string WriteFile(const std::string& name, const std::string& content) {
    const std::string path = work_dir_ + "/" + name;
    std::ofstream(path) << content;
    return path;
  }

  // upm with the sample directory's settings.
  static ProgramResult Sample(std::vector<std::string> args) {
    args.insert(args.begin(), {"--config", settings_});
    return Upm(args);
  }

  static std::unique_ptr<SlapdServer> server_;
  static std::string work_dir_;
  static std::string settings_;
  static std::vector<std::string> sips_;
  static std::unique_ptr<DirectoryTruth> truth_;
};

std::unique_ptr<SlapdServer> UpmProgram::server_;
std::string UpmProgram::work_dir_;
std::string UpmProgram::settings_;
std::vector<std::string> UpmProgram::sips_;
std::unique_ptr<DirectoryTruth> UpmProgram::truth_;

// The GUIDs of the nodes that listed theirs, in walk order: the user, the
// primary group and the groups above it, then the groups above the user.
void ListedInWalkOrder(const nlohmann::json& node, std::vector<std::string>* guids) {
  if (node["listed"].get<bool>()) guids->push_back(node["guid"]);
  for (const auto& child : node["member_of"]) ListedInWalkOrder(child, guids);
}

// The explain tree of every sample user lists exactly the GUIDs the
// directory says, in walk order. (The library's GUID lists and e-mail
// addresses against the directory are capi_test's; upm's documents of them,
// upm_commands_test's.)
TEST_F(UpmProgram, EverySampleUsersExplainTreeIsWhatTheDirectorySays) {
  ASSERT_GE(sips_.size(), 10u);
  size_t explained = 0;
  for (const std::string& sip : sips_) {
    SCOPED_TRACE(sip);
    const auto user = truth_->User(sip);
    const ProgramResult run = Sample({"--json", "explain", sip});
    const auto docs = JsonLines(run.out);
    ASSERT_EQ(docs.size(), 1u) << run.err;
    const nlohmann::json& tree = docs[0];
    if (!user) {
      EXPECT_EQ(tree["status"], "not_found");
      EXPECT_EQ(run.exit_code, 1);
      continue;
    }
    EXPECT_EQ(run.exit_code, 0) << run.err;
    const std::vector<std::string> expected = truth_->Guids(*user);
    std::vector<std::string> walked;
    if (tree["user"]["listed"].get<bool>()) walked.push_back(tree["user"]["guid"]);
    if (!tree["primary_group"].is_null()) ListedInWalkOrder(tree["primary_group"], &walked);
    for (const auto& child : tree["user"]["member_of"]) ListedInWalkOrder(child, &walked);
    EXPECT_EQ(walked, expected);
    EXPECT_EQ(tree["guids"].get<std::vector<std::string>>(), expected);
    ++explained;
  }
  EXPECT_GE(explained, 8u);
}

// One run of each command and of each kind of object key over the real
// library (where walks end and why, in text, JSON and dot, is
// upm_explain_test's over the same sample; each command's answer for nobody,
// upm_commands_test's).
TEST_F(UpmProgram, EachCommandsOutputAndExitCode) {
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string out;  // a part of stdout
  };
  const std::string path = "GC://" + server_->host_port() + "/" + kEngineering;
  const Case cases[] = {
      {{"explain", "sip:carol@example.test"}, 0, "[duplicate: GUID already listed, branch ends]"},
      {{"object", "sip:alice@example.test"}, 0, "VT_I4           513\n"},
      {{"object", "--as", "group", kEngineering}, 0, "memberOf           VT_BSTR         cn=Research and "},
      {{"object", "--as", "guid", kEngineeringGuid}, 0, kEngineering},
      {{"object", "--as", "path", path}, 0, kEngineering},
      {{"object", "--as", "primary-group", std::string(kDomainSid) + "-513"}, 0,
       "cn=Domain Users,ou=Groups,dc=example,dc=test"},
      {{"object", "--as", "group", "cn=Nobody,ou=Groups,dc=example,dc=test"}, 1, "not found"},
      {{"discover"}, 0, "Global Catalog: GC://" + server_->host_port() + "\n"},
  };
  for (const Case& c : cases) {
    const ProgramResult run = Sample(c.args);
    const std::string what = ::testing::PrintToString(c.args);
    EXPECT_EQ(run.exit_code, c.code) << what << "\n" << run.out << run.err;
    EXPECT_THAT(run.out, HasSubstr(c.out)) << what << "\n" << run.err;
    EXPECT_EQ(run.err, "") << what;
  }
}

TEST_F(UpmProgram, UnreachableServerIsExitCode3NamingTheServerAndNoSecret) {
  const std::string closed =  // nothing listens there
      "127.0.0.1:" + std::to_string(userpolicy::local_directories::PickFreeLoopbackPort());
  const std::string unreachable =
      WriteFile("unreachable.toml",
                DirectorySettings(closed, server_->service_dn(), server_->service_password_file()));
  const std::string password = server_->service_password();
  // A user's lookup and a group's, the server named by the option and by the
  // file; that every command maps a directory error to exit code 3 is
  // upm_commands_test's, that the option replaces the file's servers
  // capi_test's.
  const std::vector<std::vector<std::string>> runs = {
      {"--config", settings_, "--server", closed, "guids", "sip:alice@example.test"},
      {"--config", unreachable, "object", "--as", "group", kEngineering},
  };
  for (const auto& args : runs) {
    const ProgramResult run = Upm(args);
    const std::string what = ::testing::PrintToString(args);
    EXPECT_EQ(run.exit_code, 3) << what << "\n" << run.out << run.err;
    EXPECT_THAT(run.err, AllOf(StartsWith("upm: "), HasSubstr(closed))) << what;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << what << ": " << run.err;
    EXPECT_THAT(run.err + run.out, Not(HasSubstr(password))) << what;
  }
}

TEST_F(UpmProgram, RefusedBindNamesTheServerAndNoPassword) {
  const std::string wrong_password = "not-the-password-" + std::to_string(getpid());
  const std::string password_file = work_dir_ + "/wrong.pw";
  userpolicy::local_directories::WritePrivateFile(password_file, wrong_password);
  const std::string refused =
      WriteFile("refused.toml", DirectorySettings(server_->host_port(), server_->service_dn(), password_file));
  const ProgramResult run = Upm({"--config", refused, "guids", "sip:alice@example.test"});
  EXPECT_EQ(run.exit_code, 3) << run.out << run.err;
  EXPECT_THAT(run.err, HasSubstr(server_->host_port()));
  EXPECT_THAT(run.err + run.out, Not(HasSubstr(wrong_password)));
}

TEST_F(UpmProgram, UnusableSettingsAreExitCode4WithOneLine) {
  const std::string broken = WriteFile("broken.toml", "[DirectoryAccess.DEFAULT\nGlobalCatalogServers = \n");
  struct Case {
    std::vector<std::string> options;
    std::string says;
  };
  const Case cases[] = {
      {{"--config", work_dir_ + "/missing.toml"}, "missing.toml"},
      {{"--config", broken}, "broken.toml"},
      {{"--config", settings_, "--server", "not a server!"}, "not a server!"},
      {{"--config", settings_, "--log-file", work_dir_ + "/no/such/dir/upm.log"}, "upm.log"},
  };
  // One command: that each maps a configuration error to exit code 4 is
  // upm_commands_test's.
  for (const Case& c : cases) {
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"guids", "sip:alice@example.test"});
    const ProgramResult run = Upm(args);
    const std::string what = ::testing::PrintToString(args);
    EXPECT_EQ(run.exit_code, 4) << what << "\n" << run.out << run.err;
    EXPECT_THAT(run.err, AllOf(StartsWith("upm: "), HasSubstr(c.says))) << what;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << what << ": " << run.err;
    EXPECT_EQ(run.out, "") << what;
  }
}

TEST_F(UpmProgram, ProgressBarAppearsOnlyUnderAPseudoTerminal) {
  std::string list;
  for (const std::string& sip : sips_) list += sip + "\n";
  const std::string file = WriteFile("progress.txt", list);
  const std::vector<std::string> argv = {UPM_PROGRAM, "--config", settings_, "email", "--file", file};
  const ProgramResult terminal = RunUnderPseudoTerminal(argv);
  EXPECT_EQ(terminal.exit_code, 1) << terminal.out;
  const std::string first_bar = "\r\033[K[------------------------------]   0/" + std::to_string(sips_.size());
  EXPECT_THAT(terminal.out, HasSubstr(first_bar + "  -/s  ETA -"));
  EXPECT_THAT(terminal.out, HasSubstr(std::to_string(sips_.size()) + " addresses in "));

  const ProgramResult pipe = Upm({"--config", settings_, "email", "--file", file});
  EXPECT_EQ(pipe.exit_code, 1);
  EXPECT_THAT(pipe.err, Not(HasSubstr("ETA")));
  EXPECT_THAT(pipe.err, Not(HasSubstr("\r")));
  EXPECT_THAT(pipe.err, HasSubstr(std::to_string(sips_.size()) + " addresses in "));
}

// Another process's counters as upm reads them (their table and Prometheus
// forms are upm_format_test's; the process list, an absent process and their
// exit codes are upm_commands_test's over the library's answers, which
// capi_test checks).
TEST_F(UpmProgram, PerfShowsTheCountersOfARunningHost) {
  // This test program is the host: it starts the library and resolves.
  const up_options options = {settings_.c_str(), nullptr, "off", nullptr};
  ASSERT_EQ(up_start(&options, nullptr), UP_OK);
  for (const std::string& sip : sips_) {
    up_string_list* guids = nullptr;
    up_get_guids(sip.c_str(), &guids, nullptr);
    up_free_string_list(guids);
  }
  up_counters mine = {};
  ASSERT_EQ(up_get_counters(0, &mine, nullptr), UP_OK);
  const ProgramResult json = Upm({"--json", "perf", "--pid", std::to_string(getpid())});
  ASSERT_EQ(up_stop(nullptr), UP_OK);

  EXPECT_EQ(json.exit_code, 0) << json.err;
  const auto docs = JsonLines(json.out);
  ASSERT_EQ(docs.size(), 1u);
  EXPECT_EQ(docs[0]["pid"], getpid());
  EXPECT_EQ(docs[0]["counters"]["user_ds_access"], mine.user_ds_access);
  EXPECT_EQ(docs[0]["counters"]["ngroup_ds_access"], mine.ngroup_ds_access);
  EXPECT_GE(mine.user_ds_access, sips_.size());
}

}  // namespace
