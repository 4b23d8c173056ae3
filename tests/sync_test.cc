// Critical sections, events, handles and Interlocked operations keep their
// Windows semantics.
#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <set>
#include <thread>
#include <vector>

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
}

TEST(Event, ManualResetReleasesEveryWaiterAndStaysSignalled) {
  ScopedHandle event = NewEvent(/*manual_reset=*/true, /*initial_state=*/false);
  std::vector<std::future<DWORD>> waiters;
  for (int i = 0; i < 6; ++i) waiters.push_back(WaitInThread(event.get()));
  ASSERT_TRUE(SetEvent(event.get()));
  for (auto& waiter : waiters) EXPECT_EQ(waiter.get(), WAIT_OBJECT_0);
  // Threads that arrive after SetEvent pass as well, until ResetEvent.
  EXPECT_EQ(WaitInThread(event.get()).get(), WAIT_OBJECT_0);
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
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);

  // A timed wait on an unsignalled event waits out its time; the initial state
  // counts; named events are refused.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(event.get(), 30), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
  EXPECT_EQ(WaitForSingleObject(NewEvent(false, /*initial_state=*/true).get(), 0), WAIT_OBJECT_0);
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, L"Global\\something"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Handle, InvalidHandlesFailAndValuesAreNeverReused) {
  HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(closed));
  for (HANDLE handle : {HANDLE{nullptr}, INVALID_HANDLE_VALUE, closed,
                        reinterpret_cast<HANDLE>(uintptr_t{0x7777})}) {
    SCOPED_TRACE(testing::Message() << "handle " << handle);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    for (BOOL (*operation)(HANDLE) : {&SetEvent, &ResetEvent, &CloseHandle}) {
      SetLastError(ERROR_SUCCESS);
      EXPECT_FALSE(operation(handle));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
  }
  std::set<HANDLE> seen;
  for (int i = 0; i < 100; ++i) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_TRUE(seen.insert(event).second) << "handle value handed out twice";
    ASSERT_TRUE(CloseHandle(event));
  }
}

// A kernel object whose wait blocks until the test opens it, so the test can
// close the handle while a thread is inside the wait.
struct Gate {
  std::promise<void> entered, open;
  std::atomic<bool> destroyed{false};
};
class GateObject : public platform::KernelObject {
 public:
  explicit GateObject(Gate* gate) : gate_(gate), open_(gate->open.get_future()) {}
  ~GateObject() override { gate_->destroyed = true; }
  DWORD Wait(DWORD) override {
    gate_->entered.set_value();
    open_.wait();
    return WAIT_OBJECT_0;
  }

 private:
  Gate* const gate_;
  std::future<void> open_;
};

TEST(Handle, WaiterKeepsTheObjectAliveAcrossCloseHandle) {
  Gate gate;
  HANDLE handle = platform::RegisterKernelObject(std::make_shared<GateObject>(&gate));
  auto waiter = WaitInThread(handle);
  gate.entered.get_future().wait();
  ASSERT_TRUE(CloseHandle(handle));
  EXPECT_FALSE(gate.destroyed) << "destroyed while a thread waits on it";
  EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_FAILED);
  gate.open.set_value();
  EXPECT_EQ(waiter.get(), WAIT_OBJECT_0);
  EXPECT_TRUE(gate.destroyed);
}

TEST(Interlocked, ReturnValuesMatchWindows) {
  // Increment and Decrement return the new value, the others the old one.
  LONG volatile value = INT32_MAX;
  EXPECT_EQ(InterlockedIncrement(&value), INT32_MIN);  // wraps around
  EXPECT_EQ(InterlockedDecrement(&value), INT32_MAX);
  EXPECT_EQ(InterlockedExchange(&value, 40), INT32_MAX);
  EXPECT_EQ(InterlockedExchangeAdd(&value, 2), 40);
  EXPECT_EQ(InterlockedCompareExchange(&value, 7, 41), 42);  // no match: unchanged
  EXPECT_EQ(value, 42);
  EXPECT_EQ(InterlockedCompareExchange(&value, 7, 42), 42);
  EXPECT_EQ(value, 7);

  const int64_t big = int64_t{1} << 40;
  LONG64 volatile wide = INT64_MAX;
  EXPECT_EQ(InterlockedIncrement64(&wide), INT64_MIN);
  EXPECT_EQ(InterlockedDecrement64(&wide), INT64_MAX);
  EXPECT_EQ(InterlockedExchange64(&wide, big), INT64_MAX);
  EXPECT_EQ(InterlockedExchangeAdd64(&wide, 3), big);
  EXPECT_EQ(wide, big + 3);
}

}  // namespace
