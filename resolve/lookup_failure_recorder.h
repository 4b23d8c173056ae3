// The failures the resolution helpers meet during one call.
//
// The helpers catch the errors of the directory and of the managers, log
// them and go on with what they have: a failure ends only the part of the
// walk it hits, and the caller gets a shorter GUID list (or E_FAIL for an
// e-mail address) without being told why. A caller that must tell a
// complete answer from a partial one keeps a LookupFailureRecorder alive on
// its thread around the helper call and asks it afterwards.
//
//   LookupFailureRecorder recorder(&IsFailureOfTheCall);
//   CPolicyFilterDSAccessHelper::GetUserIdentityAndMembershipGuids(sip, guids);
//   if (const OS::CException* failure = recorder.first_failure()) ...
//
// Thread safety: a recorder belongs to the thread that made it and sees
// only the failures the helpers catch on that thread. Recorders nest: the
// innermost one receives the failures while it lives.
#ifndef USERPOLICY_RESOLVE_LOOKUP_FAILURE_RECORDER_H_
#define USERPOLICY_RESOLVE_LOOKUP_FAILURE_RECORDER_H_

#include <optional>

#include "platform/exception.h"

class LookupFailureRecorder {
 public:
  // Which failures count (must not throw); null: all of them.
  using Filter = bool (*)(const OS::CException& failure);

  explicit LookupFailureRecorder(Filter counts = nullptr);
  ~LookupFailureRecorder();
  LookupFailureRecorder(const LookupFailureRecorder&) = delete;
  LookupFailureRecorder& operator=(const LookupFailureRecorder&) = delete;

  // The first failure that counts, or null when there was none.
  const OS::CException* first_failure() const { return first_ ? &*first_ : nullptr; }
  // True also when a failure counted but could not be copied (no memory).
  bool failed() const { return failed_; }

  // Called by the helpers where they catch a failure and go on: hands it to
  // the recorder of this thread, if any. Never throws.
  static void Record(const OS::CException& failure) noexcept;

 private:
  Filter counts_;
  std::optional<OS::CException> first_;
  bool failed_ = false;
  LookupFailureRecorder* outer_;
};

#endif  // USERPOLICY_RESOLVE_LOOKUP_FAILURE_RECORDER_H_
