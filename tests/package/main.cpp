// A user's program: all public headers next to a system header that declares
// BOOL and BYTE, and ordinary names that Win32 headers would take as macros.
#if __has_include(<X11/Xmd.h>)
#include <X11/Xmd.h>
#else
typedef int BOOL;  // as X11/Xmd.h and many other libraries have their own
typedef unsigned char BYTE;
#endif

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "qvtr/localization.h"
#include "qvtr/module.h"
#include "qvtr/platform.h"
#include "qvtr/registry.h"
#include "qvtr/service.h"
#include "qvtr/sync.h"
#include "qvtr/win32.h"

enum class Mode { DELETE, ERROR, CONST, TRUE, FALSE, INFINITE };

static bool FAILED(int code) {
    return code != 0;
}

static int g_nFailures = 0;

static void Check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    g_nFailures += ok ? 0 : 1;
}

int main() {
    int min = std::min(1, 2);
    int max = std::max(1, 2);
    BOOL own = 1;
    Mode mode = Mode::DELETE;
    Check(min == 1 && max == 2 && own && mode != Mode::TRUE, "own names");

    std::string text;
    g_Module.GetErrorText(text, QVTR_E_SERVICE_NOT_STARTED);
    Check(text == "The service could not be started.", "localized error text beside the installed module");
    g_Module.Trace(1, QVTR_TRACE_PREFIX "consumer %d\n", 1);

    {
        CCriticalSectionAuto lock("QvtrConsumer");
        Check(lock.m_hMutex != nullptr, "scoped lock");
    }

    Check(!ServiceKeyExists("") && QvtrGetLastError() == ERROR_INVALID_NAME, "last error after a failed call");

    CRegistryKey key(HKEY_CURRENT_USER, "Software\\QvtrConsumer", true, false, true);
    const char value[] = "hello";
    CRegistryValue stored("Greeting", REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof value);
    Check(key.SetValue("Greeting", stored) == ERROR_SUCCESS, "write a string");
    std::string greeting;
    Check(key.ReadString("Greeting", greeting) == ERROR_SUCCESS && greeting == "hello", "typed read");
    DWORD number = 7;
    Check(key.ReadDword("Greeting", number) == ERROR_UNSUPPORTED_TYPE && number == 7, "typed read, wrong type");
    Check(!FAILED(key.DeleteTree()), "delete the key");

    return g_nFailures == 0 ? 0 : 1;
}
