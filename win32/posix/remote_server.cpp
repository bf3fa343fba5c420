// The server half of a remote registry: what `qvtr reg-server` runs on the
// machine whose registry is asked, started by that machine's sshd as the ssh
// user. It answers one client on its standard input and output through this
// process's own registry functions, so the machine's rules hold as they do
// locally (every user reads HKEY_LOCAL_MACHINE, root alone changes it). A
// request is untrusted: its sizes are checked by the frame reader, its names
// and paths by the registry functions, and one that does not parse ends the
// connection.
#include <algorithm>
#include <unordered_map>

#include "win32/posix/registry_store.h"
#include "win32/posix/remote.h"
#include "win32/posix/remote_wire.h"
#include "win32/registry_value.h"

namespace posix {

namespace {

using namespace wire;

// Open keys of one client at most; more are refused, as a server's are.
constexpr size_t kMaxOpenKeys = 4096;

bool IsPredefined(HKEY key) {
    return key == HKEY_LOCAL_MACHINE || key == HKEY_USERS;
}

// A batch of sub-keys from `first` on, at most kBatchBytes of them.
LONG ReadSubKeys(HKEY key, DWORD first, SubKeys& batch) {
    batch = SubKeys();
    batch.first = first;
    std::string name(reg::kMaxKeyName + 1, '\0'), keyClass(256, '\0');
    size_t bytes = 0;
    for (DWORD index = first; bytes < kBatchBytes;) {
        DWORD nameLength = static_cast<DWORD>(name.size()), classLength = static_cast<DWORD>(keyClass.size());
        FILETIME written = {};
        const LONG error =
            Api().RegEnumKeyExA(key, index, &name[0], &nameLength, nullptr, &keyClass[0], &classLength, &written);
        if (error == ERROR_MORE_DATA && keyClass.size() < kBatchBytes) {
            keyClass.resize(keyClass.size() * 4);
            continue;
        }
        if (error != ERROR_SUCCESS) {
            batch.end = error == ERROR_NO_MORE_ITEMS;
            return batch.rows.empty() ? error : ERROR_SUCCESS;
        }
        reg::SubKeyRow row;
        row.name.assign(name.data(), nameLength);
        row.keyClass.assign(keyClass.data(), classLength);
        row.written = static_cast<int64_t>(static_cast<uint64_t>(written.dwHighDateTime) << 32 | written.dwLowDateTime);
        bytes += row.name.size() + row.keyClass.size() + 16;
        batch.rows.push_back(std::move(row));
        ++index;
    }
    return ERROR_SUCCESS;
}

// A batch of values from `first` on; a value too large for a frame ends the batch.
LONG ReadValues(HKEY key, DWORD first, Values& batch) {
    batch = Values();
    batch.first = first;
    std::string name(reg::kMaxValueName + 1, '\0'), data(4096, '\0');
    size_t bytes = 0;
    for (DWORD index = first; bytes < kBatchBytes;) {
        DWORD nameLength = static_cast<DWORD>(name.size()), size = static_cast<DWORD>(data.size()), type = 0;
        const LONG error = Api().RegEnumValueA(key, index, &name[0], &nameLength, nullptr, &type,
                                               reinterpret_cast<LPBYTE>(&data[0]), &size);
        if (error == ERROR_MORE_DATA && size > data.size() && size <= kMaxFrame - kBatchBytes) {
            data.resize(size);
            continue;
        }
        if (error != ERROR_SUCCESS) {
            batch.end = error == ERROR_NO_MORE_ITEMS;
            const LONG tooLarge = error == ERROR_MORE_DATA ? ERROR_NOT_ENOUGH_MEMORY : error;
            return batch.rows.empty() ? tooLarge : ERROR_SUCCESS;
        }
        reg::ValueRow row;
        row.name.assign(name.data(), nameLength);
        row.type = type;
        row.data.assign(data.data(), size);
        bytes += row.name.size() + row.data.size() + 16;
        batch.rows.push_back(std::move(row));
        ++index;
    }
    return ERROR_SUCCESS;
}

LONG ReadFacts(HKEY key, reg::Facts& facts) {
    std::string keyClass(256, '\0');
    for (;;) {
        DWORD classLength = static_cast<DWORD>(keyClass.size());
        FILETIME written = {};
        const LONG error = Api().RegQueryInfoKeyA(key, &keyClass[0], &classLength, nullptr, &facts.subKeys,
                                                  &facts.maxSubKey, &facts.maxClass, &facts.values, &facts.maxValueName,
                                                  &facts.maxValue, nullptr, &written);
        if (error == ERROR_MORE_DATA && keyClass.size() < kBatchBytes) {
            keyClass.resize(keyClass.size() * 4);
            continue;
        }
        facts.keyClass.assign(keyClass.data(), error == ERROR_SUCCESS ? classLength : 0);
        facts.written =
            static_cast<int64_t>(static_cast<uint64_t>(written.dwHighDateTime) << 32 | written.dwLowDateTime);
        return error;
    }
}

// The names of a key's sub-keys, all of them.
std::vector<std::string> ChildNames(HKEY top, const std::string& path) {
    std::vector<std::string> names;
    HKEY key = top;
    if (!path.empty() && Api().RegOpenKeyExA(top, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return names;
    }
    for (SubKeys batch; ReadSubKeys(key, static_cast<DWORD>(names.size()), batch) == ERROR_SUCCESS;) {
        for (reg::SubKeyRow& row : batch.rows) {
            names.push_back(std::move(row.name));
        }
    }
    if (key != top) {
        Api().RegCloseKey(key);
    }
    return names;
}

std::string Join(const std::string& path, const std::string& name) {
    return path.empty() ? name : path + "\\" + name;
}

// The keys of `top` in the order a walk visits them (each parent before its
// children), starting at `from` (a path below top; empty for top itself), until
// the read-ahead is full: the client then walks them without asking again, and
// where it finds none asks to go on from there.
class TreeReader {
public:
    TreeReader(HKEY top, Writer& pictures) : m_top(top), m_pictures(pictures) {}

    uint32_t Read(const std::string& from) {
        // A path no key can have is not walked: a request is bounded as a local call is.
        if (static_cast<size_t>(std::count(from.begin(), from.end(), '\\')) >= reg::kMaxDepth) {
            return 0;
        }
        // What follows `from` in the walk: the later siblings of it and of each of its parents.
        std::string parent;
        size_t start = 0;
        while (start < from.size()) {
            const size_t end = std::min(from.find('\\', start), from.size());
            const std::string name = from.substr(start, end - start);
            Level level{parent, ChildNames(m_top, parent), 0};
            while (level.next < level.children.size() && reg::Fold(level.children[level.next]) != reg::Fold(name)) {
                ++level.next;
            }
            ++level.next;
            m_levels.push_back(std::move(level));
            parent = Join(parent, name);
            start = end + 1;
        }
        for (std::string next = from; Visit(next) && Next(next);) {
        }
        return m_count;
    }

private:
    struct Level {
        std::string path;
        std::vector<std::string> children;
        size_t next;
    };

    bool Full() const { return m_count >= kTreeKeys || m_pictures.Size() >= kTreeBytes; }

    bool Next(std::string& path) {
        while (!m_levels.empty()) {
            Level& level = m_levels.back();
            if (level.next < level.children.size()) {
                path = Join(level.path, level.children[level.next++]);
                return true;
            }
            m_levels.pop_back();
        }
        return false;
    }

    // One key's picture; its sub-keys are walked next.
    bool Visit(const std::string& path) {
        if (Full()) {
            return false;
        }
        Picture picture;
        picture.path = path;
        HKEY key = m_top;
        if (!path.empty() && Api().RegOpenKeyExA(m_top, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
            return true;
        }
        const bool whole = ReadFacts(key, picture.facts) == ERROR_SUCCESS &&
                           ReadSubKeys(key, 0, picture.subKeys) != ERROR_NOT_ENOUGH_MEMORY &&
                           ReadValues(key, 0, picture.values) != ERROR_NOT_ENOUGH_MEMORY;
        if (key != m_top) {
            Api().RegCloseKey(key);
        }
        if (!whole) {
            return true;
        }
        std::vector<std::string> children;
        for (const reg::SubKeyRow& child : picture.subKeys.rows) {
            children.push_back(child.name);
        }
        m_levels.push_back(Level{path, std::move(children), 0});
        Put(m_pictures, picture);
        ++m_count;
        return true;
    }

    HKEY m_top;
    Writer& m_pictures;
    std::vector<Level> m_levels;
    uint32_t m_count = 0;
};

// The read-ahead of an open: `top` (relative to `base`) walked from `from`, in
// one snapshot of the store where it has them.
void ReadTree(HKEY base, const std::string& top, const std::string& from, Writer& out) {
    HKEY key = nullptr;
    if (Api().RegOpenKeyExA(base, top.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        out.U32(0);
        return;
    }
    const bool snapshot = Api().QvtrRegTransaction != nullptr && Api().QvtrRegTransaction(QVTR_REG_SNAPSHOT) == 0;
    Writer pictures;
    const uint32_t count = TreeReader(key, pictures).Read(from);
    if (snapshot) {
        Api().QvtrRegTransaction(QVTR_REG_COMMIT);
    }
    Api().RegCloseKey(key);
    out.U32(count).Raw(pictures.Bytes());
}

class Server {
public:
    ~Server() {
        for (const auto& open : m_keys) {
            if (!IsPredefined(open.second)) {
                Api().RegCloseKey(open.second);
            }
        }
    }

    // The answer to one request; false when it does not parse (the connection ends).
    bool Answer(const std::string& request, Writer& out, bool& reply) {
        Reader in(request);
        const uint8_t op = in.U8();
        const uint32_t id = in.U32();
        reply = op != kBaseRegCloseKey;
        if (op == kHello) {
            return in.Text(64) == kGreeting && in.Done() && Greet(out);
        }
        if (op == kOpenLocalMachine || op == kOpenUsers) {
            return in.Done() && (Keep(op == kOpenLocalMachine ? HKEY_LOCAL_MACHINE : HKEY_USERS, out), true);
        }
        const auto found = m_keys.find(id);
        HKEY key = found == m_keys.end() ? nullptr : found->second;
        switch (op) {
            case kBaseRegCloseKey:
                if (!in.Done()) {
                    return false;
                }
                if (key != nullptr && !IsPredefined(key)) {
                    Api().RegCloseKey(key);
                }
                m_keys.erase(id);
                return true;
            case kBaseRegOpenKey:
                return OpenKey(key, in, out);
            case kBaseRegCreateKey:
                return CreateKey(key, in, out);
            default:
                return Use(op, key, in, out);
        }
    }

private:
    bool Greet(Writer& out) {
        char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
        DWORD size = sizeof name;
        Api().GetComputerNameA(name, &size);
        out.U32(ERROR_SUCCESS).Text(name);
        return true;
    }

    // Answers with the key's handle; false (answered with the refusal) past the limit.
    bool Keep(HKEY key, Writer& out) {
        if (m_keys.size() >= kMaxOpenKeys) {
            if (!IsPredefined(key)) {
                Api().RegCloseKey(key);
            }
            out.U32(ERROR_TOO_MANY_OPEN_FILES);
            return false;
        }
        m_keys[++m_last] = key;
        out.U32(ERROR_SUCCESS).U32(m_last);
        return true;
    }

    bool OpenKey(HKEY parent, Reader& in, Writer& out) {
        const std::string subKey = in.Text();
        const REGSAM access = in.U32();
        const bool readAhead = in.U8() != 0;
        // The read-ahead's top, a key at or above the one opened, and the path between them.
        const std::string top = readAhead ? in.Text() : std::string();
        const std::string from = readAhead ? in.Text() : std::string();
        if (!in.Done()) {
            return false;
        }
        HKEY key = nullptr;
        const LONG error =
            parent == nullptr ? ERROR_INVALID_HANDLE : Api().RegOpenKeyExA(parent, subKey.c_str(), 0, access, &key);
        if (error != ERROR_SUCCESS) {
            out.U32(error);
            return true;
        }
        if (Keep(key, out) && readAhead) {
            ReadTree(parent, top, from, out);
        }
        return true;
    }

    bool CreateKey(HKEY parent, Reader& in, Writer& out) {
        const std::string subKey = in.Text();
        std::string keyClass = in.Text();
        const REGSAM access = in.U32();
        if (!in.Done()) {
            return false;
        }
        HKEY key = nullptr;
        DWORD disposition = 0;
        const LONG error = parent == nullptr ? ERROR_INVALID_HANDLE
                                             : Api().RegCreateKeyExA(parent, subKey.c_str(), 0,
                                                                     keyClass.empty() ? nullptr : &keyClass[0], 0,
                                                                     access, nullptr, &key, &disposition);
        if (error != ERROR_SUCCESS) {
            out.U32(error);
            return true;
        }
        if (Keep(key, out)) {
            out.U32(disposition);
        }
        return true;
    }

    // The operations on an open key that keep no handle.
    bool Use(uint8_t op, HKEY key, Reader& in, Writer& out) {
        const LONG invalid = ERROR_INVALID_HANDLE;
        switch (op) {
            case kBaseRegDeleteKey:
            case kBaseRegDeleteValue: {
                const std::string name = in.Text();
                if (!in.Done()) {
                    return false;
                }
                out.U32(key == nullptr            ? invalid
                        : op == kBaseRegDeleteKey ? Api().RegDeleteKeyA(key, name.c_str())
                                                  : Api().RegDeleteValueA(key, name.c_str()));
                return true;
            }
            case kBaseRegSetValue: {
                const std::string name = in.Text();
                const DWORD type = in.U32();
                const std::string data = in.Text();
                if (!in.Done()) {
                    return false;
                }
                out.U32(key == nullptr ? invalid
                                       : Api().RegSetValueExA(key, name.c_str(), 0, type,
                                                              reinterpret_cast<const BYTE*>(data.data()),
                                                              static_cast<DWORD>(data.size())));
                return true;
            }
            case kBaseRegQueryValue: {
                const std::string name = in.Text();
                if (!in.Done()) {
                    return false;
                }
                DWORD type = 0;
                std::string data;
                const LONG error =
                    key == nullptr ? invalid : ReadRegistryValue(Api(), key, name.c_str(), type, data, kMaxFrame - 64);
                out.U32(error);
                if (error == ERROR_SUCCESS) {
                    out.U32(type).Text(data);
                }
                return true;
            }
            default:
                return Read(op, key, in, out);
        }
    }

    // What follows the code is there only when the code is ERROR_SUCCESS.
    bool Read(uint8_t op, HKEY key, Reader& in, Writer& out) {
        const DWORD first = op == kBaseRegQueryInfoKey ? 0 : in.U32();
        if (!in.Done() || (op != kBaseRegQueryInfoKey && op != kBaseRegEnumKey && op != kBaseRegEnumValue)) {
            return false;
        }
        if (key == nullptr) {
            out.U32(ERROR_INVALID_HANDLE);
            return true;
        }
        Writer results;
        LONG error = ERROR_SUCCESS;
        if (op == kBaseRegQueryInfoKey) {
            reg::Facts facts;
            error = ReadFacts(key, facts);
            Put(results, facts);
        } else if (op == kBaseRegEnumKey) {
            SubKeys batch;
            error = ReadSubKeys(key, first, batch);
            Put(results, batch);
        } else {
            Values batch;
            error = ReadValues(key, first, batch);
            Put(results, batch);
        }
        out.U32(error);
        if (error == ERROR_SUCCESS) {
            out.Raw(results.Bytes());
        }
        return true;
    }

    std::unordered_map<uint32_t, HKEY> m_keys;
    uint32_t m_last = 0;
};

}  // namespace

DWORD WINAPI QvtrServeRegistryImpl(int input, int output) {
    Server server;
    std::string request;
    while (ReceiveFrame(input, request, -1)) {
        Writer answer;
        bool reply = true;
        if (!server.Answer(request, answer, reply)) {
            return ERROR_INVALID_DATA;
        }
        if (reply && answer.Size() > kMaxFrame) {
            answer = Writer();
            answer.U32(ERROR_NOT_ENOUGH_MEMORY);
        }
        if (reply && !SendFrame(output, answer.Bytes(), false)) {
            return ERROR_BROKEN_PIPE;
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace posix
