// up_get_counters: the sixteen performance counters of this process (read
// from the live performance object, inside the call gate so that a stop
// cannot release it meanwhile) or of another process (read from the
// shared-memory segment it publishes), both mapped onto up_counters by the
// counters' keys.
#include <string>

#include "capi/call_errors.h"
#include "capi/call_gate.h"
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
