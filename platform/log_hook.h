// Hook of the debug log of "platform/log.h": a sink that receives the
// records the log emits, for tests that assert on log lines (the
// test-support library's log capture, testing/log_capture.h). Product code
// installs no sink.
//
// While sinks are installed, every record that passes the threshold goes to
// the innermost (last pushed) sink, from whichever thread logged it, instead
// of the configured destination, or in addition to it when that sink was
// pushed with `also_write`. A sink pushed with a threshold replaces the
// configured threshold while it is the innermost one.
#ifndef USERPOLICY_PLATFORM_LOG_HOOK_H_
#define USERPOLICY_PLATFORM_LOG_HOOK_H_

#include <cstdint>
#include <optional>
#include <string>

#include "platform/log.h"
#include "platform/types.h"

namespace DBG {

// One emitted record.
struct LogRecord {
  int level = 0;
  Severity severity = Severity::kOff;
  std::string source;          // "?" when the caller passed null
  int line = 0;
  std::string message;         // formatted, UTF-8, not escaped
  std::wstring wide_message;   // the same, as formatted
  DWORD thread_id = 0;
  int64_t time = 0;            // FILETIME ticks (honours the fake clock)
};

class LogSink {
 public:
  virtual ~LogSink() = default;
  // Called for every record while this sink is the innermost one, from the
  // thread that logged, under the log's lock: must not log.
  virtual void Add(LogRecord record) = 0;
};

namespace hooks {

// Makes `sink` (not owned; must stay alive until PopLogSink) the innermost
// sink. `threshold`, when given, is the threshold in effect while it is.
void PushLogSink(LogSink* sink, std::optional<Severity> threshold, bool also_write);
// Removes `sink`, wherever it is among the installed sinks.
void PopLogSink(LogSink* sink);

}  // namespace hooks
}  // namespace DBG

#endif  // USERPOLICY_PLATFORM_LOG_HOOK_H_
