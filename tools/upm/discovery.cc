#include "tools/upm/discovery.h"

namespace upm {

DiscoveryAnswer DiscoverGlobalCatalog(const LibraryOptions& options) {
  DiscoveryAnswer answer;
  const int status = Discover(options, &answer.gc_path, &answer.steps, &answer.error);
  answer.outcome = status == UP_OK && answer.gc_path.has_value() ? Outcome::kFound : Outcome::kFailed;
  if (answer.outcome == Outcome::kFailed && status == UP_OK) {
    answer.error = CallError{UP_DIRECTORY_ERROR, 0, "discovery found no Global Catalog"};
  }
  return answer;
}

}  // namespace upm
