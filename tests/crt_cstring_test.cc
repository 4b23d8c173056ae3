// The runtime string functions (_snwprintf's Windows wide format and
// truncation rules, ASCII-only case folding), UTF-8 conversion, and
// CStringW::Replace, which escapes filter values.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "platform/atl_cstring.h"
#include "platform/crt.h"
#include "tests/support/snwprintf_text.h"
#include "platform/utf8.h"

namespace {

using userpolicy::testing::SnwprintfText;

int Sign(int value) { return (value > 0) - (value < 0); }

// platform::AppendWindowsFormatV with the arguments given.
bool Append(std::wstring* out, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const bool ok = platform::AppendWindowsFormatV(out, format, args);
  va_end(args);
  return ok;
}

TEST(Snwprintf, FollowsTheWindowsWideFormatRules) {
  // The conversions the library's log lines and filters use.
  EXPECT_EQ(SnwprintfText(L"%s|%S|%hs|%ls|%ws", L"w", "n", "h", L"l", L"w2"), L"w|n|h|l|w2");
  EXPECT_EQ(SnwprintfText(L"%s|%S|%.2s", static_cast<const wchar_t*>(nullptr),
                   static_cast<const char*>(nullptr), static_cast<const wchar_t*>(nullptr)),
            L"(null)|(null)|(n");
  EXPECT_EQ(SnwprintfText(L"%I64d|%I64u|%I64X", LLONG_MIN, ULLONG_MAX, 0xABCDEF0123ull),
            L"-9223372036854775808|18446744073709551615|ABCDEF0123");
  // %ld is a 32-bit Windows long: only the low 32 bits of the argument count.
  EXPECT_EQ(SnwprintfText(L"%ld|%lu|%lx", 0x100000005L, 0xFFFFFFFFul, -1L), L"5|4294967295|ffffffff");
  EXPECT_EQ(SnwprintfText(L"[%5d|%-5d|%05d|%+d|% d]", 42, 42, -42, 3, 3), L"[   42|42   |-0042|+3| 3]");
  EXPECT_EQ(SnwprintfText(L"%x|%X|%#x|%#o|%#x|%u|%08X", 255, 255, 255, 8, 0, -1, 0xBEEFu),
            L"ff|FF|0xff|010|0|4294967295|0000BEEF");

  // Formats the module refuses, on every system: the text formatted before
  // them is kept (the runtime itself would print some of them literally,
  // and write through the argument for %n).
  for (const wchar_t* invalid :
       {L"%n", L"%q", L"trailing %", L"%1$d", L"%99999999d", L"%.99999999d"}) {
    std::wstring out = L"kept ";
    int ignored = 0;
    EXPECT_FALSE(Append(&out, invalid, &ignored, 1)) << invalid;
    EXPECT_EQ(out, std::wstring(L"kept ") + std::wstring(invalid).substr(0, std::wstring(invalid).find(L'%')))
        << invalid;
  }
}

TEST(Snwprintf, TruncatesAsWindowsDoes) {
  constexpr size_t kBuffer = 12;
  const struct {
    size_t count;
    int result;
    const wchar_t* content;  // expected buffer, '#' where untouched
  } kCases[] = {
      {kBuffer, 5, L"abcde\0######"},  // fits: terminated
      {5, 5, L"abcde#######"},         // exactly count: no terminator
      {3, -1, L"abc#########"},        // longer: count characters, -1
      {0, -1, L"############"},        // nothing written at all
  };
  for (const auto& c : kCases) {
    wchar_t buffer[kBuffer];
    wmemset(buffer, L'#', kBuffer);
    EXPECT_EQ(_snwprintf(buffer, c.count, L"%S%s", "ab", L"cde"), c.result) << c.count;
    EXPECT_EQ(std::wstring(buffer, kBuffer), std::wstring(c.content, kBuffer)) << c.count;
  }
  EXPECT_EQ(_snwprintf(nullptr, 0, L"%s-%d", L"abc", 12345), 9);  // the length needed

  const std::wstring long_text(1000, L'x');
  std::wstring buffer(1400, L'#');
  EXPECT_EQ(_snwprintf(buffer.data(), buffer.size(), L"%s|%300d", long_text.c_str(), 1), 1301);
  EXPECT_EQ(buffer.substr(0, 1000), long_text);
  EXPECT_EQ(buffer.substr(1299, 3), std::wstring(L" 1\0", 3));

  std::wstring out = L"prefix ";
  EXPECT_FALSE(Append(&out, L"%s=%d then %n", L"key", -7, nullptr));
  EXPECT_EQ(out, L"prefix key=-7 then ");  // the text before the bad conversion
}

TEST(CaseFunctions, FoldOnlyAsciiLetters) {
  wchar_t text[] = L"stra\u00DFe \u00C9t\u00E9 abc-XYZ";
  EXPECT_EQ(_wcsupr(text), text);
  EXPECT_STREQ(text, L"STRA\u00DFE \u00C9T\u00E9 ABC-XYZ");
  const struct {
    const wchar_t* a;
    const wchar_t* b;
    int sign;
  } kCases[] = {
      {L"SipUser", L"sIPuSER", 0}, {L"abc", L"abcd", -1},
      {L"\u00C9", L"\u00E9", -1},  // non-ASCII: compared by code unit
      {L"_", L"A", -1},            // folds to lower: '_' < 'a'
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - kCases));
    EXPECT_EQ(Sign(_wcsicmp(c.a, c.b)), c.sign);
    EXPECT_EQ(Sign(_wcsicmp(c.b, c.a)), -c.sign);
  }
  EXPECT_EQ(_wcsnicmp(L"ABCx", L"abcY", 3), 0);
  EXPECT_LT(_wcsnicmp(L"ABCx", L"abcY", 4), 0);
  EXPECT_EQ(_wcsicmp(nullptr, L"a"), _NLSCMPERROR);
}

TEST(AppendDecimal, WritesWhatToWstringWrites) {
  for (unsigned long long value : {0ULL, 7ULL, 10ULL, 65535ULL, 4294967295ULL, ULLONG_MAX}) {
    std::wstring text = L"S-";
    platform::AppendDecimal(&text, value);
    EXPECT_EQ(text, L"S-" + std::to_wstring(value));
  }
}

TEST(Utf8, RoundTripsAndReplacesInvalidInput) {
  const std::wstring wide = L"stra\u00DFe \u65E5\u672C \U0001F600 \U0010FFFF";  // 2, 3 and 4 bytes
  const std::string utf8 =
      "stra\xC3\x9F" "e \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF";
  EXPECT_EQ(platform::WideToUtf8(wide), utf8);
  EXPECT_EQ(platform::Utf8ToWide(utf8), wide);
  EXPECT_EQ(platform::Utf8ToWide(std::string_view("a\0b", 3)), std::wstring(L"a\0b", 3));

  const wchar_t kBad = L'\uFFFD';  // one per maximal invalid subsequence
  const struct {
    const char* name;
    std::string utf8;
    std::wstring wide;
  } kInvalid[] = {
      {"stray continuation", "a\x80z", {L'a', kBad, L'z'}},
      {"overlong slash", "\xC0\xAF", {kBad, kBad}},
      {"overlong three bytes", "\xE0\x80\xAF", {kBad, kBad, kBad}},
      {"encoded surrogate", "\xED\xA0\x80", {kBad, kBad, kBad}},
      {"above U+10FFFF", "\xF4\x90\x80\x80", {kBad, kBad, kBad, kBad}},
      {"truncated at the end", "ok\xE2\x82", {L'o', L'k', kBad}},
      {"truncated before ASCII", "\xE2\x82" "A", {kBad, L'A'}},
      {"invalid lead bytes", "\xFF\xFE", {kBad, kBad}},
  };
  for (const auto& c : kInvalid) EXPECT_EQ(platform::Utf8ToWide(c.utf8), c.wide) << c.name;

  const std::string replacement = "\xEF\xBF\xBD";
  // Lone surrogates, and where wchar_t holds UTF-32 units beyond U+10FFFF.
  const std::vector<uint32_t> bad_units =
      sizeof(wchar_t) == 4 ? std::vector<uint32_t>{0xD800, 0xDFFF, 0x110000, 0xFFFFFFFF}
                           : std::vector<uint32_t>{0xD800, 0xDFFF};
  for (const uint32_t bad : bad_units) {
    EXPECT_EQ(platform::WideToUtf8(std::wstring(1, static_cast<wchar_t>(bad)) + L"x"), replacement + "x") << bad;
  }
  // A UTF-16 surrogate pair (text that came from 16-bit code) is combined.
  const wchar_t pair[] = {wchar_t(0xD83D), wchar_t(0xDE00), 0};
  EXPECT_EQ(platform::WideToUtf8(pair), "\xF0\x9F\x98\x80");
}

TEST(CStringTest, ReplaceScansOnceLeftToRight) {
  const struct {
    const wchar_t* text;
    const wchar_t* old_text;
    const wchar_t* new_text;
    int count;
    const wchar_t* result;
  } kCases[] = {
      {L"aaa", L"aa", L"b", 1, L"ba"},       {L"aaa", L"aa", L"a", 1, L"aa"},  // no rescanning
      {L"abcabc", L"bc", nullptr, 2, L"aa"}, {L"abc", L"", L"x", 0, L"abc"},
      {L"abc", nullptr, L"x", 0, L"abc"},    {L"a\\b(", L"\\", L"\\5C", 1, L"a\\5Cb("},
  };
  for (const auto& c : kCases) {
    CStringW s(c.text);
    EXPECT_EQ(s.Replace(c.old_text, c.new_text), c.count) << c.text;
    EXPECT_EQ(s, c.result) << c.text;
  }
}

}  // namespace
