// The GUID list of a resolution: whether it holds a GUID already.
#ifndef USERPOLICY_RESOLVE_GUID_LIST_H_
#define USERPOLICY_RESOLVE_GUID_LIST_H_

#include <vector>

#include "platform/ascii.h"
#include "platform/com.h"
#include "platform/crt.h"

// True when `guids` holds `guid`, compared as _wcsicmp compares (a null
// string, in the list or as `guid`, equals nothing). Entries whose first
// characters differ are passed over without the full comparison.
inline bool ContainsGuid(const std::vector<_bstr_t>& guids, const wchar_t* guid) {
  if (guid == nullptr) return false;  // _wcsicmp finds a null string equal to nothing
  const wchar_t first = platform::AsciiToLower(guid[0]);
  for (const _bstr_t& held : guids) {
    const wchar_t* entry = static_cast<const wchar_t*>(held);
    if (entry != nullptr && platform::AsciiToLower(entry[0]) == first && _wcsicmp(guid, entry) == 0) return true;
  }
  return false;
}

#endif  // USERPOLICY_RESOLVE_GUID_LIST_H_
