// upm run in this process as the program runs it (RunUpm of
// tools/upm/upm_app.h), with string streams for its console, for the unit
// tests of upm's logic over the test double of the C interface.
#ifndef USERPOLICY_TESTING_UPM_UPM_RUN_H_
#define USERPOLICY_TESTING_UPM_UPM_RUN_H_

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace upm_testing {

struct UpmRun {
  int code = -1;
  std::string out;
  std::string err;
};

// Runs `upm args...` with `input` as its standard input; `terminal` tells
// upm that its standard error is a terminal. One call at a time.
UpmRun Upm(const std::vector<std::string>& args, bool terminal = false, const std::string& input = "");

// Each line of `text` parsed as one JSON document (throws on one that is not).
std::vector<nlohmann::json> JsonLines(const std::string& text);

}  // namespace upm_testing

#endif  // USERPOLICY_TESTING_UPM_UPM_RUN_H_
