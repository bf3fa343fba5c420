// reg copy and reg compare: two keys, their values, and with /s their trees.
#include <algorithm>
#include <cctype>

#include "reg_verbs.h"
#include "win32/api.h"

namespace tool {
namespace reg {

namespace {

// The whole source is read before anything is written, so that what is written
// never feeds back into what is read.
using regfile::ReadTree;
using regfile::Tree;

// Refuses a key onto itself or into its own tree: nothing is read or written then.
// Names are resolved first: HKCR and HKLM\SOFTWARE\Classes are one key.
void RefuseOverlap(const KeyPath& source, const KeyPath& target, const char* verb) {
    const std::string from = source.Resolved() + "\\";
    const std::string to = target.Resolved() + "\\";
    if (to.size() >= from.size() && SameText(to.substr(0, from.size()), from)) {
        throw Refused(std::string("Cannot ") + verb + " a key " +
                      (to.size() == from.size() ? "to itself" : "into its own sub-key") + ": " +
                      Shown(target.Display()));
    }
}

struct TwoKeys {
    KeyPath first, second;
};

TwoKeys ParseTwoKeys(const Args& args) {
    if (args.size() < 2 || LooksLikeSwitch(args[0]) || LooksLikeSwitch(args[1])) {
        throw Usage{"the first two arguments must be the keys"};
    }
    return {ParseKeyPath(args[0]), ParseKeyPath(args[1])};
}

LONG WriteTree(HKEY parent, const std::string& subKey, const std::string& shown, const Tree& tree, bool force) {
    Key key;
    LONG error = key.Create(parent, subKey, KEY_ALL_ACCESS);
    for (size_t i = 0; error == ERROR_SUCCESS && i < tree.values.size(); ++i) {
        const Value& value = tree.values[i];
        if (!force &&
            Api().RegQueryValueExA(key.Get(), value.name.c_str(), nullptr, nullptr, nullptr, nullptr) ==
                ERROR_SUCCESS &&
            !Confirm("Value " + shown + "\\" + (value.name.empty() ? "(Default)" : value.name) +
                     " exists, overwrite")) {
            continue;
        }
        error = Api().RegSetValueExA(key.Get(), value.name.c_str(), 0, value.type,
                                     reinterpret_cast<const BYTE*>(value.data.data()),
                                     static_cast<DWORD>(value.data.size()));
    }
    for (size_t i = 0; error == ERROR_SUCCESS && i < tree.children.size(); ++i) {
        const auto& child = tree.children[i];
        error = WriteTree(key.Get(), child.first, shown + "\\" + child.first, child.second, force);
    }
    return error;
}

// ---- compare ------------------------------------------------------------------------

enum class Show { Differences, All, Same, Nothing };

struct Comparison {
    bool oneValue = false;
    std::string valueName;
    bool recurse = false;
    Show show = Show::Differences;
    bool different = false;
};

const Value* Find(const std::vector<Value>& values, const std::string& name) {
    const auto at = std::find_if(values.begin(), values.end(), [&](const Value& v) { return SameText(v.name, name); });
    return at == values.end() ? nullptr : &*at;
}

void Report(Comparison& comparison, char mark, const std::string& what) {
    if (mark != '=') {
        comparison.different = true;
    }
    const bool wanted = comparison.show == Show::All || (comparison.show == Show::Same && mark == '=') ||
                        (comparison.show == Show::Differences && mark != '=');
    if (wanted) {
        Line(std::string(1, mark) + " " + what);
    }
}

std::string ValueText(const std::string& path, const Value& value) {
    std::string line = "Value: " + path + "  " + (value.name.empty() ? std::string("(Default)") : value.name) + "  ";
    const std::string full = ValueLine(Value{std::string(), value.type, value.data});
    // ValueLine is "    (Default)    TYPE    DATA"; keep "TYPE  DATA".
    const std::string rest = full.substr(std::string("    (Default)    ").size());
    const size_t gap = rest.find("    ");
    return line + rest.substr(0, gap) + "  " + (gap == std::string::npos ? std::string() : rest.substr(gap + 4));
}

void CompareValues(Comparison& comparison, const std::string& leftPath, const std::vector<Value>& left,
                   const std::string& rightPath, const std::vector<Value>& right) {
    for (const Value& value : left) {
        if (comparison.oneValue && !SameText(value.name, comparison.valueName)) {
            continue;
        }
        const Value* other = Find(right, value.name);
        if (other && other->type == value.type && other->data == value.data) {
            Report(comparison, '=', ValueText(leftPath, value));
            continue;
        }
        Report(comparison, '<', ValueText(leftPath, value));
        if (other) {
            Report(comparison, '>', ValueText(rightPath, *other));
        }
    }
    for (const Value& value : right) {
        if ((!comparison.oneValue || SameText(value.name, comparison.valueName)) && !Find(left, value.name)) {
            Report(comparison, '>', ValueText(rightPath, value));
        }
    }
}

void CompareTrees(Comparison& comparison, const std::string& leftPath, const Tree& left, const std::string& rightPath,
                  const Tree& right) {
    CompareValues(comparison, leftPath, left.values, rightPath, right.values);
    if (comparison.oneValue && !comparison.recurse) {
        return;
    }
    auto find = [](const Tree& tree, const std::string& name) -> const Tree* {
        for (const auto& child : tree.children) {
            if (SameText(child.first, name)) {
                return &child.second;
            }
        }
        return nullptr;
    };
    for (const auto& child : left.children) {
        const Tree* other = find(right, child.first);
        if (!other) {
            if (!comparison.oneValue) {
                Report(comparison, '<', "Key: " + leftPath + "\\" + child.first);
            }
        } else {
            CompareTrees(comparison, leftPath + "\\" + child.first, child.second, rightPath + "\\" + child.first,
                         *other);
        }
    }
    for (const auto& child : right.children) {
        if (!find(left, child.first) && !comparison.oneValue) {
            Report(comparison, '>', "Key: " + rightPath + "\\" + child.first);
        }
    }
}

LONG ReadSide(const KeyPath& path, bool recurse, Tree& tree) {
    const Root root(path);
    const Snapshot snapshot;
    Key key;
    LONG error = key.Open(root.Get(), path.subKey, KEY_READ);
    if (error == ERROR_SUCCESS) {
        error = ReadTree(key.Get(), recurse, tree);
    }
    return error;
}

}  // namespace

int RunCopy(const Args& args) {
    const TwoKeys keys = ParseTwoKeys(args);
    Switches switches(args, 2);
    const bool recurse = switches.Flag("s");
    const bool force = switches.Flag("f");
    switches.Finish();
    RefuseOverlap(keys.first, keys.second, "copy");
    Tree tree;
    if (const LONG error = ReadSide(keys.first, recurse, tree)) {
        throw Failed{error, keys.first.Display()};
    }
    const Root root(keys.second);
    if (const LONG error = WriteTree(root.Get(), keys.second.subKey, keys.second.Display(), tree, force)) {
        throw Failed{error, keys.second.Display()};
    }
    return Success();
}

int RunCompare(const Args& args) {
    const TwoKeys keys = ParseTwoKeys(args);
    Switches switches(args, 2);
    Comparison comparison;
    const bool named = switches.Text("v", comparison.valueName);
    const bool empty = switches.Flag("ve");
    if (named && empty) {
        throw Usage{"give /v or /ve, not both"};
    }
    comparison.oneValue = named || empty;
    comparison.recurse = switches.Flag("s");
    const std::pair<const char*, Show> outputs[] = {
        {"od", Show::Differences}, {"oa", Show::All}, {"os", Show::Same}, {"on", Show::Nothing}};
    int chosen = 0;
    for (const auto& output : outputs) {
        if (switches.Flag(output.first)) {
            comparison.show = output.second;
            ++chosen;
        }
    }
    if (chosen > 1) {
        throw Usage{"give one of /od, /oa, /os and /on"};
    }
    switches.Finish();
    RefuseOverlap(keys.first, keys.second, "compare");
    RefuseOverlap(keys.second, keys.first, "compare");
    Tree left;
    Tree right;
    if (const LONG error = ReadSide(keys.first, comparison.recurse, left)) {
        throw Failed{error, keys.first.Display()};
    }
    if (const LONG error = ReadSide(keys.second, comparison.recurse, right)) {
        throw Failed{error, keys.second.Display()};
    }
    CompareTrees(comparison, keys.first.Display(), left, keys.second.Display(), right);
    Line(comparison.different ? "Result Compared: Different" : "Result Compared: Identical");
    Success();
    return comparison.different ? 2 : 0;
}

}  // namespace reg
}  // namespace tool
