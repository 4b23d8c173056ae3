// One directory lookup wrapped in the performance guards: the total count
// and timer guards and the count and timer guards of the lookup's group
// (user, primary group or nested group), constructed in that order and
// closed in reverse order. The outcome is "directory" when the lookup read
// the directory, else "cache"; a lookup that throws closes the guards with no
// outcome (one cache count each, no time).
#ifndef USERPOLICY_RESOLVE_MEASURED_LOOKUP_H_
#define USERPOLICY_RESOLVE_MEASURED_LOOKUP_H_

#include "dsobject/ds_object_info.h"
#include "manager/user_policy_manager.h"
#include "perf/ds_access_guards.h"
#include "perf/ds_access_perf_object.h"

template <class GroupCountGuard, class GroupTimerGuard>
CDSObjectInfo MeasuredLookup(CUserPolicyManager& manager, const wchar_t* key, bool& fetchedFromDirectory) {
  CDSTotalAccessCountGuard total_count(g_pDSAccessPerfObject);
  CDSTotalAccessTimerGuard total_timer(g_pDSAccessPerfObject);
  GroupCountGuard group_count(g_pDSAccessPerfObject);
  GroupTimerGuard group_timer(g_pDSAccessPerfObject);
  CDSObjectInfo record = manager.GetDSObjectInfo(key, fetchedFromDirectory);
  const int outcome = fetchedFromDirectory ? kDSAccessFromDirectory : kDSAccessFromCache;
  total_count.SetOutcome(outcome);
  total_timer.SetOutcome(outcome);
  group_count.SetOutcome(outcome);
  group_timer.SetOutcome(outcome);
  return record;
}

#endif  // USERPOLICY_RESOLVE_MEASURED_LOOKUP_H_
