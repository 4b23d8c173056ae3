// COM runtime functions: per-thread initialisation, GUIDs and task memory.
#include <sys/random.h>

#include <cstdlib>
#include <cstring>

#include "platform/com.h"
#include "platform/hex.h"

namespace {

// This thread's CoInitialize(Ex) state.
struct ThreadComState {
  unsigned count = 0;
  DWORD model = COINIT_MULTITHREADED;  // concurrency model of the first call
};

thread_local ThreadComState t_com_state;

// The bit of dwCoInit that selects the concurrency model.
constexpr DWORD kModelMask = COINIT_APARTMENTTHREADED;

// Characters of "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" plus terminator.
constexpr int kGuidTextLength = 39;

// Writes `value` as `digits` upper-case hexadecimal digits.
wchar_t* PutHex(wchar_t* out, uint32_t value, int digits) {
  for (int i = digits - 1; i >= 0; --i) {
    out[i] = platform::UpperHexDigit<wchar_t>(value);
    value >>= 4;
  }
  return out + digits;
}

}  // namespace

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  if (pvReserved != nullptr) return E_INVALIDARG;
  const DWORD model = dwCoInit & kModelMask;
  ThreadComState& state = t_com_state;
  if (state.count == 0) {
    state.model = model;
  } else if (state.model != model) {
    return RPC_E_CHANGED_MODE;
  }
  ++state.count;
  return state.count == 1 ? S_OK : S_FALSE;
}

HRESULT CoInitialize(LPVOID pvReserved) {
  return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

void CoUninitialize() {
  ThreadComState& state = t_com_state;
  if (state.count > 0) --state.count;
}

HRESULT CoCreateGuid(GUID* pguid) {
  if (pguid == nullptr) return E_INVALIDARG;
  unsigned char bytes[sizeof(GUID)];
  size_t filled = 0;
  while (filled < sizeof(bytes)) {
    const ssize_t got = getrandom(bytes + filled, sizeof(bytes) - filled, 0);
    if (got <= 0) return E_FAIL;
    filled += static_cast<size_t>(got);
  }
  std::memcpy(pguid, bytes, sizeof(GUID));
  // RFC 4122 version 4 (random) and variant 1 bits.
  pguid->Data3 = static_cast<uint16_t>((pguid->Data3 & 0x0FFF) | 0x4000);
  pguid->Data4[0] = static_cast<uint8_t>((pguid->Data4[0] & 0x3F) | 0x80);
  return S_OK;
}

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  if (lpsz == nullptr || cchMax < kGuidTextLength) return 0;
  wchar_t* out = lpsz;
  *out++ = L'{';
  out = PutHex(out, rguid.Data1, 8);
  *out++ = L'-';
  out = PutHex(out, rguid.Data2, 4);
  *out++ = L'-';
  out = PutHex(out, rguid.Data3, 4);
  *out++ = L'-';
  out = PutHex(out, rguid.Data4[0], 2);
  out = PutHex(out, rguid.Data4[1], 2);
  *out++ = L'-';
  for (int i = 2; i < 8; ++i) out = PutHex(out, rguid.Data4[i], 2);
  *out++ = L'}';
  *out = L'\0';
  return kGuidTextLength;
}

LPVOID CoTaskMemAlloc(SIZE_T cb) { return std::malloc(cb == 0 ? 1 : cb); }

void CoTaskMemFree(LPVOID pv) { std::free(pv); }
