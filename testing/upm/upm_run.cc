#include "testing/upm/upm_run.h"

#include <sstream>

#include "tools/upm/upm_app.h"

namespace upm_testing {

UpmRun Upm(const std::vector<std::string>& args, bool terminal, const std::string& input) {
  std::vector<const char*> argv = {"upm"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  std::ostringstream out, err;
  std::istringstream in(input);
  upm::Console console{out, err, in, terminal};
  UpmRun run;
  run.code = upm::RunUpm(static_cast<int>(argv.size()), argv.data(), console);
  run.out = out.str();
  run.err = err.str();
  return run;
}

std::vector<nlohmann::json> JsonLines(const std::string& text) {
  std::vector<nlohmann::json> documents;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) documents.push_back(nlohmann::json::parse(line));
  return documents;
}

}  // namespace upm_testing
