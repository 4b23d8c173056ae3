// Where the debug log's lines go: the system-specific half of
// "platform/log.h". Internal to the platform layer; only log.cc uses it.
// Implemented in platform/posix/log_output_posix.cc and
// platform/win/log_output_win.cc.
#ifndef USERPOLICY_PLATFORM_LOG_OUTPUT_H_
#define USERPOLICY_PLATFORM_LOG_OUTPUT_H_

#include <memory>
#include <string>
#include <string_view>

#include "platform/log.h"

namespace platform {

// One formatted record: `text` is the whole line including its final '\n';
// text.substr(body_offset) drops the leading time (for syslog, which stamps
// records itself).
struct LogLine {
  std::string_view text;
  size_t body_offset = 0;
  DBG::Severity severity = DBG::Severity::kInfo;
};

// An open destination. Not thread-safe: the log serialises all calls.
class LogOutput {
 public:
  // Opens the destination `options` name. Returns null and describes the
  // problem in *error when that fails (e.g. a file that cannot be created).
  static std::unique_ptr<LogOutput> Open(const DBG::LogOptions& options, std::string* error);
  // The standard error stream; cannot fail.
  static std::unique_ptr<LogOutput> OpenStderr();

  virtual ~LogOutput() = default;

  // Writes one line; a line goes out whole with one system call.
  virtual void Write(const LogLine& line) = 0;
};

}  // namespace platform

#endif  // USERPOLICY_PLATFORM_LOG_OUTPUT_H_
