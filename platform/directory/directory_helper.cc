// CDirectoryHelper: SID, GUID and byte-array conversions, and the Global
// Catalog paths of the current backend, copied into callers' buffers.
//
// Binary SID layout: revision (1 byte, always 1), sub-authority count (1
// byte, at most 15), identifier authority (6 bytes, big-endian), then each
// sub-authority as 4 bytes little-endian. "S-1-5-32-544" is
// 01 02 00 00 00 00 00 05 20 00 00 00 20 02 00 00.
//
// Every function returns an HRESULT and raises nothing. On
// HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) a text buffer holds an empty
// string (when it has room for one) and VariantArrayToBytesWithBuffer
// reports the needed number of bytes in *size.
#include <algorithm>
#include <array>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crt.h"
#include "platform/directory.h"
#include "platform/directory/directory_backend.h"
#include "platform/escaping.h"
#include "platform/exception.h"
#include "platform/hex.h"
#include "platform/log.h"

namespace {

constexpr char kSource[] = "directory_helper";
constexpr HRESULT kInsufficientBuffer = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
constexpr uint8_t kSidRevision = 1;
constexpr size_t kMaxSubAuthorities = 15;
constexpr size_t kSidHeaderLength = 8;
constexpr size_t kSubAuthorityLength = 4;
constexpr size_t kAuthorityLength = 6;
constexpr size_t kMaxSidLength = kSidHeaderLength + kSubAuthorityLength * kMaxSubAuthorities;
constexpr uint64_t kMaxAuthority = (uint64_t{1} << 48) - 1;
// Authorities from here on are written in hexadecimal ("0x" and 12 digits).
constexpr uint64_t kHexAuthorityThreshold = uint64_t{1} << 32;
constexpr size_t kAuthorityHexDigits = 12;
constexpr size_t kGuidLength = 16;
// The longest SID string: "S-1-", a hexadecimal authority ("0x" and 12
// digits) and every sub-authority as '-' and up to 10 decimal digits.
constexpr size_t kMaxSidTextLength = 4 + 2 + kAuthorityHexDigits + kMaxSubAuthorities * 11;

// A parsed SID; fixed size, so that parsing allocates nothing.
struct Sid {
  uint64_t authority = 0;
  std::array<uint32_t, kMaxSubAuthorities> sub_authorities{};
  size_t sub_authority_count = 0;
};

// Copies `text` and its terminator into `buffer` of `size` characters.
HRESULT CopyOut(std::wstring_view text, wchar_t* buffer, unsigned long size) {
  if (buffer == nullptr) return E_INVALIDARG;
  if (text.size() >= size) {
    if (size > 0) buffer[0] = L'\0';
    return kInsufficientBuffer;
  }
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = L'\0';
  return S_OK;
}

// Reads a decimal number of at most `max` at *pos; false when there are no
// digits or the number is too big.
bool ReadDecimal(std::wstring_view text, size_t* pos, uint64_t max, uint64_t* value) {
  const size_t start = *pos;
  uint64_t result = 0;
  while (*pos < text.size() && text[*pos] >= L'0' && text[*pos] <= L'9') {
    result = result * 10 + static_cast<uint64_t>(text[*pos] - L'0');
    if (result > max) return false;
    ++*pos;
  }
  *value = result;
  return *pos > start;
}

bool ReadHexAuthority(std::wstring_view text, size_t* pos, uint64_t* value) {
  const size_t start = *pos;
  uint64_t result = 0;
  while (*pos < text.size() && *pos - start < kAuthorityHexDigits) {
    const int digit = platform::HexValue(text[*pos]);
    if (digit < 0) break;
    result = result * 16 + static_cast<uint64_t>(digit);
    ++*pos;
  }
  *value = result;
  return *pos > start;
}

// Parses "S-1-<authority>(-<sub-authority>)*": revision 1, an authority
// below 2^48 (decimal, or 0x and up to 12 hex digits), at most 15
// sub-authorities of 32 bits.
bool ParseSid(std::wstring_view text, Sid* sid) {
  if (text.size() < 2 || (text[0] != L'S' && text[0] != L's') || text[1] != L'-') return false;
  size_t pos = 2;
  uint64_t revision = 0;
  if (!ReadDecimal(text, &pos, UINT8_MAX, &revision) || revision != kSidRevision) return false;
  if (pos >= text.size() || text[pos] != L'-') return false;
  ++pos;
  if (text.substr(pos, 2) == L"0x" || text.substr(pos, 2) == L"0X") {
    pos += 2;
    if (!ReadHexAuthority(text, &pos, &sid->authority)) return false;
  } else if (!ReadDecimal(text, &pos, kMaxAuthority, &sid->authority)) {
    return false;
  }
  while (pos < text.size()) {
    if (text[pos] != L'-' || sid->sub_authority_count == kMaxSubAuthorities) return false;
    ++pos;
    uint64_t sub = 0;
    if (!ReadDecimal(text, &pos, UINT32_MAX, &sub)) return false;
    sid->sub_authorities[sid->sub_authority_count++] = static_cast<uint32_t>(sub);
  }
  return true;
}

// Writes the binary form of `sid` to `bytes`; returns its length.
size_t SidToBytes(const Sid& sid, uint8_t (&bytes)[kMaxSidLength]) {
  size_t length = 0;
  bytes[length++] = kSidRevision;
  bytes[length++] = static_cast<uint8_t>(sid.sub_authority_count);
  for (size_t i = 0; i < kAuthorityLength; ++i) {
    bytes[length++] = static_cast<uint8_t>(sid.authority >> (8 * (kAuthorityLength - 1 - i)));
  }
  for (size_t s = 0; s < sid.sub_authority_count; ++s) {
    for (size_t i = 0; i < kSubAuthorityLength; ++i) {
      bytes[length++] = static_cast<uint8_t>(sid.sub_authorities[s] >> (8 * i));
    }
  }
  return length;
}

// The bytes of a VT_ARRAY|VT_UI1 value (or a reference to one), or null.
SAFEARRAY* ByteArrayOf(const VARIANT& value) {
  SAFEARRAY* array = nullptr;
  if (value.vt == (VT_ARRAY | VT_UI1)) {
    array = value.parray;
  } else if (value.vt == (VT_BYREF | VT_ARRAY | VT_UI1) && value.pparray != nullptr) {
    array = *value.pparray;
  }
  if (array == nullptr || SafeArrayGetDim(array) != 1) return nullptr;
  return array;
}

// Runs `call` and returns its result; E_OUTOFMEMORY when memory ran out,
// and E_FAIL, logged with the exception's text and `where` (the helper's
// name), for any other exception.
template <typename Call>
HRESULT WithoutExceptions(const char* where, Call call) {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    DBG::DebugLogEx(nullptr, DBG::kLevelFailure, kSource, __LINE__, L"CDirectoryHelper::%S failed: %s", where,
                    OS::DescribeCurrentException().c_str());
    return E_FAIL;
  }
}

HRESULT CopyBackendPath(const char* where, HRESULT (directory::DirectoryBackend::*get)(std::wstring*),
                        wchar_t* path, unsigned long size) {
  if (path == nullptr) return E_INVALIDARG;
  return WithoutExceptions(where, [&]() -> HRESULT {
    std::wstring text;
    const HRESULT hr = (directory::CurrentBackend().*get)(&text);
    if (FAILED(hr)) {
      if (size > 0) path[0] = L'\0';
      return hr;
    }
    return CopyOut(text, path, size);
  });
}

}  // namespace

HRESULT CDirectoryHelper::GetRootGCPath(wchar_t* path, unsigned long size) {
  return CopyBackendPath(__func__, &directory::DirectoryBackend::GetRootGCPath, path, size);
}

HRESULT CDirectoryHelper::GetGCFromRootDSE(wchar_t* path, unsigned long size) {
  return CopyBackendPath(__func__, &directory::DirectoryBackend::GetGCFromRootDSE, path, size);
}

HRESULT CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID(const wchar_t* user_sid,
                                                                            int primary_group_id,
                                                                            wchar_t* search_string,
                                                                            unsigned long size) {
  if (user_sid == nullptr || search_string == nullptr || primary_group_id < 0) return E_INVALIDARG;
  return WithoutExceptions(__func__, [&]() -> HRESULT {
    // Built on the stack: this runs for every resolution, cached or not.
    Sid sid;
    if (!ParseSid(user_sid, &sid) || sid.sub_authority_count == 0) return E_INVALIDARG;
    sid.sub_authorities[sid.sub_authority_count - 1] = static_cast<uint32_t>(primary_group_id);
    uint8_t bytes[kMaxSidLength];
    const size_t length = SidToBytes(sid, bytes);
    wchar_t escaped[3 * kMaxSidLength];
    const wchar_t* end = platform::WriteHexEscaped(std::span<const uint8_t>(bytes, length), escaped);
    return CopyOut(std::wstring_view(escaped, static_cast<size_t>(end - escaped)), search_string, size);
  });
}

HRESULT CDirectoryHelper::VariantArrayToBytesWithBuffer(VARIANT& value, BYTE* bytes, unsigned long* size) {
  if (size == nullptr) return E_INVALIDARG;
  SAFEARRAY* array = ByteArrayOf(value);
  if (array == nullptr) return E_INVALIDARG;
  // The count as the descriptor holds it. Upper minus lower bound would say
  // the same, but for an empty array whose lower bound is the lowest LONG
  // the upper bound wraps to the highest, and the difference overflows.
  const unsigned long count = array->rgsabound[0].cElements;
  if (count > *size) {
    *size = count;
    return kInsufficientBuffer;
  }
  if (count > 0) {
    if (bytes == nullptr) return E_INVALIDARG;
    void* data = nullptr;
    const HRESULT hr = SafeArrayAccessData(array, &data);
    if (FAILED(hr)) return hr;
    std::copy_n(static_cast<const BYTE*>(data), count, bytes);
    SafeArrayUnaccessData(array);
  }
  *size = count;
  return S_OK;
}

HRESULT CDirectoryHelper::GUIDtoBindableString(GUID* guid, wchar_t* text, unsigned long size) {
  if (guid == nullptr || text == nullptr) return E_INVALIDARG;
  // objectGUID order: Data1, Data2 and Data3 little-endian, then Data4.
  uint8_t bytes[kGuidLength];
  for (size_t i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(guid->Data1 >> (8 * i));
  for (size_t i = 0; i < 2; ++i) bytes[4 + i] = static_cast<uint8_t>(guid->Data2 >> (8 * i));
  for (size_t i = 0; i < 2; ++i) bytes[6 + i] = static_cast<uint8_t>(guid->Data3 >> (8 * i));
  std::copy(std::begin(guid->Data4), std::end(guid->Data4), bytes + 8);
  // Two hex digits a byte, made on the stack: nothing here can fail.
  wchar_t hex[2 * kGuidLength];
  for (size_t i = 0; i < kGuidLength; ++i) {
    hex[2 * i] = static_cast<wchar_t>(platform::kLowerHexDigits[bytes[i] >> 4]);
    hex[2 * i + 1] = static_cast<wchar_t>(platform::kLowerHexDigits[bytes[i] & 0xf]);
  }
  return CopyOut(std::wstring_view(hex, 2 * kGuidLength), text, size);
}

HRESULT CDirectoryHelper::GetSIDStringFromVariant(VARIANT& value, wchar_t* text, unsigned long size) {
  if (text == nullptr) return E_INVALIDARG;
  BYTE bytes[kMaxSidLength];
  unsigned long length = sizeof(bytes);
  const HRESULT hr = VariantArrayToBytesWithBuffer(value, bytes, &length);
  if (FAILED(hr)) return E_INVALIDARG;  // not bytes, or longer than any SID
  if (length < kSidHeaderLength || bytes[0] != kSidRevision || bytes[1] > kMaxSubAuthorities ||
      length != kSidHeaderLength + kSubAuthorityLength * bytes[1]) {
    return E_INVALIDARG;
  }
  return WithoutExceptions(__func__, [&]() -> HRESULT {
    uint64_t authority = 0;
    for (size_t i = 0; i < kAuthorityLength; ++i) authority = (authority << 8) | bytes[2 + i];
    std::wstring result;
    result.reserve(kMaxSidTextLength);
    result += L"S-1-";
    if (authority < kHexAuthorityThreshold) {
      platform::AppendDecimal(&result, authority);
    } else {
      result += L"0x";
      for (size_t i = kAuthorityHexDigits; i > 0; --i) {
        result += platform::UpperHexDigit<wchar_t>(authority >> (4 * (i - 1)));
      }
    }
    for (size_t i = 0; i < bytes[1]; ++i) {
      const BYTE* sub = bytes + kSidHeaderLength + kSubAuthorityLength * i;
      const uint32_t value32 = static_cast<uint32_t>(sub[0]) | static_cast<uint32_t>(sub[1]) << 8 |
                               static_cast<uint32_t>(sub[2]) << 16 | static_cast<uint32_t>(sub[3]) << 24;
      result += L'-';
      platform::AppendDecimal(&result, value32);
    }
    return CopyOut(result, text, size);
  });
}
