// The directory a soak (testing/soak.h) runs against: a private slapd
// holding a generated directory (local_directories/directory_generator.h),
// reached through two fault proxies that the module's settings name as its
// Global Catalog servers, in that order, so that failover runs whenever the
// first misbehaves.
//
//   SoakScenario scenario({});
//   scenario.UseSettings(SoakScenario::Settings::kReference);
//   IPC_SERVER_Init(); reference = ResolveOneAtATime(scenario.sips()); IPC_SERVER_Deinit();
//   scenario.UseSettings(SoakScenario::Settings::kSoak);
//   IPC_SERVER_Init();
//   options.disturb = [&](std::mt19937_64& random) { scenario.InjectRandomFault(random); };
//   RunSoak(reference, options); scenario.Heal(); ...
//
// The settings file is the scenario's own; USERPOLICY_SETTINGS names it
// while the scenario lives.
//
// Thread safety: InjectRandomFault may run on one thread while others use
// the module; everything else belongs to the thread that made the scenario.
#ifndef USERPOLICY_TESTING_SOAK_SCENARIO_H_
#define USERPOLICY_TESTING_SOAK_SCENARIO_H_

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "local_directories/directory_generator.h"
#include "local_directories/fault_proxy.h"
#include "local_directories/slapd_server.h"

namespace userpolicy::testing {

class SoakScenario {
 public:
  struct Options {
    int users = 2000;  // the generated directory's users, "eleven" users included
    int groups = 400;
    // The module's operation time-out; the connect time-out is the same.
    int operation_timeout_ms = 500;
    bool share_failures_with_waiters = true;
  };

  enum class Settings {
    // Caches that hold the whole directory: for the reference pass.
    kReference,
    // Caches a few times smaller than the directory, whose entries expire
    // after a second or two, so that eviction, expiry and single flight
    // run all the time; failed servers are skipped for 0.1 s to 1 s.
    kSoak,
    // The library's own defaults for everything but the servers and the
    // account (time-outs, back-off, caches).
    kLibraryDefaults,
  };

  // Starts slapd (and loads the directory) and both proxies, passing.
  // Throws std::runtime_error when one of them cannot start.
  explicit SoakScenario(const Options& options);
  ~SoakScenario();
  SoakScenario(const SoakScenario&) = delete;
  SoakScenario& operator=(const SoakScenario&) = delete;

  // Writes the settings file for the next IPC_SERVER_Init.
  void UseSettings(Settings settings);

  // Every user's SIP address, in the generator's order.
  const std::vector<std::wstring>& sips() const { return sips_; }
  // The GUIDs the generator put behind sips()[index]: the user's, the
  // primary group's and every group's reached through memberOf, as the
  // module spells them.
  std::set<std::wstring> GeneratedGuids(size_t index) const;

  // Sets a random fault (or passing) on one of the proxies, or drops its
  // connections, and counts what it did.
  void InjectRandomFault(std::mt19937_64& random);
  // Sets `fault` on both proxies.
  void SetFaultEverywhere(const local_directories::FaultProxy::Fault& fault);
  // Both proxies pass again.
  void Heal() { SetFaultEverywhere({}); }
  // Connections the proxies hold open now.
  int OpenConnections() const;
  // What InjectRandomFault did and what the proxies saw ("stall 12, ..."
  // and the counters of each proxy).
  std::string DescribeFaults() const;

 private:
  Options options_;
  local_directories::GeneratedDirectory directory_;
  std::unique_ptr<local_directories::SlapdServer> server_;
  std::array<std::unique_ptr<local_directories::FaultProxy>, 2> proxies_;
  std::vector<std::wstring> sips_;
  std::string settings_path_;
  mutable std::mutex faults_mutex_;
  std::map<std::string, int> faults_injected_;  // guarded by faults_mutex_
};

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTING_SOAK_SCENARIO_H_
