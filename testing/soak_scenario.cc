#include "testing/soak_scenario.h"

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>

#include "platform/hex.h"
#include "platform/settings.h"
#include "platform/utf8.h"

namespace userpolicy::testing {
namespace {

using local_directories::FaultProxy;
using Mode = FaultProxy::Mode;

// Loading a generated directory of a few thousand entries (and their member
// values) takes a while on a busy machine with a sanitizer.
constexpr std::chrono::seconds kSlapdStartTimeout{300};

std::wstring GuidText(const std::array<uint8_t, 16>& guid) {
  std::wstring text;
  for (uint8_t byte : guid) platform::AppendLowerHexByte(&text, byte);
  return text;
}

struct FaultChoice {
  const char* name;
  int weight;
};

// Passing is the most likely choice, so that a proxy heals often and the
// soak sees answers as well as failures.
constexpr FaultChoice kFaultChoices[] = {
    {"pass", 50},  {"delay", 8},      {"stall", 8},       {"refuse", 8},           {"not listening", 8},
    {"reset", 8},  {"cut", 8},        {"undecodable", 8}, {"drop (orderly)", 6}, {"drop (reset)", 6},
};

}  // namespace

SoakScenario::SoakScenario(const Options& options) : options_(options) {
  local_directories::GeneratorOptions generator;
  generator.user_count = options.users;
  generator.group_count = options.groups;
  directory_ = local_directories::GenerateDirectory(generator);
  local_directories::SlapdOptions slapd;
  slapd.ldif_files.clear();
  slapd.ldif_writers.push_back(
      [this, generator](std::ostream& out) { local_directories::WriteLdif(out, directory_, generator); });
  slapd.start_timeout = kSlapdStartTimeout;
  server_ = local_directories::SlapdServer::Start(slapd);
  for (auto& proxy : proxies_) proxy = FaultProxy::Start(server_->host_port());
  for (const local_directories::GeneratedUser& user : directory_.users) {
    sips_.push_back(platform::Utf8ToWide(user.sip_address));
  }
  settings_path_ = server_->work_dir() + "/soak-settings.toml";
  UseSettings(Settings::kReference);
  setenv(kSettingsPathVariable, settings_path_.c_str(), 1);
}

SoakScenario::~SoakScenario() {
  unsetenv(kSettingsPathVariable);
  for (auto& proxy : proxies_) proxy.reset();
  server_.reset();
}

void SoakScenario::UseSettings(Settings settings) {
  const std::string timeout = std::to_string(options_.operation_timeout_ms);
  std::string toml = "[DirectoryAccess.DEFAULT]\nGlobalCatalogServers = \"" + proxies_[0]->host_port() + ", " +
                     proxies_[1]->host_port() + "\"\nBindDN = \"" + server_->service_dn() +
                     "\"\nPasswordFile = \"" + server_->service_password_file() + "\"\n";
  if (settings == Settings::kLibraryDefaults) {
    local_directories::WritePrivateFile(settings_path_, toml);
    return;
  }
  toml += "ConnectTimeoutMs = " + timeout + "\nOperationTimeoutMs = " + timeout +
          "\nPoolSize = 4\nFailureBackoffMs = 100\nMaxFailureBackoffMs = 1000\n\n[QV_DSAccess.DEFAULT]\n";
  if (settings == Settings::kReference) {
    const std::string all = std::to_string(2 * (options_.users + options_.groups));
    toml += "UserIdentityCacheMaximum = " + all + "\nNestedGroupCacheMaximum = " + all + "\n";
  } else {
    toml += "UserIdentityCacheTimeout = 2\nUserIdentityCacheMaximum = " + std::to_string(options_.users / 8) +
            "\nPrimaryGroupCacheTimeout = 1\nNestedGroupCacheTimeout = 1\nNestedGroupCacheMaximum = " +
            std::to_string(options_.groups / 4) + "\n";
  }
  toml += std::string("ShareFetchFailuresWithWaiters = ") +
          (options_.share_failures_with_waiters ? "true" : "false") + "\n";
  local_directories::WritePrivateFile(settings_path_, toml);
}

std::set<std::wstring> SoakScenario::GeneratedGuids(size_t index) const {
  std::set<std::wstring> guids = {GuidText(directory_.users.at(index).guid),
                                  GuidText(directory_.groups.at(directory_.domain_users).guid)};
  for (int group : local_directories::TransitiveGroups(directory_, static_cast<int>(index))) {
    guids.insert(GuidText(directory_.groups.at(group).guid));
  }
  return guids;
}

void SoakScenario::InjectRandomFault(std::mt19937_64& random) {
  int total = 0;
  for (const FaultChoice& choice : kFaultChoices) total += choice.weight;
  int pick = std::uniform_int_distribution<int>(0, total - 1)(random);
  const FaultChoice* chosen = &kFaultChoices[0];
  for (const FaultChoice& choice : kFaultChoices) {
    if (pick < choice.weight) {
      chosen = &choice;
      break;
    }
    pick -= choice.weight;
  }
  FaultProxy& proxy = *proxies_[random() % proxies_.size()];
  const std::string name = chosen->name;
  FaultProxy::Fault fault;
  if (name == "delay") {
    fault = {Mode::kDelay, std::chrono::microseconds(std::uniform_int_distribution<int>(200, 3000)(random))};
  } else if (name == "stall") {
    fault.mode = Mode::kStall;
  } else if (name == "refuse") {
    fault.mode = Mode::kRefuse;
  } else if (name == "not listening") {
    fault.mode = Mode::kNotListening;
  } else if (name == "reset" || name == "cut") {
    fault.mode = name == "reset" ? Mode::kResetMidResponse : Mode::kCutResponse;
    fault.pass_messages = std::uniform_int_distribution<int>(1, 4)(random);
  } else if (name == "undecodable") {
    fault.mode = Mode::kUndecodable;
  }
  std::string outcome = name;
  try {
    if (name == "drop (orderly)" || name == "drop (reset)") {
      proxy.DropConnections(name == "drop (orderly)" ? FaultProxy::Close::kOrderly : FaultProxy::Close::kReset);
    } else {
      proxy.SetFault(fault);
    }
  } catch (const std::runtime_error&) {
    outcome += " (could not listen again)";  // the port was taken meanwhile; the proxy stays closed
  }
  std::lock_guard<std::mutex> lock(faults_mutex_);
  ++faults_injected_[outcome];
}

void SoakScenario::SetFaultEverywhere(const FaultProxy::Fault& fault) {
  for (auto& proxy : proxies_) proxy->SetFault(fault);
}

int SoakScenario::OpenConnections() const {
  int open = 0;
  for (const auto& proxy : proxies_) open += proxy->counters().open;
  return open;
}

std::string SoakScenario::DescribeFaults() const {
  std::string text = "faults injected:";
  {
    std::lock_guard<std::mutex> lock(faults_mutex_);
    for (const auto& [name, count] : faults_injected_) text += " " + name + " " + std::to_string(count) + ",";
  }
  if (text.back() == ',') text.pop_back();
  for (size_t i = 0; i < proxies_.size(); ++i) {
    const FaultProxy::Counters counters = proxies_[i]->counters();
    text += "\nproxy " + std::to_string(i + 1) + ": " + std::to_string(counters.accepted) + " connections (" +
            std::to_string(counters.refused) + " refused, " + std::to_string(counters.dropped) + " dropped), " +
            std::to_string(counters.resets) + " responses reset, " + std::to_string(counters.cuts) + " cut, " +
            std::to_string(counters.undecodable_answers) + " undecodable answers";
  }
  return text;
}

}  // namespace userpolicy::testing
