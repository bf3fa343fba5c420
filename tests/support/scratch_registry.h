// The real registry of the backend (the POSIX store, or Wine's registry) with
// the predefined roots redirected into a scratch key of this process, so a
// test can describe any machine without touching the real one. While it lives,
// every Reg* call is recorded and every handle counted, and GetVersionExA /
// GetVersion answer from a version record of the test's choosing (NT 5.1 build
// 2600 until a Set* helper is called). One at a time.
//
// Only what the real registry cannot show is added on top: remote machines
// (AllowRemoteMachine) and the Windows 95 family's RegDeleteKeyA removing a
// whole tree. A failing call is the seam's FaultInjector's.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "qvtr/win32.h"
#include "win32/api.h"

namespace testing_support {

class ScratchRegistry {
public:
    ScratchRegistry();
    ~ScratchRegistry();
    ScratchRegistry(const ScratchRegistry&) = delete;
    ScratchRegistry& operator=(const ScratchRegistry&) = delete;

    void SetVersion(DWORD platformId, DWORD major, DWORD minor, DWORD build, const std::string& servicePack = "");
    void SetNt351();        // 3.51 build 1057
    void SetNt40();         // 4.0 build 1381, Service Pack 6
    void SetWindows2000();  // 5.0 build 2195
    void SetWindows98();    // 4.10.2222 " A", the Windows 95 family

    // `path` is below `root`; missing keys on the way are created.
    void PutKey(HKEY root, const std::string& path);
    void PutValue(HKEY root, const std::string& path, const std::string& name, DWORD type, const void* data,
                  size_t size);
    void PutString(HKEY root, const std::string& path, const std::string& name, const std::string& text,
                   DWORD type = REG_SZ);
    bool HasKey(HKEY root, const std::string& path) const;

    void SetCitrixProductName(const std::string& productName);
    void SetForcingValue(const std::string& name, DWORD number);

    // RegConnectRegistryA reaches the scratch tree for "", null and these names
    // (spelt as given, with or without the leading backslashes).
    void AllowRemoteMachine(const std::string& name);

    // The calls of these functions (all Reg* ones when none is named) in order, as
    // "Function Key", "Function Key:Name" or "Function Key#Index:Name"; the key is
    // a full path ("HKCU\\Software\\X"), the name a value's or an enumeration's.
    std::vector<std::string> RegistryCallTexts(const std::vector<std::string>& functions = {}) const;
    void ClearCalls();

    size_t BadCloses() const;
    size_t LiveHandles() const;

    struct State;

private:
    ApiOverride m_override;
    std::unique_ptr<State> m_state;
};

}  // namespace testing_support
