#include "platform/directory/ldap_read_ahead.h"

#include <utility>

#include "platform/ascii.h"
#include "platform/directory/ldap_failover.h"
#include "platform/directory/ldap_ranged_attributes.h"
#include "platform/directory/ldap_request_errors.h"
#include "platform/utf8.h"

namespace directory::ldap_backend_internal {
namespace {

// A read or search to make ahead.
struct Pending {
  std::wstring key;  // in the store
  ldap::SearchRequest request;
  std::shared_ptr<const std::vector<std::wstring>> attributes;  // as the walk names them
  bool search = false;                                          // may match nothing
};

std::vector<std::string> Utf8(const std::vector<std::wstring>& names) {
  std::vector<std::string> utf8;
  utf8.reserve(names.size());
  for (const std::wstring& name : names) utf8.push_back(platform::WideToUtf8(name));
  return utf8;
}

// What every read ahead of one ReadAhead call shares: the walk's group
// attribute list (a stable list, GroupWalk::GroupAttributes) in both forms,
// made on first need, and the server that answers them all.
struct SharedParts {
  const std::vector<std::wstring>* group_source = nullptr;  // the list the two below were made from
  std::shared_ptr<const std::vector<std::wstring>> group_attributes;
  std::vector<std::string> group_attributes_utf8;
  std::shared_ptr<const Endpoint> server;

  void UseGroupAttributes(const std::vector<std::wstring>& attributes) {
    if (group_source == &attributes && *group_attributes == attributes) return;
    group_source = &attributes;
    group_attributes = std::make_shared<const std::vector<std::wstring>>(attributes);
    group_attributes_utf8 = Utf8(attributes);
  }
};

// A path the walk's own read or search accepts, on the session's server.
// A path it would refuse is left to it: the read reports it.
std::optional<DirectoryPath> UsablePath(const std::wstring& text,
                                        const std::function<bool(const DirectoryPath&)>& serves) {
  if (platform::FindInvalidCodeUnit(text) != std::wstring_view::npos) return std::nullopt;
  std::optional<DirectoryPath> path = DirectoryPath::TryParse(text);
  if (!path || path->kind == DirectoryPath::Kind::kGuid || !serves(*path)) return std::nullopt;
  return path;
}

// Appends to *out what `object` leads the walk to read from the directory
// that no read ahead claimed yet: the groups its parent attribute names,
// and the search it leads to.
void AddNext(const Session& session, GroupWalk& walk, ReadAheadStore& store, const DirectoryObject& object,
             const std::function<bool(const DirectoryPath&)>& serves, SharedParts& shared,
             std::vector<Pending>* out) {
  const std::wstring_view parent_attribute = walk.ParentAttribute();
  for (const DirectoryAttribute& attribute : object.attributes) {
    if (!platform::EqualsIgnoringAsciiCase(attribute.name, parent_attribute)) continue;
    for (const _variant_t& value : attribute.values) {
      if (value.vt != VT_BSTR || value.bstrVal == nullptr) continue;
      const std::optional<std::wstring> text = walk.PathToRead(value.bstrVal);
      if (!text) continue;
      std::optional<DirectoryPath> path = UsablePath(*text, serves);
      if (!path || path->kind != DirectoryPath::Kind::kDistinguishedName) continue;
      std::wstring key = path->ToString();
      if (!store.Claim(key)) continue;
      shared.UseGroupAttributes(walk.GroupAttributes());
      out->push_back({std::move(key),
                      session.Request(platform::WideToUtf8(path->dn), ldap::Scope::kBase, kAnyObjectFilter,
                                      shared.group_attributes_utf8, 1),
                      shared.group_attributes, false});
    }
  }
  std::optional<GroupWalk::Search> search = walk.SearchAfter(object);
  if (!search || search->scope < static_cast<int>(ldap::Scope::kBase) ||
      search->scope > static_cast<int>(ldap::Scope::kSubtree)) {
    return;
  }
  const std::optional<DirectoryPath> root = UsablePath(search->root, serves);
  if (!root || platform::FindInvalidCodeUnit(search->filter) != std::wstring_view::npos) return;
  std::wstring key = ReadAheadStore::SearchKey(root->ToString(), search->filter, search->scope);
  if (!store.Claim(key)) return;
  const std::string base =
      root->kind == DirectoryPath::Kind::kRoot ? session.settings->search_base : platform::WideToUtf8(root->dn);
  std::vector<std::string> attributes_utf8 = Utf8(search->attributes);
  out->push_back({std::move(key),
                  session.Request(base, static_cast<ldap::Scope>(search->scope), platform::WideToUtf8(search->filter),
                                  std::move(attributes_utf8), 1),
                  std::make_shared<const std::vector<std::wstring>>(std::move(search->attributes)), true});
}

bool IsRanged(const ldap::Entry& entry) {
  for (const ldap::Attribute& attribute : entry.attributes) {
    if (RangeEnd(attribute.name)) return true;
  }
  return false;
}

}  // namespace

std::wstring ReadAheadStore::SearchKey(const std::wstring& root, const std::wstring& filter, int scope) {
  const std::wstring scope_text = std::to_wstring(scope);
  std::wstring key;
  key.reserve(root.size() + scope_text.size() + filter.size() + 2);
  key += root;
  key += L'\n';
  key += scope_text;
  key += L'\n';
  key += filter;
  return key;
}

std::optional<ReadAheadAnswer> ReadAheadStore::Take(const std::wstring& key,
                                                    const std::vector<std::wstring>& attributes) {
  const auto it = answers_.find(key);
  if (it == answers_.end() || *it->second.attributes != attributes) return std::nullopt;
  ReadAheadAnswer answer = std::move(it->second);
  answers_.erase(it);
  return answer;
}

bool ReadAheadStore::Claim(const std::wstring& key) {
  if (claimed_.size() >= kMaxReads) return false;
  return claimed_.insert(key).second;
}

void ReadAheadStore::Put(std::wstring key, ReadAheadAnswer answer) {
  answers_.insert_or_assign(std::move(key), std::move(answer));
}

void ReadAhead(const Session& session, ReadAheadScope& scope, const DirectoryObject& record,
               const std::function<bool(const DirectoryPath&)>& serves, const BuildReadAheadRecord& build) {
  GroupWalk& walk = scope.walk();
  ReadAheadStore& store = scope.store();
  try {
    if (!walk.WalksAbove(record)) return;
    SharedParts shared;
    std::vector<Pending> level;
    AddNext(session, walk, store, record, serves, shared, &level);
    if (level.empty()) return;
    shared.server = std::make_shared<const Endpoint>(*session.endpoint);
    std::vector<ldap::SearchRequest> requests;
    std::vector<ldap::SearchOutcome> outcomes;
    while (!level.empty()) {
      // The requests are not needed after they are sent: they move.
      requests.clear();
      for (Pending& pending : level) requests.push_back(std::move(pending.request));
      session.connection->SearchAll(requests, &outcomes);
      std::vector<Pending> next;
      for (size_t i = 0; i < level.size(); ++i) {
        Pending& pending = level[i];
        ldap::SearchOutcome& outcome = outcomes[i];
        const ldap::Status& status = outcome.status;
        if (status.ok() && !outcome.entries.empty()) {
          ldap::Entry& entry = outcome.entries.front();
          if (IsRanged(entry)) continue;
          std::shared_ptr<const DirectoryObject> object = build(&entry, *pending.attributes);
          store.Put(std::move(pending.key), ReadAheadAnswer{pending.attributes, object, {}, shared.server});
          if (walk.WalksAbove(*object)) AddNext(session, walk, store, *object, serves, shared, &next);
        } else if (status.ok() && pending.search) {
          store.Put(std::move(pending.key), ReadAheadAnswer{pending.attributes, nullptr, {}, shared.server});
        } else if (!pending.search && (status.ok() || status.code == ldap::kNoSuchObject)) {
          ldap::Status none{ldap::kNoSuchObject, ldap::ResultText(ldap::kNoSuchObject), status.diagnostic, false};
          store.Put(std::move(pending.key), ReadAheadAnswer{pending.attributes, nullptr, std::move(none), shared.server});
        } else if (status.code == ldap::kTimeout) {
          // The walk's own read counts this wait as its own: an outage costs
          // a walk one time-out, not one here and one more there.
          store.Put(std::move(pending.key), ReadAheadAnswer{pending.attributes, nullptr, status, shared.server, true});
        } else if (IsServerFailure(status, FailedStep::kRequest)) {
          // Left to the walk's own read, which asks the server again.
          if (ldap::IsConnectionFailure(status.code)) return;
        } else {
          store.Put(std::move(pending.key), ReadAheadAnswer{pending.attributes, nullptr, status, shared.server});
        }
      }
      level = std::move(next);
    }
  } catch (...) {
    // A read ahead never fails the read it started from: what it did not
    // store, the walk reads itself.
  }
}

}  // namespace directory::ldap_backend_internal
