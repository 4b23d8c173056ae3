// Text for fuzz targets: wide strings made from the fuzzer's bytes, and wide
// strings made printable for failure messages.
#ifndef USERPOLICY_FUZZ_FUZZ_TEXT_H_
#define USERPOLICY_FUZZ_FUZZ_TEXT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace fuzz {

// Marks a raw code unit in fuzzer input: kRawUnitMarker followed by four
// bytes (little-endian) is that one wchar_t, whatever its value (surrogates,
// values above U+10FFFF and negative ones included).
inline constexpr uint8_t kRawUnitMarker = 0xFF;

// `bytes` as wide text: UTF-8 (invalid sequences become U+FFFD, as
// platform::Utf8ToWide decodes them), except that each kRawUnitMarker and
// the four bytes after it give one raw code unit. A marker with fewer than
// four bytes after it is decoded as UTF-8 (one U+FFFD). Embedded zeros are
// kept. Seeds are therefore written as plain UTF-8.
std::wstring WideText(std::string_view bytes);

// `text` in ASCII for a failure message: printable ASCII as it is, other
// code units as \x{hex}.
std::string Printable(std::wstring_view text);

}  // namespace fuzz

#endif  // USERPOLICY_FUZZ_FUZZ_TEXT_H_
