// Whether the module is started, and which calls are inside it.
//
// up_start opens the gate once the module runs; every call that uses the
// module (lookups, this process's counters) passes through it, and up_stop
// closes it and waits until the calls inside have left before it stops the
// module. So no call ever reaches a manager, or the performance object,
// that a stop is taking down; a call that comes too late is refused
// (UP_NOT_STARTED) without touching anything.
//
// Thread safety: Enter and Leave may be called from any number of threads
// at once; Open and CloseAndDrain by one thread at a time (start and stop).
#ifndef USERPOLICY_CAPI_CALL_GATE_H_
#define USERPOLICY_CAPI_CALL_GATE_H_

#include <atomic>
#include <cstdint>

namespace capi {

class CallGate {
 public:
  CallGate() = default;
  CallGate(const CallGate&) = delete;
  CallGate& operator=(const CallGate&) = delete;

  // Lets calls in from now on. What the opening thread wrote before is
  // visible to every call that enters.
  void Open();
  // Stops letting calls in and returns once every call inside has left;
  // what those calls did is then visible to the closing thread. Calls that
  // try to enter meanwhile are refused.
  void CloseAndDrain();
  bool is_open() const;
  // How many calls are inside now (a snapshot, for diagnostics and tests).
  int calls_inside() const;

  // True when the call may go in; it must then Leave exactly once.
  bool Enter();
  void Leave();

 private:
  // Bit 0: open. The rest counts the calls inside, two per call.
  static constexpr uint32_t kOpen = 1;
  static constexpr uint32_t kOneCall = 2;
  std::atomic<uint32_t> state_{0};
};

// The module's gate.
CallGate& ModuleGate();

// Holds a place inside ModuleGate() from construction to destruction.
class GatePass {
 public:
  GatePass() : entered_(ModuleGate().Enter()) {}
  ~GatePass() {
    if (entered_) ModuleGate().Leave();
  }
  GatePass(const GatePass&) = delete;
  GatePass& operator=(const GatePass&) = delete;

  // False when the module is not started: the call must not go on.
  bool entered() const { return entered_; }

 private:
  const bool entered_;
};

}  // namespace capi

#endif  // USERPOLICY_CAPI_CALL_GATE_H_
