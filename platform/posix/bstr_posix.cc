// BSTR allocation. A BSTR points at its characters; the 4 bytes before them
// hold the length in bytes, and a zero character follows them, as on
// Windows. The block starts 8 bytes before the characters so that they are
// 8-byte aligned.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/com.h"

namespace {

// Bytes from the start of the allocation to the first character.
constexpr size_t kHeaderBytes = 8;
// The byte count sits immediately before the characters.
constexpr size_t kLengthBytes = sizeof(uint32_t);
// Byte lengths are 32-bit; leave room for the terminator and padding.
constexpr uint64_t kMaxByteLength = UINT32_MAX - 2 * sizeof(OLECHAR);

char* BlockOf(BSTR bstr) { return reinterpret_cast<char*>(bstr) - kHeaderBytes; }

uint32_t StoredByteLength(BSTR bstr) {
  uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<const char*>(bstr) - kLengthBytes, kLengthBytes);
  return bytes;
}

// A string of `byte_length` bytes copied from `source` (zeros if null),
// followed by zero bytes up to the next character boundary plus a whole zero
// character. Null on overflow or memory shortage.
BSTR AllocateBytes(const void* source, uint64_t byte_length) {
  if (byte_length > kMaxByteLength) return nullptr;
  const size_t rounded = (byte_length + sizeof(OLECHAR) - 1) / sizeof(OLECHAR) * sizeof(OLECHAR);
  const size_t storage = rounded + sizeof(OLECHAR);
  char* block = static_cast<char*>(std::malloc(kHeaderBytes + storage));
  if (block == nullptr) return nullptr;
  char* text = block + kHeaderBytes;
  const uint32_t stored = static_cast<uint32_t>(byte_length);
  std::memcpy(text - kLengthBytes, &stored, kLengthBytes);
  std::memset(block, 0, kHeaderBytes - kLengthBytes);
  if (source != nullptr) {
    std::memcpy(text, source, byte_length);
  } else {
    std::memset(text, 0, byte_length);
  }
  std::memset(text + byte_length, 0, storage - byte_length);
  return reinterpret_cast<BSTR>(text);
}

}  // namespace

BSTR SysAllocString(const OLECHAR* psz) {
  if (psz == nullptr) return nullptr;
  return AllocateBytes(psz, uint64_t{std::wcslen(psz)} * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* psz, UINT len) {
  return AllocateBytes(psz, uint64_t{len} * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) { return AllocateBytes(psz, len); }

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  if (pbstr == nullptr) return FALSE;
  BSTR fresh = SysAllocString(psz);
  if (fresh == nullptr && psz != nullptr) return FALSE;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
  if (pbstr == nullptr) return FALSE;
  BSTR fresh = SysAllocStringLen(psz, len);
  if (fresh == nullptr) return FALSE;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

void SysFreeString(BSTR bstr) {
  if (bstr != nullptr) std::free(BlockOf(bstr));
}

UINT SysStringLen(BSTR bstr) {
  return bstr == nullptr ? 0 : StoredByteLength(bstr) / sizeof(OLECHAR);
}

UINT SysStringByteLen(BSTR bstr) { return bstr == nullptr ? 0 : StoredByteLength(bstr); }
