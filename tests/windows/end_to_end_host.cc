// The end-to-end host of the Windows build: a program that loads
// userpolicy.dll as the service does (linked with its import library), starts
// the module through IPC_SERVER_Init against the directory the settings
// name, resolves every SIP address of the file given as its argument (one a
// line), reads its own counters and stops; it prints what
// tests/support/module_answers.h describes, one answer a line, for the Linux
// driver (tests/windows_under_wine_test.cc) to compare with the Linux build.
//
//   end_to_end_host.exe SIP_LIST_FILE
// Exit code 0 when it could read the list, 2 otherwise.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/module_answers.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: end_to_end_host SIP_LIST_FILE\n");
    return 2;
  }
  std::ifstream list(argv[1]);
  if (!list) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 2;
  }
  std::vector<std::string> sips;
  for (std::string line; std::getline(list, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) sips.push_back(line);
  }
  const int pid = static_cast<int>(GetCurrentProcessId());
  for (const std::string& answer : userpolicy::testing::ModuleAnswers(sips, pid)) std::printf("%s\n", answer.c_str());
  return 0;
}
