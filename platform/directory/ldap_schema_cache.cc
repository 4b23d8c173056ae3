#include "platform/directory/ldap_schema_cache.h"

#include <algorithm>
#include <utility>

#include "platform/directory/ldap_value_typing.h"
#include "platform/private_file.h"
#include "platform/sync.h"

namespace directory::ldap_backend_internal {
namespace {

constexpr std::string_view kHeader = "userpolicy attribute types 1";
constexpr std::string_view kServerPrefix = "server ";
constexpr std::string_view kTypePrefix = "type ";

bool SpansLines(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// Server names hold no spaces (host:port, [v6]:port).
bool IsServerField(std::string_view text) {
  return !text.empty() && text.find_first_of(" \t\r\n") == std::string_view::npos;
}

std::optional<std::vector<CachedDefinitions>> ReadFile(const std::string& file) {
  std::string text;
  if (!platform::ReadPrivateFile(file, kSchemaCacheMaxBytes, &text)) return std::nullopt;
  return ParseSchemaCache(text);
}

}  // namespace

std::string FormatSchemaCache(const std::vector<CachedDefinitions>& servers) {
  std::string text(kHeader);
  text += '\n';
  for (const CachedDefinitions& server : servers) {
    if (!IsServerField(server.server)) continue;
    text.append(kServerPrefix);
    text += server.server + " " + std::to_string(server.read_at) + "\n";
    for (const std::string& description : server.descriptions) {
      if (SpansLines(description)) continue;
      text.append(kTypePrefix);
      text += description + "\n";
    }
  }
  return text;
}

std::optional<std::vector<CachedDefinitions>> ParseSchemaCache(std::string_view text) {
  std::vector<CachedDefinitions> servers;
  bool header = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;  // cut short
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (!header) {
      if (line != kHeader) return std::nullopt;
      header = true;
    } else if (line.substr(0, kServerPrefix.size()) == kServerPrefix) {
      const std::string_view rest = line.substr(kServerPrefix.size());
      const size_t space = rest.find(' ');
      if (space == std::string_view::npos || !IsServerField(rest.substr(0, space))) return std::nullopt;
      const std::optional<long long> read_at = ParseInteger(rest.substr(space + 1));
      if (!read_at) return std::nullopt;
      servers.push_back({std::string(rest.substr(0, space)), *read_at, {}});
    } else if (line.substr(0, kTypePrefix.size()) == kTypePrefix && !servers.empty() && !SpansLines(line)) {
      servers.back().descriptions.emplace_back(line.substr(kTypePrefix.size()));
    } else {
      return std::nullopt;
    }
  }
  if (!header) return std::nullopt;
  return servers;
}

std::optional<CachedDefinitions> LoadCachedDefinitions(const std::string& file, std::string_view server, int64_t now) {
  std::optional<std::vector<CachedDefinitions>> servers = ReadFile(file);
  if (!servers) return std::nullopt;
  for (CachedDefinitions& cached : *servers) {
    if (cached.server != server) continue;
    const int64_t age = now - cached.read_at;
    if (age < 0 || age >= kSchemaCacheMaxAge.count() || cached.descriptions.empty()) return std::nullopt;
    return std::move(cached);
  }
  return std::nullopt;
}

bool StoreCachedDefinitions(const std::string& file, const CachedDefinitions& definitions, std::string* error) {
  // Stores of one process follow each other, so that none loses another's
  // server (between processes the last store wins).
  static platform::Mutex store_mu;
  platform::MutexLock lock(&store_mu);
  std::vector<CachedDefinitions> servers = ReadFile(file).value_or(std::vector<CachedDefinitions>{});
  servers.erase(std::remove_if(servers.begin(), servers.end(),
                               [&](const CachedDefinitions& cached) { return cached.server == definitions.server; }),
                servers.end());
  servers.push_back(definitions);
  // The most recently read first; the oldest beyond the limit are dropped.
  std::stable_sort(servers.begin(), servers.end(),
                   [](const CachedDefinitions& a, const CachedDefinitions& b) { return a.read_at > b.read_at; });
  if (servers.size() > kSchemaCacheMaxServers) servers.resize(kSchemaCacheMaxServers);
  return platform::ReplacePrivateFile(file, FormatSchemaCache(servers), error);
}

}  // namespace directory::ldap_backend_internal
