// The registry tree walker shared by the .reg codec, the tool and the tests.
#include "regfile/reg_tree.h"

#include <algorithm>

namespace regfile {

LONG ReadValues(HKEY hKey, std::vector<NamedValue>& values, const Win32Api& api) {
    DWORD count = 0;
    DWORD maxName = 0;
    DWORD maxData = 0;
    LONG error = api.RegQueryInfoKeyA(hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &maxName,
                                      &maxData, nullptr, nullptr);
    // The count bounds the walk: a key's last call would only say there is no more.
    int retries = 0;
    for (DWORD i = 0; error == ERROR_SUCCESS && i < count;) {
        NamedValue value;
        value.name.assign(maxName + 1, '\0');
        value.data.assign(maxData + 1, '\0');
        DWORD length = maxName + 1;
        DWORD size = maxData + 1;
        error = api.RegEnumValueA(hKey, i, &value.name[0], &length, nullptr, &value.type,
                                  reinterpret_cast<LPBYTE>(&value.data[0]), &size);
        if (error == ERROR_MORE_DATA && ++retries < 8) {  // grew since the key was asked: ask again
            maxName = maxName * 2 + 256;
            maxData = std::max<DWORD>(maxData * 2, size);
            error = ERROR_SUCCESS;
            continue;
        }
        if (error == ERROR_SUCCESS) {
            value.name.resize(length);
            value.data.resize(size);
            values.push_back(std::move(value));
            ++i;
            retries = 0;
        }
    }
    return error == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : error;
}

LONG ReadSubKeys(HKEY hKey, std::vector<std::string>& names, const Win32Api& api) {
    DWORD count = 0;
    DWORD maxName = 0;
    LONG error = api.RegQueryInfoKeyA(hKey, nullptr, nullptr, nullptr, &count, &maxName, nullptr, nullptr, nullptr,
                                      nullptr, nullptr, nullptr);
    for (DWORD i = 0; error == ERROR_SUCCESS && i < count; ++i) {
        std::string name(maxName + 256, '\0');
        DWORD length = static_cast<DWORD>(name.size());
        error = api.RegEnumKeyExA(hKey, i, &name[0], &length, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_SUCCESS) {
            name.resize(length);
            names.push_back(std::move(name));
        }
    }
    return error == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : error;
}

namespace {

LONG WalkKey(HKEY hKey, const std::string& path, const std::string& name, size_t depth, bool recurse, OnError onError,
             const Visitor& visit) {
    std::vector<std::string> subKeys;
    LONG error = ReadSubKeys(hKey, subKeys);
    if (error != ERROR_SUCCESS && onError == OnError::kStop) {
        return error;
    }
    KeyVisit key{hKey, path, name, depth, subKeys};
    if ((error = visit(key)) != ERROR_SUCCESS || !recurse) {
        return error;
    }
    for (const std::string& child : subKeys) {
        HKEY hChild = nullptr;
        error = Api().RegOpenKeyExA(hKey, child.c_str(), 0, KEY_READ, &hChild);
        if (error == ERROR_SUCCESS) {
            error = WalkKey(hChild, path + "\\" + child, child, depth + 1, recurse, onError, visit);
            Api().RegCloseKey(hChild);
        }
        if (error != ERROR_SUCCESS && onError == OnError::kStop) {
            return error;
        }
    }
    return ERROR_SUCCESS;
}

LONG DeleteBelow(HKEY root, const std::string& subKey, const Win32Api& api) {
    HKEY hKey = nullptr;
    LONG error = api.RegOpenKeyExA(root, subKey.c_str(), 0, KEY_ALL_ACCESS, &hKey);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    std::vector<std::string> names;
    error = ReadSubKeys(hKey, names, api);
    // From the last to the first, so that a deletion shifts nothing still to come.
    for (size_t i = names.size(); error == ERROR_SUCCESS && i-- > 0;) {
        error = DeleteBelow(hKey, names[i], api);
    }
    api.RegCloseKey(hKey);
    return error == ERROR_SUCCESS ? api.RegDeleteKeyA(root, subKey.c_str()) : error;
}

}  // namespace

LONG Walk(HKEY hKey, const std::string& path, bool recurse, OnError onError, const Visitor& visit) {
    return WalkKey(hKey, path, std::string(), 0, recurse, onError, visit);
}

LONG ReadTree(HKEY hKey, bool recurse, Tree& tree) {
    // The tree being filled at each depth of the walk.
    std::vector<Tree*> open;
    return Walk(hKey, std::string(), recurse, OnError::kStop, [&](KeyVisit& key) {
        open.resize(key.depth);
        Tree* here = &tree;
        if (key.depth > 0) {
            open.back()->children.emplace_back(key.name, Tree());
            here = &open.back()->children.back().second;
        }
        open.push_back(here);
        return ReadValues(key.hKey, here->values);
    });
}

LONG DeleteTree(HKEY root, const std::string& subKey, const Win32Api& api) {
    // Inside a transaction already open (an import's), the deletion is part of that one.
    LONG error = api.QvtrRegTransaction ? api.QvtrRegTransaction(QVTR_REG_BEGIN) : ERROR_BUSY;
    const bool own = error == ERROR_SUCCESS;
    if (!own && error != ERROR_BUSY) {
        return error;
    }
    error = DeleteBelow(root, subKey, api);
    if (own) {
        const LONG end = api.QvtrRegTransaction(error == ERROR_SUCCESS ? QVTR_REG_COMMIT : QVTR_REG_ROLLBACK);
        error = error == ERROR_SUCCESS ? end : error;
    }
    return error;
}

}  // namespace regfile
