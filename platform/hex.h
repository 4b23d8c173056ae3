// Hexadecimal digits: writing them and reading them back, for narrow and
// wide text.
//
// Thread safety: constants and pure functions.
#ifndef USERPOLICY_PLATFORM_HEX_H_
#define USERPOLICY_PLATFORM_HEX_H_

#include <cstdint>

namespace platform {

inline constexpr char kLowerHexDigits[] = "0123456789abcdef";
inline constexpr char kUpperHexDigits[] = "0123456789ABCDEF";

// The digit of the low four bits of `value`: '0'-'9', then 'a'-'f' or 'A'-'F'.
template <class Char>
constexpr Char LowerHexDigit(uint64_t value) {
  return static_cast<Char>(kLowerHexDigits[value & 0xF]);
}
template <class Char>
constexpr Char UpperHexDigit(uint64_t value) {
  return static_cast<Char>(kUpperHexDigits[value & 0xF]);
}

// The value (0-15) of the hex digit `c` in either case, or -1 when `c` is
// not one of 0-9, a-f, A-F.
template <class Char>
constexpr int HexValue(Char c) {
  if (c >= Char('0') && c <= Char('9')) return static_cast<int>(c - Char('0'));
  if (c >= Char('a') && c <= Char('f')) return static_cast<int>(c - Char('a')) + 10;
  if (c >= Char('A') && c <= Char('F')) return static_cast<int>(c - Char('A')) + 10;
  return -1;
}

// Appends `byte` as two lower-case hex digits ("0f") to `*out`, a
// std::string or std::wstring.
template <class String>
void AppendLowerHexByte(String* out, uint8_t byte) {
  using Char = typename String::value_type;
  out->push_back(LowerHexDigit<Char>(byte >> 4));
  out->push_back(LowerHexDigit<Char>(byte));
}

}  // namespace platform

#endif  // USERPOLICY_PLATFORM_HEX_H_
