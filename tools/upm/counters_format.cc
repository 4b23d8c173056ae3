#include "tools/upm/counters_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

namespace upm {
namespace {

struct Counter {
  const char* key;  // metric key, shared by a count and its time
  const char* name;
  const char* help;
  bool milliseconds;
  uint32_t up_counters::*count;
  int64_t up_counters::*time;
};

// In the module's order: per kind a count, then its time.
constexpr Counter kCounters[] = {
    {"total_ds_access", "Total DS Access", "Lookups of any kind answered by reading the directory.", false,
     &up_counters::total_ds_access, nullptr},
    {"total_ds_access", "Total DS Access Time", "Milliseconds spent in lookups answered by reading the directory.",
     true, nullptr, &up_counters::total_ds_access_time_ms},
    {"total_cache_access", "Total Cache Access", "Lookups of any kind answered from a cache.", false,
     &up_counters::total_cache_access, nullptr},
    {"total_cache_access", "Total Cache Access Time", "Milliseconds spent in lookups answered from a cache.", true,
     nullptr, &up_counters::total_cache_access_time_ms},
    {"user_ds_access", "User DS Access", "User identity lookups answered by reading the directory.", false,
     &up_counters::user_ds_access, nullptr},
    {"user_ds_access", "User DS Access Time",
     "Milliseconds spent in user identity lookups answered by reading the directory.", true, nullptr,
     &up_counters::user_ds_access_time_ms},
    {"user_cache_access", "User Cache Access", "User identity lookups answered from the cache.", false,
     &up_counters::user_cache_access, nullptr},
    {"user_cache_access", "User Cache Access Time",
     "Milliseconds spent in user identity lookups answered from the cache.", true, nullptr,
     &up_counters::user_cache_access_time_ms},
    {"pgroup_ds_access", "PGroup DS Access", "Primary-group lookups answered by reading the directory.", false,
     &up_counters::pgroup_ds_access, nullptr},
    {"pgroup_ds_access", "PGroup DS Access Time",
     "Milliseconds spent in primary-group lookups answered by reading the directory.", true, nullptr,
     &up_counters::pgroup_ds_access_time_ms},
    {"pgroup_cache_access", "PGroup Cache Access", "Primary-group lookups answered from the cache.", false,
     &up_counters::pgroup_cache_access, nullptr},
    {"pgroup_cache_access", "PGroup Cache Access Time",
     "Milliseconds spent in primary-group lookups answered from the cache.", true, nullptr,
     &up_counters::pgroup_cache_access_time_ms},
    {"ngroup_ds_access", "NGroup DS Access", "Nested group-membership lookups answered by reading the directory.",
     false, &up_counters::ngroup_ds_access, nullptr},
    {"ngroup_ds_access", "NGroup DS Access Time",
     "Milliseconds spent in nested group-membership lookups answered by reading the directory.", true, nullptr,
     &up_counters::ngroup_ds_access_time_ms},
    {"ngroup_cache_access", "NGroup Cache Access", "Nested group-membership lookups answered from the cache.", false,
     &up_counters::ngroup_cache_access, nullptr},
    {"ngroup_cache_access", "NGroup Cache Access Time",
     "Milliseconds spent in nested group-membership lookups answered from the cache.", true, nullptr,
     &up_counters::ngroup_cache_access_time_ms},
};

int64_t ValueOf(const Counter& counter, const up_counters& counters) {
  return counter.milliseconds ? counters.*counter.time : static_cast<int64_t>(counters.*counter.count);
}

// The change from `previous` to `current`; a count that went down wrapped.
int64_t DeltaOf(const Counter& counter, const up_counters& previous, const up_counters& current) {
  if (counter.milliseconds) return current.*counter.time - previous.*counter.time;
  return static_cast<int64_t>(static_cast<uint32_t>(current.*counter.count - previous.*counter.count));
}

// The JSON key: the metric key, with "_time_ms" for times.
std::string JsonKey(const Counter& counter) {
  return std::string(counter.key) + (counter.milliseconds ? "_time_ms" : "");
}

size_t NameWidth() {
  size_t width = std::strlen("counter");
  for (const Counter& counter : kCounters) width = std::max(width, std::strlen(counter.name));
  return width;
}

std::string Title(int pid) { return "Process " + std::to_string(pid) + ": DS Access\n"; }

std::string Row(const char* name, const std::string& value, const std::string* rate) {
  const size_t width = NameWidth();
  char line[160];
  if (rate == nullptr) {
    std::snprintf(line, sizeof line, "  %-*s  %14s\n", static_cast<int>(width), name, value.c_str());
  } else {
    std::snprintf(line, sizeof line, "  %-*s  %14s  %12s\n", static_cast<int>(width), name, value.c_str(),
                  rate->c_str());
  }
  return line;
}

std::string EscapeHelp(const char* text) {
  std::string escaped;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c == '\\') {
      escaped += "\\\\";
    } else if (*c == '\n') {
      escaped += "\\n";
    } else {
      escaped += *c;
    }
  }
  return escaped;
}

std::string Rate(int64_t delta, double seconds) {
  if (seconds <= 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(delta) / seconds);
  return text;
}

}  // namespace

std::string FormatCounterTable(int pid, const up_counters& counters) {
  std::string out = Title(pid);
  for (const Counter& counter : kCounters) {
    out += Row(counter.name, std::to_string(ValueOf(counter, counters)), nullptr);
  }
  return out;
}

std::string FormatCounterWatch(int pid, const up_counters& previous, const up_counters& current, double seconds) {
  std::string out = Title(pid);
  const std::string header = "per second";
  out += Row("counter", "value", &header);
  for (const Counter& counter : kCounters) {
    const std::string rate = Rate(DeltaOf(counter, previous, current), seconds);
    out += Row(counter.name, std::to_string(ValueOf(counter, current)), &rate);
  }
  return out;
}

std::string FormatCounterPrometheus(int pid, const up_counters& counters) {
  std::string out;
  const std::string labels = "{pid=\"" + std::to_string(pid) + "\"}";
  for (const Counter& counter : kCounters) {
    const std::string name =
        std::string("userpolicy_") + counter.key + (counter.milliseconds ? "_milliseconds_total" : "_total");
    out += "# HELP " + name + " " + EscapeHelp(counter.help) + "\n";
    out += "# TYPE " + name + " counter\n";
    out += name + labels + " " + std::to_string(ValueOf(counter, counters)) + "\n";
  }
  return out;
}

std::string CountersJson(int pid, const up_counters& counters, const up_counters* previous, double seconds) {
  nlohmann::ordered_json values = nlohmann::ordered_json::object();
  for (const Counter& counter : kCounters) values[JsonKey(counter)] = ValueOf(counter, counters);
  nlohmann::ordered_json document = {{"pid", pid}, {"counters", std::move(values)}};
  if (previous != nullptr) {
    nlohmann::ordered_json rates = nlohmann::ordered_json::object();
    for (const Counter& counter : kCounters) {
      const int64_t delta = DeltaOf(counter, *previous, counters);
      rates[JsonKey(counter)] = seconds > 0 ? static_cast<double>(delta) / seconds : 0.0;
    }
    document["seconds"] = seconds;
    document["per_second"] = std::move(rates);
  }
  return document.dump();
}

}  // namespace upm
