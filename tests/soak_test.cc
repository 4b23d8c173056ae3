// Thirty-two threads resolve 2,000 generated users through the started
// module for a while, with caches small and short enough that eviction,
// expiry and single flight run all the time, while the two Global Catalog
// servers (fault proxies in front of one slapd) misbehave at random. Every
// answer that came without a failure must be the one a single thread got
// from a quiet directory; afterwards the module recovers and leaves no
// connection or thread behind.
//
// USERPOLICY_SOAK_SECONDS sets how long the threads run (8 s by default);
// bench/soak_bench.cc runs the same soak for longer.
#include <dirent.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "module/module_entry.h"
#include "platform/log.h"
#include "platform/utf8.h"
#include "testing/soak.h"
#include "testing/soak_scenario.h"

namespace {

using userpolicy::testing::ResolveOneAtATime;
using userpolicy::testing::RunSoak;
using userpolicy::testing::SoakOptions;
using userpolicy::testing::SoakReference;
using userpolicy::testing::SoakReport;
using userpolicy::testing::SoakScenario;
using Clock = std::chrono::steady_clock;

constexpr int kDefaultSoakSeconds = 8;
// Nothing may take this long, whatever the faults: each call's worst case is
// a few time-outs of 0.5 s, stretched by 32 threads on a busy machine.
constexpr std::chrono::seconds kNoCallTakesThisLong{15};
constexpr size_t kRecoveryUsers = 200;
constexpr int kPoolSize = 4;  // the scenario's settings
constexpr auto kSettleLimit = std::chrono::seconds(5);

size_t ThreadCount() {
  size_t count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
  }
  return count;
}

std::chrono::milliseconds SoakDuration() {
  const char* seconds = getenv("USERPOLICY_SOAK_SECONDS");
  return std::chrono::seconds(seconds != nullptr ? atoi(seconds) : kDefaultSoakSeconds);
}

// Polls `done` until it holds or the limit passes; returns whether it held.
template <class Condition>
bool Eventually(Condition done) {
  const Clock::time_point limit = Clock::now() + kSettleLimit;
  while (!done()) {
    if (Clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

TEST(Soak, ManyThreadsUnderRandomFaultsAnswerAsOneThreadOnAQuietDirectory) {
  // The failures of the soak are expected by the thousand; the log would
  // only bury the report.
  DBG::LogOptions quiet = DBG::GetOptions();
  quiet.threshold = DBG::Severity::kOff;
  DBG::Configure(quiet);

  SoakScenario scenario({});
  const size_t threads_before = ThreadCount();

  // The reference: one thread, whole-directory caches, no fault. It must
  // hold what the generator put into the directory (the walk's order is the
  // server's, so compare sets; the user and the primary group come first).
  ASSERT_EQ(IPC_SERVER_Init(), 0);
  const SoakReference reference = ResolveOneAtATime(scenario.sips());
  ASSERT_EQ(IPC_SERVER_Deinit(), 0);
  for (size_t i = 0; i < scenario.sips().size(); ++i) {
    const std::vector<std::wstring>& guids = reference.at(scenario.sips()[i]).guids;
    const std::set<std::wstring> generated = scenario.GeneratedGuids(i);
    ASSERT_EQ(std::set<std::wstring>(guids.begin(), guids.end()), generated)
        << platform::WideToUtf8(scenario.sips()[i]);
    ASSERT_EQ(guids.size(), generated.size()) << "a GUID listed twice for " << platform::WideToUtf8(scenario.sips()[i]);
  }

  // The soak, from a cold start with small, short-lived caches.
  scenario.UseSettings(SoakScenario::Settings::kSoak);
  ASSERT_EQ(IPC_SERVER_Init(), 0);
  SoakOptions options;
  options.duration = SoakDuration();
  options.disturb = [&scenario](std::mt19937_64& random) { scenario.InjectRandomFault(random); };
  const SoakReport report = RunSoak(reference, options);
  scenario.Heal();
  const std::string faults = scenario.DescribeFaults();
  printf("[ measured ] soak: %s%s\n", userpolicy::testing::DescribeSoak(report).c_str(), faults.c_str());

  EXPECT_EQ(report.mismatches, 0u) << userpolicy::testing::DescribeSoak(report);
  EXPECT_GT(report.answered, 0u);
  EXPECT_GT(report.disturbances, 0u);
  EXPECT_LT(report.slowest, kNoCallTakesThisLong);

  // Healed and past every back-off, the module answers every call again.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  for (size_t i = 0; i < kRecoveryUsers; ++i) {
    const std::wstring& sip = scenario.sips()[i * scenario.sips().size() / kRecoveryUsers];
    SoakReference once;
    ASSERT_NO_THROW(once = ResolveOneAtATime({sip})) << "after healing, " << platform::WideToUtf8(sip);
    EXPECT_EQ(once.at(sip), reference.at(sip)) << platform::WideToUtf8(sip);
  }

  // Stopped, the module left no thread running; the process-wide backend
  // keeps at most its pooled connections to each server for the next
  // start, and the proxies run a pump thread for each.
  ASSERT_EQ(IPC_SERVER_Deinit(), 0);
  EXPECT_LE(scenario.OpenConnections(), 2 * kPoolSize);
  EXPECT_TRUE(Eventually([&] { return ThreadCount() == threads_before + scenario.OpenConnections(); }))
      << ThreadCount() << " threads, " << threads_before << " before, " << scenario.OpenConnections()
      << " connections";
}

}  // namespace
