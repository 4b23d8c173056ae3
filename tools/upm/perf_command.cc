// `upm perf`.
//
// upm reads the counters through the C interface (up_get_counters, the
// names from up_counter_info_at) and formats them itself
// (counters_format.h); without --pid it lists the processes that publish
// counters (up_list_counter_processes).
#include <chrono>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/upm/commands.h"
#include "tools/upm/counters_format.h"
#include "tools/upm/exit_codes.h"
#include "tools/upm/userpolicy_library.h"

namespace upm {
namespace {

// Without --pid: the processes that publish counters, one a line (or
// {"processes": [...]}); --watch and --prometheus need a process.
int ListProcesses(const Options& options, Console& console) {
  std::vector<int> pids;
  CallError error;
  if (const int status = ListCounterProcesses(&pids, &error); status != UP_OK) {
    console.err << "upm: " << error.message << "\n";
    return ExitCodeForStatus(status);
  }
  if (options.watch || options.prometheus) {
    console.err << "upm: " << (options.watch ? "--watch" : "--prometheus") << " needs --pid; processes that publish "
                << "counters:";
    for (int pid : pids) console.err << " " << pid;
    console.err << (pids.empty() ? " none\n" : "\n");
    return kExitUsage;
  }
  if (options.json) {
    console.out << nlohmann::json{{"processes", pids}}.dump() << "\n";
  } else {
    for (int pid : pids) console.out << pid << "\n";
  }
  if (pids.empty()) {
    console.err << "upm: no running process publishes counters\n";
    return kExitNotFound;
  }
  return kExitFound;
}

// Reads the counters of `pid`; the exit code (0 when read) after writing
// why not.
int Read(int pid, Console& console, up_counters* counters) {
  CallError error;
  const int status = GetCounters(pid, counters, &error);
  if (status == UP_OK) return kExitFound;
  console.err << "upm: " << error.message << "\n";
  return ExitCodeForStatus(status);
}

}  // namespace

int RunPerfCommand(const Options& options, Console& console) {
  if (options.pid == 0) return ListProcesses(options, console);
  const int pid = options.pid;

  using Clock = std::chrono::steady_clock;
  up_counters previous = {};
  Clock::time_point previous_time;
  const auto interval =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.interval_seconds));
  for (int shown = 0; shown == 0 || (options.watch && (options.count == 0 || shown < options.count)); ++shown) {
    if (shown > 0) std::this_thread::sleep_for(interval);
    up_counters current = {};
    if (const int code = Read(pid, console, &current); code != kExitFound) return code;
    const Clock::time_point now = Clock::now();
    const double seconds = shown == 0 ? 0 : std::chrono::duration<double>(now - previous_time).count();
    if (options.json) {
      console.out << CountersJson(pid, current, options.watch && shown > 0 ? &previous : nullptr, seconds) << "\n";
    } else if (options.prometheus) {
      console.out << FormatCounterPrometheus(pid, current);
    } else if (options.watch) {
      if (shown > 0) console.out << "\n";
      console.out << FormatCounterWatch(pid, previous, current, seconds);
    } else {
      console.out << FormatCounterTable(pid, current);
    }
    console.out.flush();
    previous = current;
    previous_time = now;
  }
  return kExitFound;
}

}  // namespace upm
