// Counts the kernel handles the layer opens (files, mutexes, events, tokens) against
// their closes, across the seam. A test asserts Balanced(): nothing leaked,
// nothing closed twice.
//
//   HandleLedger ledger;
//   ... exercise the facility ...
//   EXPECT_TRUE(ledger.Balanced()) << ledger.Describe();
//
// One ledger at a time; it calls through the entries that were in the table
// when it was made, so it stacks on top of other fakes.
#pragma once

#include <set>
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
    int Open() const { return static_cast<int>(m_live.size()); }
    int BadCloses() const { return m_badCloses; }
    bool Balanced() const { return Open() == 0 && m_badCloses == 0; }
    std::string Describe() const;

    // Used by the wrapped entries.
    void Record(HANDLE handle) { m_live.insert(handle); }
    void Release(HANDLE handle) { m_badCloses += m_live.erase(handle) == 0; }

private:
    ApiOverride m_api;
    std::set<HANDLE> m_live;
    int m_badCloses = 0;
};

}  // namespace testing_support
