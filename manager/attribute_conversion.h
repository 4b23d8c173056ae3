// objectGUID and objectSid values as a manager's records hold them: the
// bindable GUID string and the SID string the directory-access library
// makes of the binary values (CDirectoryHelper).
#ifndef USERPOLICY_MANAGER_ATTRIBUTE_CONVERSION_H_
#define USERPOLICY_MANAGER_ATTRIBUTE_CONVERSION_H_

#include <optional>
#include <string>

#include "platform/com.h"

// The bindable GUID string of an objectGUID value (its first 16 bytes);
// nullopt when the value holds no GUID.
std::optional<std::wstring> BindableGuidOf(_variant_t value);

// The SID string ("S-1-5-...") of an objectSid value; nullopt when the
// value holds no SID.
std::optional<std::wstring> SidStringOf(_variant_t value);

#endif  // USERPOLICY_MANAGER_ATTRIBUTE_CONVERSION_H_
