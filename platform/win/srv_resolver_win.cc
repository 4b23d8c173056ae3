// The system resolver of platform/directory/gc_discovery.h on Windows: the
// DNS client's DnsQuery_W, which hands back parsed records.
#include <windows.h>
#include <windns.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/directory/gc_discovery.h"
#include "platform/utf8.h"

namespace directory {
namespace {

// The SRV records of the answer section of a list the DNS client returned.
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

}  // namespace directory
