// The debug log: thresholds, line format, destinations, environment
// configuration and the capture seam.
#include "platform/log.h"

#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/crt.h"
#include "platform/utf8.h"
#include "testing/fake_clock.h"
#include "testing/log_capture.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/scoped_temporary_folder.h"
#include "tests/support/target_system.h"

namespace {

using DBG::Severity;
using DBG::testing::ScopedLogCapture;

constexpr char kLevelVariable[] = "USERPOLICY_LOG_LEVEL";
constexpr char kDestinationVariable[] = "USERPOLICY_LOG";

// What the Windows wide `format` makes of the arguments.
std::wstring Formatted(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring text = platform::FormatWindowsV(format, args);
  va_end(args);
  return text;
}

// Restores the log configuration and clears its environment variables after
// each test, and gives each test a private directory for log files.
class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_options_ = DBG::GetOptions();
  }

  void TearDown() override {
    userpolicy::testing::SetEnvironment(kLevelVariable, std::nullopt);
    userpolicy::testing::SetEnvironment(kDestinationVariable, std::nullopt);
    DBG::Configure(saved_options_);
  }

  std::string LogFile(const std::string& name) const { return (directory_.path() / name).string(); }

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
  userpolicy::testing::ScopedTemporaryFolder directory_;  // removed after TearDown closed the log
};

TEST_F(LogTest, ThresholdDecidesWhatIsFormattedAndWritten) {
  EXPECT_EQ(DBG::SeverityOf(0x1005), Severity::kWarning);  // unknown level with the warning bit
  EXPECT_EQ(DBG::SeverityOf(5), Severity::kInfo);
  const int kLevels[] = {DBG::kLevelFailure, DBG::kLevelWarning, DBG::kLevelData,
                         DBG::kLevelEnter, DBG::kLevelLeave};
  const std::map<Severity, size_t> kWrittenCount = {
      {Severity::kOff, 0}, {Severity::kError, 1}, {Severity::kWarning, 2},
      {Severity::kInfo, 3}, {Severity::kTrace, 5}};  // a prefix of kLevels
  for (const auto& [threshold, count] : kWrittenCount) {
    SCOPED_TRACE(std::string(DBG::ThresholdName(threshold)));
    // Through the configured threshold, and through a capture overriding another one.
    for (bool use_override : {false, true}) {
      DBG::LogOptions options = DBG::GetOptions();
      options.threshold = !use_override               ? threshold
                          : threshold == Severity::kOff ? Severity::kTrace
                                                        : Severity::kOff;
      ASSERT_TRUE(DBG::Configure(options));
      std::optional<ScopedLogCapture> capture;
      use_override ? capture.emplace(threshold) : capture.emplace();
      for (size_t i = 0; i < std::size(kLevels); ++i) {
        EXPECT_EQ(DBG::IsEnabled(kLevels[i]), i < count);
        DBG::DebugLogEx(nullptr, kLevels[i], "src", 1, L"level %d", kLevels[i]);
      }
      ASSERT_EQ(capture->records().size(), count);
      for (size_t i = 0; i < count; ++i) EXPECT_EQ(capture->records()[i].level, kLevels[i]);
      if (count < std::size(kLevels)) {
        // A disabled record's arguments are never read: this one would crash if formatted.
        DBG::DebugLogEx(nullptr, DBG::kLevelLeave, "src", 1, L"%s",
                        reinterpret_cast<const wchar_t*>(uintptr_t{8}));
      }
    }
  }
  Severity parsed = Severity::kInfo;  // names ignore case
  EXPECT_TRUE(DBG::ParseThreshold("WARN", &parsed));
  EXPECT_EQ(parsed, Severity::kWarning);
}

TEST_F(LogTest, LineHasTimeThreadSeverityLevelSourceAndEscapedMessage) {
  const std::string path = LogFile("format.log");
  ConfigureFile(path, Severity::kTrace);
  platform::testing::ScopedFakeClock clock(1'700'000'000);
  clock.AdvanceMillis(123);
  DBG::DebugLogEx(nullptr, DBG::kLevelWarning, "serv_UserPolicyManager", 120,
                  L"user %s has %d groups (%S)", L"sip:alice@example.test", 3, "narrow \xC3\xA9");
  DBG::DebugLogEx(nullptr, DBG::kLevelEnter, nullptr, 7, L"enter");
  DBG::DebugLogEx(nullptr, DBG::kLevelFailure, "x", 1, L"bad %n format");
  ScopedLogCapture capture(Severity::kWarning, /*also_write=*/true);
  DBG::DebugLogEx(nullptr, DBG::kLevelWarning, "s", 1, L"one\ntwo\r\nDOMAIN\\user\ttab\x01\n");

  // Time, thread, severity, level, source:line, message; always one line.
  // Narrow text is UTF-8 on POSIX systems; on Windows the C runtime reads it
  // in the ANSI code page, whatever that makes of the bytes.
  const std::string narrow =
      userpolicy::testing::OnWindows() ? platform::WideToUtf8(Formatted(L"narrow %S", "\xC3\xA9")) : "narrow \xC3\xA9";
  const std::string start = "2023-11-14T22:13:20.123000Z " + std::to_string(GetCurrentThreadId());
  const std::vector<std::string> lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], start + " WARN 4099 serv_UserPolicyManager:120 user sip:alice@example.test"
                              " has 3 groups (" + narrow + ")");
  EXPECT_EQ(lines[1], start + " TRACE 272 ?:7 enter");
  EXPECT_EQ(lines[2], start + " ERROR 4097 x:1 bad %n format [invalid format]");
  EXPECT_EQ(lines[3], start + R"( WARN 4099 s:1 one\ntwo\r\nDOMAIN\user)" "\ttab\\x01");
  // The capture keeps the message exactly as formatted.
  EXPECT_TRUE(capture.Contains(DBG::kLevelWarning, "one\ntwo\r\nDOMAIN\\user\ttab\x01\n"));
}

TEST_F(LogTest, ConcurrentWritersProduceOnlyWholeLinesAndEveryRecord) {
  constexpr int kThreads = 8;
  constexpr int kLinesPerThread = 400;
  const std::string path = LogFile("threads.log");
  ConfigureFile(path, Severity::kInfo);
  ScopedLogCapture capture(Severity::kInfo, /*also_write=*/true);
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
  while (capture.Snapshot().size() < kThreads * kLinesPerThread / 2) {
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(capture.Count(DBG::kLevelData), static_cast<size_t>(kThreads * kLinesPerThread));

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

TEST_F(LogTest, DestinationsFromConfigurationAndEnvironment) {
  const std::string path = LogFile("rotate.log");  // configuring again reopens the file
  ConfigureFile(path, Severity::kWarning);
  DBG::DebugLogEx(nullptr, DBG::kLevelWarning, "s", 1, L"before rotation");
  std::filesystem::rename(path, path + ".1");
  ConfigureFile(path, Severity::kWarning);
  DBG::DebugLogEx(nullptr, DBG::kLevelWarning, "s", 2, L"after rotation");
  ASSERT_EQ(ReadLines(path + ".1").size(), 1u);
  ASSERT_EQ(ReadLines(path).size(), 1u);
  EXPECT_TRUE(ReadLines(path)[0].ends_with("after rotation"));

  // A bad value keeps the default and is reported once, naming variable and value.
  const std::string missing = LogFile("no/such/dir/x.log");
  const struct {
    const char* level;
    std::string destination;
    const char* variable;
    std::string value;
    Severity threshold;
  } kBad[] = {{"loud", "stderr", kLevelVariable, "loud", Severity::kWarning},
              {"error", missing, kDestinationVariable, missing, Severity::kError}};
  for (const auto& c : kBad) {
    SCOPED_TRACE(c.variable);
    userpolicy::testing::SetEnvironment(kLevelVariable, c.level);
    userpolicy::testing::SetEnvironment(kDestinationVariable, c.destination);
    ScopedLogCapture capture;
    EXPECT_FALSE(DBG::ConfigureFromEnvironment());
    EXPECT_EQ(DBG::GetOptions().destination, DBG::Destination::kStderr);
    EXPECT_EQ(DBG::GetOptions().threshold, c.threshold);
    ASSERT_EQ(capture.records().size(), 1u);
    const std::string& message = capture.records()[0].message;
    EXPECT_EQ(capture.records()[0].level, DBG::kLevelWarning);
    EXPECT_NE(message.find(c.variable), std::string::npos) << message;
    EXPECT_NE(message.find(c.value), std::string::npos) << message;
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
  }
  ASSERT_EQ(outer.records().size(), 1u);
  const DBG::LogRecord& record = outer.records()[0];
  EXPECT_EQ(record.severity, Severity::kInfo);
  EXPECT_EQ(record.source, "outer_src");
  EXPECT_EQ(record.line, 11);
  EXPECT_EQ(record.message, "count=-4");
  EXPECT_EQ(record.thread_id, GetCurrentThreadId());
  DBG::DebugLogEx(nullptr, DBG::kLevelEnter, "s", 3, L"enter");  // the outer threshold is back
  EXPECT_EQ(outer.Count(DBG::kLevelEnter), 1u);
}

}  // namespace
