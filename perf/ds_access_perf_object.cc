#include "perf/ds_access_perf_object.h"

#include <memory>

#include "platform/sync.h"

CDSAccessPerfObject* g_pDSAccessPerfObject = nullptr;

void CDSAccessPerfObject::ResetCounters() {
  using perf::InterlockedView;
  InterlockedExchange(InterlockedView(&m_nTotalDSAccess), 0);
  InterlockedExchange64(InterlockedView(&m_nTotalDSAccessTime), 0);
  InterlockedExchange(InterlockedView(&m_nTotalCacheAccess), 0);
  InterlockedExchange64(InterlockedView(&m_nTotalCacheAccessTime), 0);
  InterlockedExchange(InterlockedView(&m_nUserDSAccess), 0);
  InterlockedExchange64(InterlockedView(&m_nUserDSAccessTime), 0);
  InterlockedExchange(InterlockedView(&m_nUserCacheAccess), 0);
  InterlockedExchange64(InterlockedView(&m_nUserCacheAccessTime), 0);
  InterlockedExchange(InterlockedView(&m_nPGroupDSAccess), 0);
  InterlockedExchange64(InterlockedView(&m_nPGroupDSAccessTime), 0);
  InterlockedExchange(InterlockedView(&m_nPGroupCacheAccess), 0);
  InterlockedExchange64(InterlockedView(&m_nPGroupCacheAccessTime), 0);
  InterlockedExchange(InterlockedView(&m_nNGroupDSAccess), 0);
  InterlockedExchange64(InterlockedView(&m_nNGroupDSAccessTime), 0);
  InterlockedExchange(InterlockedView(&m_nNGroupCacheAccess), 0);
  InterlockedExchange64(InterlockedView(&m_nNGroupCacheAccessTime), 0);
}

namespace {

using perf::CounterDefinition;
using perf::CounterType;

constexpr CounterType kCount = CounterType::kCount;
constexpr CounterType kMilliseconds = CounterType::kMilliseconds;

// In field order. offsetof on the derived class: see the header.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#define USERPOLICY_PERF_OFFSET(field) static_cast<uint32_t>(offsetof(CDSAccessPerfObject, field))
constexpr CounterDefinition kCounters[] = {
    {USERPOLICY_PERF_OFFSET(m_nTotalDSAccess), kCount, "total_ds_access", "Total DS Access",
     "Lookups of any kind answered by reading the directory."},
    {USERPOLICY_PERF_OFFSET(m_nTotalDSAccessTime), kMilliseconds, "total_ds_access",
     "Total DS Access Time", "Milliseconds spent in lookups answered by reading the directory."},
    {USERPOLICY_PERF_OFFSET(m_nTotalCacheAccess), kCount, "total_cache_access",
     "Total Cache Access", "Lookups of any kind answered from a cache."},
    {USERPOLICY_PERF_OFFSET(m_nTotalCacheAccessTime), kMilliseconds, "total_cache_access",
     "Total Cache Access Time", "Milliseconds spent in lookups answered from a cache."},
    {USERPOLICY_PERF_OFFSET(m_nUserDSAccess), kCount, "user_ds_access", "User DS Access",
     "User identity lookups answered by reading the directory."},
    {USERPOLICY_PERF_OFFSET(m_nUserDSAccessTime), kMilliseconds, "user_ds_access",
     "User DS Access Time",
     "Milliseconds spent in user identity lookups answered by reading the directory."},
    {USERPOLICY_PERF_OFFSET(m_nUserCacheAccess), kCount, "user_cache_access", "User Cache Access",
     "User identity lookups answered from the cache."},
    {USERPOLICY_PERF_OFFSET(m_nUserCacheAccessTime), kMilliseconds, "user_cache_access",
     "User Cache Access Time",
     "Milliseconds spent in user identity lookups answered from the cache."},
    {USERPOLICY_PERF_OFFSET(m_nPGroupDSAccess), kCount, "pgroup_ds_access", "PGroup DS Access",
     "Primary-group lookups answered by reading the directory."},
    {USERPOLICY_PERF_OFFSET(m_nPGroupDSAccessTime), kMilliseconds, "pgroup_ds_access",
     "PGroup DS Access Time",
     "Milliseconds spent in primary-group lookups answered by reading the directory."},
    {USERPOLICY_PERF_OFFSET(m_nPGroupCacheAccess), kCount, "pgroup_cache_access",
     "PGroup Cache Access", "Primary-group lookups answered from the cache."},
    {USERPOLICY_PERF_OFFSET(m_nPGroupCacheAccessTime), kMilliseconds, "pgroup_cache_access",
     "PGroup Cache Access Time",
     "Milliseconds spent in primary-group lookups answered from the cache."},
    {USERPOLICY_PERF_OFFSET(m_nNGroupDSAccess), kCount, "ngroup_ds_access", "NGroup DS Access",
     "Nested group-membership lookups answered by reading the directory."},
    {USERPOLICY_PERF_OFFSET(m_nNGroupDSAccessTime), kMilliseconds, "ngroup_ds_access",
     "NGroup DS Access Time",
     "Milliseconds spent in nested group-membership lookups answered by reading the directory."},
    {USERPOLICY_PERF_OFFSET(m_nNGroupCacheAccess), kCount, "ngroup_cache_access",
     "NGroup Cache Access", "Nested group-membership lookups answered from the cache."},
    {USERPOLICY_PERF_OFFSET(m_nNGroupCacheAccessTime), kMilliseconds, "ngroup_cache_access",
     "NGroup Cache Access Time",
     "Milliseconds spent in nested group-membership lookups answered from the cache."},
};
#undef USERPOLICY_PERF_OFFSET
#pragma GCC diagnostic pop

CPerfObject* ConstructDSAccessObject(void* storage) {
  return std::construct_at(static_cast<CDSAccessPerfObject*>(storage));
}

constexpr perf::CategoryDefinition kCategory = {
    CDSAccessPerfObject::kCategoryId,
    "DS Access",
    "Directory lookups of the user policy module: how many the directory and the caches "
    "answered, and how long they took.",
    sizeof(CDSAccessPerfObject),
    kCounters,
    &ConstructDSAccessObject,
};

}  // namespace

const perf::CategoryDefinition& CDSAccessPerfObject::Category() { return kCategory; }
