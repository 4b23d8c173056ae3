#include "tests/support/module_answers.h"

#include <cstdint>

#include "capi/userpolicy.h"
#include "module/module_entry.h"
#include "resolve/policy_filter_ds_access_helper.h"
#include "resolve/proxy_address_ds_access_helper.h"

namespace userpolicy::testing {
namespace {

// Room for any e-mail address of the sample directories.
constexpr unsigned long kEmailCapacity = 512;

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// ASCII text (GUIDs, e-mail addresses) narrowed unit by unit; anything
// else shows as '?', which no expected answer contains.
std::string Narrow(const wchar_t* text) {
  std::string narrow;
  for (; text != nullptr && *text != L'\0'; ++text) narrow.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
  return narrow;
}

void AddCount(std::vector<std::string>* lines, const char* name, uint32_t count) {
  lines->push_back(std::string("counter ") + name + " " + std::to_string(count));
}

void Resolve(const std::string& sip, std::vector<std::string>* lines) {
  const std::wstring wide = Widen(sip);
  std::vector<_bstr_t> guids;
  CPolicyFilterDSAccessHelper::GetUserIdentityAndMembershipGuids(wide.c_str(), guids);
  std::string line = "guids " + sip;
  for (const _bstr_t& guid : guids) line += " " + Narrow(static_cast<const wchar_t*>(guid));
  lines->push_back(line);
  wchar_t email[kEmailCapacity] = L"";
  const long hr = CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(wide.c_str(), email, kEmailCapacity);
  lines->push_back("email " + sip + (hr == 0 ? " <" + Narrow(email) + ">" : " -"));
}

}  // namespace

std::vector<std::string> ModuleAnswers(const std::vector<std::string>& sips, int own_pid,
                                       const std::function<void(std::vector<std::string>*)>& while_started) {
  std::vector<std::string> lines;
  const int started = IPC_SERVER_Init();
  lines.push_back("start " + std::to_string(started));
  if (started != 0) return lines;
  for (int pass = 0; pass < 2; ++pass) {
    for (const std::string& sip : sips) Resolve(sip, &lines);
  }
  up_counters counters{};
  up_error* error = nullptr;
  const int status = up_get_counters(own_pid, &counters, &error);
  if (status != UP_OK) {
    lines.push_back(std::string("counters ") + up_status_name(status) + " " + (error != nullptr ? error->message : ""));
    up_free_error(error);
  } else {
    AddCount(&lines, "total_ds_access", counters.total_ds_access);
    AddCount(&lines, "total_cache_access", counters.total_cache_access);
    AddCount(&lines, "user_ds_access", counters.user_ds_access);
    AddCount(&lines, "user_cache_access", counters.user_cache_access);
    AddCount(&lines, "pgroup_ds_access", counters.pgroup_ds_access);
    AddCount(&lines, "pgroup_cache_access", counters.pgroup_cache_access);
    AddCount(&lines, "ngroup_ds_access", counters.ngroup_ds_access);
    AddCount(&lines, "ngroup_cache_access", counters.ngroup_cache_access);
  }
  if (while_started) while_started(&lines);
  lines.push_back("stop " + std::to_string(IPC_SERVER_Deinit()));
  return lines;
}

}  // namespace userpolicy::testing
