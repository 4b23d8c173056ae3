// UTF-8 <-> wide conversion, and the checks on UTF-8 text. wchar_t holds
// UTF-32 on Linux and UTF-16 on Windows; only how a code point becomes wide
// code units differs.
#include "platform/utf8.h"

#include <cstddef>
#include <string>

namespace {

// wchar_t holds UTF-16 on Windows and UTF-32 elsewhere; the two are told
// apart by the type's size alone.
constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;
static_assert(sizeof(wchar_t) == 2 || sizeof(wchar_t) == 4, "wide text is UTF-16 or UTF-32");

constexpr char32_t kMaxCodePoint = 0x10FFFF;
constexpr char32_t kHighSurrogateFirst = 0xD800;
constexpr char32_t kHighSurrogateLast = 0xDBFF;
constexpr char32_t kLowSurrogateFirst = 0xDC00;
constexpr char32_t kLowSurrogateLast = 0xDFFF;

bool IsHighSurrogate(char32_t c) { return c >= kHighSurrogateFirst && c <= kHighSurrogateLast; }
bool IsLowSurrogate(char32_t c) { return c >= kLowSurrogateFirst && c <= kLowSurrogateLast; }

// Appends code point `c` (at most U+10FFFF, no surrogate) as one UTF-32 unit
// or, where wchar_t is UTF-16, as one unit or a surrogate pair.
void AppendWide(std::wstring* out, char32_t c) {
  if (kWideIsUtf16 && c >= 0x10000) {
    c -= 0x10000;
    out->push_back(static_cast<wchar_t>(kHighSurrogateFirst + (c >> 10)));
    out->push_back(static_cast<wchar_t>(kLowSurrogateFirst + (c & 0x3FF)));
  } else {
    out->push_back(static_cast<wchar_t>(c));
  }
}

void AppendUtf8(std::string* out, char32_t c) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Decodes one character at text[*pos], advancing *pos past it. A malformed
// sequence yields U+FFFD and advances past its maximal valid prefix (at least
// one byte), as Unicode recommends.
char32_t DecodeUtf8(std::string_view text, size_t* pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(*pos);
  if (lead < 0x80) {
    ++*pos;
    return lead;
  }
  size_t length;
  unsigned char second_min = 0x80;
  unsigned char second_max = 0xBF;
  char32_t value;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) second_min = 0xA0;  // no overlong forms
    if (lead == 0xED) second_max = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xF0) second_min = 0x90;  // no overlong forms
    if (lead == 0xF4) second_max = 0x8F;  // nothing above U+10FFFF
  } else {
    ++*pos;  // continuation byte without a lead, C0, C1 or F5..FF
    return platform::kReplacementCharacter;
  }
  size_t i = *pos + 1;
  for (size_t k = 1; k < length; ++k, ++i) {
    const unsigned char min = k == 1 ? second_min : 0x80;
    const unsigned char max = k == 1 ? second_max : 0xBF;
    if (i >= text.size() || byte(i) < min || byte(i) > max) {
      *pos = i;
      return platform::kReplacementCharacter;
    }
    value = (value << 6) | (byte(i) & 0x3F);
  }
  *pos = i;
  return value;
}

}  // namespace

namespace platform {

// ASCII, which names, DNs and filters mostly are, is copied unit by unit
// without decoding, in the same pass that finds out whether it is ASCII.
std::string WideToUtf8(std::wstring_view text) {
  std::string narrow(text.size(), '\0');
  uint32_t seen = 0;  // every bit of every unit copied
  for (size_t i = 0; i < text.size(); ++i) {
    const auto unit = static_cast<uint32_t>(text[i]);
    seen |= unit;
    narrow[i] = static_cast<char>(unit);
  }
  if (seen < 0x80) return narrow;
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = static_cast<char32_t>(text[i]);
    if (IsHighSurrogate(c) && i + 1 < text.size()) {
      const char32_t low = static_cast<char32_t>(text[i + 1]);
      if (IsLowSurrogate(low)) {
        c = 0x10000 + ((c - kHighSurrogateFirst) << 10) + (low - kLowSurrogateFirst);
        ++i;
      }
    }
    if (c > kMaxCodePoint || (c >= kHighSurrogateFirst && c <= kLowSurrogateLast)) {
      c = platform::kReplacementCharacter;
    }
    AppendUtf8(&out, c);
  }
  return out;
}

size_t FindInvalidCodeUnit(std::wstring_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<char32_t>(text[i]);
    if constexpr (kWideIsUtf16) {
      if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(static_cast<char32_t>(text[i + 1]))) {
        ++i;
        continue;
      }
    }
    if (c > kMaxCodePoint || (c >= kHighSurrogateFirst && c <= kLowSurrogateLast)) return i;
  }
  return std::wstring_view::npos;
}

std::wstring Utf8ToWide(std::string_view text) {
  if (IsAscii(text)) {
    std::wstring wide(text.size(), L'\0');
    for (size_t i = 0; i < text.size(); ++i) wide[i] = static_cast<wchar_t>(text[i]);
    return wide;
  }
  std::wstring out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) AppendWide(&out, DecodeUtf8(text, &pos));
  return out;
}


bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    size_t length = 0;
    uint32_t code = 0;
    uint32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
      length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

bool IsPrintableText(std::string_view text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t' && c != '\n' && c != '\r') || byte == 0x7F) return false;
  }
  return IsValidUtf8(text);
}

}  // namespace platform
