// The man page (tools/upm/upm.1) and --help say the same: every option of
// every command's help, every exit code with its meaning, and every JSON
// field upm actually writes are in both.
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "testing/upm/fake_sample_directory.h"
#include "testing/upm/fake_userpolicy.h"
#include "testing/upm/upm_run.h"
#include "tools/upm/answer_writer.h"
#include "tools/upm/exit_codes.h"

namespace upm {
namespace {

std::string ManualPage() {
  std::ifstream in(UPM_MANUAL_PAGE);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// `text` as roff writes it: every '-' escaped.
std::string Roff(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '-') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

using upm_testing::Upm;
using Output = upm_testing::UpmRun;

TEST(Manual, EveryOptionOfTheHelpIsInTheManualPage) {
  const std::string manual = ManualPage();
  ASSERT_GT(manual.size(), 1000u) << UPM_MANUAL_PAGE;
  std::set<std::string> options;
  for (const char* command : {"", "guids", "email", "explain", "object", "perf", "discover"}) {
    std::vector<std::string> args;
    if (*command != '\0') args.push_back(command);
    args.push_back("--help");
    const Output help = Upm(args);
    ASSERT_EQ(help.code, 0) << command;
    const std::regex option("--[a-z][a-z-]*");
    for (auto it = std::sregex_iterator(help.out.begin(), help.out.end(), option); it != std::sregex_iterator(); ++it) {
      options.insert(it->str());
    }
  }
  EXPECT_GE(options.size(), 16u);
  for (const std::string& option : options) EXPECT_THAT(manual, ::testing::HasSubstr(Roff(option))) << option;
}

TEST(Manual, ExitCodesAreTheHelpsTable) {
  const std::string manual = ManualPage();
  std::istringstream table(ExitCodeTable());
  const std::regex row("  ([0-9])  (.*)");
  int rows = 0;
  for (std::string line; std::getline(table, line);) {
    std::smatch match;
    if (!std::regex_match(line, match, row)) continue;
    ++rows;
    EXPECT_THAT(manual, ::testing::HasSubstr(".B " + match[1].str() + "\n" + Roff(match[2].str()) + "\n")) << line;
  }
  EXPECT_EQ(rows, 7);
}

void CollectKeys(const nlohmann::json& value, std::set<std::string>* keys) {
  if (value.is_array()) {
    for (const auto& item : value) CollectKeys(item, keys);
  } else if (value.is_object()) {
    for (const auto& [key, child] : value.items()) {
      keys->insert(key);
      // The counters' keys are listed by pattern, not one by one.
      if (key != "counters" && key != "per_second") CollectKeys(child, keys);
    }
  }
}

TEST(Manual, EveryJsonFieldUpmWritesIsDocumentedInBoth) {
  upm_fake::LoadSampleDirectory();
  upm_fake::SetDiscovery({"configured Global Catalog servers: 127.0.0.1:3268"}, "GC://127.0.0.1:3268");
  upm_fake::SetCounters(7, up_counters{});
  upm_fake::FailKey("sip:down@example.test", UP_DIRECTORY_ERROR, -92003, "server down");
  const std::string list = testing::TempDir() + "/manual_list.txt";
  std::ofstream(list) << "sip:alice@example.test\nsip:nobody@example.test\n";

  std::set<std::string> keys;
  const std::vector<std::vector<std::string>> runs = {
      {"--json", "guids", "sip:alice@example.test", "sip:down@example.test"},
      {"--json", "email", "sip:alice@example.test", "--file", list},
      {"--json", "explain", "sip:bob@example.test"},
      {"--json", "explain", "sip:judy@example.test"},
      {"--json", "object", "--as", "path", "GC://127.0.0.1/" + upm_fake::GroupDn("Engineering")},
      {"--json", "discover"},
      {"--json", "perf", "--pid", "7", "--watch", "--interval", "0.01", "--count", "2"},
  };
  for (const auto& args : runs) {
    const Output output = Upm(args);
    for (const std::string* text : {&output.out, &output.err}) {
      std::istringstream lines(*text);
      for (std::string line; std::getline(lines, line);) CollectKeys(nlohmann::json::parse(line), &keys);
    }
  }
  upm_fake::Reset();
  EXPECT_GE(keys.size(), 40u);
  const std::string help = JsonFieldsHelp();
  const std::string manual = ManualPage();
  for (const std::string& key : keys) {
    EXPECT_TRUE(std::regex_search(help, std::regex("\\b" + key + "\\b"))) << key << " is not in --help";
    EXPECT_THAT(manual, ::testing::HasSubstr("\\fB" + key + "\\fR")) << key << " is not in the man page";
  }
}

}  // namespace
}  // namespace upm
