#include "tests/support/resolution_transcript.h"

#include <gtest/gtest.h>

#include "module/module_entry.h"
#include "perf/ds_access_perf_object.h"
#include "platform/com.h"
#include "platform/utf8.h"
#include "resolve/policy_filter_ds_access_helper.h"
#include "resolve/proxy_address_ds_access_helper.h"
#include "testing/log_capture.h"
#include "tests/support/recorded_reads.h"

namespace userpolicy::testing {
namespace {

constexpr unsigned long kEmailCapacity = 256;

void Resolve(const std::vector<std::string>& sips, std::vector<std::string>* answers) {
  for (const std::string& sip : sips) {
    const std::wstring key = platform::Utf8ToWide(sip);
    std::vector<_bstr_t> guids;
    std::string answer =
        sip + (CPolicyFilterDSAccessHelper::GetUserIdentityAndMembershipGuids(key.c_str(), guids) ? " true" : " false");
    for (const _bstr_t& guid : guids) answer += " " + platform::WideToUtf8(static_cast<const wchar_t*>(guid));
    wchar_t email[kEmailCapacity] = {};
    const long hr = CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(key.c_str(), email, kEmailCapacity);
    answer += hr == S_OK ? " <" + platform::WideToUtf8(email) + ">" : " e-mail " + std::to_string(hr);
    answers->push_back(std::move(answer));
  }
}

}  // namespace

ResolutionTranscript Transcribe(const std::vector<std::string>& sips) {
  ResolutionTranscript transcript;
  DBG::testing::ScopedLogCapture capture(DBG::Severity::kTrace);
  EXPECT_EQ(IPC_SERVER_Init(), 0);
  if (g_pDSAccessPerfObject == nullptr) {
    ADD_FAILURE() << "no performance object";
    return transcript;
  }
  Resolve(sips, &transcript.answers);
  Resolve(sips, &transcript.answers);
  const CDSAccessPerfObject& counters = *g_pDSAccessPerfObject;
  transcript.counters = {counters.m_nTotalDSAccess,     counters.m_nTotalCacheAccess,  counters.m_nUserDSAccess,
                         counters.m_nUserCacheAccess,   counters.m_nPGroupDSAccess,    counters.m_nPGroupCacheAccess,
                         counters.m_nNGroupDSAccess,    counters.m_nNGroupCacheAccess};
  EXPECT_EQ(IPC_SERVER_Deinit(), 0);
  for (const DBG::LogRecord& record : capture.Snapshot()) {
    transcript.log.push_back(std::to_string(record.level) + " " + record.source + ":" + std::to_string(record.line) +
                             " " + record.message);
  }
  return transcript;
}

std::string WithReadAhead(const std::string& directory_settings, bool read_ahead, const std::string& extra) {
  return directory_settings + "ReadAhead = " + (read_ahead ? "true" : "false") + "\n" + extra;
}

}  // namespace userpolicy::testing

namespace userpolicy::testing {

ReadAheadComparison ExpectReadAheadChangesNothing(ScopedSettingsFile& settings, const std::string& directory_settings,
                                                  const std::vector<std::string>& sips, const std::string& extra,
                                                  const std::string& failing_base,
                                                  const platform::ldap::Status& failure) {
  ReadAheadComparison comparison;
  settings.Rewrite(WithReadAhead(directory_settings, false, extra));
  Transcribe(sips);
  for (const bool read_ahead : {false, true}) {
    settings.Rewrite(WithReadAhead(directory_settings, read_ahead, extra));
    RecordedReads reads(failing_base, failure);
    (read_ahead ? comparison.read_ahead : comparison.sequential) = Transcribe(sips);
    (read_ahead ? comparison.read_ahead_reads : comparison.sequential_reads) = reads.SortedBases();
    (read_ahead ? comparison.read_ahead_outstanding : comparison.sequential_outstanding) = reads.MostOutstanding();
  }
  const ResolutionTranscript& a = comparison.read_ahead;
  const ResolutionTranscript& b = comparison.sequential;
  EXPECT_EQ(a.answers, b.answers) << FirstDifference(a.answers, b.answers);
  EXPECT_EQ(a.log, b.log) << FirstDifference(a.log, b.log);
  EXPECT_EQ(a.counters, b.counters);
  return comparison;
}

}  // namespace userpolicy::testing
