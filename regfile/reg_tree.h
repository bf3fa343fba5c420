// The one walk over a registry tree that the .reg export, the reg verbs, service
// removal and the tests share: a key's values, its sub-keys, a whole tree read into
// memory, and a whole tree deleted. Every call goes through the table it is given,
// Api() unless a test's fake needs the table below it.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "win32/api.h"
#include "win32/registry_value.h"

namespace regfile {

struct NamedValue {
    std::string name;
    DWORD type = REG_NONE;
    std::string data;  // the bytes as the A functions hand them out
};

// One value; a value that grows between the size query and the read is asked again.
inline LONG ReadValue(HKEY hKey, const std::string& name, DWORD& type, std::string& data, const Win32Api& api = Api()) {
    return ReadRegistryValue(api, hKey, name.c_str(), type, data);
}
// Every value of a key, in the registry's order.
LONG ReadValues(HKEY hKey, std::vector<NamedValue>& values, const Win32Api& api = Api());
// The names of a key's sub-keys, in the registry's order.
LONG ReadSubKeys(HKEY hKey, std::vector<std::string>& names, const Win32Api& api = Api());

// One key of a walk. The visitor may reorder or thin out `subKeys`: what is left
// there is walked next, in that order.
struct KeyVisit {
    HKEY hKey;
    const std::string& path;  // the walk's first path, then "\\name" per level
    const std::string& name;  // the last component; empty for the first key
    size_t depth;
    std::vector<std::string>& subKeys;
};
using Visitor = std::function<LONG(KeyVisit&)>;

// kStop: the first failure anywhere ends the walk and is returned. kSkip: a key
// below the first that cannot be opened or read is left out with its tree.
enum class OnError { kStop, kSkip };

// Visits hKey and, with `recurse`, every key below it, parents before children.
LONG Walk(HKEY hKey, const std::string& path, bool recurse, OnError onError, const Visitor& visit);

// A key with its values and, read with `recurse`, its whole tree.
struct Tree {
    std::vector<NamedValue> values;
    std::vector<std::pair<std::string, Tree>> children;
};
LONG ReadTree(HKEY hKey, bool recurse, Tree& tree);

// Deletes a key with everything below it, deepest first. Where the backend has
// transactions and none is open, in one: a failure then leaves the tree whole.
LONG DeleteTree(HKEY root, const std::string& subKey, const Win32Api& api = Api());

}  // namespace regfile
