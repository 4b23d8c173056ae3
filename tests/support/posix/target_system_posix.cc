#include "tests/support/target_system.h"

namespace userpolicy::testing {

bool OnWindows() { return false; }

}  // namespace userpolicy::testing
