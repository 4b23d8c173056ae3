// The end-to-end host of the Windows build: a program that loads
// userpolicy.dll as the service does (linked with its import library), starts
// the module through IPC_SERVER_Init against the directory the settings
// name, resolves every SIP address of the file given as its argument (one a
// line), reads its own counters and stops; it prints what
// tests/support/module_answers.h describes, one answer a line, for the Linux
// driver (tests/windows_under_wine_test.cc) to compare with the Linux build.
//
//   end_to_end_host.exe SIP_LIST_FILE [UPM_EXE]
// With UPM_EXE, while the module is still started, it runs
// `UPM_EXE --json perf --pid <its own id>` and `UPM_EXE --json perf` and
// adds, before the "stop" line, for each
//   upm <arguments> exit <code>
//   upm-out <line>                     each line upm wrote to its stdout
// Exit code 0 when it could read the list, 2 otherwise.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/module_answers.h"

namespace {

// Runs `upm arguments` through the command processor and appends its exit
// code and its standard output as the header describes.
void RunUpm(std::string upm, const std::string& arguments, std::vector<std::string>* lines) {
  for (char& c : upm) {
    if (c == '/') c = '\\';
  }
  const std::string command = "\"" + upm + "\" " + arguments;
  std::vector<std::string> out;
  int exit_code = -1;
  if (FILE* pipe = _popen(command.c_str(), "r")) {
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
      std::string line = buffer;
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      out.push_back("upm-out " + line);
    }
    exit_code = _pclose(pipe);
  }
  lines->push_back("upm " + arguments + " exit " + std::to_string(exit_code));
  lines->insert(lines->end(), out.begin(), out.end());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: end_to_end_host SIP_LIST_FILE [UPM_EXE]\n");
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
  std::function<void(std::vector<std::string>*)> read_by_upm;
  if (argc == 3) {
    const std::string upm = argv[2];
    read_by_upm = [&](std::vector<std::string>* lines) {
      RunUpm(upm, "--json perf --pid " + std::to_string(pid), lines);
      RunUpm(upm, "--json perf", lines);
    };
  }
  for (const std::string& answer : userpolicy::testing::ModuleAnswers(sips, pid, read_by_upm)) {
    std::printf("%s\n", answer.c_str());
  }
  return 0;
}
