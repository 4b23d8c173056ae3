// `upm perf`.
//
// upm reads the counters through the C interface (up_get_counters) and
// formats them itself (counters_format.h): it links the shared library
// alone, whose exports are the C interface and the module's C++ classes,
// not the internal counter reader.
#include <chrono>
#include <thread>

#include "tools/upm/commands.h"
#include "tools/upm/counter_publishers.h"
#include "tools/upm/counters_format.h"
#include "tools/upm/exit_codes.h"
#include "tools/upm/userpolicy_library.h"

namespace upm {
namespace {

// The process to read: --pid, or the only running one that publishes
// counters; 0 after writing why there is none.
int ChooseProcess(const Options& options, Console& console, int* exit_code) {
  if (options.pid != 0) return options.pid;
  const std::vector<int> pids = LiveCounterPublishers();
  if (pids.size() == 1) return pids.front();
  if (pids.empty()) {
    console.err << "upm: no running process publishes counters\n";
    *exit_code = kExitNotFound;
  } else {
    console.err << "upm: several processes publish counters; choose one with --pid:";
    for (int pid : pids) console.err << " " << pid;
    console.err << "\n";
    *exit_code = kExitUsage;
  }
  return 0;
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
  int exit_code = kExitFound;
  const int pid = ChooseProcess(options, console, &exit_code);
  if (pid == 0) return exit_code;

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
