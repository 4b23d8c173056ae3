// Typing LDAP values (platform/directory/ldap_value_typing.h): schema
// descriptions parsed into attribute types, and a raw value turned into a
// variant of each kind.
//
// The input is lines: every line but the last is one attributeTypes value of
// the schema, the last line is a raw value. Properties:
//  - parsing never crashes and keeps at most one type per description;
//  - a schema read in two parts (Extended) types every word as the whole
//    one does;
//  - a type is found by any of its words in any ASCII letter case, and
//    every spelling gives the same type;
//  - ToVariant types the raw value as the header says for each kind: an
//    integer only for decimal text within long long (VT_I4 when an INTEGER
//    fits 32 bits, else VT_I8), a Boolean only for TRUE or FALSE, bytes
//    exactly as sent, text decoded as UTF-8 with every character kept, and
//    an unknown attribute as text exactly when the value is printable.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_text.h"
#include "platform/ascii.h"
#include "platform/com.h"
#include "platform/directory/ldap_value_typing.h"
#include "platform/utf8.h"

namespace {

using directory::ldap_backend_internal::KindOfSyntax;
using directory::ldap_backend_internal::ParseInteger;
using directory::ldap_backend_internal::Schema;
using directory::ldap_backend_internal::ToVariant;
using directory::ldap_backend_internal::ValueKind;

constexpr size_t kMaxWordsChecked = 64;

std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t newline; (newline = text.find('\n', start)) != std::string_view::npos; start = newline + 1) {
    lines.emplace_back(text.substr(start, newline - start));
  }
  lines.emplace_back(text.substr(start));
  return lines;
}

// The words of the descriptions: what a NAME, an OID or a SUP may be.
std::vector<std::string> Words(const std::vector<std::string>& descriptions) {
  std::vector<std::string> words;
  for (const std::string& description : descriptions) {
    size_t i = 0;
    while (i < description.size() && words.size() < kMaxWordsChecked) {
      const auto separator = [](char c) { return c == ' ' || c == '(' || c == ')' || c == '\'' || c == '$'; };
      if (separator(description[i])) {
        ++i;
        continue;
      }
      const size_t start = i;
      while (i < description.size() && !separator(description[i])) ++i;
      words.push_back(description.substr(start, i - start));
    }
  }
  return words;
}

std::string Shown(std::string_view raw) { return fuzz::Printable(platform::Utf8ToWide(raw)); }

bool IsDecimal(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// `decimal` (IsDecimal) without leading zeros, and "0" for any zero.
std::string CanonicalDecimal(std::string_view decimal) {
  const bool negative = decimal.front() == '-';
  if (negative) decimal.remove_prefix(1);
  while (decimal.size() > 1 && decimal.front() == '0') decimal.remove_prefix(1);
  if (decimal == "0") return "0";
  return (negative ? "-" : "") + std::string(decimal);
}

void CheckSchema(const std::vector<std::string>& descriptions) {
  const std::shared_ptr<const Schema> schema = Schema::Parse(descriptions);
  FUZZ_CHECK(schema != nullptr) << "no schema";
  FUZZ_CHECK(schema->size() <= descriptions.size()) << schema->size() << " types of " << descriptions.size();
  for (const std::string& word : Words(descriptions)) {
    const Schema::Type* type = schema->Find(word);
    FUZZ_CHECK(schema->Find(platform::AsciiLowercase(word)) == type) << Shown(word) << " depends on case";
    std::string upper = word;
    for (char& c : upper) c = platform::AsciiToUpper(c);
    FUZZ_CHECK(schema->Find(upper) == type) << Shown(word) << " depends on case";
  }
  // Read in two parts, as definitions are read on demand, the schema types
  // every word as the whole one does, and covers what it read.
  const size_t half = descriptions.size() / 2;
  const std::vector<std::string> first(descriptions.begin(), descriptions.begin() + static_cast<ptrdiff_t>(half));
  const std::vector<std::string> second(descriptions.begin() + static_cast<ptrdiff_t>(half), descriptions.end());
  const std::shared_ptr<const Schema> parts = Schema::Empty()->Extended(first, {})->Extended(second, {});
  FUZZ_CHECK(parts->size() == schema->size()) << parts->size() << " types in parts, " << schema->size() << " whole";
  for (const std::string& word : Words(descriptions)) {
    const Schema::Type* whole = schema->Find(word);
    const Schema::Type* part = parts->Find(word);
    FUZZ_CHECK((whole == nullptr) == (part == nullptr)) << Shown(word) << " found in one schema only";
    if (whole != nullptr) {
      FUZZ_CHECK(whole->kind == part->kind) << Shown(word) << " typed differently in parts";
      FUZZ_CHECK(parts->Covers(word)) << Shown(word) << " read but not covered";
    }
  }
}

std::wstring BstrText(const _variant_t& value) {
  FUZZ_CHECK(value.vt == VT_BSTR && value.bstrVal != nullptr) << "type " << value.vt;
  return std::wstring(value.bstrVal, SysStringLen(value.bstrVal));
}

void CheckText(const _variant_t& value, const std::string& raw) {
  FUZZ_CHECK(BstrText(value) == platform::Utf8ToWide(raw)) << Shown(raw) << " became " << fuzz::Printable(BstrText(value));
}

void CheckBytes(const _variant_t& value, const std::string& raw) {
  FUZZ_CHECK(value.vt == (VT_ARRAY | VT_UI1) && value.parray != nullptr) << "type " << value.vt;
  LONG lower = 1;
  LONG upper = -2;
  SafeArrayGetLBound(value.parray, 1, &lower);
  SafeArrayGetUBound(value.parray, 1, &upper);
  FUZZ_CHECK(lower == 0 && static_cast<size_t>(upper - lower + 1) == raw.size())
      << "bounds " << lower << ".." << upper << " for " << raw.size() << " bytes";
  FUZZ_CHECK(raw.empty() || std::memcmp(value.parray->pvData, raw.data(), raw.size()) == 0) << Shown(raw);
}

void CheckInteger(const _variant_t& value, const std::string& raw, ValueKind kind) {
  const std::optional<long long> number = ParseInteger(raw);
  FUZZ_CHECK(!number || IsDecimal(raw)) << Shown(raw) << " read as " << *number;
  // Within the range of long long every decimal text is a number.
  if (IsDecimal(raw) && raw.size() <= 18) FUZZ_CHECK(number.has_value()) << Shown(raw) << " not read";
  if (!number) return CheckText(value, raw);
  FUZZ_CHECK(std::to_string(*number) == CanonicalDecimal(raw)) << Shown(raw) << " read as " << *number;
  const bool fits = *number >= std::numeric_limits<int32_t>::min() && *number <= std::numeric_limits<int32_t>::max();
  if (kind == ValueKind::kInteger && fits) {
    FUZZ_CHECK(value.vt == VT_I4 && value.lVal == *number) << Shown(raw) << " type " << value.vt;
  } else {
    FUZZ_CHECK(value.vt == VT_I8 && value.llVal == *number) << Shown(raw) << " type " << value.vt;
  }
}

void CheckValue(const std::string& raw) {
  for (ValueKind kind : {ValueKind::kUnknown, ValueKind::kText, ValueKind::kInteger, ValueKind::kLargeInteger,
                         ValueKind::kBoolean, ValueKind::kBytes}) {
    const _variant_t value = ToVariant(raw, kind);
    switch (kind) {
      case ValueKind::kInteger:
      case ValueKind::kLargeInteger:
        CheckInteger(value, raw, kind);
        break;
      case ValueKind::kBoolean:
        if (raw == "TRUE" || raw == "FALSE") {
          FUZZ_CHECK(value.vt == VT_BOOL && value.boolVal == (raw == "TRUE" ? VARIANT_TRUE : VARIANT_FALSE)) << raw;
        } else {
          CheckText(value, raw);
        }
        break;
      case ValueKind::kBytes:
        CheckBytes(value, raw);
        break;
      case ValueKind::kText:
        CheckText(value, raw);
        break;
      case ValueKind::kUnknown:
        if (platform::IsPrintableText(raw)) {
          CheckText(value, raw);
        } else {
          CheckBytes(value, raw);
        }
        break;
    }
  }
  // Any text names a syntax; only the empty one is unknown.
  FUZZ_CHECK((KindOfSyntax(raw) == ValueKind::kUnknown) == raw.empty()) << Shown(raw);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> lines = Lines(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::string raw = std::move(lines.back());
  lines.pop_back();
  CheckSchema(lines);
  CheckValue(raw);
  return 0;
}
