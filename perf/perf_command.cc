#include "perf/perf_command.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "perf/ds_access_perf_object.h"
#include "perf/perf_reader.h"
#include "platform/shared_memory.h"

namespace perf {
namespace {

struct CommandOptions {
  DWORD pid = 0;
  bool watch = false;
  bool prometheus = false;
  bool list = false;
  bool cleanup = false;
  double interval_seconds = 1.0;
  uint32_t count = 0;
};

int List(std::ostream& out) {
  const std::vector<DWORD> pids = ListPublishingProcesses();
  if (pids.empty()) out << "no process publishes counters\n";
  for (const DWORD pid : pids) {
    out << pid << (platform::ProcessExists(pid) ? "" : " (stale)") << "\n";
  }
  return kCommandOk;
}

// The process to read: the one asked for, or the only live publisher.
bool ChooseProcess(const CommandOptions& options, std::ostream& out, DWORD* pid) {
  if (options.pid != 0) {
    *pid = options.pid;
    return true;
  }
  std::vector<DWORD> live;
  for (const DWORD candidate : ListPublishingProcesses()) {
    if (platform::ProcessExists(candidate)) live.push_back(candidate);
  }
  if (live.size() == 1) {
    *pid = live.front();
    return true;
  }
  if (live.empty()) {
    out << "error: no running process publishes counters\n";
  } else {
    out << "error: several processes publish counters; choose one with --pid:";
    for (const DWORD candidate : live) out << " " << candidate;
    out << "\n";
  }
  return false;
}

bool Read(DWORD pid, CounterSample* sample, std::ostream& out) {
  std::string error;
  if (FAILED(ReadCounters(pid, CDSAccessPerfObject::kCategoryId, sample, &error))) {
    out << "error: " << error << "\n";
    return false;
  }
  return true;
}

int Watch(DWORD pid, const CommandOptions& options, std::ostream& out) {
  using Clock = std::chrono::steady_clock;
  const auto interval = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(options.interval_seconds));
  CounterSample previous;
  Clock::time_point previous_time;
  for (uint32_t shown = 0; options.count == 0 || shown < options.count; ++shown) {
    if (shown > 0) std::this_thread::sleep_for(interval);
    CounterSample current;
    if (!Read(pid, &current, out)) return kCommandFailed;
    const Clock::time_point now = Clock::now();
    const double seconds =
        shown == 0 ? 0.0 : std::chrono::duration<double>(now - previous_time).count();
    if (shown > 0) out << "\n";
    out << FormatWatch(previous, current, seconds);
    out.flush();
    previous = std::move(current);
    previous_time = now;
  }
  return kCommandOk;
}

int Run(const CommandOptions& options, std::ostream& out) {
  if (options.cleanup) {
    out << "removed " << RemoveStaleSegments() << " stale counter segment(s)\n";
    return kCommandOk;
  }
  if (options.list) return List(out);
  DWORD pid = 0;
  if (!ChooseProcess(options, out, &pid)) return kCommandFailed;
  if (options.watch) return Watch(pid, options, out);
  CounterSample sample;
  if (!Read(pid, &sample, out)) return kCommandFailed;
  out << (options.prometheus ? FormatPrometheus(sample) : FormatTable(sample));
  return kCommandOk;
}

}  // namespace

int RunPerfCommand(int argc, char** argv, std::ostream& out) {
  CommandOptions options;
  CLI::App app("Shows the performance counters a running process publishes.",
               argc > 0 ? argv[0] : "perf");
  app.add_option("--pid", options.pid, "The process to read (default: the only publisher)")
      ->check(CLI::Range(1u, UINT32_MAX));
  CLI::Option* watch =
      app.add_flag("--watch", options.watch, "Print the counters and their rates repeatedly");
  CLI::Option* prometheus = app.add_flag("--prometheus", options.prometheus,
                                         "Print in the Prometheus text exposition format");
  watch->excludes(prometheus);
  app.add_option("--interval", options.interval_seconds, "Seconds between samples with --watch")
      ->check(CLI::Range(0.0, 3600.0))
      ->needs(watch);
  app.add_option("--count", options.count, "Samples to print with --watch (0: no limit)")
      ->needs(watch);
  CLI::Option* list =
      app.add_flag("--list", options.list, "List the processes that publish counters");
  CLI::Option* cleanup = app.add_flag("--cleanup", options.cleanup,
                                      "Remove the counter segments of processes that are gone");
  list->excludes(watch)->excludes(prometheus)->excludes(cleanup);
  cleanup->excludes(watch)->excludes(prometheus);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, out, out);
    return code == 0 ? kCommandOk : kCommandUsage;
  }
  try {
    return Run(options, out);
  } catch (const std::exception& e) {
    out << "error: " << e.what() << "\n";
    return kCommandFailed;
  }
}

}  // namespace perf
