// The shared-memory manager of performance objects, the reader that other
// processes use, its formats and the `upm perf` command.
#include "perf/perf_mon_manager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "perf/ds_access_guards.h"
#include "perf/ds_access_perf_object.h"
#include "perf/perf_command.h"
#include "perf/perf_mon_manager_testing.h"
#include "perf/perf_reader.h"
#include "perf/perf_segment.h"
#include "platform/clock_testing.h"
#include "platform/shared_memory.h"

extern char** environ;

namespace {

constexpr DWORD kCategory = CDSAccessPerfObject::kCategoryId;

// The child process of the cross-process tests --------------------------------
//
// The test program starts itself again with this variable set; the copy then
// publishes known counters before GoogleTest even starts, says "ready" on
// stdout and keeps them published until its stdin closes.
constexpr char kChildVariable[] = "USERPOLICY_PERF_TEST_CHILD";
constexpr char kReadyLine[] = "ready\n";

// What the child counts: three user lookups the directory answered in 7 ms
// each, and two nested-group lookups the cache answered in 1 ms each.
constexpr int kChildUserLookups = 3;
constexpr int kChildUserLookupMs = 7;
constexpr int kChildNGroupLookups = 2;
constexpr int kChildNGroupLookupMs = 1;

void ChildLookups() {
  platform::testing::ScopedFakeClock clock(1'700'000'000);
  for (int i = 0; i < kChildUserLookups; ++i) {
    CDSTotalAccessCountGuard total_count(g_pDSAccessPerfObject);
    CDSTotalAccessTimerGuard total_time(g_pDSAccessPerfObject);
    CDSUserAccessCountGuard count(g_pDSAccessPerfObject);
    CDSUserAccessTimerGuard time(g_pDSAccessPerfObject);
    clock.AdvanceMillis(kChildUserLookupMs);
    total_count.SetOutcome(kDSAccessFromDirectory);
    total_time.SetOutcome(kDSAccessFromDirectory);
    count.SetOutcome(kDSAccessFromDirectory);
    time.SetOutcome(kDSAccessFromDirectory);
  }
  for (int i = 0; i < kChildNGroupLookups; ++i) {
    CDSTotalAccessCountGuard total_count(g_pDSAccessPerfObject);
    CDSTotalAccessTimerGuard total_time(g_pDSAccessPerfObject);
    CDSNGroupAccessCountGuard count(g_pDSAccessPerfObject);
    CDSNGroupAccessTimerGuard time(g_pDSAccessPerfObject);
    clock.AdvanceMillis(kChildNGroupLookupMs);
    total_count.SetOutcome(kDSAccessFromCache);
    total_time.SetOutcome(kDSAccessFromCache);
    count.SetOutcome(kDSAccessFromCache);
    time.SetOutcome(kDSAccessFromCache);
  }
}

bool RunAsChildWhenAsked() {
  if (std::getenv(kChildVariable) == nullptr) return false;
  CQuarnPerfMonManager* manager = CQuarnPerfMonManager::Instance();
  if (FAILED(manager->CreateInstance(kCategory, 0, nullptr, &g_pDSAccessPerfObject))) {
    std::_Exit(EXIT_FAILURE);
  }
  ChildLookups();
  if (::write(STDOUT_FILENO, kReadyLine, sizeof(kReadyLine) - 1) < 0) std::_Exit(EXIT_FAILURE);
  char byte;
  while (::read(STDIN_FILENO, &byte, 1) > 0) {
  }
  manager->ReleaseInstance(g_pDSAccessPerfObject);
  g_pDSAccessPerfObject = nullptr;
  std::exit(EXIT_SUCCESS);  // destroys the manager, which removes the segment
}

[[maybe_unused]] const bool g_ran_as_child = RunAsChildWhenAsked();

// A copy of this program in child mode, killed by the destructor if still
// running.
class ChildProcess {
 public:
  ChildProcess() {
    int to_child[2];
    int from_child[2];
    if (::pipe2(to_child, O_CLOEXEC) != 0 || ::pipe2(from_child, O_CLOEXEC) != 0) return;
    stdin_ = to_child[1];
    stdout_ = from_child[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], STDOUT_FILENO);
    std::vector<std::string> env_strings = {std::string(kChildVariable) + "=1"};
    for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
    std::vector<char*> env;
    for (std::string& s : env_strings) env.push_back(s.data());
    env.push_back(nullptr);
    std::string path = "/proc/self/exe";
    char* argv[] = {path.data(), nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, env.data()) == 0) pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
    ::close(to_child[0]);
    ::close(from_child[1]);
  }

  ~ChildProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait();
      platform::SharedMemory::Remove(perf::SegmentNameForProcess(static_cast<DWORD>(pid_)));
    }
    if (stdin_ >= 0) ::close(stdin_);
    if (stdout_ >= 0) ::close(stdout_);
  }

  DWORD pid() const { return static_cast<DWORD>(pid_); }

  // True once the child said it publishes its counters.
  bool WaitUntilReady() {
    std::string received;
    constexpr int kTimeoutMs = 60'000;  // a sanitizer build starts slowly
    while (received.find('\n') == std::string::npos) {
      pollfd entry{stdout_, POLLIN, 0};
      if (::poll(&entry, 1, kTimeoutMs) != 1) return false;
      char buffer[64];
      const ssize_t n = ::read(stdout_, buffer, sizeof(buffer));
      if (n <= 0) return false;
      received.append(buffer, static_cast<size_t>(n));
    }
    return received == kReadyLine;
  }

  // Closes the child's stdin, which makes it exit normally; returns its
  // exit status.
  int Finish() {
    ::close(stdin_);
    stdin_ = -1;
    return Wait();
  }

  // SIGKILL: the child gets no chance to clean up.
  int Kill() {
    ::kill(pid_, SIGKILL);
    return Wait();
  }

 private:
  int Wait() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
};

// Helpers ---------------------------------------------------------------------

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

bool SegmentExists(const std::string& name) {
  std::unique_ptr<platform::SharedMemory> segment;
  return platform::SharedMemory::OpenReadOnly(name, &segment) == S_OK;
}

// Reads the manager's segment as another process would.
HRESULT ReadBack(CQuarnPerfMonManager* manager, perf::CounterSample* sample,
                 DWORD category = kCategory) {
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

constexpr perf::CounterType kCount = perf::CounterType::kCount;
constexpr perf::CounterType kMs = perf::CounterType::kMilliseconds;

// The shared-memory platform layer ---------------------------------------------

TEST(SharedMemory, AReadOnlyMappingSeesTheCreatorsWrites) {
  const std::string name = UniqueSegmentName();
  std::unique_ptr<platform::SharedMemory> writer;
  ASSERT_EQ(platform::SharedMemory::Create(name, 5000, &writer), S_OK);
  EXPECT_TRUE(writer->writable());
  std::unique_ptr<platform::SharedMemory> reader;
  ASSERT_EQ(platform::SharedMemory::OpenReadOnly(name, &reader), S_OK);
  EXPECT_FALSE(reader->writable());
  EXPECT_EQ(reader->size(), 5000u);

  static_cast<char*>(writer->data())[4999] = 'x';
  EXPECT_EQ(static_cast<const char*>(reader->data())[4999], 'x');
  EXPECT_EQ(static_cast<const char*>(reader->data())[0], '\0') << "created zeroed";

  EXPECT_EQ(platform::SharedMemory::Remove(name), S_OK);
  EXPECT_EQ(platform::SharedMemory::Remove(name), S_FALSE);
  EXPECT_EQ(static_cast<const char*>(reader->data())[4999], 'x') << "mappings outlive the name";
  EXPECT_EQ(platform::SharedMemory::OpenReadOnly(name, &reader), platform::kSharedMemoryNotFound);
  EXPECT_EQ(reader, nullptr);
}

TEST(SharedMemory, CreateReplacesALeftoverOfTheSameName) {
  const std::string name = UniqueSegmentName();
  std::unique_ptr<platform::SharedMemory> first;
  ASSERT_EQ(platform::SharedMemory::Create(name, 4096, &first), S_OK);
  static_cast<char*>(first->data())[0] = 'x';
  std::unique_ptr<platform::SharedMemory> second;
  ASSERT_EQ(platform::SharedMemory::Create(name, 8192, &second), S_OK);
  EXPECT_EQ(static_cast<const char*>(second->data())[0], '\0');
  std::unique_ptr<platform::SharedMemory> reader;
  ASSERT_EQ(platform::SharedMemory::OpenReadOnly(name, &reader), S_OK);
  EXPECT_EQ(reader->size(), 8192u);
  platform::SharedMemory::Remove(name);
}

TEST(SharedMemory, RejectsNamesOutsideThePortableSet) {
  std::unique_ptr<platform::SharedMemory> segment;
  for (const std::string& name : {std::string(), std::string("a/b"), std::string(".."),
                                  std::string("sp ace"), std::string(201, 'a')}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(platform::SharedMemory::Create(name, 4096, &segment), E_INVALIDARG);
    EXPECT_EQ(segment, nullptr);
    EXPECT_EQ(platform::SharedMemory::OpenReadOnly(name, &segment), E_INVALIDARG);
  }
  EXPECT_EQ(platform::SharedMemory::Create(UniqueSegmentName(), 0, &segment), E_INVALIDARG);
}

TEST(SharedMemory, ListsByPrefixAndKnowsLiveProcesses) {
  const std::string name = UniqueSegmentName();
  std::unique_ptr<platform::SharedMemory> segment;
  ASSERT_EQ(platform::SharedMemory::Create(name, 4096, &segment), S_OK);
  const auto names = platform::SharedMemory::List("userpolicy-perf-test-");
  EXPECT_NE(std::find(names.begin(), names.end(), name), names.end());
  EXPECT_TRUE(platform::SharedMemory::List(name + "-not").empty());
  platform::SharedMemory::Remove(name);

  EXPECT_TRUE(platform::ProcessExists(platform::CurrentProcessId()));
  EXPECT_FALSE(platform::ProcessExists(0)) << "not 'my process group'";
  EXPECT_FALSE(platform::ProcessExists(0xFFFFFFFFu)) << "not 'every process'";
}

TEST(SegmentName, RoundTripsAndRejectsOtherForms) {
  DWORD pid = 0;
  EXPECT_TRUE(perf::ProcessOfSegmentName(perf::SegmentNameForProcess(4321), &pid));
  EXPECT_EQ(pid, 4321u);
  for (const char* name : {"userpolicy-perf-", "userpolicy-perf-12x", "userpolicy-perf-012",
                           "userpolicy-perf--1", "userpolicy-perf-99999999999", "other-12"}) {
    EXPECT_FALSE(perf::ProcessOfSegmentName(name, &pid)) << name;
  }
}

// The manager -------------------------------------------------------------------

TEST(PerfMonManager, CreateHandsOutOneZeroedObjectWithItsHeaderFilledIn) {
  CQuarnPerfMonManager manager(TestOptions());
  CDSAccessPerfObject* object = nullptr;
  ASSERT_EQ(manager.CreateInstance(kCategory, 0, nullptr, &object), S_OK);
  ASSERT_NE(object, nullptr);

  unsigned char bytes[sizeof(CDSAccessPerfObject)];
  std::memcpy(bytes, object, sizeof(bytes));
  const uint32_t expected_header[] = {144, 7, 0, 1, 0};
  EXPECT_EQ(std::memcmp(bytes, expected_header, sizeof(expected_header)), 0);
  for (size_t i = sizeof(expected_header); i < sizeof(bytes); ++i) ASSERT_EQ(bytes[i], 0) << i;

  // The object is the one readers see: an update shows in the segment.
  object->m_nPGroupDSAccess = 5;
  perf::CounterSample sample;
  ASSERT_EQ(ReadBack(&manager, &sample), S_OK);
  EXPECT_EQ(ValueOf(sample, "pgroup_ds_access", kCount), 5);
  EXPECT_EQ(sample.pid, platform::CurrentProcessId());
  EXPECT_EQ(manager.ReleaseInstance(object), S_OK);
}

TEST(PerfMonManager, TheObjectIsSharedByReferenceCountAndFreedAtZero) {
  CQuarnPerfMonManager manager(TestOptions());
  CDSAccessPerfObject* first = nullptr;
  CPerfObject* second = nullptr;
  ASSERT_EQ(manager.CreateInstance(kCategory, 0, nullptr, &first), S_OK);
  first->m_nUserCacheAccess = 9;
  ASSERT_EQ(manager.CreateInstance(kCategory, 0, L"", &second), S_OK);
  EXPECT_EQ(second, first);
  EXPECT_EQ(first->m_nRefCount, 2u);
  EXPECT_EQ(first->m_nUserCacheAccess, 9u) << "handing it out again does not reset it";

  perf::CounterSample sample;
  EXPECT_EQ(manager.ReleaseInstance(first), S_OK);
  EXPECT_EQ(first->m_nRefCount, 1u);
  EXPECT_EQ(ReadBack(&manager, &sample), S_OK) << "still published";
  EXPECT_EQ(manager.ReleaseInstance(second), S_OK);
  EXPECT_EQ(ReadBack(&manager, &sample), perf::kCategoryNotPublished);
  EXPECT_EQ(manager.ReleaseInstance(second), E_INVALIDARG) << "already freed";

  CDSAccessPerfObject* again = nullptr;
  ASSERT_EQ(manager.CreateInstance(kCategory, 0, nullptr, &again), S_OK);
  EXPECT_EQ(again->m_nRefCount, 1u);
  EXPECT_EQ(again->m_nUserCacheAccess, 0u) << "a new object starts at zero";
  EXPECT_EQ(manager.ReleaseInstance(again), S_OK);
}

TEST(PerfMonManager, RejectedRequestsHandOutNothing) {
  struct Case {
    const char* name;
    DWORD category;
    DWORD instance;
    const wchar_t* instance_name;
  };
  const Case cases[] = {
      {"unregistered category", 8, 0, nullptr},
      {"category 0", 0, 0, nullptr},
      {"an instance number", kCategory, 1, nullptr},
      {"an instance name", kCategory, 0, L"frontend"},
  };
  CQuarnPerfMonManager manager(TestOptions());
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    CPerfObject* object = reinterpret_cast<CPerfObject*>(&manager);  // must be overwritten
    EXPECT_EQ(manager.CreateInstance(test.category, test.instance, test.instance_name, &object),
              E_INVALIDARG);
    EXPECT_EQ(object, nullptr);
  }
  CDSAccessPerfObject* typed = reinterpret_cast<CDSAccessPerfObject*>(&manager);
  EXPECT_EQ(manager.CreateInstance(8, 0, nullptr, &typed), E_INVALIDARG) << "not T's category";
  EXPECT_EQ(typed, nullptr);
  EXPECT_EQ(manager.CreateInstance(kCategory, 0, nullptr, static_cast<CPerfObject**>(nullptr)),
            E_POINTER);
  EXPECT_EQ(manager.ReleaseInstance(nullptr), E_POINTER);
  CDSAccessPerfObject stranger{};
  EXPECT_EQ(manager.ReleaseInstance(&stranger), E_INVALIDARG);
}

TEST(PerfMonManager, FailsWithoutSharedMemoryOrRoom) {
  CDSAccessPerfObject* object = nullptr;
  {
    perf::PerfMonManagerOptions options;
    options.segment_name = "no/such/segment";
    CQuarnPerfMonManager manager(options);
    EXPECT_TRUE(FAILED(manager.CreateInstance(kCategory, 0, nullptr, &object)));
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(manager.SegmentName(), "");
  }
  {
    perf::PerfMonManagerOptions options = TestOptions();
    options.slot_count = 0;
    CQuarnPerfMonManager manager(options);
    EXPECT_EQ(manager.CreateInstance(kCategory, 0, nullptr, &object), E_OUTOFMEMORY);
    EXPECT_EQ(object, nullptr);
  }
}

TEST(PerfMonManager, InjectedFailuresNestAndHandOutNothing) {
  CQuarnPerfMonManager manager(TestOptions());
  CDSAccessPerfObject* existing = nullptr;
  ASSERT_EQ(manager.CreateInstance(kCategory, 0, nullptr, &existing), S_OK);
  CDSAccessPerfObject* object = nullptr;
  {
    perf::testing::ScopedCreateFailure outer(E_ACCESSDENIED);
    {
      perf::testing::ScopedCreateFailure inner(E_OUTOFMEMORY);
      EXPECT_EQ(manager.CreateInstance(kCategory, 0, nullptr, &object), E_OUTOFMEMORY);
    }
    EXPECT_EQ(manager.CreateInstance(kCategory, 0, nullptr, &object), E_ACCESSDENIED);
    EXPECT_EQ(object, nullptr) << "even though the object exists";
  }
  EXPECT_EQ(existing->m_nRefCount, 1u) << "failed calls take no reference";
  ASSERT_EQ(manager.CreateInstance(kCategory, 0, nullptr, &object), S_OK);
  EXPECT_EQ(object, existing);
  manager.ReleaseInstance(object);
  manager.ReleaseInstance(existing);
}

TEST(PerfMonManager, ABusyLockTimesOutInsteadOfHanging) {
  perf::PerfMonManagerOptions options = TestOptions();
  options.lock_timeout = std::chrono::milliseconds(20);
  CQuarnPerfMonManager manager(options);
  CDSAccessPerfObject* held = nullptr;
  ASSERT_EQ(manager.CreateInstance(kCategory, 0, nullptr, &held), S_OK);
  {
    perf::testing::ScopedManagerLock lock(&manager);
    auto create = std::async(std::launch::async, [&manager] {
      CDSAccessPerfObject sentinel{};
      CDSAccessPerfObject* object = &sentinel;  // must be overwritten
      const HRESULT hr = manager.CreateInstance(kCategory, 0, nullptr, &object);
      return std::make_pair(hr, object);
    });
    const auto [hr, object] = create.get();
    EXPECT_EQ(hr, perf::kManagerLockTimeout);
    EXPECT_EQ(object, nullptr);
    auto release =
        std::async(std::launch::async, [&manager, held] { return manager.ReleaseInstance(held); });
    EXPECT_EQ(release.get(), perf::kManagerLockTimeout);
  }
  EXPECT_EQ(held->m_nRefCount, 1u);
  EXPECT_EQ(manager.ReleaseInstance(held), S_OK);
}

TEST(PerfMonManager, ConcurrentCreatesShareOneObject) {
  constexpr int kThreads = 8;
  CQuarnPerfMonManager manager(TestOptions());
  std::vector<CDSAccessPerfObject*> objects(kThreads, nullptr);
  std::vector<HRESULT> results(kThreads, E_FAIL);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      results[i] = manager.CreateInstance(kCategory, 0, nullptr, &objects[i]);
      CDSTotalAccessCountGuard count(objects[i]);
      count.SetOutcome(kDSAccessFromDirectory);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < kThreads; ++i) {
    ASSERT_EQ(results[i], S_OK);
    EXPECT_EQ(objects[i], objects[0]);
  }
  EXPECT_EQ(objects[0]->m_nRefCount, static_cast<ULONG>(kThreads));
  EXPECT_EQ(objects[0]->m_nTotalDSAccess, static_cast<ULONG>(kThreads));

  threads.clear();
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] { results[i] = manager.ReleaseInstance(objects[i]); });
  }
  for (std::thread& thread : threads) thread.join();
  for (const HRESULT hr : results) EXPECT_EQ(hr, S_OK);
  perf::CounterSample sample;
  EXPECT_EQ(ReadBack(&manager, &sample), perf::kCategoryNotPublished);
}

TEST(PerfMonManager, DestructionRemovesTheSegmentButKeepsLiveObjectsUsable) {
  std::string name;
  CDSAccessPerfObject* object = nullptr;
  {
    CQuarnPerfMonManager manager(TestOptions());
    ASSERT_EQ(manager.CreateInstance(kCategory, 0, nullptr, &object), S_OK);
    name = manager.SegmentName();
    EXPECT_TRUE(SegmentExists(name));
  }
  EXPECT_FALSE(SegmentExists(name));
  { CDSNGroupAccessCountGuard late(object); }  // a late lookup must not fault
  EXPECT_EQ(object->m_nNGroupCacheAccess, 1u);
}

// The reader ------------------------------------------------------------------------

TEST(PerfReader, ReadsNamesAndValuesAsTheCategoryDefinesThem) {
  CQuarnPerfMonManager manager(TestOptions());
  CDSAccessPerfObject* object = nullptr;
  ASSERT_EQ(manager.CreateInstance(kCategory, 0, nullptr, &object), S_OK);
  object->m_nTotalCacheAccessTime = -12;  // a clock set back
  object->m_nNGroupDSAccess = 0xFFFFFFFFu;

  perf::CounterSample sample;
  ASSERT_EQ(ReadBack(&manager, &sample), S_OK);
  const perf::CategoryDefinition& category = CDSAccessPerfObject::Category();
  EXPECT_EQ(sample.category_id, kCategory);
  EXPECT_EQ(sample.category_name, category.name);
  EXPECT_EQ(sample.category_help, category.help);
  ASSERT_EQ(sample.counters.size(), 16u);
  for (size_t i = 0; i < category.counters.size(); ++i) {
    SCOPED_TRACE(category.counters[i].name);
    EXPECT_EQ(sample.counters[i].key, category.counters[i].key);
    EXPECT_EQ(sample.counters[i].name, category.counters[i].name);
    EXPECT_EQ(sample.counters[i].help, category.counters[i].help) << "cut to fit?";
    EXPECT_EQ(sample.counters[i].type, category.counters[i].type);
  }
  EXPECT_EQ(ValueOf(sample, "total_cache_access", kMs), -12);
  EXPECT_EQ(ValueOf(sample, "ngroup_ds_access", kCount), 4294967295);

  EXPECT_EQ(ReadBack(&manager, &sample, 9), perf::kCategoryNotPublished);
  manager.ReleaseInstance(object);
}

// A valid segment copied into memory the test may corrupt.
class CorruptSegment : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(manager_.CreateInstance(kCategory, 0, nullptr, &object_), S_OK);
    std::unique_ptr<platform::SharedMemory> segment;
    ASSERT_EQ(platform::SharedMemory::OpenReadOnly(manager_.SegmentName(), &segment), S_OK);
    bytes_ = segment->size();
    copy_.resize((bytes_ + 7) / 8);
    std::memcpy(copy_.data(), segment->data(), bytes_);
  }
  void TearDown() override { manager_.ReleaseInstance(object_); }

 public:  // for the corrupting lambdas of the test body
  perf::SegmentHeader* header() { return reinterpret_cast<perf::SegmentHeader*>(copy_.data()); }
  perf::CategoryRecord* category() {
    return reinterpret_cast<perf::CategoryRecord*>(reinterpret_cast<char*>(copy_.data()) +
                                                   header()->category_offset);
  }
  HRESULT Parse(size_t size) {
    perf::CounterSample sample;
    std::string error;
    const HRESULT hr = perf::ParseSegment(copy_.data(), size, kCategory, &sample, &error);
    if (FAILED(hr)) {
      EXPECT_FALSE(error.empty());
    }
    return hr;
  }

 protected:
  CQuarnPerfMonManager manager_{TestOptions()};
  CDSAccessPerfObject* object_ = nullptr;
  std::vector<uint64_t> copy_;
  size_t bytes_ = 0;
};

TEST_F(CorruptSegment, EveryInconsistencyIsRejected) {
  ASSERT_EQ(Parse(bytes_), S_OK);
  struct Case {
    const char* name;
    std::function<void(CorruptSegment*)> corrupt;
    HRESULT expected;
  };
  const Case cases[] = {
      {"not set up yet", [](CorruptSegment* t) { t->header()->magic = 0; }, perf::kSegmentNotReady},
      {"bad magic", [](CorruptSegment* t) { t->header()->magic ^= 1; }, perf::kSegmentInvalid},
      {"newer version", [](CorruptSegment* t) { t->header()->version = 2; }, perf::kSegmentInvalid},
      {"claims more bytes", [](CorruptSegment* t) { t->header()->segment_size += 8; },
       perf::kSegmentInvalid},
      {"slot table outside", [](CorruptSegment* t) { t->header()->slot_count = 1000; },
       perf::kSegmentInvalid},
      {"category table outside",
       [](CorruptSegment* t) { t->header()->category_offset = 0xFFFFFFF8u; },
       perf::kSegmentInvalid},
      {"too many counters", [](CorruptSegment* t) { t->category()->counter_count = 17; },
       perf::kSegmentInvalid},
      {"counter past the object",
       [](CorruptSegment* t) { t->category()->counters[15].offset = 144; }, perf::kSegmentInvalid},
      {"counter inside the header",
       [](CorruptSegment* t) { t->category()->counters[0].offset = 16; }, perf::kSegmentInvalid},
      {"size not the type's", [](CorruptSegment* t) { t->category()->counters[1].size = 4; },
       perf::kSegmentInvalid},
      {"unknown type", [](CorruptSegment* t) { t->category()->counters[2].type = 3; },
       perf::kSegmentInvalid},
      {"unterminated key",
       [](CorruptSegment* t) {
         std::memset(t->category()->counters[3].key, 'a', perf::kCounterKeySize);
       },
       perf::kSegmentInvalid},
      {"key not a metric name", [](CorruptSegment* t) { t->category()->counters[4].key[0] = 'U'; },
       perf::kSegmentInvalid},
      {"unterminated category name",
       [](CorruptSegment* t) { std::memset(t->category()->name, 'n', perf::kCategoryNameSize); },
       perf::kSegmentInvalid},
      {"category not registered", [](CorruptSegment* t) { t->category()->id = 8; },
       perf::kCategoryNotPublished},
  };
  const std::vector<uint64_t> original = copy_;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    copy_ = original;
    test.corrupt(this);
    EXPECT_EQ(Parse(bytes_), test.expected);
  }
  copy_ = original;
  EXPECT_EQ(Parse(sizeof(perf::SegmentHeader) - 1), perf::kSegmentInvalid) << "truncated";
  EXPECT_EQ(Parse(bytes_ - 8), perf::kSegmentInvalid) << "shorter than it claims";
}

// The formats -----------------------------------------------------------------------

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

TEST(PerfFormats, PrometheusNamesCountsAndMillisecondsAndEscapesHelp) {
  EXPECT_EQ(perf::FormatPrometheus(SmallSample(3, 21)),
            "# HELP userpolicy_user_ds_access_total Lookups\\\\answered\\nby the directory.\n"
            "# TYPE userpolicy_user_ds_access_total counter\n"
            "userpolicy_user_ds_access_total{pid=\"42\"} 3\n"
            "# HELP userpolicy_user_ds_access_milliseconds_total Milliseconds spent.\n"
            "# TYPE userpolicy_user_ds_access_milliseconds_total counter\n"
            "userpolicy_user_ds_access_milliseconds_total{pid=\"42\"} 21\n");
}

TEST(PerfFormats, TableAlignsNamesAndValues) {
  EXPECT_EQ(perf::FormatTable(SmallSample(3, 21)),
            "Process 42: DS Access (category 7)\n"
            "  User DS Access                    3\n"
            "  User DS Access Time              21\n");
}

TEST(PerfFormats, WatchRatesHandleWrapAroundBackwardsClocksAndMissingSamples) {
  struct Case {
    const char* name;
    perf::CounterSample previous;
    perf::CounterSample current;
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
    std::getline(lines, title);
    std::getline(lines, columns);
    std::getline(lines, count_line);
    std::getline(lines, time_line);
    EXPECT_NE(columns.find("per second"), std::string::npos);
    EXPECT_TRUE(count_line.ends_with(" " + std::string(test.count_rate))) << count_line;
    EXPECT_TRUE(time_line.ends_with(" " + std::string(test.time_rate))) << time_line;
  }
}

// Another process -----------------------------------------------------------------

TEST(PerfCrossProcess, AParentReadsTheChildsLiveCountersUntilItExits) {
  ChildProcess child;
  ASSERT_GT(child.pid(), 0u);
  ASSERT_TRUE(child.WaitUntilReady());

  perf::CounterSample sample;
  std::string error;
  ASSERT_EQ(perf::ReadCounters(child.pid(), kCategory, &sample, &error), S_OK) << error;
  EXPECT_EQ(sample.pid, child.pid());
  const int64_t user_ms = kChildUserLookups * kChildUserLookupMs;
  const int64_t ngroup_ms = kChildNGroupLookups * kChildNGroupLookupMs;
  const std::vector<std::pair<std::string, std::pair<int64_t, int64_t>>> expected = {
      {"total_ds_access", {kChildUserLookups, user_ms}},
      {"total_cache_access", {kChildNGroupLookups, ngroup_ms}},
      {"user_ds_access", {kChildUserLookups, user_ms}},
      {"user_cache_access", {0, 0}},
      {"pgroup_ds_access", {0, 0}},
      {"pgroup_cache_access", {0, 0}},
      {"ngroup_ds_access", {0, 0}},
      {"ngroup_cache_access", {kChildNGroupLookups, ngroup_ms}},
  };
  for (const auto& [key, values] : expected) {
    EXPECT_EQ(ValueOf(sample, key, kCount), values.first) << key;
    EXPECT_EQ(ValueOf(sample, key, kMs), values.second) << key;
  }

  // The command finds it by pid too.
  std::ostringstream out;
  const std::string pid_text = std::to_string(child.pid());
  std::vector<std::string> args = {"perf", "--pid", pid_text, "--prometheus"};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  EXPECT_EQ(perf::RunPerfCommand(static_cast<int>(argv.size()), argv.data(), out),
            perf::kCommandOk);
  EXPECT_NE(out.str().find("userpolicy_user_ds_access_total{pid=\"" + pid_text + "\"} 3\n"),
            std::string::npos)
      << out.str();

  const DWORD pid = child.pid();
  const int status = child.Finish();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(perf::ReadCounters(pid, kCategory, &sample, &error), platform::kSharedMemoryNotFound)
      << "a process that exits normally removes its segment";
}

TEST(PerfCrossProcess, TheSegmentOfAKilledProcessIsCleanedUpAsStale) {
  ChildProcess child;
  ASSERT_GT(child.pid(), 0u);
  ASSERT_TRUE(child.WaitUntilReady());
  const DWORD pid = child.pid();
  child.Kill();

  const std::vector<DWORD> listed = perf::ListPublishingProcesses();
  EXPECT_NE(std::find(listed.begin(), listed.end(), pid), listed.end());
  perf::CounterSample sample;
  std::string error;
  EXPECT_EQ(perf::ReadCounters(pid, kCategory, &sample, &error), S_OK) << "left behind";
  EXPECT_GE(perf::RemoveStaleSegments(), 1);
  EXPECT_EQ(perf::ReadCounters(pid, kCategory, &sample, &error), platform::kSharedMemoryNotFound);
}

// The command ---------------------------------------------------------------------

class PerfCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CQuarnPerfMonManager::Instance()->CreateInstance(kCategory, 0, nullptr, &object_),
              S_OK);
    object_->ResetCounters();
  }
  void TearDown() override { CQuarnPerfMonManager::Instance()->ReleaseInstance(object_); }

  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), "perf");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    out_.str("");
    return perf::RunPerfCommand(static_cast<int>(argv.size()), argv.data(), out_);
  }

  std::string Self() const { return std::to_string(platform::CurrentProcessId()); }

  CDSAccessPerfObject* object_ = nullptr;
  std::ostringstream out_;
};

TEST_F(PerfCommand, PrintsThisProcesssCountersAsATable) {
  object_->m_nPGroupCacheAccess = 4;
  ASSERT_EQ(Run({"--pid", Self()}), perf::kCommandOk) << out_.str();
  EXPECT_NE(out_.str().find("Process " + Self() + ": DS Access (category 7)\n"), std::string::npos);
  EXPECT_NE(out_.str().find("PGroup Cache Access  "), std::string::npos);
  EXPECT_NE(out_.str().find(" 4\n"), std::string::npos) << out_.str();

  ASSERT_EQ(Run({"--list"}), perf::kCommandOk);
  EXPECT_NE(out_.str().find(Self() + "\n"), std::string::npos) << out_.str();
}

TEST_F(PerfCommand, WatchPrintsOneBlockPerSampleWithRates) {
  ASSERT_EQ(Run({"--pid", Self(), "--watch", "--count", "2", "--interval", "0.01"}),
            perf::kCommandOk)
      << out_.str();
  const std::string text = out_.str();
  const size_t first = text.find("per second");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(text.find("per second", first + 1), std::string::npos) << text;
  EXPECT_NE(text.find(" 0.0\n"), std::string::npos) << "the second block has rates\n" << text;
}

TEST_F(PerfCommand, BadUsageAndMissingProcessesFail) {
  EXPECT_EQ(Run({"--watch", "--prometheus"}), perf::kCommandUsage);
  EXPECT_EQ(Run({"--count", "2"}), perf::kCommandUsage) << "--count needs --watch";
  EXPECT_EQ(Run({"--pid", "x"}), perf::kCommandUsage);
  EXPECT_EQ(Run({"--frobnicate"}), perf::kCommandUsage);
  EXPECT_EQ(Run({"--help"}), perf::kCommandOk);
  EXPECT_NE(out_.str().find("--prometheus"), std::string::npos);

  // A pid no process has (beyond the kernel's maximum).
  EXPECT_EQ(Run({"--pid", "2147483647"}), perf::kCommandFailed);
  EXPECT_NE(out_.str().find("publishes no counters"), std::string::npos) << out_.str();
}

}  // namespace
