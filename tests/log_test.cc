// The debug log: thresholds, line format, destinations, environment
// configuration and the capture seam.
#include "platform/log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock_testing.h"
#include "platform/log_testing.h"

namespace {

using DBG::Severity;
using DBG::testing::ScopedLogCapture;

constexpr char kLevelVariable[] = "USERPOLICY_LOG_LEVEL";
constexpr char kDestinationVariable[] = "USERPOLICY_LOG";

// Restores the log configuration and its environment variables after each
// test, and gives each test a private directory for log files.
class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_options_ = DBG::GetOptions();
    for (const char* name : {kLevelVariable, kDestinationVariable}) {
      const char* value = getenv(name);
      saved_environment_[name] = value ? std::optional<std::string>(value) : std::nullopt;
    }
    directory_ = std::filesystem::path(testing::TempDir()) /
                 ("log_test_" + std::to_string(getpid()) + "_" +
                  testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(directory_);
    std::filesystem::create_directories(directory_);
  }

  void TearDown() override {
    for (const auto& [name, value] : saved_environment_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    DBG::Configure(saved_options_);
    std::filesystem::remove_all(directory_);
  }

  std::string LogFile(const std::string& name) const { return (directory_ / name).string(); }

  static void ConfigureFile(const std::string& path, Severity threshold) {
    DBG::LogOptions options;
    options.threshold = threshold;
    options.destination = DBG::Destination::kFile;
    options.file_path = path;
    ASSERT_TRUE(DBG::Configure(options));
  }

  static std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  DBG::LogOptions saved_options_;
  std::map<std::string, std::optional<std::string>> saved_environment_;
  std::filesystem::path directory_;
};

TEST(LogLevels, MapOntoSeverities) {
  struct Case {
    int level;
    Severity severity;
  } const kCases[] = {
      {DBG::kLevelFailure, Severity::kError}, {DBG::kLevelWarning, Severity::kWarning},
      {DBG::kLevelData, Severity::kInfo},     {DBG::kLevelEnter, Severity::kTrace},
      {DBG::kLevelLeave, Severity::kTrace},   {0x1005, Severity::kWarning},
      {5, Severity::kInfo},                   {0, Severity::kInfo},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(DBG::SeverityOf(c.level), c.severity) << c.level;
  }
}

TEST(LogLevels, ParseThresholdNames) {
  struct Case {
    const char* name;
    std::optional<Severity> threshold;
  } const kCases[] = {
      {"off", Severity::kOff},   {"error", Severity::kError}, {"WARNING", Severity::kWarning},
      {"warn", Severity::kWarning}, {"Info", Severity::kInfo}, {"trace", Severity::kTrace},
      {"", std::nullopt},        {"debug", std::nullopt},     {"info ", std::nullopt},
  };
  for (const Case& c : kCases) {
    Severity parsed = Severity::kInfo;
    EXPECT_EQ(DBG::ParseThreshold(c.name, &parsed), c.threshold.has_value()) << c.name;
    EXPECT_EQ(parsed, c.threshold.value_or(Severity::kInfo)) << c.name;
    if (c.threshold) {
      EXPECT_TRUE(DBG::ParseThreshold(DBG::ThresholdName(parsed), &parsed));
    }
  }
}

TEST_F(LogTest, ThresholdDecidesWhichLevelsAreWritten) {
  const int kLevels[] = {DBG::kLevelFailure, DBG::kLevelWarning, DBG::kLevelData,
                         DBG::kLevelEnter, DBG::kLevelLeave};
  const std::map<Severity, std::vector<int>> kExpected = {
      {Severity::kOff, {}},
      {Severity::kError, {DBG::kLevelFailure}},
      {Severity::kWarning, {DBG::kLevelFailure, DBG::kLevelWarning}},
      {Severity::kInfo, {DBG::kLevelFailure, DBG::kLevelWarning, DBG::kLevelData}},
      {Severity::kTrace, {DBG::kLevelFailure, DBG::kLevelWarning, DBG::kLevelData,
                          DBG::kLevelEnter, DBG::kLevelLeave}},
  };
  for (const auto& [threshold, expected] : kExpected) {
    SCOPED_TRACE(std::string(DBG::ThresholdName(threshold)));
    // Through the configured threshold and through a capture override.
    DBG::LogOptions options = DBG::GetOptions();
    options.threshold = threshold;
    ASSERT_TRUE(DBG::Configure(options));
    for (bool use_override : {false, true}) {
      std::optional<ScopedLogCapture> capture;
      if (use_override) {
        DBG::LogOptions other = options;
        other.threshold = threshold == Severity::kOff ? Severity::kTrace : Severity::kOff;
        ASSERT_TRUE(DBG::Configure(other));
        capture.emplace(threshold);
      } else {
        capture.emplace();
      }
      std::vector<int> written;
      for (int level : kLevels) {
        EXPECT_EQ(DBG::IsEnabled(level), std::count(expected.begin(), expected.end(), level) == 1);
        DBG::DebugLogEx(nullptr, level, "src", 1, L"level %d", level);
      }
      for (const auto& record : capture->records()) written.push_back(record.level);
      EXPECT_EQ(written, expected);
    }
  }
}

TEST_F(LogTest, LineHasTimeThreadSeverityLevelSourceAndMessage) {
  const std::string path = LogFile("format.log");
  ConfigureFile(path, Severity::kTrace);
  platform::testing::ScopedFakeClock clock(1'700'000'000);
  clock.AdvanceMillis(123);
  DBG::DebugLogEx(nullptr, DBG::kLevelWarning, "serv_UserPolicyManager", 120,
                  L"user %s has %d groups (%S)", L"sip:alice@example.test", 3, "narrow \xC3\xA9");
  DBG::DebugLogEx(nullptr, DBG::kLevelEnter, nullptr, 7, L"enter");
  DBG::DebugLogEx(nullptr, DBG::kLevelFailure, "x", 1, L"bad %n format");

  const std::vector<std::string> lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 3u);
  const std::regex kLine(R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z) (\d+) ([A-Z]+) (\d+) (\S+):(\d+) (.*)$)");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(lines[0], match, kLine)) << lines[0];
  EXPECT_EQ(match[1], "2023-11-14T22:13:20.123000Z");
  EXPECT_EQ(match[2], std::to_string(GetCurrentThreadId()));
  EXPECT_EQ(match[3], "WARN");
  EXPECT_EQ(match[4], "4099");
  EXPECT_EQ(match[5], "serv_UserPolicyManager");
  EXPECT_EQ(match[6], "120");
  EXPECT_EQ(match[7], "user sip:alice@example.test has 3 groups (narrow \xC3\xA9)");

  ASSERT_TRUE(std::regex_match(lines[1], match, kLine)) << lines[1];
  EXPECT_EQ(match[3], "TRACE");
  EXPECT_EQ(match[4], "272");
  EXPECT_EQ(match[5], "?");
  ASSERT_TRUE(std::regex_match(lines[2], match, kLine)) << lines[2];
  EXPECT_EQ(match[3], "ERROR");
  EXPECT_EQ(match[7], "bad %n format [invalid format]");
}

TEST_F(LogTest, LineBreaksInMessagesAreEscaped) {
  const std::string path = LogFile("escape.log");
  ConfigureFile(path, Severity::kWarning);
  ScopedLogCapture capture(Severity::kWarning, /*also_write=*/true);
  DBG::DebugLogEx(nullptr, DBG::kLevelWarning, "s", 1, L"one\ntwo\r\nDOMAIN\\user\ttab\x01\n");
  const std::vector<std::string> lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].ends_with(R"( s:1 one\ntwo\r\nDOMAIN\user)" "\ttab\\x01")) << lines[0];
  // The capture keeps the message exactly as formatted.
  EXPECT_TRUE(capture.Contains(DBG::kLevelWarning, "one\ntwo\r\nDOMAIN\\user\ttab\x01\n"));
}

TEST_F(LogTest, ConcurrentWritersProduceOnlyWholeLines) {
  constexpr int kThreads = 8;
  constexpr int kLinesPerThread = 400;
  const std::string path = LogFile("threads.log");
  ConfigureFile(path, Severity::kInfo);
  const std::wstring padding(300, L'p');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLinesPerThread; ++i) {
        DBG::DebugLogEx(nullptr, DBG::kLevelData, "worker", t, L"thread %d line %d %s end", t, i,
                        padding.c_str());
      }
    });
  }
  for (auto& thread : threads) thread.join();

  const std::vector<std::string> lines = ReadLines(path);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesPerThread));
  const std::regex kLine(R"(^\S+Z \d+ INFO 258 worker:(\d+) thread (\d+) line (\d+) p{300} end$)");
  std::vector<int> next_line(kThreads, 0);
  for (const std::string& line : lines) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, kLine)) << line.substr(0, 120);
    const int thread = std::stoi(match[2]);
    ASSERT_EQ(std::stoi(match[1]), thread);
    EXPECT_EQ(std::stoi(match[3]), next_line[thread]++) << "lines of one thread out of order";
  }
}

TEST_F(LogTest, ConfiguringAFileAgainReopensIt) {
  const std::string path = LogFile("rotate.log");
  ConfigureFile(path, Severity::kWarning);
  DBG::DebugLogEx(nullptr, DBG::kLevelWarning, "s", 1, L"before rotation");
  std::filesystem::rename(path, path + ".1");
  ConfigureFile(path, Severity::kWarning);
  DBG::DebugLogEx(nullptr, DBG::kLevelWarning, "s", 2, L"after rotation");

  const std::vector<std::string> rotated = ReadLines(path + ".1");
  const std::vector<std::string> current = ReadLines(path);
  ASSERT_EQ(rotated.size(), 1u);
  ASSERT_EQ(current.size(), 1u);
  EXPECT_TRUE(rotated[0].ends_with("before rotation"));
  EXPECT_TRUE(current[0].ends_with("after rotation"));
}

TEST_F(LogTest, FileThatCannotBeOpenedFallsBackToStderr) {
  ScopedLogCapture capture;
  DBG::LogOptions options;
  options.destination = DBG::Destination::kFile;
  options.file_path = LogFile("missing-dir/x.log");
  EXPECT_FALSE(DBG::Configure(options));
  EXPECT_EQ(DBG::GetOptions().destination, DBG::Destination::kStderr);
  ASSERT_EQ(capture.records().size(), 1u);
  EXPECT_EQ(capture.records()[0].level, DBG::kLevelWarning);
  EXPECT_NE(capture.records()[0].message.find(options.file_path), std::string::npos);
}

TEST_F(LogTest, EnvironmentConfiguresThresholdAndDestination) {
  const std::string path = LogFile("env.log");
  setenv(kLevelVariable, "Trace", 1);
  setenv(kDestinationVariable, path.c_str(), 1);
  EXPECT_TRUE(DBG::ConfigureFromEnvironment());
  DBG::LogOptions options = DBG::GetOptions();
  EXPECT_EQ(options.threshold, Severity::kTrace);
  EXPECT_EQ(options.destination, DBG::Destination::kFile);
  EXPECT_EQ(options.file_path, path);
  DBG::DebugLogEx(nullptr, DBG::kLevelLeave, "s", 1, L"traced");
  EXPECT_EQ(ReadLines(path).size(), 1u);

  setenv(kDestinationVariable, "syslog", 1);
  unsetenv(kLevelVariable);
  EXPECT_TRUE(DBG::ConfigureFromEnvironment());
  options = DBG::GetOptions();
  EXPECT_EQ(options.threshold, Severity::kWarning);
  EXPECT_EQ(options.destination, DBG::Destination::kSyslog);
}

TEST_F(LogTest, BadEnvironmentValuesKeepDefaultsAndWarnOnce) {
  struct Case {
    const char* level;
    std::string destination;
    const char* variable;
    std::string value;
  } const kCases[] = {
      {"loud", "stderr", kLevelVariable, "loud"},
      {"error", LogFile("no/such/dir/x.log"), kDestinationVariable, LogFile("no/such/dir/x.log")},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.variable);
    setenv(kLevelVariable, c.level, 1);
    setenv(kDestinationVariable, c.destination.c_str(), 1);
    ScopedLogCapture capture;
    EXPECT_FALSE(DBG::ConfigureFromEnvironment());
    const DBG::LogOptions options = DBG::GetOptions();
    EXPECT_EQ(options.destination, DBG::Destination::kStderr);
    ASSERT_EQ(capture.records().size(), 1u);
    const std::string& message = capture.records()[0].message;
    EXPECT_EQ(capture.records()[0].level, DBG::kLevelWarning);
    EXPECT_NE(message.find(c.variable), std::string::npos) << message;
    EXPECT_NE(message.find(c.value), std::string::npos) << message;
    if (std::string_view(c.variable) == kLevelVariable) {
      EXPECT_EQ(options.threshold, Severity::kWarning);
    }
  }
}

TEST_F(LogTest, CaptureRecordsFieldsAndNests) {
  ScopedLogCapture outer(Severity::kTrace);
  DBG::DebugLogEx(nullptr, DBG::kLevelData, "outer_src", 11, L"%s=%I64d", L"count", int64_t{-4});
  {
    ScopedLogCapture inner(Severity::kError);
    DBG::DebugLogEx(nullptr, DBG::kLevelData, "s", 1, L"filtered by the inner threshold");
    DBG::DebugLogEx(nullptr, DBG::kLevelFailure, "s", 2, L"failure \u00E9");
    EXPECT_EQ(inner.records().size(), 1u);
    EXPECT_TRUE(inner.Contains(DBG::kLevelFailure, "failure \xC3\xA9"));
    EXPECT_TRUE(inner.Contains(DBG::kLevelFailure, std::wstring_view(L"failure \u00E9")));
    EXPECT_FALSE(inner.Contains(DBG::kLevelWarning, "failure \xC3\xA9"));
  }
  ASSERT_EQ(outer.records().size(), 1u);
  const DBG::LogRecord& record = outer.records()[0];
  EXPECT_EQ(record.level, DBG::kLevelData);
  EXPECT_EQ(record.severity, Severity::kInfo);
  EXPECT_EQ(record.source, "outer_src");
  EXPECT_EQ(record.line, 11);
  EXPECT_EQ(record.message, "count=-4");
  EXPECT_EQ(record.wide_message, L"count=-4");
  EXPECT_EQ(record.thread_id, GetCurrentThreadId());
  EXPECT_TRUE(outer.ContainsSubstring(DBG::kLevelData, "=-4"));
  EXPECT_EQ(outer.Count(DBG::kLevelData), 1u);

  // Trace is on again now that the inner capture is gone.
  DBG::DebugLogEx(nullptr, DBG::kLevelEnter, "s", 3, L"enter");
  EXPECT_EQ(outer.Count(DBG::kLevelEnter), 1u);
  outer.Clear();
  EXPECT_TRUE(outer.records().empty());
}

TEST_F(LogTest, CaptureIsThreadSafe) {
  constexpr int kThreads = 4;
  constexpr int kRecords = 500;
  ScopedLogCapture capture(Severity::kTrace);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kRecords; ++i) {
        DBG::DebugLogEx(nullptr, DBG::kLevelEnter, "s", t, L"%d", i);
      }
    });
  }
  size_t seen_while_running = 0;
  while (seen_while_running < kThreads * kRecords / 2) {
    seen_while_running = capture.Snapshot().size();
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(capture.Count(DBG::kLevelEnter), static_cast<size_t>(kThreads * kRecords));
}

}  // namespace
