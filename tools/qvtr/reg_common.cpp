// Argument rules, key paths, output and messages shared by the reg verbs.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <thread>

#include "qvtr/module.h"
#include "reg_verbs.h"
#include "regfile/reg_file.h"
#include "terminal.h"
#include "win32/api.h"

namespace tool {
namespace reg {

namespace {
const LONG kRefused = -1;
}  // namespace

Failed Refused(const std::string& message) {
    return Failed{kRefused, message};
}

bool IsSwitch(const std::string& arg, const char* name) {
    if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) {
        return false;
    }
    const size_t length = std::strlen(name);
    if (arg.size() - 1 != length) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (std::tolower(static_cast<unsigned char>(arg[i + 1])) != name[i]) {
            return false;
        }
    }
    return true;
}

bool IsHelpSwitch(const std::string& arg) {
    return IsSwitch(arg, "?") || IsSwitch(arg, "h") || tool::IsHelp(arg);
}

bool LooksLikeSwitch(const std::string& arg) {
    return arg.size() > 1 && (arg[0] == '/' || arg[0] == '-');
}

std::string Shown(const std::string& arg) {
    const size_t kMost = 80;
    std::string shown;
    for (size_t i = 0; i < arg.size() && i < kMost; ++i) {
        const unsigned char c = static_cast<unsigned char>(arg[i]);
        shown += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
    }
    if (arg.size() > kMost) {
        shown += "... (" + std::to_string(arg.size()) + " bytes)";
    }
    return shown;
}

Switches::Switches(const Args& args, size_t first)
    : m_args(args.begin() + static_cast<std::ptrdiff_t>(std::min(first, args.size())), args.end()),
      m_used(m_args.size(), false) {
    // One view of the registry on Linux; on Windows the tool's own view is used.
    bool view = false;
    for (size_t i = 0; i < m_args.size(); ++i) {
        if (IsSwitch(m_args[i], "reg:32") || IsSwitch(m_args[i], "reg:64")) {
            if (view) {
                throw Usage{"give /reg:32 or /reg:64 once"};
            }
            view = true;
            m_used[i] = true;
        }
    }
}

bool Switches::Flag(const char* name) {
    bool found = false;
    for (size_t i = 0; i < m_args.size(); ++i) {
        if (!m_used[i] && IsSwitch(m_args[i], name)) {
            if (found) {
                throw Usage{std::string("/") + name + " is given twice"};
            }
            found = true;
            m_used[i] = true;
        }
    }
    return found;
}

bool Switches::Text(const char* name, std::string& value) {
    bool found = false;
    for (size_t i = 0; i < m_args.size(); ++i) {
        if (!m_used[i] && IsSwitch(m_args[i], name)) {
            if (found) {
                throw Usage{std::string("/") + name + " is given twice"};
            }
            if (i + 1 >= m_args.size()) {
                throw Usage{std::string("/") + name + " needs an argument"};
            }
            found = true;
            m_used[i] = m_used[i + 1] = true;
            value = m_args[++i];
        }
    }
    return found;
}

void Switches::Finish() {
    for (size_t i = 0; i < m_args.size(); ++i) {
        if (!m_used[i]) {
            throw Usage{(LooksLikeSwitch(m_args[i]) ? "unknown switch " : "unexpected argument ") + Shown(m_args[i])};
        }
    }
}

std::string KeyPath::Display() const {
    const std::string local = subKey.empty() ? rootName : rootName + "\\" + subKey;
    return machine.empty() ? local : "\\\\" + machine + "\\" + local;
}

namespace {

// A key typed without quotes reaches the tool without its backslashes
// (HKCU\Software\X becomes HKCUSoftwareX): say so rather than only that the root is wrong.
std::string LostBackslashes(const std::string& text) {
    static const char* const kRoots[] = {
        "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT", "HKEY_USERS", "HKLM", "HKCU", "HKCR", "HKU"};
    for (const char* root : kRoots) {
        const size_t length = std::strlen(root);
        if (text.size() > length && SameText(text.substr(0, length), root) && text.find('\\') == std::string::npos) {
            return " (the backslashes are gone: a shell takes them out of a name without quotes; write the key in "
                   "quotes, as in \"" +
                   std::string(root) + "\\Software\\...\")";
        }
    }
    return " (it must start with HKLM, HKCU, HKCR, HKU or their long names)";
}

bool IsThisMachine(const std::string& machine) {
    char own[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof own;
    return machine.empty() || machine == "." || SameText(machine, "localhost") ||
           (Api().GetComputerNameA(own, &size) && SameText(machine, own));
}

}  // namespace

std::string KeyPath::Resolved() const {
    std::string resolved = IsThisMachine(machine) ? std::string() : "\\\\" + machine + "\\";
    if (root == HKEY_CLASSES_ROOT) {
        resolved += "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes";
    } else if (root == HKEY_CURRENT_USER) {
        resolved += "HKEY_USERS\\" + CurrentUserSid();
    } else {
        resolved += root == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE" : "HKEY_USERS";
    }
    size_t start = 0;
    while (start <= subKey.size()) {
        const size_t end = std::min(subKey.find('\\', start), subKey.size());
        if (end > start) {
            resolved += "\\" + subKey.substr(start, end - start);
        }
        start = end + 1;
    }
    return resolved;
}

KeyPath ParseKeyPath(const std::string& text) {
    KeyPath path;
    std::string rest = text;
    if (text.size() < 3 || text.compare(text.size() - 2, 2, "\\\\") == 0) {
        throw Refused("Invalid key name: " + Shown(text));
    }
    if (rest.compare(0, 2, "\\\\") == 0) {
        const size_t slash = rest.find('\\', 2);
        path.machine = rest.substr(2, slash == std::string::npos ? std::string::npos : slash - 2);
        rest = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
        if (path.machine.empty()) {
            throw Refused("Invalid key name: " + Shown(text));
        }
    }
    if (!regfile::SplitRoot(rest, path.root, path.rootName, path.subKey)) {
        throw Refused("Invalid key name: " + Shown(text) + LostBackslashes(rest));
    }
    if (!path.machine.empty() && path.root != HKEY_LOCAL_MACHINE && path.root != HKEY_USERS) {
        throw Refused("Invalid key name: " + Shown(text) + " (only HKLM and HKU can be reached on a remote machine)");
    }
    return path;
}

Root::Root(const KeyPath& path) : m_hKey(path.root) {
    if (path.machine.empty()) {
        return;
    }
    HKEY connected = nullptr;
    const std::string machine = "\\\\" + path.machine;
    if (const LONG error = Api().RegConnectRegistryA(machine.c_str(), path.root, &connected)) {
        throw Failed{error, std::string()};
    }
    m_hKey = connected;
    m_connected = true;
}

Root::~Root() {
    if (m_connected) {
        Api().RegCloseKey(m_hKey);
    }
}

Snapshot::Snapshot()
    : m_taken(Api().QvtrRegTransaction != nullptr && Api().QvtrRegTransaction(QVTR_REG_SNAPSHOT) == ERROR_SUCCESS) {}

Snapshot::~Snapshot() {
    if (m_taken) {
        Api().QvtrRegTransaction(QVTR_REG_COMMIT);
    }
}

Key::~Key() {
    if (m_hKey) {
        Api().RegCloseKey(m_hKey);
    }
}

LONG Key::Open(HKEY parent, const std::string& subKey, REGSAM access) {
    return Api().RegOpenKeyExA(parent, subKey.c_str(), 0, access, &m_hKey);
}

LONG Key::Create(HKEY parent, const std::string& subKey, REGSAM access) {
    return Api().RegCreateKeyExA(parent, subKey.c_str(), 0, nullptr, 0, access, nullptr, &m_hKey, nullptr);
}

std::string ShowData(DWORD type, const std::string& data) {
    char number[32];
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            return std::string(data.c_str(), std::min(data.size(), std::strlen(data.c_str())));
        case REG_DWORD:
        case REG_DWORD_BIG_ENDIAN:  // read in the machine's order, the order reg.exe stores it in
            if (data.size() == 4) {
                const unsigned char* b = reinterpret_cast<const unsigned char*>(data.data());
                std::snprintf(
                    number, sizeof number, "0x%lx",
                    static_cast<unsigned long>(b[0] | b[1] << 8 | b[2] << 16 | static_cast<unsigned long>(b[3]) << 24));
                return number;
            }
            break;
        case REG_QWORD:
            if (data.size() == 8) {
                unsigned long long value = 0;
                for (int i = 7; i >= 0; --i) {
                    value = value << 8 | static_cast<unsigned char>(data[static_cast<size_t>(i)]);
                }
                std::snprintf(number, sizeof number, "0x%llx", value);
                return number;
            }
            break;
        case REG_MULTI_SZ: {
            std::string shown;
            for (size_t start = 0; start < data.size();) {
                const size_t end = std::min(data.find('\0', start), data.size());
                if (end == start) {
                    break;
                }
                shown += (shown.empty() ? "" : "\\0") + data.substr(start, end - start);
                start = end + 1;
            }
            return shown;
        }
        default:
            break;
    }
    std::string hex;
    for (unsigned char c : data) {
        std::snprintf(number, sizeof number, "%02X", c);
        hex += number;
    }
    return hex;
}

std::string ValueLine(const Value& value) {
    return "    " + (value.name.empty() ? std::string("(Default)") : value.name) + "    " +
           regfile::TypeName(value.type) + "    " + ShowData(value.type, value.data);
}

// Lines end the platform's way: LF on Linux, CRLF on Windows (its text mode adds the CR).
void Line(const std::string& text) {
    std::cout << text << '\n';
}

int Success() {
    Line("The operation completed successfully.");
    std::cout.flush();
    return 0;
}

int Error(const std::string& message) {
    std::cout.flush();
    std::cerr << "ERROR: " << message << "\n";
    return kExitFailure;
}

int Fail(const Failed& failed) {
    if (failed.code == kRefused) {
        return Error(failed.what);
    }
    if (failed.code == ERROR_FILE_NOT_FOUND) {
        return Error("The system was unable to find the specified registry key or value." +
                     (failed.what.empty() ? std::string() : " (" + Shown(failed.what) + ")"));
    }
    return Error((failed.what.empty() ? std::string() : Shown(failed.what) + ": ") +
                 ErrorLine(static_cast<DWORD>(failed.code)));
}

bool Confirm(const std::string& question) {
    std::cout << question << " (Yes/No)? " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) {
        Line();
        return false;
    }
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

int Cancelled() {
    Line("The operation was canceled by the user.");
    return kExitFailure;
}

bool StderrIsTerminal() {
    return tool::StderrIsTerminal();
}

struct Progress::State {
    std::string what;
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool shown = false;
    std::thread thread;
};

Progress::Progress(std::string what) {
    if (!StderrIsTerminal()) {
        return;
    }
    m_state = std::make_unique<State>();
    m_state->what = std::move(what);
    m_state->thread = std::thread([state = m_state.get()] {
        const auto start = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(state->mutex);
        while (!state->done.wait_for(lock, std::chrono::seconds(1), [state] { return state->finished; })) {
            const auto seconds =
                std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
            std::cerr << "\rqvtr reg: " << state->what << " ... " << seconds << " s" << std::flush;
            state->shown = true;
        }
        if (state->shown) {
            std::cerr << "\r\033[K" << std::flush;
        }
    });
}

Progress::~Progress() {
    if (!m_state) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->finished = true;
    }
    m_state->done.notify_all();
    m_state->thread.join();
}

}  // namespace reg
}  // namespace tool
