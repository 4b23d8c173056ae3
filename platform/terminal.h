// Whether a standard stream of the process is an interactive terminal that
// draws text in place (a carriage return and the "erase to the end of the
// line" control sequence, ESC [ K), for programs that show progress only to
// a person watching.
//
//   if (platform::IsInteractiveTerminal(platform::StandardStream::kError)) ...
//
// On POSIX systems that is isatty() of the stream's descriptor. On Windows
// it is a console (GetConsoleMode succeeds on the stream's handle) whose
// virtual terminal processing is on: the call switches it on for that
// console and answers false when the console cannot interpret control
// sequences (before Windows 10). A redirected stream (a file, a pipe, the
// NUL device) is never a terminal.
//
// This facility belongs to programs, not to the library: it is compiled
// into the programs that use it (tools/), not into the shared library.
//
// Thread safety: thread-safe; on Windows, calls for the same console race
// harmlessly (both switch the same mode on).
#ifndef USERPOLICY_PLATFORM_TERMINAL_H_
#define USERPOLICY_PLATFORM_TERMINAL_H_

namespace platform {

enum class StandardStream { kInput, kOutput, kError };

bool IsInteractiveTerminal(StandardStream stream);

}  // namespace platform

#endif  // USERPOLICY_PLATFORM_TERMINAL_H_
