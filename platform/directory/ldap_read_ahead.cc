#include "platform/directory/ldap_read_ahead.h"

#include <utility>

#include "platform/ascii.h"
#include "platform/directory/ldap_failover.h"
#include "platform/directory/ldap_ranged_attributes.h"
#include "platform/directory/ldap_request_errors.h"
#include "platform/utf8.h"

namespace directory::ldap_backend_internal {
namespace {

// A group to read ahead: its path as the store keys it, and the DN to read.
struct Pending {
  std::wstring key;
  std::string dn;
};

// Appends to *out the groups `object` names as its parents that the walk
// will read from the directory and that no read ahead claimed yet.
void AddParents(GroupWalk& walk, ReadAheadStore& store, const DirectoryObject& object,
                const std::function<bool(const DirectoryPath&)>& serves, std::vector<Pending>* out) {
  const std::wstring_view parent_attribute = walk.ParentAttribute();
  for (const DirectoryAttribute& attribute : object.attributes) {
    if (!platform::EqualsIgnoringAsciiCase(attribute.name, parent_attribute)) continue;
    for (const _variant_t& value : attribute.values) {
      if (value.vt != VT_BSTR || value.bstrVal == nullptr) continue;
      const std::optional<std::wstring> text = walk.PathToRead(value.bstrVal);
      // A path the walk's own read would refuse is left to it: the read
      // reports it.
      if (!text || platform::FindInvalidCodeUnit(*text) != std::wstring_view::npos) continue;
      const std::optional<DirectoryPath> path = DirectoryPath::TryParse(*text);
      if (!path || path->kind != DirectoryPath::Kind::kDistinguishedName || !serves(*path)) continue;
      std::wstring key = path->ToString();
      if (!store.Claim(key)) continue;
      out->push_back({std::move(key), platform::WideToUtf8(path->dn)});
    }
  }
}

bool IsRanged(const ldap::Entry& entry) {
  for (const ldap::Attribute& attribute : entry.attributes) {
    if (RangeEnd(attribute.name)) return true;
  }
  return false;
}

}  // namespace

std::optional<ReadAheadAnswer> ReadAheadStore::Take(const std::wstring& path,
                                                    const std::vector<std::wstring>& attributes) {
  const auto it = answers_.find(path);
  if (it == answers_.end() || it->second.attributes != attributes) return std::nullopt;
  ReadAheadAnswer answer = std::move(it->second);
  answers_.erase(it);
  return answer;
}

bool ReadAheadStore::Claim(const std::wstring& path) {
  if (claimed_.size() >= kMaxReads) return false;
  return claimed_.insert(path).second;
}

void ReadAheadStore::Put(const std::wstring& path, ReadAheadAnswer answer) {
  answers_.insert_or_assign(path, std::move(answer));
}

void ReadAhead(const Session& session, ReadAheadScope& scope, const DirectoryObject& record,
               const std::function<bool(const DirectoryPath&)>& serves, const BuildReadAheadRecord& build) {
  GroupWalk& walk = scope.walk();
  ReadAheadStore& store = scope.store();
  try {
    if (!walk.WalksAbove(record)) return;
    const std::vector<std::wstring>& attributes = walk.GroupAttributes();
    std::vector<std::string> utf8_attributes;
    for (const std::wstring& name : attributes) utf8_attributes.push_back(platform::WideToUtf8(name));

    std::vector<Pending> level;
    AddParents(walk, store, record, serves, &level);
    std::vector<ldap::SearchRequest> requests;
    std::vector<ldap::SearchOutcome> outcomes;
    while (!level.empty()) {
      requests.clear();
      for (const Pending& group : level) {
        requests.push_back(session.Request(group.dn, ldap::Scope::kBase, kAnyObjectFilter, utf8_attributes, 1));
      }
      session.connection->SearchAll(requests, &outcomes);
      std::vector<Pending> next;
      for (size_t i = 0; i < level.size(); ++i) {
        ldap::SearchOutcome& outcome = outcomes[i];
        const ldap::Status& status = outcome.status;
        if (status.ok() && !outcome.entries.empty()) {
          ldap::Entry& entry = outcome.entries.front();
          if (IsRanged(entry)) continue;
          std::shared_ptr<const DirectoryObject> object = build(&entry);
          store.Put(level[i].key, ReadAheadAnswer{attributes, object, *session.endpoint, {}});
          if (walk.WalksAbove(*object)) AddParents(walk, store, *object, serves, &next);
        } else if (status.ok() || status.code == ldap::kNoSuchObject) {
          ldap::Status none{ldap::kNoSuchObject, ldap::ResultText(ldap::kNoSuchObject), status.diagnostic, false};
          store.Put(level[i].key, ReadAheadAnswer{attributes, nullptr, *session.endpoint, std::move(none)});
        } else if (IsServerFailure(status, FailedStep::kRequest)) {
          // Left to the walk's own read, which asks the server again.
          if (ldap::IsConnectionFailure(status.code)) return;
        } else {
          store.Put(level[i].key, ReadAheadAnswer{attributes, nullptr, *session.endpoint, status});
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
