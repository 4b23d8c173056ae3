#include "testing/log_capture.h"

#include <utility>

namespace DBG {

namespace testing {

ScopedLogCapture::ScopedLogCapture() { hooks::PushLogSink(this, std::nullopt, /*also_write=*/false); }

ScopedLogCapture::ScopedLogCapture(Severity threshold, bool also_write) {
  hooks::PushLogSink(this, threshold, also_write);
}

ScopedLogCapture::~ScopedLogCapture() { hooks::PopLogSink(this); }

// The caller guarantees that no thread logs meanwhile (see log_capture.h).
const std::deque<LogRecord>& ScopedLogCapture::records() const NO_THREAD_SAFETY_ANALYSIS {
  return records_;
}

std::vector<LogRecord> ScopedLogCapture::Snapshot() const {
  platform::MutexLock lock(&mu_);
  return std::vector<LogRecord>(records_.begin(), records_.end());
}

bool ScopedLogCapture::Contains(int level, std::string_view message) const {
  platform::MutexLock lock(&mu_);
  for (const LogRecord& record : records_) {
    if (record.level == level && record.message == message) return true;
  }
  return false;
}

bool ScopedLogCapture::Contains(int level, std::wstring_view message) const {
  platform::MutexLock lock(&mu_);
  for (const LogRecord& record : records_) {
    if (record.level == level && record.wide_message == message) return true;
  }
  return false;
}

bool ScopedLogCapture::ContainsSubstring(int level, std::string_view fragment) const {
  platform::MutexLock lock(&mu_);
  for (const LogRecord& record : records_) {
    if (record.level == level && record.message.find(fragment) != std::string::npos) return true;
  }
  return false;
}

size_t ScopedLogCapture::Count(int level) const {
  platform::MutexLock lock(&mu_);
  size_t count = 0;
  for (const LogRecord& record : records_) count += record.level == level ? 1 : 0;
  return count;
}

void ScopedLogCapture::Clear() {
  platform::MutexLock lock(&mu_);
  records_.clear();
}

void ScopedLogCapture::Add(LogRecord record) {
  platform::MutexLock lock(&mu_);
  records_.push_back(std::move(record));
}

}  // namespace testing
}  // namespace DBG
