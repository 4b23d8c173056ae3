#include "tests/support/scoped_environment.h"

#include <cstdlib>

namespace userpolicy::testing {

ScopedEnvironment::ScopedEnvironment(const Values& values) {
  for (const auto& [name, value] : values) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
    SetEnvironment(name, value);
  }
}

ScopedEnvironment::~ScopedEnvironment() {
  // Backwards, so that a name given twice ends as it began.
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) SetEnvironment(it->first, it->second);
}

}  // namespace userpolicy::testing
