// A settings file of the test's own: the given TOML text in a temporary
// file that USERPOLICY_SETTINGS points at while the object lives.
#ifndef USERPOLICY_TESTS_SUPPORT_SCOPED_SETTINGS_FILE_H_
#define USERPOLICY_TESTS_SUPPORT_SCOPED_SETTINGS_FILE_H_

#include <string>

namespace userpolicy::testing {

class ScopedSettingsFile {
 public:
  explicit ScopedSettingsFile(const std::string& toml);
  ~ScopedSettingsFile();
  ScopedSettingsFile(const ScopedSettingsFile&) = delete;
  ScopedSettingsFile& operator=(const ScopedSettingsFile&) = delete;

  void Rewrite(const std::string& toml);
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The [DirectoryAccess.DEFAULT] table reading `server` ("host:port") as the
// Global Catalog, bound as `bind_dn` with the password in `password_file`,
// keeping no attribute types between processes (each test's backend reads
// them from the server).
std::string DirectorySettings(const std::string& server, const std::string& bind_dn,
                              const std::string& password_file);

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_SCOPED_SETTINGS_FILE_H_
