// The registry functions of the POSIX backend, over the SQLite store.
//
// NT semantics: case-insensitive, case-preserving names; RegDeleteKeyA refuses a
// key that has sub-keys; sizes and ERROR_MORE_DATA as Windows reports them; a
// handle to a key deleted meanwhile answers ERROR_KEY_DELETED. Where Windows and
// Wine leave a detail open, the answer is Wine's.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "win32/posix/places.h"
#include "win32/posix/posix.h"
#include "win32/posix/registry_answers.h"
#include "win32/posix/registry_store.h"
#include "win32/posix/remote.h"

namespace posix {

namespace {

using reg::Fold;
using reg::JoinPath;
using reg::SplitPath;
using reg::Statement;
using reg::Store;

// The largest value kept in memory.
constexpr size_t kCachedValueLimit = 4096;

using reg::Hive;

// Rights that change a key; a hive the user may only read grants none of them.
constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

// What a handle refers to: the key's hive and row (0 for a predefined key, found
// by its path when needed), its folded path and the access it was opened with.
struct KeyRef {
    Hive hive = Hive::kUser;
    int64_t id = 0;
    std::string path;
    REGSAM access = 0;
    bool predefined = false;
};

// Open key handles of the process.
struct HandleTable {
    std::mutex mutex;
    std::unordered_map<uintptr_t, KeyRef> keys;
    uintptr_t next = 0x1000;
};

HandleTable& Handles() {
    static auto* table = new HandleTable;  // lives past static destruction
    return *table;
}

// Serialises a registry call on the connection of the key's hive.
class Call {
public:
    Call() = default;
    ~Call() {
        if (m_store != nullptr) {
            m_store->Mutex().unlock();
        }
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // Finds the hive's store and holds it for the call. A machine hive that does
    // not exist yet is empty to readers; a write makes it when the user may.
    LONG Enter(Hive hive, bool write) {
        LONG error = ERROR_SUCCESS;
        m_store = Store::Get(hive, error, false);
        if (m_store == nullptr && error == ERROR_FILE_NOT_FOUND && write) {
            m_store = Store::Get(hive, error, true);
            error = m_store == nullptr && error == ERROR_FILE_NOT_FOUND ? ERROR_ACCESS_DENIED : error;
        }
        m_empty = m_store == nullptr && error == ERROR_FILE_NOT_FOUND;
        if (m_store != nullptr) {
            m_store->Mutex().lock();
            if (m_store->Broken() && (error = m_store->Reconnect()) != ERROR_SUCCESS) {
                m_store->Mutex().unlock();
                m_store = nullptr;
            }
        }
        return m_store != nullptr || m_empty ? ERROR_SUCCESS : error;
    }

    Store* operator->() const { return m_store; }
    // The machine hive does not exist: every key below HKEY_LOCAL_MACHINE is missing.
    bool Empty() const { return m_empty; }
    bool Writable() const { return m_store != nullptr && m_store->Writable(); }

private:
    Store* m_store = nullptr;
    bool m_empty = false;
};

REGSAM GrantedAccess(REGSAM wanted) {
    REGSAM granted = wanted & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY);
    if (granted & (GENERIC_ALL | MAXIMUM_ALLOWED)) {
        granted |= KEY_ALL_ACCESS;
    }
    if (granted & GENERIC_READ) {
        granted |= KEY_READ;
    }
    if (granted & GENERIC_WRITE) {
        granted |= KEY_WRITE;
    }
    if (granted & GENERIC_EXECUTE) {
        granted |= KEY_EXECUTE;
    }
    return granted & ~(GENERIC_ALL | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | MAXIMUM_ALLOWED);
}

// The access a new handle gets: in a hive the user may only read, MAXIMUM_ALLOWED
// is reading, and asking for any right to change is refused, as Windows' default
// permissions on HKEY_LOCAL_MACHINE answer a standard user.
LONG Grant(const Call& call, REGSAM wanted, REGSAM& granted) {
    granted = GrantedAccess(wanted);
    if (call.Writable() || (granted & kWriteRights) == 0) {
        return ERROR_SUCCESS;
    }
    if ((wanted & MAXIMUM_ALLOWED) != 0 && (wanted & ~(MAXIMUM_ALLOWED | KEY_WOW64_32KEY | KEY_WOW64_64KEY)) == 0) {
        granted &= ~kWriteRights;
        return ERROR_SUCCESS;
    }
    return ERROR_ACCESS_DENIED;
}

LONG Resolve(HKEY hKey, KeyRef& out) {
    const REGSAM all = KEY_ALL_ACCESS;
    if (hKey == HKEY_LOCAL_MACHINE) {
        out = {Hive::kMachine, 1, reg::kMachineRoot, all, true};
    } else if (hKey == HKEY_USERS) {
        out = {Hive::kUser, 2, reg::kUsersRoot, all, true};
    } else if (hKey == HKEY_CURRENT_USER) {
        out = {Hive::kUser, 0, Fold(reg::UserPath()), all, true};
    } else if (hKey == HKEY_CLASSES_ROOT) {
        out = {Hive::kMachine, 0, reg::ClassesPath(), all, true};
    } else {
        HandleTable& table = Handles();
        std::lock_guard<std::mutex> lock(table.mutex);
        auto found = table.keys.find(reinterpret_cast<uintptr_t>(hKey));
        if (found == table.keys.end()) {
            return ERROR_INVALID_HANDLE;
        }
        out = found->second;
    }
    return ERROR_SUCCESS;
}

// The handle's key and the call on its hive: the steps every function starts with.
LONG Begin(Call& call, HKEY hKey, bool write, KeyRef& key) {
    if (const LONG error = Resolve(hKey, key)) {
        return error;
    }
    if (const LONG error = call.Enter(key.hive, write)) {
        return error;
    }
    if (key.predefined && !call.Writable()) {
        key.access &= ~kWriteRights;
    }
    return ERROR_SUCCESS;
}

HKEY NewHandle(const KeyRef& key) {
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    const uintptr_t value = table.next;
    table.next += 4;
    table.keys[value] = key;
    return reinterpret_cast<HKEY>(value);
}

// The row id of the key at a folded path, or 0 when there is none.
int64_t FindPath(Call& call, const std::string& foldedPath) {
    uint64_t snapshot = 0;
    const bool cacheable = call->Sync(snapshot);
    int64_t id = 0;
    if (cacheable && call->Cache().FindCachedKey(foldedPath, id)) {
        return id;
    }
    Statement find = call->Prepare("SELECT id FROM keys WHERE path = ?1");
    find.Bind(1, foldedPath);
    const int rc = find.Step();
    id = rc == SQLITE_ROW ? find.Int(0) : 0;
    if (cacheable && (rc == SQLITE_ROW || rc == SQLITE_DONE) && call->Settled(snapshot)) {
        call->Cache().CacheKey(foldedPath, id);
    }
    return id;
}

// The row id of a key, or 0 when it no longer exists.
int64_t KeyId(Call& call, const KeyRef& key) {
    if (key.id != 0 && !key.predefined) {
        uint64_t snapshot = 0;
        const bool usable = call->Sync(snapshot);
        if (usable) {
            if (const reg::KeyMemory* known = call->Cache().Known(key.id); known != nullptr && known->exists) {
                return key.id;
            }
        }
        Statement check = call->Prepare("SELECT 1 FROM keys WHERE id = ?1");
        check.Bind(1, key.id);
        const bool exists = check.Step() == SQLITE_ROW;
        if (usable && exists && call->Settled(snapshot)) {
            call->Cache().MemoryOf(key.id).exists = true;
        }
        return exists ? key.id : 0;
    }
    return key.id != 0 ? key.id : FindPath(call, key.path);
}

// The code for "nothing there": the key itself may have gone.
LONG Missing(Call& call, const KeyRef& key, LONG otherwise) {
    return KeyId(call, key) == 0 ? ERROR_KEY_DELETED : otherwise;
}

bool Allowed(const KeyRef& key, REGSAM needed) {
    return (key.access & needed) == needed;
}

// The steps every call on an open key starts with: the handle, its hive, the
// handle's rights. ERROR_SUCCESS, or the code the call returns.
LONG Enter(Call& call, HKEY hKey, REGSAM needed, KeyRef& key) {
    if (const LONG error = Begin(call, hKey, (needed & kWriteRights) != 0, key)) {
        return error;
    }
    return Allowed(key, needed) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

size_t Depth(const std::string& foldedPath) {
    return static_cast<size_t>(std::count(foldedPath.begin(), foldedPath.end(), '\\'));
}

bool IsProtected(const std::string& foldedPath) {
    return foldedPath == reg::kMachineRoot || foldedPath == reg::kUsersRoot || foldedPath == Fold(reg::UserPath()) ||
           foldedPath == reg::ClassesPath() || foldedPath == std::string(reg::kMachineRoot) + "\\SOFTWARE" ||
           foldedPath == std::string(reg::kUsersRoot) + "\\.DEFAULT";
}

// Runs one changing statement (made and stepped by `body`) in a write
// transaction of its own, or a savepoint of an import; `changes` gets its count.
template <class Body>
LONG Change(Call& call, Body&& body, int64_t& changes) {
    if (!call->Begin(true)) {
        return call->LastError();
    }
    const int rc = body();
    changes = call->Changes();
    if (rc != SQLITE_DONE) {
        const LONG error = call->LastError();
        call->Rollback();
        return error;
    }
    return call->Commit() ? ERROR_SUCCESS : call->LastError();
}

// The Windows 95 family's RegDeleteKeyA takes everything below the key along.
bool EmulatesWindows95(Call& call) {
    Statement query = call->Prepare(
        "SELECT (SELECT count(*) FROM vals v JOIN keys k ON v.key = k.id WHERE k.path = ?1 AND v.folded = ?2),"
        " (SELECT count(*) FROM vals v JOIN keys k ON v.key = k.id WHERE k.path = ?3 AND v.folded = ?4)");
    query.Bind(1, std::string(reg::kMachineRoot) + "\\SOFTWARE\\MICROSOFT\\WINDOWS NT\\CURRENTVERSION");
    query.Bind(2, std::string("CURRENTVERSION"));
    query.Bind(3, std::string(reg::kMachineRoot) + "\\SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION");
    query.Bind(4, std::string("VERSIONNUMBER"));
    return query.Step() == SQLITE_ROW && query.Int(0) == 0 && query.Int(1) != 0;
}

LONG DeleteSubtree(Call& call, const std::string& path) {
    // Paths below `path` lie between path + '\\' and path + ']', the next byte up.
    int64_t changes = 0;
    return Change(
        call,
        [&] {
            Statement remove = call->Prepare("DELETE FROM keys WHERE path = ?1 OR (path > ?2 AND path < ?3)");
            remove.Bind(1, path).Bind(2, path + "\\").Bind(3, path + "]");
            const int rc = remove.Step();
            call->EverythingChanged();
            return rc;
        },
        changes);
}

// The row id of a value, which gives its place among the key's values; 0 when absent.
int64_t ValueRow(Call& call, int64_t key, const std::string& folded) {
    Statement find = call->Prepare("SELECT rowid FROM vals WHERE key = ?1 AND folded = ?2");
    find.Bind(1, key).Bind(2, folded);
    return find.Step() == SQLITE_ROW ? find.Int(0) : 0;
}

// ---- the Win32 functions ----------------------------------------------------------

// This machine's registry; another machine's is the remote client's.
LONG WINAPI RegConnectRegistryAImpl(LPCSTR, HKEY hKey, PHKEY result) {
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    if (hKey != HKEY_LOCAL_MACHINE && hKey != HKEY_USERS && hKey != HKEY_CURRENT_USER && hKey != HKEY_CLASSES_ROOT) {
        return ERROR_INVALID_HANDLE;
    }
    // As Wine does for the local machine: the predefined key itself.
    *result = hKey;
    return ERROR_SUCCESS;
}

LONG WINAPI RegOpenKeyExAImpl(HKEY hKey, LPCSTR subKey, DWORD, REGSAM access, PHKEY result) {
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    Call call;
    KeyRef base;
    if (const LONG error = Begin(call, hKey, false, base)) {
        return error;
    }
    std::vector<std::string> names;
    if (const LONG error = SplitPath(subKey, names)) {
        return error;
    }
    KeyRef key;
    key.hive = base.hive;
    if (const LONG error = Grant(call, access, key.access)) {
        return error;
    }
    key.path = names.empty() ? base.path : JoinPath(base.path, names);
    if (call.Empty()) {
        // Only the root itself is there; a handle to it finds its row once the hive exists.
        if (!names.empty()) {
            return ERROR_FILE_NOT_FOUND;
        }
    } else if (names.empty()) {
        key.id = KeyId(call, base);
        if (key.id == 0) {
            return base.predefined ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
        }
    } else {
        key.id = FindPath(call, key.path);
        if (key.id == 0) {
            return Missing(call, base, ERROR_FILE_NOT_FOUND);
        }
    }
    *result = NewHandle(key);
    return ERROR_SUCCESS;
}

LONG WINAPI RegOpenKeyAImpl(HKEY hKey, LPCSTR subKey, PHKEY result) {
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (subKey == nullptr || *subKey == '\0') {
        // Windows hands back the same handle, without a new reference.
        KeyRef key;
        if (const LONG error = Resolve(hKey, key)) {
            *result = nullptr;
            return error;
        }
        *result = hKey;
        return ERROR_SUCCESS;
    }
    return RegOpenKeyExAImpl(hKey, subKey, 0, MAXIMUM_ALLOWED, result);
}

// Each name no longer than the registry allows, the path not deeper.
bool NamesFit(const std::vector<std::string>& names, const std::string& path) {
    for (const std::string& name : names) {
        if (name.size() > reg::kMaxKeyName) {
            return false;
        }
    }
    return Depth(path) <= reg::kMaxDepth;
}

// Makes the missing keys of `names` below `base` in one transaction; `id` is the
// last one's, `created` whether that one is new.
LONG CreatePath(Call& call, const KeyRef& base, const std::vector<std::string>& names, LPSTR keyClass, int64_t& id,
                bool& created) {
    if (!call->Begin()) {
        return call->LastError();
    }
    int64_t parent = KeyId(call, base);
    if (parent == 0) {
        call->Rollback();
        return base.predefined ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    }
    created = false;
    std::string path = base.path;
    for (size_t i = 0; i < names.size(); ++i) {
        path += '\\';
        path += Fold(names[i]);
        int64_t found = FindPath(call, path);
        if (found == 0) {
            const bool last = i + 1 == names.size();
            Statement insert = call->Prepare(
                "INSERT INTO keys(parent, path, name, class, written) VALUES (?1, ?2, ?3, ?4, "
                "CAST((julianday('now') - 2305813.5) * 864000000000.0 AS INTEGER))");
            insert.Bind(1, parent).Bind(2, path).Bind(3, names[i]);
            insert.Bind(4, std::string(last && keyClass != nullptr ? keyClass : ""));
            if (insert.Step() != SQLITE_DONE) {
                const LONG error = call->LastError();
                call->Rollback();
                return error;
            }
            found = sqlite3_last_insert_rowid(call->Db());
            call->KeyAdded(parent, found, path);
            created = last;
        }
        parent = found;
    }
    if (!call->Commit()) {
        return call->LastError();
    }
    id = parent;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyExAImpl(HKEY hKey, LPCSTR subKey, DWORD, LPSTR keyClass, DWORD, REGSAM access,
                                LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    Call call;
    KeyRef base;
    if (const LONG error = Begin(call, hKey, false, base)) {
        return error;
    }
    std::vector<std::string> names;
    if (const LONG error = SplitPath(subKey, names)) {
        return error;
    }
    KeyRef key;
    key.hive = base.hive;
    key.path = JoinPath(base.path, names);
    if (!NamesFit(names, key.path)) {
        return ERROR_INVALID_PARAMETER;
    }
    // Opening an existing key needs no write transaction.
    key.id = call.Empty() ? 0 : names.empty() ? KeyId(call, base) : FindPath(call, key.path);
    if (key.id != 0) {
        if (const LONG error = Grant(call, access, key.access)) {
            return error;
        }
        if (disposition != nullptr) {
            *disposition = REG_OPENED_EXISTING_KEY;
        }
        *result = NewHandle(key);
        return ERROR_SUCCESS;
    }
    if (names.empty()) {
        return base.predefined ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    }
    // A new key: the hive must be this user's to change (root's first write makes the machine's).
    if (call.Empty()) {
        if (const LONG error = call.Enter(base.hive, true)) {
            return error;
        }
    }
    if (!call.Writable()) {
        return ERROR_ACCESS_DENIED;
    }
    key.access = GrantedAccess(access);
    bool created = false;
    if (const LONG error = CreatePath(call, base, names, keyClass, key.id, created)) {
        return error;
    }
    if (disposition != nullptr) {
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    *result = NewHandle(key);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKeyImpl(HKEY hKey) {
    if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_USERS || hKey == HKEY_CURRENT_USER || hKey == HKEY_CLASSES_ROOT) {
        return ERROR_SUCCESS;
    }
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    return table.keys.erase(reinterpret_cast<uintptr_t>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// Facts from eight columns starting at `column`: class, written, then the six counts.
reg::Facts ReadFacts(const Statement& row, int column) {
    reg::Facts facts;
    facts.keyClass = row.Text(column);
    facts.written = row.Int(column + 1);
    DWORD* counts[] = {&facts.subKeys, &facts.maxSubKey,    &facts.maxClass,
                       &facts.values,  &facts.maxValueName, &facts.maxValue};
    for (int i = 0; i < 6; ++i) {
        *counts[i] = static_cast<DWORD>(row.Int(column + 2 + i));
    }
    return facts;
}

// A key's facts in one statement: one consistent view of the key. What nobody
// asked for is not counted.
LONG QueryFacts(Call& call, int64_t id, bool subKeyFacts, bool valueFacts, reg::Facts& facts) {
#define QVTR_SUBKEY_FACTS                                                   \
    " (SELECT count(*) FROM keys WHERE parent = ?1),"                       \
    " (SELECT coalesce(max(length(name)), 0) FROM keys WHERE parent = ?1)," \
    " (SELECT coalesce(max(length(class)), 0) FROM keys WHERE parent = ?1),"
#define QVTR_VALUE_FACTS                                                 \
    " (SELECT count(*) FROM vals WHERE key = ?1),"                       \
    " (SELECT coalesce(max(length(name)), 0) FROM vals WHERE key = ?1)," \
    " (SELECT coalesce(max(length(data)), 0) FROM vals WHERE key = ?1)"
    static const char* const kQueries[2][2] = {
        {"SELECT k.class, k.written, 0, 0, 0, 0, 0, 0 FROM keys k WHERE k.id = ?1",
         "SELECT k.class, k.written, 0, 0, 0," QVTR_VALUE_FACTS " FROM keys k WHERE k.id = ?1"},
        {"SELECT k.class, k.written," QVTR_SUBKEY_FACTS " 0, 0, 0 FROM keys k WHERE k.id = ?1",
         "SELECT k.class, k.written," QVTR_SUBKEY_FACTS QVTR_VALUE_FACTS " FROM keys k WHERE k.id = ?1"},
    };
#undef QVTR_SUBKEY_FACTS
#undef QVTR_VALUE_FACTS
    Statement info = call->Prepare(kQueries[subKeyFacts ? 1 : 0][valueFacts ? 1 : 0]);
    info.Bind(1, id);
    const int rc = info.Step();
    if (rc != SQLITE_ROW) {
        return rc == SQLITE_DONE ? ERROR_KEY_DELETED : call->LastError();
    }
    facts = ReadFacts(info, 0);
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryInfoKeyAImpl(HKEY hKey, LPSTR keyClass, LPDWORD classLength, LPDWORD reserved, LPDWORD subKeys,
                                 LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values,
                                 LPDWORD maxValueNameLength, LPDWORD maxValueLength, LPDWORD securityDescriptor,
                                 PFILETIME lastWrite) {
    if (reserved != nullptr || (keyClass != nullptr && classLength == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    Call call;
    KeyRef key;
    if (const LONG error = Enter(call, hKey, KEY_QUERY_VALUE, key)) {
        return error;
    }
    if (call.Empty()) {
        return PutFacts(reg::Facts(), keyClass, classLength, subKeys, maxSubKeyLength, maxClassLength, values,
                        maxValueNameLength, maxValueLength, securityDescriptor, lastWrite);
    }
    // A key deleted meanwhile has no row: the statement below says so.
    const int64_t id = key.predefined ? KeyId(call, key) : key.id;
    if (id == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    uint64_t snapshot = 0;
    const bool usable = call->Sync(snapshot);
    if (const reg::KeyMemory* known = usable ? call->Cache().Known(id) : nullptr; known != nullptr && known->counted) {
        return PutFacts(known->facts, keyClass, classLength, subKeys, maxSubKeyLength, maxClassLength, values,
                        maxValueNameLength, maxValueLength, securityDescriptor, lastWrite);
    }
    const bool subKeyFacts = subKeys != nullptr || maxSubKeyLength != nullptr || maxClassLength != nullptr;
    const bool valueFacts = values != nullptr || maxValueNameLength != nullptr || maxValueLength != nullptr;
    reg::Facts facts;
    if (const LONG error = QueryFacts(call, id, subKeyFacts, valueFacts, facts)) {
        return error;
    }
    if (usable && subKeyFacts && valueFacts && call->Settled(snapshot)) {
        reg::KeyMemory& known = call->Cache().MemoryOf(id);
        known.exists = true;
        known.counted = true;
        known.facts = facts;
    }
    return PutFacts(facts, keyClass, classLength, subKeys, maxSubKeyLength, maxClassLength, values, maxValueNameLength,
                    maxValueLength, securityDescriptor, lastWrite);
}

LONG WINAPI RegQueryValueExAImpl(HKEY hKey, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                 LPDWORD dataSize) {
    if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    Call call;
    KeyRef key;
    if (const LONG error = Enter(call, hKey, KEY_QUERY_VALUE, key)) {
        return error;
    }
    int64_t id = key.id;
    if (call.Empty() || (key.predefined && id == 0 && (id = KeyId(call, key)) == 0)) {
        return ERROR_FILE_NOT_FOUND;
    }
    const std::string folded = Fold(name != nullptr ? name : "");
    uint64_t snapshot = 0;
    const bool cacheable = call->Sync(snapshot);
    if (cacheable) {
        if (const reg::CachedValue* value = call->Cache().FindCachedValue(id, folded)) {
            if (!value->present) {
                return ERROR_FILE_NOT_FOUND;  // cached only while its key was there
            }
            return PutValue(value->type, value->data.data(), value->data.size(), type, data, dataSize);
        }
    }
    // Asking for the size only does not read the bytes of a large value.
    Statement query = call->Prepare(cacheable || data != nullptr
                                        ? "SELECT type, data FROM vals WHERE key = ?1 AND folded = ?2"
                                        : "SELECT type, length(data) FROM vals WHERE key = ?1 AND folded = ?2");
    query.Bind(1, id).Bind(2, folded);
    const int rc = query.Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        return call->LastError();
    }
    const LONG missing = rc == SQLITE_DONE ? Missing(call, key, ERROR_FILE_NOT_FOUND) : ERROR_SUCCESS;
    if (cacheable && (rc == SQLITE_DONE ? missing == ERROR_FILE_NOT_FOUND : query.Size(1) <= kCachedValueLimit) &&
        call->Settled(snapshot)) {
        reg::CachedValue value;
        value.present = rc == SQLITE_ROW;
        if (value.present) {
            value.type = static_cast<DWORD>(query.Int(0));
            value.data = query.Text(1);
        }
        call->Cache().CacheValue(id, folded, value);
    }
    if (rc == SQLITE_DONE) {
        return missing;
    }
    const DWORD valueType = static_cast<DWORD>(query.Int(0));
    if (!cacheable && data == nullptr) {
        return PutValue(valueType, nullptr, static_cast<size_t>(query.Int(1)), type, nullptr, dataSize);
    }
    return PutValue(valueType, query.Blob(1), query.Size(1), type, data, dataSize);
}

// How an enumeration finds the entry at an index: counting from the first, or
// stepping from where the last call on the key stopped, up or down.
enum Seek { kFromFirst, kUpFrom, kDownFrom };

Seek SeekFor(bool valid, DWORD below, DWORD index, int64_t& steps) {
    if (!valid) {
        steps = index;
        return kFromFirst;
    }
    if (index >= below) {
        steps = static_cast<int64_t>(index) - below;
        return kUpFrom;
    }
    steps = static_cast<int64_t>(below) - index - 1;
    return kDownFrom;
}

constexpr DWORD kLargestSpan = 256;

// Reads the entry at `index` and, while a walk goes on undisturbed, the next
// ones in its direction into `window`; the cursor then stands at the window's
// far end. `queries` are indexed by Seek. The entry, or null past the last one.
template <class Row, class Cursor, class ReadRow, class Position>
const Row* ReadWindow(Call& call, const char* const* queries, int64_t id, DWORD index, bool usable, uint64_t snapshot,
                      Cursor& cursor, reg::Window<Row>& window, int& rc, ReadRow&& readRow, Position&& position) {
    const bool walking = usable && window.generation == call->Generation() && window.generation != ~uint64_t(0);
    window.span = walking ? std::min(window.span * 2, kLargestSpan) : 1;
    for (bool fromCursor = usable && cursor.valid;; fromCursor = false) {
        int64_t steps = 0;
        const Seek seek = SeekFor(fromCursor, cursor.below, index, steps);
        Statement query = call->Prepare(queries[seek]);
        query.Bind(1, id).Bind(3, steps).Bind(4, static_cast<int64_t>(window.span));
        if (seek != kFromFirst) {
            query.Bind(2, cursor.at);
        }
        window.rows.clear();
        while ((rc = query.Step()) == SQLITE_ROW) {
            window.rows.push_back(readRow(query));
        }
        const bool settled = usable && call->Settled(snapshot);
        if (fromCursor && !settled) {
            cursor.valid = false;  // another process changed the key meanwhile
            continue;
        }
        window.generation = settled && rc == SQLITE_DONE ? call->Generation() : ~uint64_t(0);
        if (seek == kDownFrom) {
            std::reverse(window.rows.begin(), window.rows.end());
        }
        const DWORD count = static_cast<DWORD>(window.rows.size());
        window.first = seek == kDownFrom ? index - (count ? count - 1 : 0) : index;
        if (rc != SQLITE_DONE || count == 0) {
            return nullptr;
        }
        if (settled) {
            const Row& edge = seek == kDownFrom ? window.rows.front() : window.rows.back();
            cursor.valid = true;
            cursor.below = seek == kDownFrom ? window.first : window.first + count - 1;
            cursor.at = position(edge);
        }
        return &window.rows[seek == kDownFrom ? count - 1 : 0];
    }
}

// What tells a key's values from its sub-keys in an enumeration.
struct ValueEntries {
    using Row = reg::ValueRow;
    static constexpr REGSAM kAccess = KEY_QUERY_VALUE;
    // Values come in the order they were first written.
#define QVTR_VALUE_ROW "SELECT name, type, CASE WHEN length(data) <= 4096 THEN data END, length(data), rowid FROM vals "
    static constexpr const char* kQueries[3] = {
        QVTR_VALUE_ROW "WHERE key = ?1 ORDER BY rowid LIMIT ?4 OFFSET ?3",
        QVTR_VALUE_ROW "WHERE key = ?1 AND rowid >= ?2 ORDER BY rowid LIMIT ?4 OFFSET ?3",
        QVTR_VALUE_ROW "WHERE key = ?1 AND rowid < ?2 ORDER BY rowid DESC LIMIT ?4 OFFSET ?3",
    };
#undef QVTR_VALUE_ROW
    static DWORD Count(const reg::Facts& facts) {
        return facts.values;
    }
    static reg::Window<Row>& Rows(reg::KeyMemory& known) {
        return known.valueRows;
    }
    static auto& Cursor(reg::KeyMemory& known) {
        return known.valueCursor;
    }
    static Row Read(Statement& q) {
        Row r;
        r.name = q.Text(0);
        r.type = static_cast<DWORD>(q.Int(1));
        r.whole = q.Blob(2) != nullptr || q.Int(3) == 0;
        r.data = q.Text(2);
        r.size = static_cast<size_t>(q.Int(3));
        r.rowid = q.Int(4);
        return r;
    }
    static int64_t Position(const Row& r) {
        return r.rowid;
    }
    static void Seen(Call&, const reg::KeyMemory&) {}
};

struct SubKeyEntries {
    using Row = reg::SubKeyRow;
    static constexpr REGSAM kAccess = KEY_ENUMERATE_SUB_KEYS;
    // Sub-keys come in the order of their upper-case names, as on Windows.
#define QVTR_SUBKEY_ROW "SELECT name, class, written, path, id FROM keys "
    static constexpr const char* kQueries[3] = {
        QVTR_SUBKEY_ROW "WHERE parent = ?1 ORDER BY path LIMIT ?4 OFFSET ?3",
        QVTR_SUBKEY_ROW "WHERE parent = ?1 AND path >= ?2 ORDER BY path LIMIT ?4 OFFSET ?3",
        QVTR_SUBKEY_ROW "WHERE parent = ?1 AND path < ?2 ORDER BY path DESC LIMIT ?4 OFFSET ?3",
    };
#undef QVTR_SUBKEY_ROW
    static DWORD Count(const reg::Facts& facts) {
        return facts.subKeys;
    }
    static reg::Window<Row>& Rows(reg::KeyMemory& known) {
        return known.subKeyRows;
    }
    static auto& Cursor(reg::KeyMemory& known) {
        return known.subKeys;
    }
    static Row Read(Statement& q) {
        Row r;
        r.name = q.Text(0);
        r.keyClass = q.Text(1);
        r.written = q.Int(2);
        r.path = q.Text(3);
        r.id = q.Int(4);
        return r;
    }
    static std::string Position(const Row& r) {
        return r.path;
    }
    // The caller usually opens them next.
    static void Seen(Call& call, const reg::KeyMemory& known) {
        for (const Row& read : known.subKeyRows.rows) {
            call->Cache().CacheKey(read.path, read.id);
        }
    }
};

// The one body of both enumerations: the entry at `index`, from memory while
// nothing changed, else read with its neighbours. `scratch` holds the rows when
// memory is not to be trusted; `row` stays valid while `call` lives.
template <class Entries>
LONG FindEntry(Call& call, HKEY hKey, DWORD index, reg::KeyMemory& scratch, KeyRef& key,
               const typename Entries::Row*& row) {
    if (const LONG error = Enter(call, hKey, Entries::kAccess, key)) {
        return error;
    }
    if (call.Empty()) {
        return ERROR_NO_MORE_ITEMS;
    }
    int64_t id = key.id;
    if (key.predefined && id == 0 && (id = KeyId(call, key)) == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    uint64_t snapshot = 0;
    const bool usable = call->Sync(snapshot);
    reg::KeyMemory& known = usable ? call->Cache().MemoryOf(id) : scratch;
    if (usable && known.counted && index >= Entries::Count(known.facts)) {
        return ERROR_NO_MORE_ITEMS;
    }
    row = usable ? Entries::Rows(known).At(call->Generation(), index) : nullptr;
    if (row != nullptr) {
        return ERROR_SUCCESS;
    }
    int rc = SQLITE_DONE;
    row = ReadWindow(call, Entries::kQueries, id, index, usable, snapshot, Entries::Cursor(known), Entries::Rows(known),
                     rc, Entries::Read, Entries::Position);
    if (row == nullptr) {
        return rc == SQLITE_DONE ? Missing(call, key, ERROR_NO_MORE_ITEMS) : call->LastError();
    }
    if (usable && call->Settled(snapshot)) {
        known.exists = true;
        Entries::Seen(call, known);
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumValueAImpl(HKEY hKey, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved, LPDWORD type,
                              LPBYTE data, LPDWORD dataSize) {
    if (name == nullptr || nameLength == nullptr || reserved != nullptr || (data != nullptr && dataSize == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    Call call;
    KeyRef key;
    reg::KeyMemory scratch;
    const reg::ValueRow* row = nullptr;
    if (const LONG error = FindEntry<ValueEntries>(call, hKey, index, scratch, key, row)) {
        return error;
    }
    LONG result = ERROR_SUCCESS;
    if (data == nullptr || row->whole) {
        result = PutValue(row->type, row->data.data(), row->size, type, data, dataSize);
    } else {
        Statement bytes = call->Prepare("SELECT data FROM vals WHERE rowid = ?1");
        bytes.Bind(1, row->rowid);
        if (bytes.Step() != SQLITE_ROW) {
            return Missing(call, key, ERROR_NO_MORE_ITEMS);
        }
        result = PutValue(row->type, bytes.Blob(0), bytes.Size(0), type, data, dataSize);
    }
    return result != ERROR_SUCCESS ? result : CopyName(row->name, name, nameLength);
}

LONG WINAPI RegEnumKeyExAImpl(HKEY hKey, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved, LPSTR keyClass,
                              LPDWORD classLength, PFILETIME lastWrite) {
    if (name == nullptr || nameLength == nullptr || reserved != nullptr ||
        (keyClass != nullptr && classLength == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    Call call;
    KeyRef key;
    reg::KeyMemory scratch;
    const reg::SubKeyRow* row = nullptr;
    if (const LONG error = FindEntry<SubKeyEntries>(call, hKey, index, scratch, key, row)) {
        return error;
    }
    return PutSubKey(*row, name, nameLength, keyClass, classLength, lastWrite);
}

LONG WINAPI RegSetValueExAImpl(HKEY hKey, LPCSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
    if (data == nullptr && size != 0) {
        return ERROR_NOACCESS;
    }
    const std::string valueName = name != nullptr ? name : "";
    if (valueName.size() > reg::kMaxValueName) {
        return ERROR_INVALID_PARAMETER;
    }
    Call call;
    KeyRef key;
    if (const LONG error = Enter(call, hKey, KEY_SET_VALUE, key)) {
        return error;
    }
    int64_t id = key.id;
    if (key.predefined && id == 0 && (id = KeyId(call, key)) == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    // A value written again keeps its place and its name's case.
    int64_t changes = 0;
    const LONG error = Change(
        call,
        [&] {
            Statement upsert = call->Prepare(
                "INSERT INTO vals(key, folded, name, type, data) SELECT ?1, ?2, ?3, ?4, ?5"
                " WHERE EXISTS (SELECT 1 FROM keys WHERE id = ?1)"
                " ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data");
            const std::string folded = Fold(valueName);
            upsert.Bind(1, id).Bind(2, folded).Bind(3, valueName).Bind(4, static_cast<int64_t>(type));
            upsert.Bind(5, data, size);
            const int rc = upsert.Step();
            if (rc == SQLITE_DONE && call->Changes() != 0) {
                call->ValueWritten(id, folded, ValueRow(call, id, folded));
            }
            return rc;
        },
        changes);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    return changes == 0 ? ERROR_KEY_DELETED : ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueAImpl(HKEY hKey, LPCSTR name) {
    Call call;
    KeyRef key;
    if (const LONG error = Enter(call, hKey, KEY_SET_VALUE, key)) {
        return error;
    }
    int64_t id = key.id;
    if (key.predefined && id == 0 && (id = KeyId(call, key)) == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    int64_t changes = 0;
    const LONG error = Change(
        call,
        [&] {
            const std::string folded = Fold(name != nullptr ? name : "");
            const int64_t rowid = ValueRow(call, id, folded);
            Statement remove = call->Prepare("DELETE FROM vals WHERE key = ?1 AND folded = ?2");
            remove.Bind(1, id).Bind(2, folded);
            const int rc = remove.Step();
            if (rc == SQLITE_DONE && call->Changes() != 0) {
                call->ValueRemoved(id, folded, rowid);
            }
            return rc;
        },
        changes);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    return changes == 0 ? Missing(call, key, ERROR_FILE_NOT_FOUND) : ERROR_SUCCESS;
}

LONG WINAPI RegDeleteKeyAImpl(HKEY hKey, LPCSTR subKey) {
    if (subKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    Call call;
    KeyRef base;
    if (const LONG error = Begin(call, hKey, true, base)) {
        return error;
    }
    std::vector<std::string> names;
    if (const LONG error = SplitPath(subKey, names)) {
        return error;
    }
    const std::string path = JoinPath(base.path, names);
    if (IsProtected(path) || !call.Writable()) {
        return ERROR_ACCESS_DENIED;
    }
    // NT removes only a key without sub-keys; its values go with it (trigger).
    int64_t changes = 0;
    const LONG error = Change(
        call,
        [&] {
            int64_t id = 0;
            int64_t parent = 0;
            {
                Statement find = call->Prepare("SELECT id, parent FROM keys WHERE path = ?1");
                find.Bind(1, path);
                if (find.Step() == SQLITE_ROW) {
                    id = find.Int(0);
                    parent = find.Int(1);
                }
            }
            Statement remove = call->Prepare(
                "DELETE FROM keys WHERE id = ?1 AND NOT EXISTS (SELECT 1 FROM keys c WHERE c.parent = ?1)");
            remove.Bind(1, id);
            const int rc = remove.Step();
            if (rc == SQLITE_DONE && call->Changes() != 0) {
                call->KeyRemoved(parent, id, path);
            }
            return rc;
        },
        changes);
    if (error != ERROR_SUCCESS || changes != 0) {
        return error;
    }
    if (FindPath(call, path) != 0) {
        return EmulatesWindows95(call) ? DeleteSubtree(call, path) : ERROR_ACCESS_DENIED;
    }
    return names.empty() ? ERROR_KEY_DELETED : Missing(call, base, ERROR_FILE_NOT_FOUND);
}

// One transaction per hive the user may write (a snapshot: per hive there is):
// an import into both hives is all or nothing in each of them.
LONG EndTransaction(Hive hive, bool commit) {
    Call call;
    if (call.Enter(hive, false) != ERROR_SUCCESS || call.Empty()) {
        return ERROR_SUCCESS;
    }
    if (call->InSnapshot()) {
        return call->EndSnapshot();
    }
    return call->InImport() ? call->EndImport(commit) : ERROR_SUCCESS;
}

LONG BeginTransaction(Hive hive, bool snapshot) {
    Call call;
    // Root's import makes the machine hive, so that its first write is all or nothing too.
    if (call.Enter(hive, !snapshot && geteuid() == 0) != ERROR_SUCCESS) {
        return ERROR_SUCCESS;  // a hive that cannot be used fails its own calls
    }
    if (call.Empty() || (!snapshot && !call.Writable())) {
        return ERROR_SUCCESS;
    }
    return snapshot ? call->BeginSnapshot() : call->BeginImport();
}

LONG WINAPI QvtrRegTransactionImpl(DWORD action) {
    if (action != QVTR_REG_BEGIN && action != QVTR_REG_SNAPSHOT && action != QVTR_REG_COMMIT &&
        action != QVTR_REG_ROLLBACK) {
        return ERROR_INVALID_PARAMETER;
    }
    const bool both = !PrivateRegistry();
    if (action == QVTR_REG_COMMIT || action == QVTR_REG_ROLLBACK) {
        const LONG user = EndTransaction(Hive::kUser, action == QVTR_REG_COMMIT);
        const LONG machine = both ? EndTransaction(Hive::kMachine, action == QVTR_REG_COMMIT) : ERROR_SUCCESS;
        return user != ERROR_SUCCESS ? user : machine;
    }
    if (const LONG error = BeginTransaction(Hive::kUser, action == QVTR_REG_SNAPSHOT)) {
        return error;
    }
    const LONG error = both ? BeginTransaction(Hive::kMachine, action == QVTR_REG_SNAPSHOT) : ERROR_SUCCESS;
    if (error != ERROR_SUCCESS) {
        EndTransaction(Hive::kUser, false);
    }
    return error;
}

// What `qvtr report` tells of the registry: where each hive is, whether this
// user may change it, and keys a user store kept from an older layout.
std::string DescribeRegistry() {
    std::string text;
    LONG error = ERROR_SUCCESS;
    if (PrivateRegistry()) {
        Store* store = Store::Get(Hive::kUser, error);
        return "Registry\t" + UserHivePath() + " ($QVTR_REGISTRY: a machine of its own, every root in one file" +
               (store == nullptr ? ", cannot be opened: " + std::to_string(error) : std::string()) + ")\n";
    }
    Store* machine = Store::Get(Hive::kMachine, error);
    text += "Machine hive\t" + MachineHivePath() +
            (machine != nullptr ? machine->Writable() ? " (HKLM; this user writes it)" : " (HKLM; read only)"
             : error == ERROR_FILE_NOT_FOUND ? " (not made yet: an empty HKLM until root writes to it)"
                                             : " (cannot be used: error " + std::to_string(error) + ")") +
            "\n";
    Store* user = Store::Get(Hive::kUser, error);
    text += "User hive\t" + UserHivePath() +
            (user == nullptr ? " (cannot be used: error " + std::to_string(error) + ")" : std::string(" (HKCU)")) +
            "\n";
    if (user != nullptr) {
        std::lock_guard<std::mutex> lock(user->Mutex());
        if (const int64_t stranded = user->StrandedMachineKeys()) {
            const std::string path = UserHivePath();
            text += "Old machine keys\t" + std::to_string(stranded) + " HKLM key(s) in " + path +
                    " are no longer read. Root moves them: QVTR_REGISTRY=" + path +
                    " qvtr reg export HKLM\\Software old.reg, then qvtr reg import old.reg. Or keep that machine: "
                    "QVTR_REGISTRY=" +
                    path + "\n";
        }
    }
    return text;
}

DWORD WINAPI QvtrDescribeRegistryImpl(LPSTR buffer, DWORD size) {
    const std::string text = DescribeRegistry();
    if (buffer == nullptr || text.size() + 1 > size) {
        return static_cast<DWORD>(text.size() + 1);
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

}  // namespace

LONG DeleteRegistryTree(HKEY root, const std::string& subKey) {
    Call call;
    KeyRef base;
    if (const LONG error = Begin(call, root, true, base)) {
        return error;
    }
    std::vector<std::string> names;
    if (const LONG error = SplitPath(subKey.c_str(), names)) {
        return error;
    }
    const std::string path = JoinPath(base.path, names);
    if (names.empty() || IsProtected(path) || !call.Writable()) {
        return ERROR_ACCESS_DENIED;
    }
    return DeleteSubtree(call, path);
}

void BindRegistry(Win32Api& t) {
    t.RegConnectRegistryA = RegConnectRegistryAImpl;
    t.RegCreateKeyExA = RegCreateKeyExAImpl;
    t.RegOpenKeyExA = RegOpenKeyExAImpl;
    t.RegOpenKeyA = RegOpenKeyAImpl;
    t.RegCloseKey = RegCloseKeyImpl;
    t.RegQueryInfoKeyA = RegQueryInfoKeyAImpl;
    t.RegQueryValueExA = RegQueryValueExAImpl;
    t.RegEnumValueA = RegEnumValueAImpl;
    t.RegEnumKeyExA = RegEnumKeyExAImpl;
    t.RegSetValueExA = RegSetValueExAImpl;
    t.RegDeleteValueA = RegDeleteValueAImpl;
    t.RegDeleteKeyA = RegDeleteKeyAImpl;
    t.QvtrRegTransaction = QvtrRegTransactionImpl;
    t.QvtrDescribeRegistry = QvtrDescribeRegistryImpl;
    BindRemoteRegistry(t);
}

}  // namespace posix
