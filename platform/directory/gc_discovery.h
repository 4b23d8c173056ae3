// Finding a Global Catalog server: the configured servers first, else the
// DNS SRV records _gc._tcp.<forest> in RFC 2782 order (lowest priority
// first; within one priority a random choice weighted by the records'
// weights, so that load spreads as the DNS administrator asked).
//
// The DNS query goes through a hook (platform/directory/srv_resolver_hook.h):
// tests install a resolver of their own with a fixed random seed and get
// repeatable orders without a DNS server.
//
// Thread safety: every function may be called from any thread.
#ifndef USERPOLICY_PLATFORM_DIRECTORY_GC_DISCOVERY_H_
#define USERPOLICY_PLATFORM_DIRECTORY_GC_DISCOVERY_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/directory/directory_config.h"
#include "platform/types.h"

namespace directory {

// One SRV record of a DNS answer.
struct SrvRecord {
  uint16_t priority = 0;
  uint16_t weight = 0;
  uint16_t port = 0;
  std::string target;  // host name without the trailing dot
};

// A DNS message over TCP is at most this long; UDP answers are shorter.
inline constexpr size_t kMaxDnsMessageLength = 65535;
// The target of an SRV record that says "no such service here".
inline constexpr char kNoServiceTarget[] = ".";

// Asks DNS for the SRV records of `name` (e.g. "_gc._tcp.example.test").
// Returns them in the order of the answer; empty when there are none or the
// query failed.
using SrvResolver = std::function<std::vector<SrvRecord>(const std::string& name)>;

// The system's resolver: libresolv with resolv.conf on POSIX systems
// (platform/posix/srv_resolver_posix.cc), the DNS client on Windows
// (platform/win/srv_resolver_win.cc).
std::vector<SrvRecord> ResolveSrvRecordsWithSystemResolver(const std::string& name);

// Parses a DNS response message (RFC 1035, as res_query returns it) and
// returns the SRV records of its answer section; records of other types are
// skipped. Returns empty for a message that is truncated or malformed
// anywhere. Targets read as dn_expand writes them (no trailing dot, "." for
// the root name).
std::vector<SrvRecord> ParseSrvResponse(const unsigned char* message, size_t length);

// Orders `records` as RFC 2782 asks: ascending priority; within a priority,
// repeated weighted random selection (a record of weight w is picked first
// with probability about w / sum of the weights; one of weight 0 with
// probability 1 / (sum + 1), so hardly ever beside heavy ones). Records whose
// target is "." ("no such service") are dropped. Draws from `random`; the
// same seed gives the same order with every standard library.
// REQUIRES: random != nullptr.
std::vector<SrvRecord> OrderSrvRecords(std::vector<SrvRecord> records, std::mt19937_64* random);

// Every Global Catalog candidate as "host:port", best first: the valid
// entries of config.global_catalog_servers in their configured order (the
// port 3268 filled in where none is given) when there is any; otherwise the
// SRV records _gc._tcp.<config.forest> in RFC 2782 order. Returns S_OK with
// at least one server, E_FAIL when there is none, E_INVALIDARG for a null
// `servers`.
HRESULT DiscoverGlobalCatalogServers(const DirectoryConfig& config, std::vector<std::wstring>* servers);

// The path "GC://host:port" of the best candidate above; the same results.
HRESULT DiscoverGlobalCatalog(const DirectoryConfig& config, std::wstring* path);

}  // namespace directory

#endif  // USERPOLICY_PLATFORM_DIRECTORY_GC_DISCOVERY_H_
