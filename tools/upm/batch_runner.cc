#include "tools/upm/batch_runner.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "tools/upm/exit_codes.h"

namespace upm {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

LookupAnswer LookUpOne(const LookupFunction& lookup, const std::string& sip) {
  const Clock::time_point start = Clock::now();
  LookupAnswer answer;
  try {
    answer = lookup(sip);
  } catch (const std::exception& e) {
    answer = LookupAnswer{};
    answer.outcome = Outcome::kFailed;
    answer.error = CallError{UP_INTERNAL_ERROR, 0, sip + ": " + e.what()};
  }
  answer.sip = sip;
  answer.milliseconds = MillisecondsSince(start);
  return answer;
}

// The answers of the batch as the workers complete them.
class AnswerSlots {
 public:
  explicit AnswerSlots(size_t count) : slots_(count) {}

  void Put(size_t index, LookupAnswer answer) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      slots_[index] = std::move(answer);
      ++completed_;
    }
    changed_.notify_one();
  }

  // Waits until the answer at `index` is there or `deadline` passes; moves
  // out the answers from `index` on that are complete, in order.
  std::vector<LookupAnswer> TakeReady(size_t index, Clock::time_point deadline, size_t* completed) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, deadline, [&] { return slots_[index].has_value(); });
    std::vector<LookupAnswer> ready;
    for (size_t i = index; i < slots_.size() && slots_[i].has_value(); ++i) {
      ready.push_back(std::move(*slots_[i]));
      slots_[i].reset();
    }
    *completed = completed_;
    return ready;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::optional<LookupAnswer>> slots_;
  size_t completed_ = 0;
};

}  // namespace

BatchTotals RunBatch(const std::vector<std::string>& sips, int threads, const LookupFunction& lookup,
                     const EmitFunction& emit, ProgressBar* progress) {
  const Clock::time_point start = Clock::now();
  BatchTotals totals;
  std::vector<double> latencies;
  latencies.reserve(sips.size());
  ExitCodeCombiner exit_code;

  if (progress != nullptr && !sips.empty()) progress->Draw(0, 0);
  AnswerSlots slots(sips.size());
  std::atomic<size_t> next{0};
  std::vector<std::thread> workers;
  const size_t worker_count = std::min(sips.size(), static_cast<size_t>(std::max(threads, 1)));
  for (size_t w = 0; w < worker_count; ++w) {
    workers.emplace_back([&] {
      for (size_t i = next.fetch_add(1); i < sips.size(); i = next.fetch_add(1)) {
        slots.Put(i, LookUpOne(lookup, sips[i]));
      }
    });
  }

  Clock::time_point last_draw = start;
  size_t emitted = 0;
  while (emitted < sips.size()) {
    size_t completed = 0;
    std::vector<LookupAnswer> ready = slots.TakeReady(emitted, Clock::now() + kRedrawInterval, &completed);
    if (!ready.empty() && progress != nullptr) progress->Clear();
    for (const LookupAnswer& answer : ready) {
      switch (answer.outcome) {
        case Outcome::kFound:
          ++totals.found;
          break;
        case Outcome::kNotFound:
          ++totals.not_found;
          break;
        case Outcome::kFailed:
          ++totals.failed;
          break;
      }
      exit_code.Add(answer.outcome == Outcome::kFound      ? kExitFound
                    : answer.outcome == Outcome::kNotFound ? kExitNotFound
                                                           : ExitCodeForStatus(answer.error.status));
      latencies.push_back(answer.milliseconds);
      emit(answer);
    }
    emitted += ready.size();
    const Clock::time_point now = Clock::now();
    // Drawn again at once after answers were printed over it, else at most
    // every kRedrawInterval.
    if (progress != nullptr && emitted < sips.size() && (!ready.empty() || now - last_draw >= kRedrawInterval)) {
      progress->Draw(completed, std::chrono::duration<double>(now - start).count());
      last_draw = now;
    }
  }
  for (std::thread& worker : workers) worker.join();
  if (progress != nullptr) progress->Clear();

  totals.latency = SummariseLatencies(std::move(latencies));
  totals.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  totals.exit_code = exit_code.result();
  return totals;
}

}  // namespace upm
