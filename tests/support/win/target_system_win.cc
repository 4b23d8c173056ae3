#include "tests/support/target_system.h"

namespace userpolicy::testing {

bool OnWindows() { return true; }

}  // namespace userpolicy::testing
