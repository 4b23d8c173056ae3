// Which implementation of the Windows names a test program runs on: the
// platform layer's own on POSIX systems, or Windows itself (under wine in
// the suite). A test whose expectation differs between the two because the
// POSIX layer leaves a Windows detail out, or because Windows decides it
// (its texts, its handle values, its page size), asks here; the value comes
// from a per-system file of the test support.
#ifndef USERPOLICY_TESTS_SUPPORT_TARGET_SYSTEM_H_
#define USERPOLICY_TESTS_SUPPORT_TARGET_SYSTEM_H_

namespace userpolicy::testing {

bool OnWindows();

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_TARGET_SYSTEM_H_
