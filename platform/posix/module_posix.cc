// The module handle on ELF systems: the load address of the shared object
// (or executable) that contains this code, as dladdr reports it.
#include <dlfcn.h>

#include "platform/module.h"

BOOL DisableThreadLibraryCalls(HMODULE /*module*/) { return TRUE; }

namespace platform {

HMODULE CurrentModuleHandle() {
  static HMODULE const handle = [] {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&CurrentModuleHandle), &info) == 0 ||
        info.dli_fbase == nullptr) {
      // Not reachable for code inside a loaded object; any stable non-null
      // value identifies the module as well.
      return reinterpret_cast<HMODULE>(reinterpret_cast<uintptr_t>(&CurrentModuleHandle));
    }
    return static_cast<HMODULE>(info.dli_fbase);
  }();
  return handle;
}

}  // namespace platform
