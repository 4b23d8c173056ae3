// The directory reads a test makes, seen at the LDAP operation table
// (platform/ldap_api_hook.h): which entries were read by base, how many
// requests were outstanding at once, and reads of one entry answered with a
// failure chosen by the test.
#ifndef USERPOLICY_TESTS_SUPPORT_RECORDED_READS_H_
#define USERPOLICY_TESTS_SUPPORT_RECORDED_READS_H_

#include <string>
#include <vector>

#include "platform/ldap_api.h"
#include "testing/ldap_operations.h"

namespace userpolicy::testing {

// Records while it lives (one at a time): every base-scope read of an entry
// (a DN, not the rootDSE, not a schema read) and every search, and the most
// requests outstanding at once. A read whose base equals `failing_base` (letter case
// ignored) is not sent: the server is taken to answer it with `failure`.
class RecordedReads {
 public:
  explicit RecordedReads(const std::string& failing_base = "", platform::ldap::Status failure = {});
  ~RecordedReads();
  RecordedReads(const RecordedReads&) = delete;
  RecordedReads& operator=(const RecordedReads&) = delete;

  // The bases read so far, and the bases and filters searched, lower-cased
  // and sorted.
  std::vector<std::string> SortedBases() const;
  int MostOutstanding() const;

 private:
  platform::ldap::testing::ScopedOperations install_;
};

// Where two lists first differ, for a readable failure message.
std::string FirstDifference(const std::vector<std::string>& a, const std::vector<std::string>& b);

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_RECORDED_READS_H_
