#include "support/fake_registry.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <stdexcept>

#include "qvtr/platform.h"

namespace testing_support {

namespace {

std::string Upper(const std::string& text) {
    std::string result = text;
    for (char& c : result) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return result;
}

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '\\') {
            if (!part.empty()) {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) {
        parts.push_back(part);
    }
    return parts;
}

std::string JoinPath(const std::string& base, const std::string& sub) {
    std::string result = base;
    for (const std::string& part : SplitPath(sub)) {
        result += "\\" + part;
    }
    return result;
}

bool Has(REGSAM granted, REGSAM wanted) {
    return (granted & wanted) == wanted;
}

struct Value {
    std::string name;
    DWORD type = REG_NONE;
    std::string data;
};

struct Node {
    std::string name;
    std::string path;  // display path from the root, e.g. "HKLM\\Software"
    std::string keyClass;
    std::map<std::string, std::shared_ptr<Node>> children;  // by upper-cased name: enumerated by name
    std::vector<Value> values;                              // in the order they were first set
    bool deleted = false;
    bool root = false;

    Value* FindValue(const std::string& valueName) {
        std::string wanted = Upper(valueName);
        for (Value& value : values) {
            if (Upper(value.name) == wanted) {
                return &value;
            }
        }
        return nullptr;
    }
};

struct Handle {
    std::shared_ptr<Node> node;
    REGSAM access = 0;
};

constexpr REGSAM kAllAccess = 0xFFFFFFFF;

}  // namespace

struct FakeRegistry::State {
    mutable std::mutex mutex;

    std::shared_ptr<Node> hklm;
    std::shared_ptr<Node> hkcu;
    std::shared_ptr<Node> hku;
    std::map<HKEY, Handle> handles;
    uintptr_t nextHandle = 0x5000;
    std::vector<std::string> remoteMachines;

    OSVERSIONINFOEXA version{};
    bool failVersion = false;

    struct Failure {
        LONG code;
        int skip;
        int times;
    };
    std::map<std::string, Failure> failures;

    std::vector<RegistryCall> calls;
    size_t opened = 0;
    size_t closed = 0;
    size_t badCloses = 0;

    State() {
        hklm = MakeRoot("HKLM");
        hkcu = MakeRoot("HKCU");
        hku = MakeRoot("HKU");
        SetVersion(VER_PLATFORM_WIN32_NT, 5, 1, 2600, "");
    }

    static std::shared_ptr<Node> MakeRoot(const std::string& name) {
        auto node = std::make_shared<Node>();
        node->name = name;
        node->path = name;
        node->root = true;
        return node;
    }

    void SetVersion(DWORD platformId, DWORD major, DWORD minor, DWORD build, const std::string& servicePack) {
        WORD suites = version.wSuiteMask;
        version = OSVERSIONINFOEXA{};
        version.dwMajorVersion = major;
        version.dwMinorVersion = minor;
        version.dwBuildNumber = build;
        version.dwPlatformId = platformId;
        std::strncpy(version.szCSDVersion, servicePack.c_str(), sizeof version.szCSDVersion - 1);
        version.wSuiteMask = suites;
        version.wProductType = 1;  // VER_NT_WORKSTATION
    }

    bool Windows95Family() const { return version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS; }

    // ---- recording and failures ----

    void Record(const char* function, const std::string& key, const std::string* name, const DWORD* index,
                LONG result) {
        RegistryCall call;
        call.function = function;
        call.key = key;
        if (name != nullptr) {
            call.name = *name;
            call.hasName = true;
        }
        if (index != nullptr) {
            call.index = *index;
            call.hasIndex = true;
        }
        call.result = result;
        calls.push_back(call);
    }

    bool Injected(const char* function, LONG* code) {
        auto it = failures.find(function);
        if (it == failures.end()) {
            return false;
        }
        if (it->second.skip > 0) {
            --it->second.skip;
            return false;
        }
        *code = it->second.code;
        if (--it->second.times <= 0) {
            failures.erase(it);
        }
        return true;
    }

    // ---- keys ----

    std::shared_ptr<Node> Classes() { return Walk(hklm, "Software\\Classes", true); }

    // The node of a handle, or the code a call with that handle gets.
    LONG Resolve(HKEY hKey, std::shared_ptr<Node>* node, REGSAM* access) {
        *access = kAllAccess;
        if (hKey == HKEY_LOCAL_MACHINE) {
            *node = hklm;
        } else if (hKey == HKEY_CURRENT_USER) {
            *node = hkcu;
        } else if (hKey == HKEY_USERS) {
            *node = hku;
        } else if (hKey == HKEY_CLASSES_ROOT) {
            *node = Classes();
        } else {
            auto it = handles.find(hKey);
            if (it == handles.end()) {
                return ERROR_INVALID_HANDLE;
            }
            *node = it->second.node;
            *access = it->second.access;
        }
        return (*node)->deleted ? ERROR_KEY_DELETED : ERROR_SUCCESS;
    }

    // Display path of a handle for the record, whatever its state.
    std::string PathOf(HKEY hKey) {
        std::shared_ptr<Node> node;
        REGSAM access;
        if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER || hKey == HKEY_USERS ||
            hKey == HKEY_CLASSES_ROOT || handles.count(hKey) != 0) {
            Resolve(hKey, &node, &access);
            return node->path;
        }
        return "<invalid handle>";
    }

    static std::shared_ptr<Node> Walk(std::shared_ptr<Node> node, const std::string& path, bool create) {
        for (const std::string& part : SplitPath(path)) {
            auto it = node->children.find(Upper(part));
            if (it != node->children.end()) {
                node = it->second;
                continue;
            }
            if (!create) {
                return nullptr;
            }
            auto child = std::make_shared<Node>();
            child->name = part;
            child->path = node->path + "\\" + part;
            node->children[Upper(part)] = child;
            node = child;
        }
        return node;
    }

    std::shared_ptr<Node> RootNode(HKEY root) {
        std::shared_ptr<Node> node;
        REGSAM access;
        if (Resolve(root, &node, &access) != ERROR_SUCCESS) {
            throw std::invalid_argument("FakeRegistry: not a usable root key");
        }
        return node;
    }

    HKEY NewHandle(const std::shared_ptr<Node>& node, REGSAM access) {
        HKEY hKey = reinterpret_cast<HKEY>(nextHandle);
        nextHandle += 4;
        if (access & 0x02000000) {  // MAXIMUM_ALLOWED
            access = kAllAccess;
        }
        handles[hKey] = Handle{node, access};
        ++opened;
        return hKey;
    }

    static void MarkDeleted(Node& node) {
        node.deleted = true;
        for (auto& child : node.children) {
            MarkDeleted(*child.second);
        }
    }

    // The parent of `node`, found from the roots (nodes keep no parent pointer).
    std::shared_ptr<Node> ParentOf(const Node& node) {
        for (const auto& root : {hklm, hkcu, hku}) {
            if (auto parent = FindParent(root, &node)) {
                return parent;
            }
        }
        return nullptr;
    }

    static std::shared_ptr<Node> FindParent(const std::shared_ptr<Node>& from, const Node* target) {
        for (auto& child : from->children) {
            if (child.second.get() == target) {
                return from;
            }
            if (auto found = FindParent(child.second, target)) {
                return found;
            }
        }
        return nullptr;
    }

    void RemoveNode(const std::shared_ptr<Node>& node) {
        if (auto parent = ParentOf(*node)) {
            parent->children.erase(Upper(node->name));
        }
        MarkDeleted(*node);
    }
};

namespace {

FakeRegistry::State* g_state = nullptr;
FakeRegistry* g_active = nullptr;

// Copies `text` with its NUL into a caller's buffer of *cch characters.
LONG CopyName(const std::string& text, LPSTR buffer, LPDWORD cch) {
    if (buffer == nullptr || cch == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (text.size() >= *cch) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    *cch = static_cast<DWORD>(text.size());
    return ERROR_SUCCESS;
}

// Type, size and bytes of a value into the caller's optional outputs.
LONG CopyData(const Value& value, LPDWORD type, LPBYTE data, LPDWORD cbData) {
    if (data != nullptr && cbData == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (type != nullptr) {
        *type = value.type;
    }
    DWORD size = static_cast<DWORD>(value.data.size());
    if (data != nullptr && *cbData < size) {
        *cbData = size;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr && size != 0) {
        std::memcpy(data, value.data.data(), size);
    }
    if (cbData != nullptr) {
        *cbData = size;
    }
    return ERROR_SUCCESS;
}

LONG WINAPI FakeRegConnectRegistryA(LPCSTR machine, HKEY hKey, PHKEY result) {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    FakeRegistry::State& st = *g_state;
    std::string name = machine != nullptr ? machine : "";
    LONG code = ERROR_SUCCESS;
    if (!st.Injected("RegConnectRegistryA", &code)) {
        std::string bare = name;
        while (!bare.empty() && bare[0] == '\\') {
            bare.erase(0, 1);
        }
        bool known = bare.empty();
        for (const std::string& remote : st.remoteMachines) {
            known = known || Upper(remote) == Upper(bare);
        }
        if (result == nullptr) {
            code = ERROR_INVALID_PARAMETER;
        } else if (!known) {
            code = ERROR_BAD_NETPATH;
        } else if (hKey == HKEY_LOCAL_MACHINE) {
            *result = st.NewHandle(st.hklm, kAllAccess);
        } else if (hKey == HKEY_USERS) {
            *result = st.NewHandle(st.hku, kAllAccess);
        } else {
            code = ERROR_INVALID_HANDLE;
        }
    }
    st.Record("RegConnectRegistryA", st.PathOf(hKey), &name, nullptr, code);
    return code;
}

// Opening and creating share their walk; `create` adds the missing keys.
LONG OpenOrCreate(const char* function, HKEY hKey, LPCSTR subKey, REGSAM access, bool create, LPSTR keyClass,
                  PHKEY result, LPDWORD disposition) {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    FakeRegistry::State& st = *g_state;
    std::string sub = subKey != nullptr ? subKey : "";
    std::string path = JoinPath(st.PathOf(hKey), sub);
    LONG code = ERROR_SUCCESS;
    if (!st.Injected(function, &code)) {
        std::shared_ptr<Node> base;
        REGSAM baseAccess;
        code = st.Resolve(hKey, &base, &baseAccess);
        if (code == ERROR_SUCCESS && result == nullptr) {
            code = ERROR_INVALID_PARAMETER;
        }
        if (code == ERROR_SUCCESS) {
            std::shared_ptr<Node> node = FakeRegistry::State::Walk(base, sub, false);
            DWORD how = REG_OPENED_EXISTING_KEY;
            if (node == nullptr && create) {
                if (!Has(baseAccess, KEY_CREATE_SUB_KEY)) {
                    code = ERROR_ACCESS_DENIED;
                } else {
                    node = FakeRegistry::State::Walk(base, sub, true);
                    node->keyClass = keyClass != nullptr ? keyClass : "";
                    how = REG_CREATED_NEW_KEY;
                }
            } else if (node == nullptr) {
                code = ERROR_FILE_NOT_FOUND;
            }
            if (code == ERROR_SUCCESS) {
                *result = st.NewHandle(node, access);
                if (disposition != nullptr) {
                    *disposition = how;
                }
            }
        }
    }
    st.Record(function, path, nullptr, nullptr, code);
    return code;
}

LONG WINAPI FakeRegCreateKeyExA(HKEY hKey, LPCSTR subKey, DWORD, LPSTR keyClass, DWORD, REGSAM access,
                                LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
    return OpenOrCreate("RegCreateKeyExA", hKey, subKey, access, true, keyClass, result, disposition);
}

LONG WINAPI FakeRegOpenKeyExA(HKEY hKey, LPCSTR subKey, DWORD, REGSAM access, PHKEY result) {
    return OpenOrCreate("RegOpenKeyExA", hKey, subKey, access, false, nullptr, result, nullptr);
}

LONG WINAPI FakeRegOpenKeyA(HKEY hKey, LPCSTR subKey, PHKEY result) {
    if (subKey == nullptr || *subKey == '\0') {
        // Documented: an empty path gives back the handle passed in, no new one.
        std::lock_guard<std::mutex> lock(g_state->mutex);
        FakeRegistry::State& st = *g_state;
        std::shared_ptr<Node> node;
        REGSAM access;
        LONG code = ERROR_SUCCESS;
        if (!st.Injected("RegOpenKeyA", &code)) {
            code = st.Resolve(hKey, &node, &access);
            if (code == ERROR_SUCCESS && result != nullptr) {
                *result = hKey;
            }
        }
        st.Record("RegOpenKeyA", st.PathOf(hKey), nullptr, nullptr, code);
        return code;
    }
    return OpenOrCreate("RegOpenKeyA", hKey, subKey, kAllAccess, false, nullptr, result, nullptr);
}

LONG WINAPI FakeRegCloseKey(HKEY hKey) {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    FakeRegistry::State& st = *g_state;
    std::string path = st.PathOf(hKey);
    LONG code = ERROR_SUCCESS;
    if (!st.Injected("RegCloseKey", &code)) {
        if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER || hKey == HKEY_USERS ||
            hKey == HKEY_CLASSES_ROOT) {
            code = ERROR_SUCCESS;
        } else if (st.handles.erase(hKey) == 1) {
            ++st.closed;
        } else {
            ++st.badCloses;
            code = ERROR_INVALID_HANDLE;
        }
    }
    st.Record("RegCloseKey", path, nullptr, nullptr, code);
    return code;
}

LONG WINAPI FakeRegQueryInfoKeyA(HKEY hKey, LPSTR keyClass, LPDWORD cchClass, LPDWORD, LPDWORD cSubKeys,
                                 LPDWORD cchMaxSubKey, LPDWORD cchMaxClass, LPDWORD cValues, LPDWORD cchMaxValueName,
                                 LPDWORD cbMaxValueData, LPDWORD cbSecurityDescriptor, PFILETIME lastWrite) {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    FakeRegistry::State& st = *g_state;
    LONG code = ERROR_SUCCESS;
    if (!st.Injected("RegQueryInfoKeyA", &code)) {
        std::shared_ptr<Node> node;
        REGSAM access;
        code = st.Resolve(hKey, &node, &access);
        if (code == ERROR_SUCCESS && !Has(access, KEY_QUERY_VALUE)) {
            code = ERROR_ACCESS_DENIED;
        }
        if (code == ERROR_SUCCESS && keyClass != nullptr) {
            code = CopyName(node->keyClass, keyClass, cchClass);
        }
        if (code == ERROR_SUCCESS) {
            DWORD maxSub = 0, maxValueName = 0, maxData = 0;
            for (const auto& child : node->children) {
                maxSub = std::max<DWORD>(maxSub, static_cast<DWORD>(child.second->name.size()));
            }
            for (const Value& value : node->values) {
                maxValueName = std::max<DWORD>(maxValueName, static_cast<DWORD>(value.name.size()));
                maxData = std::max<DWORD>(maxData, static_cast<DWORD>(value.data.size()));
            }
            if (cSubKeys != nullptr)
                *cSubKeys = static_cast<DWORD>(node->children.size());
            if (cchMaxSubKey != nullptr)
                *cchMaxSubKey = maxSub;
            if (cchMaxClass != nullptr)
                *cchMaxClass = 0;
            if (cValues != nullptr)
                *cValues = static_cast<DWORD>(node->values.size());
            if (cchMaxValueName != nullptr)
                *cchMaxValueName = maxValueName;
            if (cbMaxValueData != nullptr)
                *cbMaxValueData = maxData;
            if (cbSecurityDescriptor != nullptr)
                *cbSecurityDescriptor = 0;
            if (lastWrite != nullptr)
                *lastWrite = FILETIME{};
        }
    }
    st.Record("RegQueryInfoKeyA", st.PathOf(hKey), nullptr, nullptr, code);
    return code;
}

LONG WINAPI FakeRegQueryValueExA(HKEY hKey, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD cbData) {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    FakeRegistry::State& st = *g_state;
    std::string valueName = name != nullptr ? name : "";
    LONG code = ERROR_SUCCESS;
    if (!st.Injected("RegQueryValueExA", &code)) {
        std::shared_ptr<Node> node;
        REGSAM access;
        code = st.Resolve(hKey, &node, &access);
        if (code == ERROR_SUCCESS && !Has(access, KEY_QUERY_VALUE)) {
            code = ERROR_ACCESS_DENIED;
        }
        if (code == ERROR_SUCCESS) {
            const Value* value = node->FindValue(valueName);
            code = value != nullptr ? CopyData(*value, type, data, cbData) : ERROR_FILE_NOT_FOUND;
        }
    }
    st.Record("RegQueryValueExA", st.PathOf(hKey), &valueName, nullptr, code);
    return code;
}

LONG WINAPI FakeRegEnumValueA(HKEY hKey, DWORD index, LPSTR name, LPDWORD cchName, LPDWORD, LPDWORD type, LPBYTE data,
                              LPDWORD cbData) {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    FakeRegistry::State& st = *g_state;
    LONG code = ERROR_SUCCESS;
    std::string found;
    if (!st.Injected("RegEnumValueA", &code)) {
        std::shared_ptr<Node> node;
        REGSAM access;
        code = st.Resolve(hKey, &node, &access);
        if (code == ERROR_SUCCESS && !Has(access, KEY_QUERY_VALUE)) {
            code = ERROR_ACCESS_DENIED;
        }
        if (code == ERROR_SUCCESS && index >= node->values.size()) {
            code = ERROR_NO_MORE_ITEMS;
        }
        if (code == ERROR_SUCCESS) {
            const Value& value = node->values[index];
            code = CopyName(value.name, name, cchName);
            if (code == ERROR_SUCCESS) {
                code = CopyData(value, type, data, cbData);
            }
            found = value.name;
        }
    }
    st.Record("RegEnumValueA", st.PathOf(hKey), code == ERROR_SUCCESS ? &found : nullptr, &index, code);
    return code;
}

LONG WINAPI FakeRegEnumKeyExA(HKEY hKey, DWORD index, LPSTR name, LPDWORD cchName, LPDWORD, LPSTR keyClass,
                              LPDWORD cchClass, PFILETIME lastWrite) {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    FakeRegistry::State& st = *g_state;
    LONG code = ERROR_SUCCESS;
    std::string found;
    if (!st.Injected("RegEnumKeyExA", &code)) {
        std::shared_ptr<Node> node;
        REGSAM access;
        code = st.Resolve(hKey, &node, &access);
        if (code == ERROR_SUCCESS && !Has(access, KEY_ENUMERATE_SUB_KEYS)) {
            code = ERROR_ACCESS_DENIED;
        }
        if (code == ERROR_SUCCESS && index >= node->children.size()) {
            code = ERROR_NO_MORE_ITEMS;
        }
        if (code == ERROR_SUCCESS) {
            auto it = node->children.begin();
            std::advance(it, index);
            found = it->second->name;
            code = CopyName(found, name, cchName);
            if (code == ERROR_SUCCESS && keyClass != nullptr) {
                code = CopyName(it->second->keyClass, keyClass, cchClass);
            }
            if (lastWrite != nullptr) {
                *lastWrite = FILETIME{};
            }
        }
    }
    st.Record("RegEnumKeyExA", st.PathOf(hKey), code == ERROR_SUCCESS ? &found : nullptr, &index, code);
    return code;
}

LONG WINAPI FakeRegSetValueExA(HKEY hKey, LPCSTR name, DWORD, DWORD type, const BYTE* data, DWORD cbData) {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    FakeRegistry::State& st = *g_state;
    std::string valueName = name != nullptr ? name : "";
    LONG code = ERROR_SUCCESS;
    if (!st.Injected("RegSetValueExA", &code)) {
        std::shared_ptr<Node> node;
        REGSAM access;
        code = st.Resolve(hKey, &node, &access);
        if (code == ERROR_SUCCESS && !Has(access, KEY_SET_VALUE)) {
            code = ERROR_ACCESS_DENIED;
        }
        if (code == ERROR_SUCCESS && data == nullptr && cbData != 0) {
            code = ERROR_INVALID_PARAMETER;
        }
        if (code == ERROR_SUCCESS) {
            std::string bytes(reinterpret_cast<const char*>(data), data != nullptr ? cbData : 0);
            if (Value* value = node->FindValue(valueName)) {
                value->type = type;
                value->data = bytes;
            } else {
                node->values.push_back(Value{valueName, type, bytes});
            }
        }
    }
    st.Record("RegSetValueExA", st.PathOf(hKey), &valueName, nullptr, code);
    return code;
}

LONG WINAPI FakeRegDeleteValueA(HKEY hKey, LPCSTR name) {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    FakeRegistry::State& st = *g_state;
    std::string valueName = name != nullptr ? name : "";
    LONG code = ERROR_SUCCESS;
    if (!st.Injected("RegDeleteValueA", &code)) {
        std::shared_ptr<Node> node;
        REGSAM access;
        code = st.Resolve(hKey, &node, &access);
        if (code == ERROR_SUCCESS && !Has(access, KEY_SET_VALUE)) {
            code = ERROR_ACCESS_DENIED;
        }
        if (code == ERROR_SUCCESS) {
            Value* value = node->FindValue(valueName);
            if (value == nullptr) {
                code = ERROR_FILE_NOT_FOUND;
            } else {
                node->values.erase(node->values.begin() + (value - node->values.data()));
            }
        }
    }
    st.Record("RegDeleteValueA", st.PathOf(hKey), &valueName, nullptr, code);
    return code;
}

LONG WINAPI FakeRegDeleteKeyA(HKEY hKey, LPCSTR subKey) {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    FakeRegistry::State& st = *g_state;
    std::string sub = subKey != nullptr ? subKey : "";
    std::string path = JoinPath(st.PathOf(hKey), sub);
    LONG code = ERROR_SUCCESS;
    if (!st.Injected("RegDeleteKeyA", &code)) {
        std::shared_ptr<Node> base;
        REGSAM access;
        code = st.Resolve(hKey, &base, &access);
        std::shared_ptr<Node> node;
        if (code == ERROR_SUCCESS) {
            node = FakeRegistry::State::Walk(base, sub, false);
            if (node == nullptr) {
                code = ERROR_FILE_NOT_FOUND;
            } else if (node->root || Upper(node->path) == "HKLM\\SOFTWARE\\CLASSES") {
                code = ERROR_ACCESS_DENIED;
            } else if (!node->children.empty() && !st.Windows95Family()) {
                code = ERROR_ACCESS_DENIED;
            }
        }
        if (code == ERROR_SUCCESS) {
            path = node->path;
            st.RemoveNode(node);
        }
    }
    st.Record("RegDeleteKeyA", path, nullptr, nullptr, code);
    return code;
}

BOOL WINAPI FakeGetVersionExA(LPOSVERSIONINFOA info) {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    FakeRegistry::State& st = *g_state;
    DWORD size = info != nullptr ? info->dwOSVersionInfoSize : 0;
    BOOL ok = FALSE;
    if (!st.failVersion && (size == sizeof(OSVERSIONINFOA) || size == sizeof(OSVERSIONINFOEXA))) {
        OSVERSIONINFOEXA record = st.version;
        record.dwOSVersionInfoSize = size;
        std::memcpy(info, &record, size);
        ok = TRUE;
    }
    RegistryCall call;
    call.function = "GetVersionExA";
    call.index = size;
    call.result = ok;
    st.calls.push_back(call);
    return ok;
}

DWORD WINAPI FakeGetVersion() {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    FakeRegistry::State& st = *g_state;
    const OSVERSIONINFOEXA& v = st.version;
    DWORD result = (v.dwMajorVersion & 0xFF) | ((v.dwMinorVersion & 0xFF) << 8) | ((v.dwBuildNumber & 0x7FFF) << 16);
    if (v.dwPlatformId != VER_PLATFORM_WIN32_NT) {
        result |= 0x80000000u;
    }
    st.Record("GetVersion", "", nullptr, nullptr, 0);
    return result;
}

}  // namespace

std::string RegistryCall::Text() const {
    std::string text = function + " " + key;
    if (hasIndex) {
        text += "#" + std::to_string(index);
    }
    if (hasName) {
        text += ":" + name;
    }
    return text;
}

FakeRegistry::FakeRegistry() : m_override(), m_state(new State) {
    if (g_active != nullptr) {
        throw std::logic_error("FakeRegistry: another instance is already active");
    }
    g_active = this;
    g_state = m_state.get();
    m_override->RegConnectRegistryA = FakeRegConnectRegistryA;
    m_override->RegCreateKeyExA = FakeRegCreateKeyExA;
    m_override->RegOpenKeyExA = FakeRegOpenKeyExA;
    m_override->RegOpenKeyA = FakeRegOpenKeyA;
    m_override->RegCloseKey = FakeRegCloseKey;
    m_override->RegQueryInfoKeyA = FakeRegQueryInfoKeyA;
    m_override->RegQueryValueExA = FakeRegQueryValueExA;
    m_override->RegEnumValueA = FakeRegEnumValueA;
    m_override->RegEnumKeyExA = FakeRegEnumKeyExA;
    m_override->RegSetValueExA = FakeRegSetValueExA;
    m_override->RegDeleteValueA = FakeRegDeleteValueA;
    m_override->RegDeleteKeyA = FakeRegDeleteKeyA;
    m_override->GetVersionExA = FakeGetVersionExA;
    m_override->GetVersion = FakeGetVersion;
}

FakeRegistry::~FakeRegistry() {
    // The seam goes back to its earlier entries before the state goes.
    Api() = m_override.Saved();
    g_active = nullptr;
    g_state = nullptr;
}

FakeRegistry* FakeRegistry::Active() {
    return g_active;
}

void FakeRegistry::SetVersion(DWORD platformId, DWORD major, DWORD minor, DWORD build, const std::string& servicePack) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->SetVersion(platformId, major, minor, build, servicePack);
}

void FakeRegistry::SetNt351() {
    SetVersion(VER_PLATFORM_WIN32_NT, 3, 51, 1057, "Service Pack 5");
}
void FakeRegistry::SetNt40() {
    SetVersion(VER_PLATFORM_WIN32_NT, 4, 0, 1381, "Service Pack 6");
}
void FakeRegistry::SetWindows2000() {
    SetVersion(VER_PLATFORM_WIN32_NT, 5, 0, 2195, "");
}
void FakeRegistry::SetWindows98() {
    SetVersion(VER_PLATFORM_WIN32_WINDOWS, 4, 10, 2222, " A");
}

void FakeRegistry::SetSuiteMask(WORD mask) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->version.wSuiteMask = mask;
}

void FakeRegistry::FailVersionQuery(bool fail) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->failVersion = fail;
}

void FakeRegistry::PutKey(HKEY root, const std::string& path) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    State::Walk(m_state->RootNode(root), path, true);
}

void FakeRegistry::PutValue(HKEY root, const std::string& path, const std::string& name, DWORD type, const void* data,
                            size_t size) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    std::shared_ptr<Node> node = State::Walk(m_state->RootNode(root), path, true);
    std::string bytes(static_cast<const char*>(data), data != nullptr ? size : 0);
    if (Value* value = node->FindValue(name)) {
        value->type = type;
        value->data = bytes;
    } else {
        node->values.push_back(Value{name, type, bytes});
    }
}

void FakeRegistry::PutString(HKEY root, const std::string& path, const std::string& name, const std::string& text,
                             DWORD type) {
    PutValue(root, path, name, type, text.c_str(), text.size() + 1);
}

void FakeRegistry::PutDword(HKEY root, const std::string& path, const std::string& name, DWORD number) {
    BYTE bytes[4] = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8), static_cast<BYTE>(number >> 16),
                     static_cast<BYTE>(number >> 24)};
    PutValue(root, path, name, REG_DWORD, bytes, sizeof bytes);
}

void FakeRegistry::PutMultiString(HKEY root, const std::string& path, const std::string& name,
                                  const std::vector<std::string>& entries) {
    std::string bytes;
    for (const std::string& entry : entries) {
        bytes += entry;
        bytes += '\0';
    }
    bytes += '\0';
    PutValue(root, path, name, REG_MULTI_SZ, bytes.data(), bytes.size());
}

void FakeRegistry::RemoveKey(HKEY root, const std::string& path) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    std::shared_ptr<Node> node = State::Walk(m_state->RootNode(root), path, false);
    if (node != nullptr && !node->root) {
        m_state->RemoveNode(node);
    }
}

bool FakeRegistry::HasKey(HKEY root, const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return State::Walk(m_state->RootNode(root), path, false) != nullptr;
}

bool FakeRegistry::HasValue(HKEY root, const std::string& path, const std::string& name) const {
    return GetValue(root, path, name, nullptr);
}

bool FakeRegistry::GetValue(HKEY root, const std::string& path, const std::string& name, std::string* bytes,
                            DWORD* type) const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    std::shared_ptr<Node> node = State::Walk(m_state->RootNode(root), path, false);
    const Value* value = node != nullptr ? node->FindValue(name) : nullptr;
    if (value == nullptr) {
        return false;
    }
    if (bytes != nullptr) {
        *bytes = value->data;
    }
    if (type != nullptr) {
        *type = value->type;
    }
    return true;
}

std::vector<std::string> FakeRegistry::SubKeyNames(HKEY root, const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    std::vector<std::string> names;
    if (std::shared_ptr<Node> node = State::Walk(m_state->RootNode(root), path, false)) {
        for (const auto& child : node->children) {
            names.push_back(child.second->name);
        }
    }
    return names;
}

std::vector<std::string> FakeRegistry::ValueNames(HKEY root, const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    std::vector<std::string> names;
    if (std::shared_ptr<Node> node = State::Walk(m_state->RootNode(root), path, false)) {
        for (const Value& value : node->values) {
            names.push_back(value.name);
        }
    }
    return names;
}

void FakeRegistry::SetCitrixProductName(const std::string& productName) {
    PutString(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Citrix", "ProductName", productName);
}

void FakeRegistry::SetForcingValue(const std::string& name, DWORD number) {
    PutDword(HKEY_LOCAL_MACHINE, QVTR_COMMON_SETTINGS_KEY, name, number);
}

void FakeRegistry::SetProductSuite(const std::vector<std::string>& suites) {
    PutMultiString(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\ProductOptions", "ProductSuite", suites);
}

void FakeRegistry::AllowRemoteMachine(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    std::string bare = name;
    while (!bare.empty() && bare[0] == '\\') {
        bare.erase(0, 1);
    }
    m_state->remoteMachines.push_back(bare);
}

void FakeRegistry::FailCall(const std::string& function, LONG code, int skip, int times) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->failures[function] = State::Failure{code, skip, times};
}

std::vector<RegistryCall> FakeRegistry::Calls() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->calls;
}

std::vector<RegistryCall> FakeRegistry::RegistryCalls() const {
    std::vector<RegistryCall> result;
    for (const RegistryCall& call : Calls()) {
        if (call.function.compare(0, 3, "Reg") == 0) {
            result.push_back(call);
        }
    }
    return result;
}

std::vector<std::string> FakeRegistry::RegistryCallTexts(const std::vector<std::string>& functions) const {
    std::vector<std::string> texts;
    for (const RegistryCall& call : RegistryCalls()) {
        bool wanted = functions.empty();
        for (const std::string& function : functions) {
            wanted = wanted || function == call.function;
        }
        if (wanted) {
            texts.push_back(call.Text());
        }
    }
    return texts;
}

size_t FakeRegistry::CountCalls(const std::string& function) const {
    size_t count = 0;
    for (const RegistryCall& call : Calls()) {
        count += call.function == function ? 1 : 0;
    }
    return count;
}

void FakeRegistry::ClearCalls() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->calls.clear();
}

size_t FakeRegistry::Opened() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->opened;
}

size_t FakeRegistry::Closed() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->closed;
}

size_t FakeRegistry::BadCloses() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->badCloses;
}

size_t FakeRegistry::LiveHandles() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->handles.size();
}

std::vector<std::string> FakeRegistry::LiveHandlePaths() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    std::vector<std::string> paths;
    for (const auto& handle : m_state->handles) {
        paths.push_back(handle.second.node->path);
    }
    return paths;
}

}  // namespace testing_support
