// The long soak: 32 threads resolve 2,000 generated users through the
// started module while its two Global Catalog servers (fault proxies in
// front of one slapd) misbehave at random; every answer that came without a
// failure is compared with a single thread's answer on a quiet directory.
//
// Two runs, each from a cold start with small, short-lived caches:
//  1. ShareFetchFailuresWithWaiters = true: every answer must match; the
//     program fails (exit 1) on any mismatch.
//  2. The default (false): threads that waited for another thread's failed
//     read get what the read left and no error; the run counts the answers
//     that came out short that way (reported, not a failure).
//
// USERPOLICY_SOAK_SECONDS sets the length of the first run (120 s by
// default); the second runs a quarter of it. Arguments are ignored (./run
// bench passes the benchmark library's flags to every program).
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

#include "module/module_entry.h"
#include "platform/log.h"
#include "testing/soak.h"
#include "testing/soak_scenario.h"

namespace {

using userpolicy::testing::DescribeSoak;
using userpolicy::testing::ResolveOneAtATime;
using userpolicy::testing::RunSoak;
using userpolicy::testing::SoakOptions;
using userpolicy::testing::SoakReference;
using userpolicy::testing::SoakReport;
using userpolicy::testing::SoakScenario;

constexpr int kDefaultSeconds = 120;
constexpr size_t kOutageCalls = 4;

SoakReport SoakOnce(SoakScenario& scenario, const SoakReference& reference, std::chrono::milliseconds duration) {
  scenario.UseSettings(SoakScenario::Settings::kSoak);
  if (IPC_SERVER_Init() != 0) throw std::runtime_error("IPC_SERVER_Init failed");
  SoakOptions options;
  options.duration = duration;
  options.disturb = [&scenario](std::mt19937_64& random) { scenario.InjectRandomFault(random); };
  const SoakReport report = RunSoak(reference, options);
  scenario.Heal();
  IPC_SERVER_Deinit();
  return report;
}

// The library's default settings, both servers stalled: how long each of a
// few GUID lists of users nobody asked for yet takes.
void MeasureOutage(SoakScenario& scenario) {
  scenario.UseSettings(SoakScenario::Settings::kLibraryDefaults);
  if (IPC_SERVER_Init() != 0) throw std::runtime_error("IPC_SERVER_Init failed");
  ResolveOneAtATime({scenario.sips()[0]});  // connections open and pooled
  scenario.SetFaultEverywhere({userpolicy::local_directories::FaultProxy::Mode::kStall});
  printf("outage with the default settings (both servers stalled), one GUID list after the other:");
  for (size_t i = 1; i <= kOutageCalls; ++i) {
    const auto start = std::chrono::steady_clock::now();
    bool failed = false;
    try {
      ResolveOneAtATime({scenario.sips()[i]});
    } catch (const std::runtime_error&) {
      failed = true;
    }
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    printf(" %lld ms%s", static_cast<long long>(took.count()), failed ? "" : " (answered?)");
  }
  printf("\n");
  scenario.Heal();
  IPC_SERVER_Deinit();
}

int Run() {
  DBG::LogOptions quiet = DBG::GetOptions();
  quiet.threshold = DBG::Severity::kOff;
  DBG::Configure(quiet);
  const char* seconds_text = getenv("USERPOLICY_SOAK_SECONDS");
  const std::chrono::seconds seconds(seconds_text != nullptr ? atoi(seconds_text) : kDefaultSeconds);

  SoakReference reference;
  const auto reference_start = std::chrono::steady_clock::now();
  {
    SoakScenario scenario({});
    if (IPC_SERVER_Init() != 0) throw std::runtime_error("IPC_SERVER_Init failed");
    reference = ResolveOneAtATime(scenario.sips());
    IPC_SERVER_Deinit();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                            reference_start);
    printf("reference: %zu users resolved one at a time in %lld ms\n", reference.size(),
           static_cast<long long>(took.count()));
    MeasureOutage(scenario);

    const SoakReport shared = SoakOnce(scenario, reference, seconds);
    printf("\nsoak, waiters receive the reader's failure (ShareFetchFailuresWithWaiters = true):\n%s%s\n",
           DescribeSoak(shared).c_str(), scenario.DescribeFaults().c_str());
    if (shared.mismatches != 0) {
      printf("FAILED: %llu answers differed from the reference\n", static_cast<unsigned long long>(shared.mismatches));
      return 1;
    }
  }
  {
    SoakScenario::Options options;
    options.share_failures_with_waiters = false;
    SoakScenario scenario(options);
    const SoakReport silent = SoakOnce(scenario, reference, seconds / 4);
    printf("\nsoak with the default, waiters get what a failed read left (ShareFetchFailuresWithWaiters = false):\n"
           "%s%s\n%llu of %llu answers came out short without an error (%.3f%%)\n",
           DescribeSoak(silent).c_str(), scenario.DescribeFaults().c_str(),
           static_cast<unsigned long long>(silent.mismatches), static_cast<unsigned long long>(silent.answered),
           silent.answered != 0 ? 100.0 * static_cast<double>(silent.mismatches) / silent.answered : 0.0);
  }
  return 0;
}

}  // namespace

int main() {
  try {
    return Run();
  } catch (const std::exception& e) {
    fprintf(stderr, "soak_bench: %s\n", e.what());
    return 1;
  }
}
