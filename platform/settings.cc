#include "platform/settings.h"

#include <cstdlib>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string_view>

#include <toml++/toml.h>

#include "platform/ascii.h"
#include "platform/crt.h"
#include "platform/log.h"
#include "platform/sync.h"
#include "platform/utf8.h"

namespace {

constexpr char kLogSource[] = "settings_store";

// The path SetSettingsPathOverride set; empty when there is none.
class PathOverride {
 public:
  static PathOverride& Get() {
    static PathOverride instance;
    return instance;
  }
  void Set(const std::string& path) EXCLUDES(mu_) {
    platform::MutexLock lock(&mu_);
    path_ = path;
  }
  std::string path() EXCLUDES(mu_) {
    platform::MutexLock lock(&mu_);
    return path_;
  }

 private:
  PathOverride() = default;
  platform::Mutex mu_;
  std::string path_ GUARDED_BY(mu_);
};

// Reads and parses the file `path`: its table in *document. False when the
// file cannot be opened (*parse_error stays empty) or does not parse
// (*parse_error then says where and why).
bool ParseFile(const std::string& path, toml::table* document, std::string* parse_error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream content;
  content << file.rdbuf();
  try {
    *document = toml::parse(content.str(), path);
  } catch (const toml::parse_error& error) {
    const auto& where = error.source().begin;
    *parse_error = "line " + std::to_string(where.line) + ", column " + std::to_string(where.column) + ": " +
                   std::string(error.description());
    return false;
  }
  return true;
}

// Variant types a typed value may name, with their accepted integer range.
struct TypedKind {
  const char* name;  // without the "VT_" prefix
  VARTYPE vt;
  int64_t min;
  int64_t max;
};
constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();
constexpr TypedKind kTypedKinds[] = {
    {"I2", VT_I2, std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max()},
    {"UI2", VT_UI2, 0, std::numeric_limits<uint16_t>::max()},
    {"I4", VT_I4, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()},
    {"UI4", VT_UI4, 0, std::numeric_limits<uint32_t>::max()},
    {"INT", VT_INT, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()},
    {"UINT", VT_UINT, 0, std::numeric_limits<uint32_t>::max()},
    {"I8", VT_I8, kI64Min, kI64Max},
    {"UI8", VT_UI8, 0, kI64Max},
    {"BOOL", VT_BOOL, 0, 0},
    {"R8", VT_R8, 0, 0},
    {"BSTR", VT_BSTR, 0, 0},
};

const TypedKind* FindKind(std::string_view name) {
  if (name.size() > 3 && platform::EqualsIgnoringAsciiCase(name.substr(0, 3), "VT_")) name.remove_prefix(3);
  for (const TypedKind& kind : kTypedKinds) {
    if (platform::EqualsIgnoringAsciiCase(name, kind.name)) return &kind;
  }
  return nullptr;
}

_variant_t IntegerVariant(VARTYPE vt, int64_t value) {
  _variant_t result;
  result.vt = vt;
  switch (vt) {
    case VT_I2: result.iVal = static_cast<SHORT>(value); break;
    case VT_UI2: result.uiVal = static_cast<USHORT>(value); break;
    case VT_I4: result.lVal = static_cast<LONG>(value); break;
    case VT_UI4: result.ulVal = static_cast<ULONG>(value); break;
    case VT_INT: result.intVal = static_cast<INT>(value); break;
    case VT_UINT: result.uintVal = static_cast<UINT>(value); break;
    case VT_I8: result.llVal = value; break;
    case VT_UI8: result.ullVal = static_cast<ULONGLONG>(value); break;
    default: result.vt = VT_EMPTY; break;
  }
  return result;
}

// Converts one TOML value to a variant; returns nullopt with `why` set when
// the value has an unknown type or shape or is out of range.
std::optional<_variant_t> ToVariant(const toml::node& node, std::string& why) {
  if (const auto* i = node.as_integer()) {
    const int64_t v = i->get();
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
      why = "integer does not fit VT_I4; write { type = \"VT_I8\", value = ... }";
      return std::nullopt;
    }
    return IntegerVariant(VT_I4, v);
  }
  if (const auto* s = node.as_string()) return _variant_t(platform::Utf8ToWide(s->get()).c_str());
  if (const auto* b = node.as_boolean()) return _variant_t(b->get());
  if (const auto* f = node.as_floating_point()) return _variant_t(f->get());
  const auto* table = node.as_table();
  if (table == nullptr) {
    why = "unsupported value shape";
    return std::nullopt;
  }
  const auto* type_name = table->get_as<std::string>("type");
  const toml::node* value = table->get("value");
  if (type_name == nullptr || value == nullptr || table->size() != 2) {
    why = "a typed value is written { type = \"VT_...\", value = ... }";
    return std::nullopt;
  }
  const TypedKind* kind = FindKind(type_name->get());
  if (kind == nullptr) {
    why = "unknown variant type \"" + type_name->get() + "\"";
    return std::nullopt;
  }
  switch (kind->vt) {
    case VT_BSTR:
      if (const auto* s = value->as_string()) return _variant_t(platform::Utf8ToWide(s->get()).c_str());
      why = "VT_BSTR needs a string value";
      return std::nullopt;
    case VT_BOOL:
      if (const auto* b = value->as_boolean()) return _variant_t(b->get());
      why = "VT_BOOL needs true or false";
      return std::nullopt;
    case VT_R8:
      if (const auto* f = value->as_floating_point()) return _variant_t(f->get());
      if (const auto* i = value->as_integer()) return _variant_t(static_cast<double>(i->get()));
      why = "VT_R8 needs a number";
      return std::nullopt;
    default:
      break;
  }
  const auto* integer = value->as_integer();
  if (integer == nullptr) {
    why = std::string("VT_") + kind->name + " needs an integer value";
    return std::nullopt;
  }
  if (integer->get() < kind->min || integer->get() > kind->max) {
    why = "value " + std::to_string(integer->get()) + " out of range for VT_" + kind->name;
    return std::nullopt;
  }
  return IntegerVariant(kind->vt, integer->get());
}

}  // namespace

void SetSettingsPathOverride(const std::string& path) { PathOverride::Get().Set(path); }

std::string CurrentSettingsPath() {
  std::string path = PathOverride::Get().path();
  if (!path.empty()) return path;
  const char* configured = std::getenv(kSettingsPathVariable);
  if (configured != nullptr && configured[0] != '\0') return configured;
  return DefaultSettingsPath();
}

bool CheckSettingsFile(const std::string& path, std::string* problem) {
  toml::table document;
  std::string parse_error;
  if (ParseFile(path, &document, &parse_error)) return true;
  *problem = parse_error.empty() ? "settings file " + path + " cannot be read"
                                 : "settings file " + path + " does not parse at " + parse_error;
  return false;
}

bool CMgmtObjectBase::AsciiCaseLess::operator()(const std::wstring& a, const std::wstring& b) const {
  return _wcsicmp(a.c_str(), b.c_str()) < 0;
}

CMgmtObjectBase::~CMgmtObjectBase() = default;

const _variant_t* CMgmtObjectBase::GetPropertyValue(const wchar_t* name) {
  if (name == nullptr) return nullptr;
  auto it = values_.find(name);
  return it == values_.end() ? nullptr : &it->second.value;
}

int CMgmtObjectBase::GetPropertyLine(const wchar_t* name) const {
  if (name == nullptr) return 0;
  auto it = values_.find(name);
  return it == values_.end() ? 0 : it->second.line;
}

CMgmtObject::CMgmtObject(const wchar_t* class_name, const wchar_t* instance_name, const wchar_t*)
    : class_name_(class_name ? class_name : L""), instance_name_(instance_name ? instance_name : L"") {}

CMgmtObject::~CMgmtObject() = default;

bool CMgmtObject::Get() {
  values_.clear();
  path_.clear();
  const std::string path = CurrentSettingsPath();
  toml::table document;
  std::string parse_error;
  if (!ParseFile(path, &document, &parse_error)) {
    // No settings file: the defaults apply.
    if (parse_error.empty()) return false;
    DBG::DebugLogEx(nullptr, DBG::kLevelWarning, kLogSource, __LINE__,
                    L"settings file %S does not parse at %S; defaults apply", path.c_str(), parse_error.c_str());
    return false;
  }

  const std::string class_key = platform::WideToUtf8(class_name_);
  const std::string instance_key = platform::WideToUtf8(instance_name_);
  const toml::table* section = nullptr;
  if (const auto* by_class = document.get_as<toml::table>(class_key)) {
    section = by_class->get_as<toml::table>(instance_key);
  }
  if (section == nullptr) return false;

  for (const auto& [key, node] : *section) {
    const int line = static_cast<int>(node.source().begin.line);
    std::string why;
    std::optional<_variant_t> value = ToVariant(node, why);
    if (!value) {
      DBG::DebugLogEx(nullptr, DBG::kLevelWarning, kLogSource, __LINE__,
                      L"settings file %S line %d: [%S.%S] %S ignored: %S", path.c_str(), line,
                      class_key.c_str(), instance_key.c_str(), std::string(key.str()).c_str(), why.c_str());
      continue;
    }
    StoredValue& stored = values_[platform::Utf8ToWide(key.str())];
    stored.value = *value;
    stored.line = line;
  }
  path_ = path;
  return true;
}
