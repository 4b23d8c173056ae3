// `upm discover`: how the library finds the Global Catalog
// (up_discover_with_options), step by step.
//
// Thread safety: Discover may be called from any thread.
#ifndef USERPOLICY_TOOLS_UPM_DISCOVERY_H_
#define USERPOLICY_TOOLS_UPM_DISCOVERY_H_

#include <optional>
#include <string>
#include <vector>

#include "tools/upm/lookup_answer.h"
#include "tools/upm/userpolicy_library.h"

namespace upm {

struct DiscoveryAnswer {
  Outcome outcome = Outcome::kFailed;  // kFound when a path was found
  std::optional<std::string> gc_path;
  std::vector<std::string> steps;  // one line each, also when none found one
  CallError error;                 // outcome == kFailed
};

// With the settings file and server of `options` for this discovery only.
DiscoveryAnswer DiscoverGlobalCatalog(const LibraryOptions& options);

}  // namespace upm

#endif  // USERPOLICY_TOOLS_UPM_DISCOVERY_H_
