// up_get_counters: the sixteen performance counters of this process (read
// from the live performance object, inside the call gate so that a stop
// cannot release it meanwhile) or of another process (read from the
// shared-memory segment it publishes), both mapped onto up_counters by the
// counters' keys. up_counter_info_at names them from the module's own
// definitions; up_list_counter_processes lists the processes whose
// segments are live.
#include <algorithm>
#include <iterator>
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

// Where the counters of each key sit in up_counters: the count and its time.
struct Field {
  const char* key;
  uint32_t up_counters::*count;
  int64_t up_counters::*time;
};

constexpr Field kFields[] = {
    {"total_ds_access", &up_counters::total_ds_access, &up_counters::total_ds_access_time_ms},
    {"total_cache_access", &up_counters::total_cache_access, &up_counters::total_cache_access_time_ms},
    {"user_ds_access", &up_counters::user_ds_access, &up_counters::user_ds_access_time_ms},
    {"user_cache_access", &up_counters::user_cache_access, &up_counters::user_cache_access_time_ms},
    {"pgroup_ds_access", &up_counters::pgroup_ds_access, &up_counters::pgroup_ds_access_time_ms},
    {"pgroup_cache_access", &up_counters::pgroup_cache_access, &up_counters::pgroup_cache_access_time_ms},
    {"ngroup_ds_access", &up_counters::ngroup_ds_access, &up_counters::ngroup_ds_access_time_ms},
    {"ngroup_cache_access", &up_counters::ngroup_cache_access, &up_counters::ngroup_cache_access_time_ms},
};

constexpr char kTimeSuffix[] = "_time_ms";

// One counter of up_counters: what up_counter_info_at hands out and the
// member its value sits in (`count` for a count, `time` for a time).
struct CounterEntry {
  std::string field;
  up_counter_info info{};
  uint32_t up_counters::*count = nullptr;
  int64_t up_counters::*time = nullptr;
};

// The counters in the module's order, built once from its category (those
// up_counters has a member for); they point into the category's constant
// strings and their own `field`.
const std::vector<CounterEntry>& Counters() {
  static const std::vector<CounterEntry> entries = [] {
    std::vector<CounterEntry> built;
    built.reserve(2 * std::size(kFields));
    for (const perf::CounterDefinition& definition : CDSAccessPerfObject::Category().counters) {
      const Field* field = std::find_if(std::begin(kFields), std::end(kFields),
                                        [&](const Field& f) { return std::string(f.key) == definition.key; });
      if (field == std::end(kFields)) continue;
      CounterEntry& entry = built.emplace_back();
      const bool time = definition.type != perf::CounterType::kCount;
      entry.field = std::string(definition.key) + (time ? kTimeSuffix : "");
      entry.info = {nullptr, definition.key, definition.name, definition.help, time ? 1 : 0};
      if (time) {
        entry.time = field->time;
      } else {
        entry.count = field->count;
      }
    }
    // `field` no longer moves: point the info at it.
    for (CounterEntry& entry : built) entry.info.field = entry.field.c_str();
    return built;
  }();
  return entries;
}

// Sets the member of `out` that the counter `key` of `type` sits in;
// counters up_counters has no member for are left out.
void Assign(const std::string& key, perf::CounterType type, int64_t value, up_counters* out) {
  const bool time = type != perf::CounterType::kCount;
  for (const CounterEntry& entry : Counters()) {
    if (key != entry.info.key || time != (entry.time != nullptr)) continue;
    if (time) {
      out->*entry.time = value;
    } else {
      out->*entry.count = static_cast<uint32_t>(value);
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
