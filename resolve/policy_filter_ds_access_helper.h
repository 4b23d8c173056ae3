// CPolicyFilterDSAccessHelper: who a SIP user is in the directory and which
// groups the user is in, as the list of GUID strings policies are matched
// against.
//
// GetUserIdentityAndMembershipGuids appends to the caller's list, in this
// order: the user's objectGUID, the objectGUID of the user's primary group
// (found by objectSid from the user's SID and primaryGroupID), then the
// groups reached from the primary group's memberOf and then from the user's
// memberOf, depth first and pre-order (a group before the groups it is a
// member of; one memberOf value's whole chain before the next value). A group
// whose GUID is already in the list (letter case ignored; entries the caller
// put there count too) is not appended again and its chain is not followed
// again, which also ends cycles. The user's and the primary group's GUIDs are
// appended without that check. Entries are only ever appended.
//
// Every lookup goes through the module's managers (and so through their
// caches) and is counted per call (logged at the end) and in the performance
// counters. Failures of the directory are logged and end only the part of the
// walk they hit; a caller that must know about them holds a
// LookupFailureRecorder (resolve/lookup_failure_recorder.h) around the call.
//
// Thread safety: any number of threads may call at once; each call's list
// must be the caller's own.
#ifndef USERPOLICY_RESOLVE_POLICY_FILTER_DS_ACCESS_HELPER_H_
#define USERPOLICY_RESOLVE_POLICY_FILTER_DS_ACCESS_HELPER_H_

#include <vector>

#include "platform/com.h"
#include "platform/export.h"

class USERPOLICY_EXPORT CPolicyFilterDSAccessHelper {
 public:
  CPolicyFilterDSAccessHelper();
  ~CPolicyFilterDSAccessHelper();
  CPolicyFilterDSAccessHelper& operator=(const CPolicyFilterDSAccessHelper& other);

  // Appends the GUIDs of the user `sipAddress` names (as the user filter
  // matches msRTCSIP-PrimaryUserAddress) to `guids`. Returns true when a
  // GUID was appended, when a group met was already in the list, and also
  // when the directory holds no such user: an unknown address appends
  // nothing and returns true (its empty record stays cached for the
  // timeout). Returns false for a null address (nothing logged or appended)
  // and when a failure ended the call before any of these happened.
  static bool GetUserIdentityAndMembershipGuids(const wchar_t* sipAddress, std::vector<_bstr_t>& guids);

 private:
  // Directory lookups of one call, by kind and by what answered them.
  class CDSCounters {
   public:
    CDSCounters() = default;
    void CountUser(bool from_directory) { Count(from_directory, &user_ds_access, &user_cache_access); }
    void CountPrimaryGroup(bool from_directory) { Count(from_directory, &pgroup_ds_access, &pgroup_cache_access); }
    void CountNestedGroup(bool from_directory) { Count(from_directory, &ngroup_ds_access, &ngroup_cache_access); }

    int total_ds_access = 0;
    int total_cache_access = 0;
    int user_ds_access = 0;
    int user_cache_access = 0;
    int pgroup_ds_access = 0;
    int pgroup_cache_access = 0;
    int ngroup_ds_access = 0;
    int ngroup_cache_access = 0;

   private:
    void Count(bool from_directory, int* kind_ds, int* kind_cache) {
      if (from_directory) {
        ++total_ds_access;
        ++*kind_ds;
      } else {
        ++total_cache_access;
        ++*kind_cache;
      }
    }
  };

  // Appends the GUID of the group `distinguishedName` names and of every
  // group above it. True when a GUID was appended or found present here or
  // above. Lets no OS::CException out.
  static bool GetNestedGroupMembershipGuids(const wchar_t* distinguishedName, std::vector<_bstr_t>& guids,
                                            CDSCounters& counters);
};

#endif  // USERPOLICY_RESOLVE_POLICY_FILTER_DS_ACCESS_HELPER_H_
