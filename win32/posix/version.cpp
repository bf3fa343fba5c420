// Version answers of the emulated machine.
#include <cstring>

#include "win32/posix/posix.h"

namespace posix {

namespace {

// Without a registry description the machine is a single-user NT 5.1.
BOOL WINAPI GetVersionExAImpl(LPOSVERSIONINFOA info) {
    if (info == nullptr || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) &&
                            info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXA))) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    info->dwMajorVersion = 5;
    info->dwMinorVersion = 1;
    info->dwBuildNumber = 2600;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    SetError(ERROR_SUCCESS);
    return TRUE;
}

DWORD WINAPI GetVersionImpl() { return 5u | (1u << 8) | (2600u << 16); }

}  // namespace

void BindVersion(Win32Api& t) {
    t.GetVersionExA = GetVersionExAImpl;
    t.GetVersion = GetVersionImpl;
}

}  // namespace posix
