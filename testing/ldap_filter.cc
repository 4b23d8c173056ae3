#include "testing/ldap_filter.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/ascii.h"
#include "platform/directory/directory_error.h"
#include "platform/hex.h"
#include "platform/utf8.h"

namespace directory {

namespace {

using platform::HexValue;

constexpr char kSource[] = "ldap_filter";
// Deeper nesting than any real filter; bounds the parser's recursion.
constexpr int kMaxNestingDepth = 64;
constexpr std::wstring_view kRuleBitAnd = L"1.2.840.113556.1.4.803";
constexpr std::wstring_view kRuleBitOr = L"1.2.840.113556.1.4.804";
constexpr std::wstring_view kObjectCategory = L"objectCategory";
constexpr std::wstring_view kDistinguishedName = L"distinguishedName";
constexpr std::wstring_view kTrue = L"true";
constexpr std::wstring_view kFalse = L"false";

// A decimal integer with an optional sign, or nothing.
std::optional<int64_t> ParseInteger(std::wstring_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == L'-' || text.front() == L'+')) {
    negative = text.front() == L'-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  uint64_t magnitude = 0;
  constexpr uint64_t kLimit = static_cast<uint64_t>(INT64_MAX) + 1;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    magnitude = magnitude * 10 + static_cast<uint64_t>(c - L'0');
    if (magnitude > kLimit) return std::nullopt;
  }
  if (!negative && magnitude == kLimit) return std::nullopt;
  return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

template <typename View>
bool MatchSubstrings(View text, const std::optional<View>& initial, const std::vector<View>& any,
                     const std::optional<View>& final_part) {
  if (initial) {
    if (text.substr(0, initial->size()) != *initial) return false;
    text.remove_prefix(initial->size());
  }
  if (final_part) {
    if (text.size() < final_part->size() || text.substr(text.size() - final_part->size()) != *final_part) {
      return false;
    }
    text.remove_suffix(final_part->size());
  }
  for (const View& part : any) {
    const size_t found = text.find(part);
    if (found == View::npos) return false;
    text.remove_prefix(found + part.size());
  }
  return true;
}

// An assertion value: its unescaped bytes (for octet strings), its text (the
// bytes as UTF-8, case-folded) and, when it is one, its integer value.
struct AssertionValue {
  std::string bytes;
  std::wstring folded;
  std::optional<int64_t> number;

  void Finish() {
    folded = platform::AsciiLowercase(platform::Utf8ToWide(bytes));
    number = ParseInteger(folded);
  }
};

}  // namespace

struct LdapFilter::Node {
  enum class Type {
    kAnd,
    kOr,
    kNot,
    kEqual,
    kGreaterOrEqual,
    kLessOrEqual,
    kPresent,
    kSubstring,
    kBitAnd,
    kBitOr,
  };

  Type type = Type::kAnd;
  std::wstring attribute;  // without options (";binary")
  AssertionValue value;    // the comparisons
  std::optional<AssertionValue> initial;  // kSubstring
  std::vector<AssertionValue> any;
  std::optional<AssertionValue> final_part;
  std::vector<Node> children;  // kAnd, kOr, kNot
};

namespace {

using Node = LdapFilter::Node;

class Parser {
 public:
  explicit Parser(std::wstring_view text) : text_(text) {}

  // Parses the whole text into `root`; on failure `reason()` says why.
  bool Parse(Node* root) {
    if (!ParseFilter(root, 0)) return false;
    if (pos_ != text_.size()) return Fail(L"text after the filter");
    return true;
  }

  std::wstring_view reason() const { return reason_; }
  size_t position() const { return pos_; }

 private:
  bool Fail(std::wstring_view reason) {
    if (reason_.empty()) reason_ = reason;
    return false;
  }
  bool AtEnd() const { return pos_ >= text_.size(); }
  bool Next(wchar_t c) const { return !AtEnd() && text_[pos_] == c; }
  bool Consume(wchar_t c) {
    if (!Next(c)) return false;
    ++pos_;
    return true;
  }

  bool ParseFilter(Node* node, int depth) {
    if (depth > kMaxNestingDepth) return Fail(L"nested too deeply");
    if (!Consume(L'(')) return Fail(L"'(' expected");
    if (AtEnd()) return Fail(L"unexpected end");
    const wchar_t c = text_[pos_];
    if (c == L'&' || c == L'|') {
      ++pos_;
      node->type = c == L'&' ? Node::Type::kAnd : Node::Type::kOr;
      while (Next(L'(')) {
        node->children.emplace_back();
        if (!ParseFilter(&node->children.back(), depth + 1)) return false;
      }
    } else if (c == L'!') {
      ++pos_;
      node->type = Node::Type::kNot;
      node->children.emplace_back();
      if (!ParseFilter(&node->children.back(), depth + 1)) return false;
    } else if (!ParseItem(node)) {
      return false;
    }
    if (!Consume(L')')) return Fail(L"')' expected");
    return true;
  }

  static bool IsDescriptionChar(wchar_t c) {
    return platform::IsAsciiAlphanumeric(c) || c == L'-' || c == L'.' || c == L';';
  }

  bool ParseItem(Node* node) {
    const size_t start = pos_;
    while (!AtEnd() && IsDescriptionChar(text_[pos_])) ++pos_;
    const std::wstring_view description = text_.substr(start, pos_ - start);
    const std::wstring_view type = description.substr(0, description.find(L';'));
    if (type.empty()) return Fail(L"attribute name expected");
    node->attribute = std::wstring(type);
    if (AtEnd()) return Fail(L"unexpected end");

    switch (text_[pos_]) {
      case L':':
        return ParseExtensible(node);
      case L'~':
      case L'>':
      case L'<': {
        const wchar_t op = text_[pos_++];
        if (!Consume(L'=')) return Fail(L"'=' expected");
        node->type = op == L'>'   ? Node::Type::kGreaterOrEqual
                     : op == L'<' ? Node::Type::kLessOrEqual
                                  : Node::Type::kEqual;  // approximate: equality here
        return ParseValue(&node->value, /*allow_star=*/false);
      }
      case L'=':
        ++pos_;
        return ParseEqualityPresenceOrSubstring(node);
      default:
        return Fail(L"filter type expected");
    }
  }

  bool ParseEqualityPresenceOrSubstring(Node* node) {
    std::vector<AssertionValue> parts(1);
    while (!AtEnd() && text_[pos_] != L')') {
      if (text_[pos_] == L'*') {
        ++pos_;
        parts.emplace_back();
        continue;
      }
      if (!AppendValueChar(&parts.back().bytes)) return false;
    }
    for (AssertionValue& part : parts) part.Finish();
    if (parts.size() == 1) {
      node->type = Node::Type::kEqual;
      node->value = std::move(parts.front());
      return true;
    }
    if (parts.size() == 2 && parts[0].bytes.empty() && parts[1].bytes.empty()) {
      node->type = Node::Type::kPresent;
      return true;
    }
    node->type = Node::Type::kSubstring;
    if (!parts.front().bytes.empty()) node->initial = std::move(parts.front());
    if (!parts.back().bytes.empty()) node->final_part = std::move(parts.back());
    for (size_t i = 1; i + 1 < parts.size(); ++i) {
      if (parts[i].bytes.empty()) return Fail(L"empty substring between '*'");
      node->any.push_back(std::move(parts[i]));
    }
    return true;
  }

  bool ParseExtensible(Node* node) {
    ++pos_;  // ':'
    if (Consume(L'=')) {
      node->type = Node::Type::kEqual;
      return ParseValue(&node->value, /*allow_star=*/false);
    }
    const size_t start = pos_;
    while (!AtEnd() && text_[pos_] != L':' && text_[pos_] != L')') ++pos_;
    const std::wstring_view rule = text_.substr(start, pos_ - start);
    if (!Consume(L':') || !Consume(L'=')) return Fail(L"':=' expected");
    if (rule == kRuleBitAnd) {
      node->type = Node::Type::kBitAnd;
    } else if (rule == kRuleBitOr) {
      node->type = Node::Type::kBitOr;
    } else {
      return Fail(L"unsupported matching rule");
    }
    if (!ParseValue(&node->value, /*allow_star=*/false)) return false;
    if (!node->value.number) return Fail(L"a bit mask must be an integer");
    return true;
  }

  bool ParseValue(AssertionValue* value, bool allow_star) {
    while (!AtEnd() && text_[pos_] != L')') {
      if (text_[pos_] == L'*' && !allow_star) return Fail(L"unescaped '*' in a value");
      if (!AppendValueChar(&value->bytes)) return false;
    }
    value->Finish();
    return true;
  }

  // Appends the next value character (an escape \xx is one byte; any other
  // character its UTF-8 form) and advances.
  bool AppendValueChar(std::string* bytes) {
    const wchar_t c = text_[pos_];
    if (c == L'(' || c == L'\0') return Fail(L"unescaped '(' or NUL in a value");
    if (c == L'\\') {
      if (pos_ + 2 >= text_.size()) return Fail(L"incomplete escape");
      const int high = HexValue(text_[pos_ + 1]);
      const int low = HexValue(text_[pos_ + 2]);
      if (high < 0 || low < 0) return Fail(L"escape is not \\ and two hex digits");
      bytes->push_back(static_cast<char>(high * 16 + low));
      pos_ += 3;
      return true;
    }
    *bytes += platform::WideToUtf8(std::wstring_view(&text_[pos_], 1));
    ++pos_;
    return true;
  }

  std::wstring_view text_;
  size_t pos_ = 0;
  std::wstring reason_;
};

// The values of `attribute` in `object`, or null.
const std::vector<_variant_t>* FindValues(const DirectoryObject& object, std::wstring_view attribute) {
  for (const DirectoryAttribute& candidate : object.attributes) {
    std::wstring_view name = candidate.name;
    name = name.substr(0, name.find(L';'));
    if (platform::EqualsIgnoringAsciiCase(name, attribute)) return &candidate.values;
  }
  return nullptr;
}

std::optional<int64_t> IntegerOf(const VARIANT& value) {
  switch (value.vt) {
    case VT_I1: return value.cVal;
    case VT_I2: return value.iVal;
    case VT_I4: return value.lVal;
    case VT_I8: return value.llVal;
    case VT_INT: return value.intVal;
    case VT_UI1: return value.bVal;
    case VT_UI2: return value.uiVal;
    case VT_UI4: return value.ulVal;
    case VT_UINT: return value.uintVal;
    case VT_UI8:
      if (value.ullVal > static_cast<ULONGLONG>(INT64_MAX)) return std::nullopt;
      return static_cast<int64_t>(value.ullVal);
    default: return std::nullopt;
  }
}

// The value of the first RDN of a DN ("Person" of "CN=Person,CN=Schema,...").
std::wstring_view FirstRdnValue(std::wstring_view dn) {
  const size_t equals = dn.find(L'=');
  if (equals == std::wstring_view::npos) return {};
  dn.remove_prefix(equals + 1);
  for (size_t i = 0; i < dn.size(); ++i) {
    if (dn[i] == L'\\') {
      ++i;
    } else if (dn[i] == L',' || dn[i] == L'+') {
      return dn.substr(0, i);
    }
  }
  return dn;
}

bool MatchOrdered(Node::Type type, int comparison) {
  switch (type) {
    case Node::Type::kEqual: return comparison == 0;
    case Node::Type::kGreaterOrEqual: return comparison >= 0;
    case Node::Type::kLessOrEqual: return comparison <= 0;
    default: return false;
  }
}

template <typename T>
int Compare(const T& a, const T& b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

bool MatchText(const Node& node, std::wstring_view text) {
  const std::wstring folded = platform::AsciiLowercase(text);
  if (node.type == Node::Type::kSubstring) {
    std::optional<std::wstring_view> initial;
    std::optional<std::wstring_view> final_part;
    std::vector<std::wstring_view> any;
    if (node.initial) initial = node.initial->folded;
    if (node.final_part) final_part = node.final_part->folded;
    for (const AssertionValue& part : node.any) any.emplace_back(part.folded);
    return MatchSubstrings(std::wstring_view(folded), initial, any, final_part);
  }
  if (node.type == Node::Type::kBitAnd || node.type == Node::Type::kBitOr) {
    const std::optional<int64_t> number = ParseInteger(folded);
    if (!number) return false;
    const int64_t mask = *node.value.number;
    return node.type == Node::Type::kBitAnd ? (*number & mask) == mask : (*number & mask) != 0;
  }
  if (node.type == Node::Type::kEqual && platform::EqualsIgnoringAsciiCase(node.attribute, kObjectCategory) &&
      node.value.folded.find(L'=') == std::wstring::npos && folded.find(L'=') != std::wstring::npos) {
    return platform::AsciiLowercase(FirstRdnValue(folded)) == node.value.folded;
  }
  return MatchOrdered(node.type, Compare(folded, node.value.folded));
}

bool MatchBytes(const Node& node, std::string_view bytes) {
  if (node.type == Node::Type::kSubstring) {
    std::optional<std::string_view> initial;
    std::optional<std::string_view> final_part;
    std::vector<std::string_view> any;
    if (node.initial) initial = node.initial->bytes;
    if (node.final_part) final_part = node.final_part->bytes;
    for (const AssertionValue& part : node.any) any.emplace_back(part.bytes);
    return MatchSubstrings(bytes, initial, any, final_part);
  }
  return MatchOrdered(node.type, Compare(bytes, std::string_view(node.value.bytes)));
}

bool MatchValue(const Node& node, const _variant_t& value) {
  if (value.vt == VT_BSTR) {
    return MatchText(node, std::wstring_view(value.bstrVal == nullptr ? L"" : value.bstrVal,
                                             SysStringLen(value.bstrVal)));
  }
  if (value.vt == (VT_ARRAY | VT_UI1)) {
    SAFEARRAY* array = value.parray;
    if (array == nullptr || SafeArrayGetDim(array) != 1) return false;
    LONG lower = 0;
    LONG upper = -1;
    if (FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper))) {
      return false;
    }
    const size_t count = upper >= lower ? static_cast<size_t>(upper - lower + 1) : 0;
    return MatchBytes(node, std::string_view(static_cast<const char*>(array->pvData), count));
  }
  if (const std::optional<int64_t> number = IntegerOf(value)) {
    if (node.type == Node::Type::kBitAnd) return (*number & *node.value.number) == *node.value.number;
    if (node.type == Node::Type::kBitOr) return (*number & *node.value.number) != 0;
    if (node.type == Node::Type::kSubstring) return MatchText(node, std::to_wstring(*number));
    if (!node.value.number) return false;
    return MatchOrdered(node.type, Compare(*number, *node.value.number));
  }
  if (value.vt == VT_BOOL) {
    if (node.type != Node::Type::kEqual) return false;
    return node.value.folded == (value.boolVal != VARIANT_FALSE ? kTrue : kFalse);
  }
  _variant_t text;
  // The source is only read; some SDKs (mingw-w64's) declare it non-const.
  if (FAILED(VariantChangeType(&text, const_cast<_variant_t*>(&value), 0, VT_BSTR))) return false;
  return MatchValue(node, text);
}

bool Evaluate(const Node& node, const DirectoryObject& object) {
  switch (node.type) {
    case Node::Type::kAnd:
      for (const Node& child : node.children) {
        if (!Evaluate(child, object)) return false;
      }
      return true;
    case Node::Type::kOr:
      for (const Node& child : node.children) {
        if (Evaluate(child, object)) return true;
      }
      return false;
    case Node::Type::kNot:
      return !Evaluate(node.children.front(), object);
    default:
      break;
  }
  const std::vector<_variant_t>* values = FindValues(object, node.attribute);
  std::vector<_variant_t> dn_value;
  if (values == nullptr && platform::EqualsIgnoringAsciiCase(node.attribute, kDistinguishedName)) {
    dn_value.emplace_back(object.distinguished_name.c_str());
    values = &dn_value;
  }
  if (values == nullptr) return false;
  if (node.type == Node::Type::kPresent) return !values->empty();
  for (const _variant_t& value : *values) {
    if (MatchValue(node, value)) return true;
  }
  return false;
}

}  // namespace

LdapFilter::LdapFilter(std::shared_ptr<const Node> root) : root_(std::move(root)) {}

LdapFilter LdapFilter::Parse(std::wstring_view text) {
  auto root = std::make_shared<Node>();
  Parser parser(text);
  if (!parser.Parse(root.get())) {
    DirectoryErrorContext context;
    context.operation = L"parse filter";
    context.target = std::wstring(text);
    DIRECTORY_THROW(kDirectoryInvalidArgument,
                    L"malformed search filter at position " + std::to_wstring(parser.position()) + L": " +
                        std::wstring(parser.reason()),
                    context);
  }
  return LdapFilter(std::move(root));
}

bool LdapFilter::Matches(const DirectoryObject& object) const { return Evaluate(*root_, object); }

}  // namespace directory
