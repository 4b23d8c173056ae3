// The batch runner: answers in input order whatever order they complete
// in, outcome counts and exit code, lookups that throw, more threads than
// addresses, and the progress bar's drawing around the answers.
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tools/upm/batch_runner.h"

namespace upm {
namespace {

using ::testing::HasSubstr;

std::vector<std::string> Addresses(int count) {
  std::vector<std::string> sips;
  for (int i = 0; i < count; ++i) sips.push_back("sip:user" + std::to_string(i) + "@example.test");
  return sips;
}

TEST(BatchRunner, EmitsInInputOrderWhenTheFirstAnswerCompletesLast) {
  const std::vector<std::string> sips = Addresses(12);
  std::mutex mutex;
  std::condition_variable others_done;
  int others = 0;
  std::vector<std::string> completion_order;
  auto lookup = [&](const std::string& sip) {
    std::unique_lock<std::mutex> lock(mutex);
    if (sip == sips[0]) {
      // Held back until every other address is answered.
      others_done.wait(lock, [&] { return others == static_cast<int>(sips.size()) - 1; });
    } else {
      ++others;
      others_done.notify_all();
    }
    completion_order.push_back(sip);
    LookupAnswer answer;
    answer.outcome = Outcome::kFound;
    answer.email = "mail-of-" + sip;
    return answer;
  };
  std::vector<std::string> emitted;
  const BatchTotals totals = RunBatch(
      sips, 4, lookup,
      [&](const LookupAnswer& answer) {
        EXPECT_EQ(answer.email, "mail-of-" + answer.sip);
        emitted.push_back(answer.sip);
      },
      nullptr);
  EXPECT_EQ(completion_order.back(), sips[0]) << "the first address really completed last";
  EXPECT_EQ(emitted, sips);
  EXPECT_EQ(totals.found, sips.size());
  EXPECT_EQ(totals.exit_code, 0);
  EXPECT_EQ(totals.latency.count, sips.size());
}

TEST(BatchRunner, UsesAsManyThreadsAsAsked) {
  // Four lookups that each wait until four are running at once: done only
  // when the runner runs four threads.
  std::mutex mutex;
  std::condition_variable all_in;
  int running = 0;
  auto lookup = [&](const std::string&) {
    std::unique_lock<std::mutex> lock(mutex);
    ++running;
    all_in.notify_all();
    all_in.wait(lock, [&] { return running >= 4; });
    return LookupAnswer{"", Outcome::kNotFound, {}, "", {}, 0};
  };
  const BatchTotals totals = RunBatch(Addresses(4), 4, lookup, [](const LookupAnswer&) {}, nullptr);
  EXPECT_EQ(totals.not_found, 4u);
  EXPECT_EQ(totals.exit_code, 1);
}

TEST(BatchRunner, CountsOutcomesAndFirstFailureDecidesTheExitCode) {
  auto lookup = [](const std::string& sip) {
    LookupAnswer answer;
    const char last = sip[sip.find('@') - 1];
    if (last == '3') {
      answer.outcome = Outcome::kFailed;
      answer.error = CallError{UP_CONFIG_ERROR, 0, "bad settings"};
    } else if (last == '5') {
      answer.outcome = Outcome::kFailed;
      answer.error = CallError{UP_DIRECTORY_ERROR, 0, "unreachable"};
    } else if (last == '1') {
      answer.outcome = Outcome::kNotFound;
    } else {
      answer.outcome = Outcome::kFound;
    }
    return answer;
  };
  const BatchTotals totals = RunBatch(Addresses(8), 3, lookup, [](const LookupAnswer&) {}, nullptr);
  EXPECT_EQ(totals.found, 5u);
  EXPECT_EQ(totals.not_found, 1u);
  EXPECT_EQ(totals.failed, 2u);
  EXPECT_EQ(totals.exit_code, 4) << "user3's configuration error comes before user5's";
}

TEST(BatchRunner, LookupThatThrowsIsAFailedAnswerNamingTheAddress) {
  auto lookup = [](const std::string& sip) -> LookupAnswer {
    if (sip == "sip:user1@example.test") throw std::runtime_error("out of luck");
    return LookupAnswer{"", Outcome::kFound, {}, "", {}, 0};
  };
  std::vector<LookupAnswer> answers;
  const BatchTotals totals =
      RunBatch(Addresses(3), 2, lookup, [&](const LookupAnswer& answer) { answers.push_back(answer); }, nullptr);
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(answers[1].outcome, Outcome::kFailed);
  EXPECT_EQ(answers[1].error.status, UP_INTERNAL_ERROR);
  EXPECT_EQ(answers[1].error.message, "sip:user1@example.test: out of luck");
  EXPECT_EQ(totals.exit_code, 6);
}

TEST(BatchRunner, MoreThreadsThanAddressesAndNoAddresses) {
  std::vector<std::string> emitted;
  const BatchTotals two = RunBatch(
      Addresses(2), 64, [](const std::string&) { return LookupAnswer{"", Outcome::kFound, {}, "", {}, 0}; },
      [&](const LookupAnswer& answer) { emitted.push_back(answer.sip); }, nullptr);
  EXPECT_EQ(emitted, Addresses(2));
  EXPECT_EQ(two.found, 2u);

  std::ostringstream bar_out;
  ProgressBar bar(bar_out, 0);
  const BatchTotals none = RunBatch(
      {}, 4, [](const std::string&) { return LookupAnswer{}; }, [](const LookupAnswer&) { FAIL(); }, &bar);
  EXPECT_EQ(none.found + none.not_found + none.failed, 0u);
  EXPECT_EQ(none.exit_code, 0);
  EXPECT_EQ(bar_out.str(), "") << "no bar for an empty batch";
}

// True when the last thing on `terminal` is not a drawn bar: it ends with
// the bar's erase sequence or with a whole line.
bool BarNotShowing(const std::string& terminal) {
  return terminal.empty() || terminal.back() == '\n' ||
         (terminal.size() >= 4 && terminal.substr(terminal.size() - 4) == "\r\033[K");
}

TEST(BatchRunner, ProgressIsClearedBeforeEachAnswerIsEmitted) {
  std::ostringstream terminal;
  ProgressBar bar(terminal, 5);
  auto lookup = [](const std::string&) { return LookupAnswer{"", Outcome::kFound, {}, "", {}, 0}; };
  RunBatch(
      Addresses(5), 1, lookup,
      [&](const LookupAnswer& answer) {
        EXPECT_TRUE(BarNotShowing(terminal.str())) << "bar on the line before " << answer.sip;
        terminal << answer.sip << "\n";
      },
      &bar);
  const std::string text = terminal.str();
  EXPECT_THAT(text, HasSubstr("[------------------------------]  0/5"));
  EXPECT_TRUE(BarNotShowing(text)) << "bar left on the line at the end";
}

}  // namespace
}  // namespace upm
