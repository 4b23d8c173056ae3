#include "platform/directory/gc_discovery.h"

#include <algorithm>
#include <cstring>
#include <string_view>
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

namespace directory {
namespace {

constexpr char kSource[] = "gc_discovery";
constexpr wchar_t kGcPathPrefix[] = L"GC://";
constexpr char kGcServicePrefix[] = "_gc._tcp.";

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


}  // namespace

namespace {

constexpr size_t kHeaderLength = 12;
constexpr size_t kQuestionFixedLength = 4;  // type, class
constexpr size_t kRecordFixedLength = 10;   // type, class, time to live, data length
constexpr size_t kSrvFixedLength = 6;       // priority, weight, port
constexpr uint16_t kTypeSrv = 33;
constexpr uint16_t kClassInternet = 1;
constexpr unsigned char kPointerMark = 0xC0;
constexpr size_t kMaxLabelLength = 63;
constexpr size_t kMaxNameLength = 255;  // on the wire

uint16_t Read16(const unsigned char* at) { return static_cast<uint16_t>((at[0] << 8) | at[1]); }

// Appends a label's byte as dn_expand writes it: letters, digits and most
// punctuation as they are; the characters with a meaning in names escaped
// with a backslash; everything else as \DDD.
void AppendNameByte(std::string* out, unsigned char byte) {
  static constexpr std::string_view kEscaped = ".\\\"();@$";
  if (kEscaped.find(static_cast<char>(byte)) != std::string_view::npos) {
    out->push_back('\\');
    out->push_back(static_cast<char>(byte));
  } else if (byte > 0x20 && byte < 0x7F) {
    out->push_back(static_cast<char>(byte));
  } else {
    out->push_back('\\');
    out->push_back(static_cast<char>('0' + byte / 100));
    out->push_back(static_cast<char>('0' + byte / 10 % 10));
    out->push_back(static_cast<char>('0' + byte % 10));
  }
}

// Reads the (possibly compressed) name at message[*offset], advancing
// *offset past its bytes at that place; the root name is "". False for a
// name that runs past the message, points forward into a loop or is too
// long.
bool ReadName(const unsigned char* message, size_t length, size_t* offset, std::string* name) {
  name->clear();
  size_t at = *offset;
  size_t wire_length = 0;
  bool jumped = false;
  // Every jump must go backwards, so that compression cannot loop.
  size_t jump_limit = at;
  for (;;) {
    if (at >= length) return false;
    const unsigned char label = message[at];
    if ((label & kPointerMark) == kPointerMark) {
      if (at + 1 >= length) return false;
      const size_t target = (static_cast<size_t>(label & ~kPointerMark) << 8) | message[at + 1];
      if (target >= jump_limit) return false;
      if (!jumped) *offset = at + 2;
      jumped = true;
      jump_limit = target;
      at = target;
      continue;
    }
    if ((label & kPointerMark) != 0 || label > kMaxLabelLength) return false;  // reserved label types
    wire_length += label + 1;
    if (wire_length > kMaxNameLength) return false;
    if (label == 0) {
      if (!jumped) *offset = at + 1;
      return true;
    }
    if (at + 1 + label > length) return false;
    if (!name->empty()) name->push_back('.');
    for (size_t i = 0; i < label; ++i) AppendNameByte(name, message[at + 1 + i]);
    at += 1 + label;
  }
}

}  // namespace

// RFC 1035, 4.1: a header, then the question, answer, authority and
// additional sections. Every section is walked, so that a message cut
// anywhere is refused as a whole, as libresolv's parser refuses it.
std::vector<SrvRecord> ParseSrvResponse(const unsigned char* message, size_t length) {
  if (message == nullptr || length < kHeaderLength || length > kMaxDnsMessageLength) return {};
  const size_t questions = Read16(message + 4);
  const size_t answers = Read16(message + 6);
  const size_t others = size_t{Read16(message + 8)} + Read16(message + 10);
  size_t offset = kHeaderLength;
  std::string name;
  for (size_t i = 0; i < questions; ++i) {
    if (!ReadName(message, length, &offset, &name) || length - offset < kQuestionFixedLength) return {};
    offset += kQuestionFixedLength;
  }
  std::vector<SrvRecord> result;
  for (size_t i = 0; i < answers + others; ++i) {
    if (!ReadName(message, length, &offset, &name) || length - offset < kRecordFixedLength) return {};
    const uint16_t type = Read16(message + offset);
    const uint16_t record_class = Read16(message + offset + 2);
    const size_t data_length = Read16(message + offset + 8);
    offset += kRecordFixedLength;
    if (length - offset < data_length) return {};
    const size_t data = offset;
    offset += data_length;
    if (i >= answers || type != kTypeSrv || record_class != kClassInternet) continue;
    if (data_length <= kSrvFixedLength) return {};
    SrvRecord srv;
    srv.priority = Read16(message + data);
    srv.weight = Read16(message + data + 2);
    srv.port = Read16(message + data + 4);
    size_t target = data + kSrvFixedLength;
    if (!ReadName(message, length, &target, &srv.target) || target != offset) return {};
    if (srv.target.empty()) srv.target = kNoServiceTarget;  // the root name
    result.push_back(std::move(srv));
  }
  return result;
}

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
