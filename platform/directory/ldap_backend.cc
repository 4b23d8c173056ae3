// LdapBackend: reads objects and searches (DN and <GUID=...> paths, the
// attribute selection of ldap_backend.h), typed by the schema of each server, and
// the Global Catalog discovery calls, on top of its parts:
//   ldap_failover.h           which server, retries and failover (Run)
//   ldap_connection_pool.h    bound connections per server, the bind password
//   ldap_server_settings.h    servers and ports from the DirectoryConfig
//   ldap_request_errors.h     LDAP statuses as failover or CDirectoryException
//   ldap_ranged_attributes.h  attributes returned in ranges
//   ldap_read_ahead.h         the read-ahead of a group walk (read_ahead.h)
//   ldap_schema_reader.h      the definitions of the attributes asked for
//   ldap_value_typing.h       the schema and typed values
#include "platform/directory/ldap_backend.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ascii.h"
#include "platform/com.h"
#include "platform/directory/directory_error.h"
#include "platform/directory/gc_discovery.h"
#include "platform/directory/ldap_failover.h"
#include "platform/directory/ldap_ranged_attributes.h"
#include "platform/directory/ldap_read_ahead.h"
#include "platform/directory/ldap_request_errors.h"
#include "platform/directory/ldap_schema_reader.h"
#include "platform/directory/ldap_server_settings.h"
#include "platform/directory/ldap_value_typing.h"
#include "platform/directory/read_ahead.h"
#include "platform/escaping.h"
#include "platform/exception.h"
#include "platform/hex.h"
#include "platform/ldap_api.h"
#include "platform/log.h"
#include "platform/sync.h"
#include "platform/utf8.h"

namespace directory {
namespace {

using ldap_backend_internal::BaseName;
using ldap_backend_internal::CompleteRange;
using ldap_backend_internal::Endpoint;
using ldap_backend_internal::Failover;
using ldap_backend_internal::kAnyObjectFilter;
using ldap_backend_internal::MakeEndpoint;
using ldap_backend_internal::MakeSettings;
using ldap_backend_internal::ReadAhead;
using ldap_backend_internal::ReadAheadAnswer;
using ldap_backend_internal::ReadAheadStore;
using ldap_backend_internal::RangeEnd;
using ldap_backend_internal::Schema;
using ldap_backend_internal::SchemaCovering;
using ldap_backend_internal::ServerFailure;
using ldap_backend_internal::ServerSpec;
using ldap_backend_internal::ServerState;
using ldap_backend_internal::Session;
using ldap_backend_internal::Settings;
using ldap_backend_internal::TextVariant;
using ldap_backend_internal::ThrowRequestError;
using ldap_backend_internal::ToVariant;
using ldap_backend_internal::ValueKind;
namespace ldap = platform::ldap;

constexpr char kSource[] = "ldap_backend";

constexpr char kNoAttributes[] = "1.1";  // RFC 4511: ask for no attributes
constexpr char kDnsHostName[] = "dnsHostName";
constexpr char kIsGlobalCatalogReady[] = "isGlobalCatalogReady";
constexpr std::string_view kDistinguishedName = "distinguishedname";
constexpr std::string_view kBooleanTrue = "TRUE";
constexpr std::wstring_view kGuidDnPrefix = L"<GUID=";

// Attribute lists ------------------------------------------------------------

// The attributes a caller asked for, in the forms the server and the
// matching need.
struct AttributeRequest {
  const std::vector<std::wstring>& names;    // as the caller spelled them
  std::vector<std::string> utf8;             // sent to the server
  std::vector<std::string_view> utf8_views;  // the same, as the schema lookup takes them
  bool keep_everything = false;              // no list, or "*" / "+" in it
  std::optional<size_t> distinguished_name;  // index of distinguishedName
  // What BuildObject learnt for the records it built with this request (a
  // read ahead builds many): the schema that covered the names, and the kind
  // of value of each name in it.
  std::shared_ptr<const Schema> typed_by;
  std::vector<ValueKind> kinds;

  // `attributes` must outlive this object.
  explicit AttributeRequest(const std::vector<std::wstring>& attributes) : names(attributes) {
    keep_everything = attributes.empty();
    utf8.reserve(attributes.size());
    for (size_t i = 0; i < attributes.size(); ++i) {
      utf8.push_back(platform::WideToUtf8(attributes[i]));
      if (utf8.back() == "*" || utf8.back() == "+") keep_everything = true;
      if (platform::EqualsIgnoringAsciiCase(utf8.back(), kDistinguishedName) && !distinguished_name) {
        distinguished_name = i;
      }
    }
    utf8_views.assign(utf8.begin(), utf8.end());
  }
};

// Raises the failure of a read of `target` that found no object on `server`.
[[noreturn]] void ThrowNotFound(const Endpoint& server, const std::wstring& target) {
  DirectoryErrorContext context;
  context.server = server.name;
  context.operation = L"read";
  context.target = target;
  context.ldap_result = ldap::kNoSuchObject;
  context.ldap_text = platform::Utf8ToWide(ldap::ResultText(ldap::kNoSuchObject));
  DIRECTORY_THROW(kDirectoryNotFound, L"no object at " + target, context);
}

}  // namespace

// The backend ------------------------------------------------------------------

class LdapBackend::Impl {
 public:
  explicit Impl(ConfigSource source) : source_(std::move(source)) { Reconfigure(source_()); }

  void Reload() { Reconfigure(source_()); }
  void Reconfigure(DirectoryConfig config) { failover_.Reconfigure(MakeSettings(std::move(config))); }
  std::shared_ptr<const Settings> CurrentSettings() const { return failover_.CurrentSettings(); }
  // False when the current bind settings cannot be used; each distinct
  // problem is logged once, as a failure, naming the key.
  bool BindUsable() EXCLUDES(reported_mu_);

  std::shared_ptr<const DirectoryObject> ReadObject(const DirectoryPath& path,
                                                    const std::vector<std::wstring>& attributes);
  std::shared_ptr<const DirectoryObject> SearchOne(const DirectoryPath& root, const std::wstring& filter,
                                                   const std::vector<std::wstring>& attributes, int scope);
  HRESULT GetGCFromRootDSE(std::wstring* path);
  BindReport DescribeBind(const DirectoryPath& path);

 private:
  // The entry `path` names, with `attributes`; false when there is none.
  bool ReadEntry(const Session& session, const DirectoryPath& path, const std::vector<std::string>& attributes,
                 ldap::Entry* entry);
  // The same for a <GUID=...> path: the base DN "<GUID=hex>" where the
  // server takes it, else a subtree search for (objectGUID=\xx...); which
  // form works is remembered in the server's ServerState.
  bool ReadByGuid(const Session& session, const DirectoryPath& path, const std::vector<std::string>& attributes,
                  ldap::Entry* entry);
  // The object of `entry` with the attributes `request` keeps (see
  // ldap_backend.h), ranged ones completed, values typed by the schema.
  // `also` (when not null) names attributes a read will need next, whose
  // definitions are read with those of the request when it needs some.
  std::shared_ptr<const DirectoryObject> BuildObject(const Session& session, ldap::Entry* entry,
                                                     AttributeRequest& request,
                                                     const std::vector<std::wstring>* also = nullptr);
  // Reads ahead from `object`, just read on `session`, for the group walk
  // running on this thread, if any (read_ahead.h).
  void ReadAheadFrom(const Session& session, const DirectoryObject& object);

  const ConfigSource source_;
  Failover failover_;
  platform::Mutex reported_mu_;
  std::wstring reported_problem_ GUARDED_BY(reported_mu_);
};

bool LdapBackend::Impl::BindUsable() {
  const std::shared_ptr<const Settings> settings = CurrentSettings();
  if (settings->bind_problem.empty()) return true;
  platform::MutexLock lock(&reported_mu_);
  if (reported_problem_ != settings->bind_problem) {
    reported_problem_ = settings->bind_problem;
    DBG::DebugLogEx(nullptr, DBG::kLevelFailure, kSource, __LINE__, L"the directory cannot be read: %s",
                    reported_problem_.c_str());
  }
  return false;
}

bool LdapBackend::Impl::ReadEntry(const Session& session, const DirectoryPath& path,
                                  const std::vector<std::string>& attributes, ldap::Entry* entry) {
  if (path.kind == DirectoryPath::Kind::kGuid) return ReadByGuid(session, path, attributes, entry);
  const std::wstring target = path.ToString();
  std::vector<ldap::Entry> entries;
  const std::string dn = platform::WideToUtf8(path.dn);
  const ldap::Status status = session.Search(session.Request(dn, ldap::Scope::kBase, kAnyObjectFilter, attributes, 1),
                                             &entries, L"read", target);
  if (status.code == ldap::kNoSuchObject) return false;
  if (!status.ok()) ThrowRequestError(*session.endpoint, L"read", target, status);
  if (entries.empty()) return false;
  *entry = std::move(entries.front());
  return true;
}

bool LdapBackend::Impl::ReadByGuid(const Session& session, const DirectoryPath& path,
                                   const std::vector<std::string>& attributes, ldap::Entry* entry) {
  const std::wstring target = path.ToString();
  std::atomic<int>& form = session.server->guid_form;
  std::vector<ldap::Entry> entries;

  if (form.load(std::memory_order_relaxed) != ServerState::kGuidFormSearch) {
    std::string dn(kGuidDnPrefix.begin(), kGuidDnPrefix.end());
    for (uint8_t byte : path.guid) platform::AppendLowerHexByte(&dn, byte);
    dn += '>';
    const ldap::Status status = session.Search(session.Request(dn, ldap::Scope::kBase, kAnyObjectFilter, attributes, 1),
                                               &entries, L"read", target);
    if (status.ok() && !entries.empty()) {
      form.store(ServerState::kGuidFormExtendedDn, std::memory_order_relaxed);
      *entry = std::move(entries.front());
      return true;
    }
    const bool rejected = status.code == ldap::kInvalidDnSyntax || status.code == ldap::kNoSuchObject;
    if (!status.ok() && !rejected) ThrowRequestError(*session.endpoint, L"read", target, status);
    // A server that knows the form has answered for good.
    if (form.load(std::memory_order_relaxed) == ServerState::kGuidFormExtendedDn) return false;
    if (status.code == ldap::kInvalidDnSyntax) form.store(ServerState::kGuidFormSearch, std::memory_order_relaxed);
  }

  std::string filter = "(objectGUID=";
  platform::AppendHexEscaped(&filter, path.guid);
  filter += ')';
  entries.clear();
  const ldap::Status status =
      session.Search(session.Request(session.settings->search_base, ldap::Scope::kSubtree, filter, attributes, 1),
                     &entries, L"search by GUID", target);
  if (!status.ok() && status.code != ldap::kNoSuchObject) {
    ThrowRequestError(*session.endpoint, L"search by GUID", target, status);
  }
  if (entries.empty()) return false;
  // Found by searching where <GUID=...> found nothing: the server lacks it.
  form.store(ServerState::kGuidFormSearch, std::memory_order_relaxed);
  *entry = std::move(entries.front());
  return true;
}

std::shared_ptr<const DirectoryObject> LdapBackend::Impl::BuildObject(const Session& session, ldap::Entry* entry,
                                                                      AttributeRequest& request,
                                                                      const std::vector<std::wstring>* also) {
  // The types of the names asked for (and of every name returned, when the
  // caller keeps every attribute): read from the server on first need. A
  // request that built a record before under the server's current schema
  // knows them already.
  std::shared_ptr<const Schema> schema;
  if (request.typed_by != nullptr && also == nullptr && !request.keep_everything) {
    platform::MutexLock lock(&session.server->mu);
    if (session.server->schema == request.typed_by) schema = request.typed_by;
  }
  if (schema == nullptr) {
    std::vector<std::string_view> names(request.utf8_views);
    if (request.keep_everything) {
      for (const ldap::Attribute& attribute : entry->attributes) names.push_back(BaseName(attribute.name));
    }
    std::vector<std::string> also_utf8;
    if (also != nullptr) {
      for (const std::wstring& name : *also) also_utf8.push_back(platform::WideToUtf8(name));
      names.insert(names.end(), also_utf8.begin(), also_utf8.end());
    }
    schema = SchemaCovering(session, names);
    request.typed_by = schema;
    request.kinds.clear();
    for (const std::string& name : request.utf8) {
      const Schema::Type* type = schema->Find(name);
      request.kinds.push_back(type != nullptr ? type->kind : ValueKind::kUnknown);
    }
  }
  auto object = std::make_shared<DirectoryObject>();
  object->distinguished_name = platform::Utf8ToWide(entry->dn);
  object->attributes.reserve(request.keep_everything ? entry->attributes.size() : request.utf8.size());

  // The requested index of a returned attribute name, or nullopt: the same
  // name, or another name of the same type (commonName for cn). Every name
  // of a type leads to the same Schema::Type.
  std::vector<const Schema::Type*> requested_types;  // filled on first need
  auto match = [&](std::string_view base) -> std::optional<size_t> {
    for (size_t i = 0; i < request.utf8.size(); ++i) {
      if (platform::EqualsIgnoringAsciiCase(request.utf8[i], base)) return i;
    }
    const Schema::Type* type = schema->Find(base);
    if (type == nullptr) return std::nullopt;
    if (requested_types.empty()) {
      for (const std::string& name : request.utf8) requested_types.push_back(schema->Find(name));
    }
    for (size_t i = 0; i < requested_types.size(); ++i) {
      if (requested_types[i] == type) return i;
    }
    return std::nullopt;
  };

  std::vector<std::optional<size_t>> slot_of(request.names.size());  // requested -> object attribute
  bool has_distinguished_name = false;                               // kept though not asked for (no list)
  for (ldap::Attribute& attribute : entry->attributes) {
    const std::string_view base = BaseName(attribute.name);
    std::optional<size_t> asked = match(base);
    if (!asked && !request.keep_everything) continue;
    if (const std::optional<std::string_view> end = RangeEnd(attribute.name)) {
      CompleteRange(session, entry->dn, base, *end, kMaxRangeReads, &attribute.values);
    }
    // A name asked for has the kind of the name it matched (the same name,
    // or another name of the same type).
    ValueKind kind = ValueKind::kUnknown;
    if (asked) {
      kind = request.kinds[*asked];
    } else if (const Schema::Type* type = schema->Find(base)) {
      kind = type->kind;
    }
    DirectoryAttribute* target = nullptr;
    if (asked && slot_of[*asked]) {
      target = &object->attributes[*slot_of[*asked]];
    } else {
      if (asked) slot_of[*asked] = object->attributes.size();
      target = &object->attributes.emplace_back();
      target->name = asked ? request.names[*asked] : platform::Utf8ToWide(base);
    }
    target->values.reserve(target->values.size() + attribute.values.size());
    for (const std::string& raw : attribute.values) target->values.push_back(ToVariant(raw, kind));
    if (platform::EqualsIgnoringAsciiCase(base, kDistinguishedName)) has_distinguished_name = true;
  }
  if (request.distinguished_name && !slot_of[*request.distinguished_name] && !has_distinguished_name) {
    DirectoryAttribute& synthesized = object->attributes.emplace_back();
    synthesized.name = request.names[*request.distinguished_name];
    synthesized.values.push_back(TextVariant(entry->dn));
  }
  return object;
}

void LdapBackend::Impl::ReadAheadFrom(const Session& session, const DirectoryObject& object) {
  ReadAheadScope* scope = ReadAheadScope::Current();
  if (scope == nullptr || !session.settings->config.read_ahead) return;
  // Made on first need, and again only for another attribute list.
  std::vector<std::wstring> names;
  std::optional<AttributeRequest> request;
  ReadAhead(
      session, *scope, object,
      [&](const DirectoryPath& path) {
        const std::shared_ptr<const std::vector<Endpoint>> servers = failover_.ServersFor(path, *session.settings);
        return std::any_of(servers->begin(), servers->end(),
                           [&](const Endpoint& server) { return server.name == session.endpoint->name; });
      },
      [&](ldap::Entry* entry, const std::vector<std::wstring>& attributes) {
        if (!request || names != attributes) {
          request.reset();
          names = attributes;
          request.emplace(names);
        }
        return BuildObject(session, entry, *request);
      });
}

std::shared_ptr<const DirectoryObject> LdapBackend::Impl::ReadObject(const DirectoryPath& path,
                                                                     const std::vector<std::wstring>& attributes) {
  const std::wstring target = path.ToString();
  if (path.kind == DirectoryPath::Kind::kRoot) {
    DirectoryErrorContext context;
    context.operation = L"read";
    context.target = target;
    DIRECTORY_THROW(kDirectoryInvalidArgument, L"a root path names no object to read", context);
  }
  std::optional<std::pair<std::wstring, ServerFailure>> timed_out;
  if (ReadAheadScope* scope = ReadAheadScope::Current(); scope != nullptr && scope->has_store()) {
    // The answer read ahead for this read, as the read would have had it.
    if (std::optional<ReadAheadAnswer> answer = scope->store().Take(target, attributes)) {
      if (answer->timed_out) {
        timed_out.emplace(answer->server->name, ServerFailure{answer->failure, L"read", target});
      } else {
        if (answer->object != nullptr) return answer->object;
        if (answer->failure.code == ldap::kNoSuchObject) ThrowNotFound(*answer->server, target);
        ThrowRequestError(*answer->server, L"read", target, answer->failure);
      }
    }
  }
  const std::shared_ptr<const Settings> settings = CurrentSettings();
  AttributeRequest request(attributes);
  return failover_.Run(*failover_.ServersFor(path, *settings), settings, L"read", target,
             [&](const Session& session) -> std::shared_ptr<const DirectoryObject> {
               ldap::Entry entry;
               if (!ReadEntry(session, path, request.utf8, &entry)) ThrowNotFound(*session.endpoint, target);
               std::shared_ptr<const DirectoryObject> object = BuildObject(session, &entry, request);
               ReadAheadFrom(session, *object);
               return object;
             },
             timed_out ? &*timed_out : nullptr);
}

std::shared_ptr<const DirectoryObject> LdapBackend::Impl::SearchOne(const DirectoryPath& root,
                                                                    const std::wstring& filter,
                                                                    const std::vector<std::wstring>& attributes,
                                                                    int scope) {
  const std::wstring target = root.ToString() + L" " + filter;
  if (scope < static_cast<int>(ldap::Scope::kBase) || scope > static_cast<int>(ldap::Scope::kSubtree)) {
    DirectoryErrorContext context;
    context.operation = L"search";
    context.target = target;
    DIRECTORY_THROW(kDirectoryInvalidArgument, L"unknown search scope " + std::to_wstring(scope), context);
  }
  std::optional<std::pair<std::wstring, ServerFailure>> timed_out;
  if (ReadAheadScope* walk = ReadAheadScope::Current(); walk != nullptr && walk->has_store()) {
    // The answer read ahead for this search, as the search would have had it.
    const std::wstring key = ReadAheadStore::SearchKey(root.ToString(), filter, scope);
    if (std::optional<ReadAheadAnswer> answer = walk->store().Take(key, attributes)) {
      if (answer->timed_out) {
        timed_out.emplace(answer->server->name, ServerFailure{answer->failure, L"search", target});
      } else {
        if (answer->object != nullptr || answer->failure.ok()) return answer->object;
        if (answer->failure.code == ldap::kNoSuchObject) {
          ThrowRequestError(*answer->server, L"search", root.ToString(), answer->failure);
        }
        ThrowRequestError(*answer->server, L"search", target, answer->failure);
      }
    }
  }
  const std::shared_ptr<const Settings> settings = CurrentSettings();
  AttributeRequest request(attributes);
  const std::string filter_utf8 = platform::WideToUtf8(filter);
  return failover_.Run(*failover_.ServersFor(root, *settings), settings, L"search", target,
             [&](const Session& session) -> std::shared_ptr<const DirectoryObject> {
               std::string base;
               switch (root.kind) {
                 case DirectoryPath::Kind::kRoot:
                   base = session.settings->search_base;
                   break;
                 case DirectoryPath::Kind::kDistinguishedName:
                   base = platform::WideToUtf8(root.dn);
                   break;
                 case DirectoryPath::Kind::kGuid: {
                   ldap::Entry located;
                   if (!ReadByGuid(session, root, {kNoAttributes}, &located)) {
                     const ldap::Status status{ldap::kNoSuchObject, ldap::ResultText(ldap::kNoSuchObject), "", false};
                     ThrowRequestError(*session.endpoint, L"search", root.ToString(), status);
                   }
                   base = located.dn;
                   break;
                 }
               }
               std::vector<ldap::Entry> entries;
               const ldap::Status status =
                   session.Search(session.Request(base, static_cast<ldap::Scope>(scope), filter_utf8, request.utf8, 1),
                                  &entries, L"search", target);
               if (status.code == ldap::kNoSuchObject) {
                 ThrowRequestError(*session.endpoint, L"search", root.ToString(), status);
               }
               if (!status.ok()) ThrowRequestError(*session.endpoint, L"search", target, status);
               if (entries.empty()) return nullptr;
               // A walk reading ahead from this record (a user's) builds its
               // groups next: their definitions come with the first read.
               ReadAheadScope* walk = ReadAheadScope::Current();
               const bool ahead = walk != nullptr && session.settings->config.read_ahead;
               std::shared_ptr<const DirectoryObject> object = BuildObject(
                   session, &entries.front(), request, ahead ? &walk->walk().GroupAttributes() : nullptr);
               ReadAheadFrom(session, *object);
               return object;
             },
             timed_out ? &*timed_out : nullptr);
}

BindReport LdapBackend::Impl::DescribeBind(const DirectoryPath& path) {
  const std::shared_ptr<const Settings> settings = CurrentSettings();
  return failover_.Run(*failover_.ServersFor(path, *settings), settings, L"bind", path.ToString(),
                       [](const Session& session) {
                         const ldap::Authentication& established = session.connection->authentication();
                         BindReport report;
                         report.server = session.endpoint->name;
                         switch (established.method) {
                           case ldap::Authentication::Method::kAnonymous:
                             report.method = L"anonymous";
                             break;
                           case ldap::Authentication::Method::kSimple:
                             report.method = L"simple";
                             break;
                           case ldap::Authentication::Method::kKerberos:
                             report.method = L"gssapi";
                             break;
                         }
                         report.identity = platform::Utf8ToWide(established.identity);
                         report.ssf = established.ssf;
                         return report;
                       });
}

HRESULT LdapBackend::Impl::GetGCFromRootDSE(std::wstring* path) {
  if (path == nullptr) return E_INVALIDARG;
  Reload();
  if (!BindUsable()) return E_FAIL;
  const std::shared_ptr<const Settings> settings = CurrentSettings();
  std::optional<ServerSpec> server = settings->domain_controller;
  if (!server) {
    const std::vector<ServerSpec> catalogs = settings->GlobalCatalogs();
    if (!catalogs.empty()) server = catalogs.front();
  }
  if (!server) {
    DBG::DebugLogEx(nullptr, DBG::kLevelWarning, kSource, __LINE__,
                    L"no domain controller or Global Catalog is configured or discovered for the rootDSE");
    return E_FAIL;
  }
  const int port = settings->PortFor(*server, DirectoryPath::Scheme::kLdap);
  const bool test_server = port != settings->LdapPort();
  const Endpoint endpoint = MakeEndpoint(server->host, port, settings->ldaps);
  const std::pair<std::string, std::string> answer =
      failover_.Run({endpoint}, settings, L"read rootDSE", L"", [&](const Session& session) {
        std::vector<ldap::Entry> entries;
        const ldap::Status status = session.Search(
            session.Request("", ldap::Scope::kBase, kAnyObjectFilter, {kDnsHostName, kIsGlobalCatalogReady}, 1),
            &entries, L"read rootDSE", L"");
        if (!status.ok()) ThrowRequestError(*session.endpoint, L"read rootDSE", L"", status);
        std::pair<std::string, std::string> values;
        if (entries.empty()) return values;
        for (const ldap::Attribute& attribute : entries.front().attributes) {
          if (attribute.values.empty()) continue;
          if (platform::EqualsIgnoringAsciiCase(attribute.name, kDnsHostName)) values.first = attribute.values.front();
          if (platform::EqualsIgnoringAsciiCase(attribute.name, kIsGlobalCatalogReady)) {
            values.second = attribute.values.front();
          }
        }
        return values;
      });
  if (answer.first.empty() || !platform::EqualsIgnoringAsciiCase(answer.second, kBooleanTrue)) {
    DBG::DebugLogEx(nullptr, DBG::kLevelWarning, kSource, __LINE__,
                    L"the rootDSE of %s names no ready Global Catalog (dnsHostName '%S', isGlobalCatalogReady '%S')",
                    endpoint.name.c_str(), answer.first.c_str(), answer.second.c_str());
    return E_FAIL;
  }
  std::wstring result = L"GC://" + platform::Utf8ToWide(answer.first);
  if (test_server) result += L":" + std::to_wstring(port);
  *path = std::move(result);
  return S_OK;
}

LdapBackend::LdapBackend(ConfigSource source) : impl_(std::make_unique<Impl>(std::move(source))) {}

LdapBackend::~LdapBackend() = default;

std::shared_ptr<const DirectoryObject> LdapBackend::ReadObject(const DirectoryPath& path,
                                                               const std::vector<std::wstring>& attributes) {
  return impl_->ReadObject(path, attributes);
}

std::shared_ptr<const DirectoryObject> LdapBackend::SearchOne(const DirectoryPath& root, const std::wstring& filter,
                                                              const std::vector<std::wstring>& attributes, int scope) {
  return impl_->SearchOne(root, filter, attributes, scope);
}

HRESULT LdapBackend::GetRootGCPath(std::wstring* path) {
  if (path == nullptr) return E_INVALIDARG;
  try {
    impl_->Reload();
    if (!impl_->BindUsable()) return E_FAIL;
    // Discovery is part of start-up: the client library's one-time set-up
    // is done now rather than in the first lookup.
    ldap::PrepareClientLibrary();
    return DiscoverGlobalCatalog(impl_->CurrentSettings()->config, path);
  } catch (...) {
    DBG::DebugLogEx(nullptr, DBG::kLevelFailure, kSource, __LINE__, L"Global Catalog discovery failed: %s",
                    OS::DescribeCurrentException().c_str());
    return E_FAIL;
  }
}

HRESULT LdapBackend::GetGCFromRootDSE(std::wstring* path) {
  try {
    return impl_->GetGCFromRootDSE(path);
  } catch (const CDirectoryException&) {
    // Logged with its server, operation and LDAP result where it was raised
    // (DIRECTORY_THROW).
    return E_FAIL;
  } catch (...) {
    DBG::DebugLogEx(nullptr, DBG::kLevelFailure, kSource, __LINE__, L"rootDSE discovery failed: %s",
                    OS::DescribeCurrentException().c_str());
    return E_FAIL;
  }
}

BindReport LdapBackend::DescribeBind(const DirectoryPath& path) { return impl_->DescribeBind(path); }

void LdapBackend::Reconfigure(DirectoryConfig config) { impl_->Reconfigure(std::move(config)); }

}  // namespace directory
