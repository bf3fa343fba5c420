// reg delete: a value, all values of a key, or a key with its whole tree.
#include <chrono>
#include <thread>

#include "reg_verbs.h"
#include "regfile/reg_file.h"
#include "win32/api.h"

namespace tool {
namespace reg {

namespace {

struct Deletion {
    KeyPath path;
    bool oneValue = false;
    std::string valueName;
    bool allValues = false;
    bool force = false;
};

Deletion ParseDeletion(const Args& args) {
    if (args.empty() || LooksLikeSwitch(args[0])) {
        throw Usage{"the first argument must be the key"};
    }
    Deletion deletion;
    Switches switches(args, 1);
    const bool named = switches.Text("v", deletion.valueName);
    const bool empty = switches.Flag("ve");
    deletion.allValues = switches.Flag("va");
    if (named + empty + deletion.allValues > 1) {
        throw Usage{"give only one of /v, /ve and /va"};
    }
    deletion.oneValue = named || empty;
    deletion.force = switches.Flag("f");
    switches.Finish();
    deletion.path = ParseKeyPath(args[0]);
    if (deletion.path.subKey.empty() && (args[0].back() == '\\' || !(deletion.oneValue || deletion.allValues))) {
        throw Refused("Invalid key name: " + Shown(args[0]) + " (a root key is not deleted)");
    }
    return deletion;
}

int DeleteValues(const Deletion& deletion, HKEY root) {
    Key key;
    if (const LONG error = key.Open(root, deletion.path.subKey, KEY_ALL_ACCESS)) {
        throw Failed{error, deletion.path.Display()};
    }
    if (deletion.oneValue) {
        if (const LONG error = Api().RegDeleteValueA(key.Get(), deletion.valueName.c_str())) {
            throw Failed{error, deletion.valueName.empty() ? "(Default)" : deletion.valueName};
        }
        return Success();
    }
    std::vector<Value> values;
    LONG error = ReadValues(key.Get(), values);
    for (size_t i = 0; error == ERROR_SUCCESS && i < values.size(); ++i) {
        error = Api().RegDeleteValueA(key.Get(), values[i].name.c_str());
        if (error == ERROR_FILE_NOT_FOUND) {  // another process was first
            error = ERROR_SUCCESS;
        }
    }
    if (error != ERROR_SUCCESS) {
        throw Failed{error, deletion.path.Display()};
    }
    return Success();
}

// What is still there after a deletion that gave up.
void CountTree(HKEY parent, const std::string& subKey, size_t& keys, size_t& values) {
    Key key;
    if (key.Open(parent, subKey, KEY_READ) != ERROR_SUCCESS) {
        return;
    }
    regfile::Walk(key.Get(), subKey, true, regfile::OnError::kSkip, [&](regfile::KeyVisit& visit) {
        std::vector<Value> found;
        ReadValues(visit.hKey, found);
        ++keys;
        values += found.size();
        return ERROR_SUCCESS;
    });
}

bool Raced(LONG error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_KEY_DELETED || error == ERROR_FILE_NOT_FOUND;
}

// Another process writing in the tree can make a pass fail half way (a key that
// gained a sub-key, or vanished); a few more passes finish the job.
int DeleteTree(const Deletion& deletion, HKEY root) {
    const int kPasses = 5;
    LONG error = ERROR_SUCCESS;
    Progress progress("deleting " + deletion.path.Display());
    for (int pass = 0; pass < kPasses; ++pass) {
        if (pass > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20 << pass));
            Key probe;
            if (probe.Open(root, deletion.path.subKey, KEY_READ) == ERROR_FILE_NOT_FOUND) {
                return Success();
            }
        }
        error = regfile::DeleteTree(root, deletion.path.subKey);
        if (error == ERROR_SUCCESS || !Raced(error)) {
            break;
        }
    }
    if (error == ERROR_SUCCESS) {
        return Success();
    }
    size_t keys = 0;
    size_t values = 0;
    CountTree(root, deletion.path.subKey, keys, values);
    Fail(Failed{error, deletion.path.Display()});
    if (keys) {
        Error("not deleted: " + std::to_string(keys) + " key(s) and " + std::to_string(values) +
              " value(s) are left under " + deletion.path.Display());
    }
    return kExitFailure;
}

}  // namespace

int RunDelete(const Args& args) {
    const Deletion deletion = ParseDeletion(args);
    const Root root(deletion.path);
    {
        Key probe;
        if (const LONG error = probe.Open(root.Get(), deletion.path.subKey, KEY_READ)) {
            throw Failed{error, deletion.path.Display()};
        }
    }
    const std::string question =
        deletion.allValues  ? "Delete all values under the registry key " + deletion.path.Display()
        : deletion.oneValue ? "Delete the registry value " +
                                  (deletion.valueName.empty() ? std::string("(Default)") : deletion.valueName)
                            : "Permanently delete the registry key " + deletion.path.Display();
    if (!deletion.force && !Confirm(question)) {
        return Cancelled();
    }
    return deletion.oneValue || deletion.allValues ? DeleteValues(deletion, root.Get())
                                                   : DeleteTree(deletion, root.Get());
}

}  // namespace reg
}  // namespace tool
