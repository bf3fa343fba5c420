// What the registry keeps in memory between calls, for one store in one process:
// key ids by path, values, where the last enumeration of each key stopped, the
// rows read ahead of a walk, and each key's counts. It knows nothing of the
// database: it gives back what it was told and forgets on request. Whether it
// may be used at all, and what must be forgotten when another process changed
// something, the store decides, at one gate (Store::Sync; QVTR_REGISTRY_MEMORY=off
// keeps it shut).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "win32/win32.h"

namespace posix {
namespace reg {

// A value as read, or that it is missing (`present` false).
struct CachedValue {
    bool present = false;
    DWORD type = 0;
    std::string name;  // folded
    std::string data;
};
// Where the last enumeration of a key stopped: `below` entries sort before
// `at` (a folded path for sub-keys, a rowid for values), which may itself be
// gone since. A neighbouring index is then one step away, whatever the size.
struct KeyCursor {
    bool valid = false;
    DWORD below = 0;
    std::string at;
};
struct ValueCursor {
    bool valid = false;
    DWORD below = 0;
    int64_t at = 0;
};

// What RegQueryInfoKeyA tells of a key: counts and longest lengths of its
// sub-keys (name, class) and values (name, data).
struct Facts {
    std::string keyClass;
    int64_t written = 0;
    DWORD subKeys = 0, maxSubKey = 0, maxClass = 0, values = 0, maxValueName = 0, maxValue = 0;
};
struct SubKeyRow {
    std::string name, keyClass, path;
    int64_t written = 0, id = 0;
};
struct ValueRow {
    std::string name, data;
    DWORD type = 0;
    size_t size = 0;
    bool whole = false;  // `data` holds the bytes: small enough to keep
    int64_t rowid = 0;
};
template <class Row>
struct Window {
    uint64_t generation = ~uint64_t(0);
    DWORD first = 0;
    DWORD span = 1;  // rows to read next: doubles while a walk goes on undisturbed
    std::vector<Row> rows;
    const Row* At(uint64_t now, DWORD index) const {
        return generation == now && index >= first && index - first < rows.size() ? &rows[index - first] : nullptr;
    }
};

// What is known of one key: its values, its positions, that it exists, and how
// many sub-keys and values it has; and consecutive entries read in one statement
// for the calls that follow, good while nothing at all has changed since (the
// generation).
struct KeyMemory {
    std::unordered_map<uint64_t, CachedValue> values;  // by hash of the folded name
    KeyCursor subKeys;
    ValueCursor valueCursor;
    Window<SubKeyRow> subKeyRows;
    Window<ValueRow> valueRows;
    bool exists = false;
    bool counted = false;  // `facts` hold
    Facts facts;
};
// Null when nothing is known of the key.

class Memory {
public:
    // Advances at every change seen or made: rows read ahead of an older one are stale.
    uint64_t Generation() const { return m_generation; }
    void Changed() { ++m_generation; }

    // Cached key ids by folded path (0: no such key) and values by key and folded name.
    bool FindCachedKey(const std::string& path, int64_t& id) const;
    void CacheKey(const std::string& path, int64_t id);
    const CachedValue* FindCachedValue(int64_t key, const std::string& folded) const;
    void CacheValue(int64_t key, const std::string& folded, const CachedValue& value);
    KeyMemory& MemoryOf(int64_t key);
    // Null when nothing is known of the key.
    KeyMemory* Known(int64_t key);

    // Another process changed something: everything, one sub-key of a key (by
    // the hash of its folded path), one value (by the hash of its folded name),
    // or all a key held.
    void Forget();
    void ForgetKey(int64_t parent, uint64_t pathHash);
    void ForgetValue(int64_t key, uint64_t nameHash);
    void ForgetKeyContents(int64_t id);

    // This process's own changes, corrected in place.
    void KeyAdded(int64_t parent, int64_t id, const std::string& path);
    void KeyRemoved(int64_t parent, int64_t id, const std::string& path);
    void ValueChanged(int64_t key, const std::string& folded, int64_t rowid, bool removed);

private:
    struct CachedKey {
        std::string path;
        int64_t id = 0;
    };
    std::unordered_map<uint64_t, CachedKey> m_cachedKeys;  // by hash of the folded path
    std::unordered_map<int64_t, KeyMemory> m_keys;
    size_t m_cachedValueCount = 0;
    uint64_t m_generation = 0;
};

// FNV-1a of the bytes: the same in every process.
uint64_t Hash(const std::string& bytes);

}  // namespace reg
}  // namespace posix
