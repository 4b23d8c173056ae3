// A host of the installed library, built through find_package(userpolicy):
// starts the module, prints the GUID list of each SIP address given on the
// command line, stops the module.
//
//   guid_host SIP_ADDRESS...
//
// One output line per address: "<address> <result> <guid> <guid> ...", the
// result 1 or 0 as GetUserIdentityAndMembershipGuids returned true or false.
// Exit status 0, or 1 when the module did not start or stop cleanly.
#include <cstdio>
#include <vector>

#include "module/module_entry.h"
#include "resolve/policy_filter_ds_access_helper.h"

int main(int argc, char** argv) {
  if (IPC_SERVER_Init() != 0) {
    std::fprintf(stderr, "IPC_SERVER_Init failed\n");
    return 1;
  }
  for (int i = 1; i < argc; ++i) {
    const _bstr_t sip_address(argv[i]);
    std::vector<_bstr_t> guids;
    const bool found = CPolicyFilterDSAccessHelper::GetUserIdentityAndMembershipGuids(sip_address, guids);
    // The host's own copies share the library's strings and outlive the list.
    const std::vector<_bstr_t> kept = guids;
    guids.clear();
    std::printf("%s %d", argv[i], found ? 1 : 0);
    for (const _bstr_t& guid : kept) std::printf(" %s", static_cast<const char*>(guid));
    std::printf("\n");
  }
  if (IPC_SERVER_Deinit() != 0) {
    std::fprintf(stderr, "IPC_SERVER_Deinit failed\n");
    return 1;
  }
  return 0;
}
