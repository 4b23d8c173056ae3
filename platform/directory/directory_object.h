// The data one read of the directory produced: an object's distinguished
// name and its attributes in the server's order, values already typed.
// Immutable once built; shared between the result classes of
// platform/directory.h through std::shared_ptr<const DirectoryObject>.
#ifndef USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_OBJECT_H_
#define USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_OBJECT_H_

#include <string>
#include <vector>

#include "platform/com.h"

namespace directory {

struct DirectoryAttribute {
  std::wstring name;                // as the caller asked for it
  std::vector<_variant_t> values;   // every value, in the server's order
};

struct DirectoryObject {
  std::wstring distinguished_name;
  std::vector<DirectoryAttribute> attributes;
};

}  // namespace directory

#endif  // USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_OBJECT_H_
