#include "resolve/lookup_failure_recorder.h"

namespace {

// The innermost recorder alive on this thread.
thread_local LookupFailureRecorder* t_recorder = nullptr;

}  // namespace

LookupFailureRecorder::LookupFailureRecorder(Filter counts) : counts_(counts), outer_(t_recorder) {
  t_recorder = this;
}

LookupFailureRecorder::~LookupFailureRecorder() { t_recorder = outer_; }

void LookupFailureRecorder::Record(const OS::CException& failure) noexcept {
  LookupFailureRecorder* recorder = t_recorder;
  if (recorder == nullptr || recorder->failed_) return;
  if (recorder->counts_ != nullptr && !recorder->counts_(failure)) return;
  recorder->failed_ = true;
  try {
    recorder->first_.emplace(failure);
  } catch (...) {
    // No memory for the copy: failed() still tells.
  }
}
