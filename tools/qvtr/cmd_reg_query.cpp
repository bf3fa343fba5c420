// reg query: one key, one value, a whole tree, or a search, in reg.exe's layout.
#include <algorithm>
#include <cctype>
#include <functional>

#include "reg_verbs.h"
#include "regfile/reg_file.h"
#include "win32/api.h"

namespace tool {
namespace reg {

namespace {

struct Query {
    KeyPath path;
    bool hasValue = false;  // /v NAME or /ve
    std::string valueName;
    bool recurse = false;
    bool hasType = false;
    DWORD type = REG_NONE;
    // The search of /f.
    bool search = false;
    std::string text;
    bool keys = false, names = false, data = false;  // none given: all three
    bool caseSensitive = false, exact = false;
};

DWORD TypeFromName(const std::string& name) {
    static const DWORD kTypes[] = {REG_SZ,    REG_MULTI_SZ, REG_EXPAND_SZ, REG_DWORD,
                                   REG_QWORD, REG_BINARY,   REG_NONE,      REG_DWORD_BIG_ENDIAN};
    std::string upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    for (DWORD type : kTypes) {
        if (regfile::TypeName(type) == upper) {
            return type;
        }
    }
    throw Refused("Invalid type " + Shown(name) +
                  " (REG_SZ, REG_MULTI_SZ, REG_EXPAND_SZ, REG_DWORD, REG_QWORD, "
                  "REG_BINARY or REG_NONE)");
}

Query ParseQuery(const Args& args) {
    if (args.empty() || LooksLikeSwitch(args[0])) {
        throw Usage{"the first argument must be the key"};
    }
    Query query;
    Switches switches(args, 1);
    query.search = switches.Text("f", query.text);
    if (query.search) {
        // Within a search /v is a flag (search value names) unless a name follows.
        const auto at =
            std::find_if(args.begin() + 1, args.end(), [](const std::string& a) { return IsSwitch(a, "v"); });
        if (at != args.end() && (at + 1 == args.end() || LooksLikeSwitch(*(at + 1)))) {
            query.names = switches.Flag("v");
        }
        query.keys = switches.Flag("k");
        query.data = switches.Flag("d");
        query.caseSensitive = switches.Flag("c");
        query.exact = switches.Flag("e");
        if (!query.keys && !query.names && !query.data) {
            query.keys = query.names = query.data = true;
        }
    }
    const bool named = !query.names && switches.Text("v", query.valueName);
    const bool empty = switches.Flag("ve");
    if (named && empty) {
        throw Usage{"give /v or /ve, not both"};
    }
    query.hasValue = named || empty;
    if (query.search && query.hasValue) {
        throw Usage{"/f searches; it does not go with /v NAME or /ve"};
    }
    query.recurse = switches.Flag("s");
    std::string type;
    if ((query.hasType = switches.Text("t", type))) {
        query.type = TypeFromName(type);
    }
    switches.Finish();
    query.path = ParseKeyPath(args[0]);
    return query;
}

bool Matches(const Query& query, const std::string& text) {
    if (query.exact) {
        return query.caseSensitive ? text == query.text : SameText(text, query.text);
    }
    if (query.caseSensitive) {
        return text.find(query.text) != std::string::npos;
    }
    const auto at = std::search(text.begin(), text.end(), query.text.begin(), query.text.end(), [](char a, char b) {
        return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
    });
    return at != text.end() || query.text.empty();
}

bool Textual(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

bool TypeWanted(const Query& query, DWORD type) {
    return !query.hasType || query.type == type;
}

// A key's values and sub-keys; the key named on the command line prints no
// header when it has no values.
LONG ListKey(const Query& query, regfile::KeyVisit& key) {
    std::vector<Value> values;
    if (const LONG error = ReadValues(key.hKey, values)) {
        return error;
    }
    values.erase(
        std::remove_if(values.begin(), values.end(), [&](const Value& v) { return !TypeWanted(query, v.type); }),
        values.end());
    const bool header = !values.empty() || key.depth > 0;
    if (header) {
        Line(key.path);
    }
    for (const Value& value : values) {
        Line(ValueLine(value));
    }
    if (header) {
        Line();
    }
    if (!query.recurse) {
        for (const std::string& name : key.subKeys) {
            Line(key.path + "\\" + name);
        }
    }
    return ERROR_SUCCESS;
}

// Walks the key and, with /s, the tree below it; `visit` gets each key's values.
void Walk(const Query& query, HKEY hKey, size_t& matches,
          const std::function<size_t(HKEY, const std::string&, const std::vector<std::string>&)>& visit) {
    regfile::Walk(hKey, query.path.Display(), query.recurse, regfile::OnError::kSkip, [&](regfile::KeyVisit& key) {
        matches += visit(key.hKey, key.path, key.subKeys);
        return ERROR_SUCCESS;
    });
}

int EndOfSearch(size_t matches) {
    Line("End of search: " + std::to_string(matches) + " match(es) found.");
    return matches ? 0 : kExitFailure;
}

int SearchValue(const Query& query, HKEY hKey) {
    size_t matches = 0;
    Walk(query, hKey, matches, [&](HKEY key, const std::string& path, const std::vector<std::string>&) -> size_t {
        Value value{query.valueName, REG_NONE, {}};
        if (ReadValue(key, value.name, value.type, value.data) != ERROR_SUCCESS || !TypeWanted(query, value.type)) {
            return 0;
        }
        Line(path);
        Line(ValueLine(value));
        Line();
        return 1;
    });
    return EndOfSearch(matches);
}

int Search(const Query& query, HKEY hKey) {
    size_t matches = 0;
    Walk(query, hKey, matches,
         [&](HKEY key, const std::string& path, const std::vector<std::string>& subKeys) -> size_t {
             std::vector<Value> values;
             ReadValues(key, values);
             size_t found = 0;
             bool header = false;
             for (const Value& value : values) {
                 if (!TypeWanted(query, value.type) ||
                     !((query.names && Matches(query, value.name)) ||
                       (query.data && Textual(value.type) && Matches(query, ShowData(value.type, value.data))))) {
                     continue;
                 }
                 if (!header) {
                     Line(path);
                     header = true;
                 }
                 Line(ValueLine(value));
                 ++found;
             }
             if (header) {
                 Line();
             }
             for (const std::string& name : subKeys) {
                 if (query.keys && Matches(query, name)) {
                     Line(path + "\\" + name);
                     ++found;
                 }
             }
             return found;
         });
    return EndOfSearch(matches);
}

}  // namespace

int RunQuery(const Args& args) {
    const Query query = ParseQuery(args);
    const Root root(query.path);
    const Snapshot snapshot;
    Key key;
    if (const LONG error = key.Open(root.Get(), query.path.subKey, KEY_READ)) {
        throw Failed{error, query.path.Display()};
    }
    Line();
    if (query.search) {
        return Search(query, key.Get());
    }
    if (query.hasValue && query.recurse) {
        return SearchValue(query, key.Get());
    }
    if (query.hasValue) {
        Value value{query.valueName, REG_NONE, {}};
        const LONG error = ReadValue(key.Get(), value.name, value.type, value.data);
        if (error == ERROR_FILE_NOT_FOUND && value.name.empty()) {
            Line(query.path.Display());
            Line("    (Default)    REG_SZ    (value not set)");
            return 0;
        }
        if (error != ERROR_SUCCESS) {
            throw Failed{error, value.name.empty() ? "(Default)" : value.name};
        }
        Line(query.path.Display());
        Line(ValueLine(value));
        Line();
        return 0;
    }
    if (const LONG error = regfile::Walk(key.Get(), query.path.Display(), query.recurse, regfile::OnError::kSkip,
                                         [&](regfile::KeyVisit& visit) { return ListKey(query, visit); })) {
        throw Failed{error, query.path.Display()};
    }
    return 0;
}

}  // namespace reg
}  // namespace tool
