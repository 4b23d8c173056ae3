#include "testing/memory_directory.h"

#include <algorithm>
#include <array>
#include <optional>
#include <thread>
#include <utility>

#include "platform/ascii.h"
#include "platform/hex.h"
#include "platform/utf8.h"
#include "platform/directory.h"
#include "platform/directory/directory_error.h"
#include "platform/directory/directory_path.h"
#include "testing/ldap_filter.h"

namespace directory {
namespace {

using platform::HexValue;

constexpr char kSource[] = "memory_directory";
constexpr wchar_t kDefaultGCPath[] = L"GC://127.0.0.1:3268";
constexpr std::wstring_view kObjectGuid = L"objectGUID";
constexpr std::wstring_view kDistinguishedName = L"distinguishedName";
constexpr std::wstring_view kAllAttributes = L"*";
constexpr size_t kGuidLength = 16;
// Characters escaped in a normalised RDN value, so that the joined form
// names one DN only.
constexpr std::wstring_view kNormalEscapes = L"\\,+=";

using Guid = std::array<uint8_t, kGuidLength>;

std::wstring TrimSpaces(std::wstring_view text) {
  while (!text.empty() && text.front() == L' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == L' ') text.remove_suffix(1);
  return std::wstring(text);
}

// One attribute value of a DN being normalised: UTF-8 bytes (escapes are
// bytes), with unescaped spaces at either end dropped as RFC 4514 asks.
class RdnValue {
 public:
  void Append(const std::string& bytes, bool escaped) {
    if (!escaped && bytes == " " && bytes_.empty()) return;  // leading space
    bytes_ += bytes;
    if (escaped || bytes != " ") kept_ = bytes_.size();
  }
  // The value case-folded, with the separators escaped.
  std::wstring Normalised() const {
    const std::wstring text = platform::AsciiLowercase(platform::Utf8ToWide(bytes_.substr(0, kept_)));
    std::wstring escaped;
    for (wchar_t c : text) {
      if (kNormalEscapes.find(c) != std::wstring_view::npos) escaped += L'\\';
      escaped += c;
    }
    return escaped;
  }

 private:
  std::string bytes_;
  size_t kept_ = 0;  // bytes_ without trailing unescaped spaces
};

// The RDNs of `dn` normalised ("cn=ann", "dc=example", ...), or nothing for
// a malformed DN.
std::optional<std::vector<std::wstring>> NormaliseDn(std::wstring_view dn) {
  std::vector<std::wstring> rdns;
  std::wstring rdn;
  std::wstring type;
  RdnValue value;
  bool in_value = false;
  size_t type_start = 0;
  auto finish_component = [&](size_t end) {
    rdn += type + L'=' + value.Normalised();
    value = RdnValue();
    in_value = false;
    type_start = end + 1;
  };
  for (size_t i = 0; i < dn.size(); ++i) {
    const wchar_t c = dn[i];
    if (!in_value) {
      if (c == L'=') {
        type = platform::AsciiLowercase(TrimSpaces(dn.substr(type_start, i - type_start)));
        if (type.empty()) return std::nullopt;
        in_value = true;
      } else if (c == L',' || c == L'+' || c == L'\\') {
        return std::nullopt;
      }
      continue;
    }
    if (c == L'\\') {
      if (i + 1 >= dn.size()) return std::nullopt;
      if (HexValue(dn[i + 1]) >= 0) {
        if (i + 2 >= dn.size() || HexValue(dn[i + 2]) < 0) return std::nullopt;
        value.Append(std::string(1, static_cast<char>(HexValue(dn[i + 1]) * 16 + HexValue(dn[i + 2]))), true);
        i += 2;
      } else {
        value.Append(platform::WideToUtf8(dn.substr(i + 1, 1)), true);
        i += 1;
      }
    } else if (c == L',' || c == L'+') {
      finish_component(i);
      if (c == L'+') {
        rdn += L'+';
      } else {
        rdns.push_back(std::move(rdn));
        rdn.clear();
      }
    } else {
      value.Append(platform::WideToUtf8(dn.substr(i, 1)), false);
    }
  }
  if (!in_value) return std::nullopt;
  finish_component(dn.size());
  rdns.push_back(std::move(rdn));
  return rdns;
}

std::wstring JoinRdns(const std::vector<std::wstring>& rdns) {
  std::wstring joined;
  for (const std::wstring& rdn : rdns) {
    if (!joined.empty()) joined += L',';
    joined += rdn;
  }
  return joined;
}

std::wstring GuidKey(const Guid& guid) {
  std::wstring key = L"<guid=";
  for (uint8_t byte : guid) {
    platform::AppendLowerHexByte(&key, byte);
  }
  return key + L'>';
}

// The objectGUID of `object`: its first 16-byte binary value.
std::optional<Guid> GuidOf(const DirectoryObject& object) {
  for (const DirectoryAttribute& attribute : object.attributes) {
    if (!platform::EqualsIgnoringAsciiCase(attribute.name, kObjectGuid)) continue;
    for (const _variant_t& value : attribute.values) {
      if (value.vt != (VT_ARRAY | VT_UI1) || value.parray == nullptr) continue;
      LONG lower = 0;
      LONG upper = -1;
      if (FAILED(SafeArrayGetLBound(value.parray, 1, &lower)) ||
          FAILED(SafeArrayGetUBound(value.parray, 1, &upper)) || upper - lower + 1 != kGuidLength) {
        continue;
      }
      Guid guid;
      const auto* data = static_cast<const uint8_t*>(value.parray->pvData);
      std::copy(data, data + kGuidLength, guid.begin());
      return guid;
    }
  }
  return std::nullopt;
}

bool EndsWith(const std::vector<std::wstring>& rdns, const std::vector<std::wstring>& base) {
  return rdns.size() >= base.size() && std::equal(base.rbegin(), base.rend(), rdns.rbegin());
}

bool InScope(const std::vector<std::wstring>& rdns, const std::vector<std::wstring>& base, int scope) {
  if (!EndsWith(rdns, base)) return false;
  switch (scope) {
    case kDirectoryScopeBase: return rdns.size() == base.size();
    case kDirectoryScopeOneLevel: return rdns.size() == base.size() + 1;
    default: return true;
  }
}

// The object with only `attributes` (all when empty or "*"), named as asked.
std::shared_ptr<const DirectoryObject> Project(const std::shared_ptr<const DirectoryObject>& object,
                                               const std::vector<std::wstring>& attributes) {
  if (attributes.empty() ||
      std::find(attributes.begin(), attributes.end(), kAllAttributes) != attributes.end()) {
    return object;
  }
  auto projected = std::make_shared<DirectoryObject>();
  projected->distinguished_name = object->distinguished_name;
  std::vector<bool> found(attributes.size(), false);
  for (const DirectoryAttribute& stored : object->attributes) {
    for (size_t i = 0; i < attributes.size(); ++i) {
      if (found[i] || !platform::EqualsIgnoringAsciiCase(stored.name, attributes[i])) continue;
      found[i] = true;
      projected->attributes.push_back(DirectoryAttribute{attributes[i], stored.values});
      break;
    }
  }
  for (size_t i = 0; i < attributes.size(); ++i) {
    if (found[i] || !platform::EqualsIgnoringAsciiCase(attributes[i], kDistinguishedName)) continue;
    found[i] = true;
    DirectoryAttribute dn{attributes[i], {}};
    dn.values.emplace_back(object->distinguished_name.c_str());
    projected->attributes.push_back(std::move(dn));
  }
  return projected;
}

}  // namespace

struct MemoryDirectory::Entry {
  std::vector<std::wstring> rdns;  // normalised, the object's own first
  std::wstring key;                // the rdns joined
  std::optional<Guid> guid;
  std::shared_ptr<const DirectoryObject> object;
};

// MemoryObject -----------------------------------------------------------------

MemoryObject::MemoryObject(std::wstring distinguished_name) {
  object_.distinguished_name = std::move(distinguished_name);
}

MemoryObject& MemoryObject::AddValue(std::wstring_view attribute, const _variant_t& value) {
  for (DirectoryAttribute& existing : object_.attributes) {
    if (platform::EqualsIgnoringAsciiCase(existing.name, attribute)) {
      existing.values.push_back(value);
      return *this;
    }
  }
  object_.attributes.push_back(DirectoryAttribute{std::wstring(attribute), {value}});
  return *this;
}

MemoryObject& MemoryObject::AddString(std::wstring_view attribute, std::wstring_view value) {
  return AddValue(attribute, _variant_t(std::wstring(value).c_str()));
}

MemoryObject& MemoryObject::AddStrings(std::wstring_view attribute, std::initializer_list<std::wstring_view> values) {
  for (std::wstring_view value : values) AddString(attribute, value);
  return *this;
}

MemoryObject& MemoryObject::AddInteger(std::wstring_view attribute, int32_t value) {
  return AddValue(attribute, _variant_t(static_cast<long>(value)));
}

MemoryObject& MemoryObject::AddLargeInteger(std::wstring_view attribute, int64_t value) {
  return AddValue(attribute, _variant_t(static_cast<__int64>(value)));
}

MemoryObject& MemoryObject::AddBoolean(std::wstring_view attribute, bool value) {
  return AddValue(attribute, _variant_t(value));
}

MemoryObject& MemoryObject::AddBinary(std::wstring_view attribute, const std::vector<uint8_t>& bytes) {
  _variant_t value;
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  if (array == nullptr) _com_issue_error(E_OUTOFMEMORY);
  std::copy(bytes.begin(), bytes.end(), static_cast<uint8_t*>(array->pvData));
  value.vt = VT_ARRAY | VT_UI1;
  value.parray = array;  // owned by `value` from here on
  return AddValue(attribute, value);
}

// MemoryDirectory ---------------------------------------------------------------

MemoryDirectory::MemoryDirectory()
    : root_gc_result_(S_OK), root_gc_path_(kDefaultGCPath), root_dse_result_(S_OK), root_dse_path_(kDefaultGCPath) {}

MemoryDirectory::~MemoryDirectory() = default;

void MemoryDirectory::AddObject(const MemoryObject& object) {
  std::optional<std::vector<std::wstring>> rdns = NormaliseDn(object.object().distinguished_name);
  if (!rdns) {
    DirectoryErrorContext context;
    context.operation = L"add";
    context.target = object.object().distinguished_name;
    DIRECTORY_THROW(kDirectoryInvalidArgument, L"malformed distinguished name", context);
  }
  auto entry = std::make_shared<Entry>();
  entry->key = JoinRdns(*rdns);
  entry->rdns = std::move(*rdns);
  entry->object = std::make_shared<const DirectoryObject>(object.object());
  entry->guid = GuidOf(*entry->object);

  platform::MutexLock lock(&mu_);
  for (std::shared_ptr<const Entry>& existing : entries_) {
    if (existing->key == entry->key) {
      existing = std::move(entry);
      return;
    }
  }
  entries_.push_back(std::move(entry));
}

bool MemoryDirectory::RemoveObject(std::wstring_view dn) {
  const std::optional<std::vector<std::wstring>> rdns = NormaliseDn(dn);
  if (!rdns) return false;
  const std::wstring key = JoinRdns(*rdns);
  platform::MutexLock lock(&mu_);
  const auto found = std::find_if(entries_.begin(), entries_.end(),
                                  [&key](const std::shared_ptr<const Entry>& entry) { return entry->key == key; });
  if (found == entries_.end()) return false;
  entries_.erase(found);
  return true;
}

void MemoryDirectory::SetRootGCPath(HRESULT result, std::wstring path) {
  platform::MutexLock lock(&mu_);
  root_gc_result_ = result;
  root_gc_path_ = std::move(path);
}

void MemoryDirectory::SetGCFromRootDSE(HRESULT result, std::wstring path) {
  platform::MutexLock lock(&mu_);
  root_dse_result_ = result;
  root_dse_path_ = std::move(path);
}

int MemoryDirectory::ReadCount(std::wstring_view key) const {
  std::wstring normalised(key);
  if (!key.empty() && key.front() == L'<') {
    normalised = platform::AsciiLowercase(key);
  } else if (!key.empty() && key.front() != L'(') {
    if (const std::optional<std::vector<std::wstring>> rdns = NormaliseDn(key)) normalised = JoinRdns(*rdns);
  }
  platform::MutexLock lock(&mu_);
  const auto found = counts_.find(normalised);
  return found == counts_.end() ? 0 : found->second;
}

int MemoryDirectory::TotalCalls() const {
  platform::MutexLock lock(&mu_);
  return total_calls_;
}

int MemoryDirectory::GCPathCalls() const {
  platform::MutexLock lock(&mu_);
  return gc_path_calls_;
}

void MemoryDirectory::ResetCounts() {
  platform::MutexLock lock(&mu_);
  // Armed N-th failures stay relative to the calls still to come.
  std::map<int, int> rebased;
  for (const auto& [call, code] : fail_at_call_) rebased[call - total_calls_] = code;
  fail_at_call_ = std::move(rebased);
  counts_.clear();
  total_calls_ = 0;
  gc_path_calls_ = 0;
}

void MemoryDirectory::SetReadDelay(std::chrono::milliseconds delay) {
  platform::MutexLock lock(&mu_);
  delay_ = delay;
}

void MemoryDirectory::BlockReads() {
  platform::MutexLock lock(&mu_);
  blocking_ = true;
}

void MemoryDirectory::ReleaseReads() {
  platform::MutexLock lock(&mu_);
  blocking_ = false;
  ++release_generation_;
  changed_.SignalAll();
}

bool MemoryDirectory::WaitUntilBlocked(int count, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  platform::MutexLock lock(&mu_);
  while (parked_ < count) {
    if (!changed_.WaitUntil(deadline) && parked_ < count) return false;
  }
  return true;
}

int MemoryDirectory::BlockedCount() const {
  platform::MutexLock lock(&mu_);
  return parked_;
}

void MemoryDirectory::FailNthCall(int n, int code) {
  platform::MutexLock lock(&mu_);
  fail_at_call_[total_calls_ + n] = code;
}

void MemoryDirectory::FailAllCalls(int code) {
  platform::MutexLock lock(&mu_);
  fail_all_code_ = code;
}

void MemoryDirectory::ClearFailures() {
  platform::MutexLock lock(&mu_);
  fail_at_call_.clear();
  fail_all_code_ = 0;
}

void MemoryDirectory::BeginCall(const std::wstring& key, const DirectoryPath& path, const std::wstring& operation) {
  int code = 0;
  std::chrono::milliseconds delay{0};
  {
    platform::MutexLock lock(&mu_);
    ++counts_[key];
    const int call = ++total_calls_;
    if (const auto armed = fail_at_call_.find(call); armed != fail_at_call_.end()) {
      code = armed->second;
      fail_at_call_.erase(armed);
    }
    if (blocking_) {
      const uint64_t generation = release_generation_;
      ++parked_;
      changed_.SignalAll();
      while (release_generation_ == generation) changed_.Wait();
      --parked_;
    }
    if (code == 0) code = fail_all_code_;
    delay = delay_;
  }
  if (delay.count() > 0) std::this_thread::sleep_for(delay);
  if (code != 0) {
    DirectoryErrorContext context;
    context.server = path.Server();
    context.operation = operation;
    context.target = key;
    DIRECTORY_THROW(code, L"failure injected by the in-memory directory", context);
  }
}

std::shared_ptr<const MemoryDirectory::Entry> MemoryDirectory::FindLocked(const DirectoryPath& path) const {
  if (path.kind == DirectoryPath::Kind::kGuid) {
    for (const std::shared_ptr<const Entry>& entry : entries_) {
      if (entry->guid && *entry->guid == path.guid) return entry;
    }
    return nullptr;
  }
  const std::optional<std::vector<std::wstring>> rdns = NormaliseDn(path.dn);
  if (!rdns) return nullptr;
  const std::wstring key = JoinRdns(*rdns);
  for (const std::shared_ptr<const Entry>& entry : entries_) {
    if (entry->key == key) return entry;
  }
  return nullptr;
}

std::shared_ptr<const DirectoryObject> MemoryDirectory::ReadObject(const DirectoryPath& path,
                                                                  const std::vector<std::wstring>& attributes) {
  std::wstring key;
  if (path.kind == DirectoryPath::Kind::kGuid) {
    key = GuidKey(path.guid);
  } else if (path.kind == DirectoryPath::Kind::kDistinguishedName) {
    const std::optional<std::vector<std::wstring>> rdns = NormaliseDn(path.dn);
    key = rdns ? JoinRdns(*rdns) : path.dn;
  } else {
    key = path.ToString();
  }
  BeginCall(key, path, L"read");

  std::shared_ptr<const Entry> entry;
  if (path.kind != DirectoryPath::Kind::kRoot) {
    platform::MutexLock lock(&mu_);
    entry = FindLocked(path);
  }
  if (entry == nullptr) {
    DirectoryErrorContext context;
    context.server = path.Server();
    context.operation = L"read";
    context.target = path.ToString();
    DIRECTORY_THROW(kDirectoryNotFound, L"no such object", context);
  }
  return Project(entry->object, attributes);
}

std::shared_ptr<const DirectoryObject> MemoryDirectory::SearchOne(const DirectoryPath& root, const std::wstring& filter,
                                                                 const std::vector<std::wstring>& attributes,
                                                                 int scope) {
  BeginCall(filter, root, L"search");
  const LdapFilter parsed = LdapFilter::Parse(filter);
  DirectoryErrorContext context;
  context.server = root.Server();
  context.operation = L"search";
  context.target = root.ToString();
  if (scope != kDirectoryScopeBase && scope != kDirectoryScopeOneLevel && scope != kDirectoryScopeSubtree) {
    DIRECTORY_THROW(kDirectoryInvalidArgument, L"unknown search scope " + std::to_wstring(scope), context);
  }

  std::vector<std::shared_ptr<const Entry>> entries;
  std::optional<std::vector<std::wstring>> base;
  {
    platform::MutexLock lock(&mu_);
    entries = entries_;
    if (root.kind == DirectoryPath::Kind::kGuid) {
      if (std::shared_ptr<const Entry> entry = FindLocked(root)) base = entry->rdns;
    }
  }
  if (root.kind == DirectoryPath::Kind::kDistinguishedName) {
    base = NormaliseDn(root.dn);
    if (!base) DIRECTORY_THROW(kDirectoryInvalidPath, L"malformed search root", context);
  } else if (root.kind == DirectoryPath::Kind::kGuid && !base) {
    DIRECTORY_THROW(kDirectoryNotFound, L"no such search root", context);
  }

  for (const std::shared_ptr<const Entry>& entry : entries) {
    const bool in_scope =
        base ? InScope(entry->rdns, *base, scope) : scope != kDirectoryScopeBase;  // a forest root
    if (in_scope && parsed.Matches(*entry->object)) return Project(entry->object, attributes);
  }
  return nullptr;
}

HRESULT MemoryDirectory::GetRootGCPath(std::wstring* path) {
  if (path == nullptr) return E_INVALIDARG;
  platform::MutexLock lock(&mu_);
  ++gc_path_calls_;
  *path = SUCCEEDED(root_gc_result_) ? root_gc_path_ : std::wstring();
  return root_gc_result_;
}

HRESULT MemoryDirectory::GetGCFromRootDSE(std::wstring* path) {
  if (path == nullptr) return E_INVALIDARG;
  platform::MutexLock lock(&mu_);
  ++gc_path_calls_;
  *path = SUCCEEDED(root_dse_result_) ? root_dse_path_ : std::wstring();
  return root_dse_result_;
}

}  // namespace directory
