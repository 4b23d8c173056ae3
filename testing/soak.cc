#include "testing/soak.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "dsobject/user_policy_manager_exception.h"
#include "platform/com.h"
#include "platform/directory/directory_error.h"
#include "platform/utf8.h"
#include "resolve/lookup_failure_recorder.h"
#include "resolve/policy_filter_ds_access_helper.h"
#include "resolve/proxy_address_ds_access_helper.h"

namespace userpolicy::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned long kEmailCapacity = 512;

// "Not found" is an answer, not a failure: the comparison judges it.
bool IsFailure(const OS::CException& failure) {
  const int code = failure.GetErrorCode();
  return code != EX_USER_POLICY_MGR_DSOBJECT_NOT_FOUND && code != kDirectoryNotFound;
}

std::string Describe(const OS::CException& failure) {
  return std::to_string(failure.GetErrorCode()) + " " + platform::WideToUtf8(failure.GetErrorMsgEx().c_str());
}

// One lookup's outcome: the answer, or the failure met.
struct Outcome {
  bool failed = false;
  std::string failure;
  std::vector<std::wstring> guids;
  std::wstring email;
};

Outcome LookUpGuids(const std::wstring& sip) {
  Outcome outcome;
  LookupFailureRecorder recorder(&IsFailure);
  std::vector<_bstr_t> guids;
  CPolicyFilterDSAccessHelper::GetUserIdentityAndMembershipGuids(sip.c_str(), guids);
  if (recorder.failed()) {
    outcome.failed = true;
    outcome.failure = recorder.first_failure() ? Describe(*recorder.first_failure()) : "out of memory";
    return outcome;
  }
  for (const _bstr_t& guid : guids) outcome.guids.emplace_back(static_cast<const wchar_t*>(guid));
  return outcome;
}

Outcome LookUpEmail(const std::wstring& sip) {
  Outcome outcome;
  LookupFailureRecorder recorder(&IsFailure);
  std::array<wchar_t, kEmailCapacity> buffer{};
  const long hr =
      CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(sip.c_str(), buffer.data(), kEmailCapacity);
  if (recorder.failed()) {
    outcome.failed = true;
    outcome.failure = recorder.first_failure() ? Describe(*recorder.first_failure()) : "out of memory";
    return outcome;
  }
  if (hr == S_OK) outcome.email = buffer.data();
  return outcome;
}

// "3 GUIDs instead of 5, the first difference at entry 2: b39... instead of 062...".
std::string DescribeDifference(const std::vector<std::wstring>& got, const std::vector<std::wstring>& expected) {
  size_t at = 0;
  while (at < got.size() && at < expected.size() && got[at] == expected[at]) ++at;
  auto entry = [](const std::vector<std::wstring>& guids, size_t i) {
    return i < guids.size() ? platform::WideToUtf8(guids[i]) : std::string("(none)");
  };
  return std::to_string(got.size()) + " GUIDs instead of " + std::to_string(expected.size()) +
         ", the first difference at entry " + std::to_string(at + 1) + ": " + entry(got, at) + " instead of " +
         entry(expected, at);
}

// What one worker thread saw.
struct WorkerTally {
  uint64_t guid_calls = 0, email_calls = 0, answered = 0, failed = 0, mismatches = 0;
  std::vector<std::string> mismatches_described;
  std::vector<uint32_t> latencies_us;
};

class Soak {
 public:
  Soak(const SoakReference& reference, const SoakOptions& options) : reference_(reference), options_(options) {
    for (const auto& entry : reference) sips_.push_back(&entry.first);
  }

  SoakReport Run() {
    const Clock::time_point start = Clock::now();
    deadline_ = start + options_.duration;
    std::vector<WorkerTally> tallies(static_cast<size_t>(options_.threads));
    std::vector<std::thread> workers;
    for (int i = 0; i < options_.threads; ++i) {
      workers.emplace_back([this, i, &tallies] { Work(options_.seed + static_cast<uint64_t>(i) + 1, &tallies[i]); });
    }
    std::thread disturber;
    if (options_.disturb) disturber = std::thread([this] { Disturb(); });
    for (std::thread& worker : workers) worker.join();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    if (disturber.joinable()) disturber.join();
    return Summarize(tallies, Clock::now() - start);
  }

 private:
  void Work(uint64_t seed, WorkerTally* tally) {
    std::mt19937_64 random(seed);
    const size_t hot = std::min(options_.hot_users, sips_.size());
    std::uniform_int_distribution<size_t> any(0, sips_.size() - 1);
    std::uniform_int_distribution<size_t> any_hot(0, hot == 0 ? 0 : hot - 1);
    while (Clock::now() < deadline_) {
      const bool ask_hot = hot > 0 && (random() & 1) != 0;
      const std::wstring& sip = *sips_[ask_hot ? any_hot(random) : any(random)];
      const SoakAnswer& expected = reference_.at(sip);

      ++tally->guid_calls;
      Check(sip, "GUID list", Timed(tally, [&] { return LookUpGuids(sip); }), tally,
            [&](const Outcome& got) { return got.guids == expected.guids; },
            [&](const Outcome& got) { return DescribeDifference(got.guids, expected.guids); });
      if ((random() & 1) != 0) {
        ++tally->email_calls;
        Check(sip, "e-mail", Timed(tally, [&] { return LookUpEmail(sip); }), tally,
              [&](const Outcome& got) { return got.email == expected.email; },
              [&](const Outcome& got) {
                return "\"" + platform::WideToUtf8(got.email) + "\" instead of \"" +
                       platform::WideToUtf8(expected.email) + "\"";
              });
      }
    }
  }

  template <class Lookup>
  static Outcome Timed(WorkerTally* tally, Lookup lookup) {
    const Clock::time_point start = Clock::now();
    Outcome outcome = lookup();
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    tally->latencies_us.push_back(static_cast<uint32_t>(std::min<int64_t>(us, UINT32_MAX)));
    return outcome;
  }

  template <class Same, class Difference>
  static void Check(const std::wstring& sip, const char* what, const Outcome& got, WorkerTally* tally, Same same, Difference difference) {
    if (got.failed) {
      ++tally->failed;
      return;
    }
    ++tally->answered;
    if (same(got)) return;
    ++tally->mismatches;
    if (tally->mismatches_described.size() < SoakReport::kMaxDescribed) {
      tally->mismatches_described.push_back(platform::WideToUtf8(sip) + " " + what + ": " + difference(got));
    }
  }

  void Disturb() {
    std::mt19937_64 random(options_.seed);
    const auto min = options_.disturb_min.count();
    std::uniform_int_distribution<int64_t> pause(min, std::max(min, options_.disturb_max.count()));
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done_) {
      if (wake_.wait_for(lock, std::chrono::milliseconds(pause(random)), [this] { return done_; })) break;
      lock.unlock();
      options_.disturb(random);
      ++disturbances_;
      lock.lock();
    }
  }

  SoakReport Summarize(std::vector<WorkerTally>& tallies, Clock::duration elapsed) const {
    SoakReport report;
    std::vector<uint32_t> latencies;
    for (WorkerTally& tally : tallies) {
      report.guid_calls += tally.guid_calls;
      report.email_calls += tally.email_calls;
      report.answered += tally.answered;
      report.failed += tally.failed;
      report.mismatches += tally.mismatches;
      for (std::string& text : tally.mismatches_described) {
        if (report.first_mismatches.size() < SoakReport::kMaxDescribed) report.first_mismatches.push_back(text);
      }
      latencies.insert(latencies.end(), tally.latencies_us.begin(), tally.latencies_us.end());
    }
    report.disturbances = disturbances_;
    report.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed);
    if (!latencies.empty()) {
      std::sort(latencies.begin(), latencies.end());
      report.median = std::chrono::microseconds(latencies[latencies.size() / 2]);
      report.p99 = std::chrono::microseconds(latencies[latencies.size() * 99 / 100]);
      report.slowest = std::chrono::microseconds(latencies.back());
    }
    return report;
  }

  const SoakReference& reference_;
  const SoakOptions& options_;
  std::vector<const std::wstring*> sips_;
  Clock::time_point deadline_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  uint64_t disturbances_ = 0;  // written by the disturbing thread only, read after it joined
};

}  // namespace

SoakReference ResolveOneAtATime(const std::vector<std::wstring>& sips) {
  SoakReference reference;
  for (const std::wstring& sip : sips) {
    Outcome guids = LookUpGuids(sip);
    Outcome email = guids.failed ? Outcome{} : LookUpEmail(sip);
    if (guids.failed || email.failed) {
      throw std::runtime_error("resolving " + platform::WideToUtf8(sip) +
                               " failed: " + (guids.failed ? guids.failure : email.failure));
    }
    reference[sip] = SoakAnswer{std::move(guids.guids), std::move(email.email)};
  }
  return reference;
}

SoakReport RunSoak(const SoakReference& reference, const SoakOptions& options) {
  if (reference.empty() || options.threads < 1) throw std::invalid_argument("a soak needs addresses and threads");
  return Soak(reference, options).Run();
}

std::string DescribeSoak(const SoakReport& report) {
  std::ostringstream text;
  const double seconds = std::max<double>(report.elapsed.count(), 1) / 1000.0;
  const uint64_t calls = report.guid_calls + report.email_calls;
  text << report.guid_calls << " GUID lists and " << report.email_calls << " e-mail addresses in "
       << report.elapsed.count() << " ms (" << static_cast<uint64_t>(calls / seconds) << " calls/s), "
       << report.disturbances << " disturbances\n"
       << report.answered << " answered, " << report.failed << " failed, " << report.mismatches
       << " differed from the reference\n"
       << "call time: median " << report.median.count() << " us, 99th percentile " << report.p99.count()
       << " us, slowest " << report.slowest.count() << " us\n";
  for (const std::string& mismatch : report.first_mismatches) text << "  mismatch: " << mismatch << "\n";
  return text.str();
}

}  // namespace userpolicy::testing
