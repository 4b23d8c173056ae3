// `upm discover`.
//
// up_discover takes no options and needs no up_start (which fails when no
// Global Catalog is found: the very case discover is for), so --config,
// --log-level and --log-file reach it through the environment the library
// reads: USERPOLICY_SETTINGS, USERPOLICY_LOG_LEVEL, USERPOLICY_LOG, set for
// the call and restored after it. --server and the bind options (--bind,
// --keytab, --principal), which replace the settings only while the library
// is started, are applied by starting it; the discovery then shows the bind
// they make (method, identity, security strength factor).
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/upm/answer_writer.h"
#include "tools/upm/commands.h"
#include "tools/upm/discovery.h"
#include "tools/upm/exit_codes.h"
#include "tools/upm/library_start.h"

namespace upm {
namespace {

// Sets environment variables and restores them when it goes out of scope.
class ScopedEnvironment {
 public:
  ScopedEnvironment() = default;
  ~ScopedEnvironment() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) {
        setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        unsetenv(it->first.c_str());
      }
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  void Set(const std::string& name, const std::string& value) {
    if (value.empty()) return;
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
    setenv(name.c_str(), value.c_str(), 1);
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace

int RunDiscoverCommand(const Options& options, Console& console) {
  if (const int code = CheckOptionFiles(options, console); code != kExitFound) return code;
  const LibraryOptions library = LibraryOptionsFor(options);
  ScopedEnvironment environment;
  environment.Set("USERPOLICY_SETTINGS", library.settings_file);
  environment.Set("USERPOLICY_LOG_LEVEL", library.log_level);
  environment.Set("USERPOLICY_LOG", library.log_file);
  LibrarySession session;
  const bool binds_otherwise = !options.bind.empty() || !options.keytab.empty() || !options.principal.empty();
  if (!options.server.empty() || binds_otherwise) {
    if (const int code = StartLibraryFor(options, "", console, &session); code != kExitFound) return code;
  }

  const DiscoveryAnswer answer = DiscoverGlobalCatalog();
  if (options.json) {
    MakeJsonWriter(console.out, console.err)->Discovery(answer);
  } else {
    MakeTextWriter(console.out, console.err)->Discovery(answer);
  }
  return answer.outcome == Outcome::kFound ? kExitFound : ExitCodeForStatus(answer.error.status);
}

}  // namespace upm
