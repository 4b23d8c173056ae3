// Read-ahead for a walk up memberOf: while a walk runs on a thread, the
// directory-access library reads the groups the walk is about to ask for
// together, a level at a time, instead of one per call.
//
// The walk (above this library) describes itself through a GroupWalk and
// marks the time it runs with a ReadAheadScope on its own thread:
//
//   class MyWalk : public directory::GroupWalk { ... };
//   MyWalk walk(...);
//   directory::ReadAheadScope scope(&walk);
//   ... every read of the walk, on this thread ...
//
// When the LDAP backend returns a record (read or searched) on that thread
// and the walk goes on above it, it reads at once the groups that the
// record's parent attribute names and that the walk will read from the
// directory (and the search the record leads the walk to, such as a user's
// primary group), then the groups above those, and so on, with several
// requests outstanding on one connection: a walk costs a round trip per
// level of groups, not per group. The answers wait in the scope; the walk's
// own read or search takes the answer made for it (once) instead of asking
// the server, or its failure, raised there as the read itself would raise
// it.
// An answer is used only by the walk it was made for and goes with the
// scope. A read the server answered with a failure of the server itself
// (busy, unavailable, a lost connection, no answer in time) keeps no
// answer: the walk's own read then asks the server as it would without
// read-ahead, with the same retries and failover. So the groups read, the
// answers and the failures are those of the walk without read-ahead; only
// their time changes.
//
// The setting ReadAhead of [DirectoryAccess.DEFAULT] (directory_config.h)
// turns it off; a walk then reads one group per call. Backends other than
// the LDAP one (the in-memory test directory) never read ahead.
//
// Thread safety: a scope and its walk belong to the thread that made them;
// the backend calls the walk only on that thread, inside a read of the walk.
#ifndef USERPOLICY_PLATFORM_DIRECTORY_READ_AHEAD_H_
#define USERPOLICY_PLATFORM_DIRECTORY_READ_AHEAD_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/directory/directory_object.h"

namespace directory {

namespace ldap_backend_internal {
class ReadAheadStore;
}  // namespace ldap_backend_internal

// What a walk up memberOf tells the read-ahead. Called on the walk's thread
// inside a read of the walk; none of them may read the directory or raise.
class GroupWalk {
 public:
  // The attributes the walk reads a group with (a stable list).
  virtual const std::vector<std::wstring>& GroupAttributes() = 0;
  // The attribute whose values name a group's parents.
  virtual std::wstring_view ParentAttribute() = 0;
  // The path the walk will read the group `dn` (a value of the parent
  // attribute) from, when it will read it from the directory; nullopt when
  // it will not (it holds the group already, or another read of it runs).
  virtual std::optional<std::wstring> PathToRead(std::wstring_view dn) = 0;
  // Whether the walk goes on to the parents of `object`, a record it is
  // given now (it stops at a group it has listed already).
  virtual bool WalksAbove(const DirectoryObject& object) = 0;

  // A search the walk will make of the directory because of `object`, a
  // record it is given now: for a user, the search for its primary group.
  struct Search {
    std::wstring root;                     // the path searched below
    std::wstring filter;                   // RFC 4515
    int scope = 2;                         // a DirectorySearchScope
    std::vector<std::wstring> attributes;  // asked for
  };
  // The search, or nullopt when `object` leads to none that reads the
  // directory (it leads to none, or the walk holds its answer already).
  virtual std::optional<Search> SearchAfter(const DirectoryObject& object) = 0;

 protected:
  ~GroupWalk() = default;
};

// Marks `walk` as running on the calling thread while the scope lives; the
// read-ahead answers made for it live as long. Scopes do not nest: an inner
// one leaves the outer one in place and does nothing.
class ReadAheadScope {
 public:
  explicit ReadAheadScope(GroupWalk* walk);
  ~ReadAheadScope();
  ReadAheadScope(const ReadAheadScope&) = delete;
  ReadAheadScope& operator=(const ReadAheadScope&) = delete;

  // The scope in force on the calling thread, or null.
  static ReadAheadScope* Current();

  GroupWalk& walk() { return *walk_; }
  // The answers read ahead, made on first use (a walk the caches answer
  // makes none).
  ldap_backend_internal::ReadAheadStore& store();
  bool has_store() const { return store_ != nullptr; }

 private:
  GroupWalk* walk_;
  std::unique_ptr<ldap_backend_internal::ReadAheadStore> store_;
  bool active_ = false;  // false: an outer scope is in force
};

}  // namespace directory

#endif  // USERPOLICY_PLATFORM_DIRECTORY_READ_AHEAD_H_
