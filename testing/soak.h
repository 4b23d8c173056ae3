// A soak of the started module: many threads resolve SIP users at random
// for a while, as a busy service would, while the caller disturbs the
// directory; every answer that came without a failure must equal the one a
// single thread got without disturbance.
//
//   IPC_SERVER_Init();
//   const SoakReference reference = ResolveOneAtATime(sips);
//   SoakOptions options;
//   options.disturb = [&](std::mt19937_64& random) { ...inject a fault... };
//   const SoakReport report = RunSoak(reference, options);
//   EXPECT_EQ(report.mismatches, 0u) << DescribeSoak(report);
//
// A call counts as failed when the helpers met a failure other than "not
// found" on its thread (they report those to a LookupFailureRecorder); a
// call that met none is an answer, and is compared with the reference: the
// GUID list entry by entry, the e-mail address (or its absence) exactly. A
// "not found" that a fault made up, or a part of a walk that a fault cut
// without a failure reaching the caller, therefore shows as a mismatch.
//
// Thread safety: call these from one thread; RunSoak starts and joins its
// own threads. The module must be started and stay started throughout.
#ifndef USERPOLICY_TESTING_SOAK_H_
#define USERPOLICY_TESTING_SOAK_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace userpolicy::testing {

// What a SIP address resolves to: its GUID list and its e-mail address
// (empty when it has none).
struct SoakAnswer {
  std::vector<std::wstring> guids;
  std::wstring email;
  bool operator==(const SoakAnswer& other) const { return guids == other.guids && email == other.email; }
};
using SoakReference = std::map<std::wstring, SoakAnswer>;

// Resolves every address of `sips`, one call after the other on this
// thread. Throws std::runtime_error naming the address and the failure when
// a lookup fails.
SoakReference ResolveOneAtATime(const std::vector<std::wstring>& sips);

struct SoakOptions {
  int threads = 32;
  std::chrono::milliseconds duration{10000};
  // Half the calls ask for one of the first `hot_users` addresses of the
  // reference (in its order), so that their records stay cached and their
  // lookups meet in flight; the rest ask for any address.
  size_t hot_users = 64;
  // Every other GUID list is followed by the same address's e-mail address.
  uint64_t seed = 0x50a4;
  // Called on a thread of its own, with that thread's random engine, at
  // random intervals between disturb_min and disturb_max, until the soak
  // ends; may be empty.
  std::function<void(std::mt19937_64&)> disturb;
  std::chrono::milliseconds disturb_min{20};
  std::chrono::milliseconds disturb_max{200};
};

struct SoakReport {
  uint64_t guid_calls = 0;
  uint64_t email_calls = 0;
  uint64_t answered = 0;    // calls without a failure, compared with the reference
  uint64_t failed = 0;      // calls that met a failure
  uint64_t mismatches = 0;  // answers that differ from the reference
  std::vector<std::string> first_mismatches;  // described, at most kMaxDescribed
  uint64_t disturbances = 0;
  // Over every call, failed or not.
  std::chrono::microseconds median{0}, p99{0}, slowest{0};
  std::chrono::milliseconds elapsed{0};
  static constexpr size_t kMaxDescribed = 10;
};

// Runs the soak. REQUIRES: `reference` is not empty; options.threads >= 1.
SoakReport RunSoak(const SoakReference& reference, const SoakOptions& options);

// The report in a few lines (counts, rate, latency, the mismatches seen).
std::string DescribeSoak(const SoakReport& report);

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTING_SOAK_H_
