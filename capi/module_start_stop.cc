// up_start, up_start_with_bind and up_stop: the module's start and stop
// (IPC_SERVER_Init and IPC_SERVER_Deinit) with the options applied around
// them, and the call gate opened after the start and closed before the
// stop; and up_discover_with_options and up_discover_with_bind, which apply
// the same options around one discovery and so must not overlap a start or
// stop.
#include <string>
#include <vector>

#include "capi/call_errors.h"
#include "capi/call_gate.h"
#include "capi/global_catalog_discovery.h"
#include "capi/object_managers.h"
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

// Raises UP_CONFIG_ERROR naming the file, with the log unchanged, when the
// log file cannot be opened.
void ApplyLogOptions(const StartOptions& options) {
  if (!options.change_log) return;
  std::string problem;
  if (!DBG::Configure(options.log, &problem)) throw CallError(UP_CONFIG_ERROR, 0, problem);
}

// Whether `bind` replaces anything of the settings file.
bool Overrides(const directory::BindOverride& bind) {
  return bind.method.has_value() || !bind.keytab_file.empty() || !bind.principal.empty();
}

// Sets the settings file, server and bind overrides of `options` and `bind`.
void SetOverrides(const StartOptions& options, const directory::BindOverride& bind) {
  SetSettingsPathOverride(options.settings_file);
  std::vector<std::wstring> servers;
  if (!options.server.empty()) servers.push_back(options.server);
  directory::OverrideGlobalCatalogServers(servers, nullptr);
  directory::OverrideBindSettings(bind);
}

void Start(const up_options* options, const up_bind_options* bind) {
  platform::MutexLock lock(&LifecycleMutex());
  if (ModuleGate().is_open()) {
    throw CallError(UP_INVALID_ARGUMENT, 0, "the module is started already; up_stop it first");
  }
  const StartOptions checked = CheckStartOptions(options, DBG::GetOptions());
  const directory::BindOverride checked_bind = CheckBindOptions(bind);
  ApplyLogOptions(checked);

  OverridesUntilStarted overrides;
  SetOverrides(checked, checked_bind);
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
  ReleaseObjectManagers();
  const int result = IPC_SERVER_Deinit();
  ClearOverrides();
  if (result != 0) throw CallError(UP_INTERNAL_ERROR, 0, "IPC_SERVER_Deinit failed; the log says why");
}

DiscoveryReport DiscoverWith(const up_options* options, const up_bind_options* bind) {
  platform::MutexLock lock(&LifecycleMutex());
  const StartOptions checked = CheckStartOptions(options, DBG::GetOptions());
  const directory::BindOverride checked_bind = CheckBindOptions(bind);
  const bool overrides = !checked.settings_file.empty() || !checked.server.empty() || Overrides(checked_bind);
  if (overrides && ModuleGate().is_open()) {
    throw CallError(UP_INVALID_ARGUMENT, 0,
                    "the module is started: its settings file, servers and bind apply (up_stop it first)");
  }
  ApplyLogOptions(checked);
  if (!overrides) return DiscoverStepByStep();
  OverridesUntilStarted cleared_at_end;
  SetOverrides(checked, checked_bind);
  return DiscoverStepByStep();
}

// "settings_file=..., method=..." of both kinds of options.
std::string DescribeOptions(const up_options* options, const up_bind_options* bind) {
  const std::string start = DescribeStartOptions(options);
  const std::string binding = DescribeBindOptions(bind);
  return start.empty() || binding.empty() ? start + binding : start + ", " + binding;
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
  return capi::RunCall("up_start_with_bind", [&] { return capi::DescribeOptions(options, bind); }, error,
                       [&]() -> int {
                         capi::Start(options, bind);
                         return UP_OK;
                       });
}

int up_discover_with_options(const up_options* options, char** gc_path, up_string_list** steps, up_error** error) {
  if (gc_path != nullptr) *gc_path = nullptr;
  if (steps != nullptr) *steps = nullptr;
  return capi::RunCall("up_discover_with_options", [&] { return capi::DescribeStartOptions(options); }, error,
                       [&]() -> int {
                         if (gc_path == nullptr || steps == nullptr) {
                           throw capi::CallError(UP_INVALID_ARGUMENT, 0, "gc_path and steps must not be null");
                         }
                         return capi::HandOutDiscovery(capi::DiscoverWith(options, nullptr), gc_path, steps);
                       });
}

int up_discover_with_bind(const up_options* options, const up_bind_options* bind, char** gc_path,
                          up_string_list** steps, up_error** error) {
  if (gc_path != nullptr) *gc_path = nullptr;
  if (steps != nullptr) *steps = nullptr;
  return capi::RunCall("up_discover_with_bind", [&] { return capi::DescribeOptions(options, bind); }, error,
                       [&]() -> int {
                         if (gc_path == nullptr || steps == nullptr) {
                           throw capi::CallError(UP_INVALID_ARGUMENT, 0, "gc_path and steps must not be null");
                         }
                         return capi::HandOutDiscovery(capi::DiscoverWith(options, bind), gc_path, steps);
                       });
}

int up_stop(up_error** error) {
  return capi::RunCall("up_stop", [] { return std::string(); }, error, []() -> int {
    capi::Stop();
    return UP_OK;
  });
}
