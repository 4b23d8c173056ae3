// Parsed directory paths: GC://host[:port][/<DN> | /<GUID=hex>] and the
// same with LDAP://. See platform/directory.h for the forms.
#ifndef USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_PATH_H_
#define USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_PATH_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace directory {

struct DirectoryPath {
  enum class Scheme { kGlobalCatalog, kLdap };
  enum class Kind { kRoot, kDistinguishedName, kGuid };

  // Default ports when the path names none.
  static constexpr int kGlobalCatalogPort = 3268;
  static constexpr int kLdapPort = 389;

  Scheme scheme = Scheme::kGlobalCatalog;
  std::wstring host;  // empty: use the configured servers
  int port = 0;       // 0: the scheme's default
  Kind kind = Kind::kRoot;
  std::wstring dn;                 // kDistinguishedName: as written (escapes kept)
  std::array<uint8_t, 16> guid{};  // kGuid: the bytes in objectGUID order

  // Parses `text`; raises CDirectoryException kDirectoryInvalidPath naming
  // the path when it is not one of the accepted forms.
  static DirectoryPath Parse(std::wstring_view text);
  // The same without raising or logging: nullopt for text that is not a
  // path, with *reason (when not null) saying why.
  static std::optional<DirectoryPath> TryParse(std::wstring_view text, std::wstring_view* reason = nullptr);
  // Parses a server as the settings name one: "host", "host:port", "[v6]"
  // or "[v6]:port", exactly the host[:port] of a path (so a server that is
  // accepted here is accepted in a path, and the reverse). Returns a GC root
  // path with that host and port, or nullopt for anything else; logs
  // nothing and raises nothing.
  static std::optional<DirectoryPath> ParseServer(std::wstring_view text);

  // "host:port" with the default port filled in; empty host stays empty.
  std::wstring Server() const;
  // The path in canonical text form (scheme, host[:port], object part).
  std::wstring ToString() const;
  int EffectivePort() const;
};

}  // namespace directory

#endif  // USERPOLICY_PLATFORM_DIRECTORY_DIRECTORY_PATH_H_
