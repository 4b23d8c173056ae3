// The runtime string functions behave as the Windows CRT does in the "C"
// locale, and text converts to and from UTF-8 without throwing.
#include "platform/crt.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <iterator>
#include <string>

#include "platform/types.h"

namespace {

constexpr size_t kLargeBuffer = 256;

struct FormatCase {
  const char* name;
  std::function<int(wchar_t*, size_t)> format;
  const wchar_t* expected;
};

TEST(Snwprintf, FollowsTheWindowsWideFormatRules) {
  const char* narrow_null = nullptr;
  const wchar_t* wide_null = nullptr;
  const FormatCase kCases[] = {
      {"wide %s", [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"<%s>", L"wide"); }, L"<wide>"},
      {"narrow %S", [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"%S", "narrow"); }, L"narrow"},
      {"%hs %ls %ws",
       [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"%hs %ls %ws", "n", L"l", L"w"); },
       L"n l w"},
      {"chars", [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"%c%C%hc%lc", L'W', 'n', 'h', L'l'); },
       L"Wnhl"},
      {"null %s",
       [&](wchar_t* b, size_t n) { return _snwprintf(b, n, L"%s|%S|%.2s", wide_null, narrow_null, wide_null); },
       L"(null)|(null)|(n"},
      {"%I64d min",
       [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"%I64d", INT64_MIN); },
       L"-9223372036854775808"},
      {"%I64u %I64x %I64X",
       [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"%I64u %I64x %I64X", UINT64_MAX, uint64_t{0xABCDEF0123}, uint64_t{255}); },
       L"18446744073709551615 abcdef0123 FF"},
      {"%I32d and %lld",
       [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"%I32d %lld", -5, -(int64_t{1} << 40)); },
       L"-5 -1099511627776"},
      // LONG is 32 bits on Windows: %ld must not read 64 bits.
      {"%ld %lu %lx take 32 bits",
       [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"%ld %lu %lx %d", LONG{-1}, ULONG{0xFFFFFFFF}, ULONG{0x10}, 7); },
       L"-1 4294967295 10 7"},
      {"%Iu %zu pointer sized",
       [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"%Iu %zu %Id", SIZE_MAX, size_t{3}, INT64_C(-2)); },
       L"18446744073709551615 3 -2"},
      {"%hd %hhu truncate", [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"%hd %hhu", 70000, 257); }, L"4464 1"},
      {"width and flags",
       [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"[%5d|%-5d|%05d|%+d|% d]", 42, 42, -42, 3, 3); },
       L"[   42|42   |-0042|+3| 3]"},
      {"star width and precision",
       [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"[%*d|%-*s|%.*s]", 4, 7, 3, L"a", 2, L"xyz"); },
       L"[   7|a  |xy]"},
      {"negative star width is left-justified",
       [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"[%*d]", -3, 1); }, L"[1  ]"},
      {"hex and octal", [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"%x %X %#x %o", 255, 255, 255, 8); },
       L"ff FF 0xff 10"},
      {"%u of a negative int", [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"%u", -1); }, L"4294967295"},
      {"%p is 16 upper-case digits",
       [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"%p", reinterpret_cast<void*>(0xbeef)); },
       L"000000000000BEEF"},
      {"percent", [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"100%%"); }, L"100%"},
      {"floating", [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"%.2f %e %g", 3.14159, 1.5, 0.25); },
       L"3.14 1.500000e+00 0.25"},
      {"narrow UTF-8 text",
       [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"%S", "stra\xC3\x9F" "e \xF0\x9F\x98\x80"); },
       L"stra\u00DFe \U0001F600"},
      {"narrow invalid bytes",
       [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"%S%C", "a\xFF" "b", 0xE9); },
       L"a\uFFFDb\uFFFD"},
      {"narrow precision counts characters",
       [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"%.2S", "\xC3\xA9\xC3\xA9\xC3\xA9"); },
       L"\u00E9\u00E9"},
      {"zero-padded string", [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"%05s", L"ab"); }, L"000ab"},
      {"wide non-BMP character",
       [](wchar_t* b, size_t n) { return _snwprintf(b, n, L"%s%c", L"\u65E5", static_cast<wchar_t>(0x1F600)); },
       L"\u65E5\U0001F600"},
  };
  for (const FormatCase& c : kCases) {
    SCOPED_TRACE(c.name);
    wchar_t buffer[kLargeBuffer];
    const int length = c.format(buffer, kLargeBuffer);
    EXPECT_EQ(length, static_cast<int>(wcslen(c.expected)));
    EXPECT_EQ(std::wstring(buffer), c.expected);
  }
}

TEST(Snwprintf, InvalidFormatsFail) {
  const wchar_t* kInvalid[] = {L"%n", L"%q", L"trailing %", L"%1$d", L"%99999999d", L"%.99999999d"};
  for (size_t i = 0; i < std::size(kInvalid); ++i) {
    const wchar_t* format = kInvalid[i];
    SCOPED_TRACE(testing::Message() << "format #" << i);
    wchar_t buffer[kLargeBuffer] = L"untouched";
    int ignored = 0;
    EXPECT_EQ(_snwprintf(buffer, kLargeBuffer, format, &ignored), -1);
    EXPECT_EQ(buffer[0], L'\0');
  }
}

TEST(Snwprintf, TruncatesAsWindowsDoes) {
  constexpr wchar_t kFill = L'#';
  constexpr size_t kBuffer = 12;
  struct Case {
    size_t count;
    int result;
    const wchar_t* content;  // expected buffer, kFill where untouched
  } const kCases[] = {
      {kBuffer, 5, L"abcde\0######"},  // fits: terminated
      {6, 5, L"abcde\0######"},        // fits with exactly one spare
      {5, 5, L"abcde#######"},         // exactly count: no terminator
      {3, -1, L"abc#########"},        // longer: count characters, -1
      {0, -1, L"############"},        // nothing written at all
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << "count " << c.count);
    wchar_t buffer[kBuffer];
    wmemset(buffer, kFill, kBuffer);
    EXPECT_EQ(_snwprintf(buffer, c.count, L"%S%s", "ab", L"cde"), c.result);
    EXPECT_EQ(std::wstring(buffer, kBuffer), std::wstring(c.content, kBuffer));
  }
  // A null buffer with count 0 asks for the length.
  EXPECT_EQ(_snwprintf(nullptr, 0, L"%s-%d", L"abc", 12345), 9);
  EXPECT_EQ(_snwprintf(nullptr, 0, L""), 0);
}

TEST(Snwprintf, LongOutputIsComplete) {
  const std::wstring long_text(1000, L'x');
  std::wstring buffer(1400, L'#');
  EXPECT_EQ(_snwprintf(buffer.data(), buffer.size(), L"%s|%300d", long_text.c_str(), 1), 1301);
  EXPECT_EQ(buffer.substr(0, 1000), long_text);
  EXPECT_EQ(buffer.substr(1000, 2), L"| ");
  EXPECT_EQ(buffer.substr(1299, 3), std::wstring(L" 1\0", 3));
}

TEST(FormatWindows, AppendsAndReportsInvalidFormats) {
  auto append = [](std::wstring* out, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const bool ok = platform::AppendWindowsFormatV(out, format, args);
    va_end(args);
    return ok;
  };
  std::wstring out = L"prefix ";
  EXPECT_TRUE(append(&out, L"%s=%I64d", L"key", int64_t{-7}));
  EXPECT_EQ(out, L"prefix key=-7");
  EXPECT_FALSE(append(&out, L" ok %d then %n", 1, nullptr));
  EXPECT_EQ(out, L"prefix key=-7 ok 1 then ");
}

TEST(CaseFunctions, UpperAndLowerCaseOnlyAscii) {
  wchar_t text[] = L"stra\u00DFe \u00E9t\u00E9 abc-XYZ";
  EXPECT_EQ(_wcsupr(text), text);
  EXPECT_STREQ(text, L"STRA\u00DFE \u00E9T\u00E9 ABC-XYZ");
  EXPECT_EQ(_wcslwr(text), text);
  EXPECT_STREQ(text, L"stra\u00DFe \u00E9t\u00E9 abc-xyz");
  wchar_t capital_e_acute[] = L"\u00C9COLE";
  EXPECT_STREQ(_wcslwr(capital_e_acute), L"\u00C9cole");
}

int Sign(int value) { return (value > 0) - (value < 0); }

TEST(CaseFunctions, CompareFoldingAsciiToLowerCase) {
  struct Case {
    const wchar_t* a;
    const wchar_t* b;
    int sign;
  } const kCases[] = {
      {L"SipUser", L"sIPuSER", 0},
      {L"abc", L"abcd", -1},
      {L"\u00C9", L"\u00E9", -1},           // non-ASCII: compared by code unit
      {L"stra\u00DFe", L"STRASSE", 1},      // no special casing of U+00DF
      {L"_", L"A", -1},                     // folds to lower: '_' < 'a'
      {L"[", L"a", -1},
      {L"", L"", 0},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - kCases));
    EXPECT_EQ(Sign(_wcsicmp(c.a, c.b)), c.sign);
    EXPECT_EQ(Sign(_wcsicmp(c.b, c.a)), -c.sign);
    const std::string a = platform::WideToUtf8(c.a);
    const std::string b = platform::WideToUtf8(c.b);
    if (a.size() == wcslen(c.a) && b.size() == wcslen(c.b)) {  // ASCII: same for narrow
      EXPECT_EQ(Sign(_stricmp(a.c_str(), b.c_str())), c.sign);
    }
  }
  EXPECT_EQ(_wcsnicmp(L"ABCx", L"abcY", 3), 0);
  EXPECT_LT(_wcsnicmp(L"ABCx", L"abcY", 4), 0);
  EXPECT_EQ(_wcsnicmp(L"ab", L"AB", 10), 0);
  EXPECT_EQ(_wcsnicmp(L"x", L"y", 0), 0);
  EXPECT_EQ(_strnicmp("Hello world", "hELLO there", 6), 0);
  EXPECT_EQ(_wcsicmp(nullptr, L"a"), _NLSCMPERROR);
  EXPECT_EQ(_stricmp("a", nullptr), _NLSCMPERROR);
}

TEST(Utf8, RoundTripsValidText) {
  struct Case {
    const wchar_t* wide;
    const char* utf8;
  } const kCases[] = {
      {L"", ""},
      {L"plain ascii", "plain ascii"},
      {L"stra\u00DFe", "stra\xC3\x9F" "e"},
      {L"\u65E5\u672C", "\xE6\x97\xA5\xE6\x9C\xAC"},
      {L"\U0001F600 \U0010FFFF", "\xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF"},
      {L"\uFFFD", "\xEF\xBF\xBD"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.utf8);
    EXPECT_EQ(platform::WideToUtf8(c.wide), c.utf8);
    EXPECT_EQ(platform::Utf8ToWide(c.utf8), c.wide);
  }
  // Embedded zeros are text too.
  EXPECT_EQ(platform::Utf8ToWide(std::string_view("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(Utf8, InvalidInputBecomesReplacementCharacters) {
  const wchar_t kBad = L'\uFFFD';
  struct Case {
    const char* name;
    std::string utf8;
    std::wstring wide;
  } const kCases[] = {
      {"stray continuation", "a\x80z", {L'a', kBad, L'z'}},
      {"overlong slash", "\xC0\xAF", {kBad, kBad}},
      {"overlong three bytes", "\xE0\x80\xAF", {kBad, kBad, kBad}},
      {"encoded surrogate", "\xED\xA0\x80", {kBad, kBad, kBad}},
      {"above U+10FFFF", "\xF4\x90\x80\x80", {kBad, kBad, kBad, kBad}},
      {"truncated at the end", "ok\xE2\x82", {L'o', L'k', kBad}},
      {"truncated before ASCII", "\xE2\x82" "A", {kBad, L'A'}},
      {"invalid lead bytes", "\xFF\xFE", {kBad, kBad}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(platform::Utf8ToWide(c.utf8), c.wide);
  }

  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(platform::WideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), replacement);
  EXPECT_EQ(platform::WideToUtf8(std::wstring(1, static_cast<wchar_t>(0xDFFF)) + L"x"),
            replacement + "x");
  EXPECT_EQ(platform::WideToUtf8(std::wstring(1, static_cast<wchar_t>(0x110000))), replacement);
  EXPECT_EQ(platform::WideToUtf8(std::wstring(1, static_cast<wchar_t>(-1))), replacement);
  // A UTF-16 surrogate pair (text that came from 16-bit code) is combined.
  const wchar_t pair[] = {static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00), 0};
  EXPECT_EQ(platform::WideToUtf8(pair), "\xF0\x9F\x98\x80");
}

}  // namespace
