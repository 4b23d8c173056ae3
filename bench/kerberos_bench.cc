// What a Kerberos bind costs, against a simple bind, on the Samba domain
// controller of the tests (its own KDC, on 127.0.0.1), in one run:
//
//   SimpleBind         a new connection bound as the service account's DN:
//                      the peer the others are compared with
//   KerberosCached     a new connection bound with SASL GSSAPI (sealed)
//                      with credentials already held: the service ticket
//                      comes from the library's memory cache
//   KerberosNewTicket  the same with credentials obtained for it: a
//                      ticket-granting ticket from the keytab and a
//                      service ticket from the KDC first, which the library
//                      does once per ticket lifetime
//
// Each is timed per call (wall time, median of the repetitions; a connection
// alone is no floor here: this controller, one process, accepts a tight loop
// of connections slowly enough that some wait a second for a SYN
// retransmission). Then the
// sample users (the controller's test directory) are resolved cold, once per
// round, with each bind: "pooled" restarts the module (empty caches) but
// keeps the pooled connections; "new connections" alternates the bind
// method so that every round also connects and binds anew (for Kerberos,
// with new credentials). The program prints a table of both at the end,
// with the ratios Kerberos/simple.
//
// It re-runs itself under nss_wrapper so that the controller's host name,
// which Kerberos needs, resolves; the Kerberos configuration is the
// controller's (KRB5_CONFIG).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "local_directories/directory_tools.h"
#include "local_directories/nss_wrapper.h"
#include "local_directories/samba_dc.h"
#include "module/module_entry.h"
#include "platform/com.h"
#include "platform/kerberos.h"
#include "platform/ldap_api.h"
#include "platform/settings.h"
#include "platform/utf8.h"
#include "resolve/policy_filter_ds_access_helper.h"
#include "resolve/proxy_address_ds_access_helper.h"

namespace {

using userpolicy::local_directories::SambaDomainController;
namespace kerberos = platform::kerberos;
namespace ldap = platform::ldap;
using Clock = std::chrono::steady_clock;

constexpr int kRepetitions = 5;
constexpr double kMinTimeSeconds = 1.0;
constexpr int kColdRounds = 7;
constexpr unsigned long kEmailCapacity = 256;
constexpr char kSipAttribute[] = "msRTCSIP-PrimaryUserAddress";

// The controller, its settings files and its sample users, made once.
struct World {
  std::unique_ptr<SambaDomainController> dc;
  std::string simple_settings;
  std::string kerberos_settings;
  std::vector<std::wstring> users;
  std::shared_ptr<const kerberos::ClientCredentials> credentials;

  World() {
    dc = SambaDomainController::Start();
    setenv("KRB5_CONFIG", dc->krb5_conf().c_str(), 1);
    const std::string servers =
        "[DirectoryAccess.DEFAULT]\nGlobalCatalogServers = \"" + dc->gc_host_name_port() + "\"\n";
    simple_settings = dc->work_dir() + "/simple.toml";
    userpolicy::local_directories::WritePrivateFile(
        simple_settings,
        servers + "BindDN = \"" + dc->service_dn() + "\"\nPasswordFile = \"" + dc->service_password_file() + "\"\n");
    kerberos_settings = dc->work_dir() + "/kerberos.toml";
    userpolicy::local_directories::WritePrivateFile(
        kerberos_settings, servers + "BindMethod = \"gssapi\"\nKeytabFile = \"" + dc->keytab_file() + "\"\n");
    for (const auto& entry : userpolicy::local_directories::ParseLdif(
             dc->Search(dc->test_ou(), std::string("(") + kSipAttribute + "=*)", {kSipAttribute}))) {
      for (const std::string& sip : entry.Get(kSipAttribute)) users.push_back(platform::Utf8ToWide(sip));
    }
    std::string problem;
    if (!kerberos::ClientCredentials::Acquire(dc->keytab_file(), dc->service_principal(), &credentials, &problem)) {
      throw std::runtime_error("no Kerberos credentials: " + problem);
    }
  }
};

World& TheWorld() {
  static World world;
  return world;
}

std::unique_ptr<ldap::Connection> Connect(benchmark::State& state) {
  ldap::ConnectOptions options;
  options.uri = "ldap://" + TheWorld().dc->gc_host_name_port();
  std::unique_ptr<ldap::Connection> connection;
  const ldap::Status status = ldap::Connection::Open(options, &connection);
  if (!status.ok()) state.SkipWithError(("connect: " + status.text).c_str());
  return connection;
}

void KerberosBind(benchmark::State& state, ldap::Connection& connection, const kerberos::ClientCredentials& with) {
  ldap::KerberosBindRequest request;
  request.credentials = &with;
  const ldap::Status status = connection.KerberosBind(request);
  if (!status.ok()) state.SkipWithError(("Kerberos bind: " + status.diagnostic).c_str());
}

void BM_SimpleBind(benchmark::State& state) {
  const World& world = TheWorld();
  const std::string password = userpolicy::local_directories::ReadFile(world.dc->service_password_file());
  for (auto _ : state) {
    std::unique_ptr<ldap::Connection> connection = Connect(state);
    if (connection == nullptr) break;
    const ldap::Status status = connection->SimpleBind(world.dc->service_dn(), password);
    if (!status.ok()) state.SkipWithError(("simple bind: " + status.text).c_str());
  }
}

void BM_KerberosCached(benchmark::State& state) {
  const World& world = TheWorld();
  for (auto _ : state) {
    std::unique_ptr<ldap::Connection> connection = Connect(state);
    if (connection == nullptr) break;
    KerberosBind(state, *connection, *world.credentials);
  }
}

void BM_KerberosNewTicket(benchmark::State& state) {
  const World& world = TheWorld();
  for (auto _ : state) {
    std::shared_ptr<const kerberos::ClientCredentials> fresh;
    std::string problem;
    if (!kerberos::ClientCredentials::Acquire(world.dc->keytab_file(), world.dc->service_principal(), &fresh,
                                              &problem)) {
      state.SkipWithError(("credentials: " + problem).c_str());
      break;
    }
    std::unique_ptr<ldap::Connection> connection = Connect(state);
    if (connection == nullptr) break;
    KerberosBind(state, *connection, *fresh);
  }
}

void Configure(benchmark::internal::Benchmark* benchmark) {
  benchmark->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->MinTime(kMinTimeSeconds)
      ->Repetitions(kRepetitions)
      ->ReportAggregatesOnly(true);
}

BENCHMARK(BM_SimpleBind)->Apply(Configure);
BENCHMARK(BM_KerberosCached)->Apply(Configure);
BENCHMARK(BM_KerberosNewTicket)->Apply(Configure);

// Keeps the median time per call of each benchmark besides printing as usual.
class MedianCollector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.aggregate_name == "median") medians_[run.run_name.function_name] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double Milliseconds(const std::string& function) const {
    const auto it = medians_.find(function);
    return it == medians_.end() ? -1 : it->second;
  }

 private:
  std::map<std::string, double> medians_;
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// One cold pass: the module started on `settings` with empty caches, every
// sample user's GUID list and e-mail address; milliseconds per user.
double ColdPass(const std::string& settings) {
  const World& world = TheWorld();
  setenv(kSettingsPathVariable, settings.c_str(), 1);
  const Clock::time_point start = Clock::now();
  if (IPC_SERVER_Init() != 0) throw std::runtime_error("IPC_SERVER_Init failed");
  for (const std::wstring& sip : world.users) {
    std::vector<_bstr_t> guids;
    if (!CPolicyFilterDSAccessHelper::GetUserIdentityAndMembershipGuids(sip.c_str(), guids) || guids.empty()) {
      throw std::runtime_error("no GUIDs for " + platform::WideToUtf8(sip) + " (" + settings + ")");
    }
    wchar_t email[kEmailCapacity];
    CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(sip.c_str(), email, kEmailCapacity);
  }
  const double elapsed = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  IPC_SERVER_Deinit();
  return elapsed / static_cast<double>(world.users.size());
}

struct ColdFigures {
  double pooled_simple = 0, pooled_kerberos = 0;
  double new_simple = 0, new_kerberos = 0;
};

ColdFigures MeasureCold() {
  const World& world = TheWorld();
  ColdFigures figures;
  std::vector<double> simple, kerberos;
  // Alternating: each switch of method drops the pools, so every pass
  // connects and binds (and gets Kerberos credentials) anew.
  ColdPass(world.simple_settings);
  for (int round = 0; round < kColdRounds; ++round) {
    kerberos.push_back(ColdPass(world.kerberos_settings));
    simple.push_back(ColdPass(world.simple_settings));
  }
  figures.new_simple = Median(simple);
  figures.new_kerberos = Median(kerberos);
  // Consecutive passes of one method keep the pooled connections.
  for (const auto& [settings, result] : {std::pair{world.simple_settings, &figures.pooled_simple},
                                         std::pair{world.kerberos_settings, &figures.pooled_kerberos}}) {
    ColdPass(settings);
    std::vector<double> passes;
    for (int round = 0; round < kColdRounds; ++round) passes.push_back(ColdPass(settings));
    *result = Median(passes);
  }
  return figures;
}

void PrintTable(const MedianCollector& binds, const ColdFigures& cold) {
  const World& world = TheWorld();
  std::printf("\nOn the Samba domain controller at %s (KDC on 127.0.0.1); medians, milliseconds.\n",
              world.dc->gc_host_name_port().c_str());
  const auto ratio = [](double kerberos, double simple) { return simple > 0 ? kerberos / simple : 0; };
  const double simple_bind = binds.Milliseconds("BM_SimpleBind");
  const double cached_bind = binds.Milliseconds("BM_KerberosCached");
  const double new_ticket_bind = binds.Milliseconds("BM_KerberosNewTicket");
  std::printf("%-46s %8s %10s %12s %22s\n", "", "simple", "Kerberos", "Kerberos,", "ratio Kerberos/simple");
  std::printf("%-46s %8s %10s %12s %22s\n", "", "", "cached", "new ticket", "cached, new ticket");
  std::printf("%-46s %8.2f %10.2f %12.2f %13.2f %8.2f\n", "connect and bind", simple_bind, cached_bind,
              new_ticket_bind, ratio(cached_bind, simple_bind), ratio(new_ticket_bind, simple_bind));
  std::printf("%-46s %8.2f %10.2f %12s %13.2f\n", "cold resolution per user, pooled connections",
              cold.pooled_simple, cold.pooled_kerberos, "", ratio(cold.pooled_kerberos, cold.pooled_simple));
  std::printf("%-46s %8.2f %10s %12.2f %13s %8.2f\n", "cold resolution per user, new connections", cold.new_simple,
              "", cold.new_kerberos, "", ratio(cold.new_kerberos, cold.new_simple));
  std::printf("(%zu sample users, GUID list and e-mail address each; %d rounds per figure)\n", world.users.size(),
              kColdRounds);
}

}  // namespace

int main(int argc, char** argv) {
  userpolicy::local_directories::RunUnderNssWrapper(argv, SambaDomainController::HostsLines());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TheWorld();  // the controller starts before anything is timed
  MedianCollector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const ColdFigures cold = MeasureCold();
  PrintTable(reporter, cold);
  benchmark::Shutdown();
  return 0;
}
