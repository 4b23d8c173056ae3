// CStringW: editing, comparison, substrings and Windows-rules formatting.
#include "platform/atl_cstring.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace {

std::wstring Formatted(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  CStringW s;
  s.FormatV(format, args);
  va_end(args);
  return s.GetString();
}

TEST(CStringReplaceTest, EscapingOrderMattersAndCountsAreReturned) {
  // Escaping a directory filter value: the escape character first...
  CStringW value(L"a\\b(c)*");
  EXPECT_EQ(value.Replace(L"\\", L"\\5C"), 1);
  EXPECT_EQ(value.Replace(L"(", L"\\28"), 1);
  EXPECT_EQ(value.Replace(L")", L"\\29"), 1);
  EXPECT_EQ(value.Replace(L"*", L"\\2A"), 1);
  EXPECT_EQ(value, L"a\\5Cb\\28c\\29\\2A");

  // ...because escaping it last re-escapes the escapes already inserted.
  CStringW wrong(L"a\\b(c");
  EXPECT_EQ(wrong.Replace(L"(", L"\\28"), 1);
  EXPECT_EQ(wrong.Replace(L"\\", L"\\5C"), 2);
  EXPECT_EQ(wrong, L"a\\5Cb\\5C28c");
}

TEST(CStringReplaceTest, NonOverlappingLeftToRightWithoutRescanning) {
  const struct {
    const wchar_t* text;
    const wchar_t* old_text;
    const wchar_t* new_text;
    int count;
    const wchar_t* result;
  } kCases[] = {
      {L"aaaa", L"aa", L"b", 2, L"bb"},
      {L"aaa", L"aa", L"b", 1, L"ba"},
      {L"aaa", L"aa", L"a", 1, L"aa"},  // the replacement is not scanned again
      {L"abcabc", L"bc", nullptr, 2, L"aa"},
      {L"abc", L"", L"x", 0, L"abc"},
      {L"abc", nullptr, L"x", 0, L"abc"},
      {L"abc", L"abcd", L"x", 0, L"abc"},
      {L"", L"a", L"x", 0, L""},
      {L"x.y.z", L".", L"::", 2, L"x::y::z"},
  };
  for (const auto& c : kCases) {
    CStringW s(c.text);
    EXPECT_EQ(s.Replace(c.old_text, c.new_text), c.count) << c.text;
    EXPECT_EQ(s, c.result) << c.text;
  }
}

TEST(CStringReplaceTest, CharacterReplacement) {
  CStringW s(L"a-b-c");
  EXPECT_EQ(s.Replace(L'-', L'+'), 2);
  EXPECT_EQ(s, L"a+b+c");
  EXPECT_EQ(s.Replace(L'+', L'+'), 0);
  EXPECT_EQ(s.Replace(L'x', L'y'), 0);
}

TEST(CStringCaseTest, FoldsAsciiOnly) {
  CStringW s(L"Ab\u00e9\u00c9z[");
  EXPECT_EQ(CStringW(s).MakeUpper(), L"AB\u00e9\u00c9Z[");
  EXPECT_EQ(CStringW(s).MakeLower(), L"ab\u00e9\u00c9z[");
  EXPECT_EQ(CStringW(L"ABC").CompareNoCase(L"abc"), 0);
  EXPECT_NE(CStringW(L"\u00e9").CompareNoCase(L"\u00c9"), 0);
  // Folding goes to lower case, as _wcsicmp does: '_' sorts before 'a' but
  // after 'A'.
  EXPECT_LT(CStringW(L"_").CompareNoCase(L"A"), 0);
  EXPECT_GT(CStringW(L"_").Compare(L"A"), 0);
  EXPECT_LT(CStringW(L"abc").Compare(L"abd"), 0);
  EXPECT_EQ(CStringW(L"").Compare(nullptr), 0);
}

TEST(CStringSubstringTest, ClampsPositionsAndCounts) {
  const CStringW s(L"abcdef");
  EXPECT_EQ(s.Left(2), L"ab");
  EXPECT_EQ(s.Left(-1), L"");
  EXPECT_EQ(s.Left(100), L"abcdef");
  EXPECT_EQ(s.Mid(2), L"cdef");
  EXPECT_EQ(s.Mid(2, 3), L"cde");
  EXPECT_EQ(s.Mid(-3, 2), L"ab");
  EXPECT_EQ(s.Mid(4, 100), L"ef");
  EXPECT_EQ(s.Mid(10), L"");
  EXPECT_EQ(s.Mid(INT_MAX, INT_MAX), L"");
  EXPECT_EQ(s.Mid(1, INT_MAX), L"bcdef");
  EXPECT_EQ(s.Right(2), L"ef");
  EXPECT_EQ(s.Right(-2), L"");
  EXPECT_EQ(s.Right(9), L"abcdef");
}

TEST(CStringFindTest, CharactersAndSubstrings) {
  const CStringW s(L"one.two.three");
  EXPECT_EQ(s.Find(L'.'), 3);
  EXPECT_EQ(s.Find(L'.', 4), 7);
  EXPECT_EQ(s.Find(L'x'), -1);
  EXPECT_EQ(s.Find(L'.', -1), -1);
  EXPECT_EQ(s.Find(L'.', 13), -1);
  EXPECT_EQ(s.Find(L"two"), 4);
  EXPECT_EQ(s.Find(L"t", 5), 8);
  EXPECT_EQ(s.Find(L""), 0);
  EXPECT_EQ(s.Find(L"", 13), 13);
  EXPECT_EQ(s.Find(L"", 14), -1);
  EXPECT_EQ(s.Find(static_cast<const wchar_t*>(nullptr)), -1);
}

TEST(CStringBasicsTest, ConstructionComparisonAndConcatenation) {
  const wchar_t with_zero[] = {L'a', L'\0', L'b'};
  const CStringW counted(with_zero, 3);
  EXPECT_EQ(counted.GetLength(), 3);
  EXPECT_TRUE(counted == L"a");  // comparisons stop at a zero, as in ATL
  EXPECT_THROW(CStringW(L"x", -1), std::invalid_argument);
  EXPECT_THROW(CStringW(static_cast<const wchar_t*>(nullptr), 2), std::invalid_argument);
  EXPECT_TRUE(CStringW(static_cast<const wchar_t*>(nullptr)).IsEmpty());
  EXPECT_EQ(CStringW(L'-', 3), L"---");

  CStringW s(L"ab");
  s += L'c';
  s += CStringW(L"d");
  s.Append(L"efg", 1);
  s.AppendChar(L'f');
  EXPECT_EQ(s, L"abcdef");
  EXPECT_EQ(L"<" + s + L'>', L"<abcdef>");
  EXPECT_TRUE(CStringW(L"a") < CStringW(L"b"));
  EXPECT_TRUE(L"abc" != CStringW(L"abd"));
  EXPECT_EQ(s.GetAt(5), L'f');
  EXPECT_THROW(s.GetAt(6), std::out_of_range);
  EXPECT_THROW(s.GetAt(-1), std::out_of_range);
  s.SetAt(0, L'A');
  EXPECT_EQ(s[0], L'A');
  s = s.GetString() + 3;  // assignment from our own text
  EXPECT_EQ(s, L"def");
  s.Empty();
  EXPECT_TRUE(s.IsEmpty());
  EXPECT_STREQ(s.GetString(), L"");
}

TEST(CStringFormatTest, StringsAndCharactersFollowTheWindowsWideRules) {
  EXPECT_EQ(Formatted(L"[%s]", L"wide"), L"[wide]");
  EXPECT_EQ(Formatted(L"[%S]", "narrow"), L"[narrow]");
  EXPECT_EQ(Formatted(L"[%hs|%ls|%ws]", "h", L"l", L"w"), L"[h|l|w]");
  EXPECT_EQ(Formatted(L"[%S]", "h\xc3\xa9"), L"[h\u00e9]");  // UTF-8
  EXPECT_EQ(Formatted(L"[%c%C%hc%lc]", L'\u20ac', 'n', 'h', L'l'), L"[\u20acnhl]");
  EXPECT_EQ(Formatted(L"[%s|%S]", static_cast<const wchar_t*>(nullptr),
                      static_cast<const char*>(nullptr)),
            L"[(null)|(null)]");
  EXPECT_EQ(Formatted(L"[%5s|%-5s|%.2s|%.*S]", L"ab", L"ab", L"abc", 1, "xyz"),
            L"[   ab|ab   |ab|x]");
  const char unterminated[] = {'o', 'k', '!'};  // precision bounds the read
  EXPECT_EQ(Formatted(L"[%.2hs]", unterminated), L"[ok]");
  EXPECT_EQ(Formatted(L"100%%"), L"100%");
}

TEST(CStringFormatTest, IntegersWithWindowsSizes) {
  EXPECT_EQ(Formatted(L"%d|%i|%u", -5, 7, 4000000000u), L"-5|7|4000000000");
  EXPECT_EQ(Formatted(L"[%5d|%-5d|%05d|%+d|% d]", 42, 42, -42, 42, 42),
            L"[   42|42   |-0042|+42| 42]");
  EXPECT_EQ(Formatted(L"%x|%X|%#x|%o|%#o|%#x", 255, 255, 255, 8, 8, 0), L"ff|FF|0xff|10|010|0");
  EXPECT_EQ(Formatted(L"%.3d|%.0d|%8.3d", 7, 0, -7), L"007||    -007");
  EXPECT_EQ(Formatted(L"%I64d|%I64u|%I64X", LLONG_MIN, ULLONG_MAX, 0xABCDEF0123ull),
            L"-9223372036854775808|18446744073709551615|ABCDEF0123");
  EXPECT_EQ(Formatted(L"%lld|%llu|%zu|%Iu", -1LL, 1ULL, size_t{12}, size_t{34}),
            L"-1|1|12|34");
  EXPECT_EQ(Formatted(L"%I32d|%hd|%hhu", -3, 70000, 300), L"-3|4464|44");
  // %ld is a 32-bit Windows long: only the low 32 bits of the argument count.
  EXPECT_EQ(Formatted(L"%ld|%lu|%lx", 0x100000005L, 0xFFFFFFFFul, -1L), L"5|4294967295|ffffffff");
  EXPECT_EQ(Formatted(L"[%*d|%-*d|%*d]", 4, 1, 3, 2, -3, 3), L"[   1|2  |3  ]");
}

TEST(CStringFormatTest, RealsAndPointers) {
  EXPECT_EQ(Formatted(L"%f|%.2f|%10.3f|%-8.1f|", 1.5, 2.346, 3.14159, -1.26),
            L"1.500000|2.35|     3.142|-1.3    |");
  EXPECT_EQ(Formatted(L"%+.1f|% .0f|%#.0f|%08.3f", 1.0, 2.0, 3.0, -1.5),
            L"+1.0| 2|3.|-001.500");
  EXPECT_EQ(Formatted(L"%e|%E|%.2e", 1.5, 12345.678, 0.000123),
            L"1.500000e+00|1.234568E+04|1.23e-04");
  EXPECT_EQ(Formatted(L"%g|%g|%G|%g", 0.0001, 0.00001, 1e20, 100.0),
            L"0.0001|1e-05|1E+20|100");
  EXPECT_EQ(Formatted(L"%a|%Lf", 1.0, 2.5L), L"0x1p+0|2.500000");
  EXPECT_EQ(Formatted(L"%f|%F|%05f", HUGE_VAL, -HUGE_VAL, HUGE_VAL), L"inf|-INF|  inf");
  EXPECT_EQ(Formatted(L"%p", reinterpret_cast<void*>(0x1234)), L"0000000000001234");
}

TEST(CStringFormatTest, FormatReplacesAndAppendFormatAppends) {
  CStringW s(L"old");
  s.Format(L"%s=%d", L"n", 1);
  EXPECT_EQ(s, L"n=1");
  s.AppendFormat(L", %S=%d", "m", 2);
  EXPECT_EQ(s, L"n=1, m=2");
  s.Format(L"[%s]", s.GetString());  // our own text as an argument
  EXPECT_EQ(s, L"[n=1, m=2]");
}

TEST(CStringFormatTest, InvalidFormatsThrowAndLeaveTheStringAlone) {
  CStringW s(L"kept");
  int count = 0;
  EXPECT_THROW(s.Format(L"%d%n", 1, &count), std::invalid_argument);
  EXPECT_THROW(s.Format(L"abc%"), std::invalid_argument);
  EXPECT_THROW(s.Format(L"%k"), std::invalid_argument);
  EXPECT_THROW(s.AppendFormat(L"%d %q", 1), std::invalid_argument);
  EXPECT_THROW(s.Format(nullptr), std::invalid_argument);
  EXPECT_EQ(s, L"kept");
  EXPECT_EQ(count, 0);
}

}  // namespace
