// CUserPolicyManager: the cached directory lookup.
//
// A manager answers a key (a SIP address, a group's SID search string, a
// distinguished name or a bindable GUID string, by manager) with the record
// of one directory object read through the Global Catalog. For each lookup it
//  1. normalises the key (cut to 519 characters, ASCII letters upper-cased),
//  2. answers from its object cache when it can (manager/object_cache.h),
//  3. otherwise lets one thread read the directory for the key while other
//     threads asking for the same key wait for that read and share its record
//     (manager/in_flight_table.h),
//  4. and the reading thread fetches the object the way the lookup type says:
//       0  search the Global Catalog with the filter template, the key put
//          into it (escaped when the escape flag is set)
//       1  bind the key as a path (slashes escaped)
//       2  bind "<Global Catalog path>/<GUID=key>"
//       3  bind "<Global Catalog path>/<key with slashes escaped>"
//     converting objectGUID to its bindable string and objectSid to its SID
//     string on the way. A search that matches nothing gives an empty record,
//     which counts as found and is cached like any other.
//
// The handle holds exactly one pointer to a shared, reference-counted
// implementation; copies share it (interlocked count), the last release frees
// it with its cache. Any number of threads may call GetDSObjectInfo on one
// manager or on copies of its handle.
//
// Errors (CUserPolicyManagerException, source serv_UserPolicyManager):
// -91002 the implementation cannot be allocated, -91003 null key, -91005
// empty handle, -91006 lookup type not 0 to 3, -91008 not found. Errors of
// the directory-access library pass through unchanged. Nothing is cached for
// a lookup that failed.
#ifndef USERPOLICY_MANAGER_USER_POLICY_MANAGER_H_
#define USERPOLICY_MANAGER_USER_POLICY_MANAGER_H_

#include "dsobject/ds_object_info.h"
#include "platform/export.h"

class CUserPolicyManagerImpl;

// The lookup types of the second constructor.
enum UserPolicyLookupType : int {
  kLookupSearch = 0,
  kLookupBindPath = 1,
  kLookupBindGuid = 2,
  kLookupBindDistinguishedName = 3,
};

class USERPOLICY_EXPORT CUserPolicyManager {
 public:
  // A search manager (lookup type 0): `filter_template` has exactly one %s;
  // `attributes` (count entries, copied) are the attributes to load.
  CUserPolicyManager(const wchar_t* filter_template, const wchar_t** attributes, int attribute_count,
                     bool escape_filter_value, int cache_timeout_seconds, int cache_maximum);
  // A manager of `lookup_type` with no filter template.
  CUserPolicyManager(int lookup_type, const wchar_t** attributes, int attribute_count, int cache_timeout_seconds,
                     int cache_maximum);
  CUserPolicyManager(const CUserPolicyManager& other);
  CUserPolicyManager& operator=(const CUserPolicyManager& other);
  ~CUserPolicyManager();

  // The record of the object `key` names, sharing its implementation with
  // the cache and with every other caller that got the same key.
  // `fetchedFromDirectory` is set to true when this very call read the
  // directory (its result is then cached) and to false when the record came
  // from the cache or from another thread's read of the same key.
  CDSObjectInfo GetDSObjectInfo(const wchar_t* key, bool& fetchedFromDirectory);

 private:
  // Gives the module's tests a view of the implementation (its settings and
  // cache); defined in manager/user_policy_manager_impl.h.
  friend class CUserPolicyManagerInspector;

  void _AddRef();
  void _Free();

  CUserPolicyManagerImpl* m_pImpl;
};

#endif  // USERPOLICY_MANAGER_USER_POLICY_MANAGER_H_
