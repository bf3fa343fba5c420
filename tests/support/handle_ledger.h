// Counts every handle the layer opens against its close, across the seam:
// files, mutexes and events, registry keys, service handles, libraries and
// tokens. A test asserts Balanced() (nothing leaked, nothing closed twice).
//
//   HandleLedger ledger;
//   ... exercise the facility ...
//   EXPECT_TRUE(ledger.Balanced()) << ledger.Describe();
//
// One ledger at a time; it calls through the entries that were in the table
// when it was made, so it stacks on top of other fakes.
#pragma once

#include <map>
#include <string>

#include "win32/api.h"

namespace testing_support {

class HandleLedger {
public:
    HandleLedger();
    ~HandleLedger();
    HandleLedger(const HandleLedger&) = delete;
    HandleLedger& operator=(const HandleLedger&) = delete;

    // Handles opened and not yet closed, and closes of handles not open.
    int Open() const;
    int BadCloses() const { return m_badCloses; }
    bool Balanced() const { return Open() == 0 && m_badCloses == 0; }
    // Opens and closes per kind ("file", "key", "service", ...), for messages.
    std::string Describe() const;
    int Opened(const std::string& kind) const;
    int Closed(const std::string& kind) const;

    // Used by the wrapped entries.
    void Record(const char* kind, const void* handle);
    void Release(const char* kind, const void* handle);

private:
    ApiOverride m_api;
    Win32Api m_next;
    std::map<const void*, std::string> m_live;
    std::map<std::string, int> m_opened;
    std::map<std::string, int> m_closed;
    int m_badCloses = 0;

    friend struct LedgerAccess;
};

}  // namespace testing_support
