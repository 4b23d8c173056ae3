// The handle table of the POSIX synchronisation layer: on Windows the
// kernel keeps its objects alive for threads that wait on them, and the
// layer's table must do the same.
#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>

namespace {

std::future<DWORD> WaitInThread(HANDLE handle) {
  return std::async(std::launch::async, [handle] { return WaitForSingleObject(handle, INFINITE); });
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

}  // namespace
