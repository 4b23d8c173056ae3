// The streams a upm command reads and writes, and whether stderr is a
// terminal (the batch progress bar is drawn only then). main() passes the
// process's own; tests pass string streams.
#ifndef USERPOLICY_TOOLS_UPM_CONSOLE_H_
#define USERPOLICY_TOOLS_UPM_CONSOLE_H_

#include <istream>
#include <ostream>

namespace upm {

struct Console {
  std::ostream& out;  // answers
  std::ostream& err;  // errors, progress, batch summary
  std::istream& in;   // --file -
  bool err_is_terminal = false;
};

}  // namespace upm

#endif  // USERPOLICY_TOOLS_UPM_CONSOLE_H_
