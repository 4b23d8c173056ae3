// Cost of sharing records: a handle copy plus its release is one interlocked
// increment and one decrement, whatever the record holds. The floor is a
// bare interlocked increment+decrement pair on one counter.
#include <benchmark/benchmark.h>

#include "dsobject/ds_object_info.h"
#include "platform/sync.h"

namespace {

CDSObjectInfo MakeUserRecord() {
  CDSObjectInfo record;
  const wchar_t* names[] = {L"objectGUID", L"name",          L"distinguishedName", L"memberOf",
                            L"primaryGroupID", L"objectSid", L"proxyAddresses",    L"mail"};
  for (const wchar_t* name : names) {
    CDSObjectProperty property(name);
    _variant_t value(L"CN=Some Value,OU=People,DC=example,DC=test");
    property.AddValue(value);
    record.AddProperty(property);
  }
  return record;
}

void BM_Floor_InterlockedPair(benchmark::State& state) {
  static volatile LONG counter = 0;
  for (auto _ : state) {
    InterlockedIncrement(&counter);
    InterlockedDecrement(&counter);
  }
}
BENCHMARK(BM_Floor_InterlockedPair)->Threads(1)->Threads(2);

void BM_RecordHandleCopyAndRelease(benchmark::State& state) {
  static CDSObjectInfo shared = MakeUserRecord();
  for (auto _ : state) {
    CDSObjectInfo copy(shared);
    benchmark::DoNotOptimize(&copy);
  }
}
BENCHMARK(BM_RecordHandleCopyAndRelease)->Threads(1)->Threads(2);

void BM_RecordLookupByName(benchmark::State& state) {
  CDSObjectInfo record = MakeUserRecord();
  for (auto _ : state) {
    CDSObjectProperty mail = record.GetProperty(L"mail");
    benchmark::DoNotOptimize(mail.GetValueCount());
  }
}
BENCHMARK(BM_RecordLookupByName);

}  // namespace

BENCHMARK_MAIN();
