#include "platform/directory/directory_path.h"


#include <array>
#include <cstdint>
#include <string>

#include "platform/ascii.h"
#include "platform/crt.h"
#include "platform/directory/directory_error.h"
#include "platform/hex.h"

namespace directory {
namespace {

constexpr char kSource[] = "directory_path";
constexpr std::wstring_view kSchemeSeparator = L"://";
constexpr std::wstring_view kGlobalCatalogScheme = L"GC";
constexpr std::wstring_view kLdapScheme = L"LDAP";
constexpr std::wstring_view kGuidPrefix = L"<GUID=";
constexpr wchar_t kGuidSuffix = L'>';
constexpr size_t kGuidHexDigits = 32;
constexpr int kMaxPort = 65535;
constexpr size_t kMaxPortDigits = 5;
constexpr size_t kMaxHostLength = 253;  // a DNS name
// Characters RFC 4514 lets a backslash escape besides a hex pair.
constexpr std::wstring_view kDnEscapable = L"\\\"+,;<>#= ";

[[noreturn]] void Reject(std::wstring_view text, std::wstring_view reason) {
  DirectoryErrorContext context;
  context.operation = L"parse path";
  context.target = std::wstring(text);
  DIRECTORY_THROW(kDirectoryInvalidPath, L"invalid directory path: " + std::wstring(reason), context);
}

// A DNS name or IPv4 address: labels of letters, digits, '-' and '_'
// separated by single dots.
bool IsHostName(std::wstring_view host) {
  if (host.empty() || host.size() > kMaxHostLength) return false;
  bool label_empty = true;
  for (wchar_t c : host) {
    if (c == L'.') {
      if (label_empty) return false;
      label_empty = true;
    } else if (platform::IsAsciiAlphanumeric(c) || c == L'-' || c == L'_') {
      label_empty = false;
    } else {
      return false;
    }
  }
  return !label_empty;
}

// A dotted-decimal IPv4 address: four numbers of one to three digits, each
// at most 255.
bool IsIpv4Address(std::wstring_view text) {
  constexpr int kParts = 4;
  constexpr size_t kMaxDigits = 3;
  constexpr int kMaxPart = 255;
  for (int part = 0; part < kParts; ++part) {
    const size_t dot = text.find(L'.');
    if ((dot == std::wstring_view::npos) != (part == kParts - 1)) return false;
    const std::wstring_view digits = text.substr(0, dot);
    if (digits.empty() || digits.size() > kMaxDigits) return false;
    int value = 0;
    for (wchar_t c : digits) {
      if (c < L'0' || c > L'9') return false;
      value = value * 10 + (c - L'0');
    }
    if (value > kMaxPart) return false;
    if (dot != std::wstring_view::npos) text.remove_prefix(dot + 1);
  }
  return true;
}

// An IPv6 address as written between brackets (RFC 4291 section 2.2): eight
// groups of one to four hex digits joined by ':', one "::" standing for one
// or more groups of zeros, and optionally an IPv4 address in place of the
// last two groups.
bool IsIpv6Address(std::wstring_view text) {
  constexpr int kGroups = 8;
  constexpr size_t kMaxGroupDigits = 4;
  int groups = 0;
  bool compressed = false;
  size_t pos = 0;
  if (text.substr(0, 2) == L"::") {
    compressed = true;
    pos = 2;
  } else if (text.empty() || text.front() == L':') {
    return false;
  }
  while (pos < text.size()) {
    const size_t colon = text.find(L':', pos);
    const std::wstring_view group = text.substr(pos, colon == std::wstring_view::npos ? colon : colon - pos);
    if (group.find(L'.') != std::wstring_view::npos) {
      // An IPv4 address ends the text and counts for two groups.
      if (colon != std::wstring_view::npos || !IsIpv4Address(group)) return false;
      groups += 2;
      break;
    }
    if (group.empty() || group.size() > kMaxGroupDigits) return false;
    for (wchar_t c : group) {
      if (platform::HexValue(c) < 0) return false;
    }
    ++groups;
    if (colon == std::wstring_view::npos) break;
    pos = colon + 1;
    if (pos < text.size() && text[pos] == L':') {
      if (compressed) return false;  // a second "::"
      compressed = true;
      ++pos;
    } else if (pos == text.size()) {
      return false;  // a single ':' at the end
    }
  }
  return compressed ? groups < kGroups : groups == kGroups;
}

// Parses "host[:port]" or "[v6]:port" into `path`; false when malformed.
bool ParseAuthority(std::wstring_view authority, DirectoryPath* path) {
  std::wstring_view port_text;
  bool has_port = false;
  if (!authority.empty() && authority.front() == L'[') {
    const size_t close = authority.find(L']');
    if (close == std::wstring_view::npos) return false;
    const std::wstring_view host = authority.substr(1, close - 1);
    if (!IsIpv6Address(host)) return false;
    path->host = std::wstring(host);
    const std::wstring_view rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != L':') return false;
      has_port = true;
      port_text = rest.substr(1);
    }
  } else {
    const size_t colon = authority.find(L':');
    const std::wstring_view host = authority.substr(0, colon);
    if (!IsHostName(host)) return false;
    path->host = std::wstring(host);
    if (colon != std::wstring_view::npos) {
      has_port = true;
      port_text = authority.substr(colon + 1);
    }
  }
  if (!has_port) return true;
  if (port_text.empty() || port_text.size() > kMaxPortDigits) return false;
  int port = 0;
  for (wchar_t c : port_text) {
    if (c < L'0' || c > L'9') return false;
    port = port * 10 + (c - L'0');
  }
  if (port < 1 || port > kMaxPort) return false;
  path->port = port;
  return true;
}

// "<GUID=32 hex digits>" into the 16 bytes in the order written.
bool ParseGuid(std::wstring_view text, std::array<uint8_t, 16>* guid) {
  if (text.size() != kGuidPrefix.size() + kGuidHexDigits + 1) return false;
  if (!platform::EqualsIgnoringAsciiCase(text.substr(0, kGuidPrefix.size()), kGuidPrefix)) return false;
  if (text.back() != kGuidSuffix) return false;
  const std::wstring_view hex = text.substr(kGuidPrefix.size(), kGuidHexDigits);
  for (size_t i = 0; i < guid->size(); ++i) {
    const int high = platform::HexValue(hex[2 * i]);
    const int low = platform::HexValue(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    (*guid)[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

// An attribute type of a DN: a keyword (letter, then letters, digits, '-')
// or a dotted object identifier.
bool IsAttributeType(std::wstring_view type) {
  while (!type.empty() && type.front() == L' ') type.remove_prefix(1);
  while (!type.empty() && type.back() == L' ') type.remove_suffix(1);
  if (type.empty()) return false;
  const bool numeric = type.front() >= L'0' && type.front() <= L'9';
  for (wchar_t c : type) {
    const bool ok = numeric ? ((c >= L'0' && c <= L'9') || c == L'.') : (platform::IsAsciiAlphanumeric(c) || c == L'-');
    if (!ok) return false;
  }
  return true;
}

// Checks the RFC 4514 shape of a DN as written: attribute=value pairs joined
// by ',' (or '+' inside one RDN), escapes a backslash followed by a hex pair
// or a special character, and no unescaped '/' (it ends the path's object
// part, so a DN writes it as \2f).
// The characters IsDistinguishedName looks at; every other one is part of
// an attribute type or value as it stands.
constexpr std::array<bool, 128> kDnSpecial = [] {
  std::array<bool, 128> special{};
  for (char c : {'\\', '/', '\0', '=', ',', '+'}) special[static_cast<unsigned char>(c)] = true;
  return special;
}();

bool IsDistinguishedName(std::wstring_view dn) {
  if (dn.empty()) return false;
  size_t component_start = 0;
  bool seen_equals = false;
  for (size_t i = 0; i < dn.size(); ++i) {
    const wchar_t c = dn[i];
    const auto unit = static_cast<uint32_t>(c);
    if (unit >= kDnSpecial.size() || !kDnSpecial[unit]) continue;
    if (c == L'\\') {
      if (i + 1 >= dn.size()) return false;
      if (platform::HexValue(dn[i + 1]) >= 0) {
        if (i + 2 >= dn.size() || platform::HexValue(dn[i + 2]) < 0) return false;
        i += 2;
      } else if (kDnEscapable.find(dn[i + 1]) != std::wstring_view::npos) {
        i += 1;
      } else {
        return false;
      }
      if (!seen_equals) return false;  // no escapes in an attribute type
    } else if (c == L'/' || c == L'\0') {
      return false;
    } else if (c == L'=' && !seen_equals) {
      if (!IsAttributeType(dn.substr(component_start, i - component_start))) return false;
      seen_equals = true;
    } else if (c == L',' || c == L'+') {
      if (!seen_equals) return false;
      component_start = i + 1;
      seen_equals = false;
    }
  }
  return seen_equals;
}

bool ContainsColon(const std::wstring& text) { return text.find(L':') != std::wstring::npos; }

}  // namespace

std::optional<DirectoryPath> DirectoryPath::TryParse(std::wstring_view text, std::wstring_view* reason) {
  const auto reject = [reason](std::wstring_view why) -> std::optional<DirectoryPath> {
    if (reason != nullptr) *reason = why;
    return std::nullopt;
  };
  if (text.empty()) return reject(L"empty");
  const size_t separator = text.find(kSchemeSeparator);
  DirectoryPath path;
  std::wstring_view rest;
  if (separator == std::wstring_view::npos) {
    // A bare object ("CN=...,DC=..." or "<GUID=...>") is bound through the
    // configured Global Catalog servers, like "GC://" followed by it.
    if (text.find(L'=') == std::wstring_view::npos) return reject(L"no GC:// or LDAP:// scheme");
    path.scheme = Scheme::kGlobalCatalog;
    rest = text;
  } else {
    const std::wstring_view scheme = text.substr(0, separator);
    if (platform::EqualsIgnoringAsciiCase(scheme, kGlobalCatalogScheme)) {
      path.scheme = Scheme::kGlobalCatalog;
    } else if (platform::EqualsIgnoringAsciiCase(scheme, kLdapScheme)) {
      path.scheme = Scheme::kLdap;
    } else {
      return reject(L"unknown scheme");
    }
    rest = text.substr(separator + kSchemeSeparator.size());
  }

  std::wstring_view object;
  if (!rest.empty()) {
    const size_t slash = rest.find(L'/');
    const std::wstring_view first = rest.substr(0, slash);
    if (first.find(L'=') != std::wstring_view::npos || (!first.empty() && first.front() == L'<')) {
      object = rest;  // no host: the whole rest names the object
    } else {
      if (!ParseAuthority(first, &path)) return reject(L"malformed host or port");
      if (slash != std::wstring_view::npos) {
        object = rest.substr(slash + 1);
        if (object.empty()) return reject(L"empty object after '/'");
      }
    }
  }

  if (object.empty()) {
    path.kind = Kind::kRoot;
  } else if (object.front() == L'<') {
    if (!ParseGuid(object, &path.guid)) return reject(L"malformed <GUID=32 hex digits>");
    path.kind = Kind::kGuid;
  } else {
    if (!IsDistinguishedName(object)) return reject(L"malformed distinguished name");
    path.kind = Kind::kDistinguishedName;
    path.dn = std::wstring(object);
  }
  return path;
}

DirectoryPath DirectoryPath::Parse(std::wstring_view text) {
  std::wstring_view reason;
  std::optional<DirectoryPath> path = TryParse(text, &reason);
  if (!path) Reject(text, reason);
  return *std::move(path);
}

std::optional<DirectoryPath> DirectoryPath::ParseServer(std::wstring_view text) {
  DirectoryPath path;
  if (!ParseAuthority(text, &path)) return std::nullopt;
  return path;
}

int DirectoryPath::EffectivePort() const {
  if (port != 0) return port;
  return scheme == Scheme::kGlobalCatalog ? kGlobalCatalogPort : kLdapPort;
}

namespace {

// Appends `host` to *text, an IPv6 address between brackets.
void AppendHost(const std::wstring& host, std::wstring* text) {
  if (ContainsColon(host)) {
    *text += L'[';
    *text += host;
    *text += L']';
  } else {
    *text += host;
  }
}

}  // namespace

std::wstring DirectoryPath::Server() const {
  if (host.empty()) return std::wstring();
  std::wstring server;
  server.reserve(host.size() + kMaxPortDigits + 3);
  AppendHost(host, &server);
  server += L':';
  platform::AppendDecimal(&server, static_cast<unsigned>(EffectivePort()));
  return server;
}

std::wstring DirectoryPath::ToString() const {
  // Sized once: room for the scheme, the host with brackets and port, the
  // separators and the object.
  constexpr size_t kGuidTextLength = kGuidPrefix.size() + kGuidHexDigits + 1;
  std::wstring text;
  text.reserve(kLdapScheme.size() + kSchemeSeparator.size() + host.size() + kMaxPortDigits + 4 +
               (kind == Kind::kGuid ? kGuidTextLength : dn.size()));
  text += scheme == Scheme::kGlobalCatalog ? kGlobalCatalogScheme : kLdapScheme;
  text += kSchemeSeparator;
  if (!host.empty()) {
    AppendHost(host, &text);
    if (port != 0) {
      text += L':';
      platform::AppendDecimal(&text, static_cast<unsigned>(port));
    }
  }
  if (kind == Kind::kRoot) return text;
  if (!host.empty()) text += L'/';
  if (kind == Kind::kDistinguishedName) {
    text += dn;
  } else {
    text += kGuidPrefix;
    for (uint8_t byte : guid) {
      platform::AppendLowerHexByte(&text, byte);
    }
    text += kGuidSuffix;
  }
  return text;
}

}  // namespace directory
