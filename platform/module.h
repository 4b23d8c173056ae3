// The module (shared library) the code runs in: DllMain notification codes,
// DisableThreadLibraryCalls, and a handle naming the module.
//
// On Windows the constants and DisableThreadLibraryCalls come from
// <windows.h>; elsewhere from "platform/posix/module_posix.h", where
// DisableThreadLibraryCalls does nothing (there are no per-thread
// notifications to turn off) and returns TRUE.
#ifndef USERPOLICY_PLATFORM_MODULE_H_
#define USERPOLICY_PLATFORM_MODULE_H_

#include "platform/types.h"

#if defined(_WIN32)
#include <windows.h>
extern "C" IMAGE_DOS_HEADER __ImageBase;
#else
#include "platform/posix/module_posix.h"
#endif

namespace platform {

// A handle identifying the module (DLL or shared object) that contains the
// platform layer, i.e. the module of the caller: the same value for every
// call from the same module, different for different modules. Never null.
// Thread-safe. On Windows it is the module's base address (its HMODULE);
// elsewhere the load address of the shared object, which serves only as an
// identifier.
#if defined(_WIN32)
inline HMODULE CurrentModuleHandle() { return reinterpret_cast<HMODULE>(&__ImageBase); }
#else
HMODULE CurrentModuleHandle();
#endif

}  // namespace platform

// The library's entry point, defined by the module. Windows calls it when the
// library is loaded and unloaded; elsewhere the platform layer calls it from
// the shared object's constructor and destructor with DLL_PROCESS_ATTACH and
// DLL_PROCESS_DETACH, and never for threads.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);

#endif  // USERPOLICY_PLATFORM_MODULE_H_
