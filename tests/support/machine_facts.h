// Ready-made answers of the shared terminal-server tests, for tests of the code
// that asks them (session identity, the tool) rather than of the tests themselves.
#pragma once

#include "qvtr/platform.h"

namespace testing_support {

// g_OsVersionInfo answers as if it had worked these out, for the guard's
// lifetime; the previous cache, known or not, comes back afterwards.
class ScopedMachineFacts {
public:
    ScopedMachineFacts(bool terminalServer, bool metaFrame, bool winFrame) : m_saved(Snapshot()) {
        Apply({terminalServer, true, metaFrame, true, winFrame, true});
    }
    ~ScopedMachineFacts() { Apply(m_saved); }
    ScopedMachineFacts(const ScopedMachineFacts&) = delete;
    ScopedMachineFacts& operator=(const ScopedMachineFacts&) = delete;

private:
    struct Facts {
        bool terminalServer, terminalServerKnown, metaFrame, metaFrameKnown, winFrame, winFrameKnown;
    };
    static Facts Snapshot() {
        const COsVersionInfo& os = g_OsVersionInfo;
        return {os.m_bTerminalServer.load(), os.m_bTerminalServerKnown.load(),
                os.m_bMetaFrame.load(),      os.m_bMetaFrameKnown.load(),
                os.m_bWinFrame.load(),       os.m_bWinFrameKnown.load()};
    }
    static void Apply(const Facts& facts) {
        COsVersionInfo& os = g_OsVersionInfo;
        os.m_bTerminalServer = facts.terminalServer;
        os.m_bTerminalServerKnown = facts.terminalServerKnown;
        os.m_bMetaFrame = facts.metaFrame;
        os.m_bMetaFrameKnown = facts.metaFrameKnown;
        os.m_bWinFrame = facts.winFrame;
        os.m_bWinFrameKnown = facts.winFrameKnown;
    }
    Facts m_saved;
};

}  // namespace testing_support
