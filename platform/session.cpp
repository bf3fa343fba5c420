// The identity of the calling terminal session, through the Citrix server API
// ("WFAPI.DLL") or the Windows Terminal Services API ("WTSAPI32.DLL"), both
// bound at run time: neither exists on a single-user machine.
#include <cstring>

#include "qvtr/module.h"
#include "qvtr/platform.h"
#include "win32/api.h"

PFN_QUERY_SESSION_INFORMATION CWMU::s_pfnWTSQuerySessionInformationA = nullptr;
PFN_FREE_MEMORY CWMU::s_pfnWTSFreeMemory = nullptr;
PFN_SEND_MESSAGE CWMU::s_pfnWTSSendMessageA = nullptr;
PFN_QUERY_SESSION_INFORMATION CWMU::s_pfnWFQuerySessionInformationA = nullptr;
PFN_FREE_MEMORY CWMU::s_pfnWFFreeMemory = nullptr;
PFN_SEND_MESSAGE CWMU::s_pfnWFSendMessageA = nullptr;

namespace {

// Both interfaces take the Terminal Services conventions.
HANDLE const kCurrentServer = nullptr;     // WTS_CURRENT_SERVER_HANDLE
const DWORD kCurrentSession = 0xFFFFFFFF;  // WTS_CURRENT_SESSION
const int kSessionIdClass = 4;             // WTSSessionId
const int kClientNameClass = 10;           // WTSClientName

template <typename Function>
Function BindExport(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(Api().GetProcAddress(module, name)));
}

// Length of a text that may lack its NUL within `limit` bytes.
size_t BoundedLength(const char* text, size_t limit) {
    const void* nul = std::memchr(text, '\0', limit);
    return nul ? static_cast<size_t>(static_cast<const char*>(nul) - text) : limit;
}

// Copies at most size - 1 characters of `text` and a NUL: longer names are cut.
void CopyName(char* dest, DWORD size, const char* text, size_t length) {
    if (size == 0) {
        return;
    }
    if (length > size - 1) {
        length = size - 1;
    }
    std::memcpy(dest, text, length);
    dest[length] = '\0';
}

// A name that does not fit is refused by GetComputerNameA, which leaves the
// buffer empty; the last byte is forced to NUL whatever the call wrote.
void ComputerNameInto(char* dest, DWORD size) {
    if (size == 0) {
        return;
    }
    dest[0] = '\0';
    DWORD length = size;
    Api().GetComputerNameA(dest, &length);
    dest[size - 1] = '\0';
}

// The session ID is the first four bytes of its buffer; a shorter buffer gives
// what bytes it has, the rest zero.
DWORD SessionIdFrom(const char* buffer, DWORD bytes) {
    DWORD id = 0;
    if (buffer != nullptr) {
        std::memcpy(&id, buffer, bytes < sizeof id ? bytes : sizeof id);
    }
    return id;
}

// The client name's text, read no further than the byte count that came with it.
void ClientNameFrom(char* dest, DWORD size, const char* buffer, DWORD bytes) {
    CopyName(dest, size, buffer ? buffer : "", buffer ? BoundedLength(buffer, bytes) : 0);
}

unsigned Hex(DWORD value) {
    return static_cast<unsigned>(value);
}

}  // namespace

CWMU::CWMU() : m_hWtsApi(nullptr), m_hWfApi(nullptr) {}

CWMU::~CWMU() {
    Close();
}

bool CWMU::Open() {
    const Win32Api& api = Api();
    if (!g_OsVersionInfo.IsMultiUser()) {
        g_Module.Trace(4, "WMU::Open, Neither on a CITRIX Platform nor on a TSE Platform\n");
        return true;
    }

    // The loader's own code, kept before trace writing can change the last error.
    DWORD wtsLoadError = 0;
    bool wtsLoadFailed = false;
    if (g_OsVersionInfo.IsTerminalServer() && m_hWtsApi == nullptr) {
        g_Module.Trace(4, "WMU::Open, TSE Platform\n");
        m_hWtsApi = api.LoadLibraryA("WTSAPI32.DLL");
        if (m_hWtsApi == nullptr) {
            wtsLoadError = api.GetLastError();
            wtsLoadFailed = true;
        }
    }
    DWORD wfLoadError = 0;
    bool wfLoadFailed = false;
    if ((g_OsVersionInfo.IsMetaFrame() || g_OsVersionInfo.IsWinFrame()) && m_hWfApi == nullptr) {
        g_Module.Trace(4, "WMU::Open, CITRIX Platform\n");
        m_hWfApi = api.LoadLibraryA("WFAPI.DLL");
        if (m_hWfApi == nullptr) {
            wfLoadError = api.GetLastError();
            wfLoadFailed = true;
        }
    }

    bool wtsComplete = true;
    bool wfComplete = true;
    if (m_hWtsApi != nullptr) {
        g_Module.Trace(4, "WMU::Open, WTS DLL loaded\n");
        s_pfnWTSQuerySessionInformationA =
            BindExport<PFN_QUERY_SESSION_INFORMATION>(m_hWtsApi, "WTSQuerySessionInformationA");
        s_pfnWTSFreeMemory = BindExport<PFN_FREE_MEMORY>(m_hWtsApi, "WTSFreeMemory");
        s_pfnWTSSendMessageA = BindExport<PFN_SEND_MESSAGE>(m_hWtsApi, "WTSSendMessageA");
        wtsComplete = s_pfnWTSQuerySessionInformationA && s_pfnWTSFreeMemory && s_pfnWTSSendMessageA;
    } else {
        g_Module.Trace(4, "WMU::Open, LoadLibrary WTS failed %08X\n",
                       Hex(wtsLoadFailed ? wtsLoadError : api.GetLastError()));
    }
    if (m_hWfApi != nullptr) {
        g_Module.Trace(4, "WMU::Open, WF DLL loaded\n");
        s_pfnWFQuerySessionInformationA =
            BindExport<PFN_QUERY_SESSION_INFORMATION>(m_hWfApi, "WFQuerySessionInformationA");
        s_pfnWFFreeMemory = BindExport<PFN_FREE_MEMORY>(m_hWfApi, "WFFreeMemory");
        s_pfnWFSendMessageA = BindExport<PFN_SEND_MESSAGE>(m_hWfApi, "WFSendMessageA");
        wfComplete = s_pfnWFQuerySessionInformationA && s_pfnWFFreeMemory && s_pfnWFSendMessageA;
    } else {
        g_Module.Trace(4, "WMU::Open, LoadLibrary WF failed %08X\n",
                       Hex(wfLoadFailed ? wfLoadError : api.GetLastError()));
    }
    return wtsComplete && wfComplete;
}

void CWMU::Close() {
    if (m_hWtsApi != nullptr) {
        g_Module.Trace(4, "Closing WTS DLL\n");
        Api().FreeLibrary(m_hWtsApi);
        m_hWtsApi = nullptr;
    }
    if (m_hWfApi != nullptr) {
        g_Module.Trace(4, "Closing WF DLL\n");
        Api().FreeLibrary(m_hWfApi);
        m_hWfApi = nullptr;
    }
}

namespace {

// Citrix's answer: the session, and the ICA client's name (the computer's for the
// console, or for a direct ICA session, which `directIca` then says).
void AskCitrix(DWORD& sessionId, char* clientName, DWORD clientNameSize, SessionPlatform& platform, bool& directIca) {
    LPSTR buffer = nullptr;
    DWORD bytes = 0;
    if (CWMU::s_pfnWFQuerySessionInformationA(kCurrentServer, kCurrentSession, kSessionIdClass, &buffer, &bytes)) {
        sessionId = SessionIdFrom(buffer, bytes);
        g_Module.Trace(4, "Called WFQuerySessionInformation for session ID: %s, %08X\n", "Ok", Hex(sessionId));
        CWMU::s_pfnWFFreeMemory(buffer);
        if (sessionId == 0) {
            ComputerNameInto(clientName, clientNameSize);
            g_Module.Trace(4, "Console session, computer name is %s\n", clientName);
        } else {
            buffer = nullptr;
            bytes = 0;
            const BOOL named = CWMU::s_pfnWFQuerySessionInformationA(kCurrentServer, kCurrentSession, kClientNameClass,
                                                                     &buffer, &bytes);
            g_Module.Trace(4, "Called WFQuerySessionInformation for client name: %s\n", named ? "Ok" : "Failed");
            if (named) {
                ClientNameFrom(clientName, clientNameSize, buffer, bytes);
                g_Module.Trace(4, "Client name: %s\n", clientName);
                CWMU::s_pfnWFFreeMemory(buffer);
            } else {
                ComputerNameInto(clientName, clientNameSize);
                g_Module.Trace(4, "Direct ICA session, computer name is %s\n", clientName);
                directIca = true;
            }
        }
        platform = SessionPlatform::Citrix;
    } else {
        g_Module.Trace(4, "Session is not a WF session\n");
    }
}

// Terminal Services' answer: the session and the RDP client's name.
void AskTerminalServices(DWORD& sessionId, char* clientName, DWORD clientNameSize, SessionPlatform& platform) {
    LPSTR buffer = nullptr;
    DWORD bytes = 0;
    if (CWMU::s_pfnWTSQuerySessionInformationA(kCurrentServer, kCurrentSession, kSessionIdClass, &buffer, &bytes)) {
        sessionId = SessionIdFrom(buffer, bytes);
        g_Module.Trace(4, "Called WTSQuerySessionInformation for session ID: %s, %08X\n", "Ok", Hex(sessionId));
        CWMU::s_pfnWTSFreeMemory(buffer);
        if (sessionId == 0) {
            ComputerNameInto(clientName, clientNameSize);
            g_Module.Trace(4, "Console session, computer name is %s\n", clientName);
            platform = SessionPlatform::Wts;
        } else {
            buffer = nullptr;
            bytes = 0;
            const BOOL named = CWMU::s_pfnWTSQuerySessionInformationA(kCurrentServer, kCurrentSession, kClientNameClass,
                                                                      &buffer, &bytes);
            g_Module.Trace(4, "Called WTSQuerySessionInformation for client name: %s\n", named ? "Ok" : "Failed");
            if (!named) {
                return;  // the session ID is the Terminal Services one; name and platform stay
            }
            ClientNameFrom(clientName, clientNameSize, buffer, bytes);
            g_Module.Trace(4, "Client name: %s\n", clientName);
            CWMU::s_pfnWTSFreeMemory(buffer);
            platform = SessionPlatform::Wts;
        }
    } else {
        g_Module.Trace(4, "Session is not a WTS session, try ICA\n");
    }
}

}  // namespace

DWORD CWMU::GetSessionInfo(DWORD& sessionId, char* clientName, DWORD clientNameSize, SessionPlatform& platform) {
    platform = SessionPlatform::None;
    CopyName(clientName, clientNameSize, "", 0);
    bool directIca = false;

    // Citrix first: on a MetaFrame server that is also a Terminal Server, only
    // Citrix knows the ICA client's name.
    if (m_hWfApi != nullptr) {
        AskCitrix(sessionId, clientName, clientNameSize, platform, directIca);
    }
    if (m_hWtsApi == nullptr) {
        return 1;
    }
    // A real Citrix client name, or a Citrix console session, is final.
    if (clientNameSize != 0 && clientName[0] != '\0' && !directIca) {
        return 1;
    }
    AskTerminalServices(sessionId, clientName, clientNameSize, platform);
    return 1;
}

void QuerySessionIdentity(CWMU& wmu, DWORD singleUserSessionId, bool slashPrefix, SessionIdentity& identity) {
    char* name = identity.m_szClientName;
    const DWORD size = sizeof identity.m_szClientName;
    if (!g_OsVersionInfo.IsMultiUser()) {
        identity.m_dwSessionId = singleUserSessionId;
        identity.m_ePlatform = SessionPlatform::None;
        ComputerNameInto(name, size);
        g_Module.Trace(4, "WMU single-user session ID %08X and client name %s\n", Hex(identity.m_dwSessionId), name);
    } else if (wmu.Open()) {
        wmu.GetSessionInfo(identity.m_dwSessionId, name, size, identity.m_ePlatform);
        g_Module.Trace(4, "WMU DLL loaded session ID %08X and client name %s\n", Hex(identity.m_dwSessionId), name);
    } else {
        identity.m_dwSessionId = 0;
        identity.m_ePlatform = SessionPlatform::None;
        ComputerNameInto(name, size);
        g_Module.Trace(4, "WMU DLL not loaded session ID defaults to 0 and client name to %s\n", name);
    }

    if (slashPrefix) {
        // "/" and the first 49 characters of the name: the 51-byte buffer holds no more.
        size_t length = BoundedLength(name, size);
        if (length > size - 2) {
            length = size - 2;
        }
        std::memmove(name + 1, name, length);
        name[0] = '/';
        name[length + 1] = '\0';
    }
}
