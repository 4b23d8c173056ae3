// The time arithmetic of the LDAP client's system files
// (posix/ldap_api_posix.cc, win/ldap_api_win.cc): a wait as the system's
// timeval, and a request's time limit for the server. Included only by
// those files.
#ifndef USERPOLICY_PLATFORM_LDAP_WAIT_H_
#define USERPOLICY_PLATFORM_LDAP_WAIT_H_

#include <algorithm>
#include <chrono>

namespace platform::ldap {

inline constexpr long long kMicrosecondsPerMillisecond = 1000;
inline constexpr long long kMillisecondsPerSecond = 1000;

// `duration` (a negative one as zero) as a timeval of the system's LDAP
// library (timeval, l_timeval).
template <typename Timeval>
Timeval ToTimeval(std::chrono::milliseconds duration) {
  const long long ms = std::max<long long>(duration.count(), 0);
  Timeval tv{};
  tv.tv_sec = static_cast<decltype(tv.tv_sec)>(ms / kMillisecondsPerSecond);
  tv.tv_usec = static_cast<decltype(tv.tv_usec)>((ms % kMillisecondsPerSecond) * kMicrosecondsPerMillisecond);
  return tv;
}

// The time limit a request asks of the server: whole seconds, rounded up,
// at least one.
inline long long TimeLimitSeconds(std::chrono::milliseconds duration) {
  const long long ms = std::max<long long>(duration.count(), 1);
  return (ms + kMillisecondsPerSecond - 1) / kMillisecondsPerSecond;
}

}  // namespace platform::ldap

#endif  // USERPOLICY_PLATFORM_LDAP_WAIT_H_
