// The `upm perf` command: shows the performance counters a running process
// publishes.
//
//   upm perf [--pid N] [--watch [--interval S] [--count N]] [--prometheus]
//   upm perf --list
//   upm perf --cleanup
//
//   --pid N       the process to read; without it, the only process that
//                 publishes counters (it is an error when there are several)
//   --watch       print the counters every --interval seconds (default 1)
//                 with their change per second, --count times (default 0:
//                 until interrupted)
//   --prometheus  print once in the Prometheus text exposition format
//   --list        list the processes that publish counters ("stale" marks
//                 those that are gone)
//   --cleanup     remove the counter segments of processes that are gone
//
// Thread safety: may be called from any thread; it blocks while watching.
#ifndef USERPOLICY_PERF_PERF_COMMAND_H_
#define USERPOLICY_PERF_PERF_COMMAND_H_

#include <ostream>

namespace perf {

// Exit codes of RunPerfCommand.
inline constexpr int kCommandOk = 0;
inline constexpr int kCommandFailed = 1;  // the counters could not be read
inline constexpr int kCommandUsage = 2;   // bad options

// Runs the command; argv[0] names it (for the help text), the rest are its
// options. Writes everything, errors included, to `out` and returns one of
// the exit codes above (kCommandOk for --help).
int RunPerfCommand(int argc, char** argv, std::ostream& out);

}  // namespace perf

#endif  // USERPOLICY_PERF_PERF_COMMAND_H_
