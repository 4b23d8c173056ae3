// What the directory library read, as text a test compares: each value as
// "TYPE:value" ("I4:513", "I8:-1", "BOOL:TRUE", "BSTR:text", "BYTES:hex",
// "VT:<number>" for other types), an object as one "name TYPE:value" line
// per value in the object's order; and the context items of a
// CDirectoryException (tests/support/directory_failure.h catches one).
#ifndef USERPOLICY_TESTS_SUPPORT_DIRECTORY_VALUES_H_
#define USERPOLICY_TESTS_SUPPORT_DIRECTORY_VALUES_H_

#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/directory/directory_error.h"
#include "platform/directory/directory_object.h"

namespace userpolicy::testing {

std::string DescribeValue(const _variant_t& value);
std::vector<std::string> DumpValues(const directory::DirectoryObject& object);

// The value of the context item `name` of `error`, or "<none>".
std::wstring ContextOf(const CDirectoryException& error, const wchar_t* name);

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_DIRECTORY_VALUES_H_
