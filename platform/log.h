// The debug log: DBG::DebugLogEx writes one line per call to stderr, a file
// or syslog.
//
//   DBG::DebugLogEx(module, DBG::kLevelWarning, "serv_UserPolicyManager", __LINE__,
//                   L"lookup of %s failed: 0x%08X", user, hr);
//
// Levels and severities. Callers pass the numeric levels below; each maps
// onto a severity, and a record is written when its severity is at or above
// the configured threshold:
//
//   level                         severity   name in the line
//   4097 kLevelFailure            error      ERROR
//   4099 kLevelWarning            warning    WARN
//    258 kLevelData               info       INFO
//    272 kLevelEnter, 273 Leave   trace      TRACE
//   other, bit 0x1000 set         warning    WARN
//   other                         info       INFO
//
// Thresholds, from quietest: "off" (nothing), "error", "warning" (the
// default), "info", "trace" (everything).
//
// A line reads
//   2026-12-05T20:05:15.123456Z 12345 WARN 4099 serv_UserPolicyManager:120 the message
// : UTC time with microseconds, thread id, severity, numeric level,
// source:line, and the message as UTF-8. The message format follows the
// Windows wide rules of _snwprintf ("platform/crt.h": %s is a wide string,
// %S a narrow UTF-8 one, %ld 32 bits, %I64d 64 bits). A record always stays
// one line: a line break at the end of the message is dropped, line breaks
// inside it are written as the two characters \n (\r likewise), and other
// control characters except tab as \xHH. Backslashes are not escaped (so
// DOMAIN\user reads naturally). A message whose format is invalid is written
// as its format text followed by " [invalid format]". Syslog records carry
// the same text without the time, at priority LOG_ERR, LOG_WARNING,
// LOG_INFO or LOG_DEBUG.
//
// Configuration is read from the environment at the first use of the log:
//   USERPOLICY_LOG_LEVEL  a threshold name (case-insensitive)
//   USERPOLICY_LOG        "stderr", "syslog", or the path of a file to
//                         append to. On Windows "syslog" is the debugger's
//                         output (OutputDebugString: a debugger or
//                         DebugView shows it), and a service's stderr goes
//                         nowhere.
// An unknown threshold name or a file that cannot be opened keeps the
// default and writes one warning line naming the variable and its value.
// DBG::Configure replaces the configuration at run time.
//
// Every function is thread-safe. A file destination receives each record
// with a single write(2) (Windows: WriteFile to a file opened for appending
// only) of the whole line, so lines of concurrent writers never interleave. The `module` argument is accepted for compatibility and
// not used.
#ifndef USERPOLICY_PLATFORM_LOG_H_
#define USERPOLICY_PLATFORM_LOG_H_

#include <atomic>
#include <cstdarg>
#include <string>
#include <string_view>

#include "platform/types.h"

namespace DBG {

// The levels the module logs at.
inline constexpr int kLevelData = 258;       // progress and data
inline constexpr int kLevelEnter = 272;      // function entry
inline constexpr int kLevelLeave = 273;      // function exit
inline constexpr int kLevelFailure = 4097;   // failures
inline constexpr int kLevelWarning = 4099;   // warnings
// Levels outside the list above with this bit set are warnings.
inline constexpr int kWarningLevelBit = 0x1000;

// Severities, ordered from most to least important. As a threshold, kOff
// disables the log and every other value enables its own and the more
// important severities.
enum class Severity : int { kOff = 0, kError = 1, kWarning = 2, kInfo = 3, kTrace = 4 };

constexpr Severity SeverityOf(int level) {
  switch (level) {
    case kLevelFailure: return Severity::kError;
    case kLevelWarning: return Severity::kWarning;
    case kLevelData: return Severity::kInfo;
    case kLevelEnter:
    case kLevelLeave: return Severity::kTrace;
    default: return (level & kWarningLevelBit) != 0 ? Severity::kWarning : Severity::kInfo;
  }
}

// "off", "error", "warning", "info", "trace".
std::string_view ThresholdName(Severity threshold);
// Severity name as written in a line: "ERROR", "WARN", "INFO", "TRACE"
// ("OFF" for kOff).
std::string_view SeverityLabel(Severity severity);

// Parses a threshold name (case-insensitive; "warn" is accepted for
// "warning"). Returns false and leaves *threshold alone for other text.
bool ParseThreshold(std::string_view name, Severity* threshold);

enum class Destination { kStderr, kFile, kSyslog };

struct LogOptions {
  Severity threshold = Severity::kWarning;
  Destination destination = Destination::kStderr;
  std::string file_path;                  // for kFile
  std::string syslog_ident = "userpolicy";  // for kSyslog
};

// Replaces the configuration; a file is (re)opened even when the path did
// not change. Returns false when the file cannot be opened: the log then
// writes to stderr (and says so there once). Records being written by other
// threads go to the old or the new destination, never to neither.
bool Configure(const LogOptions& options);
// As Configure, except that a file that cannot be opened leaves the
// configuration as it was, writes nothing and describes the problem in
// *error ("cannot open log file PATH: reason").
bool Configure(const LogOptions& options, std::string* error);

// The variable that names the log's destination ("stderr", "syslog" or a
// file), read at first use and by ConfigureFromEnvironment.
inline constexpr char kLogDestinationVariable[] = "USERPOLICY_LOG";

// The configuration in effect (after a failed file open: the stderr one).
LogOptions GetOptions();

// Reads USERPOLICY_LOG_LEVEL and USERPOLICY_LOG again and applies them over
// the defaults, as at first use. Returns false when a value was bad (and
// reported).
bool ConfigureFromEnvironment();

namespace internal {
// The effective threshold as an int, or kNotConfigured before first use.
inline constexpr int kNotConfigured = -1;
extern std::atomic<int> g_threshold;
bool IsEnabledSlow(int level);
}  // namespace internal

// True when a record at `level` would be written now. Costs one relaxed
// atomic load.
inline bool IsEnabled(int level) {
  const int threshold = internal::g_threshold.load(std::memory_order_relaxed);
  if (threshold == internal::kNotConfigured) [[unlikely]] {
    return internal::IsEnabledSlow(level);
  }
  return static_cast<int>(SeverityOf(level)) <= threshold;
}

// Writes one record when `level` is enabled; otherwise returns after the
// IsEnabled check without reading the arguments. `source` may be null.
void DebugLogEx(HMODULE module, int level, const char* source, int line, const wchar_t* format,
                ...);
void DebugLogExV(HMODULE module, int level, const char* source, int line, const wchar_t* format,
                 va_list args);

}  // namespace DBG

#endif  // USERPOLICY_PLATFORM_LOG_H_
