#include "capi/call_gate.h"

namespace capi {

void CallGate::Open() { state_.fetch_or(kOpen, std::memory_order_acq_rel); }

void CallGate::CloseAndDrain() {
  state_.fetch_and(~kOpen, std::memory_order_acq_rel);
  for (uint32_t state = state_.load(std::memory_order_acquire); state != 0;
       state = state_.load(std::memory_order_acquire)) {
    state_.wait(state, std::memory_order_acquire);
  }
}

bool CallGate::is_open() const { return (state_.load(std::memory_order_acquire) & kOpen) != 0; }

int CallGate::calls_inside() const { return static_cast<int>(state_.load(std::memory_order_acquire) / kOneCall); }

bool CallGate::Enter() {
  if ((state_.fetch_add(kOneCall, std::memory_order_acq_rel) & kOpen) != 0) return true;
  Leave();
  return false;
}

void CallGate::Leave() {
  // The last call out of a closed gate wakes the thread that closes it.
  if (state_.fetch_sub(kOneCall, std::memory_order_acq_rel) == kOneCall) state_.notify_all();
}

CallGate& ModuleGate() {
  static CallGate gate;
  return gate;
}

}  // namespace capi
