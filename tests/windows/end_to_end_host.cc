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
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/module_answers.h"

namespace {

// Runs `upm arguments` (no command processor: CreateProcess with its
// standard output on a pipe) and appends its exit code and its standard
// output as the header describes; "exit -1" when it could not run (and the
// error as its output).
void RunUpm(std::string upm, const std::string& arguments, std::vector<std::string>* lines) {
  for (char& c : upm) {
    if (c == '/') c = '\\';
  }
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  long exit_code = -1;
  std::string out;
  if (CreatePipe(&read_end, &write_end, &inheritable, 0)) {
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = write_end;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::string command = "\"" + upm + "\" " + arguments;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, &process);
    const DWORD start_error = GetLastError();
    CloseHandle(write_end);  // the child holds its own copy
    if (!started) out = "CreateProcess: error " + std::to_string(start_error) + "\n";
    if (started) {
      char buffer[4096];
      DWORD got = 0;
      while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) out.append(buffer, got);
      WaitForSingleObject(process.hProcess, INFINITE);
      DWORD code = 0;
      if (GetExitCodeProcess(process.hProcess, &code)) exit_code = static_cast<long>(code);
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    }
    CloseHandle(read_end);
  }
  lines->push_back("upm " + arguments + " exit " + std::to_string(exit_code));
  std::istringstream text(out);
  for (std::string line; std::getline(text, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines->push_back("upm-out " + line);
  }
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
    read_by_upm = [upm = std::string(argv[2]), pid](std::vector<std::string>* lines) {
      RunUpm(upm, "--json perf --pid " + std::to_string(pid), lines);
      RunUpm(upm, "--json perf", lines);
    };
  }
  for (const std::string& answer : userpolicy::testing::ModuleAnswers(sips, pid, read_by_upm)) {
    std::printf("%s\n", answer.c_str());
  }
  return 0;
}
