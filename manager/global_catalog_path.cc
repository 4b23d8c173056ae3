#include "manager/global_catalog_path.h"

wchar_t g_wszGlobalCatalogPath[kGlobalCatalogPathLength] = {};
