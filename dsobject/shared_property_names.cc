#include "dsobject/shared_property_names.h"

#include <cwchar>
#include <vector>

#include "platform/sync.h"

namespace {

// Names only ever join the table; it lives until the module is unloaded.
// Properties hold their own references, so a name outlives the table if a
// property still uses it.
struct NameTable {
  platform::Mutex mu;
  std::vector<_bstr_t> names GUARDED_BY(mu);
};

NameTable& Table() {
  static NameTable table;
  return table;
}

}  // namespace

_bstr_t SharedPropertyName(const wchar_t* name) {
  if (name == nullptr) return _bstr_t();
  const size_t length = wcsnlen(name, kMaxSharedPropertyNameLength + 1);
  if (length > kMaxSharedPropertyNameLength) return _bstr_t(name);
  NameTable& table = Table();
  platform::MutexLock lock(&table.mu);
  for (const _bstr_t& shared : table.names) {
    if (shared.length() == length && wmemcmp(static_cast<const wchar_t*>(shared), name, length) == 0) return shared;
  }
  _bstr_t fresh(name);
  if (table.names.size() < kMaxSharedPropertyNames) table.names.push_back(fresh);
  return fresh;
}
