#include "tools/upm/counters_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "tools/upm/userpolicy_library.h"

namespace upm {
namespace {

// The counters as the library names them, in its order, with their
// values in `counters`.
struct Counter {
  const CounterInfo* info;
  int64_t value;
};

std::vector<Counter> CountersOf(const std::vector<CounterInfo>& infos, const up_counters& counters) {
  std::vector<Counter> values;
  values.reserve(infos.size());
  for (size_t i = 0; i < infos.size(); ++i) values.push_back(Counter{&infos[i], CounterValue(counters, i)});
  return values;
}

const std::vector<CounterInfo>& Infos() {
  static const std::vector<CounterInfo> infos = CounterInfos();
  return infos;
}

// The change from `previous` to `current`; a count is 32 bits and one
// that went down wrapped.
int64_t DeltaOf(const Counter& previous, const Counter& current) {
  if (current.info->milliseconds) return current.value - previous.value;
  return static_cast<int64_t>(static_cast<uint32_t>(current.value - previous.value));
}

size_t NameWidth() {
  size_t width = std::strlen("counter");
  for (const CounterInfo& info : Infos()) width = std::max(width, info.name.size());
  return width;
}

std::string Title(int pid) { return "Process " + std::to_string(pid) + ": DS Access\n"; }

std::string Row(const std::string& name, const std::string& value, const std::string* rate) {
  const size_t width = NameWidth();
  char line[160];
  if (rate == nullptr) {
    std::snprintf(line, sizeof line, "  %-*s  %14s\n", static_cast<int>(width), name.c_str(), value.c_str());
  } else {
    std::snprintf(line, sizeof line, "  %-*s  %14s  %12s\n", static_cast<int>(width), name.c_str(), value.c_str(),
                  rate->c_str());
  }
  return line;
}

std::string EscapeHelp(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
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
  for (const Counter& counter : CountersOf(Infos(), counters)) {
    out += Row(counter.info->name, std::to_string(counter.value), nullptr);
  }
  return out;
}

std::string FormatCounterWatch(int pid, const up_counters& previous, const up_counters& current, double seconds) {
  std::string out = Title(pid);
  const std::string header = "per second";
  out += Row("counter", "value", &header);
  const std::vector<Counter> before = CountersOf(Infos(), previous);
  const std::vector<Counter> now = CountersOf(Infos(), current);
  for (size_t i = 0; i < now.size(); ++i) {
    const std::string rate = Rate(DeltaOf(before[i], now[i]), seconds);
    out += Row(now[i].info->name, std::to_string(now[i].value), &rate);
  }
  return out;
}

std::string FormatCounterPrometheus(int pid, const up_counters& counters) {
  std::string out;
  const std::string labels = "{pid=\"" + std::to_string(pid) + "\"}";
  for (const Counter& counter : CountersOf(Infos(), counters)) {
    const CounterInfo& info = *counter.info;
    const std::string name = "userpolicy_" + info.key + (info.milliseconds ? "_milliseconds_total" : "_total");
    out += "# HELP " + name + " " + EscapeHelp(info.help) + "\n";
    out += "# TYPE " + name + " counter\n";
    out += name + labels + " " + std::to_string(counter.value) + "\n";
  }
  return out;
}

std::string CountersJson(int pid, const up_counters& counters, const up_counters* previous, double seconds) {
  nlohmann::ordered_json values = nlohmann::ordered_json::object();
  const std::vector<Counter> now = CountersOf(Infos(), counters);
  for (const Counter& counter : now) values[counter.info->field] = counter.value;
  nlohmann::ordered_json document = {{"pid", pid}, {"counters", std::move(values)}};
  if (previous != nullptr) {
    nlohmann::ordered_json rates = nlohmann::ordered_json::object();
    const std::vector<Counter> before = CountersOf(Infos(), *previous);
    for (size_t i = 0; i < now.size(); ++i) {
      const int64_t delta = DeltaOf(before[i], now[i]);
      rates[now[i].info->field] = seconds > 0 ? static_cast<double>(delta) / seconds : 0.0;
    }
    document["seconds"] = seconds;
    document["per_second"] = std::move(rates);
  }
  return document.dump();
}

}  // namespace upm
