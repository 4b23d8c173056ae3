#include "tests/support/scoped_settings_file.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/settings.h"
#include "tests/support/scoped_environment.h"

namespace userpolicy::testing {

ScopedSettingsFile::ScopedSettingsFile(const std::string& toml) {
  static std::atomic<int> counter{0};
  path_ = (std::filesystem::temp_directory_path() /
           ("userpolicy-settings-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + ".toml"))
              .string();
  Rewrite(toml);
  SetEnvironment(kSettingsPathVariable, path_);
}

ScopedSettingsFile::~ScopedSettingsFile() {
  SetEnvironment(kSettingsPathVariable, std::nullopt);
  std::remove(path_.c_str());
}

void ScopedSettingsFile::Rewrite(const std::string& toml) { std::ofstream(path_, std::ios::trunc) << toml; }

std::string DirectorySettings(const std::string& server, const std::string& bind_dn,
                              const std::string& password_file) {
  return "[DirectoryAccess.DEFAULT]\nGlobalCatalogServers = \"" + server + "\"\nBindDN = \"" + bind_dn +
         "\"\nPasswordFile = \"" + password_file + "\"\nSchemaCacheFile = \"\"\n";
}

}  // namespace userpolicy::testing
