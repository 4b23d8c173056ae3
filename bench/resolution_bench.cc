// Resolution of SIP users to GUID lists and e-mail addresses on the
// generated 10,000-user directory (about 30 groups reached per user), served
// by a private slapd:
//  - cold: every cache empty, one pass over a set of users, against the
//    floor: the very reads that pass made (recorded at the backend seam),
//    replayed on one raw libldap connection (aim: within 15% of the floor);
//    passes and replays alternate, the medians are reported;
//  - e-mail cold, against the same kind of floor;
//  - memory: resident size growth with all three caches filled at their
//    default maximums, per cached record;
//  - warm: the same users with all three caches hot, 1 and 2 threads
//    (aim: at most 10 us per user on one thread, 2 threads at least 1.3x);
//  - the caches' share of warm resolution: the same lookups as bare lock,
//    map search and handle copy;
//  - warm users reaching 11 groups (aim: within twice 1.4-2.0 us);
//  - e-mail lookups warm.
// The log threshold is warnings, as in production.
#include <ldap.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/raw_ldap_connection.h"
#include "bench/temporary_settings.h"
#include "local_directories/directory_generator.h"
#include "local_directories/slapd_server.h"
#include "manager/lookup_key.h"
#include "manager/user_policy_manager_impl.h"
#include "module/manager_factories.h"
#include "module/module_entry.h"
#include "perf/ds_access_perf_object.h"
#include "platform/com.h"
#include "platform/crt.h"
#include "platform/directory/directory_backend.h"
#include "testing/scoped_backend.h"
#include "platform/log.h"
#include "platform/sync.h"
#include "platform/utf8.h"
#include "resolve/policy_filter_ds_access_helper.h"
#include "resolve/proxy_address_ds_access_helper.h"

namespace {

using userpolicy::bench::RawLdapConnection;
using userpolicy::bench::WriteTemporarySettings;
using userpolicy::local_directories::ElevenSipAddress;
using userpolicy::local_directories::GeneratedDirectory;
using userpolicy::local_directories::GenerateDirectory;
using userpolicy::local_directories::GeneratorOptions;
using userpolicy::local_directories::SlapdOptions;
using userpolicy::local_directories::SlapdServer;
using userpolicy::local_directories::UserSipAddress;
using userpolicy::local_directories::WriteGeneratedDirectory;

constexpr int kUsersResolved = 1000;
constexpr int kEmailCapacity = 256;
constexpr int kColdRounds = 3;

// One directory read as the backend was asked for it.
struct RecordedRead {
  std::string base;
  int scope = LDAP_SCOPE_BASE;
  std::string filter;
  std::vector<std::string> attributes;
  // The request as the backend got it, to replay it there.
  bool search = false;
  directory::DirectoryPath path;
  std::wstring wide_filter;
  std::vector<std::wstring> wide_attributes;
  int directory_scope = 0;
};

// Passes every read on to the backend it wraps, counts the time spent
// there, and records the reads while asked to, so that the same reads can be
// replayed on a raw connection.
class RecordingBackend : public directory::DirectoryBackend {
 public:
  explicit RecordingBackend(directory::DirectoryBackend& inner) : inner_(inner) {}

  std::shared_ptr<const directory::DirectoryObject> ReadObject(const directory::DirectoryPath& path,
                                                               const std::vector<std::wstring>& attributes) override {
    if (recording_) Record(false, path, LDAP_SCOPE_BASE, L"(objectClass=*)", attributes, 0);
    const auto start = std::chrono::steady_clock::now();
    auto object = inner_.ReadObject(path, attributes);
    inner_time_ += std::chrono::steady_clock::now() - start;
    return object;
  }
  std::shared_ptr<const directory::DirectoryObject> SearchOne(const directory::DirectoryPath& root,
                                                              const std::wstring& filter,
                                                              const std::vector<std::wstring>& attributes,
                                                              int scope) override {
    if (recording_) {
      Record(true, root,
             scope == kDirectoryScopeBase       ? LDAP_SCOPE_BASE
             : scope == kDirectoryScopeOneLevel ? LDAP_SCOPE_ONELEVEL
                                                : LDAP_SCOPE_SUBTREE,
             filter, attributes, scope);
    }
    const auto start = std::chrono::steady_clock::now();
    auto object = inner_.SearchOne(root, filter, attributes, scope);
    inner_time_ += std::chrono::steady_clock::now() - start;
    return object;
  }
  HRESULT GetRootGCPath(std::wstring* path) override { return inner_.GetRootGCPath(path); }
  HRESULT GetGCFromRootDSE(std::wstring* path) override { return inner_.GetGCFromRootDSE(path); }

  std::vector<RecordedRead> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(reads_);
  }
  void set_recording(bool recording) { recording_ = recording; }
  // Microseconds spent in the wrapped backend since the last call.
  double TakeInnerMicros() {
    const double micros = std::chrono::duration<double, std::micro>(inner_time_).count();
    inner_time_ = {};
    return micros;
  }

 private:
  void Record(bool search, const directory::DirectoryPath& path, int scope, const std::wstring& filter,
              const std::vector<std::wstring>& attributes, int directory_scope) {
    RecordedRead read{platform::WideToUtf8(path.dn), scope, platform::WideToUtf8(filter), {}, search, path, filter,
                      attributes, directory_scope};
    for (const std::wstring& name : attributes) read.attributes.push_back(platform::WideToUtf8(name));
    std::lock_guard<std::mutex> lock(mutex_);
    reads_.push_back(std::move(read));
  }

  directory::DirectoryBackend& inner_;
  bool recording_ = true;
  std::chrono::steady_clock::duration inner_time_{};  // single-threaded passes only
  std::mutex mutex_;
  std::vector<RecordedRead> reads_;
};

// Replays `reads` on `connection`; returns the wall time in microseconds.
double Replay(RawLdapConnection& connection, const std::vector<RecordedRead>& reads) {
  std::vector<std::vector<const char*>> attribute_lists;
  for (const RecordedRead& read : reads) {
    std::vector<const char*> list;
    for (const std::string& name : read.attributes) list.push_back(name.c_str());
    list.push_back(nullptr);
    attribute_lists.push_back(std::move(list));
  }
  std::vector<std::string> values;
  const auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < reads.size(); ++i) {
    values.clear();
    connection.Search(reads[i].base.c_str(), reads[i].scope, reads[i].filter.c_str(), attribute_lists[i].data(),
                      &values);
  }
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

// Replays `reads` on the library's own backend, without the manager and the
// resolution above it; returns the wall time in microseconds.
double ReplayOnBackend(directory::DirectoryBackend& backend, const std::vector<RecordedRead>& reads) {
  const auto start = std::chrono::steady_clock::now();
  for (const RecordedRead& read : reads) {
    if (read.search) {
      benchmark::DoNotOptimize(backend.SearchOne(read.path, read.wide_filter, read.wide_attributes, read.directory_scope));
    } else {
      benchmark::DoNotOptimize(backend.ReadObject(read.path, read.wide_attributes));
    }
  }
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

// CPU time of the calling thread in microseconds.
double ThreadCpuMicros() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The resident set size of this process in bytes.
double ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long pages_total = 0, pages_resident = 0;
  statm >> pages_total >> pages_resident;
  return static_cast<double>(pages_resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

CDSObjectCache& Cache(const CUserPolicyManager& manager) {
  return CUserPolicyManagerInspector::Impl(manager)->cache();
}

size_t CachedRecords(const CUserPolicyManager& manager) {
  CUserPolicyManagerImpl* impl = CUserPolicyManagerInspector::Impl(manager);
  return impl != nullptr ? impl->cache().Size() : 0;
}

// The floor of warm resolution set by the caches alone: for each user the
// same lookups as the resolution makes (the same keys, in walk order, the
// groups already listed included), each as a lock, a search of an ordered
// map keyed by std::wstring and the copy of a shared handle, on three maps
// holding the very keys the module's caches hold. The records themselves
// (property searches, value copies, the GUID list) are not touched.
class LookupFloor {
 public:
  // One cache: its lock (a critical section, as the manager's) and its
  // map, whose values stand for record handles (a reference count each).
  struct Map {
    Map() { InitializeCriticalSection(&cs); }
    ~Map() { DeleteCriticalSection(&cs); }
    CRITICAL_SECTION cs;
    std::map<std::wstring, volatile LONG, KeyLess> entries;
  };

  // Builds the lookup sequence of each SIP address in `sips` by walking the
  // generated directory as the resolution walks it. The primary-group key is
  // the primary-group cache's only key; the group map holds the keys of the
  // nested-group cache. Keys are normalised as the manager normalises them.
  LookupFloor(const GeneratorOptions& options, const std::vector<std::wstring>& sips,
              const std::wstring& primary_group_key, const std::vector<std::wstring>& cached_group_keys) {
    const GeneratedDirectory directory = GenerateDirectory(options);
    std::map<std::wstring, size_t> user_by_sip;
    for (size_t i = 0; i < directory.users.size(); ++i) {
      user_by_sip[platform::Utf8ToWide(directory.users[i].sip_address)] = i;
    }
    std::vector<std::wstring> group_keys;
    for (const auto& group : directory.groups) group_keys.push_back(Normalised(platform::Utf8ToWide(group.dn)));
    primary_.entries.emplace(primary_group_key, 1);
    for (const std::wstring& key : cached_group_keys) groups_.entries.emplace(key, 1);
    for (const std::wstring& sip : sips) {
      std::vector<Lookup> sequence;
      const std::wstring user_key = Normalised(sip);
      users_.entries.emplace(user_key, 1);
      sequence.push_back({&users_, user_key});
      sequence.push_back({&primary_, primary_group_key});
      auto found = user_by_sip.find(sip);
      if (found != user_by_sip.end()) {
        std::vector<bool> listed(directory.groups.size(), false);
        std::function<void(int)> walk = [&](int group) {
          const std::wstring& key = group_keys[static_cast<size_t>(group)];
          if (groups_.entries.count(key) == 0) ++missing_;
          sequence.push_back({&groups_, key});
          if (listed[static_cast<size_t>(group)]) return;
          listed[static_cast<size_t>(group)] = true;
          for (int parent : directory.groups[static_cast<size_t>(group)].parents) walk(parent);
        };
        for (int group : directory.users[found->second].groups) walk(group);
      }
      lookups_ += sequence.size();
      sequences_.push_back(std::move(sequence));
    }
  }

  // The lookups of the n-th user, each a lock, a map search and a handle
  // copy and release.
  void Run(size_t n) {
    for (const Lookup& lookup : sequences_[n % sequences_.size()]) {
      volatile LONG* handle = nullptr;
      EnterCriticalSection(&lookup.map->cs);
      auto it = lookup.map->entries.find(std::wstring_view(lookup.key));
      if (it != lookup.map->entries.end()) {
        handle = &it->second;
        InterlockedIncrement(handle);  // the handle copied under the lock
      }
      LeaveCriticalSection(&lookup.map->cs);
      if (handle != nullptr) InterlockedDecrement(handle);  // and released by the caller
    }
  }

  double lookups_per_user() const { return static_cast<double>(lookups_) / sequences_.size(); }
  // Walk keys the module's nested-group cache does not hold: none when the
  // floor searches for exactly the keys the resolution searches for.
  size_t missing_keys() const { return missing_; }

 private:
  struct Lookup {
    Map* map;
    std::wstring key;
  };

  static std::wstring Normalised(const std::wstring& key) {
    std::wstring upper = key.substr(0, kKeyBufferLength - 1);
    _wcsupr(upper.data());
    return upper;
  }

  Map users_, primary_, groups_;
  std::vector<std::vector<Lookup>> sequences_;
  size_t lookups_ = 0;
  size_t missing_ = 0;
};

struct World {
  GeneratorOptions options;
  std::unique_ptr<SlapdServer> server;
  std::string default_settings_path;
  std::string settings_path;
  std::vector<std::wstring> users;
  std::vector<std::wstring> eleven_users;
  size_t guids_per_user = 0;
  double cold_us_per_user = 0, cold_floor_us_per_user = 0, cold_backend_us_per_user = 0;
  double cold_in_backend_us_per_user = 0;
  double cold_cpu_us_per_user = 0, cold_backend_cpu_us_per_user = 0, cold_floor_cpu_us_per_user = 0;
  double reads_per_user = 0;
  double lookups_per_user = 0;
  double email_cold_us = 0, email_floor_us = 0;
  double bytes_per_record = 0, heap_bytes_per_record = 0;
  size_t records_cached = 0;
  std::unique_ptr<LookupFloor> floor;

  World() {
    DBG::LogOptions log = DBG::GetOptions();
    log.threshold = DBG::Severity::kWarning;
    DBG::Configure(log);
    SlapdOptions slapd;
    slapd.ldif_files.clear();
    slapd.ldif_writers.push_back(
        [this](std::ostream& out) { WriteGeneratedDirectory(out, options); });
    slapd.start_timeout = std::chrono::seconds(120);
    server = SlapdServer::Start(slapd);
    // Anonymous reads. First the default cache sizes (the memory figure),
    // then caches large enough to hold the whole directory.
    const std::string servers = "[DirectoryAccess.DEFAULT]\nGlobalCatalogServers = \"" + server->host_port() + "\"\n";
    default_settings_path = WriteTemporarySettings("resolution_bench_default", servers);
    settings_path = WriteTemporarySettings("resolution_bench",
                                  servers +
                                      "\n[QV_DSAccess.DEFAULT]\nUserIdentityCacheMaximum = 20000\n"
                                      "PrimaryGroupCacheMaximum = 100\nNestedGroupCacheMaximum = 20000\n");
    for (int i = 0; i < kUsersResolved; ++i) {
      users.push_back(platform::Utf8ToWide(UserSipAddress(i * 7 + 1, options)));  // 1-based
    }
    for (int i = 0; i < options.eleven_user_count; ++i) {
      eleven_users.push_back(platform::Utf8ToWide(ElevenSipAddress(i + 1, options)));
    }
    MeasureMemory();
    MeasureCold();
    for (const std::wstring& user : eleven_users) Resolve(user);
    // Lookups per resolution (every group reached through each memberOf
    // value is looked up, also when its GUID is already listed).
    const ULONG before = g_pDSAccessPerfObject->m_nTotalCacheAccess;
    for (const std::wstring& user : users) Resolve(user);
    lookups_per_user = static_cast<double>(g_pDSAccessPerfObject->m_nTotalCacheAccess - before) / users.size();
    const std::vector<std::wstring> primary_keys = Cache(UserPolicy_GetPrimaryGroupIDTOGroupManager()).KeysNewestFirst();
    floor = std::make_unique<LookupFloor>(options, users, primary_keys.empty() ? L"" : primary_keys.front(),
                                          Cache(UserPolicy_GetGroupMemeberShipManager()).KeysNewestFirst());
  }
  ~World() {
    IPC_SERVER_Deinit();
    std::remove(settings_path.c_str());
    std::remove(default_settings_path.c_str());
  }

  static void Start(const std::string& settings) {
    setenv("USERPOLICY_SETTINGS", settings.c_str(), 1);
    if (IPC_SERVER_Init() != 0) throw std::runtime_error("IPC_SERVER_Init failed");
  }

  static size_t Resolve(const std::wstring& sip) {
    std::vector<_bstr_t> guids;
    CPolicyFilterDSAccessHelper::GetUserIdentityAndMembershipGuids(sip.c_str(), guids);
    return guids.size();
  }
  static void Email(const std::wstring& sip) {
    wchar_t email[kEmailCapacity];
    CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(sip.c_str(), email, kEmailCapacity);
  }

  // Resolves distinct users with the default cache sizes until every cache
  // is full (or the directory runs out), and divides the growth of the
  // resident set by the records the caches hold.
  void MeasureMemory() {
    Start(default_settings_path);
    Resolve(users[0]);  // connections, schema and discovery are not cache memory
    // Freed heap (the generated directory's text) goes back first, so that
    // the resident size grows by what the caches keep.
    malloc_trim(0);
    const double before = ResidentBytes();
    const double heap_before = static_cast<double>(mallinfo2().uordblks);
    for (int i = 0; i < options.user_count; ++i) {
      Resolve(platform::Utf8ToWide(UserSipAddress(i + 1, options)));
      if (CachedRecords(UserPolicy_GetUserIdentityManager()) > 1000 &&
          CachedRecords(UserPolicy_GetGroupMemeberShipManager()) > 1000) {
        break;
      }
    }
    records_cached = CachedRecords(UserPolicy_GetUserIdentityManager()) +
                     CachedRecords(UserPolicy_GetPrimaryGroupIDTOGroupManager()) +
                     CachedRecords(UserPolicy_GetGroupMemeberShipManager());
    bytes_per_record = (ResidentBytes() - before) / static_cast<double>(records_cached);
    heap_bytes_per_record = (static_cast<double>(mallinfo2().uordblks) - heap_before) / static_cast<double>(records_cached);
    IPC_SERVER_Deinit();
  }

  // Times cold passes (fresh caches after each restart of the module)
  // against replays of the reads the first pass made, alternating.
  void MeasureCold() {
    directory::DirectoryBackend& ldap = directory::CurrentBackend();
    RecordingBackend recorder(ldap);
    std::vector<RecordedRead> resolution_reads, email_reads;
    directory::testing::ScopedBackend use(&recorder);
    Start(settings_path);
    size_t guids = 0;
    for (const std::wstring& user : users) guids += Resolve(user);
    guids_per_user = guids / users.size();
    resolution_reads = recorder.Take();
    IPC_SERVER_Deinit();
    Start(settings_path);
    for (const std::wstring& user : users) Email(user);
    email_reads = recorder.Take();
    IPC_SERVER_Deinit();
    recorder.set_recording(false);
    reads_per_user = static_cast<double>(resolution_reads.size()) / users.size();
    RawLdapConnection raw(server->url(), "", "");
    std::vector<double> cold, floor, backend, in_backend, email_cold, email_floor;
    std::vector<double> cold_cpu, floor_cpu, backend_cpu;
    const auto per_user = [this](double micros) { return micros / static_cast<double>(users.size()); };
    for (int round = 0; round < kColdRounds; ++round) {
      double cpu = ThreadCpuMicros();
      floor.push_back(Replay(raw, resolution_reads) / users.size());
      floor_cpu.push_back(per_user(ThreadCpuMicros() - cpu));
      cpu = ThreadCpuMicros();
      backend.push_back(ReplayOnBackend(ldap, resolution_reads) / users.size());
      backend_cpu.push_back(per_user(ThreadCpuMicros() - cpu));
      email_floor.push_back(Replay(raw, email_reads) / users.size());
      Start(settings_path);
      email_cold.push_back(TimedPass(&World::Email) / users.size());
      IPC_SERVER_Deinit();
      Start(settings_path);  // left running, its caches hot, for the warm benchmarks
      recorder.TakeInnerMicros();
      cpu = ThreadCpuMicros();
      cold.push_back(TimedPass([](const std::wstring& user) { Resolve(user); }) / users.size());
      cold_cpu.push_back(per_user(ThreadCpuMicros() - cpu));
      in_backend.push_back(recorder.TakeInnerMicros() / users.size());
      if (round + 1 < kColdRounds) IPC_SERVER_Deinit();
    }
    cold_us_per_user = Median(cold);
    cold_floor_us_per_user = Median(floor);
    cold_backend_us_per_user = Median(backend);
    cold_in_backend_us_per_user = Median(in_backend);
    cold_cpu_us_per_user = Median(cold_cpu);
    cold_floor_cpu_us_per_user = Median(floor_cpu);
    cold_backend_cpu_us_per_user = Median(backend_cpu);
    email_cold_us = Median(email_cold);
    email_floor_us = Median(email_floor);
  }

  double TimedPass(const std::function<void(const std::wstring&)>& lookup) const {
    const auto start = std::chrono::steady_clock::now();
    for (const std::wstring& user : users) lookup(user);
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
  }
};

// Made by the first benchmark that needs it; destroyed by main after the
// last benchmark, when no benchmark thread uses it any more, so that the
// module stops and the directory server and its files go.
std::unique_ptr<World> g_world;

World& TheWorld() {
  static std::once_flag made;  // benchmark threads may ask at once
  std::call_once(made, [] { g_world = std::make_unique<World>(); });
  return *g_world;
}

void BM_ColdResolution(benchmark::State& state) {
  World& world = TheWorld();
  for (auto _ : state) benchmark::DoNotOptimize(world.cold_us_per_user);
  state.counters["us_per_user"] = world.cold_us_per_user;
  state.counters["floor_us_per_user"] = world.cold_floor_us_per_user;
  state.counters["backend_us_per_user"] = world.cold_backend_us_per_user;
  state.counters["in_backend_us_per_user"] = world.cold_in_backend_us_per_user;
  state.counters["ratio"] = world.cold_us_per_user / world.cold_floor_us_per_user;
  state.counters["reads_per_user"] = world.reads_per_user;
  // CPU time of the calling thread: where the wall-time gap is spent.
  state.counters["cpu_us_per_user"] = world.cold_cpu_us_per_user;
  state.counters["floor_cpu_us_per_user"] = world.cold_floor_cpu_us_per_user;
  state.counters["backend_cpu_us_per_user"] = world.cold_backend_cpu_us_per_user;
  state.counters["guids_per_user"] = static_cast<double>(world.guids_per_user);
}
BENCHMARK(BM_ColdResolution)->Iterations(1);

void BM_ColdEmail(benchmark::State& state) {
  World& world = TheWorld();
  for (auto _ : state) benchmark::DoNotOptimize(world.email_cold_us);
  state.counters["us_per_user"] = world.email_cold_us;
  state.counters["floor_us_per_user"] = world.email_floor_us;
  state.counters["ratio"] = world.email_cold_us / world.email_floor_us;
}
BENCHMARK(BM_ColdEmail)->Iterations(1);

void BM_CacheMemory(benchmark::State& state) {
  World& world = TheWorld();
  for (auto _ : state) benchmark::DoNotOptimize(world.bytes_per_record);
  state.counters["records"] = static_cast<double>(world.records_cached);
  state.counters["rss_bytes_per_record"] = world.bytes_per_record;
  state.counters["heap_bytes_per_record"] = world.heap_bytes_per_record;
}
BENCHMARK(BM_CacheMemory)->Iterations(1);

void WarmLoop(benchmark::State& state, const std::vector<std::wstring>& users) {
  size_t i = static_cast<size_t>(state.thread_index()) * 131;
  std::vector<_bstr_t> guids;
  for (auto _ : state) {
    guids.clear();
    CPolicyFilterDSAccessHelper::GetUserIdentityAndMembershipGuids(users[i++ % users.size()].c_str(), guids);
    benchmark::DoNotOptimize(guids.data());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_WarmResolution(benchmark::State& state) {
  WarmLoop(state, TheWorld().users);
  state.counters["lookups_per_user"] = benchmark::Counter(TheWorld().lookups_per_user, benchmark::Counter::kAvgThreads);
}
BENCHMARK(BM_WarmResolution)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The caches' share of warm resolution: the same lookups as bare lock, map
// search and handle copy (see LookupFloor).
void BM_WarmLookupFloor(benchmark::State& state) {
  LookupFloor& floor = *TheWorld().floor;
  size_t i = static_cast<size_t>(state.thread_index()) * 131;
  for (auto _ : state) floor.Run(i++);
  state.SetItemsProcessed(state.iterations());
  state.counters["lookups_per_user"] = benchmark::Counter(floor.lookups_per_user(), benchmark::Counter::kAvgThreads);
  state.counters["missing_keys"] = benchmark::Counter(static_cast<double>(floor.missing_keys()),
                                                      benchmark::Counter::kAvgThreads);
}
BENCHMARK(BM_WarmLookupFloor)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_WarmResolutionElevenGroups(benchmark::State& state) { WarmLoop(state, TheWorld().eleven_users); }
BENCHMARK(BM_WarmResolutionElevenGroups)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_WarmEmail(benchmark::State& state) {
  World& world = TheWorld();
  size_t i = 0;
  wchar_t email[kEmailCapacity];
  for (auto _ : state) {
    benchmark::DoNotOptimize(CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(
        world.users[i++ % world.users.size()].c_str(), email, kEmailCapacity));
  }
}
BENCHMARK(BM_WarmEmail)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  g_world.reset();
  return 0;
}
