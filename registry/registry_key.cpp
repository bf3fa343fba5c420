#include <string>

#include "qvtr/platform.h"
#include "qvtr/registry.h"
#include "win32/api.h"

namespace {

// The class given to every key this module creates.
char g_szKeyClass[] = "Quillon";

// HKEY_CLASSES_ROOT (0x80000000) up to HKEY_DYN_DATA (0x80000006), sign-extended.
bool IsPredefinedKey(HKEY hKey) {
    LONG_PTR nValue = reinterpret_cast<LONG_PTR>(hKey);
    LONG_PTR nFirst = static_cast<LONG_PTR>(static_cast<LONG>(0x80000000));
    return nValue >= nFirst && nValue <= nFirst + 6;
}

}  // namespace

CRegistryKey::CRegistryKey()
    : m_strSubKey(),
      m_hKey(nullptr),
      m_hRootKey(HKEY_LOCAL_MACHINE),
      m_lLastError(ERROR_SUCCESS),
      m_bOwnsHandle(false),
      m_bCreate(false),
      m_strMachine() {}

CRegistryKey::CRegistryKey(HKEY hRoot, const std::string& subKey, bool create, bool queryInfo, bool ownsHandle)
    : CRegistryKey() {
    try {
        Open(hRoot, subKey, create, queryInfo, ownsHandle, true);
    } catch (...) {
        // No destructor runs for an object whose constructor threw: release
        // what the failed opening still holds (a key whose lists could not be
        // read, a remote root) here, whoever was to own it.
        Close();
        throw;
    }
}

CRegistryKey::CRegistryKey(const char* machine, HKEY hRoot, const std::string& subKey, bool create, bool queryInfo,
                           bool ownsHandle)
    : CRegistryKey() {
    if (machine != nullptr) {
        m_strMachine = machine;
    }
    try {
        Open(hRoot, subKey, create, queryInfo, ownsHandle, true);
    } catch (...) {
        Close();
        throw;
    }
}

CRegistryKey::CRegistryKey(const CRegistryKey& other)
    : m_strSubKey(other.m_strSubKey),
      m_hKey(other.m_hKey),
      m_hRootKey(other.m_hRootKey),
      m_lLastError(other.m_lLastError),
      m_bOwnsHandle(true),
      m_bCreate(other.m_bCreate),
      m_strMachine(other.m_strMachine),
      m_itSubKeysBegin(other.m_itSubKeysBegin),
      m_itSubKeysEnd(other.m_itSubKeysEnd),
      m_itValuesBegin(other.m_itValuesBegin),
      m_itValuesEnd(other.m_itValuesEnd) {}

CRegistryKey::~CRegistryKey() {
    if (m_bOwnsHandle) {
        Close();
    }
}

bool CRegistryKey::Open(HKEY hRoot, const std::string& subKey, bool create, bool queryInfo, bool ownsHandle,
                        bool throwOnError) {
    Close();
    m_hKey = nullptr;
    m_hRootKey = hRoot;
    m_strSubKey = subKey;
    m_bOwnsHandle = ownsHandle;
    m_lLastError = ERROR_SUCCESS;
    m_bCreate = create;

    if (EnsureOpen() && queryInfo) {
        QueryInfo();
    }
    if (m_lLastError == ERROR_SUCCESS) {
        return true;
    }
    if (throwOnError) {
        throw static_cast<long>(m_lLastError);
    }
    return false;
}

void CRegistryKey::Close() {
    if (m_hKey != nullptr) {
        Api().RegCloseKey(m_hKey);
        m_hKey = nullptr;
    }
    // A root other than HKEY_LOCAL_MACHINE on a remote key is the connection's
    // handle; a predefined root there was never connected and is not closed.
    // The field keeps the closed handle's value until the next Open.
    if (!m_strMachine.empty() && m_hRootKey != HKEY_LOCAL_MACHINE && !IsPredefinedKey(m_hRootKey)) {
        Api().RegCloseKey(m_hRootKey);
    }
}

bool CRegistryKey::EnsureOpen() {
    m_lLastError = ERROR_SUCCESS;
    if (m_hKey != nullptr) {
        return true;
    }
    if (!m_strMachine.empty()) {
        if (m_hRootKey == HKEY_LOCAL_MACHINE) {
            // The root changes only on success: a failed connection is tried again next time.
            HKEY hRemote = nullptr;
            m_lLastError = Api().RegConnectRegistryA(m_strMachine.c_str(), HKEY_LOCAL_MACHINE, &hRemote);
            if (m_lLastError == ERROR_SUCCESS) {
                m_hRootKey = hRemote;
            }
        } else {
            // Only HKEY_LOCAL_MACHINE is reachable on another machine.
            m_lLastError = ERROR_INVALID_HANDLE;
        }
    }
    if (m_lLastError == ERROR_SUCCESS) {
        HKEY hKey = nullptr;
        if (m_bCreate) {
            DWORD dwDisposition = 0;
            m_lLastError =
                Api().RegCreateKeyExA(m_hRootKey, m_strSubKey.c_str(), 0, g_szKeyClass, REG_OPTION_NON_VOLATILE,
                                      KEY_ALL_ACCESS, nullptr, &hKey, &dwDisposition);
        } else {
            m_lLastError = Api().RegOpenKeyExA(m_hRootKey, m_strSubKey.c_str(), 0, KEY_READ, &hKey);
        }
        if (m_lLastError == ERROR_SUCCESS) {
            m_hKey = hKey;
        }
    }
    return m_lLastError == ERROR_SUCCESS;
}

bool CRegistryKey::QueryInfo() {
    DWORD cSubKeys = 0;
    DWORD cchMaxSubKey = 0;
    DWORD cValues = 0;
    DWORD cchMaxValueName = 0;
    m_lLastError = Api().RegQueryInfoKeyA(m_hKey, nullptr, nullptr, nullptr, &cSubKeys, &cchMaxSubKey, nullptr,
                                          &cValues, &cchMaxValueName, nullptr, nullptr, nullptr);
    if (m_lLastError != ERROR_SUCCESS) {
        return false;
    }
    m_itSubKeysBegin = CRegistryKeyIterator(0, m_hKey, cchMaxSubKey + 1);
    m_itValuesBegin = CRegistryValueIterator(0, m_hKey, cchMaxValueName + 1);
    m_itSubKeysEnd = CRegistryKeyIterator(cSubKeys, m_hKey, cchMaxSubKey + 1);
    m_itValuesEnd = CRegistryValueIterator(cValues, m_hKey, cchMaxValueName + 1);
    return true;
}

LONG CRegistryKey::QueryValue(const std::string& name, CRegistryValue& value) {
    if (EnsureOpen()) {
        m_lLastError = value.Read(m_hKey, name);
    }
    return m_lLastError;
}

LONG CRegistryKey::SetValue(const std::string& name, CRegistryValue& value) {
    if (EnsureOpen()) {
        m_lLastError = value.Write(m_hKey, name);
    }
    return m_lLastError;
}

LONG CRegistryKey::SetValue(const char* name, CRegistryValue& value) {
    return SetValue(std::string(name != nullptr ? name : ""), value);
}

namespace {

// Deletes the key's values from the last to the first; ERROR_NO_MORE_ITEMS once
// the step below index 0 is reached, else the first failure.
LONG DeleteValuesDownwards(HKEY hKey, DWORD cValues, DWORD cchMaxValueName) {
    std::string strName(cchMaxValueName + 1, '\0');
    LONG lResult = ERROR_SUCCESS;
    for (DWORD nIndex = cValues - 1; lResult == ERROR_SUCCESS; --nIndex) {
        DWORD cchName = cchMaxValueName + 1;
        lResult = Api().RegEnumValueA(hKey, nIndex, &strName[0], &cchName, nullptr, nullptr, nullptr, nullptr);
        if (lResult == ERROR_SUCCESS) {
            lResult = Api().RegDeleteValueA(hKey, strName.c_str());
        }
    }
    return lResult;
}

}  // namespace

LONG CRegistryKey::DeleteTree() {
    // The Windows 95 family deletes a key together with everything below it.
    COsVersionInfo osvi;
    if (osvi.m_osvi.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
        m_lLastError = Api().RegDeleteKeyA(m_hRootKey, m_strSubKey.c_str());
        return m_lLastError;
    }

    // The NT family refuses to delete a key that still has sub-keys: empty it
    // first, deepest first. Indexes run downwards so that a deletion never
    // shifts the entries still to come; the step below index 0 asks for entry
    // 0xFFFFFFFF, which the registry answers with ERROR_NO_MORE_ITEMS.
    DWORD cSubKeys = 0;
    DWORD cchMaxSubKey = 0;
    DWORD cValues = 0;
    DWORD cchMaxValueName = 0;
    m_lLastError = Api().RegQueryInfoKeyA(m_hKey, nullptr, nullptr, nullptr, &cSubKeys, &cchMaxSubKey, nullptr,
                                          &cValues, &cchMaxValueName, nullptr, nullptr, nullptr);
    if (m_lLastError != ERROR_SUCCESS) {
        return m_lLastError;
    }

    if (cSubKeys != 0) {
        std::string strName(cchMaxSubKey + 1, '\0');
        for (DWORD nIndex = cSubKeys - 1; m_lLastError == ERROR_SUCCESS; --nIndex) {
            DWORD cchName = cchMaxSubKey + 1;
            FILETIME ftLastWrite;
            m_lLastError =
                Api().RegEnumKeyExA(m_hKey, nIndex, &strName[0], &cchName, nullptr, nullptr, nullptr, &ftLastWrite);
            if (m_lLastError == ERROR_SUCCESS) {
                // Create mode opens the existing sub-key with the access that deleting its values needs.
                CRegistryKey subKey(m_hKey, strName.substr(0, cchName), true, false, true);
                m_lLastError = subKey.DeleteTree();
            }
        }
        if (m_lLastError == ERROR_NO_MORE_ITEMS) {
            m_lLastError = ERROR_SUCCESS;
        }
    }
    if (m_lLastError != ERROR_SUCCESS) {
        return m_lLastError;
    }

    if (cValues != 0 &&
        (m_lLastError = DeleteValuesDownwards(m_hKey, cValues, cchMaxValueName)) != ERROR_NO_MORE_ITEMS) {
        return m_lLastError;
    }

    m_lLastError = Api().RegDeleteKeyA(m_hRootKey, m_strSubKey.c_str());
    return m_lLastError;
}
