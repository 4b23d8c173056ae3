#include "tests/support/run_all_tests.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/log.h"

namespace userpolicy::testing {

// Failure lines of the code under test would flood the output of tests that
// provoke failures on purpose, so the log is off unless USERPOLICY_LOG_LEVEL
// asks for it; tests that check log lines capture them
// (testing/log_capture.h) whatever the threshold.
int RunAllTests(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (std::getenv("USERPOLICY_LOG_LEVEL") == nullptr) {
    DBG::LogOptions options = DBG::GetOptions();
    options.threshold = DBG::Severity::kOff;
    DBG::Configure(options);
  }
  return RUN_ALL_TESTS();
}

}  // namespace userpolicy::testing
