// Terminals on Windows: a console handle (GetConsoleMode succeeds) with
// virtual terminal processing switched on. The input side has no such
// mode: a console input handle is a terminal as it is.
#include <windows.h>

#include "platform/terminal.h"

namespace platform {

bool IsInteractiveTerminal(StandardStream stream) {
  DWORD which = STD_INPUT_HANDLE;
  if (stream == StandardStream::kOutput) which = STD_OUTPUT_HANDLE;
  if (stream == StandardStream::kError) which = STD_ERROR_HANDLE;
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  DWORD mode = 0;
  if (!GetConsoleMode(handle, &mode)) return false;  // a file, a pipe or NUL
  if (stream == StandardStream::kInput) return true;
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
  return SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

}  // namespace platform
