// The module's entry point: the loader calls it at process attach and detach.
#include "qvtr/module.h"
#include "win32/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID /*reserved*/) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            g_Module.Init(nullptr, hInstance, nullptr, QVTR_SHORT_NAME);
            break;
        case DLL_PROCESS_DETACH:
            g_Module.Term();
            break;
        default:
            break;
    }
    return TRUE;
}
