#include "support/handle_ledger.h"

#include <sstream>

namespace testing_support {

namespace {

HandleLedger* g_ledger = nullptr;
Win32Api g_next;

bool IsPredefinedKey(HKEY key) {
    return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE || key == HKEY_USERS;
}

HANDLE WINAPI LedgerCreateFileA(LPCSTR a, DWORD b, DWORD c, LPSECURITY_ATTRIBUTES d, DWORD e, DWORD f, HANDLE g) {
    HANDLE h = g_next.CreateFileA(a, b, c, d, e, f, g);
    if (h != INVALID_HANDLE_VALUE) {
        g_ledger->Record("handle", h);
    }
    return h;
}

// Named objects report "already exists" through the last error: keep it.
HANDLE Recorded(HANDLE h) {
    const DWORD error = g_next.GetLastError();
    if (h) {
        g_ledger->Record("handle", h);
    }
    g_next.SetLastError(error);
    return h;
}

HANDLE WINAPI LedgerCreateMutexA(LPSECURITY_ATTRIBUTES a, BOOL b, LPCSTR c) {
    return Recorded(g_next.CreateMutexA(a, b, c));
}

HANDLE WINAPI LedgerCreateEventA(LPSECURITY_ATTRIBUTES a, BOOL b, BOOL c, LPCSTR d) {
    return Recorded(g_next.CreateEventA(a, b, c, d));
}

BOOL WINAPI LedgerCloseHandle(HANDLE h) {
    g_ledger->Release("handle", h);
    return g_next.CloseHandle(h);
}

LONG WINAPI LedgerRegOpenKeyExA(HKEY a, LPCSTR b, DWORD c, REGSAM d, PHKEY e) {
    const LONG r = g_next.RegOpenKeyExA(a, b, c, d, e);
    if (r == ERROR_SUCCESS) {
        g_ledger->Record("key", *e);
    }
    return r;
}

LONG WINAPI LedgerRegOpenKeyA(HKEY a, LPCSTR b, PHKEY c) {
    const LONG r = g_next.RegOpenKeyA(a, b, c);
    if (r == ERROR_SUCCESS && !IsPredefinedKey(*c)) {
        g_ledger->Record("key", *c);
    }
    return r;
}

LONG WINAPI LedgerRegCreateKeyExA(HKEY a, LPCSTR b, DWORD c, LPSTR d, DWORD e, REGSAM f, LPSECURITY_ATTRIBUTES g,
                                  PHKEY h, LPDWORD i) {
    const LONG r = g_next.RegCreateKeyExA(a, b, c, d, e, f, g, h, i);
    if (r == ERROR_SUCCESS) {
        g_ledger->Record("key", *h);
    }
    return r;
}

LONG WINAPI LedgerRegConnectRegistryA(LPCSTR a, HKEY b, PHKEY c) {
    const LONG r = g_next.RegConnectRegistryA(a, b, c);
    if (r == ERROR_SUCCESS && !IsPredefinedKey(*c)) {
        g_ledger->Record("key", *c);
    }
    return r;
}

LONG WINAPI LedgerRegCloseKey(HKEY key) {
    if (!IsPredefinedKey(key)) {
        g_ledger->Release("key", key);
    }
    return g_next.RegCloseKey(key);
}

SC_HANDLE WINAPI LedgerOpenSCManagerA(LPCSTR a, LPCSTR b, DWORD c) {
    SC_HANDLE h = g_next.OpenSCManagerA(a, b, c);
    if (h) {
        g_ledger->Record("service", h);
    }
    return h;
}

SC_HANDLE WINAPI LedgerOpenServiceA(SC_HANDLE a, LPCSTR b, DWORD c) {
    SC_HANDLE h = g_next.OpenServiceA(a, b, c);
    if (h) {
        g_ledger->Record("service", h);
    }
    return h;
}

BOOL WINAPI LedgerCloseServiceHandle(SC_HANDLE h) {
    g_ledger->Release("service", h);
    return g_next.CloseServiceHandle(h);
}

HMODULE WINAPI LedgerLoadLibraryA(LPCSTR a) {
    HMODULE h = g_next.LoadLibraryA(a);
    if (h) {
        g_ledger->Record("library", h);
    }
    return h;
}

BOOL WINAPI LedgerFreeLibrary(HMODULE h) {
    g_ledger->Release("library", h);
    return g_next.FreeLibrary(h);
}

BOOL WINAPI LedgerOpenProcessToken(HANDLE a, DWORD b, PHANDLE c) {
    const BOOL ok = g_next.OpenProcessToken(a, b, c);
    if (ok) {
        g_ledger->Record("handle", *c);
    }
    return ok;
}

}  // namespace

HandleLedger::HandleLedger() {
    m_next = Api();
    g_next = m_next;
    g_ledger = this;
    Win32Api& t = *m_api.operator->();
    auto wrap = [](auto& entry, auto wrapper) {
        if (entry) {
            entry = wrapper;
        }
    };
    wrap(t.CreateFileA, LedgerCreateFileA);
    wrap(t.CloseHandle, LedgerCloseHandle);
    wrap(t.RegOpenKeyExA, LedgerRegOpenKeyExA);
    wrap(t.RegOpenKeyA, LedgerRegOpenKeyA);
    wrap(t.RegCreateKeyExA, LedgerRegCreateKeyExA);
    wrap(t.RegConnectRegistryA, LedgerRegConnectRegistryA);
    wrap(t.RegCloseKey, LedgerRegCloseKey);
    wrap(t.OpenSCManagerA, LedgerOpenSCManagerA);
    wrap(t.OpenServiceA, LedgerOpenServiceA);
    wrap(t.CloseServiceHandle, LedgerCloseServiceHandle);
    wrap(t.LoadLibraryA, LedgerLoadLibraryA);
    wrap(t.FreeLibrary, LedgerFreeLibrary);
    wrap(t.OpenProcessToken, LedgerOpenProcessToken);
    wrap(t.CreateMutexA, LedgerCreateMutexA);
    wrap(t.CreateEventA, LedgerCreateEventA);
}

HandleLedger::~HandleLedger() {
    g_ledger = nullptr;
}

void HandleLedger::Record(const char* kind, const void* handle) {
    m_live[handle] = kind;
    ++m_opened[kind];
}

void HandleLedger::Release(const char* kind, const void* handle) {
    if (m_live.erase(handle) == 0) {
        ++m_badCloses;
        return;
    }
    ++m_closed[kind];
}

int HandleLedger::Open() const {
    return static_cast<int>(m_live.size());
}

int HandleLedger::Opened(const std::string& kind) const {
    auto it = m_opened.find(kind);
    return it == m_opened.end() ? 0 : it->second;
}

int HandleLedger::Closed(const std::string& kind) const {
    auto it = m_closed.find(kind);
    return it == m_closed.end() ? 0 : it->second;
}

std::string HandleLedger::Describe() const {
    std::ostringstream out;
    for (const auto& entry : m_opened) {
        out << entry.first << ": " << entry.second << " opened, " << Closed(entry.first) << " closed; ";
    }
    out << m_badCloses << " bad closes";
    return out.str();
}

}  // namespace testing_support
