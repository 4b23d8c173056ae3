// Runs the module's entry point when the shared object is loaded and
// unloaded, as Windows does for a DLL.
#include "platform/module.h"

namespace {

__attribute__((constructor)) void OnLoad() { DllMain(platform::CurrentModuleHandle(), DLL_PROCESS_ATTACH, nullptr); }

__attribute__((destructor)) void OnUnload() {
  DllMain(platform::CurrentModuleHandle(), DLL_PROCESS_DETACH, nullptr);
}

}  // namespace
