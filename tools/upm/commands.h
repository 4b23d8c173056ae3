// upm's commands. Each runs one parsed command line against the library,
// writes to the console and returns the exit code (exit_codes.h).
//
// Thread safety: one command at a time per process (each starts and stops
// the library).
#ifndef USERPOLICY_TOOLS_UPM_COMMANDS_H_
#define USERPOLICY_TOOLS_UPM_COMMANDS_H_

#include "tools/upm/command_line.h"
#include "tools/upm/console.h"

namespace upm {

// guids and email: every address of the command line, then of --file, in
// that order, on --threads threads; a summary after a --file batch.
int RunLookupCommand(const Options& options, Console& console);  // lookup_command.cc
int RunExplainCommand(const Options& options, Console& console);
int RunObjectCommand(const Options& options, Console& console);
int RunPerfCommand(const Options& options, Console& console);
int RunDiscoverCommand(const Options& options, Console& console);

}  // namespace upm

#endif  // USERPOLICY_TOOLS_UPM_COMMANDS_H_
