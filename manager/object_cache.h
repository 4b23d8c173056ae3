// The object cache of one manager: records stored by normalised key, bounded
// by a maximum number of entries and aged by wall-clock seconds.
//
// Entries live in an ordered map and are threaded on a doubly linked list in
// insertion order (newest at the head). The rules:
//  - Before its own work, every lookup and every insertion of a new key
//    evicts the oldest entry when the map holds more than `maximum` entries
//    (the count taken as a signed 32-bit number). At most one entry goes per
//    operation, so a cache with maximum N holds N + 1 entries right after an
//    insertion into a full cache. A maximum of 0 or less evicts on every
//    operation that finds an entry to evict.
//  - An entry expires when the current time (_time64) minus its time stamp is
//    at least `timeout_seconds`; expiry is checked only for the key looked
//    up, which is then removed. A clock set back makes ages negative (entries
//    live longer); set forward, entries expire early.
//  - A hit neither refreshes nor promotes an entry: eviction follows
//    insertion order. Updating an existing key refreshes its time stamp and
//    record and moves it to the head.
//
// Thread safety: every operation takes the cache lock for its map and list
// work only; the lock is never held while the directory is read.
#ifndef USERPOLICY_MANAGER_OBJECT_CACHE_H_
#define USERPOLICY_MANAGER_OBJECT_CACHE_H_

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dsobject/ds_object_info.h"
#include "manager/cs_lock.h"
#include "manager/lookup_key.h"
#include "platform/clock.h"
#include "platform/com.h"

// One cached record and its place in the insertion-order list.
struct CDSObjectCacheEntry {
  _bstr_t key;                  // the normalised key again; eviction finds the map entry by it
  __time64_t timestamp = 0;     // when the entry was made or refreshed (_time64)
  CDSObjectInfo record;         // shares the fetched record
  CDSObjectCacheEntry* newer = nullptr;
  CDSObjectCacheEntry* older = nullptr;
};

class CDSObjectCache {
 public:
  CDSObjectCache(int timeout_seconds, int maximum);
  CDSObjectCache(const CDSObjectCache&) = delete;
  CDSObjectCache& operator=(const CDSObjectCache&) = delete;

  // True when a live entry exists for `key`; `record` then holds a handle
  // sharing it (no record is allocated for a hit or a miss).
  bool Lookup(std::wstring_view key, std::optional<CDSObjectInfo>& record) EXCLUDES(lock_);
  // Whether a Lookup of `key` now would answer from the cache: a live entry
  // that the lookup's own eviction would not remove. Changes nothing.
  bool WouldHit(std::wstring_view key) EXCLUDES(lock_);
  // Stores `record` under `key`, or refreshes the key's existing entry.
  void Update(const std::wstring& key, CDSObjectInfo& record) EXCLUDES(lock_);

  int timeout_seconds() const { return timeout_seconds_; }
  int maximum() const { return maximum_; }

  // Introspection (diagnostics and tests): the number of entries and the
  // keys from newest to oldest. Each takes the cache lock once.
  size_t Size() EXCLUDES(lock_);
  std::vector<std::wstring> KeysNewestFirst() EXCLUDES(lock_);

 private:
  void LinkAtHead(CDSObjectCacheEntry* entry) REQUIRES(lock_);
  void Unlink(CDSObjectCacheEntry* entry) REQUIRES(lock_);
  // Removes the oldest entry when the cache holds more than the maximum;
  // `*evicted` then shares its record.
  void EvictOldestIfOverMaximum(std::optional<CDSObjectInfo>* evicted) REQUIRES(lock_);

  const int timeout_seconds_;
  const int maximum_;
  CDSObjectCacheEntry* newest_ GUARDED_BY(lock_) = nullptr;
  CDSObjectCacheEntry* oldest_ GUARDED_BY(lock_) = nullptr;
  std::map<std::wstring, CDSObjectCacheEntry, KeyLess> entries_ GUARDED_BY(lock_);
  CSLock lock_;
};

#endif  // USERPOLICY_MANAGER_OBJECT_CACHE_H_
