// upm: the command-line host of the userpolicy library (see upm(1) and
// `upm --help`).
#include <unistd.h>

#include <iostream>

#include "tools/upm/upm_app.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  upm::Console console{std::cout, std::cerr, std::cin, isatty(STDERR_FILENO) == 1};
  return upm::RunUpm(argc, argv, console);
}
