// Environment variables of the test's own: set or unset while the object
// lives, then restored to what they were.  Change the environment only while
// no other thread reads it.
#ifndef USERPOLICY_TESTS_SUPPORT_SCOPED_ENVIRONMENT_H_
#define USERPOLICY_TESTS_SUPPORT_SCOPED_ENVIRONMENT_H_

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace userpolicy::testing {

// Sets `name` to `value` in the environment of the process (std::getenv and
// the C runtime see it), or unsets it when `value` is std::nullopt. The one
// function of the test support written per system
// (tests/support/posix/set_environment_posix.cc,
// tests/support/win/set_environment_win.cc).
void SetEnvironment(const std::string& name, const std::optional<std::string>& value);

class ScopedEnvironment {
 public:
  // Each name gets its value; std::nullopt unsets it.
  using Values = std::vector<std::pair<std::string, std::optional<std::string>>>;

  explicit ScopedEnvironment(const Values& values);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  Values saved_;
};

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_SCOPED_ENVIRONMENT_H_
