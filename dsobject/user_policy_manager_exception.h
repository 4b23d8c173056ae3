// The module's exception and its error codes.
//
// CUserPolicyManagerException is what the module's own classes raise; it is
// an OS::CException with no members of its own, built from a code, the source
// name of the throwing unit and the line of the throw site. Its description
// (GetErrorMsg) names the failure in words.
#ifndef USERPOLICY_DSOBJECT_USER_POLICY_MANAGER_EXCEPTION_H_
#define USERPOLICY_DSOBJECT_USER_POLICY_MANAGER_EXCEPTION_H_

#include "platform/exception.h"
#include "platform/export.h"

// Error codes of the module.
enum UserPolicyManagerErrorCode : int {
  // The allocation of a new implementation object yielded nothing.
  EX_USER_POLICY_MGR_OUT_OF_MEMORY = -91002,
  // GetDSObjectInfo was given a null key.
  EX_USER_POLICY_MGR_NULL_KEY = -91003,
  // An index was not below the count of a record or property.
  EX_USER_POLICY_MGR_INDEX_OUT_OF_RANGE = -91004,
  // GetDSObjectInfo was called on an empty manager handle.
  EX_USER_POLICY_MGR_EMPTY_HANDLE = -91005,
  // A manager's lookup type is not 0 to 3.
  EX_USER_POLICY_MGR_INVALID_LOOKUP_TYPE = -91006,
  // The directory object was not found.
  EX_USER_POLICY_MGR_DSOBJECT_NOT_FOUND = -91008,
  // The allocation of a factory's manager handle yielded nothing.
  EX_USER_POLICY_MGR_FACTORY_OUT_OF_MEMORY = -91009,
};

class USERPOLICY_EXPORT CUserPolicyManagerException : public OS::CException {
 public:
  CUserPolicyManagerException(int code, const char* source, int line);
};

#endif  // USERPOLICY_DSOBJECT_USER_POLICY_MANAGER_EXCEPTION_H_
