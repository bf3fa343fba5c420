#include "support/handle_ledger.h"

namespace testing_support {

namespace {

HandleLedger* g_ledger = nullptr;
Win32Api g_next;

// Named objects report "already exists" through the last error: keep it.
HANDLE Recorded(HANDLE h, HANDLE failed) {
    const DWORD error = g_next.GetLastError();
    if (h != failed) {
        g_ledger->Record(h);
    }
    g_next.SetLastError(error);
    return h;
}

HANDLE WINAPI LedgerCreateFileA(LPCSTR a, DWORD b, DWORD c, LPSECURITY_ATTRIBUTES d, DWORD e, DWORD f, HANDLE g) {
    return Recorded(g_next.CreateFileA(a, b, c, d, e, f, g), INVALID_HANDLE_VALUE);
}

HANDLE WINAPI LedgerCreateMutexA(LPSECURITY_ATTRIBUTES a, BOOL b, LPCSTR c) {
    return Recorded(g_next.CreateMutexA(a, b, c), nullptr);
}

HANDLE WINAPI LedgerCreateEventA(LPSECURITY_ATTRIBUTES a, BOOL b, BOOL c, LPCSTR d) {
    return Recorded(g_next.CreateEventA(a, b, c, d), nullptr);
}

BOOL WINAPI LedgerOpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
    const BOOL opened = g_next.OpenProcessToken(process, access, token);
    if (opened) {
        Recorded(*token, nullptr);
    }
    return opened;
}

BOOL WINAPI LedgerCloseHandle(HANDLE h) {
    g_ledger->Release(h);
    return g_next.CloseHandle(h);
}

}  // namespace

HandleLedger::HandleLedger() {
    g_next = Api();
    g_ledger = this;
    m_api->CreateFileA = LedgerCreateFileA;
    m_api->CreateMutexA = LedgerCreateMutexA;
    m_api->CreateEventA = LedgerCreateEventA;
    m_api->OpenProcessToken = LedgerOpenProcessToken;
    m_api->CloseHandle = LedgerCloseHandle;
}

HandleLedger::~HandleLedger() {
    g_ledger = nullptr;
}

std::string HandleLedger::Describe() const {
    return std::to_string(Open()) + " handles open, " + std::to_string(m_badCloses) + " bad closes";
}

}  // namespace testing_support
