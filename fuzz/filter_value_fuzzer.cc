// The texts a manager builds from a lookup key (manager/lookup_key.h): the
// normalised key, the escaped filter value and the search filter the
// module's templates make of it, and the bind paths with escaped slashes.
//
// The input is the key, as UTF-8 with raw code units (fuzz/fuzz_text.h).
// Properties:
//  - a normalised key is the first 519 characters of the key (up to its
//    first zero), with a-z made A-Z and nothing else changed; both forms of
//    NormaliseKey agree;
//  - an escaped value holds no "*", "(", ")", "/" and no "\" that does not
//    start a \hh escape of one of "\()*/", and unescaping it gives the key
//    back;
//  - the filter of a normalised key fits kFilterBufferLength, is the
//    template with the value in place of %s, and its parentheses balance;
//  - EscapeSlashes leaves no "/" and changes nothing else; the bind path
//    made of a normalised key either parses back to that key as its DN (or
//    GUID) or is refused as a malformed path, never anything else.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_logging.h"
#include "fuzz/fuzz_text.h"
#include "manager/lookup_key.h"
#include "module/directory_queries.h"
#include "platform/ascii.h"
#include "platform/crt.h"
#include "platform/directory/directory_error.h"
#include "platform/directory/directory_path.h"
#include "platform/hex.h"

namespace {

using fuzz::Printable;

constexpr wchar_t kGlobalCatalogPath[] = L"GC://gc.example.test:3268";
constexpr std::wstring_view kEscapedCharacters = L"\\()*/";

void CheckNormalisedKey(const std::wstring& key, const std::wstring& normalised) {
  const size_t expected_length = std::min(std::wcslen(key.c_str()), kKeyBufferLength - 1);
  FUZZ_CHECK(normalised.size() == expected_length) << normalised.size() << " characters of " << Printable(key);
  for (size_t i = 0; i < normalised.size(); ++i) {
    FUZZ_CHECK(normalised[i] == platform::AsciiToUpper(key[i]))
        << "character " << i << " of " << Printable(key) << " became " << Printable(normalised);
  }
  wchar_t buffer[kKeyBufferLength];
  const std::wstring_view in_buffer = NormaliseKey(key.c_str(), buffer);
  FUZZ_CHECK(in_buffer == normalised) << Printable(in_buffer) << " vs " << Printable(normalised);
  FUZZ_CHECK(in_buffer.data() == buffer && buffer[in_buffer.size()] == L'\0') << "not terminated in the buffer";
}

// Unescapes `escaped`, checking that every escape is one EscapeFilterValue
// makes and that no metacharacter is left bare.
std::wstring UnescapeFilterValue(std::wstring_view escaped) {
  std::wstring value;
  for (size_t i = 0; i < escaped.size(); ++i) {
    const wchar_t c = escaped[i];
    FUZZ_CHECK(c != L'\0' && c != L'(' && c != L')' && c != L'*' && c != L'/')
        << "bare metacharacter at " << i << " of " << Printable(escaped);
    if (c != L'\\') {
      value += c;
      continue;
    }
    FUZZ_CHECK(i + 2 < escaped.size() && platform::HexValue(escaped[i + 1]) >= 0 &&
               platform::HexValue(escaped[i + 2]) >= 0)
        << "backslash at " << i << " starts no \\hh escape in " << Printable(escaped);
    const auto unescaped = static_cast<wchar_t>(platform::HexValue(escaped[i + 1]) * 16 + platform::HexValue(escaped[i + 2]));
    FUZZ_CHECK(kEscapedCharacters.find(unescaped) != std::wstring_view::npos)
        << "escape of a character that needs none at " << i << " of " << Printable(escaped);
    value += unescaped;
    i += 2;
  }
  return value;
}

std::wstring ReplacePercentS(std::wstring_view filter_template, std::wstring_view value) {
  std::wstring expected(filter_template);
  const size_t at = expected.find(L"%s");
  expected.replace(at, 2, value);
  return expected;
}

void CheckFilter(const wchar_t* filter_template, const std::wstring& value) {
  // Exactly the manager's buffer, on the heap so that a write past it is
  // reported.
  auto filter = std::make_unique<wchar_t[]>(kFilterBufferLength);
  const int length = _snwprintf(filter.get(), kFilterBufferLength, filter_template, value.c_str());
  filter[kFilterBufferLength - 1] = L'\0';
  FUZZ_CHECK(length >= 0 && static_cast<size_t>(length) < kFilterBufferLength)
      << "the filter of a normalised key does not fit: " << length;
  const std::wstring expected = ReplacePercentS(filter_template, value);
  FUZZ_CHECK(filter.get() == expected) << Printable(filter.get()) << " vs " << Printable(expected);
  int depth = 0;
  for (size_t i = 0; filter[i] != L'\0'; ++i) {
    if (filter[i] == L'(') ++depth;
    if (filter[i] == L')') --depth;
    FUZZ_CHECK(depth >= 0) << "')' without '(' at " << i << " of " << Printable(filter.get());
  }
  FUZZ_CHECK(depth == 0) << "unbalanced " << Printable(filter.get());
}

// Builds the bind path as the manager does (a buffer of kKeyBufferLength,
// the last element zeroed) and parses it. Returns false when the path did
// not fit or was refused.
bool ParseBindPath(const wchar_t* format, const std::wstring& object, directory::DirectoryPath* parsed) {
  auto path = std::make_unique<wchar_t[]>(kKeyBufferLength);
  const int length = _snwprintf(path.get(), kKeyBufferLength, format, kGlobalCatalogPath, object.c_str());
  path[kKeyBufferLength - 1] = L'\0';
  if (length < 0 || static_cast<size_t>(length) >= kKeyBufferLength) return false;
  try {
    *parsed = directory::DirectoryPath::Parse(path.get());
    FUZZ_CHECK(parsed->host == L"gc.example.test" && parsed->port == 3268) << Printable(path.get());
    return true;
  } catch (const CDirectoryException& e) {
    FUZZ_CHECK(e.GetErrorCode() == kDirectoryInvalidPath) << "code " << e.GetErrorCode();
    return false;
  }
}

void CheckBindPaths(const std::wstring& normalised) {
  OS::x_wstring escaped;
  EscapeSlashes(normalised.c_str(), normalised.size(), escaped);
  std::wstring expected;
  for (wchar_t c : normalised) expected += c == L'/' ? std::wstring(L"\\2f") : std::wstring(1, c);
  const std::wstring& object = escaped.str();
  FUZZ_CHECK(object == expected) << Printable(object) << " vs " << Printable(expected);

  directory::DirectoryPath parsed;
  if (ParseBindPath(L"%s/%s", object, &parsed)) {
    FUZZ_CHECK(parsed.kind == directory::DirectoryPath::Kind::kDistinguishedName && parsed.dn == object)
        << "bind path of " << Printable(object) << " names " << Printable(parsed.ToString());
  }
  if (ParseBindPath(L"%s/<GUID=%s>", normalised, &parsed)) {
    FUZZ_CHECK(parsed.kind == directory::DirectoryPath::Kind::kGuid) << Printable(normalised);
    std::wstring hex;
    for (uint8_t byte : parsed.guid) platform::AppendLowerHexByte(&hex, byte);
    FUZZ_CHECK(platform::EqualsIgnoringAsciiCase(hex, normalised)) << Printable(normalised) << " gave " << Printable(hex);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::LogToDevNull();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring key = fuzz::WideText(std::string_view(reinterpret_cast<const char*>(data), size));

  const std::wstring normalised = NormaliseKey(key.c_str());
  CheckNormalisedKey(key, normalised);

  const CStringW escaped = EscapeFilterValue(normalised.c_str());
  const std::wstring_view escaped_text(escaped.GetString(), static_cast<size_t>(escaped.GetLength()));
  FUZZ_CHECK(UnescapeFilterValue(escaped_text) == normalised) << Printable(escaped_text);

  CheckFilter(kUserFilter, escaped.GetString());
  CheckFilter(kGroupBySidFilter, escaped.GetString());
  CheckBindPaths(normalised);
  return 0;
}
