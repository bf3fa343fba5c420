// What the reg verbs share: reg.exe's argument rules, key paths (local or
// \\MACHINE\ROOT\...), its output and its messages.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "command.h"
#include "regfile/reg_file.h"
#include "regfile/reg_tree.h"
#include "win32/api.h"

namespace tool {
namespace reg {

// Bad usage: reg.exe's "Invalid syntax", exit 1. `detail` says what is wrong.
struct Usage {
    std::string detail;
};

// A failed registry call: the Win32 code and the key or value it was about.
struct Failed {
    LONG code;
    std::string what;
};
// A refusal of the tool's own, with the whole message (arguments in it already cut).
Failed Refused(const std::string& message);

using regfile::SameText;

bool IsSwitch(const std::string& arg, const char* name);
bool IsHelpSwitch(const std::string& arg);
bool LooksLikeSwitch(const std::string& arg);
// Text of an argument for a message: long ones are cut, control characters shown as '?'.
std::string Shown(const std::string& arg);

// Switches of one verb, each allowed once; `/reg:32` and `/reg:64` are taken by all.
class Switches {
public:
    Switches(const Args& args, size_t first);
    // True when /NAME is present (and consumed); a second one is a usage error.
    bool Flag(const char* name);
    // The argument of /NAME when present; a missing argument is a usage error.
    bool Text(const char* name, std::string& value);
    // Refuses whatever was not consumed.
    void Finish();

private:
    std::vector<std::string> m_args;
    std::vector<bool> m_used;
};

struct KeyPath {
    std::string machine;  // empty for this machine
    HKEY root = nullptr;  // the predefined root (the remote one is connected by Open)
    std::string rootName;
    std::string subKey;
    std::string Display() const;
    std::string Child(const std::string& name) const { return Display() + "\\" + name; }
    // The key the name denotes, one way for all its names: this machine without
    // a name, HKCR as HKLM\SOFTWARE\Classes, HKCU as HKU\<the user's SID>, no
    // empty components.
    std::string Resolved() const;
};

// The current user's key below HKEY_USERS, as the registry names it.
std::string CurrentUserSid();

// Parses a KEY operand; a bad name is a Failed with reg.exe's wording, never a crash.
KeyPath ParseKeyPath(const std::string& text);

// The root handle of a key path: the predefined one, or a connection to the machine.
class Root {
public:
    explicit Root(const KeyPath& path);
    ~Root();
    Root(const Root&) = delete;
    Root& operator=(const Root&) = delete;
    HKEY Get() const { return m_hKey; }

private:
    HKEY m_hKey = nullptr;
    bool m_connected = false;
};

// An open key that closes itself.
class Key {
public:
    Key() = default;
    ~Key();
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    LONG Open(HKEY parent, const std::string& subKey, REGSAM access);
    LONG Create(HKEY parent, const std::string& subKey, REGSAM access);
    HKEY Get() const { return m_hKey; }

private:
    HKEY m_hKey = nullptr;
};

// While alive, where the registry offers it (Linux), every read sees the registry
// as it was at the first one: a whole tree read at one moment, at no lock per read.
class Snapshot {
public:
    Snapshot();
    ~Snapshot();
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

private:
    bool m_taken = false;
};

using Value = regfile::NamedValue;
using regfile::ReadSubKeys;
using regfile::ReadValue;
using regfile::ReadValues;

// The data as reg query shows it, and one value line ("    name    TYPE    data").
std::string ShowData(DWORD type, const std::string& data);
std::string ValueLine(const Value& value);

// Standard output in reg.exe's line ends.
void Line(const std::string& text = std::string());
int Success();
// "ERROR: ..." on standard error; returns 1.
int Error(const std::string& message);
int Fail(const Failed& failed);
// Asks on standard output; anything but an answer starting with y is a No.
bool Confirm(const std::string& question);
int Cancelled();

bool StderrIsTerminal();

// A line on standard error while a long operation runs: shown once it has taken a
// second, on a terminal only, and erased when it ends.
class Progress {
public:
    explicit Progress(std::string what);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

int RunQuery(const Args& args);
int RunAdd(const Args& args);
int RunDelete(const Args& args);
int RunCopy(const Args& args);
int RunCompare(const Args& args);

}  // namespace reg
}  // namespace tool
