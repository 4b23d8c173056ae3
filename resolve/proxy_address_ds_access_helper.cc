#include "resolve/proxy_address_ds_access_helper.h"

#include <string>

#include "dsobject/ds_object_info.h"
#include "manager/user_policy_manager.h"
#include "module/manager_factories.h"
#include "platform/crt.h"
#include "platform/exception.h"
#include "platform/log.h"
#include "platform/module.h"
#include "platform/types.h"
#include "resolve/helper_log.h"
#include "resolve/lookup_failure_recorder.h"
#include "resolve/measured_lookup.h"

namespace {

constexpr char kSource[] = "serv_ProxyAddressDSAccessHelper";
constexpr wchar_t kSmtpPrefix[] = L"SMTP:";
constexpr size_t kSmtpPrefixLength = 5;

#define EMAIL_LOG(level, ...) HELPER_LOG(kSource, (level), __VA_ARGS__)

// Copies `address` into the whole buffer (zeros after it) and cuts it to
// capacity - 1 characters.
void CopyToBuffer(const wchar_t* address, wchar_t* buffer, unsigned long capacity) {
  wcsncpy(buffer, address, capacity);
  buffer[capacity - 1] = L'\0';
}

}  // namespace

CProxyAddressDSAccessHelper::CProxyAddressDSAccessHelper() = default;
CProxyAddressDSAccessHelper::~CProxyAddressDSAccessHelper() = default;
CProxyAddressDSAccessHelper& CProxyAddressDSAccessHelper::operator=(const CProxyAddressDSAccessHelper&) {
  return *this;
}

long CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(const wchar_t* szSipAddress, wchar_t* buffer,
                                                              unsigned long capacity) {
  if (szSipAddress == nullptr || buffer == nullptr) return E_INVALIDARG;
  // Nothing can be written into a buffer of no characters.
  if (capacity == 0) return E_INVALIDARG;
  HRESULT result = E_FAIL;
  EMAIL_LOG(DBG::kLevelEnter, L"CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(%s)", szSipAddress);
  try {
    CUserPolicyManager manager = UserPolicy_GetUserIdentityManager();
    CDSObjectInfo user;
    bool fetched = false;
    user = MeasuredLookup<CDSUserAccessCountGuard, CDSUserAccessTimerGuard>(manager, szSipAddress, fetched);

    std::wstring primary;
    std::wstring secondary;
    bool foundInProxyAddresses = false;
    bool foundInMail = false;
    CDSObjectProperty proxyAddresses = user.GetProperty(L"proxyAddresses");
    const int count = proxyAddresses.GetValueCount();
    for (int i = 0; i < count; ++i) {
      _variant_t value = proxyAddresses.GetValue(i);
      if (value.vt != VT_BSTR || value.bstrVal == nullptr || SysStringLen(value.bstrVal) <= kSmtpPrefixLength) {
        continue;
      }
      if (wcsncmp(value.bstrVal, kSmtpPrefix, kSmtpPrefixLength) == 0) {
        primary = value.bstrVal + kSmtpPrefixLength;
        EMAIL_LOG(DBG::kLevelData, L"Found Primary proxyAddresses = %s", primary.c_str());
        break;
      }
      if (secondary.empty() && _wcsnicmp(value.bstrVal, kSmtpPrefix, kSmtpPrefixLength) == 0) {
        secondary = value.bstrVal + kSmtpPrefixLength;
        EMAIL_LOG(DBG::kLevelData, L"Found Secondary proxyAddresses = %s", secondary.c_str());
      }
    }
    if (!primary.empty() || !secondary.empty()) {
      const std::wstring& chosen = !primary.empty() ? primary : secondary;
      CopyToBuffer(chosen.c_str(), buffer, capacity);
      foundInProxyAddresses = true;
      result = S_OK;
      EMAIL_LOG(DBG::kLevelData, L"Email Address = %s (in proxyAddresses)", chosen.c_str());
    }
    if (!foundInProxyAddresses) {
      CDSObjectProperty mail = user.GetProperty(L"mail");
      if (mail.GetValueCount() > 0) {
        _variant_t value = mail.GetValue(0);
        if (value.vt == VT_BSTR && value.bstrVal != nullptr) {
          CopyToBuffer(value.bstrVal, buffer, capacity);
          result = S_OK;
          foundInMail = true;
          EMAIL_LOG(DBG::kLevelData, L"Email Address = %s (in mail)", value.bstrVal);
        }
      }
    }
    if (!foundInProxyAddresses && !foundInMail) {
      EMAIL_LOG(DBG::kLevelData, L"No e-mail address => %s.", szSipAddress);
    }
  } catch (OS::CException& e) {
    LookupFailureRecorder::Record(e);
    EMAIL_LOG(DBG::kLevelFailure,
              L"CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress(szSipAddress = %s) fail. Error = %d",
              szSipAddress, e.GetErrorCode());
    result = E_FAIL;
  }
  EMAIL_LOG(DBG::kLevelLeave, L"CProxyAddressDSAccessHelper::GetEMailAddressBySipAddress() hr=0x%x",
            static_cast<unsigned>(result));
  return result;
}
