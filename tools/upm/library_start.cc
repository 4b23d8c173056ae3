#include "tools/upm/library_start.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "tools/upm/exit_codes.h"

namespace upm {

LibraryOptions LibraryOptionsFor(const Options& options, const std::string& server) {
  LibraryOptions library;
  library.settings_file = options.config;
  library.server = server.empty() ? options.server : server;
  library.log_level = options.log_level;
  if (library.log_level.empty() && std::getenv("USERPOLICY_LOG_LEVEL") == nullptr) library.log_level = "off";
  library.log_file = options.log_file;
  library.bind_method = options.bind;
  library.keytab = options.keytab;
  library.principal = options.principal;
  return library;
}

int CheckOptionFiles(const Options& options, Console& console) {
  if (!options.config.empty() && !std::ifstream(options.config)) {
    console.err << "upm: cannot read settings file " << options.config << ": " << std::strerror(errno) << "\n";
    return kExitConfiguration;
  }
  return kExitFound;
}

int StartLibraryFor(const Options& options, const std::string& server, Console& console, LibrarySession* session) {
  if (const int code = CheckOptionFiles(options, console); code != kExitFound) return code;
  CallError error;
  const int status = session->Start(LibraryOptionsFor(options, server), &error);
  if (status == UP_OK) return kExitFound;
  console.err << "upm: " << error.message << "\n";
  // A library that cannot start was not found, whatever it says.
  return status == UP_NOT_FOUND ? kExitInternal : ExitCodeForStatus(status);
}

}  // namespace upm
