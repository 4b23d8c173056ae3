// Everything a caller and an operator can observe of resolving a list of
// SIP addresses through a freshly started module: the answers, the log and
// the counters. Tests compare two transcripts made under different
// settings (read-ahead on and off) and expect them to be equal.
#ifndef USERPOLICY_TESTS_SUPPORT_RESOLUTION_TRANSCRIPT_H_
#define USERPOLICY_TESTS_SUPPORT_RESOLUTION_TRANSCRIPT_H_

#include <string>
#include <vector>

#include "platform/ldap_api.h"
#include "tests/support/scoped_settings_file.h"

namespace userpolicy::testing {

struct ResolutionTranscript {
  // Per address, cold and then again warm: the result, the GUID list and
  // the e-mail address (or the e-mail lookup's result).
  std::vector<std::string> answers;
  // Every log line, "level source:line message", in order.
  std::vector<std::string> log;
  // The performance counters' access counts (their times left out).
  std::vector<unsigned long> counters;
};

// Starts the module (under the settings in force), resolves every address
// of `sips` cold and then warm, and stops the module. The directory
// library's connections and attribute definitions outlive the module, and
// their notes come with whichever read first needs them: transcripts to be
// compared start after one made under the same settings, so that none of
// them makes a connection or reads a definition.
ResolutionTranscript Transcribe(const std::vector<std::string>& sips);

// The settings table `directory_settings` (DirectorySettings) with
// ReadAhead set to `read_ahead` and `extra` lines added.
std::string WithReadAhead(const std::string& directory_settings, bool read_ahead, const std::string& extra = "");

// The two transcripts of ExpectReadAheadChangesNothing, the entries each
// read and the searches each made (RecordedReads::SortedBases), and the
// most requests each had outstanding at once.
struct ReadAheadComparison {
  ResolutionTranscript sequential, read_ahead;
  std::vector<std::string> sequential_reads, read_ahead_reads;
  int sequential_outstanding = 0, read_ahead_outstanding = 0;
};

// Rewrites `settings` as WithReadAhead(`directory_settings`, ..., `extra`),
// resolves `sips` once with ReadAhead off (connections open, definitions
// read), then transcribes them with ReadAhead off and on while reads of
// `failing_base` are answered with `failure` (RecordedReads); records a
// failure for every answer, log line or counter that differs between the
// two. The caller compares the reads.
ReadAheadComparison ExpectReadAheadChangesNothing(ScopedSettingsFile& settings, const std::string& directory_settings,
                                                  const std::vector<std::string>& sips, const std::string& extra = "",
                                                  const std::string& failing_base = "",
                                                  const platform::ldap::Status& failure = {});

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_RESOLUTION_TRANSCRIPT_H_
