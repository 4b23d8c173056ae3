// `upm explain`.
#include <memory>

#include "tools/upm/answer_writer.h"
#include "tools/upm/commands.h"
#include "tools/upm/exit_codes.h"
#include "tools/upm/explain_dot.h"
#include "tools/upm/explain_walk.h"
#include "tools/upm/library_start.h"

namespace upm {

int RunExplainCommand(const Options& options, Console& console) {
  LibrarySession session;
  if (const int code = StartLibraryFor(options, "", console, &session); code != kExitFound) return code;
  const ExplainResult result = Explain(options.sips.front());
  if (options.dot) {
    console.out << ExplainToDot(result) << std::flush;
    if (result.outcome == Outcome::kFailed) console.err << "upm: " << result.error.message << "\n";
  } else if (options.json) {
    MakeJsonWriter(console.out, console.err)->Explain(result);
  } else {
    MakeTextWriter(console.out, console.err)->Explain(result);
  }
  return result.exit_code;
}

}  // namespace upm
