// The fake-clock hook, shared by every system's clock implementation.
#include "platform/clock_hook.h"

namespace platform::clock_hook {

std::atomic<int64_t> g_fake_ticks{kRealClock};

}  // namespace platform::clock_hook
