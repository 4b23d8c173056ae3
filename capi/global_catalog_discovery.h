// How the Global Catalog is found, step by step, in words: what up_discover
// hands out and what up_start says when it finds none.
//
// The steps are those of the module's start: the settings file, the
// configured Global Catalog servers (or the server up_start was given in
// their place), else the DNS SRV records of the configured forest, else the
// rootDSE of the configured domain controller. Each step is one line; a
// step that the module would not take because an earlier one found a
// server says so.
//
// Thread safety: may be called from any thread, started or not.
#ifndef USERPOLICY_CAPI_GLOBAL_CATALOG_DISCOVERY_H_
#define USERPOLICY_CAPI_GLOBAL_CATALOG_DISCOVERY_H_

#include <string>
#include <vector>

#include "capi/userpolicy.h"

namespace capi {

struct DiscoveryReport {
  std::string gc_path;             // "GC://host:port"; empty when no step found one
  std::vector<std::string> steps;  // one line each, UTF-8
};

// Runs the steps. May read the network: DNS (when a forest is configured
// and no server is) and the domain controller's rootDSE (when one is
// configured and nothing else found a server).
DiscoveryReport DiscoverStepByStep();

// Hands `report` out as up_discover does: the steps and the path (null
// when none) into the caller's out-parameters, then raises CallError
// UP_DIRECTORY_ERROR (-92008) summing up the steps when no step found a
// path. Returns UP_OK otherwise.
int HandOutDiscovery(const DiscoveryReport& report, char** gc_path, up_string_list** steps);

}  // namespace capi

#endif  // USERPOLICY_CAPI_GLOBAL_CATALOG_DISCOVERY_H_
