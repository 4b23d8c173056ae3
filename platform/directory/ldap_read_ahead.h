// The LDAP backend's side of the read-ahead of read_ahead.h: the answers
// kept for a walk, and the reads that make them.
// Internal to the LDAP backend (ldap_backend.h): included only by the
// backend's own .cc files, read_ahead.cc and their tests.
//
// Thread safety: a store belongs to its scope's thread, and ReadAhead runs
// on that thread.
#ifndef USERPOLICY_PLATFORM_DIRECTORY_LDAP_READ_AHEAD_H_
#define USERPOLICY_PLATFORM_DIRECTORY_LDAP_READ_AHEAD_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/directory/directory_object.h"
#include "platform/directory/directory_path.h"
#include "platform/directory/ldap_server_settings.h"
#include "platform/directory/read_ahead.h"
#include "platform/ldap_api.h"

namespace directory::ldap_backend_internal {

struct Session;

// A read or search made ahead of the walk's own.
// The attribute list and the server are shared by every answer of one read
// ahead: they are the same for all of them.
struct ReadAheadAnswer {
  std::shared_ptr<const std::vector<std::wstring>> attributes;  // as asked for; never null
  std::shared_ptr<const DirectoryObject> object;                // the record; null when there is none:
  ldap::Status failure;                                         // why (success: a search that matched nothing)
  std::shared_ptr<const Endpoint> server;                       // the server that answered; never null
  // The server gave no answer in time: the walk's own call counts `failure`
  // as its try of `server` (Failover::Run's failed_on) instead of waiting
  // for it a second time, and goes on to the next server.
  bool timed_out = false;
};

// The answers made for one walk, by what they answer: a read by its path
// (DirectoryPath::ToString), a search by SearchKey.
class ReadAheadStore {
 public:
  // Reads ahead for one walk at most this many groups.
  static constexpr size_t kMaxReads = 4096;

  // The key of a search below `root` (DirectoryPath::ToString).
  static std::wstring SearchKey(const std::wstring& root, const std::wstring& filter, int scope);

  // The answer made for `key` with `attributes`, taken out of the store;
  // nullopt when there is none.
  std::optional<ReadAheadAnswer> Take(const std::wstring& key, const std::vector<std::wstring>& attributes);
  // True the first time `key` is claimed for a read ahead (false when it
  // was claimed before, or kMaxReads were).
  bool Claim(const std::wstring& key);
  void Put(std::wstring key, ReadAheadAnswer answer);

 private:
  std::unordered_map<std::wstring, ReadAheadAnswer> answers_;
  std::unordered_set<std::wstring> claimed_;
};

// Builds the record of an entry read ahead with `attributes`, as a read or
// search with those attributes builds it.
using BuildReadAheadRecord =
    std::function<std::shared_ptr<const DirectoryObject>(ldap::Entry*, const std::vector<std::wstring>& attributes)>;

// Reads ahead on `session`, when the scope's walk goes on above `record`,
// the groups its parent attribute names that the walk will read from the
// directory and the search the record leads the walk to (on `session`'s
// server, `serves(path)` says), then the groups above those, a level at a
// time, every group once per walk; the answers go into the scope's store. A
// group answered in ranges is left to the walk's own read. Raises nothing;
// stops at a failure of the connection.
void ReadAhead(const Session& session, ReadAheadScope& scope, const DirectoryObject& record,
               const std::function<bool(const DirectoryPath&)>& serves, const BuildReadAheadRecord& build);

}  // namespace directory::ldap_backend_internal

#endif  // USERPOLICY_PLATFORM_DIRECTORY_LDAP_READ_AHEAD_H_
