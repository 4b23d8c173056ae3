#include "tests/support/schema_typing.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <regex>
#include <string_view>

#include "platform/directory/directory_config.h"
#include "platform/directory/ldap_connection_pool.h"
#include "platform/directory/ldap_failover.h"
#include "platform/directory/ldap_schema_reader.h"
#include "platform/directory/ldap_server_settings.h"
#include "platform/directory/ldap_value_typing.h"
#include "testing/ldap_operations.h"

namespace userpolicy::testing {
namespace {

namespace ldap = platform::ldap;
namespace internal = directory::ldap_backend_internal;

std::atomic<int> g_searches{0};

ldap::Status CountingSearch(ldap::NativeSession* session, const ldap::SearchRequest& request, int* id) {
  ++g_searches;
  return ldap::testing::DefaultOperations().search(session, request, id);
}

const char* KindName(const internal::Schema::Type* type) {
  switch (type == nullptr ? internal::ValueKind::kUnknown : type->kind) {
    case internal::ValueKind::kUnknown:
      return "unknown";
    case internal::ValueKind::kText:
      return "text";
    case internal::ValueKind::kInteger:
      return "integer";
    case internal::ValueKind::kLargeInteger:
      return "large integer";
    case internal::ValueKind::kBoolean:
      return "Boolean";
    case internal::ValueKind::kBytes:
      return "bytes";
  }
  return "?";
}

}  // namespace

std::vector<std::string> NamesOfDescriptions(const std::vector<std::string>& descriptions) {
  static const std::regex kNames(R"(NAME\s+(?:'([^']+)'|\(([^)]*)\)))");
  static const std::regex kQuoted(R"('([^']+)')");
  std::vector<std::string> names;
  for (const std::string& description : descriptions) {
    std::smatch match;
    if (!std::regex_search(description, match, kNames)) continue;
    if (match[1].matched) {
      names.push_back(match[1]);
      continue;
    }
    const std::string list = match[2];
    for (auto it = std::sregex_iterator(list.begin(), list.end(), kQuoted); it != std::sregex_iterator(); ++it) {
      names.push_back((*it)[1]);
    }
  }
  return names;
}

OnDemandTyping CompareOnDemandTyping(const ServerAccess& server, const std::vector<std::string>& whole,
                                     const std::vector<std::string>& names) {
  OnDemandTyping result;
  directory::DirectoryConfig config;
  config.global_catalog_servers = {platform::Utf8ToWide(server.host_port)};
  config.bind_dn = platform::Utf8ToWide(server.bind_dn);
  config.password_file = server.password_file;
  const std::shared_ptr<const internal::Settings> settings = internal::MakeSettings(config);
  const internal::ServerSpec configured = *internal::ParseServerSpec(config.global_catalog_servers.front());
  const internal::Endpoint endpoint =
      internal::MakeEndpoint(configured.host, settings->PortFor(configured, directory::DirectoryPath::Scheme::kGlobalCatalog),
                             false);
  auto pool = std::make_shared<internal::ConnectionPool>(endpoint, settings);
  internal::Lease lease(pool);
  const std::atomic<uint64_t> failures{0};
  ldap::Connection& connection = lease.Acquire(internal::Clock::now() + std::chrono::seconds(10), failures, 0);
  internal::ServerState state;
  const internal::Session session{&connection, &state, &endpoint, settings.get()};

  ldap::Operations counting = ldap::testing::DefaultOperations();
  counting.search = &CountingSearch;
  std::shared_ptr<const internal::Schema> on_demand;
  {
    ldap::testing::ScopedOperations count(counting);
    g_searches = 0;
    on_demand = internal::SchemaCovering(session, std::vector<std::string_view>(names.begin(), names.end()));
    result.searches = g_searches;
  }
  const std::shared_ptr<const internal::Schema> reference = internal::Schema::Parse(whole);
  result.types_read = on_demand->size();
  for (const std::string& name : names) {
    const char* read = KindName(on_demand->Find(name));
    const char* expected = KindName(reference->Find(name));
    if (std::string_view(read) != expected) {
      result.differences.push_back(name + ": on demand " + read + ", whole " + expected);
    }
  }
  return result;
}

}  // namespace userpolicy::testing
