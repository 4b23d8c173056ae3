#include "tests/support/scoped_environment.h"

#include <stdlib.h>

namespace userpolicy::testing {
namespace {

void Apply(const std::string& name, const std::optional<std::string>& value) {
  value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
}

}  // namespace

ScopedEnvironment::ScopedEnvironment(const Values& values) {
  for (const auto& [name, value] : values) {
    const char* old = getenv(name.c_str());
    saved_.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
    Apply(name, value);
  }
}

ScopedEnvironment::~ScopedEnvironment() {
  // Backwards, so that a name given twice ends as it began.
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) Apply(it->first, it->second);
}

}  // namespace userpolicy::testing
