// SetEnvironment of tests/support/scoped_environment.h on Windows: the C
// runtime's _putenv_s, which updates its own copy (what std::getenv reads)
// and the process's environment; an empty value removes the name.
#include <stdlib.h>

#include "tests/support/scoped_environment.h"

namespace userpolicy::testing {

void SetEnvironment(const std::string& name, const std::optional<std::string>& value) {
  _putenv_s(name.c_str(), value ? value->c_str() : "");
}

}  // namespace userpolicy::testing
