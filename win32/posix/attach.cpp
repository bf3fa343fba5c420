// Linux has no DLL entry function: the shared library's load and unload call
// the same entry, with the library's own base address as its handle.
#include <dlfcn.h>

#include <cstdlib>

#include "win32/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID reserved);

namespace {

HINSTANCE OwnHandle() {
    Dl_info info{};
    static const char anchor = 0;
    return dladdr(&anchor, &info) ? static_cast<HINSTANCE>(info.dli_fbase) : nullptr;
}

void ProcessDetach() {
    DllMain(OwnHandle(), DLL_PROCESS_DETACH, nullptr);
}

// Runs after the library's static constructors (this file is linked last).
// The detach is registered with the library's own exit handlers, after those of
// its static objects, so it runs before they are destroyed, whether the library
// is unloaded or the process exits, as process detach does on Windows.
__attribute__((constructor)) void ProcessAttach() {
    DllMain(OwnHandle(), DLL_PROCESS_ATTACH, nullptr);
    std::atexit(ProcessDetach);
}

}  // namespace
