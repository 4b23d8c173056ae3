// The text of the file that keeps attribute type definitions between
// processes (platform/directory/ldap_schema_cache.h), as any bytes on disk
// may have it. Properties:
//  - parsing never crashes, and what it accepts starts with the header and
//    names servers without spaces;
//  - what it accepts, written again, reads back as the same servers, times
//    and definitions (so a store never loses what a load found);
//  - the definitions it returns build a schema without crashing, as a
//    backend builds one from them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/directory/ldap_schema_cache.h"
#include "platform/directory/ldap_value_typing.h"

namespace {

using directory::ldap_backend_internal::CachedDefinitions;
using directory::ldap_backend_internal::FormatSchemaCache;
using directory::ldap_backend_internal::ParseSchemaCache;
using directory::ldap_backend_internal::Schema;

bool SameServers(const std::vector<CachedDefinitions>& a, const std::vector<CachedDefinitions>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].server != b[i].server || a[i].read_at != b[i].read_at || a[i].descriptions != b[i].descriptions) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = ParseSchemaCache(text);
  if (!parsed) return 0;
  FUZZ_CHECK(text.substr(0, text.find('\n')) == "userpolicy attribute types 1") << "accepted without the header";
  for (const CachedDefinitions& server : *parsed) {
    FUZZ_CHECK(!server.server.empty() && server.server.find(' ') == std::string::npos) << server.server;
    for (const std::string& description : server.descriptions) {
      FUZZ_CHECK(description.find('\n') == std::string::npos) << description;
    }
    Schema::Empty()->Extended(server.descriptions, {});
  }
  const auto again = ParseSchemaCache(FormatSchemaCache(*parsed));
  FUZZ_CHECK(again && SameServers(*again, *parsed)) << "written again, it reads back otherwise";
  return 0;
}
