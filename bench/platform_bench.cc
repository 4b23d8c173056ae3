// Costs of the platform layer's hot paths: a debug-log call below the
// threshold (target: under 20 ns), an enabled call to a file for reference,
// an uncontended critical section, Interlocked*, and the clock readers.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/clock.h"
#include "platform/crt.h"
#include "platform/log.h"
#include "platform/sync.h"

namespace {

// Routes the log to a file in the temporary directory at `threshold` for the
// life of the object, then back to stderr.
class ScopedFileLog {
 public:
  explicit ScopedFileLog(DBG::Severity threshold)
      : path_("/tmp/platform_bench_" + std::to_string(getpid()) + ".log") {
    DBG::LogOptions options;
    options.threshold = threshold;
    options.destination = DBG::Destination::kFile;
    options.file_path = path_;
    DBG::Configure(options);
  }
  ~ScopedFileLog() {
    DBG::Configure(DBG::LogOptions());
    std::remove(path_.c_str());
  }

 private:
  const std::string path_;
};

void BM_DebugLogBelowThreshold(benchmark::State& state) {
  ScopedFileLog log(DBG::Severity::kWarning);
  const wchar_t* user = L"sip:alice@example.test";
  int count = 3;
  for (auto _ : state) {
    DBG::DebugLogEx(nullptr, DBG::kLevelEnter, "serv_UserPolicyManager", 120,
                    L"user %s has %d groups (%S)", user, count, "cached");
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_DebugLogBelowThreshold);

void BM_DebugLogIsEnabled(benchmark::State& state) {
  ScopedFileLog log(DBG::Severity::kWarning);
  for (auto _ : state) benchmark::DoNotOptimize(DBG::IsEnabled(DBG::kLevelData));
}
BENCHMARK(BM_DebugLogIsEnabled);

void BM_DebugLogToFile(benchmark::State& state) {
  ScopedFileLog log(DBG::Severity::kTrace);
  const wchar_t* user = L"sip:alice@example.test";
  int count = 3;
  for (auto _ : state) {
    DBG::DebugLogEx(nullptr, DBG::kLevelData, "serv_UserPolicyManager", 120,
                    L"user %s has %d groups (%S)", user, count, "cached");
  }
}
BENCHMARK(BM_DebugLogToFile);

void BM_CriticalSectionUncontended(benchmark::State& state) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  for (auto _ : state) {
    EnterCriticalSection(&cs);
    LeaveCriticalSection(&cs);
  }
  DeleteCriticalSection(&cs);
}
BENCHMARK(BM_CriticalSectionUncontended);

// Reference for the critical section: a plain pthread mutex.
void BM_PthreadMutexUncontended(benchmark::State& state) {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  for (auto _ : state) {
    pthread_mutex_lock(&mutex);
    pthread_mutex_unlock(&mutex);
  }
  pthread_mutex_destroy(&mutex);
}
BENCHMARK(BM_PthreadMutexUncontended);

void BM_InterlockedIncrement(benchmark::State& state) {
  LONG volatile counter = 0;
  for (auto _ : state) benchmark::DoNotOptimize(InterlockedIncrement(&counter));
}
BENCHMARK(BM_InterlockedIncrement);

void BM_Time64(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(_time64(nullptr));
}
BENCHMARK(BM_Time64);

void BM_GetSystemTime(benchmark::State& state) {
  SYSTEMTIME st;
  for (auto _ : state) {
    GetSystemTime(&st);
    benchmark::DoNotOptimize(st);
  }
}
BENCHMARK(BM_GetSystemTime);

void BM_GetSystemTimeAsFileTime(benchmark::State& state) {
  FILETIME ft;
  for (auto _ : state) {
    GetSystemTimeAsFileTime(&ft);
    benchmark::DoNotOptimize(ft);
  }
}
BENCHMARK(BM_GetSystemTimeAsFileTime);

void BM_Snwprintf(benchmark::State& state) {
  wchar_t buffer[128];
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        _snwprintf(buffer, 128, L"%s has %d groups, 0x%08X", L"sip:alice@example.test", 3, 42u));
  }
}
BENCHMARK(BM_Snwprintf);

}  // namespace

BENCHMARK_MAIN();
