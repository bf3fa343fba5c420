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

struct RegistryCall {
    std::string function;  // "RegOpenKeyExA", "GetVersion", ...
    std::string key;       // full key path, e.g. "HKCU\\Software\\X"; empty for version calls
    std::string name;      // value name, or the name an enumeration returned
    bool hasName = false;
    DWORD index = 0;  // enumeration index
    bool hasIndex = false;

    // "Function Key", "Function Key:Name", "Function Key#Index:Name".
    std::string Text() const;
};

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
    void FailVersionQuery(bool fail);

    // `path` is below `root`; missing keys on the way are created.
    void PutKey(HKEY root, const std::string& path);
    void PutValue(HKEY root, const std::string& path, const std::string& name, DWORD type, const void* data,
                  size_t size);
    void PutString(HKEY root, const std::string& path, const std::string& name, const std::string& text,
                   DWORD type = REG_SZ);
    bool HasKey(HKEY root, const std::string& path) const;

    void SetCitrixProductName(const std::string& productName);
    void SetForcingValue(const std::string& name, DWORD number);
    void SetProductSuite(const std::vector<std::string>& suites);

    // RegConnectRegistryA reaches the scratch tree for "", null and these names
    // (spelt as given, with or without the leading backslashes).
    void AllowRemoteMachine(const std::string& name);

    std::vector<RegistryCall> Calls() const;          // version calls included
    std::vector<RegistryCall> RegistryCalls() const;  // Reg* only
    std::vector<std::string> RegistryCallTexts(const std::vector<std::string>& functions = {}) const;
    size_t CountCalls(const std::string& function) const;
    void ClearCalls();

    size_t BadCloses() const;
    size_t LiveHandles() const;

    struct State;

private:
    ApiOverride m_override;
    std::unique_ptr<State> m_state;
};

}  // namespace testing_support
