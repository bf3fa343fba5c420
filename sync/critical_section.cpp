#include <cstdint>

#include "qvtr/module.h"
#include "qvtr/sync.h"
#include "win32/api.h"

namespace {

// Handles are traced as 32-bit values on every platform; Win32 handles fit.
unsigned HandleBits(HANDLE handle) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
}

}  // namespace

CCriticalSectionAuto::CCriticalSectionAuto(const char* name) {
    m_hMutex = Api().CreateMutexA(nullptr, FALSE, name);
    const DWORD error = Api().GetLastError();
    g_Module.Trace(6, "Mutex %s - %08X: %08X\n", name ? name : "", HandleBits(m_hMutex), static_cast<unsigned>(error));
    if (m_hMutex == nullptr) {
        // The trace may have touched the last error; the caller reads the creation's.
        Api().SetLastError(error);
        return;
    }
    // An abandoned mutex is owned all the same, so the result is not examined.
    Api().WaitForSingleObject(m_hMutex, INFINITE);
    g_Module.Trace(6, "In Critical Section %08X\n", HandleBits(m_hMutex));
}

CCriticalSectionAuto::~CCriticalSectionAuto() {
    Release();
}

void CCriticalSectionAuto::Release() {
    if (m_hMutex == nullptr) {
        return;
    }
    Api().ReleaseMutex(m_hMutex);
    Api().CloseHandle(m_hMutex);
    g_Module.Trace(6, "Mutex %08X released\n", HandleBits(m_hMutex));
    m_hMutex = nullptr;
}

PSECURITY_DESCRIPTOR CreateOpenSecurityDescriptor() {
    PSECURITY_DESCRIPTOR descriptor = Api().LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
    if (descriptor == nullptr) {
        return nullptr;
    }
    if (!Api().InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !Api().SetSecurityDescriptorDacl(descriptor, TRUE, nullptr, FALSE)) {
        Api().LocalFree(descriptor);
        return nullptr;
    }
    return descriptor;
}
