// Checks inside fuzz targets. A property that does not hold ends the process
// with abort(), which libFuzzer treats as a crash: it prints the message,
// saves the input that broke the property and the run fails.
//
//   FUZZ_CHECK(parsed.port <= 65535) << "port " << parsed.port;
//
// The streamed detail is printed only on failure. Wide text is printed
// through fuzz::Printable (fuzz/fuzz_text.h).
#ifndef USERPOLICY_FUZZ_FUZZ_CHECK_H_
#define USERPOLICY_FUZZ_FUZZ_CHECK_H_

#include <sstream>

namespace fuzz {

// Collects the detail of one failed check; its destructor prints the check
// and the detail to stderr and aborts.
class CheckFailure {
 public:
  CheckFailure(const char* file, int line, const char* condition);
  [[noreturn]] ~CheckFailure();
  CheckFailure(const CheckFailure&) = delete;
  CheckFailure& operator=(const CheckFailure&) = delete;

  std::ostream& stream() { return detail_; }

 private:
  const char* file_;
  int line_;
  const char* condition_;
  std::ostringstream detail_;
};

}  // namespace fuzz

// A loop rather than an if, so that the macro nests under an unbraced if
// without a dangling else; the body runs at most once (it aborts).
#define FUZZ_CHECK(condition) \
  while (!(condition)) ::fuzz::CheckFailure(__FILE__, __LINE__, #condition).stream()

#endif  // USERPOLICY_FUZZ_FUZZ_CHECK_H_
