#include "dsobject/user_policy_manager_exception.h"

namespace {

const wchar_t* DescribeUserPolicyError(int code) {
  switch (code) {
    case EX_USER_POLICY_MGR_OUT_OF_MEMORY:
      return L"out of memory: a new object could not be allocated";
    case EX_USER_POLICY_MGR_NULL_KEY:
      return L"the lookup key is null";
    case EX_USER_POLICY_MGR_INDEX_OUT_OF_RANGE:
      return L"index out of range";
    case EX_USER_POLICY_MGR_EMPTY_HANDLE:
      return L"the manager handle is empty";
    case EX_USER_POLICY_MGR_INVALID_LOOKUP_TYPE:
      return L"the manager's lookup type is not 0 to 3";
    case EX_USER_POLICY_MGR_DSOBJECT_NOT_FOUND:
      return L"the directory object was not found";
    case EX_USER_POLICY_MGR_FACTORY_OUT_OF_MEMORY:
      return L"out of memory: the manager could not be allocated";
    default:
      return L"user policy manager error";
  }
}

}  // namespace

CUserPolicyManagerException::CUserPolicyManagerException(int code, const char* source, int line)
    : OS::CException(code, source, line, DescribeUserPolicyError(code)) {}
