// Cost of copying the COM value types the directory layer passes around.
#include <benchmark/benchmark.h>

#include <cstring>

#include "platform/com.h"

namespace {

constexpr wchar_t kDistinguishedName[] = L"CN=Some User,OU=Users,DC=example,DC=com";
// objectGUID and similar binary attributes are 16 bytes.
constexpr ULONG kGuidBytes = 16;

// A _bstr_t copy shares the string: one atomic increment and decrement.
void BM_BstrCopyDestroy(benchmark::State& state) {
  const _bstr_t source(kDistinguishedName);
  for (auto _ : state) {
    _bstr_t copy(source);
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_BstrCopyDestroy);

// A _variant_t copy duplicates the BSTR: one allocation, copy and free.
void BM_VariantCopyBstr(benchmark::State& state) {
  const _variant_t source(kDistinguishedName);
  for (auto _ : state) {
    _variant_t copy(source);
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_VariantCopyBstr);

// A _variant_t copy of VT_ARRAY | VT_UI1 duplicates descriptor and data.
void BM_VariantCopyByteArray16(benchmark::State& state) {
  VARIANT raw;
  VariantInit(&raw);
  raw.vt = VT_ARRAY | VT_UI1;
  raw.parray = SafeArrayCreateVector(VT_UI1, 0, kGuidBytes);
  std::memset(raw.parray->pvData, 0xA5, kGuidBytes);
  const _variant_t source(raw, false);
  for (auto _ : state) {
    _variant_t copy(source);
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_VariantCopyByteArray16);

}  // namespace

BENCHMARK_MAIN();
