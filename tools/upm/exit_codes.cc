#include "tools/upm/exit_codes.h"

#include "capi/userpolicy.h"

namespace upm {

int ExitCodeForStatus(int status) {
  switch (status) {
    case UP_OK:
      return kExitFound;
    case UP_NOT_FOUND:
      return kExitNotFound;
    case UP_INVALID_ARGUMENT:
      return kExitUsage;
    case UP_DIRECTORY_ERROR:
      return kExitUnreachable;
    case UP_CONFIG_ERROR:
      return kExitConfiguration;
    default:
      return kExitInternal;
  }
}

void ExitCodeCombiner::Add(int exit_code) {
  if (exit_code == kExitNotFound) {
    not_found_ = true;
  } else if (exit_code != kExitFound && failure_ == 0) {
    failure_ = exit_code;
  }
}

std::string ExitCodeTable() {
  return "  0  found: every user or object asked for was found (perf, discover: done)\n"
         "  1  not found: at least one user or object asked for is not in the directory\n"
         "  2  usage: bad command line, option value or argument\n"
         "  3  directory unreachable: no Global Catalog answered, or it refused the request\n"
         "  4  configuration error: the settings file or an option value is unusable\n"
         "  5  input error: the --file list cannot be read\n"
         "  6  internal error: the library failed otherwise (the message says how)\n"
         "  In a batch the first failure in input order decides, else 1 if any was not found.\n";
}

}  // namespace upm
