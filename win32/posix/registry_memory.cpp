// The registry's memory between calls; see registry_memory.h for what it promises.
#include "win32/posix/registry_memory.h"

namespace posix {
namespace reg {

namespace {

// Entries of each kind of memory; past it the oldest go.
constexpr size_t kMemoryLimit = 4096;

}  // namespace

uint64_t Hash(const std::string& bytes) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a: the same in every process
    for (unsigned char c : bytes) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    return hash;
}

void Memory::Forget() {
    ++m_generation;
    m_cachedKeys.clear();
    m_keys.clear();
    m_cachedValueCount = 0;
}

void Memory::ForgetKey(int64_t parent, uint64_t pathHash) {
    ++m_generation;
    m_cachedKeys.erase(pathHash);
    auto found = m_keys.find(parent);
    if (found != m_keys.end()) {
        found->second.subKeys.valid = false;
        found->second.counted = false;
    }
}

void Memory::ForgetValue(int64_t key, uint64_t nameHash) {
    ++m_generation;
    auto found = m_keys.find(key);
    if (found != m_keys.end()) {
        m_cachedValueCount -= found->second.values.erase(nameHash);
        found->second.valueCursor.valid = false;
        found->second.counted = false;
    }
}

void Memory::ForgetKeyContents(int64_t id) {
    ++m_generation;
    auto found = m_keys.find(id);
    if (found != m_keys.end()) {
        m_cachedValueCount -= found->second.values.size();
        m_keys.erase(found);
    }
}

bool Memory::FindCachedKey(const std::string& path, int64_t& id) const {
    auto found = m_cachedKeys.find(Hash(path));
    if (found == m_cachedKeys.end() || found->second.path != path) {
        return false;
    }
    id = found->second.id;
    return true;
}

void Memory::CacheKey(const std::string& path, int64_t id) {
    if (m_cachedKeys.size() >= kMemoryLimit) {
        m_cachedKeys.clear();
    }
    CachedKey& entry = m_cachedKeys[Hash(path)];
    entry.path = path;
    entry.id = id;
}

KeyMemory& Memory::MemoryOf(int64_t key) {
    auto found = m_keys.find(key);
    if (found != m_keys.end()) {
        return found->second;
    }
    // What is dropped is only asked of the database again; a key enumerated
    // half-way is kept where possible, its next step would start over.
    while (m_keys.size() >= kMemoryLimit) {
        auto victim = m_keys.begin();
        int tries = 16;
        for (auto it = victim; it != m_keys.end() && tries-- > 0; ++it) {
            const KeyMemory& memory = it->second;
            if (!(memory.subKeys.valid && memory.subKeys.below > 0) &&
                !(memory.valueCursor.valid && memory.valueCursor.below > 0)) {
                victim = it;
                break;
            }
        }
        m_cachedValueCount -= victim->second.values.size();
        m_keys.erase(victim);
    }
    return m_keys[key];
}

const CachedValue* Memory::FindCachedValue(int64_t key, const std::string& folded) const {
    auto memory = m_keys.find(key);
    if (memory == m_keys.end()) {
        return nullptr;
    }
    auto found = memory->second.values.find(Hash(folded));
    return found != memory->second.values.end() && found->second.name == folded ? &found->second : nullptr;
}

void Memory::CacheValue(int64_t key, const std::string& folded, const CachedValue& value) {
    if (m_cachedValueCount >= kMemoryLimit) {
        for (auto& memory : m_keys) {
            memory.second.values.clear();
        }
        m_cachedValueCount = 0;
    }
    auto& values = MemoryOf(key).values;
    auto inserted = values.emplace(Hash(folded), value);
    if (inserted.second) {
        ++m_cachedValueCount;
    } else {
        inserted.first->second = value;
    }
    inserted.first->second.name = folded;
}

KeyMemory* Memory::Known(int64_t key) {
    auto found = m_keys.find(key);
    return found != m_keys.end() ? &found->second : nullptr;
}

void Memory::KeyAdded(int64_t parent, int64_t id, const std::string& path) {
    CacheKey(path, id);
    auto found = m_keys.find(parent);
    if (found == m_keys.end()) {
        return;
    }
    found->second.counted = false;
    if (found->second.subKeys.valid && path < found->second.subKeys.at) {
        ++found->second.subKeys.below;
    }
}

void Memory::KeyRemoved(int64_t parent, int64_t id, const std::string& path) {
    CacheKey(path, 0);
    ForgetKeyContents(id);
    auto found = m_keys.find(parent);
    if (found == m_keys.end()) {
        return;
    }
    found->second.counted = false;
    if (found->second.subKeys.valid && path < found->second.subKeys.at) {
        KeyCursor& cursor = found->second.subKeys;
        cursor.valid = cursor.below > 0;
        cursor.below -= cursor.valid ? 1 : 0;
    }
}

void Memory::ValueChanged(int64_t key, const std::string& folded, int64_t rowid, bool removed) {
    auto found = m_keys.find(key);
    if (found == m_keys.end()) {
        return;
    }
    m_cachedValueCount -= found->second.values.erase(Hash(folded));
    found->second.counted = false;
    // A new value comes after every other; one before the position was rewritten
    // in place (its position is unknown now), or removed (one fewer before it).
    ValueCursor& cursor = found->second.valueCursor;
    if (cursor.valid && rowid < cursor.at) {
        cursor.valid = removed && cursor.below > 0;
        cursor.below -= cursor.valid ? 1 : 0;
    }
}

}  // namespace reg
}  // namespace posix
