// CSLock and Guard<CSLock>: the lock and its scoped holder used for every
// lock of the module (the factory lock, and in each manager the cache lock
// and the in-flight lock).
//
// CSLock is a critical section: recursive for the thread that holds it.
// Guard<CSLock> locks in its constructor and unlocks at most once, in its
// destructor (also when an exception unwinds through its scope). Both report
// to the lock-discipline checks (manager/lock_discipline.h): no two module
// locks are ever held together, and none is held while the directory is read.
//
// The classes are annotated for clang's -Wthread-safety, so members marked
// GUARDED_BY a CSLock are checked at compile time.
#ifndef USERPOLICY_MANAGER_CS_LOCK_H_
#define USERPOLICY_MANAGER_CS_LOCK_H_

#include "manager/lock_discipline.h"
#include "platform/sync.h"
#include "platform/thread_annotations.h"

class CAPABILITY("module lock") CSLock {
 public:
  CSLock() { InitializeCriticalSection(&m_cs); }
  virtual ~CSLock() { DeleteCriticalSection(&m_cs); }
  CSLock(const CSLock&) = delete;
  CSLock& operator=(const CSLock&) = delete;

  // Both return 0.
  int Lock() ACQUIRE() {
    EnterCriticalSection(&m_cs);
    lock_discipline::NoteAcquired(this);
    return 0;
  }
  int Unlock() RELEASE() {
    lock_discipline::NoteReleased(this);
    LeaveCriticalSection(&m_cs);
    return 0;
  }

 private:
  CRITICAL_SECTION m_cs;
};

template <class T>
class SCOPED_CAPABILITY Guard {
 public:
  explicit Guard(T& lock) ACQUIRE(lock) : m_pLock(&lock), m_state(lock.Lock()) {}
  virtual ~Guard() RELEASE() { Release(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  static constexpr int kReleased = -1;

  void Release() NO_THREAD_SAFETY_ANALYSIS {
    if (m_state == kReleased) return;
    m_state = kReleased;
    m_pLock->Unlock();
  }

  T* m_pLock;
  int m_state;
};

#endif  // USERPOLICY_MANAGER_CS_LOCK_H_
