// `upm object`.
#include <memory>

#include "tools/upm/answer_writer.h"
#include "tools/upm/commands.h"
#include "tools/upm/exit_codes.h"
#include "tools/upm/library_start.h"
#include "tools/upm/object_lookup.h"

namespace upm {

int RunObjectCommand(const Options& options, Console& console) {
  ObjectQuery query;
  std::string problem;
  if (!ParseObjectQuery(options.as, options.key, &query, &problem)) {
    console.err << "upm: " << problem << "\n";
    return kExitUsage;
  }
  // The path manager binds through the library's servers, so a path naming
  // a server is read by starting the library with that server.
  if (!query.server.empty() && !options.server.empty() && query.server != options.server) {
    console.err << "upm: path \"" << query.key << "\" names server " << query.server << ", --server names "
                << options.server << "\n";
    return kExitUsage;
  }
  LibrarySession session;
  if (const int code = StartLibraryFor(options, query.server, console, &session); code != kExitFound) return code;
  const ObjectAnswer answer = LookUpObject(query);
  if (options.json) {
    MakeJsonWriter(console.out, console.err)->Object(answer);
  } else {
    MakeTextWriter(console.out, console.err)->Object(answer);
  }
  switch (answer.outcome) {
    case Outcome::kFound:
      return kExitFound;
    case Outcome::kNotFound:
      return kExitNotFound;
    case Outcome::kFailed:
      break;
  }
  return ExitCodeForStatus(answer.error.status);
}

}  // namespace upm
