#include "platform/directory/gc_discovery.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "platform/directory/directory_path.h"
#include "platform/directory/srv_resolver_hook.h"
#include "platform/exception.h"
#include "platform/log.h"
#include "platform/sync.h"
#include "platform/utf8.h"

#if defined(_WIN32)
#include <windns.h>
#else
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>
#endif

namespace directory {
namespace {

constexpr char kSource[] = "gc_discovery";
constexpr wchar_t kGcPathPrefix[] = L"GC://";
constexpr char kGcServicePrefix[] = "_gc._tcp.";
// A DNS message over TCP is at most this long; UDP answers are shorter.
constexpr size_t kMaxDnsMessageLength = 65535;
// The target of an SRV record that says "no such service here".
constexpr char kNoServiceTarget[] = ".";

// Which resolver and which random generator discovery uses. The default is
// the system resolver and a generator seeded once from std::random_device.
class DiscoveryState {
 public:
  static DiscoveryState& Get() {
    static DiscoveryState state;
    return state;
  }

  void Install(SrvResolver resolver, uint64_t seed) EXCLUDES(mu_) {
    platform::MutexLock lock(&mu_);
    resolver_ = std::move(resolver);
    random_.seed(seed);
    seeded_ = true;
  }

  void Uninstall() EXCLUDES(mu_) {
    platform::MutexLock lock(&mu_);
    resolver_ = nullptr;
    random_.seed(std::random_device{}());
  }

  SrvResolver resolver() EXCLUDES(mu_) {
    platform::MutexLock lock(&mu_);
    return resolver_;
  }

  std::vector<SrvRecord> Order(std::vector<SrvRecord> records) EXCLUDES(mu_) {
    platform::MutexLock lock(&mu_);
    if (!seeded_) {
      random_.seed(std::random_device{}());
      seeded_ = true;
    }
    return OrderSrvRecords(std::move(records), &random_);
  }

 private:
  DiscoveryState() = default;

  platform::Mutex mu_;
  SrvResolver resolver_ GUARDED_BY(mu_);  // null: the system resolver
  std::mt19937_64 random_ GUARDED_BY(mu_);
  bool seeded_ GUARDED_BY(mu_) = false;
};

// A number in [0, bound] from `random`. The modulo keeps the result the same
// for a given seed with every standard library (the distributions of
// <random> are not); its bias is below 2^-32 for the sums of 16-bit weights
// that occur here.
uint64_t Draw(std::mt19937_64* random, uint64_t bound) {
  return (*random)() % (bound + 1);
}

std::wstring Trim(const std::wstring& text) {
  const size_t first = text.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return std::wstring();
  const size_t last = text.find_last_not_of(L" \t");
  return text.substr(first, last - first + 1);
}

// "host:port" for a configured "host[:port]", or empty (after a warning) for
// an entry that is not a server name.
std::wstring ConfiguredServer(const std::wstring& entry) {
  if (const std::optional<DirectoryPath> server = DirectoryPath::ParseServer(entry)) return server->Server();
  DBG::DebugLogEx(nullptr, DBG::kLevelWarning, kSource, __LINE__,
                  L"ignoring the configured Global Catalog server \"%s\": not host[:port]", entry.c_str());
  return std::wstring();
}

std::vector<SrvRecord> QuerySrvRecords(const std::string& name) {
  SrvResolver resolver = DiscoveryState::Get().resolver();
  try {
    return resolver ? resolver(name) : ResolveSrvRecordsWithSystemResolver(name);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    DBG::DebugLogEx(nullptr, DBG::kLevelWarning, kSource, __LINE__, L"the SRV query for %S failed: %s",
                    name.c_str(), OS::DescribeCurrentException().c_str());
    return {};
  }
}

#if defined(_WIN32)

std::vector<SrvRecord> CollectSrvRecords(PDNS_RECORD records) {
  std::vector<SrvRecord> result;
  for (PDNS_RECORD record = records; record != nullptr; record = record->pNext) {
    if (record->wType != DNS_TYPE_SRV || record->Flags.S.Section != DnsSectionAnswer) continue;
    SrvRecord srv;
    srv.priority = record->Data.SRV.wPriority;
    srv.weight = record->Data.SRV.wWeight;
    srv.port = record->Data.SRV.wPort;
    srv.target = record->Data.SRV.pNameTarget != nullptr
                     ? platform::WideToUtf8(record->Data.SRV.pNameTarget)
                     : std::string(kNoServiceTarget);
    result.push_back(std::move(srv));
  }
  return result;
}

#endif

}  // namespace

#if defined(_WIN32)

namespace {

// The SRV records of a list the DNS client returned; frees the list.
std::vector<SrvRecord> CollectAndFree(PDNS_RECORD records) {
  struct ListFree {
    void operator()(DNS_RECORD* list) const { DnsRecordListFree(list, DnsFreeRecordList); }
  };
  const std::unique_ptr<DNS_RECORD, ListFree> owned(records);
  return CollectSrvRecords(records);
}

}  // namespace

std::vector<SrvRecord> ResolveSrvRecordsWithSystemResolver(const std::string& name) {
  const std::wstring wide_name = platform::Utf8ToWide(name);
  PDNS_RECORD records = nullptr;
  if (DnsQuery_W(wide_name.c_str(), DNS_TYPE_SRV, DNS_QUERY_STANDARD, nullptr, &records, nullptr) != 0) {
    return {};
  }
  return CollectAndFree(records);
}

std::vector<SrvRecord> ParseSrvResponse(const unsigned char* message, size_t length) {
  // The DNS client parses a message whose header counts are in host order.
  constexpr size_t kHeaderLength = 12;
  constexpr size_t kFlippedWords[] = {0, 4, 6, 8, 10};  // id and the four counts
  if (message == nullptr || length < kHeaderLength || length > kMaxDnsMessageLength) return {};
  std::vector<BYTE> buffer(message, message + length);
  for (size_t offset : kFlippedWords) std::swap(buffer[offset], buffer[offset + 1]);
  PDNS_RECORD records = nullptr;
  if (DnsExtractRecordsFromMessage_W(reinterpret_cast<PDNS_MESSAGE_BUFFER>(buffer.data()),
                                     static_cast<WORD>(length), &records) != 0) {
    return {};
  }
  return CollectAndFree(records);
}

#else  // POSIX: libresolv

namespace {

// A resolver state of our own (res_ninit), closed on every path.
class ResolverState {
 public:
  ResolverState() {
    std::memset(&state_, 0, sizeof(state_));
    ready_ = res_ninit(&state_) == 0;
  }
  ~ResolverState() {
    if (ready_) res_nclose(&state_);
  }
  ResolverState(const ResolverState&) = delete;
  ResolverState& operator=(const ResolverState&) = delete;

  bool ready() const { return ready_; }
  res_state get() { return &state_; }

 private:
  struct __res_state state_;
  bool ready_ = false;
};

}  // namespace

std::vector<SrvRecord> ResolveSrvRecordsWithSystemResolver(const std::string& name) {
  ResolverState state;
  if (!state.ready()) return {};
  std::vector<unsigned char> answer(kMaxDnsMessageLength);
  const int length = res_nquery(state.get(), name.c_str(), ns_c_in, ns_t_srv, answer.data(),
                                static_cast<int>(answer.size()));
  if (length <= 0) return {};
  return ParseSrvResponse(answer.data(), std::min(static_cast<size_t>(length), answer.size()));
}

std::vector<SrvRecord> ParseSrvResponse(const unsigned char* message, size_t length) {
  constexpr size_t kSrvFixedLength = 6;  // priority, weight, port
  if (message == nullptr || length > kMaxDnsMessageLength) return {};
  ns_msg parsed;
  if (ns_initparse(message, static_cast<int>(length), &parsed) < 0) return {};
  std::vector<SrvRecord> result;
  const int count = ns_msg_count(parsed, ns_s_an);
  for (int i = 0; i < count; ++i) {
    ns_rr record;
    if (ns_parserr(&parsed, ns_s_an, i, &record) < 0) return {};
    if (ns_rr_type(record) != ns_t_srv || ns_rr_class(record) != ns_c_in) continue;
    if (ns_rr_rdlen(record) <= kSrvFixedLength) return {};
    const unsigned char* data = ns_rr_rdata(record);
    SrvRecord srv;
    srv.priority = static_cast<uint16_t>(ns_get16(data));
    srv.weight = static_cast<uint16_t>(ns_get16(data + 2));
    srv.port = static_cast<uint16_t>(ns_get16(data + 4));
    char target[NS_MAXDNAME];
    const int used = dn_expand(ns_msg_base(parsed), ns_msg_end(parsed), data + kSrvFixedLength, target,
                               sizeof(target));
    if (used < 0 || static_cast<size_t>(used) != ns_rr_rdlen(record) - kSrvFixedLength) return {};
    srv.target = target;
    if (srv.target.empty()) srv.target = kNoServiceTarget;  // the root name
    result.push_back(std::move(srv));
  }
  return result;
}

#endif

std::vector<SrvRecord> OrderSrvRecords(std::vector<SrvRecord> records, std::mt19937_64* random) {
  std::vector<SrvRecord> usable;
  for (SrvRecord& record : records) {
    while (record.target.size() > 1 && record.target.back() == '.') record.target.pop_back();
    if (record.target.empty() || record.target == kNoServiceTarget) continue;
    usable.push_back(std::move(record));
  }
  std::stable_sort(usable.begin(), usable.end(),
                   [](const SrvRecord& a, const SrvRecord& b) { return a.priority < b.priority; });

  std::vector<SrvRecord> ordered;
  ordered.reserve(usable.size());
  auto group_begin = usable.begin();
  while (group_begin != usable.end()) {
    const uint16_t priority = group_begin->priority;
    auto group_end = std::find_if(group_begin, usable.end(),
                                  [priority](const SrvRecord& r) { return r.priority != priority; });
    std::vector<SrvRecord> pending(std::make_move_iterator(group_begin), std::make_move_iterator(group_end));
    // "Any order" to start with: a shuffle, so that records of equal (or
    // zero) weight share the load, then the records of weight 0 in front.
    for (size_t i = pending.size(); i > 1; --i) std::swap(pending[i - 1], pending[Draw(random, i - 1)]);
    std::stable_partition(pending.begin(), pending.end(), [](const SrvRecord& r) { return r.weight == 0; });
    while (!pending.empty()) {
      uint64_t sum = 0;
      for (const SrvRecord& record : pending) sum += record.weight;
      const uint64_t pick = Draw(random, sum);
      uint64_t running = 0;
      size_t chosen = pending.size() - 1;
      for (size_t i = 0; i < pending.size(); ++i) {
        running += pending[i].weight;
        if (running >= pick) {
          chosen = i;
          break;
        }
      }
      ordered.push_back(std::move(pending[chosen]));
      pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(chosen));
    }
    group_begin = group_end;
  }
  return ordered;
}

HRESULT DiscoverGlobalCatalogServers(const DirectoryConfig& config, std::vector<std::wstring>* servers) {
  if (servers == nullptr) return E_INVALIDARG;
  servers->clear();
  try {
    for (const std::wstring& entry : config.global_catalog_servers) {
      const std::wstring trimmed = Trim(entry);
      if (trimmed.empty()) continue;
      std::wstring server = ConfiguredServer(trimmed);
      if (!server.empty()) servers->push_back(std::move(server));
    }
    if (!servers->empty()) return S_OK;

    const std::wstring forest = Trim(config.forest);
    if (forest.empty()) {
      DBG::DebugLogEx(nullptr, DBG::kLevelWarning, kSource, __LINE__,
                      L"no Global Catalog: no server configured and no forest to look up");
      return E_FAIL;
    }
    const std::string name = kGcServicePrefix + platform::WideToUtf8(forest);
    for (const SrvRecord& record : DiscoveryState::Get().Order(QuerySrvRecords(name))) {
      DirectoryPath path;
      path.host = platform::Utf8ToWide(record.target);
      path.port = record.port;
      servers->push_back(path.Server());
    }
    if (servers->empty()) {
      DBG::DebugLogEx(nullptr, DBG::kLevelWarning, kSource, __LINE__,
                      L"no Global Catalog: no server configured and no SRV record %S", name.c_str());
      return E_FAIL;
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    servers->clear();
    return E_OUTOFMEMORY;
  }
}

HRESULT DiscoverGlobalCatalog(const DirectoryConfig& config, std::wstring* path) {
  if (path == nullptr) return E_INVALIDARG;
  path->clear();
  std::vector<std::wstring> servers;
  const HRESULT hr = DiscoverGlobalCatalogServers(config, &servers);
  if (FAILED(hr)) return hr;
  try {
    *path = kGcPathPrefix + servers.front();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

namespace hooks {

void InstallSrvResolver(SrvResolver resolver, uint64_t seed) {
  DiscoveryState::Get().Install(std::move(resolver), seed);
}

void RemoveSrvResolver() { DiscoveryState::Get().Uninstall(); }

}  // namespace hooks
}  // namespace directory
