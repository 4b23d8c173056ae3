// upm end to end over the test double of the C interface: every command's
// output and exit code for found, not found, failures and usage errors;
// the options that reach up_start; --json documents; batches (input order,
// summary, progress bar only on a terminal); and that everything the
// library hands out is freed and the library stopped again.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "testing/upm/fake_sample_directory.h"
#include "testing/upm/fake_userpolicy.h"
#include "testing/upm/upm_run.h"
#include "tests/support/scoped_environment.h"

namespace upm {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;
using upm_fake::GroupDn;
using upm_testing::JsonLines;
using upm_fake::SampleGuid;
using upm_testing::Upm;
using upm_testing::UpmRun;

class UpmCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    users_ = upm_fake::LoadSampleDirectory();
    upm_fake::FailKey("sip:down@example.test", UP_DIRECTORY_ERROR, -2147016646,
                      "user sip:down@example.test: 127.0.0.1:1: Can't contact LDAP server");
    dir_ = std::filesystem::temp_directory_path() / ("upm_commands_test." + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    EXPECT_FALSE(upm_fake::Started()) << "upm left the library started";
    EXPECT_EQ(upm_fake::OutstandingAllocations(), 0) << "something up_* handed out was not freed";
    std::filesystem::remove_all(dir_);
  }

  std::string WriteFile(const std::string& name, const std::string& content) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path) << content;
    return path;
  }

  std::vector<upm_fake::SampleUser> users_;
  std::filesystem::path dir_;
};

TEST_F(UpmCommandTest, ExitCodeAndOutputOfEachCommand) {
  upm_fake::SetCounters(4242, up_counters{12, 340, 7, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  upm_fake::FailKey("sip:odd", UP_INVALID_ARGUMENT, 0, "malformed SIP address \"sip:odd\"");
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string out;  // a part of stdout
    std::string err;  // a part of stderr ("" : stderr empty)
  };
  const std::string alice = SampleGuid("0101");
  const Case cases[] = {
      {{"guids", "sip:alice@example.test"}, 0, "sip:alice@example.test\n  " + alice + "\n  " + SampleGuid("0103"), ""},
      {{"guids", "sip:alice@example.test", "sip:nobody@example.test"}, 1, "sip:nobody@example.test\n  not found\n", ""},
      {{"guids", "sip:down@example.test", "sip:nobody@example.test"}, 3, "  failed: UP_DIRECTORY_ERROR\n",
       "upm: user sip:down@example.test: 127.0.0.1:1: Can't contact LDAP server\n"},
      {{"guids", "sip:odd"}, 2, "  failed: UP_INVALID_ARGUMENT", "malformed SIP address"},
      {{"email", "sip:alice@example.test"}, 0, "sip:alice@example.test\talice@example.test\n", ""},
      {{"email", "sip:carol@example.test"}, 1, "sip:carol@example.test\tnot found\n", ""},
      {{"email", "sip:down@example.test"}, 3, "sip:down@example.test\tfailed: UP_DIRECTORY_ERROR\n",
       "Can't contact LDAP server"},
      {{"explain", "sip:alice@example.test"}, 0, "sip:alice@example.test: 6 GUIDs in", ""},
      {{"explain", "sip:nobody@example.test"}, 1, "sip:nobody@example.test: not found", ""},
      {{"explain", "sip:judy@example.test"}, 3, "[failed: read cn=Broken", ""},
      {{"explain", "sip:down@example.test"}, 3, "failed: UP_DIRECTORY_ERROR", "Can't contact LDAP server"},
      {{"explain", "--dot", "sip:alice@example.test"}, 0, "digraph", ""},
      {{"object", "sip:alice@example.test"}, 0, "VT_I4           513\n", ""},
      {{"object", "--as", "group", GroupDn("Engineering")}, 0, "memberOf           VT_BSTR         " +
                                                                   GroupDn("Research and Development"), ""},
      {{"object", "--as", "guid", "<GUID=" + SampleGuid("1203") + ">"}, 0,
       "guid manager, key \"" + SampleGuid("1203") + "\": 4 attributes", ""},
      {{"object", "--as", "guid", SampleGuid("2203")}, 1, "not found", ""},
      {{"object", "--as", "primary-group", std::string(upm_fake::kDomainSid) + "-1105"}, 0,
       "primary_group manager, key \"PG:" + std::string(upm_fake::kDomainSid) + "-1105\"", ""},
      {{"object", "--as", "group", GroupDn("Missing")}, 1, "not found", ""},
      {{"object", "--as", "group", GroupDn("Broken")}, 3, "failed: UP_DIRECTORY_ERROR", "Can't contact LDAP"},
      {{"object", "--as", "guid", "1203"}, 2, "", "upm: \"1203\" is not a GUID"},
      {{"discover"}, 3, "Global Catalog: none found\n", "upm: no Global Catalog found\n"},
      {{"perf", "--pid", "4242"}, 0, "Process 4242", ""},
      {{"perf", "--pid", "5"}, 1, "", "upm: process 5 publishes no counters\n"},
      {{"perf"}, 0, "4242\n", ""},
      {{"perf", "--watch"}, 2, "", "upm: --watch needs --pid; processes that publish counters: 4242\n"},
      {{"--version"}, 0, "upm 0.0.0-fake\n", ""},
      {{}, 2, "", "A command is required"},
      {{"guids"}, 2, "", "No SIP address"},
      {{"guids", "--threads", "0", "sip:a"}, 2, "", "--threads"},
      {{"guids", "--bogus", "sip:a"}, 2, "", "--bogus"},
      {{"explain"}, 2, "", "sip is required"},
      {{"object", "--as", "nothing", "x"}, 2, "", "--as"},
      {{"perf", "--watch", "--prometheus"}, 2, "", "excludes"},
      {{"perf", "--count", "3"}, 2, "", "requires --watch"},
      {{"--log-level", "loud", "discover"}, 2, "", "--log-level"},
      {{"guids", "--file", "/nonexistent/list", "sip:a"}, 5, "", "upm: cannot read /nonexistent/list: No such file"},
      {{"--config", "/nonexistent/settings.toml", "guids", "sip:alice@example.test"}, 4, "",
       "upm: cannot read settings file /nonexistent/settings.toml: No such file or directory\n"},
      {{"--log-file", "stderr", "email", "sip:alice@example.test"}, 0, "alice@example.test", ""},
  };
  for (const Case& c : cases) {
    const UpmRun run = Upm(c.args);
    const std::string what = ::testing::PrintToString(c.args);
    EXPECT_EQ(run.code, c.code) << what << "\nout: " << run.out << "\nerr: " << run.err;
    EXPECT_THAT(run.out, HasSubstr(c.out)) << what;
    if (c.err.empty()) {
      EXPECT_EQ(run.err, "") << what;
    } else {
      EXPECT_THAT(run.err, HasSubstr(c.err)) << what;
    }
    if (c.code == 2 || c.code == 4 || c.code == 5) {
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), run.err.find("--help") != std::string::npos ? 2 : 1)
          << what << ": one line says what was wrong: " << run.err;
    }
  }
}

TEST_F(UpmCommandTest, HelpListsCommandsExitCodesAndJsonFields) {
  const UpmRun run = Upm({"--help"});
  EXPECT_EQ(run.code, 0);
  for (const char* part : {"guids", "email", "explain", "object", "perf", "discover", "--config", "--server",
                           "--json", "--log-level", "--log-file", "Exit codes:", "  3  directory unreachable",
                           "  4  configuration error", "latency_ms", "member_of", "lookup_key"}) {
    EXPECT_THAT(run.out, HasSubstr(part));
  }
  const UpmRun guids = Upm({"guids", "--help"});
  EXPECT_EQ(guids.code, 0);
  EXPECT_THAT(guids.out, AllOf(HasSubstr("--file"), HasSubstr("--threads")));
}

TEST_F(UpmCommandTest, StartFailuresGiveTheirExitCodes) {
  const std::pair<int, int> cases[] = {{UP_CONFIG_ERROR, 4}, {UP_DIRECTORY_ERROR, 3}, {UP_INTERNAL_ERROR, 6}};
  for (const auto& [status, code] : cases) {
    upm_fake::FailStart(status, "settings.toml line 3: Tls: unknown value \"sometimes\"");
    for (const char* command : {"guids", "email", "explain"}) {
      const UpmRun run = Upm({command, "sip:alice@example.test"});
      EXPECT_EQ(run.code, code) << command << " " << status;
      EXPECT_EQ(run.err, "upm: settings.toml line 3: Tls: unknown value \"sometimes\"\n");
      EXPECT_EQ(run.out, "");
    }
  }
}

TEST_F(UpmCommandTest, OptionsReachUpStart) {
  const std::string settings = WriteFile("settings.toml", "[DirectoryAccess.DEFAULT]\n");
  const UpmRun run = Upm({"--config", settings, "--server", "ldap://127.0.0.1:1389", "--log-level", "info",
                       "--log-file", "/tmp/upm.log", "guids", "sip:alice@example.test"});
  ASSERT_EQ(run.code, 0) << run.err;
  const auto options = upm_fake::LastStartOptions();
  ASSERT_TRUE(options.has_value());
  EXPECT_EQ(options->settings_file, settings);
  EXPECT_EQ(options->server, "ldap://127.0.0.1:1389");
  EXPECT_EQ(options->log_level, "info");
  EXPECT_EQ(options->log_file, "/tmp/upm.log");

  EXPECT_FALSE(options->with_bind) << "no bind option: up_start";

  // Options given after the command count too.
  ASSERT_EQ(Upm({"guids", "--server", "127.0.0.1:3268", "sip:alice@example.test"}).code, 0);
  EXPECT_EQ(upm_fake::LastStartOptions()->server, "127.0.0.1:3268");

  // discover hands them to the discovery itself and starts nothing.
  upm_fake::Reset();
  upm_fake::SetDiscovery({"configured Global Catalog servers: 127.0.0.1:1389"}, "GC://127.0.0.1:1389");
  ASSERT_EQ(Upm({"--config", settings, "--server", "127.0.0.1:1389", "discover"}).code, 0);
  EXPECT_FALSE(upm_fake::LastStartOptions().has_value());
  const auto discovered = upm_fake::LastDiscoverOptions();
  ASSERT_TRUE(discovered.has_value());
  EXPECT_EQ(discovered->settings_file, settings);
  EXPECT_EQ(discovered->server, "127.0.0.1:1389");

  // The bind options go to up_start_with_bind, and discover hands them to
  // up_discover_with_bind.
  const std::vector<std::string> bind = {"--bind", "gssapi", "--keytab", "/etc/svc.keytab", "--principal",
                                         "svc@EXAMPLE.TEST"};
  for (const bool discover : {false, true}) {
    std::vector<std::string> args = bind;
    args.push_back(discover ? "discover" : "guids");
    if (!discover) args.push_back("sip:alice@example.test");
    upm_fake::Reset();
    upm_fake::LoadSampleDirectory();
    const UpmRun bound = Upm(args);
    const auto with_bind = discover ? upm_fake::LastDiscoverOptions() : upm_fake::LastStartOptions();
    ASSERT_TRUE(with_bind.has_value()) << bound.err;
    EXPECT_TRUE(with_bind->with_bind);
    EXPECT_EQ(with_bind->bind_method, "gssapi");
    EXPECT_EQ(with_bind->keytab, "/etc/svc.keytab");
    EXPECT_EQ(with_bind->principal, "svc@EXAMPLE.TEST");
  }
  const UpmRun unknown = Upm({"--bind", "kerberos", "guids", "sip:alice@example.test"});
  EXPECT_EQ(unknown.code, 2);
  EXPECT_THAT(unknown.err, HasSubstr("--bind"));
}

TEST_F(UpmCommandTest, LibraryLogIsOffUnlessAsked) {
  {
    userpolicy::testing::ScopedEnvironment unset({{"USERPOLICY_LOG_LEVEL", std::nullopt}});
    ASSERT_EQ(Upm({"email", "sip:alice@example.test"}).code, 0);
    EXPECT_EQ(upm_fake::LastStartOptions()->log_level, "off");
  }
  userpolicy::testing::ScopedEnvironment set({{"USERPOLICY_LOG_LEVEL", std::string("trace")}});
  ASSERT_EQ(Upm({"email", "sip:alice@example.test"}).code, 0);
  EXPECT_EQ(upm_fake::LastStartOptions()->log_level, "") << "the library reads the environment itself";
}

TEST_F(UpmCommandTest, PathObjectIsReadOnThePathsServer) {
  const std::string path = "GC://127.0.0.1:1389/" + GroupDn("Engineering");
  const UpmRun run = Upm({"object", "--as", "path", path});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(upm_fake::LastStartOptions()->server, "127.0.0.1:1389");
  EXPECT_THAT(run.out, HasSubstr("path manager, key \"" + GroupDn("Engineering") + "\" on 127.0.0.1:1389"));

  upm_fake::Reset();
  upm_fake::LoadSampleDirectory();
  const UpmRun conflict = Upm({"--server", "127.0.0.2:3268", "object", "--as", "path", path});
  EXPECT_EQ(conflict.code, 2);
  EXPECT_THAT(conflict.err, HasSubstr("names server 127.0.0.1:1389, --server names 127.0.0.2:3268"));
  EXPECT_FALSE(upm_fake::LastStartOptions().has_value()) << "not started for a usage error";
}

TEST_F(UpmCommandTest, JsonDocumentsOfLookups) {
  const UpmRun run = Upm({"--json", "guids", "sip:alice@example.test", "sip:nobody@example.test",
                       "sip:down@example.test"});
  EXPECT_EQ(run.code, 3);
  EXPECT_EQ(run.err, "") << "failures are inside the documents";
  const auto docs = JsonLines(run.out);
  ASSERT_EQ(docs.size(), 3u);
  EXPECT_EQ(docs[0]["sip"], "sip:alice@example.test");
  EXPECT_EQ(docs[0]["status"], "found");
  EXPECT_EQ(docs[0]["guids"], nlohmann::json(users_[0].guids));
  EXPECT_TRUE(docs[0]["milliseconds"].is_number());
  EXPECT_FALSE(docs[0].contains("error"));
  EXPECT_EQ(docs[1]["status"], "not_found");
  EXPECT_FALSE(docs[1].contains("guids"));
  EXPECT_EQ(docs[2]["status"], "failed");
  EXPECT_EQ(docs[2]["error"]["status"], "UP_DIRECTORY_ERROR");
  EXPECT_EQ(docs[2]["error"]["code"], -2147016646);
  EXPECT_THAT(docs[2]["error"]["message"].get<std::string>(), HasSubstr("Can't contact LDAP server"));

  const auto email = JsonLines(Upm({"email", "--json", "sip:bob@example.test"}).out);
  ASSERT_EQ(email.size(), 1u);
  EXPECT_EQ(email[0]["email"], "bob@example.test");
}

TEST_F(UpmCommandTest, JsonDocumentsOfObjectDiscoverAndPerf) {
  const auto object = JsonLines(Upm({"--json", "object", "sip:alice@example.test"}).out);
  ASSERT_EQ(object.size(), 1u);
  EXPECT_EQ(object[0]["manager"], "user");
  EXPECT_EQ(object[0]["as"], "user");
  EXPECT_EQ(object[0]["source"], "LDAP");
  bool saw_group_id = false;
  for (const auto& property : object[0]["properties"]) {
    if (property["name"] != "primaryGroupID") continue;
    saw_group_id = true;
    EXPECT_EQ(property["values"][0]["type"], "VT_I4");
    EXPECT_EQ(property["values"][0]["vartype"], 3);
    EXPECT_EQ(property["values"][0]["text"], "513");
  }
  EXPECT_TRUE(saw_group_id);

  upm_fake::SetDiscovery({"configured servers: none", "DNS SRV _gc._tcp.example.test: gc1.example.test:3268"},
                         "GC://gc1.example.test:3268");
  const UpmRun discover = Upm({"--json", "discover"});
  EXPECT_EQ(discover.code, 0);
  const auto found = JsonLines(discover.out);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0]["gc_path"], "GC://gc1.example.test:3268");
  EXPECT_EQ(found[0]["steps"].size(), 2u);
  EXPECT_EQ(Upm({"discover"}).out,
            "1. configured servers: none\n2. DNS SRV _gc._tcp.example.test: gc1.example.test:3268\n"
            "Global Catalog: GC://gc1.example.test:3268\n");

  upm_fake::SetCounters(31, up_counters{5, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  const auto perf = JsonLines(Upm({"--json", "perf", "--pid", "31"}).out);
  ASSERT_EQ(perf.size(), 1u);
  EXPECT_EQ(perf[0]["pid"], 31);
  EXPECT_EQ(perf[0]["counters"]["total_ds_access"], 5);
  EXPECT_EQ(perf[0]["counters"]["total_ds_access_time_ms"], 9);
  upm_fake::SetCounters(7, up_counters{});
  const auto processes = JsonLines(Upm({"--json", "perf"}).out);
  ASSERT_EQ(processes.size(), 1u);
  EXPECT_EQ(processes[0]["processes"], nlohmann::json({7, 31}));
}

TEST_F(UpmCommandTest, PerfWatchAndPrometheus) {
  upm_fake::SetCounters(31, up_counters{5, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  const UpmRun watch = Upm({"perf", "--pid", "31", "--watch", "--interval", "0.01", "--count", "3"});
  EXPECT_EQ(watch.code, 0);
  size_t tables = 0;
  for (size_t at = watch.out.find("per second"); at != std::string::npos; at = watch.out.find("per second", at + 1)) {
    ++tables;
  }
  EXPECT_EQ(tables, 3u);
  const auto samples = JsonLines(Upm({"perf", "--json", "--pid", "31", "--watch", "--interval", "0.01", "--count",
                                      "2"}).out);
  ASSERT_EQ(samples.size(), 2u);
  EXPECT_FALSE(samples[0].contains("per_second"));
  EXPECT_EQ(samples[1]["per_second"]["total_ds_access"], 0.0);

  EXPECT_THAT(Upm({"perf", "--pid", "31", "--prometheus"}).out,
              HasSubstr("userpolicy_total_ds_access_total{pid=\"31\"} 5\n"));
}

// A list of `copies` rounds over the sample users, an unknown and a failing
// address.
std::string BatchList(const std::vector<upm_fake::SampleUser>& users, int copies) {
  std::string list = "# a batch\n";
  for (int i = 0; i < copies; ++i) {
    for (const auto& user : users) list += user.sip + "\n";
    list += "sip:nobody" + std::to_string(i) + "@example.test\n\n";
    if (i == 2) list += "sip:down@example.test\n";
  }
  return list;
}

TEST_F(UpmCommandTest, BatchOnFourThreadsAnswersAsOneAtATime) {
  const std::string list = WriteFile("list.txt", BatchList(users_, 5));
  for (const char* command : {"guids", "email"}) {
    const UpmRun one = Upm({command, "--file", list, "--threads", "1"});
    const UpmRun four = Upm({command, "--file", list, "--threads", "4"});
    EXPECT_EQ(one.code, 3) << command;
    EXPECT_EQ(four.code, 3) << command;
    EXPECT_EQ(four.out, one.out) << command;
    EXPECT_THAT(four.err, HasSubstr("51 addresses in ")) << command;
  }
  const UpmRun guids = Upm({"guids", "--file", list, "--threads", "4"});
  EXPECT_THAT(guids.err, HasSubstr(": 45 found, 5 not found, 1 failed\nlatency: p50 "));
  // std::regex: GoogleTest's own regular expressions on Windows have no
  // bracket expressions.
  EXPECT_TRUE(std::regex_search(guids.err, std::regex("p90 [0-9.]+ ms, p99 [0-9.]+ ms, max [0-9.]+ ms\n$")))
      << guids.err;
}

TEST_F(UpmCommandTest, BatchFromStandardInputAfterTheCommandLineAddresses) {
  const UpmRun run = Upm({"email", "sip:bob@example.test", "--file", "-"}, false,
                      "sip:alice@example.test\r\nsip:karl@partner.example\n");
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out,
            "sip:bob@example.test\tbob@example.test\nsip:alice@example.test\talice@example.test\n"
            "sip:karl@partner.example\tkarl@partner.example\n");
}

TEST_F(UpmCommandTest, JsonBatchSummaryOnStderr) {
  const std::string list = WriteFile("list.txt", BatchList(users_, 2));
  const UpmRun run = Upm({"--json", "guids", "--file", list, "--threads", "3"});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(JsonLines(run.out).size(), 20u);
  const auto summary = JsonLines(run.err);
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_EQ(summary[0]["summary"]["total"], 20);
  EXPECT_EQ(summary[0]["summary"]["found"], 18);
  EXPECT_EQ(summary[0]["summary"]["not_found"], 2);
  EXPECT_EQ(summary[0]["summary"]["failed"], 0);
  for (const char* key : {"p50", "p90", "p99", "max"}) {
    EXPECT_TRUE(summary[0]["summary"]["latency_ms"][key].is_number()) << key;
  }
}

TEST_F(UpmCommandTest, ProgressBarOnlyWhenStderrIsATerminal) {
  const std::string list = WriteFile("list.txt", BatchList(users_, 3));
  const UpmRun terminal = Upm({"guids", "--file", list}, /*terminal=*/true);
  const UpmRun pipe = Upm({"guids", "--file", list}, /*terminal=*/false);
  EXPECT_THAT(terminal.err, HasSubstr("\r\033[K[------------------------------]   0/31  -/s  ETA -"));
  // The bar is cleared before anything else is written and at the end.
  EXPECT_LT(terminal.err.rfind("ETA"), terminal.err.rfind("\r\033[K"));
  EXPECT_LT(terminal.err.rfind("\r\033[K"), terminal.err.find("upm: user sip:down@example.test"));
  EXPECT_LT(terminal.err.rfind("\r\033[K"), terminal.err.find("31 addresses in "));
  EXPECT_THAT(pipe.err, Not(HasSubstr("ETA")));
  EXPECT_THAT(pipe.err, Not(HasSubstr("\r")));
  EXPECT_EQ(terminal.out, pipe.out);

  const UpmRun single = Upm({"guids", "sip:alice@example.test"}, /*terminal=*/true);
  EXPECT_EQ(single.err, "") << "no bar and no summary without --file";
}

}  // namespace
}  // namespace upm
