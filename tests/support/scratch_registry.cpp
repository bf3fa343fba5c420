#include "support/scratch_registry.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>

#include "qvtr/platform.h"
#include "regfile/reg_tree.h"

namespace testing_support {

namespace {

std::string JoinPath(const std::string& base, const char* sub) {
    return sub != nullptr && *sub != '\0' ? base + "\\" + sub : base;
}

}  // namespace

struct ScratchRegistry::State {
    std::recursive_mutex mutex;
    Win32Api next{};
    std::string scratch;
    std::map<HKEY, HKEY> roots;  // predefined root -> its scratch key
    std::map<HKEY, std::string> handles;
    std::vector<std::string> remotes;
    std::vector<std::string> calls;
    size_t badCloses = 0;
    OSVERSIONINFOEXA version{};

    HKEY Root(HKEY hKey) const {
        auto it = roots.find(hKey);
        return it != roots.end() ? it->second : hKey;
    }

    std::string PathOf(HKEY hKey) const {
        static const std::map<HKEY, std::string> names = {{HKEY_LOCAL_MACHINE, "HKLM"},
                                                          {HKEY_CURRENT_USER, "HKCU"},
                                                          {HKEY_USERS, "HKU"},
                                                          {HKEY_CLASSES_ROOT, "HKCR"}};
        auto root = names.find(hKey);
        if (root != names.end()) {
            return root->second;
        }
        auto it = handles.find(hKey);
        return it != handles.end() ? it->second : "?";
    }

    void Record(const char* function, const std::string& key, const char* name, const DWORD* index) {
        calls.push_back(std::string(function) + " " + key + (index ? "#" + std::to_string(*index) : "") +
                        (name ? std::string(":") + name : ""));
    }

    LONG Track(LONG code, PHKEY result, const std::string& path) {
        if (code == ERROR_SUCCESS && result != nullptr) {
            handles[*result] = path;
        }
        return code;
    }

    LONG Connect(LPCSTR machine, HKEY hKey, PHKEY result) {
        const char* bare = machine != nullptr ? machine + std::strspn(machine, "\\") : "";
        if (*bare != '\0' && std::find(remotes.begin(), remotes.end(), bare) == remotes.end()) {
            return ERROR_BAD_NETPATH;
        }
        return Track(next.RegOpenKeyExA(Root(hKey), "", 0, KEY_ALL_ACCESS, result), result, PathOf(hKey));
    }

    LONG Close(HKEY hKey) {
        if (roots.count(hKey) != 0) {
            return ERROR_SUCCESS;
        }
        if (handles.erase(hKey) == 0) {
            ++badCloses;
            return ERROR_INVALID_HANDLE;
        }
        return next.RegCloseKey(hKey);
    }

    // Below the seam, unrecorded: the test's own view of the scratch tree.
    HKEY Open(HKEY root, const std::string& path, bool create) const {
        HKEY hKey = nullptr;
        LONG code = create ? next.RegCreateKeyExA(Root(root), path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                                  &hKey, nullptr)
                           : next.RegOpenKeyExA(Root(root), path.c_str(), 0, KEY_ALL_ACCESS, &hKey);
        return code == ERROR_SUCCESS ? hKey : nullptr;
    }

    LONG DeleteTree(HKEY parent, const std::string& path) const {
        return regfile::DeleteTree(Root(parent), path, next);
    }
};

namespace {

ScratchRegistry::State* g_state = nullptr;

// The body of every recorded Reg* function: `call` on the real registry with
// the scratch roots in place of the predefined ones. `key`, the key's path, is
// in scope for `call` and `name`.
#define SCRATCH_FORWARD(function, path, name, index, call)      \
    std::lock_guard<std::recursive_mutex> lock(g_state->mutex); \
    ScratchRegistry::State& st = *g_state;                      \
    const std::string key = path;                               \
    const LONG code = call;                                     \
    st.Record(function, key, name, index);                      \
    return code

const char* NameOf(const char* name) {
    return name != nullptr ? name : "";
}

LONG WINAPI ConnectRegistry(LPCSTR machine, HKEY hKey, PHKEY result) {
    SCRATCH_FORWARD("RegConnectRegistryA", st.PathOf(hKey), NameOf(machine), nullptr,
                    st.Connect(machine, hKey, result));
}

LONG WINAPI CreateKey(HKEY hKey, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options, REGSAM access,
                      LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition) {
    SCRATCH_FORWARD("RegCreateKeyExA", JoinPath(st.PathOf(hKey), subKey), nullptr, nullptr,
                    st.Track(st.next.RegCreateKeyExA(st.Root(hKey), subKey, reserved, keyClass, options, access,
                                                     security, result, disposition),
                             result, key));
}

LONG WINAPI OpenKeyEx(HKEY hKey, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    SCRATCH_FORWARD("RegOpenKeyExA", JoinPath(st.PathOf(hKey), subKey), nullptr, nullptr,
                    st.Track(st.next.RegOpenKeyExA(st.Root(hKey), subKey, options, access, result), result, key));
}

LONG WINAPI OpenKey(HKEY hKey, LPCSTR subKey, PHKEY result) {
    SCRATCH_FORWARD(
        "RegOpenKeyA", JoinPath(st.PathOf(hKey), subKey), nullptr, nullptr,
        st.Track(st.next.RegOpenKeyExA(st.Root(hKey), NameOf(subKey), 0, KEY_ALL_ACCESS, result), result, key));
}

LONG WINAPI CloseKey(HKEY hKey) {
    SCRATCH_FORWARD("RegCloseKey", st.PathOf(hKey), nullptr, nullptr, st.Close(hKey));
}

LONG WINAPI QueryInfoKey(HKEY hKey, LPSTR keyClass, LPDWORD cchClass, LPDWORD reserved, LPDWORD cSubKeys,
                         LPDWORD cchMaxSubKey, LPDWORD cchMaxClass, LPDWORD cValues, LPDWORD cchMaxValueName,
                         LPDWORD cbMaxValueData, LPDWORD cbSecurity, PFILETIME lastWrite) {
    SCRATCH_FORWARD(
        "RegQueryInfoKeyA", st.PathOf(hKey), nullptr, nullptr,
        st.next.RegQueryInfoKeyA(st.Root(hKey), keyClass, cchClass, reserved, cSubKeys, cchMaxSubKey, cchMaxClass,
                                 cValues, cchMaxValueName, cbMaxValueData, cbSecurity, lastWrite));
}

LONG WINAPI QueryValue(HKEY hKey, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD cbData) {
    SCRATCH_FORWARD("RegQueryValueExA", st.PathOf(hKey), NameOf(name), nullptr,
                    st.next.RegQueryValueExA(st.Root(hKey), name, reserved, type, data, cbData));
}

LONG WINAPI EnumValue(HKEY hKey, DWORD index, LPSTR name, LPDWORD cchName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD cbData) {
    SCRATCH_FORWARD("RegEnumValueA", st.PathOf(hKey), code == ERROR_SUCCESS ? name : nullptr, &index,
                    st.next.RegEnumValueA(st.Root(hKey), index, name, cchName, reserved, type, data, cbData));
}

LONG WINAPI EnumKey(HKEY hKey, DWORD index, LPSTR name, LPDWORD cchName, LPDWORD reserved, LPSTR keyClass,
                    LPDWORD cchClass, PFILETIME lastWrite) {
    SCRATCH_FORWARD(
        "RegEnumKeyExA", st.PathOf(hKey), code == ERROR_SUCCESS ? name : nullptr, &index,
        st.next.RegEnumKeyExA(st.Root(hKey), index, name, cchName, reserved, keyClass, cchClass, lastWrite));
}

LONG WINAPI SetValue(HKEY hKey, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD cbData) {
    SCRATCH_FORWARD("RegSetValueExA", st.PathOf(hKey), NameOf(name), nullptr,
                    st.next.RegSetValueExA(st.Root(hKey), name, reserved, type, data, cbData));
}

LONG WINAPI DeleteValue(HKEY hKey, LPCSTR name) {
    SCRATCH_FORWARD("RegDeleteValueA", st.PathOf(hKey), NameOf(name), nullptr,
                    st.next.RegDeleteValueA(st.Root(hKey), name));
}

LONG WINAPI DeleteKey(HKEY hKey, LPCSTR subKey) {
    // The Windows 95 family removes the whole tree; NT refuses a key with sub-keys.
    SCRATCH_FORWARD("RegDeleteKeyA", JoinPath(st.PathOf(hKey), subKey), nullptr, nullptr,
                    st.version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS
                        ? st.DeleteTree(hKey, NameOf(subKey))
                        : st.next.RegDeleteKeyA(st.Root(hKey), subKey));
}

BOOL WINAPI GetVersionEx(LPOSVERSIONINFOA info) {
    std::lock_guard<std::recursive_mutex> lock(g_state->mutex);
    ScratchRegistry::State& st = *g_state;
    const DWORD size = info != nullptr ? info->dwOSVersionInfoSize : 0;
    BOOL ok = FALSE;
    if (size == sizeof(OSVERSIONINFOA) || size == sizeof(OSVERSIONINFOEXA)) {
        OSVERSIONINFOEXA record = st.version;
        record.dwOSVersionInfoSize = size;
        std::memcpy(info, &record, size);
        ok = TRUE;
    }
    st.Record("GetVersionExA", "", nullptr, &size);
    return ok;
}

DWORD WINAPI GetVersionWord() {
    std::lock_guard<std::recursive_mutex> lock(g_state->mutex);
    const OSVERSIONINFOEXA& v = g_state->version;
    DWORD result = (v.dwMajorVersion & 0xFF) | ((v.dwMinorVersion & 0xFF) << 8) | ((v.dwBuildNumber & 0x7FFF) << 16);
    if (v.dwPlatformId != VER_PLATFORM_WIN32_NT) {
        result |= 0x80000000u;
    }
    g_state->Record("GetVersion", "", nullptr, nullptr);
    return result;
}

}  // namespace

ScratchRegistry::ScratchRegistry() : m_state(new State) {
    if (g_state != nullptr) {
        throw std::logic_error("ScratchRegistry: another one is active");
    }
    State& st = *m_state;
    st.next = m_override.Saved();
    st.scratch = "Software\\QvtrScratch\\" + std::to_string(st.next.GetCurrentProcessId());
    st.DeleteTree(HKEY_CURRENT_USER, st.scratch);  // a leftover of a killed run
    const std::pair<HKEY, const char*> roots[] = {{HKEY_LOCAL_MACHINE, "\\HKLM"},
                                                  {HKEY_CURRENT_USER, "\\HKCU"},
                                                  {HKEY_USERS, "\\HKU"},
                                                  {HKEY_CLASSES_ROOT, "\\HKLM\\Software\\Classes"}};
    for (const auto& root : roots) {
        st.roots[root.first] = st.Open(HKEY_CURRENT_USER, st.scratch + root.second, true);
        if (st.roots[root.first] == nullptr) {
            throw std::runtime_error("ScratchRegistry: cannot create " + st.scratch);
        }
    }
    SetVersion(VER_PLATFORM_WIN32_NT, 5, 1, 2600);
    g_state = &st;
    m_override->RegConnectRegistryA = ConnectRegistry;
    m_override->RegCreateKeyExA = CreateKey;
    m_override->RegOpenKeyExA = OpenKeyEx;
    m_override->RegOpenKeyA = OpenKey;
    m_override->RegCloseKey = CloseKey;
    m_override->RegQueryInfoKeyA = QueryInfoKey;
    m_override->RegQueryValueExA = QueryValue;
    m_override->RegEnumValueA = EnumValue;
    m_override->RegEnumKeyExA = EnumKey;
    m_override->RegSetValueExA = SetValue;
    m_override->RegDeleteValueA = DeleteValue;
    m_override->RegDeleteKeyA = DeleteKey;
    m_override->GetVersionExA = GetVersionEx;
    m_override->GetVersion = GetVersionWord;
}

ScratchRegistry::~ScratchRegistry() {
    Api() = m_override.Saved();
    State& st = *m_state;
    for (const auto& handle : st.handles) {
        st.next.RegCloseKey(handle.first);
    }
    std::map<HKEY, HKEY> roots;
    roots.swap(st.roots);  // Root() no longer redirects
    for (const auto& root : roots) {
        st.next.RegCloseKey(root.second);
    }
    st.DeleteTree(HKEY_CURRENT_USER, st.scratch);
    st.next.RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\QvtrScratch");  // only when no other run's is left
    g_state = nullptr;
}

void ScratchRegistry::SetVersion(DWORD platformId, DWORD major, DWORD minor, DWORD build,
                                 const std::string& servicePack) {
    std::lock_guard<std::recursive_mutex> lock(m_state->mutex);
    OSVERSIONINFOEXA& v = m_state->version;
    v = OSVERSIONINFOEXA{};
    v.dwMajorVersion = major;
    v.dwMinorVersion = minor;
    v.dwBuildNumber = build;
    v.dwPlatformId = platformId;
    std::strncpy(v.szCSDVersion, servicePack.c_str(), sizeof v.szCSDVersion - 1);
    v.wProductType = 1;  // VER_NT_WORKSTATION
}

void ScratchRegistry::SetNt351() {
    SetVersion(VER_PLATFORM_WIN32_NT, 3, 51, 1057, "Service Pack 5");
}
void ScratchRegistry::SetNt40() {
    SetVersion(VER_PLATFORM_WIN32_NT, 4, 0, 1381, "Service Pack 6");
}
void ScratchRegistry::SetWindows2000() {
    SetVersion(VER_PLATFORM_WIN32_NT, 5, 0, 2195);
}
void ScratchRegistry::SetWindows98() {
    SetVersion(VER_PLATFORM_WIN32_WINDOWS, 4, 10, 2222, " A");
}

void ScratchRegistry::PutKey(HKEY root, const std::string& path) {
    std::lock_guard<std::recursive_mutex> lock(m_state->mutex);
    if (HKEY hKey = m_state->Open(root, path, true)) {
        m_state->next.RegCloseKey(hKey);
    }
}

void ScratchRegistry::PutValue(HKEY root, const std::string& path, const std::string& name, DWORD type,
                               const void* data, size_t size) {
    std::lock_guard<std::recursive_mutex> lock(m_state->mutex);
    HKEY hKey = m_state->Open(root, path, true);
    if (hKey == nullptr || m_state->next.RegSetValueExA(hKey, name.c_str(), 0, type, static_cast<const BYTE*>(data),
                                                        static_cast<DWORD>(size)) != ERROR_SUCCESS) {
        throw std::runtime_error("ScratchRegistry: cannot store " + path + ":" + name);
    }
    m_state->next.RegCloseKey(hKey);
}

void ScratchRegistry::PutString(HKEY root, const std::string& path, const std::string& name, const std::string& text,
                                DWORD type) {
    PutValue(root, path, name, type, text.c_str(), text.size() + 1);
}

bool ScratchRegistry::HasKey(HKEY root, const std::string& path) const {
    std::lock_guard<std::recursive_mutex> lock(m_state->mutex);
    HKEY hKey = m_state->Open(root, path, false);
    if (hKey != nullptr) {
        m_state->next.RegCloseKey(hKey);
    }
    return hKey != nullptr;
}

void ScratchRegistry::SetCitrixProductName(const std::string& productName) {
    PutString(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Citrix", "ProductName", productName);
}
void ScratchRegistry::SetForcingValue(const std::string& name, DWORD number) {
    PutValue(HKEY_LOCAL_MACHINE, QVTR_COMMON_SETTINGS_KEY, name, REG_DWORD, &number, sizeof number);  // little-endian
}

void ScratchRegistry::AllowRemoteMachine(const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(m_state->mutex);
    m_state->remotes.push_back(name);
}

std::vector<std::string> ScratchRegistry::RegistryCallTexts(const std::vector<std::string>& functions) const {
    std::lock_guard<std::recursive_mutex> lock(m_state->mutex);
    std::vector<std::string> texts;
    for (const std::string& text : m_state->calls) {
        const std::string function = text.substr(0, text.find(' '));
        if (functions.empty() ? function.compare(0, 3, "Reg") == 0
                              : std::find(functions.begin(), functions.end(), function) != functions.end()) {
            texts.push_back(text);
        }
    }
    return texts;
}

void ScratchRegistry::ClearCalls() {
    std::lock_guard<std::recursive_mutex> lock(m_state->mutex);
    m_state->calls.clear();
}

size_t ScratchRegistry::BadCloses() const {
    return m_state->badCloses;
}
size_t ScratchRegistry::LiveHandles() const {
    return m_state->handles.size();
}

}  // namespace testing_support
