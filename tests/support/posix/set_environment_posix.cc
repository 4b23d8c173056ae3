// SetEnvironment of tests/support/scoped_environment.h on POSIX systems.
#include <stdlib.h>

#include "tests/support/scoped_environment.h"

namespace userpolicy::testing {

void SetEnvironment(const std::string& name, const std::optional<std::string>& value) {
  value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
}

}  // namespace userpolicy::testing
