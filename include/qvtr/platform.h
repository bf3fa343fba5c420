// The operating-system version, the terminal-server tests and the identity of
// the calling terminal session.
#pragma once

#include <atomic>
#include <cstdint>

#include "qvtr/export.h"
#include "qvtr/win32.h"

// The shared settings key of the product family, relative to HKEY_LOCAL_MACHINE
// (and HKEY_CURRENT_USER for the language): the "WinFrame" and "MetaFrame"
// forcing values and the Language sub-key live here.
#define QVTR_COMMON_SETTINGS_KEY "Software\\Quillon\\Common"

// The Windows version, taken once at construction, and the terminal-server
// tests, each worked out on first use and then cached.
class QVTR_API COsVersionInfo {
public:
    COsVersionInfo();
    virtual ~COsVersionInfo();
    COsVersionInfo(const COsVersionInfo&) = delete;
    COsVersionInfo& operator=(const COsVersionInfo&) = delete;

    bool IsWinFrame();
    bool IsMetaFrame();
    bool IsTerminalServer();
    bool IsMultiUser();

    OSVERSIONINFOA m_osvi;
    // Each known flag is published after its result, so a reader that sees the
    // flag set also sees the result. Both are one-byte atomics: threads that work
    // out the same test at once store the same answer without a data race.
    std::atomic<bool> m_bWinFrame;
    std::atomic<bool> m_bWinFrameKnown;
    std::atomic<bool> m_bMetaFrame;
    std::atomic<bool> m_bMetaFrameKnown;
    std::atomic<bool> m_bTerminalServer;
    std::atomic<bool> m_bTerminalServerKnown;
};

// The module's shared instance, constructed at load after the module object.
extern QVTR_API COsVersionInfo g_OsVersionInfo;

// 1 when the running system has the Terminal Server suite; 0 otherwise.
QVTR_API DWORD HasTerminalServerSuite();
// 1 when "ProductSuite" of ProductOptions lists `name`; 0 otherwise.
QVTR_API DWORD IsInProductSuite(const char* name);

// ---- Terminal session identity -------------------------------------------------

// Which terminal-server interface named the session.
enum class SessionPlatform : uint32_t {
    None = 0,    // single-user machine, no binding, or no interface answered
    Wts = 1,     // Windows Terminal Services ("WTSAPI32.DLL")
    Citrix = 2,  // Citrix server API ("WFAPI.DLL")
};

// Room for a client name of at most 50 characters and its NUL.
constexpr DWORD QVTR_CLIENT_NAME_SIZE = 51;

// What QuerySessionIdentity fills in. Callers zero the whole record first.
struct SessionIdentity {
    DWORD m_dwSessionId;                         // 0 is the console session
    SessionPlatform m_ePlatform;                 // which interface answered
    char m_szClientName[QVTR_CLIENT_NAME_SIZE];  // client machine, or this machine's name
};

// The query, free and message functions of both interfaces: the Citrix ones take
// the same arguments in the same order as their Terminal Services namesakes.
typedef qvtr::BOOL(QVTR_WINAPI* PFN_QUERY_SESSION_INFORMATION)(HANDLE hServer, DWORD sessionId, int infoClass,
                                                               LPSTR* ppBuffer, DWORD* pBytesReturned);
typedef void(QVTR_WINAPI* PFN_FREE_MEMORY)(PVOID pMemory);
typedef qvtr::BOOL(QVTR_WINAPI* PFN_SEND_MESSAGE)(HANDLE hServer, DWORD sessionId, LPSTR pTitle, DWORD titleLength,
                                                  LPSTR pMessage, DWORD messageLength, DWORD style, DWORD timeout,
                                                  DWORD* pResponse, qvtr::BOOL bWait);

// The run-time binding of "WTSAPI32.DLL" and "WFAPI.DLL". Which of them is loaded
// follows from the terminal-server tests of g_OsVersionInfo. Not thread-safe: one
// thread at a time uses an object.
class QVTR_API CWMU {
public:
    CWMU();
    virtual ~CWMU();
    CWMU(const CWMU&) = delete;
    CWMU& operator=(const CWMU&) = delete;

    // Loads what the machine calls for (once per object) and looks the functions
    // up again. False only when a loaded library lacks one of its three functions.
    bool Open();
    // Releases both libraries; the function slots stay filled.
    void Close();
    // Asks Citrix first, then Terminal Services; call only after Open returned true.
    // `clientName` receives at most clientNameSize - 1 characters and a NUL. Always 1.
    DWORD GetSessionInfo(DWORD& sessionId, char* clientName, DWORD clientNameSize, SessionPlatform& platform);

    HMODULE m_hWtsApi;  // "WTSAPI32.DLL", null when not loaded
    HMODULE m_hWfApi;   // "WFAPI.DLL", null when not loaded

    // Module-wide, shared by every object: filled by each Open that finds its
    // library loaded, never cleared.
    static PFN_QUERY_SESSION_INFORMATION s_pfnWTSQuerySessionInformationA;
    static PFN_FREE_MEMORY s_pfnWTSFreeMemory;
    static PFN_SEND_MESSAGE s_pfnWTSSendMessageA;
    static PFN_QUERY_SESSION_INFORMATION s_pfnWFQuerySessionInformationA;
    static PFN_FREE_MEMORY s_pfnWFFreeMemory;
    static PFN_SEND_MESSAGE s_pfnWFSendMessageA;
};

// Names the calling session. On a single-user machine: `singleUserSessionId`,
// SessionPlatform::None and the computer name. On a multi-user machine: what
// `wmu` finds, or session 0 and the computer name when a library is incomplete.
// With `slashPrefix` the client name becomes "/" and its first 49 characters.
QVTR_API void QuerySessionIdentity(CWMU& wmu, DWORD singleUserSessionId, bool slashPrefix, SessionIdentity& identity);
