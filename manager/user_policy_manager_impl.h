// The implementation behind a CUserPolicyManager handle. Internal to the
// manager layer (tests use it too); see manager/user_policy_manager.h for the
// behaviour.
#ifndef USERPOLICY_MANAGER_USER_POLICY_MANAGER_IMPL_H_
#define USERPOLICY_MANAGER_USER_POLICY_MANAGER_IMPL_H_

#include <optional>
#include <string>
#include <string_view>

#include "dsobject/ds_object_info.h"
#include "manager/cs_lock.h"
#include "manager/in_flight_table.h"
#include "manager/object_cache.h"
#include "manager/user_policy_manager.h"
#include "platform/com.h"
#include "platform/directory.h"
#include "platform/types.h"

class CUserPolicyManagerImpl {
 public:
  CUserPolicyManagerImpl(int lookup_type, const wchar_t* filter_template, const wchar_t** attributes,
                         int attribute_count, bool escape_filter_value, int cache_timeout_seconds,
                         int cache_maximum);
  CUserPolicyManagerImpl(const CUserPolicyManagerImpl&) = delete;
  CUserPolicyManagerImpl& operator=(const CUserPolicyManagerImpl&) = delete;

  // GetDSObjectInfo after the handle checks (steps from normalisation on).
  CDSObjectInfo GetDSObjectInfo(const wchar_t* key, bool& fetchedFromDirectory);

  int lookup_type() const { return m_lookupType; }

  // Whether threads that waited for another thread's read of their key get
  // that read's failure (its exception, or not found) instead of the
  // record as the read left it. Off unless set before the manager is
  // shared (the factories set it from the settings).
  void set_waiters_share_failures(bool share) { m_waitersShareFailures = share; }
  bool waiters_share_failures() const { return m_waitersShareFailures; }
  CDSObjectCache& cache() { return m_cache; }

  // For a read-ahead below the manager (platform/directory/read_ahead.h):
  // the path a lookup of `key` would read now, as the fetch of its lookup
  // type forms it; nullopt when the lookup would not read the directory
  // (the cache answers it, or another thread reads it) or would search.
  std::optional<std::wstring> PathToRead(const wchar_t* key) EXCLUDES(m_inFlightLock);
  // The same for a manager that searches (lookup type 0): the filter a
  // lookup of `key` would search the Global Catalog with now.
  std::optional<std::wstring> FilterToSearch(const wchar_t* key) EXCLUDES(m_inFlightLock);
  // The attributes a fetch asks for.
  const CStringCollection& attributes() const { return m_attributes; }

  volatile LONG m_refCount = 1;

 private:
  bool _LookupCache(std::wstring_view key, std::optional<CDSObjectInfo>& record) {
    return m_cache.Lookup(key, record);
  }
  void _UpdateCache(const std::wstring& key, CDSObjectInfo& record) { m_cache.Update(key, record); }
  bool _SyncGetDSObjectInfo(const std::wstring& key, CDSObjectInfo& record, bool& fetchedFromDirectory)
      EXCLUDES(m_inFlightLock);
  // The fetch by lookup type, run by the thread that owns the key's entry.
  bool _Fetch(const std::wstring& key, CDSObjectInfo& record);
  // The path the fetch of `key` binds (lookup types 1 to 3), nullopt for
  // lookup types that bind no path.
  std::optional<std::wstring> _BindPath(const std::wstring& key) const;
  // The filter the search of `key` uses (lookup type 0).
  std::wstring _Filter(const std::wstring& key) const;
  // Whether a lookup of the normalised `key` would read the directory now:
  // no live cache entry, no read of it in flight.
  bool _WouldRead(const std::wstring& key) EXCLUDES(m_inFlightLock);
  bool _SearchDirectory(const std::wstring& key, CDSObjectInfo& record);
  bool _OpenDirectoryObject(const wchar_t* path, CDSObjectInfo& record);

  const int m_lookupType;
  _bstr_t m_filterTemplate;
  CStringCollection m_attributes;
  const bool m_escapeFilterValue;
  bool m_waitersShareFailures = false;
  CDSObjectCache m_cache;
  InFlightMap m_inFlight GUARDED_BY(m_inFlightLock);
  CSLock m_inFlightLock;
};

// Reaches the implementation behind a handle (null for an empty handle).
class CUserPolicyManagerInspector {
 public:
  static CUserPolicyManagerImpl* Impl(const CUserPolicyManager& manager) { return manager.m_pImpl; }
};

#endif  // USERPOLICY_MANAGER_USER_POLICY_MANAGER_IMPL_H_
