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
    // flag set also sees the result.
    bool m_bWinFrame;
    std::atomic<bool> m_bWinFrameKnown;
    bool m_bMetaFrame;
    std::atomic<bool> m_bMetaFrameKnown;
    bool m_bTerminalServer;
    std::atomic<bool> m_bTerminalServerKnown;
};

// The module's shared instance, constructed at load after the module object.
extern QVTR_API COsVersionInfo g_OsVersionInfo;

// 1 when the running system has the Terminal Server suite; 0 otherwise.
QVTR_API DWORD HasTerminalServerSuite();
// 1 when "ProductSuite" of ProductOptions lists `name`; 0 otherwise.
QVTR_API DWORD IsInProductSuite(const char* name);
