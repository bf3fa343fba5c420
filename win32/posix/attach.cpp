// Linux has no DLL entry function: the shared library's load and unload call
// the same entry, with the library's own base address as its handle.
#include <dlfcn.h>

#include "qvtr/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID reserved);

namespace {

HINSTANCE OwnHandle() {
    Dl_info info{};
    static const char anchor = 0;
    return dladdr(&anchor, &info) ? static_cast<HINSTANCE>(info.dli_fbase) : nullptr;
}

// Runs before the static destructors of the library (they are the last entry
// of its finalisers), as process detach does on Windows.
__attribute__((constructor)) void ProcessAttach() {
    DllMain(OwnHandle(), DLL_PROCESS_ATTACH, nullptr);
}
__attribute__((destructor)) void ProcessDetach() {
    DllMain(OwnHandle(), DLL_PROCESS_DETACH, nullptr);
}

}  // namespace
