// upm: the command-line host of the userpolicy library (see upm(1) and
// `upm --help`).
#include <iostream>

#include "platform/terminal.h"
#include "tools/upm/upm_app.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  const bool err_is_terminal = platform::IsInteractiveTerminal(platform::StandardStream::kError);
  upm::Console console{std::cout, std::cerr, std::cin, err_is_terminal};
  return upm::RunUpm(argc, argv, console);
}
