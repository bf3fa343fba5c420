#include "qvtr/platform.h"
#include "win32/api.h"

COsVersionInfo::COsVersionInfo()
    : m_osvi(),
      m_bWinFrame(false),
      m_bWinFrameKnown(false),
      m_bMetaFrame(false),
      m_bMetaFrameKnown(false),
      m_bTerminalServer(false),
      m_bTerminalServerKnown(false) {
    m_osvi.dwOSVersionInfoSize = sizeof m_osvi;
    // A failure leaves the record zero-filled: platform id 0, which no test takes for NT.
    Api().GetVersionExA(&m_osvi);
}

COsVersionInfo::~COsVersionInfo() = default;
