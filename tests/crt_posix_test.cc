// The POSIX layer's own _snwprintf: narrow strings are UTF-8, and the
// formats the module refuses fail in _snwprintf itself. (On Windows the C
// runtime reads narrow strings in the ANSI code page and prints some of those
// formats; platform::AppendWindowsFormatV refuses them on both systems, see
// crt_cstring_test.)
#include <gtest/gtest.h>

#include <iterator>
#include <string>

#include "platform/crt.h"
#include "tests/support/snwprintf_text.h"

namespace {

using userpolicy::testing::SnwprintfText;

TEST(Snwprintf, ReadsNarrowTextAsUtf8AndRefusesWhatTheModuleRefuses) {
  // Narrow text is UTF-8; invalid bytes become U+FFFD; precision counts characters.
  EXPECT_EQ(SnwprintfText(L"%S|%S%C|%.2S", "stra\xC3\x9F" "e \xF0\x9F\x98\x80", "a\xFF" "b", 0xE9,
                   "\xC3\xA9\xC3\xA9\xC3\xA9"),
            L"stra\u00DFe \U0001F600|a\uFFFDb\uFFFD|\u00E9\u00E9");
  const char unterminated[] = {'o', 'k', '!'};  // precision bounds the read
  EXPECT_EQ(SnwprintfText(L"[%.2hs]", unterminated), L"[ok]");

  for (const wchar_t* invalid :
       {L"%n", L"%q", L"trailing %", L"%1$d", L"%99999999d", L"%.99999999d"}) {
    wchar_t buffer[16] = L"untouched";
    int ignored = 0;
    EXPECT_EQ(_snwprintf(buffer, std::size(buffer), invalid, &ignored), -1) << invalid;
    EXPECT_EQ(buffer[0], L'\0') << invalid;
  }
}

}  // namespace
