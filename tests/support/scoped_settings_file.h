// A settings file of the test's own: writes the given TOML text to a
// temporary file and points USERPOLICY_SETTINGS at it while alive.
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

  // Replaces the file's text.
  void Rewrite(const std::string& toml);
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A settings file holding only the [DirectoryAccess.DEFAULT] table with the
// given lines.
class ScopedDirectorySettings : public ScopedSettingsFile {
 public:
  explicit ScopedDirectorySettings(const std::string& table_lines)
      : ScopedSettingsFile(kTableHeader + table_lines) {}
  void Rewrite(const std::string& table_lines) { ScopedSettingsFile::Rewrite(kTableHeader + table_lines); }

 private:
  static constexpr char kTableHeader[] = "[DirectoryAccess.DEFAULT]\n";
};

// The [DirectoryAccess.DEFAULT] table that makes the library read `server`
// ("host:port") as the Global Catalog, bound as `bind_dn` with the password
// in `password_file`; `extra` lines are appended to the table.
std::string DirectorySettings(const std::string& server, const std::string& bind_dn,
                              const std::string& password_file, const std::string& extra = "");

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_SCOPED_SETTINGS_FILE_H_
