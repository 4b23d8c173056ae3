// The LDAP backend against the floor: the same requests on a raw libldap
// connection to the same slapd (the sample directory).
//
//   FindOneUser  the user search of a SIP lookup with the eight user
//                attributes (objectGUID name distinguishedName memberOf
//                primaryGroupID objectSid proxyAddresses mail)
//   ReadGroup    a group read by DN (objectGUID distinguishedName memberOf
//                groupType)
//   .../threads:2  the same from two threads (the backend's pool against
//                one raw connection per thread)
//
// Each benchmark calls the backend and the raw connection alternately, so
// that load from elsewhere on the machine slows both alike, and counts the
// wall time of each. After the usual report the program prints the backend's
// time per call with its floor and the ratio backend/raw (aim: within 1.10).
#include <benchmark/benchmark.h>
#include <ldap.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/raw_ldap_connection.h"
#include "local_directories/slapd_server.h"
#include "manager/global_catalog_path.h"
#include "manager/user_policy_manager.h"
#include "module/directory_queries.h"
#include "platform/com.h"
#include "platform/crt.h"
#include "platform/directory.h"
#include "platform/directory/directory_backend.h"
#include "platform/directory/directory_path.h"
#include "platform/directory/ldap_backend.h"
#include "platform/settings.h"
#include "platform/utf8.h"
#include "testing/scoped_backend.h"

namespace {

using userpolicy::local_directories::SlapdServer;

constexpr char kUserSip[] = "sip:alice@example.test";
constexpr char kGroupDn[] = "cn=Engineering,ou=Groups,dc=example,dc=test";
constexpr int kRepetitions = 5;
constexpr double kMinTimeSeconds = 1.0;

const char* const kUserAttributeNames[] = {"objectGUID",     "name",      "distinguishedName", "memberOf",
                                       "primaryGroupID", "objectSid", "proxyAddresses",    "mail"};
const char* const kGroupAttributeNames[] = {"objectGUID", "distinguishedName", "memberOf", "groupType"};

std::string UserFilter() {
  return std::string(
             "(&(|(&(objectClass=user)(objectCategory=person))(&(objectClass=contact)(objectCategory=person)))"
             "(msRTCSIP-PrimaryUserAddress=") +
         kUserSip + "))";
}

template <size_t N>
std::vector<std::wstring> WideList(const char* const (&names)[N]) {
  std::vector<std::wstring> list;
  for (const char* name : names) list.push_back(platform::Utf8ToWide(name));
  return list;
}

// The server and the backend, made once for the whole program.
struct World {
  std::unique_ptr<SlapdServer> server;
  std::string settings_path;
  std::unique_ptr<directory::LdapBackend> backend;
  directory::DirectoryPath root;
  directory::DirectoryPath group;
  std::wstring user_filter;
  std::vector<std::wstring> user_attributes;
  std::vector<std::wstring> group_attributes;

  World() {
    server = SlapdServer::Start();
    settings_path =
        (std::filesystem::temp_directory_path() / ("ldap_bench_" + std::to_string(getpid()) + ".toml")).string();
    std::ofstream(settings_path) << "[DirectoryAccess.DEFAULT]\n"
                                 << "GlobalCatalogServers = \"" << server->host_port() << "\"\n"
                                 << "BindDN = \"" << server->service_dn() << "\"\n"
                                 << "PasswordFile = \"" << server->service_password_file() << "\"\n";
    setenv(kSettingsPathVariable, settings_path.c_str(), 1);
    backend = std::make_unique<directory::LdapBackend>();
    root = directory::DirectoryPath::Parse(L"GC://");
    group = directory::DirectoryPath::Parse(L"GC://" + platform::Utf8ToWide(kGroupDn));
    user_filter = platform::Utf8ToWide(UserFilter());
    user_attributes = WideList(kUserAttributeNames);
    group_attributes = WideList(kGroupAttributeNames);
  }
  ~World() {
    backend.reset();
    std::remove(settings_path.c_str());
  }
};

World& TheWorld() {
  static World world;
  return world;
}

// A raw libldap connection bound as the service account.
class RawConnection : public userpolicy::bench::RawLdapConnection {
 public:
  explicit RawConnection(const SlapdServer& server)
      : RawLdapConnection(server.url(), server.service_dn(), server.service_password()) {}
};

template <size_t N>
std::vector<const char*> NullTerminated(const char* const (&names)[N]) {
  std::vector<const char*> list(std::begin(names), std::end(names));
  list.push_back(nullptr);
  return list;
}

// Runs `backend` and `raw` alternately (which one goes first alternates
// too), so that whatever else the machine does slows both alike, and
// reports the mean wall time of each per call and their ratio.
template <typename Backend, typename Raw>
void Paired(benchmark::State& state, Backend&& backend, Raw&& raw) {
  using Clock = std::chrono::steady_clock;
  Clock::duration backend_time{};
  Clock::duration raw_time{};
  bool backend_first = true;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    if (backend_first) {
      backend();
      const Clock::time_point middle = Clock::now();
      raw();
      backend_time += middle - start;
      raw_time += Clock::now() - middle;
    } else {
      raw();
      const Clock::time_point middle = Clock::now();
      backend();
      raw_time += middle - start;
      backend_time += Clock::now() - middle;
    }
    backend_first = !backend_first;
  }
  const double calls = static_cast<double>(state.iterations());
  const double backend_us = std::chrono::duration<double, std::micro>(backend_time).count() / calls;
  const double raw_us = std::chrono::duration<double, std::micro>(raw_time).count() / calls;
  state.counters["backend_us"] = benchmark::Counter(backend_us, benchmark::Counter::kAvgThreads);
  state.counters["raw_us"] = benchmark::Counter(raw_us, benchmark::Counter::kAvgThreads);
  state.counters["ratio"] = benchmark::Counter(raw_us > 0 ? backend_us / raw_us : 0, benchmark::Counter::kAvgThreads);
}

void BM_FindOneUser(benchmark::State& state) {
  World& world = TheWorld();
  RawConnection connection(*world.server);  // one per thread
  const std::string filter = UserFilter();
  const std::vector<const char*> attributes = NullTerminated(kUserAttributeNames);
  std::vector<std::string> values;
  world.backend->SearchOne(world.root, world.user_filter, world.user_attributes, kDirectoryScopeSubtree);
  Paired(
      state,
      [&] {
        auto user =
            world.backend->SearchOne(world.root, world.user_filter, world.user_attributes, kDirectoryScopeSubtree);
        if (user == nullptr) state.SkipWithError("backend: user not found");
        benchmark::DoNotOptimize(user);
      },
      [&] {
        values.clear();
        if (connection.Search("", LDAP_SCOPE_SUBTREE, filter.c_str(), attributes.data(), &values) != 1) {
          state.SkipWithError("raw: user not found");
        }
        benchmark::DoNotOptimize(values.data());
      });
}

void BM_ReadGroup(benchmark::State& state) {
  World& world = TheWorld();
  RawConnection connection(*world.server);
  const std::vector<const char*> attributes = NullTerminated(kGroupAttributeNames);
  std::vector<std::string> values;
  world.backend->ReadObject(world.group, world.group_attributes);
  Paired(
      state,
      [&] {
        auto group = world.backend->ReadObject(world.group, world.group_attributes);
        benchmark::DoNotOptimize(group);
      },
      [&] {
        values.clear();
        if (connection.Search(kGroupDn, LDAP_SCOPE_BASE, "(objectClass=*)", attributes.data(), &values) != 1) {
          state.SkipWithError("raw: group not found");
        }
        benchmark::DoNotOptimize(values.data());
      });
}

// A cache miss of the user manager: normalisation, the in-flight table, the
// search and the property copy into a record. A manager whose entries expire
// at once misses on every lookup.
void BM_ManagerMissUser(benchmark::State& state) {
  World& world = TheWorld();
  directory::testing::ScopedBackend use(world.backend.get());
  const std::wstring gc = L"GC://" + platform::Utf8ToWide(world.server->host_port());
  wcsncpy(g_wszGlobalCatalogPath, gc.c_str(), kGlobalCatalogPathLength);
  CUserPolicyManager users(kUserFilter, kUserAttributes, kUserAttributeCount, true, /*timeout=*/0, 1000);
  const std::wstring sip = platform::Utf8ToWide(kUserSip);
  RawConnection connection(*world.server);
  const std::string filter = UserFilter();
  const std::vector<const char*> attributes = NullTerminated(kUserAttributeNames);
  std::vector<std::string> values;
  Paired(
      state,
      [&] {
        bool fetched = false;
        CDSObjectInfo user = users.GetDSObjectInfo(sip.c_str(), fetched);
        if (!fetched || user.GetPropertyCount() == 0) state.SkipWithError("manager: no directory read");
      },
      [&] {
        values.clear();
        if (connection.Search("", LDAP_SCOPE_SUBTREE, filter.c_str(), attributes.data(), &values) != 1) {
          state.SkipWithError("raw: user not found");
        }
        benchmark::DoNotOptimize(values.data());
      });
}

void Configure(benchmark::internal::Benchmark* benchmark) {
  benchmark->Unit(benchmark::kMicrosecond)
      ->UseRealTime()
      ->MinTime(kMinTimeSeconds)
      ->Repetitions(kRepetitions)
      ->ReportAggregatesOnly(true);
}

BENCHMARK(BM_FindOneUser)->Apply(Configure);
BENCHMARK(BM_ReadGroup)->Apply(Configure);
BENCHMARK(BM_FindOneUser)->Apply(Configure)->Threads(2);
BENCHMARK(BM_ReadGroup)->Apply(Configure)->Threads(2);
BENCHMARK(BM_ManagerMissUser)->Apply(Configure);

// Keeps the counters of the median runs besides printing as usual.
class MedianCollector : public benchmark::ConsoleReporter {
 public:
  struct Figures {
    double backend_us = 0;
    double raw_us = 0;
    double ratio = 0;
  };

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.aggregate_name != "median") continue;
      Figures figures;
      figures.backend_us = Value(run, "backend_us");
      figures.raw_us = Value(run, "raw_us");
      figures.ratio = Value(run, "ratio");
      medians_[run.run_name.function_name + "/" + std::to_string(run.threads)] = figures;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // The median figures of `function` on `threads` threads; null when none.
  const Figures* Find(const std::string& function, int threads) const {
    const auto it = medians_.find(function + "/" + std::to_string(threads));
    return it == medians_.end() ? nullptr : &it->second;
  }

 private:
  static double Value(const Run& run, const char* name) {
    const auto it = run.counters.find(name);
    return it == run.counters.end() ? 0.0 : static_cast<double>(it->second);
  }

  std::map<std::string, Figures> medians_;
};

void PrintComparison(const MedianCollector& results) {
  struct Row {
    const char* label;
    const char* function;
    int threads;
  };
  const Row rows[] = {
      {"FindOne user, 8 attributes", "BM_FindOneUser", 1},
      {"Read group by DN, 4 attributes", "BM_ReadGroup", 1},
      {"FindOne user, 2 threads", "BM_FindOneUser", 2},
      {"Read group by DN, 2 threads", "BM_ReadGroup", 2},
      {"Manager miss, user by SIP", "BM_ManagerMissUser", 1},
  };
  std::printf("\nWall time per call, backend against raw libldap called alternately; median of %d runs.\n",
              kRepetitions);
  std::printf("%-32s %12s %12s %8s\n", "", "backend us", "raw us", "ratio");
  for (const Row& row : rows) {
    const MedianCollector::Figures* figures = results.Find(row.function, row.threads);
    if (figures == nullptr) {
      std::printf("%-32s (not run)\n", row.label);
      continue;
    }
    std::printf("%-32s %12.1f %12.1f %8.3f\n", row.label, figures->backend_us, figures->raw_us, figures->ratio);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  MedianCollector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintComparison(reporter);
  benchmark::Shutdown();
  return 0;
}
