#include "platform/directory/ldap_value_typing.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/utf8.h"

namespace directory::ldap_backend_internal {
namespace {

constexpr std::string_view kBooleanTrue = "TRUE";
constexpr std::string_view kBooleanFalse = "FALSE";

// Resolving a SUP chain stops after this many steps (a loop in the schema).
constexpr int kMaxSuperiorDepth = 32;

// Attribute syntaxes that decide a value's type.
constexpr std::string_view kSyntaxInteger = "1.3.6.1.4.1.1466.115.121.1.27";
constexpr std::string_view kSyntaxBoolean = "1.3.6.1.4.1.1466.115.121.1.7";
constexpr std::string_view kSyntaxLargeInteger = "1.2.840.113556.1.4.906";
constexpr std::string_view kBinarySyntaxes[] = {
    "1.3.6.1.4.1.1466.115.121.1.40",  // octet string
    "1.3.6.1.4.1.1466.115.121.1.5",   // binary
    "1.3.6.1.4.1.1466.115.121.1.4",   // audio
    "1.3.6.1.4.1.1466.115.121.1.8",   // certificate
    "1.3.6.1.4.1.1466.115.121.1.9",   // certificate list
    "1.3.6.1.4.1.1466.115.121.1.10",  // certificate pair
    "1.3.6.1.4.1.1466.115.121.1.28",  // JPEG
    "1.2.840.113556.1.4.907",         // Active Directory security descriptor
    "2.5.5.10",                       // Active Directory octet string
    "2.5.5.15",                       // Active Directory security descriptor
    "2.5.5.17",                       // Active Directory SID
};

// One token of an attribute type description: a parenthesis, a '$', a
// quoted string (without its quotes) or a bare word.
struct SchemaToken {
  std::string text;
  bool quoted = false;
  bool Is(char c) const { return !quoted && text.size() == 1 && text[0] == c; }
};

std::vector<SchemaToken> TokenizeDescription(std::string_view text) {
  std::vector<SchemaToken> tokens;
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      ++i;
    } else if (c == '(' || c == ')' || c == '$') {
      tokens.push_back({std::string(1, c), false});
      ++i;
    } else if (c == '\'') {
      const size_t close = text.find('\'', i + 1);
      const size_t end = close == std::string_view::npos ? text.size() : close;
      tokens.push_back({std::string(text.substr(i + 1, end - i - 1)), true});
      i = end + 1;
    } else {
      size_t end = i;
      while (end < text.size() && text[end] != ' ' && text[end] != '(' && text[end] != ')' && text[end] != '\'' &&
             text[end] != '$' && text[end] != '\t' && text[end] != '\n' && text[end] != '\r') {
        ++end;
      }
      tokens.push_back({std::string(text.substr(i, end - i)), false});
      i = end;
    }
  }
  return tokens;
}

// Whether the description keyword `keyword` is followed by an argument.
bool TakesArgument(std::string_view keyword) {
  static constexpr std::string_view kWithArgument[] = {"NAME",     "DESC",   "SUP",    "EQUALITY",
                                                       "ORDERING", "SUBSTR", "SYNTAX", "USAGE"};
  if (platform::StartsWithIgnoringAsciiCase(keyword, "X-")) return true;
  for (std::string_view known : kWithArgument) {
    if (platform::EqualsIgnoringAsciiCase(keyword, known)) return true;
  }
  return false;
}

// What one description says that the typing needs.
struct ParsedType {
  std::string oid;
  std::vector<std::string> names;
  std::string superior;
  std::string syntax;
};

std::optional<ParsedType> ParseDescription(std::string_view description) {
  const std::vector<SchemaToken> tokens = TokenizeDescription(description);
  if (tokens.size() < 3 || !tokens.front().Is('(') || !tokens.back().Is(')')) return std::nullopt;
  ParsedType type;
  type.oid = tokens[1].text;
  size_t i = 2;
  const size_t last = tokens.size() - 1;
  while (i < last) {
    const std::string& keyword = tokens[i++].text;
    if (!TakesArgument(keyword)) continue;
    std::vector<std::string> arguments;
    if (i < last && tokens[i].Is('(')) {
      for (++i; i < last && !tokens[i].Is(')'); ++i) {
        if (!tokens[i].Is('$')) arguments.push_back(tokens[i].text);
      }
      ++i;
    } else if (i < last) {
      arguments.push_back(tokens[i++].text);
    }
    if (arguments.empty()) continue;
    if (platform::EqualsIgnoringAsciiCase(keyword, "NAME")) {
      type.names = std::move(arguments);
    } else if (platform::EqualsIgnoringAsciiCase(keyword, "SUP")) {
      type.superior = arguments.front();
    } else if (platform::EqualsIgnoringAsciiCase(keyword, "SYNTAX")) {
      // "1.3.6.1.4.1.1466.115.121.1.15{32768}": the length is irrelevant.
      type.syntax = arguments.front().substr(0, arguments.front().find('{'));
    }
  }
  return type;
}

}  // namespace

ValueKind KindOfSyntax(std::string_view syntax) {
  if (syntax.empty()) return ValueKind::kUnknown;
  if (syntax == kSyntaxInteger) return ValueKind::kInteger;
  if (syntax == kSyntaxLargeInteger) return ValueKind::kLargeInteger;
  if (syntax == kSyntaxBoolean) return ValueKind::kBoolean;
  for (std::string_view binary : kBinarySyntaxes) {
    if (syntax == binary) return ValueKind::kBytes;
  }
  return ValueKind::kText;
}

std::shared_ptr<const Schema> Schema::Parse(const std::vector<std::string>& descriptions) {
  auto schema = std::make_shared<Schema>();
  schema->descriptions_ = descriptions;
  schema->complete_ = true;
  schema->Build();
  return schema;
}

std::shared_ptr<const Schema> Schema::Empty() { return std::make_shared<Schema>(); }

std::shared_ptr<const Schema> Schema::Extended(const std::vector<std::string>& descriptions,
                                               const std::vector<std::string>& undefined) const {
  auto schema = std::make_shared<Schema>();
  schema->descriptions_ = descriptions_;
  schema->descriptions_.insert(schema->descriptions_.end(), descriptions.begin(), descriptions.end());
  schema->undefined_ = undefined_;
  schema->undefined_.insert(schema->undefined_.end(), undefined.begin(), undefined.end());
  schema->complete_ = complete_;
  schema->Build();
  return schema;
}

void Schema::Build() {
  std::vector<ParsedType> parsed;
  parsed.reserve(descriptions_.size());
  for (const std::string& description : descriptions_) {
    std::optional<ParsedType> type = ParseDescription(description);
    if (!type) continue;
    index_.emplace(type->oid, parsed.size());
    for (const std::string& name : type->names) index_.emplace(name, parsed.size());
    parsed.push_back(std::move(*type));
  }
  // A name read as undefined and defined by a later description is defined.
  for (const std::string& name : undefined_) index_.emplace(name, kUndefined);
  types_.reserve(parsed.size());
  for (size_t i = 0; i < parsed.size(); ++i) {
    // The syntax is the type's own or, failing that, its nearest superior's.
    size_t current = i;
    for (int depth = 0; parsed[current].syntax.empty() && depth < kMaxSuperiorDepth; ++depth) {
      const std::string& superior_name = parsed[current].superior;
      if (superior_name.empty()) break;
      const auto superior = index_.find(std::string_view(superior_name));
      if (superior == index_.end() || superior->second == kUndefined) {
        if (superior == index_.end() && !complete_ &&
            std::find(missing_superiors_.begin(), missing_superiors_.end(), superior_name) ==
                missing_superiors_.end()) {
          missing_superiors_.push_back(superior_name);
        }
        break;
      }
      current = superior->second;
    }
    types_.push_back(Type{KindOfSyntax(parsed[current].syntax)});
  }
}

std::optional<long long> ParseInteger(std::string_view text) {
  long long number = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, number);
  if (error != std::errc() || stop != end || text.empty()) return std::nullopt;
  return number;
}

_variant_t TextVariant(std::string_view utf8) {
  BSTR bstr = nullptr;
  if (platform::IsAscii(utf8)) {
    bstr = SysAllocStringLen(nullptr, static_cast<UINT>(utf8.size()));
    if (bstr != nullptr) {
      for (size_t i = 0; i < utf8.size(); ++i) bstr[i] = static_cast<OLECHAR>(utf8[i]);
    }
  } else {
    const std::wstring text = platform::Utf8ToWide(utf8);
    bstr = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  }
  if (bstr == nullptr) _com_issue_error(E_OUTOFMEMORY);
  _variant_t value;
  value.vt = VT_BSTR;
  value.bstrVal = bstr;
  return value;
}

_variant_t BytesVariant(std::string_view bytes) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  if (array == nullptr) _com_issue_error(E_OUTOFMEMORY);
  if (!bytes.empty()) std::memcpy(array->pvData, bytes.data(), bytes.size());
  _variant_t value;
  value.vt = VT_ARRAY | VT_UI1;
  value.parray = array;
  return value;
}

_variant_t ToVariant(const std::string& raw, ValueKind kind) {
  switch (kind) {
    case ValueKind::kInteger:
    case ValueKind::kLargeInteger:
      if (const std::optional<long long> number = ParseInteger(raw)) {
        _variant_t value;
        if (kind == ValueKind::kInteger && *number >= std::numeric_limits<int32_t>::min() &&
            *number <= std::numeric_limits<int32_t>::max()) {
          value.vt = VT_I4;
          value.lVal = static_cast<LONG>(*number);
        } else {
          value.vt = VT_I8;
          value.llVal = *number;
        }
        return value;
      }
      return TextVariant(raw);
    case ValueKind::kBoolean:
      if (raw == kBooleanTrue || raw == kBooleanFalse) {
        _variant_t value;
        value.vt = VT_BOOL;
        value.boolVal = raw == kBooleanTrue ? VARIANT_TRUE : VARIANT_FALSE;
        return value;
      }
      return TextVariant(raw);
    case ValueKind::kBytes:
      return BytesVariant(raw);
    case ValueKind::kText:
      return TextVariant(raw);
    case ValueKind::kUnknown:
      break;
  }
  return platform::IsPrintableText(raw) ? TextVariant(raw) : BytesVariant(raw);
}

}  // namespace directory::ldap_backend_internal
