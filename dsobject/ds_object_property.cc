#include "dsobject/ds_object_property.h"

#include <new>
#include <utility>
#include <vector>

#include "dsobject/shared_property_names.h"
#include "dsobject/user_policy_manager_exception.h"
#include "platform/sync.h"

namespace {
constexpr char kSource[] = "serv_UserPolicyDSObjectProperty";
}  // namespace

// The shared implementation: reference count, values in the order added, and
// the name. Values sit in one contiguous array (a record is read far more
// often than it is built); a reference returned by GetValue stays valid until
// the next AddValue on the same property. The name usually shares the
// module-wide copy of its text.
class CDSObjectPropertyImpl {
 public:
  volatile LONG ref_count = 1;
  std::vector<_variant_t> values;
  _bstr_t name;
};

namespace {

CDSObjectPropertyImpl* NewPropertyImpl(int line) {
  CDSObjectPropertyImpl* impl = new (std::nothrow) CDSObjectPropertyImpl();
  if (impl == nullptr) throw CUserPolicyManagerException(EX_USER_POLICY_MGR_OUT_OF_MEMORY, kSource, line);
  return impl;
}

}  // namespace

CDSObjectProperty::CDSObjectProperty() : m_pImpl(nullptr) {}

CDSObjectProperty::CDSObjectProperty(const wchar_t* name) : m_pImpl(NewPropertyImpl(__LINE__)) {
  try {
    if (name != nullptr) m_pImpl->name = SharedPropertyName(name);
  } catch (...) {
    delete m_pImpl;
    throw;
  }
}

CDSObjectProperty::CDSObjectProperty(const CDSObjectProperty& other) : m_pImpl(other.m_pImpl) {
  _AddRef();
}

CDSObjectProperty& CDSObjectProperty::operator=(const CDSObjectProperty& other) {
  if (this != &other) {
    _Free();
    m_pImpl = other.m_pImpl;
    _AddRef();
  }
  return *this;
}

CDSObjectProperty::~CDSObjectProperty() { _Free(); }

const wchar_t* CDSObjectProperty::GetName() {
  if (m_pImpl == nullptr) m_pImpl = NewPropertyImpl(__LINE__);
  return static_cast<const wchar_t*>(m_pImpl->name);
}

void CDSObjectProperty::SetName(const wchar_t* name) {
  if (m_pImpl == nullptr) m_pImpl = NewPropertyImpl(__LINE__);
  // As _bstr_t assignment: our own characters leave the name unchanged, and
  // the old name is released before the new one is made, so a failure
  // leaves the property without a name.
  if (name != nullptr && name == static_cast<const wchar_t*>(m_pImpl->name)) return;
  m_pImpl->name = _bstr_t();
  m_pImpl->name = SharedPropertyName(name);
}

int CDSObjectProperty::GetValueCount() {
  if (m_pImpl == nullptr) m_pImpl = NewPropertyImpl(__LINE__);
  return static_cast<int>(m_pImpl->values.size());
}

_variant_t& CDSObjectProperty::GetValue(int index) {
  if (m_pImpl == nullptr) m_pImpl = NewPropertyImpl(__LINE__);
  // A negative index is refused like one past the end: it must never reach
  // the container.
  if (index < 0 || static_cast<size_t>(index) >= m_pImpl->values.size()) {
    throw CUserPolicyManagerException(EX_USER_POLICY_MGR_INDEX_OUT_OF_RANGE, kSource, __LINE__);
  }
  return m_pImpl->values[static_cast<size_t>(index)];
}

void CDSObjectProperty::AddValue(_variant_t& value) {
  if (m_pImpl == nullptr) m_pImpl = NewPropertyImpl(__LINE__);
  // The copy is made first: `value` may be one of our own values, which
  // growing the array moves. The copy constructor duplicates with
  // VariantCopy and raises _com_error on failure; a failed append leaves the
  // values as they were.
  _variant_t copy(value);
  m_pImpl->values.push_back(std::move(copy));
}

void CDSObjectProperty::_AddRef() {
  if (m_pImpl != nullptr) InterlockedIncrement(&m_pImpl->ref_count);
}

void CDSObjectProperty::_Free() {
  if (m_pImpl == nullptr) return;
  if (InterlockedDecrement(&m_pImpl->ref_count) == 0) delete m_pImpl;
  m_pImpl = nullptr;
}
