// The demonstration: a host that embeds the library the way a policy filter
// does. It starts a private directory server with the sample directory,
// starts the module with IPC_SERVER_Init, resolves every sample user's GUID
// list and e-mail address twice (the first pass reads the directory, the
// second is answered from the caches), prints the performance counters the
// module publishes after each pass, and stops the module and the server.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "manager/user_policy_manager.h"
#include "module/module_entry.h"
#include "perf/ds_access_perf_object.h"
#include "perf/perf_reader.h"
#include "platform/com.h"
#include "platform/exception.h"
#include "platform/log.h"
#include "platform/utf8.h"
#include "resolve/policy_filter_ds_access_helper.h"
#include "resolve/proxy_address_ds_access_helper.h"
#include "local_directories/slapd_server.h"

namespace {

using userpolicy::local_directories::SlapdServer;

constexpr size_t kEmailCapacity = 256;
constexpr char kSipAttribute[] = "msRTCSIP-PrimaryUserAddress";

std::string Narrow(const wchar_t* text) { return platform::WideToUtf8(text != nullptr ? text : L""); }

// Writes the settings the module reads: the Global Catalog to use and how to
// bind to it. Returns the file's path.
std::string WriteSettings(const SlapdServer& server, const std::filesystem::path& dir) {
  const std::filesystem::path path = dir / "settings.toml";
  std::ofstream(path) << "[DirectoryAccess.DEFAULT]\n"
                      << "GlobalCatalogServers = \"" << server.host_port() << "\"\n"
                      << "BindDN = \"" << server.service_dn() << "\"\n"
                      << "PasswordFile = \"" << server.service_password_file() << "\"\n"
                      << "\n[QV_DSAccess.DEFAULT]\nUserIdentityCacheTimeout = 600\n";
  return path.string();
}

// The name of the object a GUID names, read through a manager of our own
// that binds objects by GUID.
std::string NameOf(CUserPolicyManager& by_guid, const wchar_t* guid) {
  try {
    bool fetched = false;
    CDSObjectInfo object = by_guid.GetDSObjectInfo(guid, fetched);
    CDSObjectProperty name = object.GetProperty(L"name");
    if (name.GetValueCount() > 0 && name.GetValue(0).vt == VT_BSTR) return Narrow(name.GetValue(0).bstrVal);
  } catch (const OS::CException& e) {
    return "(" + Narrow(e.GetErrorMsg().c_str()) + ")";
  }
  return "?";
}

void Resolve(const std::vector<std::string>& sip_addresses, bool show) {
  const wchar_t* name_attributes[] = {L"name"};
  CUserPolicyManager by_guid(kLookupBindGuid, name_attributes, 1, 3600, 1000);
  for (const std::string& sip : sip_addresses) {
    const std::wstring wide = platform::Utf8ToWide(sip);
    std::vector<_bstr_t> guids;
    const bool found = CPolicyFilterDSAccessHelper::GetUserIdentityAndMembershipGuids(wide.c_str(), guids);
    wchar_t email[kEmailCapacity] = {};
    const long hr = CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(wide.c_str(), email, kEmailCapacity);
    if (!show) continue;
    std::printf("\n%s\n", sip.c_str());
    std::printf("  e-mail: %s\n", SUCCEEDED(hr) ? Narrow(email).c_str() : "(none)");
    if (!found) std::printf("  (nothing found)\n");
    for (size_t i = 0; i < guids.size(); ++i) {
      const wchar_t* guid = static_cast<const wchar_t*>(guids[i]);
      const char* role = i == 0 ? "user" : i == 1 ? "primary group" : "group";
      std::printf("  %-32s %-13s %s\n", Narrow(guid).c_str(), role, NameOf(by_guid, guid).c_str());
    }
  }
}

void PrintCounters(const char* title) {
  perf::CounterSample sample;
  std::string error;
  std::printf("\n== counters after the %s pass\n", title);
  if (FAILED(perf::ReadCounters(static_cast<DWORD>(getpid()), CDSAccessPerfObject::kCategoryId, &sample, &error))) {
    std::printf("  (not available: %s)\n", error.c_str());
    return;
  }
  std::printf("%s", perf::FormatTable(sample).c_str());
}

}  // namespace

int main() {
  // The log shows warnings and failures unless USERPOLICY_LOG_LEVEL says otherwise.
  DBG::ConfigureFromEnvironment();

  std::printf("starting the sample directory (slapd on 127.0.0.1) ...\n");
  std::unique_ptr<SlapdServer> server;
  try {
    server = SlapdServer::Start();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cannot start the sample directory: %s\n", e.what());
    return 1;
  }
  std::printf("directory at %s, base %s\n", server->url().c_str(), server->base_dn().c_str());
  const std::string settings = WriteSettings(*server, server->work_dir());
  setenv("USERPOLICY_SETTINGS", settings.c_str(), 1);

  // The sample users, as the directory lists them, and one nobody knows.
  std::vector<std::string> sip_addresses;
  for (const auto& entry : userpolicy::local_directories::ParseLdif(
           server->Search(server->base_dn(), std::string("(") + kSipAttribute + "=*)", {kSipAttribute}))) {
    for (const std::string& value : entry.Get(kSipAttribute)) sip_addresses.push_back(value);
  }
  sip_addresses.push_back("sip:nobody@example.test");

  if (IPC_SERVER_Init() != 0) {
    std::fprintf(stderr, "IPC_SERVER_Init failed\n");
    return 1;
  }
  Resolve(sip_addresses, /*show=*/true);
  PrintCounters("cold");
  Resolve(sip_addresses, /*show=*/false);
  PrintCounters("warm");
  const int stopped = IPC_SERVER_Deinit();
  server.reset();
  std::printf("\nmodule stopped (%d), directory stopped\n", stopped);
  return stopped == 0 ? 0 : 1;
}
