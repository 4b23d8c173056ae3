// up_version: the library's version, as the build names it.
#include "capi/userpolicy.h"

#ifndef USERPOLICY_VERSION
#error "the build defines USERPOLICY_VERSION (the project's version) for this file"
#endif

const char* up_version(void) { return USERPOLICY_VERSION; }
