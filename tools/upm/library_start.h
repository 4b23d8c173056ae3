// Starting the library for a command, from upm's options: --config,
// --server, --bind, --keytab, --principal, --log-level (off unless it or
// USERPOLICY_LOG_LEVEL says otherwise: upm reports errors itself),
// --log-file.
#ifndef USERPOLICY_TOOLS_UPM_LIBRARY_START_H_
#define USERPOLICY_TOOLS_UPM_LIBRARY_START_H_

#include <string>

#include "tools/upm/command_line.h"
#include "tools/upm/console.h"
#include "tools/upm/userpolicy_library.h"

namespace upm {

// What up_start gets for `options`; `server`, when not empty, replaces
// --server.
LibraryOptions LibraryOptionsFor(const Options& options, const std::string& server = "");

// 0 when --config (if given) names a file upm can read; else
// kExitConfiguration after writing one line to console.err naming the file
// and why. (A --log-file the library cannot open fails up_start, which
// names it.)
int CheckOptionFiles(const Options& options, Console& console);

// Starts `session`; returns 0, or the exit code after writing one line to
// console.err saying what was wrong (a --config file that cannot be read is
// a configuration error before the library is asked).
int StartLibraryFor(const Options& options, const std::string& server, Console& console, LibrarySession* session);

}  // namespace upm

#endif  // USERPOLICY_TOOLS_UPM_LIBRARY_START_H_
