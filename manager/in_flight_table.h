// The in-flight table of one manager: which keys a thread is reading from the
// directory right now, so that other threads asking for the same key wait for
// that read instead of repeating it.
//
// A key is in the table exactly while one thread (its fetcher) reads it. The
// fetcher inserts the entry, reads with no lock held, and removes the entry
// through CAutoRemoveSyncObject (also when the read throws); removal signals
// the entry's completion event, which releases every waiter.
//
// Late waiters. A waiter finds the entry under the in-flight lock but waits
// after releasing it, so the read may end, and the entry be removed, before
// the waiter begins to wait. The completion event is therefore shared and
// reference-counted (CCompletionEvent): the table entry holds one reference
// and every waiter takes one under the lock. Removal signals the event and
// drops the table's reference; the event handle is closed by whoever drops
// the last reference — the remover when nobody waits, else the last waiter
// after its wait returned. A waiter can thus never wait on a closed or reused
// handle, and a manual-reset event that is already set releases it at once.
//
// If the event cannot be created, the entry holds no event: waiters do not
// wait and report that they got no result.
#ifndef USERPOLICY_MANAGER_IN_FLIGHT_TABLE_H_
#define USERPOLICY_MANAGER_IN_FLIGHT_TABLE_H_

#include <exception>
#include <map>
#include <memory>
#include <string>

#include "dsobject/ds_object_info.h"
#include "manager/cs_lock.h"
#include "platform/types.h"

// A manual-reset event shared by a fetcher's table entry and its waiters;
// the handle is closed when the last holder lets go.
class CCompletionEvent {
 public:
  // Creates the event, not signalled. handle() is null when creation failed.
  CCompletionEvent();
  ~CCompletionEvent();
  CCompletionEvent(const CCompletionEvent&) = delete;
  CCompletionEvent& operator=(const CCompletionEvent&) = delete;

  HANDLE handle() const { return handle_; }
  void Signal();
  // Waits without time-out until Signal. REQUIRES: handle() != null.
  void Wait();

  // What the fetch ended with, for waiters that are to share it: set by the
  // fetcher before the event is signalled, read by waiters after Wait
  // returned (the event orders the two).
  void SetFailure(std::exception_ptr failure) { failure_ = std::move(failure); }
  void SetNotFound() { not_found_ = true; }
  const std::exception_ptr& failure() const { return failure_; }
  bool not_found() const { return not_found_; }

 private:
  HANDLE handle_;
  std::exception_ptr failure_;
  bool not_found_ = false;
};

// The value of the in-flight table.
struct CSyncObject {
  CSyncObject();
  std::shared_ptr<CCompletionEvent> event;  // null when the event could not be created
  CDSObjectInfo record;                     // shares the fetcher's record
};

using InFlightMap = std::map<std::wstring, CSyncObject>;

// Removes the fetcher's entry when it goes out of scope, normally or by an
// exception: erases the entry, then signals its event, all under the
// in-flight lock. A missing entry is logged at the warning level.
class CAutoRemoveSyncObject {
 public:
  CAutoRemoveSyncObject(const std::wstring* key, InFlightMap* table, CSLock* lock)
      : m_pKey(key), m_pTable(table), m_pLock(lock) {}
  ~CAutoRemoveSyncObject();
  CAutoRemoveSyncObject(const CAutoRemoveSyncObject&) = delete;
  CAutoRemoveSyncObject& operator=(const CAutoRemoveSyncObject&) = delete;

 private:
  const std::wstring* m_pKey;
  InFlightMap* m_pTable;
  CSLock* m_pLock;
};

#endif  // USERPOLICY_MANAGER_IN_FLIGHT_TABLE_H_
