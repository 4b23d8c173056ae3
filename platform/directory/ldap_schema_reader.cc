#include "platform/directory/ldap_schema_reader.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "platform/ascii.h"
#include "platform/clock.h"
#include "platform/directory/ldap_failover.h"
#include "platform/directory/ldap_schema_cache.h"
#include "platform/log.h"
#include "platform/sync.h"
#include "platform/utf8.h"

namespace directory::ldap_backend_internal {
namespace {

constexpr char kSource[] = "ldap_backend";

constexpr char kSubschemaSubentry[] = "subschemaSubentry";
constexpr char kSchemaNamingContext[] = "schemaNamingContext";
constexpr char kSupportedControl[] = "supportedControl";
constexpr char kAttributeTypes[] = "attributeTypes";
constexpr char kSubschemaFilter[] = "(objectClass=subschema)";
// The attributeSchema objects of Active Directory and what they say.
constexpr char kLdapDisplayName[] = "lDAPDisplayName";
constexpr char kAttributeId[] = "attributeID";
constexpr char kAttributeSyntax[] = "attributeSyntax";
constexpr char kOmSyntax[] = "oMSyntax";

// Names asked about in one search, so that a filter or control stays far
// below any server's size limits.
constexpr size_t kNamesPerSearch = 64;
// Rounds of superiors read for types that inherit their syntax (a chain
// longer than this is typed by content, as a broken one is).
constexpr int kMaxSuperiorRounds = 8;

// BER tags of a values return filter.
constexpr uint8_t kBerSequence = 0x30;
constexpr uint8_t kBerOctetString = 0x04;
constexpr uint8_t kBerEqualityMatch = 0xa3;  // [3] constructed
constexpr size_t kBerShortLengthLimit = 0x80;

// Active Directory's LDAP syntax of each attributeSyntax, by oMSyntax where
// that decides ("" matches any).
struct SyntaxRow {
  std::string_view attribute_syntax;
  std::string_view om_syntax;
  std::string_view ldap_syntax;
};
constexpr SyntaxRow kActiveDirectorySyntaxes[] = {
    {"2.5.5.1", "", "1.3.6.1.4.1.1466.115.121.1.12"},         // DN
    {"2.5.5.2", "", "1.3.6.1.4.1.1466.115.121.1.38"},         // OID
    {"2.5.5.3", "", "1.2.840.113556.1.4.1362"},               // case-sensitive string
    {"2.5.5.4", "", "1.2.840.113556.1.4.905"},                // teletex string
    {"2.5.5.5", "22", "1.3.6.1.4.1.1466.115.121.1.26"},       // IA5 string
    {"2.5.5.5", "", "1.3.6.1.4.1.1466.115.121.1.44"},         // printable string
    {"2.5.5.6", "", "1.3.6.1.4.1.1466.115.121.1.36"},         // numeric string
    {"2.5.5.7", "", "1.2.840.113556.1.4.903"},                // DN with binary
    {"2.5.5.8", "", "1.3.6.1.4.1.1466.115.121.1.7"},          // Boolean
    {"2.5.5.9", "", "1.3.6.1.4.1.1466.115.121.1.27"},         // INTEGER, enumeration
    {"2.5.5.10", "", "1.3.6.1.4.1.1466.115.121.1.40"},        // octet string
    {"2.5.5.11", "23", "1.3.6.1.4.1.1466.115.121.1.53"},      // UTC time
    {"2.5.5.11", "", "1.3.6.1.4.1.1466.115.121.1.24"},        // generalized time
    {"2.5.5.12", "", "1.3.6.1.4.1.1466.115.121.1.15"},        // Unicode string
    {"2.5.5.13", "", "1.3.6.1.4.1.1466.115.121.1.43"},        // presentation address
    {"2.5.5.14", "", "1.2.840.113556.1.4.904"},               // DN with string
    {"2.5.5.15", "", "1.2.840.113556.1.4.907"},               // security descriptor
    {"2.5.5.16", "", "1.2.840.113556.1.4.906"},               // large integer
    {"2.5.5.17", "", "1.3.6.1.4.1.1466.115.121.1.40"},        // SID
};

void AppendBerLength(std::string* out, size_t length) {
  if (length < kBerShortLengthLimit) {
    out->push_back(static_cast<char>(length));
    return;
  }
  std::string bytes;
  for (; length != 0; length >>= 8) bytes.insert(bytes.begin(), static_cast<char>(length & 0xff));
  out->push_back(static_cast<char>(kBerShortLengthLimit | bytes.size()));
  *out += bytes;
}

void AppendBer(std::string* out, uint8_t tag, std::string_view content) {
  out->push_back(static_cast<char>(tag));
  AppendBerLength(out, content.size());
  out->append(content);
}

bool IsNumericOid(std::string_view name) {
  if (name.empty() || name.front() == '.' || name.back() == '.') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c == '.') {
      if (name[i - 1] == '.') return false;
    } else if (c < '0' || c > '9') {
      return false;
    }
  }
  return true;
}

// The first value of `name` in `entry`, or "".
std::string FirstValue(const ldap::Entry& entry, std::string_view name) {
  for (const ldap::Attribute& attribute : entry.attributes) {
    if (platform::EqualsIgnoringAsciiCase(attribute.name, name) && !attribute.values.empty()) {
      return attribute.values.front();
    }
  }
  return "";
}

// The rootDSE's word on where the server's schema is.
SchemaSource ReadSchemaSource(const Session& session) {
  std::vector<ldap::Entry> root;
  const ldap::Status status =
      session.Search(session.Request("", ldap::Scope::kBase, kAnyObjectFilter,
                                     {kSubschemaSubentry, kSchemaNamingContext, kSupportedControl}, 1),
                     &root, L"read rootDSE", L"");
  SchemaSource source;
  source.kind = SchemaSource::Kind::kNone;
  if (!status.ok() || root.empty()) {
    DBG::DebugLogEx(nullptr, DBG::kLevelWarning, kSource, __LINE__,
                    L"cannot read the schema of %s (%S); values are typed by their content",
                    session.endpoint->name.c_str(), status.ok() ? "no rootDSE" : status.text.c_str());
    return source;
  }
  const ldap::Entry& entry = root.front();
  bool filters_values = false;
  for (const ldap::Attribute& attribute : entry.attributes) {
    if (!platform::EqualsIgnoringAsciiCase(attribute.name, kSupportedControl)) continue;
    filters_values = std::find(attribute.values.begin(), attribute.values.end(), kValuesReturnFilterOid) !=
                     attribute.values.end();
  }
  const std::string naming_context = FirstValue(entry, kSchemaNamingContext);
  const std::string subschema = FirstValue(entry, kSubschemaSubentry);
  if (!naming_context.empty()) {
    source = {SchemaSource::Kind::kSchemaObjects, naming_context};
  } else if (!subschema.empty()) {
    source = {filters_values ? SchemaSource::Kind::kFilteredSubschema : SchemaSource::Kind::kWholeSubschema, subschema};
  } else {
    DBG::DebugLogEx(nullptr, DBG::kLevelWarning, kSource, __LINE__,
                    L"cannot read the schema of %s (no subschema entry); values are typed by their content",
                    session.endpoint->name.c_str());
  }
  return source;
}

// Appends to *descriptions the definitions of `names` (attribute type
// names, none covered yet) that the server keeps as `source` says. False
// when the server refused.
bool ReadDefinitions(const Session& session, const SchemaSource& source, const std::vector<std::string>& names,
                     std::vector<std::string>* descriptions) {
  const std::wstring target = platform::Utf8ToWide(source.dn);
  for (size_t first = 0; first < names.size(); first += kNamesPerSearch) {
    const std::vector<std::string> chunk(names.begin() + static_cast<ptrdiff_t>(first),
                                         names.begin() + static_cast<ptrdiff_t>(std::min(first + kNamesPerSearch,
                                                                                         names.size())));
    std::vector<ldap::Entry> entries;
    ldap::Status status;
    if (source.kind == SchemaSource::Kind::kSchemaObjects) {
      std::string filter = "(&(objectClass=attributeSchema)(|";
      for (const std::string& name : chunk) {
        filter += std::string("(") + (IsNumericOid(name) ? kAttributeId : kLdapDisplayName) + "=" + name + ")";
      }
      filter += "))";
      status = session.Search(
          session.Request(source.dn, ldap::Scope::kOneLevel, filter,
                          {kLdapDisplayName, kAttributeId, kAttributeSyntax, kOmSyntax}, 0),
          &entries, L"read schema", target);
      if (!status.ok()) return false;
      for (const ldap::Entry& entry : entries) {
        const std::string name = FirstValue(entry, kLdapDisplayName);
        const std::string oid = FirstValue(entry, kAttributeId);
        if (name.empty() || oid.empty()) continue;
        descriptions->push_back(DescriptionOfSchemaObject(oid, name, FirstValue(entry, kAttributeSyntax),
                                                          FirstValue(entry, kOmSyntax)));
      }
    } else {
      ldap::SearchRequest request = session.Request(source.dn, ldap::Scope::kBase, kSubschemaFilter, {kAttributeTypes}, 1);
      request.controls.push_back({kValuesReturnFilterOid, EncodeValuesReturnFilter(kAttributeTypes, chunk), false});
      status = session.Search(request, &entries, L"read schema", target);
      if (!status.ok()) return false;
      for (const ldap::Entry& entry : entries) {
        for (const ldap::Attribute& attribute : entry.attributes) {
          if (!platform::EqualsIgnoringAsciiCase(attribute.name, kAttributeTypes)) continue;
          descriptions->insert(descriptions->end(), attribute.values.begin(), attribute.values.end());
        }
      }
    }
  }
  return true;
}

// The whole attributeTypes of the subschema entry `source.dn`; null when the
// server refused.
std::shared_ptr<const Schema> ReadWholeSubschema(const Session& session, const SchemaSource& source) {
  std::vector<ldap::Entry> entries;
  const ldap::Status status =
      session.Search(session.Request(source.dn, ldap::Scope::kBase, kSubschemaFilter, {kAttributeTypes}, 1), &entries,
                     L"read schema", platform::Utf8ToWide(source.dn));
  if (!status.ok() || entries.empty()) return nullptr;
  for (const ldap::Attribute& attribute : entries.front().attributes) {
    if (platform::EqualsIgnoringAsciiCase(attribute.name, kAttributeTypes)) return Schema::Parse(attribute.values);
  }
  return nullptr;
}

// Records the definitions of `schema`, the server's, in the schema cache
// file, if there is one, as read at *read_at (now, when 0; it is then set).
// A file that cannot be written is no error: later processes read the
// definitions from the server again.
void KeepForLaterProcesses(const Session& session, const Schema& schema, int64_t* read_at) {
  const std::string& cache_file = session.settings->config.schema_cache_file;
  if (cache_file.empty()) return;
  if (*read_at == 0) *read_at = _time64(nullptr);
  std::string error;
  if (!StoreCachedDefinitions(cache_file,
                              {platform::WideToUtf8(session.endpoint->name), *read_at, schema.descriptions()},
                              &error) &&
      DBG::IsEnabled(DBG::kLevelData)) {
    DBG::DebugLogEx(nullptr, DBG::kLevelData, kSource, __LINE__,
                    L"the attribute types of %s are not kept for later processes: %S",
                    session.endpoint->name.c_str(), error.c_str());
  }
}

}  // namespace

bool IsAttributeTypeName(std::string_view name) {
  if (name.empty()) return false;
  if (IsNumericOid(name)) return true;
  const char first = name.front();
  if (!platform::IsAsciiAlphanumeric(first) || (first >= '0' && first <= '9')) return false;
  return std::all_of(name.begin(), name.end(), [](char c) { return platform::IsAsciiAlphanumeric(c) || c == '-'; });
}

std::string EncodeValuesReturnFilter(std::string_view attribute, const std::vector<std::string>& assertions) {
  std::string items;
  for (const std::string& assertion : assertions) {
    std::string pair;
    AppendBer(&pair, kBerOctetString, attribute);
    AppendBer(&pair, kBerOctetString, assertion);
    AppendBer(&items, kBerEqualityMatch, pair);
  }
  std::string value;
  AppendBer(&value, kBerSequence, items);
  return value;
}

std::string_view LdapSyntaxOf(std::string_view attribute_syntax, std::string_view om_syntax) {
  for (const SyntaxRow& row : kActiveDirectorySyntaxes) {
    if (row.attribute_syntax == attribute_syntax && (row.om_syntax.empty() || row.om_syntax == om_syntax)) {
      return row.ldap_syntax;
    }
  }
  return attribute_syntax;
}

std::string DescriptionOfSchemaObject(std::string_view oid, std::string_view name, std::string_view attribute_syntax,
                                      std::string_view om_syntax) {
  std::string description = "( ";
  description.append(oid);
  description += " NAME '";
  description.append(name);
  description += "'";
  const std::string_view syntax = LdapSyntaxOf(attribute_syntax, om_syntax);
  if (!syntax.empty()) {
    description += " SYNTAX ";
    description.append(syntax);
  }
  description += " )";
  return description;
}

std::shared_ptr<const Schema> SchemaCovering(const Session& session, const std::vector<std::string_view>& names) {
  ServerState& state = *session.server;
  const auto covers_all = [&names](const std::shared_ptr<const Schema>& schema) {
    return schema != nullptr && std::all_of(names.begin(), names.end(),
                                            [&schema](std::string_view name) { return schema->Covers(name); });
  };
  {
    platform::MutexLock lock(&state.mu);
    if (covers_all(state.schema)) return state.schema;
  }
  platform::MutexLock loading(&state.schema_load_mu);
  std::shared_ptr<const Schema> schema;
  {
    platform::MutexLock lock(&state.mu);
    schema = state.schema;
  }
  if (covers_all(schema)) return schema;
  const std::string& cache_file = session.settings->config.schema_cache_file;
  if (schema == nullptr && !cache_file.empty()) {
    // First contact in this process: what an earlier one read, if recent.
    if (std::optional<CachedDefinitions> cached =
            LoadCachedDefinitions(cache_file, platform::WideToUtf8(session.endpoint->name), _time64(nullptr))) {
      schema = Schema::Empty()->Extended(cached->descriptions, {});
      state.schema_read_at = cached->read_at;
      if (DBG::IsEnabled(DBG::kLevelData)) {
        DBG::DebugLogEx(nullptr, DBG::kLevelData, kSource, __LINE__, L"took %I64d attribute types of %s from %S",
                        static_cast<long long>(schema->size()), session.endpoint->name.c_str(), cache_file.c_str());
      }
      if (covers_all(schema)) {
        platform::MutexLock lock(&state.mu);
        state.schema = schema;
        return schema;
      }
    }
  }
  if (state.schema_source.kind == SchemaSource::Kind::kUnread) state.schema_source = ReadSchemaSource(session);
  const SchemaSource source = state.schema_source;
  if (schema == nullptr) schema = Schema::Empty();

  if (source.kind == SchemaSource::Kind::kNone) {
    schema = Schema::Parse({});
  } else if (source.kind == SchemaSource::Kind::kWholeSubschema) {
    schema = ReadWholeSubschema(session, source);
    if (schema == nullptr) {
      DBG::DebugLogEx(nullptr, DBG::kLevelWarning, kSource, __LINE__,
                      L"cannot read the schema of %s; values are typed by their content",
                      session.endpoint->name.c_str());
      schema = Schema::Parse({});
    } else if (DBG::IsEnabled(DBG::kLevelData)) {
      DBG::DebugLogEx(nullptr, DBG::kLevelData, kSource, __LINE__, L"read %I64d attribute types from %s",
                      static_cast<long long>(schema->size()), session.endpoint->name.c_str());
    }
  } else {
    std::vector<std::string> wanted;
    std::vector<std::string> undefined;
    for (std::string_view name : names) {
      if (schema->Covers(name)) continue;
      std::vector<std::string>& list = IsAttributeTypeName(name) ? wanted : undefined;
      if (std::none_of(list.begin(), list.end(),
                       [name](const std::string& known) { return platform::EqualsIgnoringAsciiCase(known, name); })) {
        list.emplace_back(name);
      }
    }
    const size_t before = schema->size();
    for (int round = 0; !wanted.empty() && round < kMaxSuperiorRounds; ++round) {
      std::vector<std::string> descriptions;
      if (!ReadDefinitions(session, source, wanted, &descriptions)) {
        DBG::DebugLogEx(nullptr, DBG::kLevelWarning, kSource, __LINE__,
                        L"cannot read the definitions of %I64d attribute types from %s; their values are typed by "
                        L"their content",
                        static_cast<long long>(wanted.size()), session.endpoint->name.c_str());
        descriptions.clear();
      }
      // Names the definitions read do not define are not the server's.
      const std::shared_ptr<const Schema> read = Schema::Parse(descriptions);
      for (const std::string& name : wanted) {
        if (read->Find(name) == nullptr) undefined.push_back(name);
      }
      schema = schema->Extended(descriptions, undefined);
      undefined.clear();
      wanted = schema->MissingSuperiors();
    }
    if (DBG::IsEnabled(DBG::kLevelData)) {
      DBG::DebugLogEx(nullptr, DBG::kLevelData, kSource, __LINE__, L"read %I64d attribute types from %s",
                      static_cast<long long>(schema->size() - before), session.endpoint->name.c_str());
    }
    if (schema->size() > before) KeepForLaterProcesses(session, *schema, &state.schema_read_at);
  }
  platform::MutexLock lock(&state.mu);
  state.schema = schema;
  return schema;
}

}  // namespace directory::ldap_backend_internal
