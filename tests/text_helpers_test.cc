// The platform's small text helpers: ASCII classes and case folding
// (platform/ascii.h), hex digits (platform/hex.h), backslash escapes
// (platform/escaping.h) and the UTF-8 checks and the ASCII edge of the
// conversions (platform/utf8.h), at the edges of each range and with wide
// characters whose low byte looks like ASCII. The conversions themselves are
// checked in crt_cstring_test.cc.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ascii.h"
#include "platform/escaping.h"
#include "platform/hex.h"
#include "platform/utf8.h"

namespace {

TEST(AsciiFolding, FoldsOnlyTheAsciiLettersOfNarrowAndWideText) {
  // Character, lower, upper, alphanumeric. U+0141 and U+0161 end in the
  // bytes of 'A' and 'a'; U+00C4/U+00E4 are letters outside ASCII.
  const struct {
    wchar_t c, lower, upper;
    bool alphanumeric;
  } cases[] = {
      {L'@', L'@', L'@', false},         {L'A', L'a', L'A', true},         {L'Z', L'z', L'Z', true},
      {L'[', L'[', L'[', false},         {L'`', L'`', L'`', false},        {L'a', L'a', L'A', true},
      {L'z', L'z', L'Z', true},          {L'{', L'{', L'{', false},        {L'/', L'/', L'/', false},
      {L'0', L'0', L'0', true},          {L'9', L'9', L'9', true},         {L':', L':', L':', false},
      {L'\u00C4', L'\u00C4', L'\u00C4', false}, {L'\u00E4', L'\u00E4', L'\u00E4', false},
      {L'\u0141', L'\u0141', L'\u0141', false}, {L'\u0161', L'\u0161', L'\u0161', false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::AsciiToLower(c.c), c.lower) << static_cast<int>(c.c);
    EXPECT_EQ(platform::AsciiToUpper(c.c), c.upper) << static_cast<int>(c.c);
    EXPECT_EQ(platform::IsAsciiAlphanumeric(c.c), c.alphanumeric) << static_cast<int>(c.c);
    if (c.c < 0x80) {
      const char narrow = static_cast<char>(c.c);
      EXPECT_EQ(platform::AsciiToLower(narrow), static_cast<char>(c.lower));
      EXPECT_EQ(platform::AsciiToUpper(narrow), static_cast<char>(c.upper));
    }
  }
  // UTF-8 bytes of non-ASCII letters are never touched.
  EXPECT_EQ(platform::AsciiLowercase(std::string_view("CN=\xC3\x84rger,DC=X")), "cn=\xC3\x84rger,dc=x");
  EXPECT_EQ(platform::AsciiLowercase(std::wstring_view(L"CN=\u00C4rger,DC=X")), L"cn=\u00C4rger,dc=x");
}

TEST(AsciiFolding, ComparesWithoutRegardToAsciiCaseOnly) {
  const struct {
    const wchar_t* a;
    const wchar_t* b;
    bool equal;
  } cases[] = {
      {L"objectGUID", L"OBJECTguid", true}, {L"", L"", true},           {L"cn", L"cn ", false},
      {L"\u00C4", L"\u00E4", false},         {L"[", L"{", false},        {L"@", L"`", false},
      {L"\u0141", L"A", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::EqualsIgnoringAsciiCase(std::wstring_view(c.a), std::wstring_view(c.b)), c.equal)
        << ::testing::PrintToString(std::wstring(c.a));
  }
  EXPECT_TRUE(platform::EqualsIgnoringAsciiCase(std::string_view("Range="), std::string_view("rANGE=")));
  EXPECT_TRUE(platform::StartsWithIgnoringAsciiCase(std::string_view("LDAPS://host"), "ldaps://"));
  EXPECT_TRUE(platform::StartsWithIgnoringAsciiCase(std::wstring_view(L"X-ORIGIN"), L"x-"));
  EXPECT_FALSE(platform::StartsWithIgnoringAsciiCase(std::string_view("ldap"), "ldaps://"));
  EXPECT_FALSE(platform::StartsWithIgnoringAsciiCase(std::string_view("ldap://host"), "ldaps://"));
}

TEST(HexDigits, ReadBothCasesAndNothingElse) {
  const std::pair<wchar_t, int> cases[] = {
      {L'0', 0},  {L'9', 9},  {L'a', 10}, {L'f', 15}, {L'A', 10}, {L'F', 15},  {L'/', -1},
      {L':', -1}, {L'@', -1}, {L'G', -1}, {L'`', -1}, {L'g', -1}, {L' ', -1},
      {L'\u0660', -1},  // ARABIC-INDIC DIGIT ZERO
      {L'\u0130', -1},  // low byte '0'
      {L'\uFF21', -1},  // FULLWIDTH LATIN CAPITAL LETTER A
  };
  for (const auto& [c, value] : cases) {
    EXPECT_EQ(platform::HexValue(c), value) << static_cast<int>(c);
    if (c < 0x80) {
      EXPECT_EQ(platform::HexValue(static_cast<char>(c)), value) << static_cast<char>(c);
    }
  }
}

TEST(HexDigits, WriteTheLowFourBitsInEitherCase) {
  std::string lower;
  std::wstring upper;
  for (unsigned value = 0; value < 16; ++value) {
    lower += platform::LowerHexDigit<char>(value);
    upper += platform::UpperHexDigit<wchar_t>(value);
  }
  EXPECT_EQ(lower, "0123456789abcdef");
  EXPECT_EQ(upper, L"0123456789ABCDEF");
  EXPECT_EQ(platform::LowerHexDigit<char>(0x1234567AB), 'b');

  std::string narrow = "x";
  std::wstring wide = L"x";
  for (uint8_t byte : {0x00, 0x0f, 0xa5, 0xf0, 0xff}) {
    platform::AppendLowerHexByte(&narrow, byte);
    platform::AppendLowerHexByte(&wide, byte);
  }
  EXPECT_EQ(narrow, "x000fa5f0ff");
  EXPECT_EQ(wide, L"x000fa5f0ff");
}

TEST(HexEscapes, WriteEveryByteAsBackslashAndTwoDigits) {
  // ')' and '\' are special in a filter, 0x00 and 0xff are not text.
  const std::vector<uint8_t> bytes = {0x29, 0x00, 0xff, 0x5c, 0x41};
  wchar_t buffer[16];
  wchar_t* end = platform::WriteHexEscaped(bytes, buffer);
  EXPECT_EQ(std::wstring(buffer, end), L"\\29\\00\\ff\\5c\\41");
  EXPECT_EQ(end - buffer, 15);
  EXPECT_EQ(platform::WriteHexEscaped(std::span<const uint8_t>(), buffer), buffer);

  std::string filter = "(objectGUID=";
  platform::AppendHexEscaped(&filter, bytes);
  EXPECT_EQ(filter, "(objectGUID=\\29\\00\\ff\\5c\\41");
}

TEST(Utf8Checks, AcceptOnlyStrictUtf8AndPrintableText) {
  const struct {
    const char* name;
    std::string bytes;
    bool valid, printable;
  } cases[] = {
      {"empty", "", true, true},
      {"ASCII with tab and line breaks", "a\tb\r\n", true, true},
      {"two, three and four bytes", "Z\xC3\xBCrich \xE2\x82\xAC \xF0\x9F\x98\x80", true, true},
      {"U+10FFFF", "\xF4\x8F\xBF\xBF", true, true},
      {"NUL", std::string(1, '\0'), true, false},
      {"control character", "a\x01", true, false},
      {"DEL", "\x7F", true, false},
      {"overlong two bytes", "\xC0\x80", false, false},
      {"overlong three bytes", "\xE0\x80\x80", false, false},
      {"overlong four bytes", "\xF0\x8F\xBF\xBF", false, false},
      {"surrogate", "\xED\xA0\x80", false, false},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false, false},
      {"truncated", "\xE2\x82", false, false},
      {"continuation without lead", "\x80", false, false},
      {"lead followed by ASCII", "\xC3" "A", false, false},
      {"five-byte lead", "\xF8\x88\x80\x80\x80", false, false},
      {"objectGUID bytes", std::string("\x01\x01\0\0", 4), true, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::IsValidUtf8(c.bytes), c.valid) << c.name;
    EXPECT_EQ(platform::IsPrintableText(c.bytes), c.printable) << c.name;
  }
}

TEST(Utf8Conversion, CopiesAsciiAndDecodesFromU0080On) {
  EXPECT_TRUE(platform::IsAscii(std::string_view("\x7F")));
  EXPECT_FALSE(platform::IsAscii(std::string_view("a\x80")));
  EXPECT_TRUE(platform::IsAscii(std::wstring_view(L"\x7F")));
  EXPECT_FALSE(platform::IsAscii(std::wstring_view(L"a\x80")));
  EXPECT_FALSE(platform::IsAscii(std::wstring_view(L"\U0001F600")));
  EXPECT_EQ(platform::Utf8ToWide(std::string_view("a\0\x7F", 3)), std::wstring(L"a\0\x7F", 3));
  EXPECT_EQ(platform::Utf8ToWide("a\x80"), L"a\xFFFD");
  EXPECT_EQ(platform::WideToUtf8(std::wstring_view(L"a\0\x7F", 3)), std::string("a\0\x7F", 3));
  EXPECT_EQ(platform::WideToUtf8(L"a\x80"), "a\xC2\x80");
  // A code unit whose low byte is ASCII is not ASCII.
  EXPECT_EQ(platform::WideToUtf8(L"\x141"), "\xC5\x81");
}

TEST(Utf8Checks, FindTheFirstCodeUnitThatIsNoUnicodeCharacter) {
  constexpr size_t kNone = std::wstring_view::npos;
  const std::pair<std::wstring, size_t> cases[] = {
      {L"", kNone},
      {L"sip:zo\x00eb@example.test", kNone},
      {L"\U0001F600 \xFFFD \U0010FFFF \xD7FF \xE000", kNone},
      {L"ab\xD800", 2},
      {L"a\xDFFF" L"b", 1},
      {L"\xDC00\xD800", 0},  // the halves of a pair in the wrong order
      // Where wchar_t holds UTF-32 (Linux) a surrogate pair is no character
      // and a unit may lie beyond U+10FFFF; where it holds UTF-16 (Windows)
      // the pair is U+10FC00 and no unit can.
      {L"\xDBFF\xDC00", sizeof(wchar_t) == 4 ? 0 : kNone},
      {std::wstring(L"x") + static_cast<wchar_t>(sizeof(wchar_t) == 4 ? 0x110000 : 0xDFFF), 1},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(platform::FindInvalidCodeUnit(text), expected) << platform::WideToUtf8(text);
  }
}

}  // namespace
