// Critical sections, events, handles and Interlocked operations keep their
// Windows semantics.
#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <future>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace {

// Closes a handle at the end of a scope.
struct HandleCloser {
  void operator()(void* handle) const { CloseHandle(handle); }
};
using ScopedHandle = std::unique_ptr<void, HandleCloser>;

ScopedHandle NewEvent(bool manual_reset, bool initial_state) {
  HANDLE event = CreateEventW(nullptr, manual_reset, initial_state, nullptr);
  EXPECT_NE(event, nullptr);
  return ScopedHandle(event);
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

TEST(CriticalSection, ProtectsSharedDataAcrossThreads) {
  constexpr int kThreads = 8;
  constexpr int kIterations = 20000;
  CRITICAL_SECTION cs;
  ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, 4000));
  int64_t counter = 0;  // deliberately not atomic
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kIterations; ++i) {
        EnterCriticalSection(&cs);
        EnterCriticalSection(&cs);
        ++counter;
        LeaveCriticalSection(&cs);
        LeaveCriticalSection(&cs);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, int64_t{kThreads} * kIterations);
  DeleteCriticalSection(&cs);
}

TEST(Event, ManualResetReleasesEveryWaiterAndStaysSignalled) {
  constexpr int kWaiters = 6;
  ScopedHandle event = NewEvent(/*manual_reset=*/true, /*initial_state=*/false);
  std::vector<std::future<DWORD>> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.push_back(std::async(std::launch::async,
                                 [h = event.get()] { return WaitForSingleObject(h, INFINITE); }));
  }
  ASSERT_TRUE(SetEvent(event.get()));
  for (auto& waiter : waiters) EXPECT_EQ(waiter.get(), WAIT_OBJECT_0);

  // Threads that arrive after SetEvent pass as well, until ResetEvent.
  auto late = std::async(std::launch::async,
                         [h = event.get()] { return WaitForSingleObject(h, INFINITE); });
  EXPECT_EQ(late.get(), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(event.get()));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(Event, AutoResetReleasesOneWaiterPerSet) {
  // Set with nobody waiting: the event stays signalled for exactly one wait.
  ScopedHandle event = NewEvent(/*manual_reset=*/false, /*initial_state=*/false);
  ASSERT_TRUE(SetEvent(event.get()));
  ASSERT_TRUE(SetEvent(event.get()));  // setting a signalled event changes nothing
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);

  constexpr int kWaiters = 3;
  std::atomic<int> released{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kWaiters; ++i) {
    threads.emplace_back([&, h = event.get()] {
      if (WaitForSingleObject(h, INFINITE) == WAIT_OBJECT_0) ++released;
    });
  }
  for (int set = 1; set <= kWaiters; ++set) {
    ASSERT_TRUE(SetEvent(event.get()));
    // Each SetEvent is consumed by exactly one wait, by a waiter or by us.
    while (released.load() < set) {
      if (WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0) {
        ASSERT_TRUE(SetEvent(event.get()));  // give it back to the waiters
      }
      std::this_thread::yield();
    }
    EXPECT_EQ(released.load(), set);
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(released.load(), kWaiters);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(Event, WaitTimesOutWhenNotSignalled) {
  constexpr DWORD kTimeoutMs = 30;
  ScopedHandle event = NewEvent(/*manual_reset=*/true, /*initial_state=*/false);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(event.get(), kTimeoutMs), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kTimeoutMs));

  ScopedHandle initially_set = NewEvent(/*manual_reset=*/false, /*initial_state=*/true);
  EXPECT_EQ(WaitForSingleObject(initially_set.get(), kTimeoutMs), WAIT_OBJECT_0);
}

TEST(Event, NamedEventsAreRefused) {
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, L"Global\\something"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Handle, OperationsOnInvalidHandlesFailWithInvalidHandle) {
  HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(closed, nullptr);
  ASSERT_TRUE(CloseHandle(closed));
  const HANDLE kInvalid[] = {nullptr, INVALID_HANDLE_VALUE, closed,
                             reinterpret_cast<HANDLE>(uintptr_t{0x7777})};
  for (HANDLE handle : kInvalid) {
    SCOPED_TRACE(testing::Message() << "handle " << handle);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(SetEvent(handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(ResetEvent(handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
}

TEST(Handle, ValuesAreNeverReused) {
  std::set<HANDLE> seen;
  for (int i = 0; i < 100; ++i) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_TRUE(seen.insert(event).second) << "handle value handed out twice";
    ASSERT_TRUE(CloseHandle(event));
  }
}

// A kernel object whose wait blocks until the test lets it go, so the test
// can close the handle while a thread is inside the wait.
class GateObject : public platform::KernelObject {
 public:
  GateObject(std::promise<void>* entered, std::shared_future<void> open,
             std::atomic<bool>* destroyed)
      : entered_(entered), open_(std::move(open)), destroyed_(destroyed) {}
  ~GateObject() override { *destroyed_ = true; }
  DWORD Wait(DWORD) override {
    entered_->set_value();
    open_.wait();
    return WAIT_OBJECT_0;
  }

 private:
  std::promise<void>* entered_;
  std::shared_future<void> open_;
  std::atomic<bool>* destroyed_;
};

TEST(Handle, WaiterKeepsTheObjectAliveAcrossCloseHandle) {
  std::promise<void> entered;
  std::promise<void> open;
  std::atomic<bool> destroyed{false};
  HANDLE handle = platform::RegisterKernelObject(
      std::make_shared<GateObject>(&entered, open.get_future().share(), &destroyed));
  auto waiter =
      std::async(std::launch::async, [handle] { return WaitForSingleObject(handle, INFINITE); });
  entered.get_future().wait();

  ASSERT_TRUE(CloseHandle(handle));
  EXPECT_FALSE(destroyed.load()) << "destroyed while a thread waits on it";
  EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_FAILED);
  open.set_value();
  EXPECT_EQ(waiter.get(), WAIT_OBJECT_0);
  EXPECT_TRUE(destroyed.load());
}

TEST(ThreadState, LastErrorAndThreadIdArePerThread) {
  SetLastError(1234);
  const DWORD main_id = GetCurrentThreadId();
  EXPECT_EQ(GetCurrentThreadId(), main_id);
  auto other = std::async(std::launch::async, [] {
    const DWORD inherited = GetLastError();
    SetLastError(99);
    return std::make_pair(inherited, GetCurrentThreadId());
  });
  const auto [inherited, other_id] = other.get();
  EXPECT_EQ(inherited, 0u);
  EXPECT_NE(other_id, main_id);
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST(Interlocked, ReturnValuesMatchWindows) {
  LONG volatile value = 5;
  EXPECT_EQ(InterlockedIncrement(&value), 6);
  EXPECT_EQ(InterlockedDecrement(&value), 5);
  EXPECT_EQ(InterlockedExchange(&value, 40), 5);
  EXPECT_EQ(value, 40);
  EXPECT_EQ(InterlockedExchangeAdd(&value, 2), 40);
  EXPECT_EQ(value, 42);
  EXPECT_EQ(InterlockedCompareExchange(&value, 7, 41), 42);  // no match: unchanged
  EXPECT_EQ(value, 42);
  EXPECT_EQ(InterlockedCompareExchange(&value, 7, 42), 42);
  EXPECT_EQ(value, 7);

  value = INT32_MAX;
  EXPECT_EQ(InterlockedIncrement(&value), INT32_MIN);
  EXPECT_EQ(InterlockedDecrement(&value), INT32_MAX);
  EXPECT_EQ(InterlockedExchangeAdd(&value, 1), INT32_MAX);
  EXPECT_EQ(value, INT32_MIN);

  LONG64 volatile wide = INT64_MAX;
  EXPECT_EQ(InterlockedIncrement64(&wide), INT64_MIN);
  EXPECT_EQ(InterlockedDecrement64(&wide), INT64_MAX);
  EXPECT_EQ(InterlockedExchange64(&wide, int64_t{1} << 40), INT64_MAX);
  EXPECT_EQ(InterlockedExchangeAdd64(&wide, 3), int64_t{1} << 40);
  EXPECT_EQ(InterlockedCompareExchange64(&wide, 0, 3), (int64_t{1} << 40) + 3);
  EXPECT_EQ(InterlockedCompareExchange64(&wide, 0, (int64_t{1} << 40) + 3),
            (int64_t{1} << 40) + 3);
  EXPECT_EQ(wide, 0);

  int a = 0, b = 0;
  PVOID volatile pointer = &a;
  EXPECT_EQ(InterlockedExchangePointer(&pointer, &b), &a);
  EXPECT_EQ(InterlockedCompareExchangePointer(&pointer, nullptr, &a), &b);
  EXPECT_EQ(pointer, &b);
  EXPECT_EQ(InterlockedCompareExchangePointer(&pointer, nullptr, &b), &b);
  EXPECT_EQ(pointer, nullptr);
}

TEST(Interlocked, ConcurrentUpdatesAreNotLost) {
  constexpr int kThreads = 4;
  constexpr int kIterations = 50000;
  LONG volatile counter = 0;
  LONG64 volatile sum = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kIterations; ++i) {
        InterlockedIncrement(&counter);
        InterlockedExchangeAdd64(&sum, 3);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, kThreads * kIterations);
  EXPECT_EQ(sum, int64_t{3} * kThreads * kIterations);
}

}  // namespace
