// Cost of counting one lookup: the four guards the module puts around a
// lookup (total and group, count and timer) around a lookup that does
// nothing, with a performance object in shared memory and without one (the
// module runs without counters when the monitor is unavailable). Reported as
// time per lookup; the multi-threaded runs show the cost of two threads
// updating the same counters.
#include <benchmark/benchmark.h>

#include "perf/ds_access_guards.h"
#include "perf/ds_access_perf_object.h"
#include "perf/perf_mon_manager.h"

namespace {

// A lookup that does no work but cannot be optimised away.
int NoOpLookup(int key) {
  benchmark::DoNotOptimize(key);
  return key;
}

void GuardedLookups(benchmark::State& state, CDSAccessPerfObject* object) {
  int key = 0;
  for (auto _ : state) {
    CDSTotalAccessCountGuard total_count(object);
    CDSTotalAccessTimerGuard total_time(object);
    CDSUserAccessCountGuard user_count(object);
    CDSUserAccessTimerGuard user_time(object);
    const int outcome = NoOpLookup(++key) % 2 == 0 ? kDSAccessFromDirectory : kDSAccessFromCache;
    total_count.SetOutcome(outcome);
    total_time.SetOutcome(outcome);
    user_count.SetOutcome(outcome);
    user_time.SetOutcome(outcome);
  }
  state.SetItemsProcessed(state.iterations());
}

// The process's object in its shared-memory segment, created once.
CDSAccessPerfObject* SharedObject() {
  static CDSAccessPerfObject* const object = [] {
    CDSAccessPerfObject* created = nullptr;
    if (FAILED(CQuarnPerfMonManager::Instance()->CreateInstance(CDSAccessPerfObject::kCategoryId, 0,
                                                                nullptr, &created))) {
      return static_cast<CDSAccessPerfObject*>(nullptr);
    }
    return created;
  }();
  return object;
}

void BM_FourGuardsWithObject(benchmark::State& state) {
  CDSAccessPerfObject* object = SharedObject();
  if (object == nullptr) {
    state.SkipWithError("no performance object (shared memory unavailable)");
    return;
  }
  GuardedLookups(state, object);
}
BENCHMARK(BM_FourGuardsWithObject);
BENCHMARK(BM_FourGuardsWithObject)->Threads(2);

void BM_FourGuardsWithoutObject(benchmark::State& state) { GuardedLookups(state, nullptr); }
BENCHMARK(BM_FourGuardsWithoutObject);

// For reference: the lookup alone.
void BM_LookupAlone(benchmark::State& state) {
  int key = 0;
  for (auto _ : state) benchmark::DoNotOptimize(NoOpLookup(++key));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LookupAlone);

// For reference: one clock read of a timer guard (each lookup has four).
void BM_TimerGuardClockRead(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(perf::SystemTimeClock::NowTicks());
}
BENCHMARK(BM_TimerGuardClockRead);

}  // namespace

BENCHMARK_MAIN();
