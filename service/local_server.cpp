// The command line registered for a COM class's local server.
#include <memory>
#include <string>

#include "qvtr/service.h"
#include "win32/api.h"

namespace {

// The class identifier of `szProgId` as "{...}" text, or the failure as the last error.
bool ClassIdText(const char* szProgId, std::string& text) {
    const Win32Api& api = Api();
    const int nWide = api.MultiByteToWideChar(CP_ACP, 0, szProgId, -1, nullptr, 0);
    if (nWide <= 0) {
        return false;
    }
    std::unique_ptr<WCHAR[]> wideProgId = std::make_unique<WCHAR[]>(static_cast<size_t>(nWide));
    if (api.MultiByteToWideChar(CP_ACP, 0, szProgId, -1, wideProgId.get(), nWide) <= 0) {
        return false;
    }
    CLSID clsid{};
    HRESULT hr = api.CLSIDFromProgID(wideProgId.get(), &clsid);
    if (FAILED(hr)) {
        api.SetLastError(static_cast<DWORD>(hr));
        return false;
    }
    LPOLESTR pszClsid = nullptr;
    hr = api.StringFromCLSID(clsid, &pszClsid);
    if (FAILED(hr) || pszClsid == nullptr) {
        api.SetLastError(static_cast<DWORD>(FAILED(hr) ? hr : E_OUTOFMEMORY));
        return false;
    }
    char szClsid[64] = "";
    const int nText = api.WideCharToMultiByte(CP_ACP, 0, pszClsid, -1, szClsid, sizeof szClsid, nullptr, nullptr);
    api.CoTaskMemFree(pszClsid);
    if (nText <= 0) {
        return false;
    }
    text = szClsid;
    return true;
}

}  // namespace

DWORD GetLocalServerPath(const char* szProgId, char* pBuffer, DWORD dwBufferSize) {
    const Win32Api& api = Api();
    if (pBuffer != nullptr && dwBufferSize > 0) {
        pBuffer[0] = '\0';
    }
    if (szProgId == nullptr || *szProgId == '\0' || pBuffer == nullptr) {
        api.SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }

    std::string clsid;
    if (!ClassIdText(szProgId, clsid)) {
        return 0;
    }

    HKEY hClsidRoot = nullptr;
    HKEY hClass = nullptr;
    HKEY hServer = nullptr;
    DWORD dwResult = 0;
    LONG lResult = api.RegOpenKeyA(HKEY_CLASSES_ROOT, "CLSID", &hClsidRoot);
    if (lResult == ERROR_SUCCESS) {
        lResult = api.RegOpenKeyA(hClsidRoot, clsid.c_str(), &hClass);
    }
    if (lResult == ERROR_SUCCESS) {
        lResult = api.RegOpenKeyA(hClass, "LocalServer32", &hServer);
    }
    if (lResult == ERROR_SUCCESS) {
        DWORD dwType = REG_NONE;
        DWORD dwSize = dwBufferSize;
        lResult = api.RegQueryValueExA(hServer, nullptr, nullptr, &dwType, reinterpret_cast<LPBYTE>(pBuffer), &dwSize);
        if (lResult == ERROR_SUCCESS && dwType == REG_SZ) {
            dwResult = dwSize;
        } else if (lResult == ERROR_SUCCESS) {
            lResult = ERROR_INVALID_DATA;
        }
    }
    if (hServer != nullptr) {
        api.RegCloseKey(hServer);
    }
    if (hClass != nullptr) {
        api.RegCloseKey(hClass);
    }
    if (hClsidRoot != nullptr) {
        api.RegCloseKey(hClsidRoot);
    }
    if (dwResult == 0) {
        api.SetLastError(static_cast<DWORD>(lResult));
    }
    return dwResult;
}
