// What the shared entry point (test_main.cc) does, for test programs that
// need a main of their own (one that first re-runs itself under
// nss_wrapper, local_directories/nss_wrapper.h): initialises GoogleTest,
// turns the log off unless USERPOLICY_LOG_LEVEL asks for it, and runs
// every test.
#ifndef USERPOLICY_TESTS_SUPPORT_RUN_ALL_TESTS_H_
#define USERPOLICY_TESTS_SUPPORT_RUN_ALL_TESTS_H_

namespace userpolicy::testing {

int RunAllTests(int argc, char** argv);

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_RUN_ALL_TESTS_H_
