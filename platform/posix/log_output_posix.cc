// Log destinations on POSIX: stderr, an append-mode file, syslog.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include "platform/log_output.h"

namespace platform {
namespace {

constexpr mode_t kLogFileMode = 0640;

// Writes all of `text` to `fd`: one write(2) unless the kernel accepts only
// part of it (which a regular file or pipe does not do for a line).
void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report the failure
    }
    text.remove_prefix(static_cast<size_t>(written));
  }
}

class FdOutput final : public LogOutput {
 public:
  // Takes ownership of `fd` when `owned`.
  FdOutput(int fd, bool owned) : fd_(fd), owned_(owned) {}
  ~FdOutput() override {
    if (owned_) ::close(fd_);
  }
  FdOutput(const FdOutput&) = delete;
  FdOutput& operator=(const FdOutput&) = delete;

  void Write(const LogLine& line) override { WriteAll(fd_, line.text); }

 private:
  const int fd_;
  const bool owned_;
};

class SyslogOutput final : public LogOutput {
 public:
  // openlog keeps the ident pointer; ident_ lives as long as the output.
  explicit SyslogOutput(std::string ident) : ident_(std::move(ident)) {
    ::openlog(ident_.c_str(), LOG_PID | LOG_NDELAY, LOG_USER);
  }
  ~SyslogOutput() override { ::closelog(); }
  SyslogOutput(const SyslogOutput&) = delete;
  SyslogOutput& operator=(const SyslogOutput&) = delete;

  void Write(const LogLine& line) override {
    std::string_view body = line.text.substr(line.body_offset);
    if (!body.empty() && body.back() == '\n') body.remove_suffix(1);
    ::syslog(Priority(line.severity), "%.*s", static_cast<int>(body.size()), body.data());
  }

 private:
  static int Priority(DBG::Severity severity) {
    switch (severity) {
      case DBG::Severity::kError: return LOG_ERR;
      case DBG::Severity::kWarning: return LOG_WARNING;
      case DBG::Severity::kInfo: return LOG_INFO;
      default: return LOG_DEBUG;
    }
  }

  const std::string ident_;
};

}  // namespace

std::unique_ptr<LogOutput> LogOutput::OpenStderr() {
  return std::make_unique<FdOutput>(STDERR_FILENO, /*owned=*/false);
}

std::unique_ptr<LogOutput> LogOutput::Open(const DBG::LogOptions& options, std::string* error) {
  switch (options.destination) {
    case DBG::Destination::kStderr:
      return OpenStderr();
    case DBG::Destination::kSyslog:
      return std::make_unique<SyslogOutput>(options.syslog_ident);
    case DBG::Destination::kFile: {
      if (options.file_path.empty()) {
        *error = "no log file path given";
        return nullptr;
      }
      const int fd = ::open(options.file_path.c_str(),
                            O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kLogFileMode);
      if (fd < 0) {
        const int saved = errno;
        *error = "cannot open log file " + options.file_path + ": " + ::strerror(saved);
        return nullptr;
      }
      return std::make_unique<FdOutput>(fd, /*owned=*/true);
    }
  }
  *error = "unknown log destination";
  return nullptr;
}

}  // namespace platform
