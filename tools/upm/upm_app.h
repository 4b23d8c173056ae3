// upm as a function: parses the command line, runs the command, returns
// the exit code. main() calls it with the process's streams; tests call it
// with their own.
#ifndef USERPOLICY_TOOLS_UPM_UPM_APP_H_
#define USERPOLICY_TOOLS_UPM_UPM_APP_H_

#include "tools/upm/console.h"

namespace upm {

// REQUIRES: argv[0..argc) are valid strings. One call at a time per process.
int RunUpm(int argc, const char* const* argv, Console& console);

}  // namespace upm

#endif  // USERPOLICY_TOOLS_UPM_UPM_APP_H_
