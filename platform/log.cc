// The debug log: configuration, record formatting and the sink hook.
// The destinations themselves live in the system-specific LogOutput.
#include "platform/hex.h"
#include "platform/log.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "platform/ascii.h"
#include "platform/clock.h"
#include "platform/crt.h"
#include "platform/log_output.h"
#include "platform/log_hook.h"
#include "platform/sync.h"
#include "platform/utf8.h"

namespace DBG {
namespace internal {

std::atomic<int> g_threshold{kNotConfigured};

}  // namespace internal

namespace {

constexpr char kLevelVariable[] = "USERPOLICY_LOG_LEVEL";
constexpr const char* kDestinationVariable = kLogDestinationVariable;
constexpr char kLogSource[] = "log";
constexpr char kUnknownSource[] = "?";
constexpr wchar_t kInvalidFormatNote[] = L" [invalid format]";

constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerMicrosecond = 10;

struct ThresholdEntry {
  std::string_view name;
  Severity threshold;
};
constexpr ThresholdEntry kThresholdNames[] = {
    {"off", Severity::kOff},   {"error", Severity::kError}, {"warning", Severity::kWarning},
    {"info", Severity::kInfo}, {"trace", Severity::kTrace}, {"warn", Severity::kWarning},
};

int64_t NowTicks() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) |
                              now.dwLowDateTime);
}

// Appends `message` so that it stays on one line (see log.h).
void AppendEscaped(std::string* out, std::string_view message) {
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
    message.remove_suffix(1);
  }
  for (const char c : message) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      out->append("\\n");
    } else if (c == '\r') {
      out->append("\\r");
    } else if ((byte < 0x20 && c != '\t') || byte == 0x7F) {
      out->append("\\x");
      platform::AppendLowerHexByte(out, byte);
    } else {
      out->push_back(c);
    }
  }
}

// Builds the full line of `record`; *body_offset receives where the part
// after the time starts.
std::string FormatLine(const LogRecord& record, size_t* body_offset) {
  FILETIME file_time;
  file_time.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(record.time) & 0xFFFFFFFFu);
  file_time.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(record.time) >> 32);
  SYSTEMTIME st{};
  FileTimeToSystemTime(&file_time, &st);
  const auto microseconds =
      static_cast<unsigned>((record.time % kTicksPerSecond) / kTicksPerMicrosecond);

  char stamp[64];
  const int stamp_length =
      snprintf(stamp, sizeof(stamp), "%04u-%02u-%02uT%02u:%02u:%02u.%06uZ ", st.wYear, st.wMonth,
               st.wDay, st.wHour, st.wMinute, st.wSecond, microseconds);
  const std::string_view label = SeverityLabel(record.severity);
  char header[64];
  const int header_length = snprintf(header, sizeof(header), "%u %.*s %d ", static_cast<unsigned>(record.thread_id),
                                     static_cast<int>(label.size()), label.data(), record.level);

  std::string line;
  line.reserve(static_cast<size_t>(stamp_length + header_length) + record.source.size() +
               record.message.size() + 16);
  line.append(stamp, static_cast<size_t>(stamp_length));
  *body_offset = line.size();
  line.append(header, static_cast<size_t>(header_length));
  line.append(record.source);
  line.push_back(':');
  line.append(std::to_string(record.line));
  line.push_back(' ');
  AppendEscaped(&line, record.message);
  line.push_back('\n');
  return line;
}

// The process-wide log. Created at first use and never destroyed, so static
// destructors may still log.
class Logger {
 public:
  static Logger& Instance() {
    alignas(Logger) static unsigned char storage[sizeof(Logger)];
    static Logger* const logger = [] {
      Logger* created = ::new (storage) Logger();
      created->ConfigureFromEnvironment();
      return created;
    }();
    return *logger;
  }

  bool Configure(const LogOptions& options) EXCLUDES(mu_) {
    std::string error;
    if (!Apply(options, &error)) {
      Notice(error + "; logging to stderr");
      return false;
    }
    return true;
  }

  // As Configure, but a destination that cannot be opened changes nothing
  // and is described in *error instead of a notice.
  bool ConfigureOrFail(const LogOptions& options, std::string* error) EXCLUDES(mu_) {
    if (options.destination != Destination::kFile) return Apply(options, error);
    std::unique_ptr<platform::LogOutput> output = platform::LogOutput::Open(options, error);
    if (output == nullptr) return false;
    platform::MutexLock lock(&mu_);
    output_ = std::move(output);
    options_ = options;
    PublishThreshold();
    return true;
  }

  LogOptions options() EXCLUDES(mu_) {
    platform::MutexLock lock(&mu_);
    return options_;
  }

  bool ConfigureFromEnvironment() EXCLUDES(mu_) {
    LogOptions options;
    std::vector<std::string> problems;
    const char* level = std::getenv(kLevelVariable);
    if (level != nullptr && *level != '\0' && !ParseThreshold(level, &options.threshold)) {
      problems.push_back(std::string("environment variable ") + kLevelVariable +
                         " has the unknown value \"" + level + "\"; the threshold stays \"" +
                         std::string(ThresholdName(options.threshold)) + "\"");
    }
    const char* destination = std::getenv(kDestinationVariable);
    if (destination != nullptr && *destination != '\0') {
      const std::string_view value = destination;
      if (value == "stderr") {
        options.destination = Destination::kStderr;
      } else if (value == "syslog") {
        options.destination = Destination::kSyslog;
      } else {
        options.destination = Destination::kFile;
        options.file_path = destination;
      }
    }
    std::string error;
    if (!Apply(options, &error)) {
      problems.push_back(std::string("environment variable ") + kDestinationVariable + "=\"" +
                         destination + "\": " + error + "; logging to stderr");
    }
    for (const std::string& problem : problems) Notice(problem);
    return problems.empty();
  }

  // Writes one record if `level` passes the threshold in effect now.
  void Emit(int level, const char* source, int line, std::wstring message) EXCLUDES(mu_) {
    LogRecord record;
    record.level = level;
    record.severity = SeverityOf(level);
    record.source = source != nullptr ? source : kUnknownSource;
    record.line = line;
    record.message = platform::WideToUtf8(message);
    record.wide_message = std::move(message);
    record.thread_id = GetCurrentThreadId();
    record.time = NowTicks();
    Write(std::move(record), /*always=*/false);
  }

  void PushSink(LogSink* sink, std::optional<Severity> threshold, bool also_write) EXCLUDES(mu_) {
    platform::MutexLock lock(&mu_);
    sinks_.push_back(SinkFrame{sink, threshold, also_write});
    PublishThreshold();
  }

  void PopSink(LogSink* sink) EXCLUDES(mu_) {
    platform::MutexLock lock(&mu_);
    for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
      if (it->sink == sink) {
        sinks_.erase(it);
        break;
      }
    }
    PublishThreshold();
  }

 private:
  struct SinkFrame {
    LogSink* sink;
    std::optional<Severity> threshold;
    bool also_write;
  };

  Logger() : output_(platform::LogOutput::OpenStderr()) {}

  // Switches to `options`; on failure falls back to stderr, describes the
  // problem in *error and returns false.
  bool Apply(const LogOptions& options, std::string* error) EXCLUDES(mu_) {
    platform::MutexLock lock(&mu_);
    output_.reset();  // close first: a new syslog connection replaces the old
    output_ = platform::LogOutput::Open(options, error);
    options_ = options;
    const bool opened = output_ != nullptr;
    if (!opened) {
      output_ = platform::LogOutput::OpenStderr();
      options_.destination = Destination::kStderr;
      options_.file_path.clear();
    }
    PublishThreshold();
    return opened;
  }

  // A warning about the log itself, written whatever the threshold.
  void Notice(const std::string& text) EXCLUDES(mu_) {
    LogRecord record;
    record.level = kLevelWarning;
    record.severity = Severity::kWarning;
    record.source = kLogSource;
    record.message = text;
    record.wide_message = platform::Utf8ToWide(text);
    record.thread_id = GetCurrentThreadId();
    record.time = NowTicks();
    Write(std::move(record), /*always=*/true);
  }

  void Write(LogRecord record, bool always) EXCLUDES(mu_) {
    platform::LogLine line;
    const std::string text = FormatLine(record, &line.body_offset);
    line.text = text;
    line.severity = record.severity;

    platform::MutexLock lock(&mu_);
    // Checked again under the lock: the threshold may have changed since the
    // caller's IsEnabled.
    if (!always && static_cast<int>(record.severity) > threshold_) return;
    bool write = true;
    if (!sinks_.empty()) {
      write = sinks_.back().also_write;
      sinks_.back().sink->Add(std::move(record));
    }
    if (write) output_->Write(line);
  }

  void PublishThreshold() REQUIRES(mu_) {
    Severity effective = options_.threshold;
    if (!sinks_.empty() && sinks_.back().threshold.has_value()) {
      effective = *sinks_.back().threshold;
    }
    threshold_ = static_cast<int>(effective);
    internal::g_threshold.store(threshold_, std::memory_order_relaxed);
  }

  platform::Mutex mu_;
  LogOptions options_ GUARDED_BY(mu_);
  std::unique_ptr<platform::LogOutput> output_ GUARDED_BY(mu_);
  std::vector<SinkFrame> sinks_ GUARDED_BY(mu_);
  int threshold_ GUARDED_BY(mu_) = static_cast<int>(Severity::kWarning);
};

}  // namespace

namespace internal {

bool IsEnabledSlow(int level) {
  Logger::Instance();  // reads the environment and publishes the threshold
  return static_cast<int>(SeverityOf(level)) <= g_threshold.load(std::memory_order_relaxed);
}

}  // namespace internal

std::string_view ThresholdName(Severity threshold) {
  for (const ThresholdEntry& entry : kThresholdNames) {
    if (entry.threshold == threshold) return entry.name;
  }
  return "unknown";
}

std::string_view SeverityLabel(Severity severity) {
  switch (severity) {
    case Severity::kOff: return "OFF";
    case Severity::kError: return "ERROR";
    case Severity::kWarning: return "WARN";
    case Severity::kInfo: return "INFO";
    case Severity::kTrace: return "TRACE";
  }
  return "?";
}

bool ParseThreshold(std::string_view name, Severity* threshold) {
  for (const ThresholdEntry& entry : kThresholdNames) {
    if (platform::EqualsIgnoringAsciiCase(name, entry.name)) {
      *threshold = entry.threshold;
      return true;
    }
  }
  return false;
}

bool Configure(const LogOptions& options) { return Logger::Instance().Configure(options); }

bool Configure(const LogOptions& options, std::string* error) {
  return Logger::Instance().ConfigureOrFail(options, error);
}

LogOptions GetOptions() { return Logger::Instance().options(); }

bool ConfigureFromEnvironment() { return Logger::Instance().ConfigureFromEnvironment(); }

void DebugLogExV(HMODULE /*module*/, int level, const char* source, int line,
                 const wchar_t* format, va_list args) {
  if (!IsEnabled(level)) return;
  std::wstring message;
  if (format == nullptr || !platform::AppendWindowsFormatV(&message, format, args)) {
    message = format != nullptr ? format : L"(null)";
    message += kInvalidFormatNote;
  }
  Logger::Instance().Emit(level, source, line, std::move(message));
}

void DebugLogEx(HMODULE module, int level, const char* source, int line, const wchar_t* format,
                ...) {
  if (!IsEnabled(level)) return;
  va_list args;
  va_start(args, format);
  DebugLogExV(module, level, source, line, format, args);
  va_end(args);
}

namespace hooks {

void PushLogSink(LogSink* sink, std::optional<Severity> threshold, bool also_write) {
  Logger::Instance().PushSink(sink, threshold, also_write);
}

void PopLogSink(LogSink* sink) { Logger::Instance().PopSink(sink); }

}  // namespace hooks
}  // namespace DBG
