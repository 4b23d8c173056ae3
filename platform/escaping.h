// Bytes written as backslash escapes: each byte as '\' and two lower-case
// hex digits ("\2f"), the form RFC 4515 gives a byte in a search filter
// value and RFC 4514 in a distinguished name.
//
// Thread safety: pure functions.
#ifndef USERPOLICY_PLATFORM_ESCAPING_H_
#define USERPOLICY_PLATFORM_ESCAPING_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/hex.h"

namespace platform {

// Writes every byte of `bytes` escaped to `out` and returns the end of what
// it wrote. REQUIRES: `out` has room for 3 * bytes.size() characters.
template <class Char>
Char* WriteHexEscaped(std::span<const uint8_t> bytes, Char* out) {
  for (const uint8_t byte : bytes) {
    *out++ = Char('\\');
    *out++ = LowerHexDigit<Char>(byte >> 4);
    *out++ = LowerHexDigit<Char>(byte);
  }
  return out;
}

// Appends every byte of `bytes` escaped to `*out`, a std::string or
// std::wstring.
template <class String>
void AppendHexEscaped(String* out, std::span<const uint8_t> bytes) {
  const size_t start = out->size();
  out->resize(start + 3 * bytes.size());
  WriteHexEscaped(bytes, out->data() + start);
}

}  // namespace platform

#endif  // USERPOLICY_PLATFORM_ESCAPING_H_
