#include "manager/object_cache.h"

#include <cstdint>

CDSObjectCache::CDSObjectCache(int timeout_seconds, int maximum)
    : timeout_seconds_(timeout_seconds), maximum_(maximum) {}

void CDSObjectCache::LinkAtHead(CDSObjectCacheEntry* entry) {
  entry->older = newest_;
  entry->newer = nullptr;
  if (newest_ != nullptr) newest_->newer = entry;
  newest_ = entry;
  if (oldest_ == nullptr) oldest_ = entry;
}

void CDSObjectCache::Unlink(CDSObjectCacheEntry* entry) {
  if (entry->newer != nullptr) {
    entry->newer->older = entry->older;
  } else {
    newest_ = entry->older;
  }
  if (entry->older != nullptr) {
    entry->older->newer = entry->newer;
  } else {
    oldest_ = entry->newer;
  }
  entry->newer = nullptr;
  entry->older = nullptr;
}

void CDSObjectCache::EvictOldestIfOverMaximum(std::optional<CDSObjectInfo>* evicted) {
  if (static_cast<int32_t>(entries_.size()) <= maximum_ || oldest_ == nullptr) return;
  CDSObjectCacheEntry* oldest = oldest_;
  Unlink(oldest);
  evicted->emplace(oldest->record);
  const wchar_t* key = static_cast<const wchar_t*>(oldest->key);
  auto it = entries_.find(std::wstring_view(key != nullptr ? key : L""));
  if (it != entries_.end()) entries_.erase(it);
}

bool CDSObjectCache::Lookup(std::wstring_view key, std::optional<CDSObjectInfo>& record) {
  // Read before the lock is taken, to keep the lock's hold short.
  const __time64_t now = _time64(nullptr);
  // Records that leave the cache are let go after the lock is released, so
  // that freeing them does not lengthen the hold.
  std::optional<CDSObjectInfo> evicted, expired;
  Guard<CSLock> guard(lock_);
  EvictOldestIfOverMaximum(&evicted);
  auto it = entries_.find(key);
  if (it == entries_.end()) return false;
  const __time64_t age = now - it->second.timestamp;
  if (age >= static_cast<__time64_t>(timeout_seconds_)) {
    expired.emplace(it->second.record);
    Unlink(&it->second);
    entries_.erase(it);
    return false;
  }
  record.emplace(it->second.record);
  return true;
}

bool CDSObjectCache::WouldHit(std::wstring_view key) {
  const __time64_t now = _time64(nullptr);
  Guard<CSLock> guard(lock_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return false;
  if (static_cast<int32_t>(entries_.size()) > maximum_ && oldest_ == &it->second) return false;
  return now - it->second.timestamp < static_cast<__time64_t>(timeout_seconds_);
}

void CDSObjectCache::Update(const std::wstring& key, CDSObjectInfo& record) {
  // Built before the lock is taken: a failed key copy leaves the cache as it was.
  const _bstr_t key_copy(key.c_str());
  const __time64_t now = _time64(nullptr);
  std::optional<CDSObjectInfo> evicted, replaced;  // let go after the lock is released
  Guard<CSLock> guard(lock_);
  auto it = entries_.find(key);
  if (it != entries_.end()) {
    // A second fetch of the same key finished after the first was stored.
    CDSObjectCacheEntry& existing = it->second;
    replaced.emplace(existing.record);
    existing.key = key_copy;
    existing.timestamp = now;
    existing.record = record;
    Unlink(&existing);
    LinkAtHead(&existing);
    return;
  }
  EvictOldestIfOverMaximum(&evicted);
  CDSObjectCacheEntry fresh{key_copy, now, record};
  LinkAtHead(&entries_.emplace(key, std::move(fresh)).first->second);
}

size_t CDSObjectCache::Size() {
  Guard<CSLock> guard(lock_);
  return entries_.size();
}

std::vector<std::wstring> CDSObjectCache::KeysNewestFirst() {
  Guard<CSLock> guard(lock_);
  std::vector<std::wstring> keys;
  for (const CDSObjectCacheEntry* entry = newest_; entry != nullptr; entry = entry->older) {
    keys.emplace_back(static_cast<const wchar_t*>(entry->key));
  }
  return keys;
}
