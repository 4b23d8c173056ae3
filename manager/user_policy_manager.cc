#include "manager/user_policy_manager.h"

#include <exception>
#include <new>

#include "dsobject/user_policy_manager_exception.h"
#include "manager/attribute_conversion.h"
#include "manager/global_catalog_path.h"
#include "manager/in_flight_hooks.h"
#include "manager/lookup_key.h"
#include "manager/user_policy_manager_impl.h"
#include "platform/crt.h"
#include "platform/directory/directory_error.h"
#include "platform/log.h"
#include "platform/module.h"

namespace {

constexpr char kSource[] = "serv_UserPolicyManager";

// Copies one attribute of a search result or bound object into `record`:
// objectGUID becomes its bindable GUID string, objectSid its SID string,
// every other attribute keeps every value as the library returned it. The
// property is added also when it got no value.
template <class SourceProperty>
void CopyProperty(SourceProperty& source, CDSObjectInfo& record) {
  CDSObjectProperty property;
  property.SetName(source.GetName());
  const size_t count = source.GetValueCount();
  if (count > 0 && _wcsicmp(source.GetName(), L"objectGUID") == 0) {
    if (const std::optional<std::wstring> text = BindableGuidOf(source.GetValue(0))) {
      _variant_t converted(text->c_str());
      property.AddValue(converted);
    }
  } else if (count > 0 && _wcsicmp(source.GetName(), L"objectSid") == 0) {
    if (const std::optional<std::wstring> text = SidStringOf(source.GetValue(0))) {
      _variant_t converted(text->c_str());
      property.AddValue(converted);
    }
  } else {
    for (size_t i = 0; i < count; ++i) {
      _variant_t value = source.GetValue(i);
      property.AddValue(value);
    }
  }
  record.AddProperty(property);
}

// Raises a copy of the exception `failure` holds, so that each waiter owns
// the exception it catches (waiters on other threads get copies of the same
// failure).
[[noreturn]] void RethrowCopy(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const CDirectoryException& error) {
    throw CDirectoryException(error);
  } catch (const CUserPolicyManagerException& error) {
    throw CUserPolicyManagerException(error);
  } catch (const OS::CException& error) {
    throw OS::CException(error);
  } catch (const _com_error& error) {
    throw _com_error(error);
  }
}

// A copy of the exception being handled, for the waiters to share, so that
// they never touch the object the reader itself is handling. (Sharing that
// object is safe only through the reference count of the C++ runtime, which
// ThreadSanitizer cannot see, so it reported the reader's last look at its
// exception and a waiter's release of the failure as a race.)
// REQUIRES: called inside a catch handler.
std::exception_ptr CopyOfCurrentException() {
  try {
    throw;
  } catch (const CDirectoryException& error) {
    return std::make_exception_ptr(CDirectoryException(error));
  } catch (const CUserPolicyManagerException& error) {
    return std::make_exception_ptr(CUserPolicyManagerException(error));
  } catch (const OS::CException& error) {
    return std::make_exception_ptr(OS::CException(error));
  } catch (const _com_error& error) {
    return std::make_exception_ptr(_com_error(error));
  } catch (...) {
    return std::current_exception();
  }
}

}  // namespace

// CUserPolicyManagerImpl -----------------------------------------------------

CUserPolicyManagerImpl::CUserPolicyManagerImpl(int lookup_type, const wchar_t* filter_template,
                                               const wchar_t** attributes, int attribute_count,
                                               bool escape_filter_value, int cache_timeout_seconds,
                                               int cache_maximum)
    : m_lookupType(lookup_type),
      m_filterTemplate(filter_template),
      // The count is widened with its sign, as the collection takes it.
      m_attributes(attributes, static_cast<unsigned long long>(static_cast<long long>(attribute_count))),
      m_escapeFilterValue(escape_filter_value),
      m_cache(cache_timeout_seconds, cache_maximum) {}

CDSObjectInfo CUserPolicyManagerImpl::GetDSObjectInfo(const wchar_t* key, bool& fetchedFromDirectory) {
  // A hit allocates nothing: the key is normalised on the stack and the
  // cached record is shared; the empty record is made only on a miss.
  wchar_t buffer[kKeyBufferLength];
  std::optional<CDSObjectInfo> cached;
  if (_LookupCache(NormaliseKey(key, buffer), cached)) {
    fetchedFromDirectory = false;
    return *std::move(cached);
  }
  const std::wstring normalised(buffer);
  CDSObjectInfo record;
  if (!_SyncGetDSObjectInfo(normalised, record, fetchedFromDirectory)) {
    DBG::DebugLogEx(platform::CurrentModuleHandle(), DBG::kLevelFailure, kSource, __LINE__,
                    L"CUserPolicyManager->GetDSObjectInfo(%s) EX_USER_POLICY_MGR_DSOBJECT_NOT_FOUND ", key);
    throw CUserPolicyManagerException(EX_USER_POLICY_MGR_DSOBJECT_NOT_FOUND, kSource, __LINE__);
  }
  if (fetchedFromDirectory) _UpdateCache(normalised, record);
  return record;
}

bool CUserPolicyManagerImpl::_SyncGetDSObjectInfo(const std::wstring& key, CDSObjectInfo& record,
                                                  bool& fetchedFromDirectory) {
  DBG::DebugLogEx(platform::CurrentModuleHandle(), DBG::kLevelEnter, kSource, __LINE__, L"_SyncGetDSObjectInfo(%s) type=%d", key.c_str(),
                  m_lookupType);
  bool result = false;
  bool found = false;
  std::shared_ptr<CCompletionEvent> event;
  {
    Guard<CSLock> guard(m_inFlightLock);
    auto it = m_inFlight.find(key);
    if (it != m_inFlight.end()) {
      found = true;
      record = it->second.record;
      event = it->second.event;  // our own reference: the handle stays open while we wait
      fetchedFromDirectory = false;
    } else {
      CSyncObject entry;
      auto created = std::make_shared<CCompletionEvent>();
      if (created->handle() != nullptr) {
        if (m_waitersShareFailures) event = created;  // to leave the outcome on
        entry.event = std::move(created);
      }
      entry.record = record;
      m_inFlight.emplace(key, std::move(entry));
      fetchedFromDirectory = true;
    }
  }

  if (!found) {
    CAutoRemoveSyncObject remover(&key, &m_inFlight, &m_inFlightLock);
    lock_discipline::CheckNoLockHeld("a directory read while holding a module lock");
    if (event == nullptr) {
      result = _Fetch(key, record);
    } else {
      // Waiters are to share the outcome: leave it on the event, which the
      // remover signals after this.
      try {
        result = _Fetch(key, record);
      } catch (...) {
        event->SetFailure(CopyOfCurrentException());
        throw;
      }
      if (!result) event->SetNotFound();
    }
  } else if (event != nullptr) {
    if (in_flight_hooks::BeforeWaitHook hook = in_flight_hooks::GetBeforeWaitHook()) hook(key);
    event->Wait();
    result = true;
    if (m_waitersShareFailures) {
      if (event->failure() != nullptr) RethrowCopy(event->failure());
      result = !event->not_found();
    }
  }

  DBG::DebugLogEx(platform::CurrentModuleHandle(), DBG::kLevelLeave, kSource, __LINE__, L"_SyncGetDSObjectInfo(), Result=%u",
                  result ? 1u : 0u);
  return result;
}

bool CUserPolicyManagerImpl::_Fetch(const std::wstring& key, CDSObjectInfo& record) {
  if (m_lookupType == kLookupSearch) return _SearchDirectory(key, record);
  const std::optional<std::wstring> path = _BindPath(key);
  if (!path) throw CUserPolicyManagerException(EX_USER_POLICY_MGR_INVALID_LOOKUP_TYPE, kSource, __LINE__);
  return _OpenDirectoryObject(path->c_str(), record);
}

std::optional<std::wstring> CUserPolicyManagerImpl::_BindPath(const std::wstring& key) const {
  wchar_t path[kKeyBufferLength] = {};
  OS::x_wstring escaped;
  switch (m_lookupType) {
    case kLookupBindPath:
      EscapeSlashes(key.c_str(), key.length(), escaped);
      return std::wstring(escaped.c_str());
    case kLookupBindGuid:
      _snwprintf(path, kKeyBufferLength, L"%s/<GUID=%s>", g_wszGlobalCatalogPath, key.c_str());
      path[kKeyBufferLength - 1] = L'\0';
      return std::wstring(path);
    case kLookupBindDistinguishedName:
      EscapeSlashes(key.c_str(), key.length(), escaped);
      _snwprintf(path, kKeyBufferLength, L"%s/%s", g_wszGlobalCatalogPath, escaped.c_str());
      path[kKeyBufferLength - 1] = L'\0';
      return std::wstring(path);
    default:
      return std::nullopt;
  }
}

bool CUserPolicyManagerImpl::_WouldRead(const std::wstring& key) {
  if (m_cache.WouldHit(key)) return false;
  Guard<CSLock> guard(m_inFlightLock);
  return m_inFlight.find(key) == m_inFlight.end();
}

std::optional<std::wstring> CUserPolicyManagerImpl::PathToRead(const wchar_t* key) {
  if (key == nullptr || m_lookupType == kLookupSearch) return std::nullopt;
  const std::wstring normalised = NormaliseKey(key);
  if (!_WouldRead(normalised)) return std::nullopt;
  return _BindPath(normalised);
}

std::optional<std::wstring> CUserPolicyManagerImpl::FilterToSearch(const wchar_t* key) {
  if (key == nullptr || m_lookupType != kLookupSearch || m_filterTemplate.length() == 0) return std::nullopt;
  const std::wstring normalised = NormaliseKey(key);
  if (!_WouldRead(normalised)) return std::nullopt;
  return _Filter(normalised);
}

std::wstring CUserPolicyManagerImpl::_Filter(const std::wstring& key) const {
  CStringW value = m_escapeFilterValue ? EscapeFilterValue(key.c_str()) : CStringW(key.c_str());
  wchar_t filter[kFilterBufferLength];
  _snwprintf(filter, kFilterBufferLength, static_cast<const wchar_t*>(m_filterTemplate),
             static_cast<const wchar_t*>(value));
  filter[kFilterBufferLength - 1] = L'\0';
  return filter;
}

bool CUserPolicyManagerImpl::_SearchDirectory(const std::wstring& key, CDSObjectInfo& record) {
  try {
    const std::wstring filter = _Filter(key);
    CDirectoryEntry root(g_wszGlobalCatalogPath);
    CDirectorySearcher searcher(root, filter.c_str(), &m_attributes, kDirectoryScopeSubtree);
    CSearchResult result = searcher.FindOne();
    const size_t count = result.GetPropertyCount();
    for (size_t i = 0; i < count; ++i) {
      CSearchResultProperty property = result.GetProperty(i);
      CopyProperty(property, record);
    }
    return true;
  } catch (CUserPolicyManagerException& e) {
    DBG::DebugLogEx(platform::CurrentModuleHandle(), DBG::kLevelFailure, kSource, __LINE__,
                    L"CUserPolicyManager->_SearchDirectory(%s) fail. Error = %d", key.c_str(), e.GetErrorCode());
    return false;
  }
}

bool CUserPolicyManagerImpl::_OpenDirectoryObject(const wchar_t* path, CDSObjectInfo& record) {
  try {
    CDirectoryEntry entry(path, &m_attributes);
    const size_t count = entry.GetPropertyCount();
    for (size_t i = 0; i < count; ++i) {
      CDirectoryProperty property = entry.GetProperty(i);
      CopyProperty(property, record);
    }
    return true;
  } catch (CUserPolicyManagerException& e) {
    DBG::DebugLogEx(platform::CurrentModuleHandle(), DBG::kLevelFailure, kSource, __LINE__,
                    L"CUserPolicyManager->_OpenDirectoryObject(%s) fail. Error = %d", path, e.GetErrorCode());
    return false;
  }
}

// CUserPolicyManager -----------------------------------------------------------

namespace {

CUserPolicyManagerImpl* NewManagerImpl(int lookup_type, const wchar_t* filter_template, const wchar_t** attributes,
                                       int attribute_count, bool escape, int timeout, int maximum, int line) {
  CUserPolicyManagerImpl* impl = new (std::nothrow)
      CUserPolicyManagerImpl(lookup_type, filter_template, attributes, attribute_count, escape, timeout, maximum);
  if (impl == nullptr) throw CUserPolicyManagerException(EX_USER_POLICY_MGR_OUT_OF_MEMORY, kSource, line);
  return impl;
}

}  // namespace

CUserPolicyManager::CUserPolicyManager(const wchar_t* filter_template, const wchar_t** attributes,
                                       int attribute_count, bool escape_filter_value, int cache_timeout_seconds,
                                       int cache_maximum)
    : m_pImpl(NewManagerImpl(kLookupSearch, filter_template, attributes, attribute_count, escape_filter_value,
                             cache_timeout_seconds, cache_maximum, __LINE__)) {}

CUserPolicyManager::CUserPolicyManager(int lookup_type, const wchar_t** attributes, int attribute_count,
                                       int cache_timeout_seconds, int cache_maximum)
    : m_pImpl(NewManagerImpl(lookup_type, nullptr, attributes, attribute_count, false, cache_timeout_seconds,
                             cache_maximum, __LINE__)) {}

CUserPolicyManager::CUserPolicyManager(const CUserPolicyManager& other) : m_pImpl(other.m_pImpl) { _AddRef(); }

CUserPolicyManager& CUserPolicyManager::operator=(const CUserPolicyManager& other) {
  if (this != &other) {
    _Free();
    m_pImpl = other.m_pImpl;
    _AddRef();
  }
  return *this;
}

CUserPolicyManager::~CUserPolicyManager() { _Free(); }

CDSObjectInfo CUserPolicyManager::GetDSObjectInfo(const wchar_t* key, bool& fetchedFromDirectory) {
  if (m_pImpl == nullptr) throw CUserPolicyManagerException(EX_USER_POLICY_MGR_EMPTY_HANDLE, kSource, __LINE__);
  if (key == nullptr) throw CUserPolicyManagerException(EX_USER_POLICY_MGR_NULL_KEY, kSource, __LINE__);
  return m_pImpl->GetDSObjectInfo(key, fetchedFromDirectory);
}

void CUserPolicyManager::_AddRef() {
  if (m_pImpl != nullptr) InterlockedIncrement(&m_pImpl->m_refCount);
}

void CUserPolicyManager::_Free() {
  if (m_pImpl == nullptr) return;
  if (InterlockedDecrement(&m_pImpl->m_refCount) == 0) delete m_pImpl;
  m_pImpl = nullptr;
}
