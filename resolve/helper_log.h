// The debug-log lines of the resolution helpers: DBG::DebugLogEx with this
// module's handle and the caller's source name and line. The level is tested
// inline first, so that a line below the threshold (the group walk writes a
// data line per group) costs no call and evaluates none of its arguments.
#ifndef USERPOLICY_RESOLVE_HELPER_LOG_H_
#define USERPOLICY_RESOLVE_HELPER_LOG_H_

#include "platform/log.h"
#include "platform/module.h"

#define HELPER_LOG(source, level, ...)                                                          \
  do {                                                                                          \
    if (DBG::IsEnabled(level)) {                                                                \
      DBG::DebugLogEx(platform::CurrentModuleHandle(), (level), (source), __LINE__, __VA_ARGS__); \
    }                                                                                           \
  } while (0)

#endif  // USERPOLICY_RESOLVE_HELPER_LOG_H_
