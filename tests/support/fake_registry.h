// An in-memory registry and version record behind the seam, for tests.
//
// While a FakeRegistry lives, every Reg* entry of the seam and GetVersionExA /
// GetVersion answer from it; its destructor restores the table. Only one may
// be active at a time (plain function pointers cannot carry state, so the
// entries reach the active instance through a static pointer).
//
// The machine it describes:
//   - a tree of keys (case-insensitive, case-preserving names) under
//     HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and HKEY_USERS; HKEY_CLASSES_ROOT is
//     HKLM\Software\Classes. Typed values, enumerated in the order they were
//     first set; sub-keys enumerated by name.
//   - NT semantics by default: RegDeleteKeyA refuses a key with sub-keys
//     (ERROR_ACCESS_DENIED). With a Windows 95 family version it removes the
//     whole tree, as that family does.
//   - access rights: a key opened with KEY_READ refuses RegSetValueExA and
//     RegDeleteValueA (ERROR_ACCESS_DENIED); handles to a deleted key answer
//     ERROR_KEY_DELETED; unknown or already closed handles ERROR_INVALID_HANDLE.
//   - RegConnectRegistryA reaches this same tree for "", for null and for names
//     given to AllowRemoteMachine ("\\\\" prefix optional); any other name gets
//     ERROR_BAD_NETPATH. The remote root is a handle of its own, to be closed.
//   - a single-user NT 5.1 (build 2600) until a Set* version helper is called.
//
// Every registry call is recorded (function, key path, value or sub-key name,
// index, result) and every handle is kept in a ledger, so tests can assert call
// sequences and that nothing leaked:
//
//     testing_support::FakeRegistry reg;
//     reg.SetNt40();
//     reg.SetCitrixProductName("Citrix MetaFrame");
//     reg.SetProductSuite({"Terminal Server"});
//     reg.ClearCalls();
//     ... code under test ...
//     EXPECT_EQ(reg.RegistryCallTexts(), (std::vector<std::string>{
//         "RegOpenKeyExA HKLM\\System\\CurrentControlSet\\Control\\Citrix",
//         "RegQueryValueExA HKLM\\System\\CurrentControlSet\\Control\\Citrix:ProductName", ...}));
//     EXPECT_EQ(reg.LiveHandles(), 0u);
//
// Key paths in the record start with HKLM, HKCU or HKU and use the caller's
// spelling for keys that were opened by path (the stored spelling for handles).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "qvtr/win32.h"
#include "win32/api.h"

namespace testing_support {

struct RegistryCall {
    std::string function;   // "RegOpenKeyExA", "GetVersionExA", ...
    std::string key;        // full key path, e.g. "HKCU\\Software\\X"; empty for version calls
    std::string name;       // value name, sub-key path opened, or the name an enumeration returned
    bool hasName = false;   // whether `name` applies (the default value has an empty name)
    DWORD index = 0;        // enumeration index (GetVersionExA: the record size it was given)
    bool hasIndex = false;  // whether `index` applies (enumerations only)
    LONG result = 0;        // the Win32 code returned (BOOL for GetVersionExA, 0 for GetVersion)

    // "Function Key" or "Function Key:Name" (enumerations: "Function Key#Index").
    std::string Text() const;
};

class FakeRegistry {
public:
    FakeRegistry();
    ~FakeRegistry();
    FakeRegistry(const FakeRegistry&) = delete;
    FakeRegistry& operator=(const FakeRegistry&) = delete;

    // ---- the version record -------------------------------------------------
    void SetVersion(DWORD platformId, DWORD major, DWORD minor, DWORD build, const std::string& servicePack = "");
    void SetNt351();        // NT 3.51 build 1057: WinFrame's base
    void SetNt40();         // NT 4.0 build 1381, Service Pack 6
    void SetWindows2000();  // NT 5.0 build 2195
    void SetWindows98();    // Windows 98 4.10.2222 " A": platform id 1, GetVersion bit 31
    // The suite mask an OSVERSIONINFOEXA receives (VER_SUITE_TERMINAL and so on).
    void SetSuiteMask(WORD mask);
    // GetVersionExA fails (FALSE, record untouched) while set.
    void FailVersionQuery(bool fail);

    // ---- keys and values ------------------------------------------------------
    // `path` is below `root` ("Software\\X"); missing keys on the way are created.
    void PutKey(HKEY root, const std::string& path);
    void PutValue(HKEY root, const std::string& path, const std::string& name, DWORD type, const void* data,
                  size_t size);
    // A REG_SZ (or the given string type) stored with its terminating NUL.
    void PutString(HKEY root, const std::string& path, const std::string& name, const std::string& text,
                   DWORD type = REG_SZ);
    void PutDword(HKEY root, const std::string& path, const std::string& name, DWORD number);
    // A REG_MULTI_SZ: each entry with its NUL, then the list's closing NUL.
    void PutMultiString(HKEY root, const std::string& path, const std::string& name,
                        const std::vector<std::string>& entries);
    void RemoveKey(HKEY root, const std::string& path);  // with everything below it

    bool HasKey(HKEY root, const std::string& path) const;
    bool HasValue(HKEY root, const std::string& path, const std::string& name) const;
    // The stored bytes and type of a value; false when it does not exist.
    bool GetValue(HKEY root, const std::string& path, const std::string& name, std::string* bytes,
                  DWORD* type = nullptr) const;
    std::vector<std::string> SubKeyNames(HKEY root, const std::string& path) const;
    std::vector<std::string> ValueNames(HKEY root, const std::string& path) const;

    // ---- ready-made machine facts --------------------------------------------
    // "ProductName" under HKLM\System\CurrentControlSet\Control\Citrix.
    void SetCitrixProductName(const std::string& productName);
    // A forcing value ("WinFrame", "MetaFrame") under HKLM\<common settings key>.
    void SetForcingValue(const std::string& name, DWORD number);
    // "ProductSuite" under HKLM\System\CurrentControlSet\Control\ProductOptions.
    void SetProductSuite(const std::vector<std::string>& suites);

    // ---- remote machines -----------------------------------------------------
    void AllowRemoteMachine(const std::string& name);

    // ---- failures --------------------------------------------------------------
    // The next `times` calls of `function` (e.g. "RegQueryInfoKeyA") return
    // `code` without doing anything, after `skip` calls that work normally.
    void FailCall(const std::string& function, LONG code, int skip = 0, int times = 1);

    // ---- the record ------------------------------------------------------------
    std::vector<RegistryCall> Calls() const;          // everything, version calls included
    std::vector<RegistryCall> RegistryCalls() const;  // the Reg* calls only
    // Text() of each Reg* call, optionally only of the functions listed.
    std::vector<std::string> RegistryCallTexts(const std::vector<std::string>& functions = {}) const;
    size_t CountCalls(const std::string& function) const;
    void ClearCalls();

    // ---- the handle ledger -------------------------------------------------------
    size_t Opened() const;       // handles handed out (opens, creates, connects)
    size_t Closed() const;       // live handles closed
    size_t BadCloses() const;    // RegCloseKey of an unknown or already closed handle
    size_t LiveHandles() const;  // Opened() - Closed()
    std::vector<std::string> LiveHandlePaths() const;

    // The active instance, or null.
    static FakeRegistry* Active();

    struct State;

private:
    ApiOverride m_override;
    std::unique_ptr<State> m_state;
};

}  // namespace testing_support
