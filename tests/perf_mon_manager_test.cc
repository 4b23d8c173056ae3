// The shared-memory manager of performance objects, the reader other
// processes use, its formats and the `upm perf` command.
#include "perf/perf_mon_manager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "perf/ds_access_guards.h"
#include "perf/ds_access_perf_object.h"
#include "perf/perf_command.h"
#include "testing/perf_manager_faults.h"
#include "perf/perf_reader.h"
#include "perf/perf_segment.h"
#include "testing/fake_clock.h"
#include "platform/shared_memory.h"
#include "tests/support/target_system.h"

namespace {

constexpr size_t kPageSize = 4096;  // x86-64

constexpr DWORD kCategory = CDSAccessPerfObject::kCategoryId;
constexpr perf::CounterType kCount = perf::CounterType::kCount;
constexpr perf::CounterType kMs = perf::CounterType::kMilliseconds;

// A segment name of its own for each manager a test makes.
std::string UniqueSegmentName() {
  static std::atomic<int> counter{0};
  return "userpolicy-perf-test-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

perf::PerfMonManagerOptions TestOptions() {
  perf::PerfMonManagerOptions options;
  options.segment_name = UniqueSegmentName();
  return options;
}

// Reads the manager's segment as another process would.
HRESULT ReadBack(CQuarnPerfMonManager* manager, perf::CounterSample* sample, DWORD category = kCategory) {
  std::string error;
  return perf::ReadCountersFromSegment(manager->SegmentName(), category, sample, &error);
}

int64_t ValueOf(const perf::CounterSample& sample, const std::string& key, perf::CounterType type) {
  for (const perf::CounterValue& counter : sample.counters) {
    if (counter.key == key && counter.type == type) return counter.value;
  }
  ADD_FAILURE() << "no counter " << key;
  return -1;
}

template <class T>
T At(const void* base, size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const char*>(base) + offset, sizeof(value));
  return value;
}

// One object per category, handed out again with its reference count raised
// and freed at zero; failed calls hand out nothing and take no reference.
TEST(PerfMonManager, HandsOutOneSharedObjectAndFailedCallsTakeNoReference) {
  std::string name;
  CDSAccessPerfObject* existing = nullptr;
  {
    perf::PerfMonManagerOptions options = TestOptions();
    options.lock_timeout = std::chrono::milliseconds(20);
    CQuarnPerfMonManager manager(options);
    ASSERT_EQ(manager.CreateInstance(kCategory, 0, nullptr, &existing), S_OK);
    name = manager.SegmentName();
    const uint32_t header[] = {144, kCategory, 0, 1, 0};  // size, category, instance, refs
    EXPECT_EQ(std::memcmp(existing, header, sizeof(header)), 0);
    for (size_t i = sizeof(header); i < sizeof(*existing); ++i) {
      ASSERT_EQ(reinterpret_cast<const unsigned char*>(existing)[i], 0) << i;
    }
    existing->m_nPGroupDSAccess = 5;
    CPerfObject* second = nullptr;
    ASSERT_EQ(manager.CreateInstance(kCategory, 0, L"", &second), S_OK);
    EXPECT_EQ(second, existing);
    EXPECT_EQ(existing->m_nRefCount, 2u);
    EXPECT_EQ(existing->m_nPGroupDSAccess, 5u) << "handing it out again does not reset it";
    EXPECT_EQ(manager.ReleaseInstance(second), S_OK);
    perf::CounterSample sample;
    EXPECT_EQ(ReadBack(&manager, &sample), S_OK) << "still published";

    // (An injected failure: module_lifecycle_test.)
    const std::tuple<const char*, DWORD, DWORD, const wchar_t*> refused[] = {
        {"unregistered category", 8, 0, nullptr},
        {"category 0", 0, 0, nullptr},
        {"an instance number", kCategory, 1, nullptr},
        {"an instance name", kCategory, 0, L"frontend"},
    };
    for (const auto& [name, category, instance, instance_name] : refused) {
      CPerfObject* object = existing;  // must be overwritten
      EXPECT_EQ(manager.CreateInstance(category, instance, instance_name, &object), E_INVALIDARG) << name;
      EXPECT_EQ(object, nullptr) << name;
    }
    CDSAccessPerfObject* object = existing;
    EXPECT_EQ(manager.CreateInstance(8, 0, nullptr, &object), E_INVALIDARG) << "not T's category";
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(manager.CreateInstance(kCategory, 0, nullptr, static_cast<CPerfObject**>(nullptr)), E_POINTER);
    EXPECT_EQ(manager.ReleaseInstance(nullptr), E_POINTER);
    {  // A busy lock times out instead of hanging.
      perf::testing::ScopedManagerLock lock(&manager);
      auto create = std::async(std::launch::async, [&manager, existing] {
        CDSAccessPerfObject* object = existing;  // must be overwritten
        return std::make_pair(manager.CreateInstance(kCategory, 0, nullptr, &object), object);
      });
      const auto [hr, handed_out] = create.get();
      EXPECT_EQ(hr, perf::kManagerLockTimeout);
      EXPECT_EQ(handed_out, nullptr);
      auto release = std::async(std::launch::async, [&manager, existing] { return manager.ReleaseInstance(existing); });
      EXPECT_EQ(release.get(), perf::kManagerLockTimeout);
    }
    EXPECT_EQ(existing->m_nRefCount, 1u) << "failed calls take no reference";
    EXPECT_EQ(manager.ReleaseInstance(existing), S_OK);
    EXPECT_EQ(ReadBack(&manager, &sample), perf::kCategoryNotPublished);
    EXPECT_EQ(manager.ReleaseInstance(existing), E_INVALIDARG) << "already freed";
    ASSERT_EQ(manager.CreateInstance(kCategory, 0, nullptr, &existing), S_OK);
    EXPECT_EQ(existing->m_nPGroupDSAccess, 0u) << "a new object starts at zero";

    // No room for an object, or no segment at all.
    perf::PerfMonManagerOptions no_room = TestOptions();
    no_room.slot_count = 0;
    CQuarnPerfMonManager full(no_room);
    object = existing;
    EXPECT_EQ(full.CreateInstance(kCategory, 0, nullptr, &object), E_OUTOFMEMORY);
    EXPECT_EQ(object, nullptr);
    perf::PerfMonManagerOptions no_segment;
    no_segment.segment_name = "no/such/segment";
    CQuarnPerfMonManager unpublished(no_segment);
    object = existing;
    EXPECT_TRUE(FAILED(unpublished.CreateInstance(kCategory, 0, nullptr, &object)));
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(unpublished.SegmentName(), "");
  }
  std::unique_ptr<platform::SharedMemory> gone;
  EXPECT_EQ(platform::SharedMemory::OpenReadOnly(name, &gone), platform::kSharedMemoryNotFound)
      << "the manager removes its segment";
  { CDSNGroupAccessCountGuard late(existing); }  // a late lookup must not fault
  EXPECT_EQ(existing->m_nNGroupCacheAccess, 1u);
}

// Threads create the one object at once, count lookups into it without a
// lock and release it at once: no reference and no update may be lost.
TEST(PerfMonManager, ConcurrentCreatesLookupsAndReleasesLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kLookups = 5000;
  platform::testing::ScopedFakeClock clock(1'700'000'000);  // every lookup takes 0 ms
  CQuarnPerfMonManager manager(TestOptions());
  std::vector<CDSAccessPerfObject*> objects(kThreads, nullptr);
  std::vector<HRESULT> results(kThreads, E_FAIL);
  const auto run_all = [&](const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) threads.emplace_back(body, i);
    for (std::thread& thread : threads) thread.join();
  };
  run_all([&](int t) {
    results[t] = manager.CreateInstance(kCategory, 0, nullptr, &objects[t]);
    for (int i = 0; i < kLookups; ++i) {
      CDSTotalAccessCountGuard total(objects[t]);
      CDSUserAccessCountGuard user(objects[t]);
      const int outcome = (i + t) % 2 == 0 ? kDSAccessFromDirectory : kDSAccessFromCache;
      total.SetOutcome(outcome);
      user.SetOutcome(outcome);
    }
  });
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(results[t], S_OK);
    EXPECT_EQ(objects[t], objects[0]);
  }
  const CDSAccessPerfObject& o = *objects[0];
  constexpr ULONG kHalf = kThreads * kLookups / 2;
  EXPECT_EQ(std::make_tuple(o.m_nRefCount, o.m_nTotalDSAccess, o.m_nTotalCacheAccess, o.m_nUserDSAccess,
                            o.m_nUserCacheAccess),
            std::make_tuple(ULONG{kThreads}, kHalf, kHalf, kHalf, kHalf));
  run_all([&](int t) { results[t] = manager.ReleaseInstance(objects[t]); });
  for (const HRESULT hr : results) EXPECT_EQ(hr, S_OK);
  perf::CounterSample sample;
  EXPECT_EQ(ReadBack(&manager, &sample), perf::kCategoryNotPublished);
}

TEST(PerfReader, ReadsTheCategoryAsDefinedAndTrustsNothingElse) {
  CQuarnPerfMonManager manager(TestOptions());
  CDSAccessPerfObject* object = nullptr;
  ASSERT_EQ(manager.CreateInstance(kCategory, 0, nullptr, &object), S_OK);
  // Each counter is read from its own field, counts as unsigned and times
  // as signed numbers: distinct values near 2^32 and below zero.
  using C = CDSAccessPerfObject;
  const std::tuple<const char*, ULONG C::*, LONGLONG C::*> fields[] = {
      {"total_ds_access", &C::m_nTotalDSAccess, &C::m_nTotalDSAccessTime},
      {"total_cache_access", &C::m_nTotalCacheAccess, &C::m_nTotalCacheAccessTime},
      {"user_ds_access", &C::m_nUserDSAccess, &C::m_nUserDSAccessTime},
      {"user_cache_access", &C::m_nUserCacheAccess, &C::m_nUserCacheAccessTime},
      {"pgroup_ds_access", &C::m_nPGroupDSAccess, &C::m_nPGroupDSAccessTime},
      {"pgroup_cache_access", &C::m_nPGroupCacheAccess, &C::m_nPGroupCacheAccessTime},
      {"ngroup_ds_access", &C::m_nNGroupDSAccess, &C::m_nNGroupDSAccessTime},
      {"ngroup_cache_access", &C::m_nNGroupCacheAccess, &C::m_nNGroupCacheAccessTime}};
  for (size_t i = 0; i < std::size(fields); ++i) {
    object->*std::get<1>(fields[i]) = static_cast<ULONG>(0xFFFFFFFFu - i);
    object->*std::get<2>(fields[i]) = -1 - static_cast<LONGLONG>(i);
  }
  perf::CounterSample sample;
  ASSERT_EQ(ReadBack(&manager, &sample), S_OK);
  for (size_t i = 0; i < std::size(fields); ++i) {
    const char* key = std::get<0>(fields[i]);
    EXPECT_EQ(ValueOf(sample, key, kCount), 4294967295 - static_cast<int64_t>(i)) << key;
    EXPECT_EQ(ValueOf(sample, key, kMs), -1 - static_cast<int64_t>(i)) << key;
  }
  // Names and help texts whole, in the category's order.
  const perf::CategoryDefinition& category = CDSAccessPerfObject::Category();
  EXPECT_EQ(std::tie(sample.pid, sample.category_name, sample.category_help),
            std::make_tuple(platform::CurrentProcessId(), std::string(category.name), std::string(category.help)));
  ASSERT_EQ(sample.counters.size(), category.counters.size());
  for (size_t i = 0; i < category.counters.size(); ++i) {
    const auto& [got, want] = std::tie(sample.counters[i], category.counters[i]);
    EXPECT_EQ(std::tie(got.key, got.name, got.help), std::tie(want.key, want.name, want.help)) << i;
  }
  EXPECT_EQ(ReadBack(&manager, &sample, 9), perf::kCategoryNotPublished);

  // The segment as its format documents it.
  std::unique_ptr<platform::SharedMemory> segment;
  ASSERT_EQ(platform::SharedMemory::OpenReadOnly(manager.SegmentName(), &segment), S_OK);
  const void* data = segment->data();
  EXPECT_EQ(std::memcmp(data, "UPOLPERF", 8), 0);
  EXPECT_EQ(At<uint32_t>(data, 8), 1u);    // version
  EXPECT_EQ(At<uint32_t>(data, 12), 64u);  // header size
  // The segment's size; a mapping of it is that size on POSIX systems and
  // that size rounded up to whole pages on Windows.
  const size_t bytes = At<uint64_t>(data, 16);
  if (userpolicy::testing::OnWindows()) {
    EXPECT_EQ(segment->size(), (bytes + kPageSize - 1) / kPageSize * kPageSize);
  } else {
    EXPECT_EQ(bytes, segment->size());
  }
  EXPECT_EQ(At<uint32_t>(data, 24), platform::CurrentProcessId());
  EXPECT_EQ(At<uint32_t>(data, At<uint32_t>(data, 32)), kCategory);  // the first category
  const size_t slot = At<uint32_t>(data, 44);
  EXPECT_EQ(At<uint32_t>(data, slot), perf::kSlotInUse);
  EXPECT_EQ(At<LONGLONG>(data, slot + 8 + 136), object->m_nNGroupCacheAccessTime);

  // A copy of it, corrupted one way at a time.
  std::vector<uint64_t> original((bytes + 7) / 8);
  std::memcpy(original.data(), data, bytes);
  struct Corruption {
    const char* name;
    std::function<void(perf::SegmentHeader*, perf::CategoryRecord*)> corrupt;
    HRESULT expected = perf::kSegmentInvalid;
  };
  const Corruption cases[] = {
      {"not set up yet", [](auto* h, auto*) { h->magic = 0; }, perf::kSegmentNotReady},
      {"newer version", [](auto* h, auto*) { h->version = 2; }},
      {"shorter than it claims", nullptr},
      {"category table outside", [](auto* h, auto*) { h->category_offset = 0xFFFFFFF8u; }},
      {"counter past the object", [](auto*, auto* c) { c->counters[15].offset = 144; }},
      {"unterminated key", [](auto*, auto* c) { std::memset(c->counters[3].key, 'a', sizeof c->counters[3].key); }},
      {"category not registered", [](auto*, auto* c) { c->id = 8; }, perf::kCategoryNotPublished},
  };
  for (const auto& [name, corrupt, expected] : cases) {
    SCOPED_TRACE(name);
    std::vector<uint64_t> copy = original;
    auto* header = reinterpret_cast<perf::SegmentHeader*>(copy.data());
    size_t size = bytes;
    if (corrupt) {
      corrupt(header, reinterpret_cast<perf::CategoryRecord*>(reinterpret_cast<char*>(copy.data()) +
                                                              header->category_offset));
    } else {
      size -= 8;  // shorter than it claims
    }
    std::string error;
    EXPECT_EQ(perf::ParseSegment(copy.data(), size, kCategory, &sample, &error), expected);
    EXPECT_FALSE(error.empty());
  }
  std::string error;  // shorter than a header
  EXPECT_EQ(perf::ParseSegment(original.data(), sizeof(perf::SegmentHeader) - 1, kCategory, &sample, &error),
            perf::kSegmentInvalid);
  manager.ReleaseInstance(object);
}

perf::CounterSample SmallSample(int64_t count, int64_t milliseconds) {
  perf::CounterSample sample;
  sample.pid = 42;
  sample.category_id = 7;
  sample.category_name = "DS Access";
  sample.counters = {
      {"user_ds_access", "User DS Access", "Lookups\\answered\nby the directory.", kCount, count},
      {"user_ds_access", "User DS Access Time", "Milliseconds spent.", kMs, milliseconds},
  };
  return sample;
}

TEST(PerfFormats, PrometheusTableAndWatchRates) {
  EXPECT_EQ(perf::FormatPrometheus(SmallSample(3, 21)),
            "# HELP userpolicy_user_ds_access_total Lookups\\\\answered\\nby the directory.\n"
            "# TYPE userpolicy_user_ds_access_total counter\n"
            "userpolicy_user_ds_access_total{pid=\"42\"} 3\n"
            "# HELP userpolicy_user_ds_access_milliseconds_total Milliseconds spent.\n"
            "# TYPE userpolicy_user_ds_access_milliseconds_total counter\n"
            "userpolicy_user_ds_access_milliseconds_total{pid=\"42\"} 21\n");
  EXPECT_EQ(perf::FormatTable(SmallSample(3, 21)),
            "Process 42: DS Access (category 7)\n"
            "  User DS Access                    3\n"
            "  User DS Access Time              21\n");

  struct Case {
    const char* name;
    perf::CounterSample previous, current;
    double seconds;
    const char* count_rate;
    const char* time_rate;
  };
  const Case cases[] = {
      {"steady", SmallSample(10, 100), SmallSample(30, 400), 2.0, "10.0", "150.0"},
      {"count wrapped past 2^32", SmallSample(4294967290, 0), SmallSample(4, 0), 2.0, "5.0", "0.0"},
      {"clock set back", SmallSample(0, 100), SmallSample(0, 40), 1.0, "0.0", "-60.0"},
      {"first sample", perf::CounterSample(), SmallSample(1, 1), 1.0, "-", "-"},
      {"no time between", SmallSample(1, 1), SmallSample(2, 2), 0.0, "-", "-"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    std::istringstream lines(perf::FormatWatch(test.previous, test.current, test.seconds));
    std::string title, columns, count_line, time_line;
    for (std::string* line : {&title, &columns, &count_line, &time_line}) std::getline(lines, *line);
    EXPECT_NE(columns.find("per second"), std::string::npos);
    EXPECT_TRUE(count_line.ends_with(" " + std::string(test.count_rate))) << count_line;
    EXPECT_TRUE(time_line.ends_with(" " + std::string(test.time_rate))) << time_line;
  }
}

int RunCommand(std::vector<std::string> args, std::ostringstream* out) {
  args.insert(args.begin(), "perf");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  out->str("");
  return perf::RunPerfCommand(static_cast<int>(argv.size()), argv.data(), *out);
}

// `upm perf` and the reader find a process's segment by its id; a segment
// whose process is gone, as a killed process leaves it, is listed as stale
// until RemoveStaleSegments removes it and only it.  (Segments are shared
// memory by name: this process maps them as any other would.)
TEST(PerfCommand, ReadsCountersByProcessIdAndRemovesOnlyStaleSegments) {
  const DWORD own_pid = platform::CurrentProcessId();
  const DWORD gone_pid = 2147483647 - own_pid;  // beyond the kernel's maximum; one per running test
  CQuarnPerfMonManager live{perf::PerfMonManagerOptions{}};  // named for this process
  perf::PerfMonManagerOptions gone_options;
  gone_options.segment_name = perf::SegmentNameForProcess(gone_pid);
  CQuarnPerfMonManager gone(gone_options);
  CDSAccessPerfObject *object = nullptr, *stale = nullptr;
  ASSERT_EQ(live.CreateInstance(kCategory, 0, nullptr, &object), S_OK);
  ASSERT_EQ(gone.CreateInstance(kCategory, 0, nullptr, &stale), S_OK);
  object->m_nUserDSAccess = 3;

  perf::CounterSample sample;
  std::string error;
  ASSERT_EQ(perf::ReadCounters(own_pid, kCategory, &sample, &error), S_OK) << error;
  EXPECT_EQ(ValueOf(sample, "user_ds_access", kCount), 3);
  std::ostringstream out;
  EXPECT_EQ(RunCommand({"--pid", std::to_string(own_pid), "--prometheus"}, &out), perf::kCommandOk);
  EXPECT_NE(out.str().find("userpolicy_user_ds_access_total{pid=\"" + std::to_string(own_pid) + "\"} 3\n"),
            std::string::npos)
      << out.str();
  EXPECT_EQ(RunCommand({"--list"}, &out), perf::kCommandOk);
  std::set<std::string> listed;
  std::istringstream lines(out.str());
  for (std::string line; std::getline(lines, line);) listed.insert(line);
  EXPECT_TRUE(listed.contains(std::to_string(own_pid)) && listed.contains(std::to_string(gone_pid) + " (stale)"))
      << out.str();
  // Its header names this process, not the one its name does: not trusted.
  EXPECT_EQ(perf::ReadCounters(gone_pid, kCategory, &sample, &error), perf::kSegmentInvalid);
  EXPECT_GE(perf::RemoveStaleSegments(), 1);
  EXPECT_EQ(perf::ReadCounters(gone_pid, kCategory, &sample, &error), platform::kSharedMemoryNotFound);
  EXPECT_EQ(perf::ReadCounters(own_pid, kCategory, &sample, &error), S_OK) << "a live process keeps its segment";
  EXPECT_EQ(RunCommand({"--pid", std::to_string(gone_pid)}, &out), perf::kCommandFailed);
  EXPECT_NE(out.str().find("publishes no counters"), std::string::npos) << out.str();

  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--watch", "--prometheus"}, {"--count", "2"}, {"--pid", "x"}, {"--frobnicate"}}) {
    EXPECT_EQ(RunCommand(args, &out), perf::kCommandUsage) << args.front();
  }
  live.ReleaseInstance(object);
  gone.ReleaseInstance(stale);
}

}  // namespace
