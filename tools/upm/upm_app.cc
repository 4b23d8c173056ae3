#include "tools/upm/upm_app.h"

#include "tools/upm/command_line.h"
#include "tools/upm/commands.h"
#include "tools/upm/exit_codes.h"
#include "tools/upm/userpolicy_library.h"

namespace upm {

int RunUpm(int argc, const char* const* argv, Console& console) {
  const ParsedCommandLine parsed = ParseCommandLine(argc, argv);
  if (!parsed.run) {
    (parsed.exit_code == kExitFound ? console.out : console.err) << parsed.text << std::flush;
    return parsed.exit_code;
  }
  const Options& options = parsed.options;
  switch (options.command) {
    case CommandName::kGuids:
    case CommandName::kEmail:
      return RunLookupCommand(options, console);
    case CommandName::kExplain:
      return RunExplainCommand(options, console);
    case CommandName::kObject:
      return RunObjectCommand(options, console);
    case CommandName::kPerf:
      return RunPerfCommand(options, console);
    case CommandName::kDiscover:
      return RunDiscoverCommand(options, console);
    case CommandName::kVersion:
      console.out << "upm " << LibraryVersion() << "\n";
      return kExitFound;
  }
  return kExitInternal;
}

}  // namespace upm
