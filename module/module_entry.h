// The module's exported start and stop functions, with undecorated names.
//
// A host loads the library, calls IPC_SERVER_Init once when it starts the
// module, calls the lookup operations from any of its threads, and calls
// IPC_SERVER_Deinit once when it stops it; start and stop come from one
// thread at a time. Loading and unloading the library do nothing else.
//
// IPC_SERVER_Init: obtains and zeroes the performance counters, initialises
// COM on the calling thread, finds the Global Catalog and creates the three
// managers. It returns 0 also when no performance object or no Global Catalog
// was obtained (both are only logged); -1 when an error cut start-up short.
// IPC_SERVER_Deinit: releases the managers (handles callers hold stay
// usable), uninitialises COM, gives the performance object back. 0, or -1
// when an error cut it short. The module may be started again after a stop:
// the Global Catalog is looked up again and the managers are rebuilt with
// fresh settings and empty caches.
#ifndef USERPOLICY_MODULE_MODULE_ENTRY_H_
#define USERPOLICY_MODULE_MODULE_ENTRY_H_

#include "platform/export.h"

USERPOLICY_C_EXPORT int IPC_SERVER_Init();
USERPOLICY_C_EXPORT int IPC_SERVER_Deinit();
// Frees a buffer the host got from the module (allocated with new[]); null
// is ignored.
USERPOLICY_C_EXPORT void IPC_SERVER_Free(void* buffer);

// Internal steps of start and stop. UserPolicyManagerInitialize returns 1
// when the Global Catalog was found and the managers were created, else 0.
int UserPolicyManagerInitialize();
void UserPolicyManagerUninitialize();

#endif  // USERPOLICY_MODULE_MODULE_ENTRY_H_
