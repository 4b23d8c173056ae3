// Attribute type definitions kept between processes, so that a process
// that talks to a server another process read definitions from types its
// values without asking the server again.
// Internal to the LDAP backend (ldap_backend.h): included only by the
// backend's own .cc files and their tests.
//
// The file (SchemaCacheFile, directory_config.h) holds, for each of the
// most recently read servers, the definitions read from it (as the schema
// reader keeps them: ldap_schema_reader.h) and when they were first read.
// Definitions older than kSchemaCacheMaxAge are not used, so a changed
// schema reaches every process within that time; names a server does not
// define are not kept (a schema extension may define them). The file is
// text, one line per server and per definition:
//
//   userpolicy attribute types 1
//   server gc1.example.test:3268 1796601600
//   type ( 1.2.840.113556.1.4.2 NAME 'objectGUID' SYNTAX 1.3.6.1.4.1.1466.115.121.1.40 )
//
// A file that does not have this shape, is too large, or is not private
// (platform/private_file.h) is ignored as a whole, and replaced at the next
// store.
//
// Thread safety: the functions may be called from any thread; the stores
// of one process follow each other. Several processes may use one file at
// once: each load sees one whole store, and a store may drop the server
// another process stored at the same moment (it is read again later).
#ifndef USERPOLICY_PLATFORM_DIRECTORY_LDAP_SCHEMA_CACHE_H_
#define USERPOLICY_PLATFORM_DIRECTORY_LDAP_SCHEMA_CACHE_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace directory::ldap_backend_internal {

// How long definitions read from a server are used by later processes.
inline constexpr std::chrono::seconds kSchemaCacheMaxAge = std::chrono::hours(24);
// Servers a file keeps: the most recently read.
inline constexpr size_t kSchemaCacheMaxServers = 32;
// Files larger than this are ignored.
inline constexpr size_t kSchemaCacheMaxBytes = size_t{4} << 20;

// What the file keeps for one server.
struct CachedDefinitions {
  std::string server;    // "host:port", UTF-8
  int64_t read_at = 0;   // seconds since 1970-01-01 UTC
  std::vector<std::string> descriptions;
};

// The definitions `file` keeps for `server` that were read less than
// kSchemaCacheMaxAge before `now` (seconds since 1970); nullopt when there
// are none, or the file is missing, not private or does not parse.
std::optional<CachedDefinitions> LoadCachedDefinitions(const std::string& file, std::string_view server, int64_t now);

// Makes `definitions` what `file` keeps for its server, in place of what it
// kept before, and keeps the kSchemaCacheMaxServers most recently read
// servers. Definitions that span lines are left out. False, with *error
// saying why, when the file could not be replaced.
bool StoreCachedDefinitions(const std::string& file, const CachedDefinitions& definitions, std::string* error);

// The file's text and back; nullopt for text that does not have its shape.
std::string FormatSchemaCache(const std::vector<CachedDefinitions>& servers);
std::optional<std::vector<CachedDefinitions>> ParseSchemaCache(std::string_view text);

}  // namespace directory::ldap_backend_internal

#endif  // USERPOLICY_PLATFORM_DIRECTORY_LDAP_SCHEMA_CACHE_H_
