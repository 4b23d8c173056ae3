// Captures the records of the debug log of "platform/log.h" for tests,
// through the sink hook of "platform/log_hook.h".
//
//   DBG::testing::ScopedLogCapture capture;
//   manager.Lookup(L"sip:alice@example.test");
//   EXPECT_TRUE(capture.Contains(DBG::kLevelWarning, "user sip:alice@example.test not found"));
//
// While a ScopedLogCapture is alive, every record the log emits (from any
// thread) is recorded in it instead of being written to the destination, or
// in addition to it when `also_write` is set. Captures nest: records go to
// the innermost one, and destroying it restores the one before. Create and
// destroy a capture on one thread.
#ifndef USERPOLICY_TESTING_LOG_CAPTURE_H_
#define USERPOLICY_TESTING_LOG_CAPTURE_H_

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log.h"
#include "platform/log_hook.h"
#include "platform/sync.h"
#include "platform/thread_annotations.h"

namespace DBG {

namespace testing {

class ScopedLogCapture : public LogSink {
 public:
  // Captures what the configured threshold lets through.
  ScopedLogCapture();
  // Captures what `threshold` lets through (it replaces the configured one
  // while the capture is alive). With `also_write`, records still reach the
  // configured destination too.
  explicit ScopedLogCapture(Severity threshold, bool also_write = false);
  ~ScopedLogCapture() override;
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

  // The records so far, oldest first. REQUIRES: no other thread logs while
  // the caller uses the result (e.g. after joining the threads); references
  // to elements stay valid until Clear(). Use Snapshot() while threads run.
  const std::deque<LogRecord>& records() const;
  std::vector<LogRecord> Snapshot() const;

  // Whether a record has this level and exactly this message (UTF-8 or
  // wide). Thread-safe.
  bool Contains(int level, std::string_view message) const;
  bool Contains(int level, std::wstring_view message) const;
  // Whether a record has this level and a message containing `fragment`.
  bool ContainsSubstring(int level, std::string_view fragment) const;
  // Number of records at `level`.
  size_t Count(int level) const;

  void Clear();

  // Called by the log for every captured record.
  void Add(LogRecord record) override;

 private:
  mutable platform::Mutex mu_;
  std::deque<LogRecord> records_ GUARDED_BY(mu_);
};

}  // namespace testing
}  // namespace DBG

#endif  // USERPOLICY_TESTING_LOG_CAPTURE_H_
