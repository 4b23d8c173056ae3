#include "tools/upm/object_lookup.h"

#include <chrono>
#include <cstdint>

namespace upm {
namespace {

constexpr size_t kGuidHexDigits = 32;
constexpr char kGuidPrefix[] = "<GUID=";
constexpr int kGlobalCatalogPort = 3268;
constexpr int kLdapPort = 389;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool StartsWithIgnoringAsciiCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i], b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

bool IsHex32(const std::string& text) {
  if (text.size() != kGuidHexDigits) return false;
  for (char c : text) {
    if (!IsHexDigit(c)) return false;
  }
  return true;
}

// The 32 hex digits of "HEX32" or "<GUID=HEX32>"; "" when `text` is neither.
std::string GuidHex(const std::string& text) {
  if (IsHex32(text)) return text;
  const size_t prefix = sizeof kGuidPrefix - 1;
  if (StartsWithIgnoringAsciiCase(text, kGuidPrefix) && text.size() == prefix + kGuidHexDigits + 1 &&
      text.back() == '>') {
    const std::string hex = text.substr(prefix, kGuidHexDigits);
    if (IsHex32(hex)) return hex;
  }
  return "";
}

// The RID (last sub-authority) of a SID string "S-1-...", or -1.
int64_t SidRid(const std::string& sid) {
  if (!StartsWithIgnoringAsciiCase(sid, "S-1-")) return -1;
  size_t count = 0;
  int64_t value = -1;
  for (size_t i = 4; i <= sid.size(); ++i) {
    if (i == sid.size() || sid[i] == '-') {
      if (value < 0) return -1;  // an empty sub-authority
      ++count;
      if (i < sid.size()) value = -1;
      continue;
    }
    if (!IsDigit(sid[i])) return -1;
    value = (value < 0 ? 0 : value) * 10 + (sid[i] - '0');
    if (value > 0xffffffffLL) return -1;
  }
  return count >= 3 ? value : -1;  // authority and at least two sub-authorities
}

// Splits "host", "host:port" or "[v6]:port"; false when malformed.
bool ParseAuthority(const std::string& authority, int default_port, std::string* server) {
  std::string host = authority;
  std::string port;
  if (!host.empty() && host.front() == '[') {
    const size_t close = host.find(']');
    if (close == std::string::npos) return false;
    if (close + 1 < host.size()) {
      if (host[close + 1] != ':') return false;
      port = host.substr(close + 2);
    }
    host = host.substr(0, close + 1);
  } else if (const size_t colon = host.find(':'); colon != std::string::npos) {
    port = host.substr(colon + 1);
    host = host.substr(0, colon);
  }
  if (host.empty() || host == "[]") return false;
  int number = default_port;
  if (!port.empty() || authority.back() == ':') {
    if (port.empty() || port.size() > 5) return false;
    number = 0;
    for (char c : port) {
      if (!IsDigit(c)) return false;
      number = number * 10 + (c - '0');
    }
    if (number < 1 || number > 65535) return false;
  }
  *server = host + ":" + std::to_string(number);
  return true;
}

bool ParsePath(const std::string& path, ObjectQuery* query, std::string* problem) {
  int default_port = 0;
  std::string rest;
  if (StartsWithIgnoringAsciiCase(path, "GC://")) {
    default_port = kGlobalCatalogPort;
    rest = path.substr(5);
  } else if (StartsWithIgnoringAsciiCase(path, "LDAP://")) {
    default_port = kLdapPort;
    rest = path.substr(7);
  } else {
    *problem = "path \"" + path + "\" does not start with GC:// or LDAP://";
    return false;
  }
  const size_t slash = rest.find('/');
  const std::string first = rest.substr(0, slash);
  std::string object;
  if (first.find('=') != std::string::npos || (!first.empty() && first.front() == '<')) {
    object = rest;  // no host: the library's own Global Catalog
  } else {
    if (!ParseAuthority(first, default_port, &query->server)) {
      *problem = "path \"" + path + "\" has a malformed host or port";
      return false;
    }
    if (slash != std::string::npos) object = rest.substr(slash + 1);
  }
  if (object.empty()) {
    *problem = "path \"" + path + "\" names no object (a DN or <GUID=...> after the host)";
    return false;
  }
  if (object.front() == '<' && GuidHex(object).empty()) {
    *problem = "path \"" + path + "\" has a malformed <GUID=32 hex digits>";
    return false;
  }
  if (object.front() != '<' && object.find('=') == std::string::npos) {
    *problem = "path \"" + path + "\" names no distinguished name";
    return false;
  }
  query->lookup_key = object;
  return true;
}

}  // namespace

const char* ObjectKindName(ObjectKind kind) {
  switch (kind) {
    case ObjectKind::kUser:
      return "user";
    case ObjectKind::kPrimaryGroup:
      return "primary-group";
    case ObjectKind::kGroup:
      return "group";
    case ObjectKind::kGuid:
      return "guid";
    case ObjectKind::kPath:
      break;
  }
  return "path";
}

std::optional<ObjectKind> ObjectKindFromName(const std::string& name) {
  for (ObjectKind kind :
       {ObjectKind::kUser, ObjectKind::kPrimaryGroup, ObjectKind::kGroup, ObjectKind::kGuid, ObjectKind::kPath}) {
    if (name == ObjectKindName(kind)) return kind;
  }
  return std::nullopt;
}

const char* ManagerName(up_manager manager) {
  switch (manager) {
    case UP_MANAGER_USER:
      return "user";
    case UP_MANAGER_PRIMARY_GROUP:
      return "primary_group";
    case UP_MANAGER_GROUP:
      return "group";
    case UP_MANAGER_GUID:
      return "guid";
    case UP_MANAGER_PATH:
      break;
  }
  return "path";
}

bool ParseObjectQuery(ObjectKind kind, const std::string& key, ObjectQuery* query, std::string* problem) {
  *query = ObjectQuery{};
  query->kind = kind;
  query->key = key;
  if (key.empty()) {
    *problem = "the key is empty";
    return false;
  }
  switch (kind) {
    case ObjectKind::kUser:
      query->manager = UP_MANAGER_USER;
      query->lookup_key = key;
      return true;
    case ObjectKind::kPrimaryGroup:
      query->manager = UP_MANAGER_PRIMARY_GROUP;
      if (StartsWithIgnoringAsciiCase(key, "S-")) {
        if (SidRid(key) < 0) {
          *problem = "\"" + key + "\" is not a SID (S-1-5-21-...-RID)";
          return false;
        }
        query->group_sid = key;
      } else {
        query->lookup_key = key;
      }
      return true;
    case ObjectKind::kGroup:
      query->manager = UP_MANAGER_GROUP;
      query->lookup_key = key;
      return true;
    case ObjectKind::kGuid: {
      query->manager = UP_MANAGER_GUID;
      query->lookup_key = GuidHex(key);
      if (query->lookup_key.empty()) {
        *problem = "\"" + key + "\" is not a GUID (32 hex digits or <GUID=32 hex digits>)";
        return false;
      }
      return true;
    }
    case ObjectKind::kPath:
      query->manager = UP_MANAGER_PATH;
      return ParsePath(key, query, problem);
  }
  return false;
}

ObjectAnswer LookUpObject(const ObjectQuery& query) {
  using Clock = std::chrono::steady_clock;
  ObjectAnswer answer;
  answer.query = query;
  const Clock::time_point start = Clock::now();
  int status = UP_OK;
  if (!query.group_sid.empty()) {
    status = PrimaryGroupKey(query.group_sid, static_cast<int32_t>(static_cast<uint32_t>(SidRid(query.group_sid))),
                             &answer.query.lookup_key, &answer.error);
  }
  if (status == UP_OK) {
    status = GetRecord(query.manager, answer.query.lookup_key, &answer.record, &answer.from_directory, &answer.error);
  }
  answer.milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (status == UP_OK && answer.record.properties.empty()) status = UP_NOT_FOUND;
  answer.outcome = OutcomeForStatus(status);
  return answer;
}

}  // namespace upm
