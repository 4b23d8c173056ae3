// DllMain notification codes and DisableThreadLibraryCalls for non-Windows
// builds. Included only through "platform/module.h".
#ifndef USERPOLICY_PLATFORM_POSIX_MODULE_POSIX_H_
#define USERPOLICY_PLATFORM_POSIX_MODULE_POSIX_H_

#include "platform/posix/types_posix.h"

#ifndef DLL_PROCESS_DETACH
#define DLL_PROCESS_DETACH 0
#endif
#ifndef DLL_PROCESS_ATTACH
#define DLL_PROCESS_ATTACH 1
#endif
#ifndef DLL_THREAD_ATTACH
#define DLL_THREAD_ATTACH 2
#endif
#ifndef DLL_THREAD_DETACH
#define DLL_THREAD_DETACH 3
#endif

// Nothing to disable: returns TRUE.
BOOL DisableThreadLibraryCalls(HMODULE module);

#endif  // USERPOLICY_PLATFORM_POSIX_MODULE_POSIX_H_
