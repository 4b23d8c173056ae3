// What the started module answers, as text that two builds of the library
// can be compared by: the end-to-end comparison of the Windows build (a
// host under wine, tests/windows/end_to_end_host.cc) with the Linux build
// (tests/windows_under_wine_test.cc) on the same directory.
//
// Uses the exported interface alone (IPC_SERVER_Init, the two resolution
// helpers, up_get_counters, IPC_SERVER_Deinit) and no narrow _bstr_t
// conversion, so that a host linked with userpolicy.dll alone builds it.
#ifndef USERPOLICY_TESTS_SUPPORT_MODULE_ANSWERS_H_
#define USERPOLICY_TESTS_SUPPORT_MODULE_ANSWERS_H_

#include <functional>
#include <string>
#include <vector>

namespace userpolicy::testing {

// Starts the module, resolves each of `sips` (ASCII) twice (from the
// directory, then from the caches), reads the counters of process
// `own_pid` (the caller's: through their shared memory, as another process
// reads them) and stops the module. One line per answer:
//   start 0
//   guids <sip> <guid> <guid> ...      the GUID list (empty after the sip
//                                      for nobody)
//   email <sip> <ADDRESS>              the address in angle brackets, "-"
//                                      when there is none
//   counter <name> <count>             the counts of the sixteen counters
//                                      (their times differ between runs)
//   stop 0
// A failed step is reported on its line ("start -1", "counters UP_...").
// `while_started`, when given, runs after the counters are read and before
// the module stops (another process reading the counters meanwhile sees
// the same counts); what it appends to the lines comes before "stop".
std::vector<std::string> ModuleAnswers(const std::vector<std::string>& sips, int own_pid,
                                       const std::function<void(std::vector<std::string>*)>& while_started = {});

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_MODULE_ANSWERS_H_
