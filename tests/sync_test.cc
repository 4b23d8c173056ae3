// Critical sections, events, handles and Interlocked operations keep their
// Windows semantics.
#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "tests/support/target_system.h"

namespace {

struct HandleCloser {
  void operator()(void* handle) const { CloseHandle(handle); }
};
using ScopedHandle = std::unique_ptr<void, HandleCloser>;

ScopedHandle NewEvent(bool manual_reset, bool initial_state) {
  HANDLE event = CreateEventW(nullptr, manual_reset, initial_state, nullptr);
  EXPECT_NE(event, nullptr);
  return ScopedHandle(event);
}

std::future<DWORD> WaitInThread(HANDLE handle) {
  return std::async(std::launch::async, [handle] { return WaitForSingleObject(handle, INFINITE); });
}

TEST(CriticalSection, IsRecursiveForTheOwnerAndExcludesOtherThreads) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EXPECT_TRUE(TryEnterCriticalSection(&cs));  // second level, same thread
  auto other_thread_try = [&cs] {
    return std::async(std::launch::async, [&cs] {
             const BOOL entered = TryEnterCriticalSection(&cs);
             if (entered) LeaveCriticalSection(&cs);
             return entered;
           }).get();
  };
  EXPECT_FALSE(other_thread_try());
  LeaveCriticalSection(&cs);
  EXPECT_FALSE(other_thread_try()) << "still owned once";
  LeaveCriticalSection(&cs);
  EXPECT_TRUE(other_thread_try());
  DeleteCriticalSection(&cs);
}

TEST(CriticalSection, LockAndInterlockedUpdatesAreNotLostAcrossThreads) {
  constexpr int kThreads = 8;
  constexpr int kIterations = 20000;
  CRITICAL_SECTION cs;
  ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, 4000));
  int64_t locked_counter = 0;  // deliberately not atomic
  LONG volatile counter = 0;
  LONG64 volatile sum = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kIterations; ++i) {
        EnterCriticalSection(&cs);
        EnterCriticalSection(&cs);
        ++locked_counter;
        LeaveCriticalSection(&cs);
        LeaveCriticalSection(&cs);
        InterlockedIncrement(&counter);
        InterlockedExchangeAdd64(&sum, 3);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(locked_counter, int64_t{kThreads} * kIterations);
  EXPECT_EQ(counter, kThreads * kIterations);
  EXPECT_EQ(sum, int64_t{3} * kThreads * kIterations);
  DeleteCriticalSection(&cs);
  // Reference counts rely on Increment and Decrement returning the new value;
  // the timing counters add beyond 32 bits.
  EXPECT_EQ(InterlockedIncrement(&counter), kThreads * kIterations + 1);
  EXPECT_EQ(InterlockedDecrement(&counter), kThreads * kIterations);
  const int64_t big = int64_t{1} << 40;
  EXPECT_EQ(InterlockedExchangeAdd64(&sum, big), int64_t{3} * kThreads * kIterations);
  EXPECT_EQ(sum, big + int64_t{3} * kThreads * kIterations);
}

TEST(Event, ManualResetReleasesEveryWaiterAndStaysSignalled) {
  ScopedHandle event = NewEvent(/*manual_reset=*/true, /*initial_state=*/false);
  std::vector<std::future<DWORD>> waiters;
  for (int i = 0; i < 6; ++i) waiters.push_back(WaitInThread(event.get()));
  ASSERT_TRUE(SetEvent(event.get()));
  for (auto& waiter : waiters) EXPECT_EQ(waiter.get(), WAIT_OBJECT_0);
  // Threads that arrive after SetEvent pass as well.
  EXPECT_EQ(WaitInThread(event.get()).get(), WAIT_OBJECT_0);
}

TEST(Handle, NullClosedAndUnknownHandlesFail) {
  HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(closed));
  std::vector<HANDLE> invalid = {nullptr, reinterpret_cast<HANDLE>(uintptr_t{0x7777})};
  // The POSIX layer never reuses a handle value and gives
  // INVALID_HANDLE_VALUE no meaning; Windows reuses closed handles' values
  // and reads INVALID_HANDLE_VALUE as the current process.
  if (!userpolicy::testing::OnWindows()) invalid.insert(invalid.end(), {INVALID_HANDLE_VALUE, closed});
  for (HANDLE handle : invalid) {
    SCOPED_TRACE(testing::Message() << "handle " << handle);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    for (BOOL (*operation)(HANDLE) : {&SetEvent, &CloseHandle}) {
      SetLastError(ERROR_SUCCESS);
      EXPECT_FALSE(operation(handle));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
  }
}

}  // namespace
