// The library's entry point: it only turns off per-thread notifications. It
// neither starts nor stops the module; the host does that through
// IPC_SERVER_Init and IPC_SERVER_Deinit.
#include "platform/module.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(module);
  return TRUE;
}
