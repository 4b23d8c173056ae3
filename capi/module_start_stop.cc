// up_start and up_stop: the module's start and stop (IPC_SERVER_Init and
// IPC_SERVER_Deinit) with the options applied around them, and the call
// gate opened after the start and closed before the stop.
#include <string>
#include <vector>

#include "capi/call_errors.h"
#include "capi/call_gate.h"
#include "capi/global_catalog_discovery.h"
#include "capi/start_options.h"
#include "capi/userpolicy.h"
#include "manager/global_catalog_path.h"
#include "module/module_entry.h"
#include "platform/directory/directory_config.h"
#include "platform/directory/directory_error.h"
#include "platform/log.h"
#include "platform/settings.h"
#include "platform/sync.h"
#include "platform/utf8.h"

namespace capi {
namespace {

// Start and stop run one at a time.
platform::Mutex& LifecycleMutex() {
  static platform::Mutex mu;
  return mu;
}

// Back to the settings file, servers and bind the environment names.
void ClearOverrides() {
  SetSettingsPathOverride("");
  directory::OverrideGlobalCatalogServers({}, nullptr);
  directory::OverrideBindSettings({});
}

// Undoes the overrides unless the start got through.
class OverridesUntilStarted {
 public:
  OverridesUntilStarted() = default;
  ~OverridesUntilStarted() {
    if (!started_) ClearOverrides();
  }
  OverridesUntilStarted(const OverridesUntilStarted&) = delete;
  OverridesUntilStarted& operator=(const OverridesUntilStarted&) = delete;
  void Started() { started_ = true; }

 private:
  bool started_ = false;
};

void ApplyLogOptions(const StartOptions& options, const DBG::LogOptions& previous) {
  if (!options.change_log) return;
  if (!DBG::Configure(options.log)) {
    DBG::Configure(previous);
    throw CallError(UP_CONFIG_ERROR, 0, "log_file \"" + options.log.file_path + "\" cannot be opened");
  }
}

void Start(const up_options* options, const up_bind_options* bind) {
  platform::MutexLock lock(&LifecycleMutex());
  if (ModuleGate().is_open()) {
    throw CallError(UP_INVALID_ARGUMENT, 0, "the module is started already; up_stop it first");
  }
  const DBG::LogOptions previous_log = DBG::GetOptions();
  const StartOptions checked = CheckStartOptions(options, previous_log);
  const directory::BindOverride checked_bind = CheckBindOptions(bind);
  ApplyLogOptions(checked, previous_log);

  OverridesUntilStarted overrides;
  SetSettingsPathOverride(checked.settings_file);
  std::vector<std::wstring> servers;
  if (!checked.server.empty()) servers.push_back(checked.server);
  directory::OverrideGlobalCatalogServers(servers, nullptr);
  directory::OverrideBindSettings(checked_bind);
  // Bind settings that cannot be used would otherwise show only as a failed
  // discovery: say which key is wrong instead.
  std::wstring bind_problem;
  if (!directory::CheckBindSettings(directory::DirectoryConfig::Load(), nullptr, &bind_problem)) {
    throw CallError(UP_CONFIG_ERROR, kDirectoryConfigError, platform::WideToUtf8(bind_problem));
  }

  if (IPC_SERVER_Init() != 0) {
    IPC_SERVER_Deinit();
    throw CallError(UP_INTERNAL_ERROR, 0, "IPC_SERVER_Init failed; the log says why");
  }
  if (g_wszGlobalCatalogPath[0] == L'\0') {
    IPC_SERVER_Deinit();
    std::string summary = "no Global Catalog found:";
    for (const std::string& step : DiscoverStepByStep().steps) summary += " " + step + ";";
    throw CallError(UP_DIRECTORY_ERROR, kDirectoryNoServer, summary);
  }
  overrides.Started();
  ModuleGate().Open();
}

void Stop() {
  platform::MutexLock lock(&LifecycleMutex());
  if (!ModuleGate().is_open()) throw CallError(UP_NOT_STARTED, 0, "the module is not started");
  ModuleGate().CloseAndDrain();
  const int result = IPC_SERVER_Deinit();
  ClearOverrides();
  if (result != 0) throw CallError(UP_INTERNAL_ERROR, 0, "IPC_SERVER_Deinit failed; the log says why");
}

}  // namespace
}  // namespace capi

int up_start(const up_options* options, up_error** error) {
  return capi::RunCall("up_start", [&] { return capi::DescribeStartOptions(options); }, error, [&]() -> int {
    capi::Start(options, nullptr);
    return UP_OK;
  });
}

int up_start_with_bind(const up_options* options, const up_bind_options* bind, up_error** error) {
  const auto describe = [&] {
    const std::string start = capi::DescribeStartOptions(options);
    const std::string binding = capi::DescribeBindOptions(bind);
    return start.empty() || binding.empty() ? start + binding : start + ", " + binding;
  };
  return capi::RunCall("up_start_with_bind", describe, error, [&]() -> int {
    capi::Start(options, bind);
    return UP_OK;
  });
}

int up_stop(up_error** error) {
  return capi::RunCall("up_stop", [] { return std::string(); }, error, []() -> int {
    capi::Stop();
    return UP_OK;
  });
}
