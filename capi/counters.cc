// up_get_counters: the sixteen performance counters of this process (read
// from the live performance object, inside the call gate so that a stop
// cannot release it meanwhile) or of another process (read from the
// shared-memory segment it publishes), both mapped onto up_counters by the
// counters' keys. up_counter_info_at names them from the module's own
// definitions; up_list_counter_processes lists the processes whose
// segments are live.
#include <array>
#include <string>
#include <vector>

#include "capi/call_errors.h"
#include "capi/call_gate.h"
#include "capi/result_memory.h"
#include "capi/userpolicy.h"
#include "perf/ds_access_perf_object.h"
#include "perf/perf_reader.h"
#include "platform/shared_memory.h"
#include "platform/sync.h"

namespace capi {
namespace {

struct CountField {
  const char* key;
  uint32_t up_counters::*field;
};
struct TimeField {
  const char* key;
  int64_t up_counters::*field;
};

constexpr CountField kCountFields[] = {
    {"total_ds_access", &up_counters::total_ds_access},
    {"total_cache_access", &up_counters::total_cache_access},
    {"user_ds_access", &up_counters::user_ds_access},
    {"user_cache_access", &up_counters::user_cache_access},
    {"pgroup_ds_access", &up_counters::pgroup_ds_access},
    {"pgroup_cache_access", &up_counters::pgroup_cache_access},
    {"ngroup_ds_access", &up_counters::ngroup_ds_access},
    {"ngroup_cache_access", &up_counters::ngroup_cache_access},
};
constexpr TimeField kTimeFields[] = {
    {"total_ds_access", &up_counters::total_ds_access_time_ms},
    {"total_cache_access", &up_counters::total_cache_access_time_ms},
    {"user_ds_access", &up_counters::user_ds_access_time_ms},
    {"user_cache_access", &up_counters::user_cache_access_time_ms},
    {"pgroup_ds_access", &up_counters::pgroup_ds_access_time_ms},
    {"pgroup_cache_access", &up_counters::pgroup_cache_access_time_ms},
    {"ngroup_ds_access", &up_counters::ngroup_ds_access_time_ms},
    {"ngroup_cache_access", &up_counters::ngroup_cache_access_time_ms},
};

// The up_counters member counter `definition` is stored in: its index into
// kCountFields or kTimeFields, or -1 when the C interface does not know it.
int FieldIndex(const perf::CounterDefinition& definition) {
  if (definition.type == perf::CounterType::kCount) {
    for (size_t i = 0; i < std::size(kCountFields); ++i) {
      if (std::string(definition.key) == kCountFields[i].key) return static_cast<int>(i);
    }
  } else {
    for (size_t i = 0; i < std::size(kTimeFields); ++i) {
      if (std::string(definition.key) == kTimeFields[i].key) return static_cast<int>(i);
    }
  }
  return -1;
}

constexpr char kTimeSuffix[] = "_time_ms";
constexpr size_t kCounterCount = std::size(kCountFields) + std::size(kTimeFields);

// One counter of up_counters: what up_counter_info_at hands out and where
// its value sits.
struct CounterEntry {
  std::string field;
  up_counter_info info{};
  uint32_t up_counters::*count = nullptr;  // counts
  int64_t up_counters::*time = nullptr;    // times
};

// The counters in the module's order, built once from its category; they
// point into the category's constant strings and their own `field`.
const std::vector<CounterEntry>& Counters() {
  static const std::vector<CounterEntry> entries = [] {
    std::vector<CounterEntry> built;
    built.reserve(kCounterCount);
    for (const perf::CounterDefinition& definition : CDSAccessPerfObject::Category().counters) {
      const int index = FieldIndex(definition);
      if (index < 0) continue;
      CounterEntry& entry = built.emplace_back();
      const bool time = definition.type != perf::CounterType::kCount;
      entry.field = std::string(definition.key) + (time ? kTimeSuffix : "");
      entry.info.key = definition.key;
      entry.info.name = definition.name;
      entry.info.help = definition.help;
      entry.info.milliseconds = time ? 1 : 0;
      if (time) {
        entry.time = kTimeFields[index].field;
      } else {
        entry.count = kCountFields[index].field;
      }
    }
    // `field` no longer moves: point the info at it.
    for (CounterEntry& entry : built) entry.info.field = entry.field.c_str();
    return built;
  }();
  return entries;
}

// Sets the field of `out` that the counter `key` of `type` names; counters
// the C interface does not know are left out.
void Assign(const std::string& key, perf::CounterType type, int64_t value, up_counters* out) {
  if (type == perf::CounterType::kCount) {
    for (const CountField& entry : kCountFields) {
      if (key == entry.key) out->*entry.field = static_cast<uint32_t>(value);
    }
  } else {
    for (const TimeField& entry : kTimeFields) {
      if (key == entry.key) out->*entry.field = value;
    }
  }
}

// The counters of the live object, each read atomically (other threads
// update them with Interlocked operations meanwhile).
void ReadOwnCounters(CDSAccessPerfObject* object, up_counters* out) {
  auto* base = reinterpret_cast<unsigned char*>(object);
  for (const perf::CounterDefinition& counter : CDSAccessPerfObject::Category().counters) {
    int64_t value = 0;
    if (counter.type == perf::CounterType::kCount) {
      value = static_cast<uint32_t>(InterlockedExchangeAdd(reinterpret_cast<LONG volatile*>(base + counter.offset), 0));
    } else {
      value = InterlockedExchangeAdd64(reinterpret_cast<LONG64 volatile*>(base + counter.offset), 0);
    }
    Assign(counter.key, counter.type, value, out);
  }
}

void ReadOtherProcess(int pid, up_counters* out) {
  perf::CounterSample sample;
  std::string problem;
  const HRESULT hr = perf::ReadCounters(static_cast<DWORD>(pid), CDSAccessPerfObject::kCategoryId, &sample, &problem);
  if (hr == platform::kSharedMemoryNotFound || hr == perf::kCategoryNotPublished) {
    throw CallError(UP_NOT_FOUND, hr, problem);
  }
  if (FAILED(hr)) throw CallError(UP_INTERNAL_ERROR, hr, problem);
  for (const perf::CounterValue& counter : sample.counters) Assign(counter.key, counter.type, counter.value, out);
}

}  // namespace
}  // namespace capi

int up_get_counters(int pid, up_counters* counters, up_error** error) {
  if (counters != nullptr) *counters = up_counters{};
  return capi::RunCall("up_get_counters", [&] { return std::to_string(pid); }, error, [&]() -> int {
    if (counters == nullptr) throw capi::CallError(UP_INVALID_ARGUMENT, 0, "counters is null");
    if (pid < 0) throw capi::CallError(UP_INVALID_ARGUMENT, 0, "pid is negative");
    up_counters read{};
    if (pid == 0) {
      capi::GatePass pass;
      // Before a start (or after a stop) every counter is zero.
      if (pass.entered() && g_pDSAccessPerfObject != nullptr) capi::ReadOwnCounters(g_pDSAccessPerfObject, &read);
    } else {
      capi::ReadOtherProcess(pid, &read);
    }
    *counters = read;
    return UP_OK;
  });
}

size_t up_counter_count(void) { return capi::Counters().size(); }

const up_counter_info* up_counter_info_at(size_t index) {
  const std::vector<capi::CounterEntry>& counters = capi::Counters();
  return index < counters.size() ? &counters[index].info : nullptr;
}

int64_t up_counter_value(const up_counters* counters, size_t index) {
  const std::vector<capi::CounterEntry>& entries = capi::Counters();
  if (counters == nullptr || index >= entries.size()) return 0;
  const capi::CounterEntry& entry = entries[index];
  return entry.time != nullptr ? counters->*entry.time : static_cast<int64_t>(counters->*entry.count);
}

int up_list_counter_processes(up_process_list** processes, up_error** error) {
  if (processes != nullptr) *processes = nullptr;
  return capi::RunCall("up_list_counter_processes", [] { return std::string(); }, error, [&]() -> int {
    if (processes == nullptr) throw capi::CallError(UP_INVALID_ARGUMENT, 0, "processes is null");
    // A segment stays after its module stops, and after its process ends:
    // only a live process with live counters counts.
    std::vector<int> live;
    for (const DWORD pid : perf::ListPublishingProcesses()) {
      if (!platform::ProcessExists(pid)) continue;
      perf::CounterSample sample;
      std::string problem;
      if (SUCCEEDED(perf::ReadCounters(pid, CDSAccessPerfObject::kCategoryId, &sample, &problem))) {
        live.push_back(static_cast<int>(pid));
      }
    }
    capi::ProcessListOwner list = capi::NewProcessList(live.size());
    for (size_t i = 0; i < live.size(); ++i) list->pids[i] = live[i];
    *processes = list.release();
    return UP_OK;
  });
}
