// The value conversions of CDirectoryHelper (platform/directory.h): bytes of
// a VT_ARRAY|VT_UI1 value copied out, a binary objectSid as "S-1-...", an
// objectGUID as the hex of <GUID=...>, and the escaped objectSid filter value
// of a primary group made from a SID string.
//
// The input is used twice: as the bytes of a directory value, and as text
// (UTF-8 with raw code units, fuzz/fuzz_text.h) for the SID string. Every
// output buffer is a heap block of exactly the size passed, so a write past
// it is an AddressSanitizer report. Properties:
//  - bytes copy out exactly when they fit, else the needed size is given;
//  - GetSIDStringFromVariant succeeds exactly for a well-formed binary SID;
//    its text needs exactly its length + 1 characters; the primary group's
//    search string made from it is the SID's own bytes, escaped, with the
//    last sub-authority replaced;
//  - GUIDtoBindableString gives 32 hex digits, which <GUID=...> parses back
//    to the value's first 16 bytes;
//  - a SID string that the search string accepts gives the escaped bytes of
//    a well-formed SID, and the canonical text of that SID gives the same
//    search string.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_logging.h"
#include "fuzz/fuzz_text.h"
#include "platform/directory.h"
#include "platform/directory/directory_path.h"
#include "platform/hex.h"

namespace {

using fuzz::Printable;

constexpr HRESULT kInsufficientBuffer = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
constexpr size_t kSidHeaderLength = 8;
constexpr size_t kMaxSubAuthorities = 15;
constexpr size_t kGuidLength = 16;
constexpr wchar_t kCanary = L'#';

_variant_t ByteVariant(const std::vector<uint8_t>& bytes) {
  _variant_t value;
  value.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  value.vt = VT_ARRAY | VT_UI1;
  if (!bytes.empty()) std::memcpy(value.parray->pvData, bytes.data(), bytes.size());
  return value;
}

bool IsWellFormedSid(const std::vector<uint8_t>& bytes) {
  return bytes.size() >= kSidHeaderLength && bytes[0] == 1 && bytes[1] <= kMaxSubAuthorities &&
         bytes.size() == kSidHeaderLength + 4 * size_t{bytes[1]};
}

// The bytes of "\hh\hh..."; checks that the text is nothing else.
std::vector<uint8_t> UnescapeBytes(std::wstring_view escaped) {
  FUZZ_CHECK(escaped.size() % 3 == 0) << Printable(escaped);
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < escaped.size(); i += 3) {
    const int high = platform::HexValue(escaped[i + 1]);
    const int low = platform::HexValue(escaped[i + 2]);
    FUZZ_CHECK(escaped[i] == L'\\' && high >= 0 && low >= 0) << "at " << i << " of " << Printable(escaped);
    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return bytes;
}

// Calls `convert(buffer, size)` into heap blocks of `size` characters and
// checks the copy-out contract: S_OK with the text and its terminator when
// size > length, the insufficient-buffer error and an empty string (nothing
// written past it) otherwise.
template <typename Convert>
void CheckBufferSizes(const std::wstring& text, Convert convert) {
  for (size_t size : {text.size() + 1, text.size(), size_t{1}}) {
    auto buffer = std::make_unique<wchar_t[]>(size + 1);
    for (size_t i = 0; i <= size; ++i) buffer[i] = kCanary;
    const HRESULT hr = convert(buffer.get(), static_cast<unsigned long>(size));
    if (size > text.size()) {
      FUZZ_CHECK(hr == S_OK && buffer.get() == text) << "size " << size << " for " << Printable(text);
    } else {
      FUZZ_CHECK(hr == kInsufficientBuffer && buffer[0] == L'\0') << "size " << size << " for " << Printable(text);
      for (size_t i = 1; i <= size; ++i) FUZZ_CHECK(buffer[i] == kCanary) << "wrote " << i << " of " << size;
    }
  }
}

void CheckByteCopy(const std::vector<uint8_t>& bytes) {
  _variant_t value = ByteVariant(bytes);
  for (size_t capacity : {bytes.size(), bytes.size() / 2}) {
    auto out = std::make_unique<BYTE[]>(capacity + 1);
    unsigned long size = static_cast<unsigned long>(capacity);
    const HRESULT hr = CDirectoryHelper::VariantArrayToBytesWithBuffer(value, out.get(), &size);
    FUZZ_CHECK(size == bytes.size()) << "size " << size << " for " << bytes.size() << " bytes";
    if (capacity >= bytes.size()) {
      FUZZ_CHECK(hr == S_OK && (bytes.empty() || std::memcmp(out.get(), bytes.data(), bytes.size()) == 0)) << "hr " << hr;
    } else {
      FUZZ_CHECK(hr == kInsufficientBuffer) << "hr " << hr << " for " << bytes.size() << " bytes in " << capacity;
    }
  }
}

// The input but its last four bytes, in an array whose lower bound those
// four bytes give, copied out through the array and through a reference to
// it.
void CheckLowerBoundAndReference(const uint8_t* data, size_t size) {
  if (size < 4) return;
  LONG lower = 0;
  std::memcpy(&lower, data + size - 4, 4);
  const size_t count = size - 4;
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, lower, static_cast<ULONG>(count));
  if (int64_t{lower} + static_cast<int64_t>(count) - 1 > INT32_MAX) {
    FUZZ_CHECK(array == nullptr) << "an array past the last index, from " << lower;
    return;
  }
  FUZZ_CHECK(array != nullptr) << count << " bytes from " << lower;
  if (count > 0) std::memcpy(array->pvData, data, count);
  _variant_t by_value;  // owns the array
  by_value.vt = VT_ARRAY | VT_UI1;
  by_value.parray = array;
  VARIANT by_reference;
  by_reference.vt = VT_BYREF | VT_ARRAY | VT_UI1;
  by_reference.pparray = &array;
  for (VARIANT* value : {static_cast<VARIANT*>(&by_value), &by_reference}) {
    auto out = std::make_unique<BYTE[]>(count + 1);
    unsigned long copied = static_cast<unsigned long>(count);
    const HRESULT hr = CDirectoryHelper::VariantArrayToBytesWithBuffer(*value, out.get(), &copied);
    FUZZ_CHECK(hr == S_OK && copied == count && (count == 0 || std::memcmp(out.get(), data, count) == 0))
        << "hr " << hr << ", " << copied << " of " << count << " bytes from lower bound " << lower
        << (value == &by_reference ? " by reference" : "");
  }
}

// The search string of `sid_text` with `group`; empty when refused.
std::wstring SidSearchString(const std::wstring& sid_text, int group) {
  wchar_t buffer[256];
  const HRESULT hr =
      CDirectoryHelper::GetObjectSIDSearchStringByUserSIDAndPrimaryGroupID(sid_text.c_str(), group, buffer, 256);
  FUZZ_CHECK(hr == S_OK || hr == E_INVALIDARG) << "hr " << hr << " for " << Printable(sid_text);
  return hr == S_OK ? std::wstring(buffer) : std::wstring();
}

// The SID string of `bytes`, checked against its buffer sizes; empty when
// the bytes are not a SID.
std::wstring CheckSidString(const std::vector<uint8_t>& bytes) {
  _variant_t value = ByteVariant(bytes);
  wchar_t text[256];
  const HRESULT hr = CDirectoryHelper::GetSIDStringFromVariant(value, text, 256);
  FUZZ_CHECK((hr == S_OK) == IsWellFormedSid(bytes)) << "hr " << hr << " for " << bytes.size() << " bytes";
  if (hr != S_OK) return std::wstring();
  const std::wstring sid(text);
  CheckBufferSizes(sid, [&](wchar_t* buffer, unsigned long size) {
    return CDirectoryHelper::GetSIDStringFromVariant(value, buffer, size);
  });
  return sid;
}

void CheckSidRoundTrip(const std::vector<uint8_t>& bytes, const std::wstring& sid) {
  const int group = 513;
  const std::wstring search = SidSearchString(sid, group);
  if (bytes[1] == 0) {
    FUZZ_CHECK(search.empty()) << "a SID without sub-authorities has no primary group: " << Printable(sid);
    return;
  }
  std::vector<uint8_t> expected = bytes;
  const size_t last = expected.size() - 4;
  for (size_t i = 0; i < 4; ++i) expected[last + i] = static_cast<uint8_t>(group >> (8 * i));
  FUZZ_CHECK(UnescapeBytes(search) == expected) << Printable(sid) << " gave " << Printable(search);
}

void CheckGuid(const std::vector<uint8_t>& bytes) {
  if (bytes.size() < kGuidLength) return;
  GUID guid;
  std::memcpy(&guid, bytes.data(), kGuidLength);
  wchar_t text[64];
  FUZZ_CHECK(CDirectoryHelper::GUIDtoBindableString(&guid, text, 64) == S_OK) << "GUID refused";
  const std::wstring hex(text);
  FUZZ_CHECK(hex.size() == 2 * kGuidLength) << Printable(hex);
  CheckBufferSizes(hex, [&](wchar_t* buffer, unsigned long size) {
    return CDirectoryHelper::GUIDtoBindableString(&guid, buffer, size);
  });
  const directory::DirectoryPath path = directory::DirectoryPath::Parse(L"GC://<GUID=" + hex + L">");
  FUZZ_CHECK(std::memcmp(path.guid.data(), bytes.data(), kGuidLength) == 0) << Printable(hex);
}

void CheckSidText(const std::wstring& text, int group) {
  const std::wstring search = SidSearchString(text, group);
  FUZZ_CHECK(group >= 0 || search.empty()) << "negative group " << group << " accepted";
  if (search.empty()) return;
  const std::vector<uint8_t> bytes = UnescapeBytes(search);
  FUZZ_CHECK(IsWellFormedSid(bytes) && bytes[1] > 0) << Printable(text) << " gave " << Printable(search);
  const std::wstring canonical = CheckSidString(bytes);
  FUZZ_CHECK(SidSearchString(canonical, group) == search)
      << Printable(text) << " and its canonical " << Printable(canonical) << " differ";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::LogToDevNull();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  CheckByteCopy(bytes);
  CheckLowerBoundAndReference(data, size);
  const std::wstring sid = CheckSidString(bytes);
  if (!sid.empty()) CheckSidRoundTrip(bytes, sid);
  CheckGuid(bytes);

  // The group id from the input's first four bytes (negative ones are refused).
  int group = 0;
  if (size >= 4) std::memcpy(&group, data, 4);
  const std::wstring text = fuzz::WideText(std::string_view(reinterpret_cast<const char*>(data), size));
  CheckSidText(text, group == INT_MIN ? 0 : (group < 0 ? -group : group));
  CheckSidText(text, -1 - (group & 0xFF));
  return 0;
}
