#include "capi/global_catalog_discovery.h"

#include <filesystem>
#include <system_error>

#include "capi/call_errors.h"
#include "capi/result_memory.h"
#include "platform/directory.h"
#include "platform/directory/directory_backend.h"
#include "platform/directory/directory_config.h"
#include "platform/directory/directory_error.h"
#include "platform/directory/directory_path.h"
#include "platform/directory/gc_discovery.h"
#include "platform/exception.h"
#include "platform/settings.h"
#include "platform/utf8.h"

namespace capi {
namespace {

constexpr unsigned long kPathLength = 260;
constexpr char kGcPrefix[] = "GC://";

std::string Joined(const std::vector<std::wstring>& servers) {
  std::string text;
  for (const std::wstring& server : servers) {
    if (!text.empty()) text += ", ";
    text += platform::WideToUtf8(server);
  }
  return text;
}

std::string SettingsStep() {
  const std::string path = CurrentSettingsPath();
  std::error_code ignored;
  if (!std::filesystem::exists(path, ignored)) return "settings file " + path + ": none; the defaults apply";
  std::string problem;
  if (!CheckSettingsFile(path, &problem)) return problem + "; the defaults apply";
  return "settings file " + path + ": read";
}

constexpr int kFirstSealingSsf = 2;

// How the library binds to the Global Catalog at `gc_path`, by binding.
std::string BindStep(const std::string& gc_path) {
  const std::wstring path = platform::Utf8ToWide(gc_path);
  try {
    const directory::BindReport report = directory::CurrentBackend().DescribeBind(directory::DirectoryPath::Parse(path));
    if (report.method.empty()) return "bind: not applicable";
    std::string step = "bind to " + platform::WideToUtf8(report.server) + ": " + platform::WideToUtf8(report.method);
    if (!report.identity.empty()) step += " as " + platform::WideToUtf8(report.identity);
    if (report.ssf == 0) return step + (report.method == L"anonymous" ? "" : ", no security layer");
    return step + ", security strength factor " + std::to_string(report.ssf) +
           (report.ssf >= kFirstSealingSsf ? " (sealed)" : " (signed)");
  } catch (const OS::CException& failure) {
    return "bind to " + gc_path + ": failed: " + platform::WideToUtf8(failure.GetErrorMsg().str());
  }
}

}  // namespace

DiscoveryReport DiscoverStepByStep() {
  DiscoveryReport report;
  report.steps.push_back(SettingsStep());
  const directory::DirectoryConfig config = directory::DirectoryConfig::Load();

  std::vector<std::wstring> servers;
  if (config.global_catalog_servers.empty()) {
    report.steps.push_back("configured Global Catalog servers: none");
  } else {
    directory::DirectoryConfig configured_only = config;
    configured_only.forest.clear();
    if (SUCCEEDED(directory::DiscoverGlobalCatalogServers(configured_only, &servers))) {
      report.steps.push_back("configured Global Catalog servers: " + Joined(servers));
    } else {
      report.steps.push_back("configured Global Catalog servers: none usable");
    }
  }

  if (!servers.empty()) {
    report.steps.push_back("DNS SRV: not asked (a configured server comes first)");
  } else if (config.forest.empty()) {
    report.steps.push_back("DNS SRV: no Forest configured");
  } else {
    const std::string name = "_gc._tcp." + platform::WideToUtf8(config.forest);
    directory::DirectoryConfig forest_only = config;
    forest_only.global_catalog_servers.clear();
    if (SUCCEEDED(directory::DiscoverGlobalCatalogServers(forest_only, &servers))) {
      report.steps.push_back("DNS SRV " + name + ": " + Joined(servers));
    } else {
      report.steps.push_back("DNS SRV " + name + ": no record");
    }
  }
  if (!servers.empty()) {
    report.steps.push_back("rootDSE: not asked (a server was found)");
    report.gc_path = kGcPrefix + platform::WideToUtf8(servers.front());
    report.steps.push_back(BindStep(report.gc_path));
    return report;
  }

  if (config.domain_controller.empty()) {
    report.steps.push_back("rootDSE: no DomainController configured");
    return report;
  }
  const std::string controller = platform::WideToUtf8(config.domain_controller);
  wchar_t path[kPathLength] = {};
  if (SUCCEEDED(CDirectoryHelper::GetGCFromRootDSE(path, kPathLength))) {
    report.gc_path = platform::WideToUtf8(path);
    report.steps.push_back("rootDSE of " + controller + ": " + report.gc_path);
    report.steps.push_back(BindStep(report.gc_path));
  } else {
    report.steps.push_back("rootDSE of " + controller + ": no ready Global Catalog (unreachable, or not one)");
  }
  return report;
}

int HandOutDiscovery(const DiscoveryReport& report, char** gc_path, up_string_list** steps) {
  StringListOwner lines = NewStringList(report.steps.size());
  for (size_t i = 0; i < report.steps.size(); ++i) lines->items[i] = CopyString(report.steps[i]);
  StringOwner path(report.gc_path.empty() ? nullptr : CopyString(report.gc_path));
  *steps = lines.release();
  *gc_path = path.release();
  if (report.gc_path.empty()) {
    std::string summary = "no Global Catalog found:";
    for (const std::string& step : report.steps) summary += " " + step + ";";
    throw CallError(UP_DIRECTORY_ERROR, kDirectoryNoServer, summary);
  }
  return UP_OK;
}

}  // namespace capi

int up_discover(char** gc_path, up_string_list** steps, up_error** error) {
  if (gc_path != nullptr) *gc_path = nullptr;
  if (steps != nullptr) *steps = nullptr;
  return capi::RunCall("up_discover", [] { return std::string(); }, error, [&]() -> int {
    if (gc_path == nullptr || steps == nullptr) {
      throw capi::CallError(UP_INVALID_ARGUMENT, 0, "gc_path and steps must not be null");
    }
    return capi::HandOutDiscovery(capi::DiscoverStepByStep(), gc_path, steps);
  });
}
