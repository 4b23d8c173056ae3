// The check the end-to-end tests share: the started module against a real
// directory server, every answer compared with what ldapsearch shows.
#ifndef USERPOLICY_TESTS_SUPPORT_END_TO_END_H_
#define USERPOLICY_TESTS_SUPPORT_END_TO_END_H_

#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "module/module_entry.h"
#include "perf/ds_access_perf_object.h"
#include "tests/support/directory_truth.h"

namespace userpolicy::testing {

// Starts the module (the settings in force must point it at `server`, a
// SlapdServer or SambaDomainController), resolves every address of `sips`,
// and records a failure for every GUID list or e-mail address that differs
// from what the directory says; then resolves them all again, which must
// read nothing and answer every lookup from the caches; stops the module.
template <class Server>
void ExpectColdAndWarmPassesAsTheDirectorySays(const Server& server, const std::vector<std::string>& sips) {
  ASSERT_EQ(IPC_SERVER_Init(), 0);
  ASSERT_NE(g_pDSAccessPerfObject, nullptr);
  const DirectoryTruth truth = TruthOf(server);

  ExpectLibraryAgreesWithDirectory(truth, sips);
  const CDSAccessPerfObject cold = *g_pDSAccessPerfObject;
  // One read per address, found or not, and the e-mail lookup after it hits the cache.
  EXPECT_EQ(cold.m_nUserDSAccess, sips.size());
  EXPECT_EQ(cold.m_nUserCacheAccess, sips.size());
  EXPECT_GT(cold.m_nNGroupDSAccess, 0u);
  EXPECT_EQ(cold.m_nTotalDSAccess, cold.m_nUserDSAccess + cold.m_nPGroupDSAccess + cold.m_nNGroupDSAccess);
  EXPECT_EQ(cold.m_nTotalCacheAccess,
            cold.m_nUserCacheAccess + cold.m_nPGroupCacheAccess + cold.m_nNGroupCacheAccess);

  ExpectLibraryAgreesWithDirectory(truth, sips);
  const CDSAccessPerfObject warm = *g_pDSAccessPerfObject;
  EXPECT_EQ(warm.m_nTotalDSAccess, cold.m_nTotalDSAccess);
  EXPECT_EQ(warm.m_nTotalCacheAccess - cold.m_nTotalCacheAccess, cold.m_nTotalDSAccess + cold.m_nTotalCacheAccess);
  EXPECT_EQ(IPC_SERVER_Deinit(), 0);
}

// The same for every SIP address the server holds below `users_base`, at
// least `min_users` of them.
template <class Server>
void ExpectColdAndWarmPassesAsTheDirectorySays(const Server& server, const std::string& users_base,
                                               size_t min_users) {
  const std::vector<std::string> sips = SipAddressesOf(server, users_base);
  ASSERT_GE(sips.size(), min_users);
  ExpectColdAndWarmPassesAsTheDirectorySays(server, sips);
}

}  // namespace userpolicy::testing

#endif  // USERPOLICY_TESTS_SUPPORT_END_TO_END_H_
