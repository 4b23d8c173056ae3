// Terminals on POSIX systems: isatty() of the stream's descriptor.
#include <unistd.h>

#include "platform/terminal.h"

namespace platform {

bool IsInteractiveTerminal(StandardStream stream) {
  int descriptor = STDIN_FILENO;
  if (stream == StandardStream::kOutput) descriptor = STDOUT_FILENO;
  if (stream == StandardStream::kError) descriptor = STDERR_FILENO;
  return isatty(descriptor) == 1;
}

}  // namespace platform
