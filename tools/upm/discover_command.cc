// `upm discover`.
//
// up_discover_with_options needs no up_start (which fails when no Global
// Catalog is found: the very case discover is for) and takes --config and
// --server for this discovery only, and --log-level and --log-file as
// up_start does; with --bind, --keytab or --principal, up_discover_with_bind
// takes those too, and the discovery shows the bind they make (method,
// identity, security strength factor).
#include <memory>

#include "tools/upm/answer_writer.h"
#include "tools/upm/commands.h"
#include "tools/upm/discovery.h"
#include "tools/upm/exit_codes.h"
#include "tools/upm/library_start.h"

namespace upm {

int RunDiscoverCommand(const Options& options, Console& console) {
  if (const int code = CheckOptionFiles(options, console); code != kExitFound) return code;
  const DiscoveryAnswer answer = DiscoverGlobalCatalog(LibraryOptionsFor(options));
  if (options.json) {
    MakeJsonWriter(console.out, console.err)->Discovery(answer);
  } else {
    MakeTextWriter(console.out, console.err)->Discovery(answer);
  }
  return answer.outcome == Outcome::kFound ? kExitFound : ExitCodeForStatus(answer.error.status);
}

}  // namespace upm
