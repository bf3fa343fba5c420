// Another machine: `qvtr reg-server`, the registry server ssh starts there, and
// `qvtr report --machine HOST`, that machine's version and terminal-server
// answers read from its HKEY_LOCAL_MACHINE.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "command.h"
#include "qvtr/platform.h"
#include "regfile/reg_tree.h"
#include "win32/api.h"

namespace tool {

namespace {

const char kNtVersionKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const char kWindowsVersionKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const char kProductOptionsKey[] = "System\\CurrentControlSet\\Control\\ProductOptions";
const char kCitrixKey[] = "System\\CurrentControlSet\\Control\\Citrix";

int RunRegServer(const Args& args) {
    if (!args.empty()) {
        return UsageError("reg-server", "takes no arguments");
    }
    if (Api().QvtrServeRegistry == nullptr) {
        std::cerr << "qvtr reg-server: Windows serves its registry itself (the Remote Registry service)\n";
        return kExitFailure;
    }
    // Standard input and output are the channel; nothing else may be written to them.
    return Api().QvtrServeRegistry(0, 1) == ERROR_SUCCESS ? 0 : kExitFailure;
}

// One connected machine's HKEY_LOCAL_MACHINE, read value by value.
class RemoteMachine {
public:
    explicit RemoteMachine(HKEY root) : m_root(root) {}

    // The value's bytes, or false when the key or the value is not there.
    bool Read(const char* key, const char* name, DWORD& type, std::string& data) const {
        HKEY hKey = nullptr;
        if (Api().RegOpenKeyExA(m_root, key, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS) {
            return false;
        }
        const bool found = regfile::ReadValue(hKey, name, type, data) == ERROR_SUCCESS;
        Api().RegCloseKey(hKey);
        return found;
    }
    // A string value up to its first NUL.
    bool Text(const char* key, const char* name, std::string& text) const {
        DWORD type = 0;
        if (!Read(key, name, type, text) || (type != REG_SZ && type != REG_EXPAND_SZ)) {
            return false;
        }
        text = text.c_str();
        return true;
    }
    bool InProductSuite(const std::string& suite) const {
        DWORD type = 0;
        std::string list;
        if (!Read(kProductOptionsKey, "ProductSuite", type, list) || type != REG_MULTI_SZ) {
            return false;
        }
        for (size_t start = 0; start < list.size() && list[start] != '\0';) {
            const size_t end = std::min(list.find('\0', start), list.size());
            if (list.compare(start, end - start, suite) == 0) {
                return true;
            }
            start = end + 1;
        }
        return false;
    }
    // The forcing value under the common settings key: a non-zero 32-bit number.
    bool Forced(const char* name) const {
        DWORD type = 0;
        std::string data;
        if (!Read(QVTR_COMMON_SETTINGS_KEY, name, type, data) || data.size() < 4) {
            return false;
        }
        return (static_cast<unsigned char>(data[0]) | static_cast<unsigned char>(data[1]) |
                static_cast<unsigned char>(data[2]) | static_cast<unsigned char>(data[3])) != 0;
    }
    bool CitrixProductIs(const char* expected) const {
        std::string name;
        return Text(kCitrixKey, "ProductName", name) && name == expected;
    }

private:
    HKEY m_root;
};

std::string YesNo(bool value) {
    return value ? "yes" : "no";
}

void PrintMachine(const std::string& host, const RemoteMachine& machine) {
    ReportLine(std::cout, "Machine", host);
    std::string version;
    std::string build;
    std::string servicePack;
    unsigned major = 0;
    if (machine.Text(kNtVersionKey, "CurrentVersion", version)) {
        machine.Text(kNtVersionKey, "CurrentBuildNumber", build);
        machine.Text(kNtVersionKey, "CSDVersion", servicePack);
        std::sscanf(version.c_str(), "%u", &major);
        ReportLine(std::cout, "Platform id", "2 (Windows NT family)");
        ReportLine(std::cout, "OS version", version + (build.empty() ? "" : "." + build));
    } else if (machine.Text(kWindowsVersionKey, "VersionNumber", version)) {
        ReportLine(std::cout, "Platform id", "1 (Windows 95 family)");
        ReportLine(std::cout, "OS version", version);
    } else {
        ReportLine(std::cout, "OS version", "(not in its registry)");
    }
    ReportLine(std::cout, "Service pack", servicePack.empty() ? "(none)" : servicePack);
    const bool terminalServer = machine.InProductSuite("Terminal Server");
    const bool metaFrame = machine.CitrixProductIs("Citrix MetaFrame") || machine.Forced("MetaFrame");
    const bool winFrame = (major == 3 && machine.CitrixProductIs("Citrix WinFrame")) || machine.Forced("WinFrame");
    ReportLine(std::cout, "Terminal Server", YesNo(terminalServer));
    ReportLine(std::cout, "MetaFrame", YesNo(metaFrame));
    ReportLine(std::cout, "WinFrame", YesNo(winFrame));
    ReportLine(std::cout, "Multi-user", YesNo(terminalServer || metaFrame || winFrame));
}

const CommandRegistrar kRegServer({"reg-server", "serve this machine's registry to one remote client (run by ssh)",
                                   "usage: qvtr reg-server\n\n"
                                   "Answers one remote-registry client on standard input and output until it\n"
                                   "hangs up, as the user it runs as, with this machine's rules: every user\n"
                                   "reads HKLM, only root changes it. ssh starts it on the machine a\n"
                                   "\\\\HOST key names; it is not meant to be run by hand.\n",
                                   RunRegServer});

}  // namespace

int RunRemoteReport(const std::string& host) {
    HKEY root = nullptr;
    const std::string machine = "\\\\" + host;
    if (const LONG error = Api().RegConnectRegistryA(machine.c_str(), HKEY_LOCAL_MACHINE, &root)) {
        std::cerr << "qvtr report: cannot reach the registry of " << host << ": " << ErrorLine(error) << " (" << error
                  << ")\n";
        return kExitFailure;
    }
    PrintMachine(host, RemoteMachine(root));
    Api().RegCloseKey(root);
    return 0;
}

}  // namespace tool
