#include "dsobject/ds_object_info.h"

#include <new>
#include <vector>

#include "dsobject/user_policy_manager_exception.h"
#include "platform/ascii.h"
#include "platform/crt.h"
#include "platform/sync.h"

namespace {
constexpr char kSource[] = "serv_UserPolicyDSObjectInfo";
}  // namespace

// The shared implementation: reference count and the property handles in the
// order added; each element holds one reference to its property.
class CDSObjectInfoImpl {
 public:
  volatile LONG ref_count = 1;
  std::vector<CDSObjectProperty> properties;
};

namespace {

CDSObjectInfoImpl* NewInfoImpl(int line) {
  CDSObjectInfoImpl* impl = new (std::nothrow) CDSObjectInfoImpl();
  if (impl == nullptr) throw CUserPolicyManagerException(EX_USER_POLICY_MGR_OUT_OF_MEMORY, kSource, line);
  return impl;
}

}  // namespace

CDSObjectInfo::CDSObjectInfo() : m_pImpl(NewInfoImpl(__LINE__)) {}

CDSObjectInfo::CDSObjectInfo(const CDSObjectInfo& other) : m_pImpl(other.m_pImpl) { _AddRef(); }

CDSObjectInfo& CDSObjectInfo::operator=(const CDSObjectInfo& other) {
  if (this != &other) {
    _Free();
    m_pImpl = other.m_pImpl;
    _AddRef();
  }
  return *this;
}

CDSObjectInfo::~CDSObjectInfo() { _Free(); }

int CDSObjectInfo::GetPropertyCount() {
  if (m_pImpl == nullptr) m_pImpl = NewInfoImpl(__LINE__);
  return static_cast<int>(m_pImpl->properties.size());
}

CDSObjectProperty CDSObjectInfo::GetProperty(const wchar_t* name) {
  if (m_pImpl == nullptr) m_pImpl = NewInfoImpl(__LINE__);
  if (name != nullptr) {
    // Names whose first characters differ are passed over without the full
    // comparison.
    const wchar_t first = platform::AsciiToLower(name[0]);
    for (CDSObjectProperty& property : m_pImpl->properties) {
      if (property.m_pImpl == nullptr) continue;  // an empty handle has no name
      const wchar_t* candidate = property.GetName();
      if (candidate != nullptr && platform::AsciiToLower(candidate[0]) == first && _wcsicmp(candidate, name) == 0) {
        return property;
      }
    }
  }
  return CDSObjectProperty();
}

CDSObjectProperty CDSObjectInfo::GetProperty(int index) {
  if (m_pImpl == nullptr) m_pImpl = NewInfoImpl(__LINE__);
  if (index < 0 || static_cast<size_t>(index) >= m_pImpl->properties.size()) {
    throw CUserPolicyManagerException(EX_USER_POLICY_MGR_INDEX_OUT_OF_RANGE, kSource, __LINE__);
  }
  return m_pImpl->properties[static_cast<size_t>(index)];
}

void CDSObjectInfo::AddProperty(CDSObjectProperty& property) {
  if (m_pImpl == nullptr) m_pImpl = NewInfoImpl(__LINE__);
  m_pImpl->properties.push_back(property);
}

void CDSObjectInfo::_AddRef() {
  if (m_pImpl != nullptr) InterlockedIncrement(&m_pImpl->ref_count);
}

void CDSObjectInfo::_Free() {
  if (m_pImpl == nullptr) return;
  if (InterlockedDecrement(&m_pImpl->ref_count) == 0) delete m_pImpl;
  m_pImpl = nullptr;
}
