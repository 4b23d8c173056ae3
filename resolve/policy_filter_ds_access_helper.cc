#include "resolve/policy_filter_ds_access_helper.h"

#include <vector>

#include "dsobject/ds_object_info.h"
#include "manager/lookup_key.h"
#include "manager/user_policy_manager.h"
#include "module/manager_factories.h"
#include "platform/crt.h"
#include "platform/directory.h"
#include "platform/directory/read_ahead.h"
#include "platform/exception.h"
#include "platform/log.h"
#include "platform/module.h"
#include "resolve/group_read_ahead.h"
#include "resolve/guid_list.h"
#include "resolve/helper_log.h"
#include "resolve/lookup_failure_recorder.h"
#include "resolve/measured_lookup.h"

namespace {

constexpr char kSource[] = "serv_PolicyFilterDSAccessHelper";
constexpr wchar_t kDirectoryWord[] = L"LDAP";
constexpr wchar_t kCacheWord[] = L"Local";

// How many groups without a usable objectGUID the walk passes through above
// one memberOf value before it stops. Such groups add nothing to the list and
// are never recorded as visited, so only they can make a walk long without
// the duplicate check ending it; groups with a GUID are never limited. Each
// level keeps a manager handle, a record and its memberOf values alive on the
// stack (a few hundred bytes a level), so this bound also keeps such walks
// far inside a 1 MiB thread stack.
constexpr int kMaxGroupsWithoutGuid = 512;

#define RESOLVE_LOG(level, ...) HELPER_LOG(kSource, (level), __VA_ARGS__)

const wchar_t* SourceWord(bool fetched_from_directory) {
  return fetched_from_directory ? kDirectoryWord : kCacheWord;
}

// Copies the first value of `name` into `*value`; false when it has none.
bool FirstValue(CDSObjectInfo& record, const wchar_t* name, _variant_t* value) {
  CDSObjectProperty property = record.GetProperty(name);
  if (property.GetValueCount() == 0) return false;
  *value = property.GetValue(0);
  return true;
}

// Copies the first distinguishedName value of `record` into `*dn` when data
// lines are logged (the only use of the copy); false when it has none.
bool DistinguishedNameForLog(CDSObjectInfo& record, _variant_t* dn) {
  if (DBG::IsEnabled(DBG::kLevelData)) return FirstValue(record, L"distinguishedName", dn);
  return record.GetProperty(L"distinguishedName").GetValueCount() != 0;
}

// The string of a VT_BSTR value, or empty text.
const wchar_t* TextOf(const _variant_t& value) {
  return value.vt == VT_BSTR && value.bstrVal != nullptr ? value.bstrVal : L"";
}

// The walk's position on this thread: the distinguished names of the groups
// being walked, outermost first. A group that has no usable objectGUID is
// never recorded as visited, so a cycle made only of such groups would not
// end by the duplicate check; meeting its own name again on the path ends it.
struct WalkPath {
  std::vector<const wchar_t*> names;
  int without_guid = 0;  // how many of them have no usable objectGUID
};
thread_local WalkPath t_walk_path;

class WalkStep {
 public:
  explicit WalkStep(const wchar_t* name) { t_walk_path.names.push_back(name); }
  ~WalkStep() {
    t_walk_path.names.pop_back();
    if (without_guid_) --t_walk_path.without_guid;
  }
  WalkStep(const WalkStep&) = delete;
  WalkStep& operator=(const WalkStep&) = delete;

  void MarkWithoutGuid() {
    without_guid_ = true;
    ++t_walk_path.without_guid;
  }
  static int GroupsWithoutGuid() { return t_walk_path.without_guid; }
  // True when `name` is walked further out already.
  static bool IsOnPath(const wchar_t* name) {
    const auto& names = t_walk_path.names;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
      if (_wcsicmp(names[i], name) == 0) return true;
    }
    return false;
  }

 private:
  bool without_guid_ = false;
};

}  // namespace

CPolicyFilterDSAccessHelper::CPolicyFilterDSAccessHelper() = default;
CPolicyFilterDSAccessHelper::~CPolicyFilterDSAccessHelper() = default;
CPolicyFilterDSAccessHelper& CPolicyFilterDSAccessHelper::operator=(const CPolicyFilterDSAccessHelper&) {
  return *this;
}

bool CPolicyFilterDSAccessHelper::GetUserIdentityAndMembershipGuids(const wchar_t* sipAddress,
                                                                    std::vector<_bstr_t>& guids) {
  if (sipAddress == nullptr) return false;
  RESOLVE_LOG(DBG::kLevelData, L"GetUserIdentityAndMembershipGuids(%s)", sipAddress);
  bool result = false;
  CDSCounters counters;
  // The directory library may read the groups of this walk ahead, a level
  // at a time; the walk's lookups, their answers and failures stay the same.
  NestedGroupReadAhead readAhead(guids);
  directory::ReadAheadScope readAheadScope(&readAhead);
  try {
    CUserPolicyManager userManager = UserPolicy_GetUserIdentityManager();
    bool fetched = false;
    CDSObjectInfo user =
        MeasuredLookup<CDSUserAccessCountGuard, CDSUserAccessTimerGuard>(userManager, sipAddress, fetched);
    counters.CountUser(fetched);

    // The user's own GUID.
    _variant_t guid;
    if (!FirstValue(user, L"objectGUID", &guid)) {
      RESOLVE_LOG(DBG::kLevelData, L" %s query = <%s> : no object in AD.", SourceWord(fetched), sipAddress);
      result = true;
    } else if (guid.vt == VT_BSTR) {
      guids.push_back(_bstr_t(guid.bstrVal));
      result = true;
      try {
        _variant_t dn;
        if (!DistinguishedNameForLog(user, &dn)) {
          RESOLVE_LOG(DBG::kLevelWarning, L"objDSUser distinguishedName is empty.");
        }
        RESOLVE_LOG(DBG::kLevelData, L" %s query = <%s> : objectGUID=%s, DN=%s .", SourceWord(fetched), sipAddress,
                    guid.bstrVal, TextOf(dn));
      } catch (OS::CException& e) {
        RESOLVE_LOG(DBG::kLevelFailure, L"Dump User info fail. Error = %d", e.GetErrorCode());
      }
    }

    // The primary group, found by the user's SID and primaryGroupID.
    CUserPolicyManager primaryGroupManager = UserPolicy_GetPrimaryGroupIDTOGroupManager();
    CDSObjectInfo primaryGroup;
    try {
      wchar_t searchString[kKeyBufferLength] = {};
      _variant_t sid;
      _variant_t groupId;
      bool haveKey = false;
      if (!FirstValue(user, L"objectSid", &sid)) {
        // No SID: no primary group, silently.
      } else if (sid.vt != VT_BSTR) {
        RESOLVE_LOG(DBG::kLevelWarning, L"objDSUser objectSid value type not match, type=%d", sid.vt);
      } else if (!FirstValue(user, L"primaryGroupID", &groupId)) {
        RESOLVE_LOG(DBG::kLevelWarning, L"primaryGroupID is empty");
      } else if (groupId.vt == VT_EMPTY) {
        RESOLVE_LOG(DBG::kLevelWarning, L"primaryGroupID value type is VT_EMPTY");
      } else if (FAILED(CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID(
                     sid.bstrVal, groupId.intVal, searchString, kKeyBufferLength))) {
        RESOLVE_LOG(DBG::kLevelWarning, L"CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID()");
      } else {
        haveKey = true;
      }
      if (haveKey) {
        primaryGroup = MeasuredLookup<CDSPGroupAccessCountGuard, CDSPGroupAccessTimerGuard>(primaryGroupManager,
                                                                                          searchString, fetched);
        counters.CountPrimaryGroup(fetched);
        _variant_t groupGuid;
        if (!FirstValue(primaryGroup, L"objectGUID", &groupGuid)) {
          RESOLVE_LOG(DBG::kLevelWarning, L"objDSPrimaryGroup objectGUID is empty");
        } else if (groupGuid.vt != VT_BSTR) {
          RESOLVE_LOG(DBG::kLevelWarning, L"objDSPrimaryGroup objectGUID value type is not match. type=%d",
                      groupGuid.vt);
        } else {
          guids.push_back(_bstr_t(groupGuid.bstrVal));
          result = true;
          try {
            _variant_t dn;
            DistinguishedNameForLog(primaryGroup, &dn);
            RESOLVE_LOG(DBG::kLevelData, L" %s query = objectGUID=%s, DN=%s .", SourceWord(fetched),
                        groupGuid.bstrVal, TextOf(dn));
          } catch (OS::CException& e) {
            RESOLVE_LOG(DBG::kLevelFailure, L"Dump PrimaryGroup info fail. Error = %d", e.GetErrorCode());
          }
        }
      }
    } catch (OS::CException& e) {
      LookupFailureRecorder::Record(e);
      RESOLVE_LOG(DBG::kLevelFailure, L"Get primaryGroupID info fail. Error = %d", e.GetErrorCode());
    }

    // The groups above the primary group, then those above the user.
    try {
      CDSObjectProperty memberOf = primaryGroup.GetProperty(L"memberOf");
      const int count = memberOf.GetValueCount();
      for (int i = 0; i < count; ++i) {
        _variant_t value = memberOf.GetValue(i);
        if (value.vt == VT_BSTR) result |= GetNestedGroupMembershipGuids(value.bstrVal, guids, counters);
      }
    } catch (OS::CException& e) {
      LookupFailureRecorder::Record(e);
      RESOLVE_LOG(DBG::kLevelFailure, L"Get primaryGroup nested memberOf fail. Error = %d", e.GetErrorCode());
    }
    CDSObjectProperty memberOf = user.GetProperty(L"memberOf");
    const int count = memberOf.GetValueCount();
    for (int i = 0; i < count; ++i) {
      _variant_t value = memberOf.GetValue(i);
      if (value.vt == VT_BSTR) result |= GetNestedGroupMembershipGuids(value.bstrVal, guids, counters);
    }
  } catch (OS::CException& e) {
    LookupFailureRecorder::Record(e);
    RESOLVE_LOG(DBG::kLevelFailure, L"GetUserIdentityAndMembershipGuids() fail. Error = %d", e.GetErrorCode());
  }
  RESOLVE_LOG(DBG::kLevelData, L"DSCounter: total_ds_access=%d, total_cache_access=%d,user_ds_access=%d, user_cache_access=%d",
              counters.total_ds_access, counters.total_cache_access, counters.user_ds_access,
              counters.user_cache_access);
  RESOLVE_LOG(DBG::kLevelData,
              L"DSCounter: pgroup_ds_access=%d, pgroup_cache_access=%d,ngroup_ds_access=%d, ngroup_cache_access=%d",
              counters.pgroup_ds_access, counters.pgroup_cache_access, counters.ngroup_ds_access,
              counters.ngroup_cache_access);
  return result;
}

bool CPolicyFilterDSAccessHelper::GetNestedGroupMembershipGuids(const wchar_t* distinguishedName,
                                                                std::vector<_bstr_t>& guids, CDSCounters& counters) {
  bool result = false;
  WalkStep step(distinguishedName);
  try {
    CUserPolicyManager groupManager = UserPolicy_GetGroupMemeberShipManager();
    bool fetched = false;
    CDSObjectInfo group = MeasuredLookup<CDSNGroupAccessCountGuard, CDSNGroupAccessTimerGuard>(
        groupManager, distinguishedName, fetched);
    counters.CountNestedGroup(fetched);

    _variant_t guid;
    bool visited = false;
    if (!FirstValue(group, L"objectGUID", &guid)) {
      // No GUID: nothing recorded; the groups above are still walked.
    } else if (guid.vt != VT_BSTR) {
      RESOLVE_LOG(DBG::kLevelWarning, L"objDSGroup objectGUID value type is not match. type=%d", guid.vt);
    } else {
      visited = true;
      try {
        _variant_t dn;
        if (!DistinguishedNameForLog(group, &dn)) {
          RESOLVE_LOG(DBG::kLevelWarning, L"objDSGroup distinguishedName is empty");
        }
        if (ContainsGuid(guids, guid.bstrVal)) {
          RESOLVE_LOG(DBG::kLevelData, L" %s query (exist) = objectGUID=%s, DN=%s", SourceWord(fetched),
                      guid.bstrVal, TextOf(dn));
          return true;
        }
        guids.push_back(_bstr_t(guid.bstrVal));
        result = true;
        RESOLVE_LOG(DBG::kLevelData, L" %s query = objectGUID=%s, DN=%s .", SourceWord(fetched), guid.bstrVal,
                    TextOf(dn));
      } catch (OS::CException& e) {
        LookupFailureRecorder::Record(e);  // the group's GUID may be missing from the list
        RESOLVE_LOG(DBG::kLevelFailure, L"Dump Group info fail. Error = %d", e.GetErrorCode());
      }
    }
    if (!visited) {
      // A group without a usable GUID met again on its own path is a cycle
      // the duplicate check cannot end; a long run of such groups is cut.
      if (WalkStep::IsOnPath(distinguishedName)) return result;
      step.MarkWithoutGuid();
      if (WalkStep::GroupsWithoutGuid() > kMaxGroupsWithoutGuid) {
        RESOLVE_LOG(DBG::kLevelWarning, L"GetNestedGroupMembershipGuids(%s) stops: nesting deeper than %d levels",
                    distinguishedName, kMaxGroupsWithoutGuid);
        return result;
      }
    }

    CDSObjectProperty memberOf = group.GetProperty(L"memberOf");
    const int count = memberOf.GetValueCount();
    for (int i = 0; i < count; ++i) {
      _variant_t value = memberOf.GetValue(i);
      if (value.vt == VT_BSTR) result |= GetNestedGroupMembershipGuids(value.bstrVal, guids, counters);
    }
  } catch (OS::CException& e) {
    LookupFailureRecorder::Record(e);
    RESOLVE_LOG(DBG::kLevelFailure, L"GetNestedGroupMembershipGuids(%s) fail. Error = %s", distinguishedName,
                e.GetErrorMsgEx().c_str());
  }
  return result;
}
