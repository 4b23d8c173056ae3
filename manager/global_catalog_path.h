// The module-wide Global Catalog path ("GC://host:port"): written once at
// start-up, before any manager reads it, and read without a lock by every
// fetch, which passes it on or puts it in front of a key.
#ifndef USERPOLICY_MANAGER_GLOBAL_CATALOG_PATH_H_
#define USERPOLICY_MANAGER_GLOBAL_CATALOG_PATH_H_

#include <cstddef>

inline constexpr size_t kGlobalCatalogPathLength = 260;

extern wchar_t g_wszGlobalCatalogPath[kGlobalCatalogPathLength];

#endif  // USERPOLICY_MANAGER_GLOBAL_CATALOG_PATH_H_
