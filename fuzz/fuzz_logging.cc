#include "fuzz/fuzz_logging.h"

#include <cstdlib>

namespace fuzz {

void LogToDevNull() { setenv("USERPOLICY_LOG", "/dev/null", /*overwrite=*/0); }

}  // namespace fuzz
