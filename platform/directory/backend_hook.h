// Hook of the directory classes: makes another backend than the LDAP one
// answer them (the test-support library's in-memory directory,
// testing/memory_directory.h, through testing/scoped_backend.h). Product
// code installs nothing.
#ifndef USERPOLICY_PLATFORM_DIRECTORY_BACKEND_HOOK_H_
#define USERPOLICY_PLATFORM_DIRECTORY_BACKEND_HOOK_H_

#include "platform/directory/directory_backend.h"

namespace directory::hooks {

// Makes `backend` (not owned; null: the LDAP backend again) the current
// backend and returns the one installed before (null for the LDAP backend).
// Install before the threads that use it start, and restore after they end.
DirectoryBackend* InstallBackend(DirectoryBackend* backend);

}  // namespace directory::hooks

#endif  // USERPOLICY_PLATFORM_DIRECTORY_BACKEND_HOOK_H_
