#include "module/module_entry.h"

#include "manager/global_catalog_path.h"
#include "module/manager_factories.h"
#include "perf/ds_access_perf_object.h"
#include "perf/perf_mon_manager.h"
#include "platform/com.h"
#include "platform/directory.h"
#include "platform/exception.h"
#include "platform/log.h"
#include "platform/module.h"

namespace {

constexpr char kSource[] = "servUserPolicyManager";
constexpr DWORD kPerfCategory = 7;
constexpr DWORD kPerfInstance = 0;

}  // namespace

int UserPolicyManagerInitialize() {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  // Handles of managers stopped earlier are dropped now that no factory call
  // can still be copying them.
  DropRetiredManagers();
  int result = 0;
  HRESULT status = E_FAIL;
  try {
    status = CDirectoryHelper::GetRootGCPath(g_wszGlobalCatalogPath, kGlobalCatalogPathLength);
    if (FAILED(status)) status = CDirectoryHelper::GetGCFromRootDSE(g_wszGlobalCatalogPath, kGlobalCatalogPathLength);
    if (FAILED(status)) {
      DBG::DebugLogEx(platform::CurrentModuleHandle(), DBG::kLevelFailure, kSource, __LINE__,
                      L"UserPolicyManagerInitialize fail. GC not available");
      return 0;
    }
    DBG::DebugLogEx(platform::CurrentModuleHandle(), DBG::kLevelData, kSource, __LINE__, L" == Global Catalog = %s", g_wszGlobalCatalogPath);
    { CUserPolicyManager manager = UserPolicy_GetUserIdentityManager(); }
    { CUserPolicyManager manager = UserPolicy_GetPrimaryGroupIDTOGroupManager(); }
    { CUserPolicyManager manager = UserPolicy_GetGroupMemeberShipManager(); }
    result = 1;
  } catch (OS::CException& e) {
    DBG::DebugLogEx(platform::CurrentModuleHandle(), DBG::kLevelFailure, kSource, __LINE__, L"UserPolicyManagerInitialize fail. Error = %d",
                    e.GetErrorCode());
    result = 0;
  }
  return result;
}

void UserPolicyManagerUninitialize() {
  ReleaseManagers();
  CoUninitialize();
}

int IPC_SERVER_Init() {
  DBG::DebugLogEx(platform::CurrentModuleHandle(), DBG::kLevelEnter, kSource, __LINE__, L"IPC_SERVER_Init()");
  int result = -1;
  const HRESULT hr =
      CQuarnPerfMonManager::Instance()->CreateInstance(kPerfCategory, kPerfInstance, nullptr, &g_pDSAccessPerfObject);
  if (FAILED(hr) || g_pDSAccessPerfObject == nullptr) {
    DBG::DebugLogEx(platform::CurrentModuleHandle(), DBG::kLevelWarning, kSource, __LINE__,
                    L"CQuarnPerfMonManager::Instance()->CreateInstance(g_pDSAccessPerfObject) fail. hr = 0x%x",
                    static_cast<unsigned>(hr));
  } else {
    g_pDSAccessPerfObject->ResetCounters();
  }
  try {
    UserPolicyManagerInitialize();
    result = 0;
  } catch (OS::CException& e) {
    DBG::DebugLogEx(platform::CurrentModuleHandle(), DBG::kLevelFailure, kSource, __LINE__, L"IPC_SERVER_Init: 0x%x, %s",
                    static_cast<unsigned>(e.GetErrorCode()), e.GetErrorMsg().c_str());
  }
  DBG::DebugLogEx(platform::CurrentModuleHandle(), DBG::kLevelLeave, kSource, __LINE__, L"IPC_SERVER_Init()");
  return result;
}

int IPC_SERVER_Deinit() {
  DBG::DebugLogEx(platform::CurrentModuleHandle(), DBG::kLevelEnter, kSource, __LINE__, L"IPC_SERVER_Deinit()");
  int result = -1;
  try {
    UserPolicyManagerUninitialize();
    if (g_pDSAccessPerfObject != nullptr) {
      CQuarnPerfMonManager::Instance()->ReleaseInstance(g_pDSAccessPerfObject);
      g_pDSAccessPerfObject = nullptr;
    }
    result = 0;
  } catch (OS::CException& e) {
    DBG::DebugLogEx(platform::CurrentModuleHandle(), DBG::kLevelFailure, kSource, __LINE__, L"IPC_SERVER_Deinit: 0x%x, %s",
                    static_cast<unsigned>(e.GetErrorCode()), e.GetErrorMsg().c_str());
  }
  DBG::DebugLogEx(platform::CurrentModuleHandle(), DBG::kLevelLeave, kSource, __LINE__, L"IPC_SERVER_Deinit()");
  return result;
}

void IPC_SERVER_Free(void* buffer) {
  if (buffer != nullptr) delete[] static_cast<char*>(buffer);
}
