#include "fuzz/fuzz_text.h"

#include <cstdio>

#include "platform/utf8.h"

namespace fuzz {

std::wstring WideText(std::string_view bytes) {
  constexpr size_t kRawUnitBytes = 4;
  std::wstring text;
  size_t start = 0;  // of the UTF-8 run not yet decoded
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (static_cast<uint8_t>(bytes[i]) != kRawUnitMarker || bytes.size() - i - 1 < kRawUnitBytes) continue;
    text += platform::Utf8ToWide(bytes.substr(start, i - start));
    uint32_t unit = 0;
    for (size_t k = 0; k < kRawUnitBytes; ++k) unit |= uint32_t{static_cast<uint8_t>(bytes[i + 1 + k])} << (8 * k);
    text += static_cast<wchar_t>(unit);
    i += kRawUnitBytes;
    start = i + 1;
  }
  text += platform::Utf8ToWide(bytes.substr(start));
  return text;
}

std::string Printable(std::wstring_view text) {
  std::string out;
  for (wchar_t c : text) {
    const auto unit = static_cast<uint32_t>(c);
    if (unit >= 0x20 && unit < 0x7F && c != L'\\') {
      out += static_cast<char>(c);
    } else {
      char escaped[16];
      std::snprintf(escaped, sizeof(escaped), "\\x{%x}", unit);
      out += escaped;
    }
  }
  return out;
}

}  // namespace fuzz
