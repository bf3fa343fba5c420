// reg: query, add, delete, export and import registry keys, in reg.exe's syntax.
// On Linux it works on the persisted registry of the POSIX backend, on Windows
// on the real registry.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "command.h"
#include "qvtr/module.h"
#include "qvtr/registry.h"
#include "read_file.h"
#include "registry/reg_file.h"
#include "win32/api.h"

namespace tool {

namespace {

const char* const kName = "reg";

const char* const kImportHelp =
    "usage: qvtr reg import FILE [/strict]\n\n"
    "Applies a .reg file: \"Windows Registry Editor Version 5.00\" (UTF-16LE with a byte-order\n"
    "mark, or ANSI), REGEDIT4 (ANSI) or Windows 3.1 REGEDIT. Lines are read with reg.exe's\n"
    "rules: a line reg.exe skips is skipped and named on standard error as FILE:LINE: reason\n"
    "(the first 20, then a count), and the rest is imported. /strict refuses the whole file\n"
    "instead when any line would be skipped. A file that is not a registry file is refused\n"
    "whole. On Linux the import is one transaction.\n";

struct Options {
    std::string key;         // first operand
    std::string file;        // second operand (export)
    bool hasValue = false;   // /v or /ve
    std::string valueName;   // /v NAME; empty with /ve
    bool allValues = false;  // /va
    bool recurse = false;    // /s (query)
    bool force = false;      // /f, /y
    bool hasType = false;
    std::string type = "REG_SZ";
    bool hasData = false;
    std::string data;
    std::string separator = "\\0";
};

struct Usage {
    std::string message;
};

bool IsSwitch(const std::string& arg, const char* name) {
    if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) {
        return false;
    }
    const std::string rest = arg.substr(1);
    if (rest.size() != std::char_traits<char>::length(name)) {
        return false;
    }
    for (size_t i = 0; i < rest.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(rest[i])) != name[i]) {
            return false;
        }
    }
    return true;
}

// Parses the arguments after the operation; `allowed` lists the switches it takes.
Options ParseOptions(const Args& args, const std::string& allowed, size_t operands) {
    Options options;
    std::vector<std::string> positional;
    auto takes = [&](const char* name) {
        return (" " + allowed + " ").find(std::string(" ") + name + " ") != std::string::npos;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto next = [&](const char* what) -> std::string {
            if (i + 1 >= args.size()) {
                throw Usage{std::string(arg) + " needs " + what};
            }
            return args[++i];
        };
        if (IsSwitch(arg, "v") && takes("v")) {
            if (options.hasValue || options.allValues) {
                throw Usage{"give only one of /v, /ve and /va"};
            }
            options.hasValue = true;
            options.valueName = next("a value name");
        } else if (IsSwitch(arg, "ve") && takes("ve")) {
            if (options.hasValue || options.allValues) {
                throw Usage{"give only one of /v, /ve and /va"};
            }
            options.hasValue = true;
        } else if (IsSwitch(arg, "va") && takes("va")) {
            if (options.hasValue) {
                throw Usage{"give only one of /v, /ve and /va"};
            }
            options.allValues = true;
        } else if (IsSwitch(arg, "s") && takes("s")) {
            options.recurse = true;
        } else if (IsSwitch(arg, "s") && takes("sep")) {
            options.separator = next("a separator");
        } else if ((IsSwitch(arg, "f") && takes("f")) || (IsSwitch(arg, "y") && takes("y"))) {
            options.force = true;
        } else if (IsSwitch(arg, "t") && takes("t")) {
            options.hasType = true;
            options.type = next("a type");
            for (char& c : options.type) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
        } else if (IsSwitch(arg, "d") && takes("d")) {
            options.hasData = true;
            options.data = next("the data");
        } else if (arg.size() > 1 && arg.size() <= 4 && (arg[0] == '/' || arg[0] == '-')) {
            throw Usage{"unknown switch " + arg};  // longer ones are paths such as /tmp/x.reg
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != operands) {
        throw Usage{operands == 1 ? "expects one KEY" : "expects KEY and FILE"};
    }
    options.key = positional[0];
    if (operands > 1) {
        options.file = positional[1];
    }
    return options;
}

struct KeyName {
    HKEY root = nullptr;
    std::string rootName;
    std::string subKey;
    std::string Display() const { return subKey.empty() ? rootName : rootName + "\\" + subKey; }
};

KeyName ParseKey(const std::string& text) {
    KeyName key;
    if (!regfile::SplitRoot(text, key.root, key.rootName, key.subKey)) {
        throw Usage{"'" + text + "' does not start with HKLM, HKCU, HKCR, HKU or their long names"};
    }
    return key;
}

std::string ErrorText(LONG code) {
    std::string text;
    g_Module.GetErrorText(text, static_cast<DWORD>(code));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

int Failure(LONG code, const std::string& what = std::string()) {
    if (code == ERROR_FILE_NOT_FOUND) {
        std::cerr << "ERROR: The system was unable to find the specified registry key or value."
                  << (what.empty() ? std::string() : " (" + what + ")") << "\n";
    } else {
        std::cerr << "ERROR: " << (what.empty() ? std::string() : what + ": ") << ErrorText(code) << "\n";
    }
    return kExitFailure;
}

bool Confirm(const std::string& question) {
    std::cout << question << " (Yes/No)? " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) {
        std::cout << "\n";
        return false;
    }
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

// ---- query ------------------------------------------------------------------------

// The data as reg.exe shows it.
std::string ShowData(DWORD type, const std::string& data) {
    char number[32];
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            return std::string(data.c_str(), std::min(data.size(), std::strlen(data.c_str())));
        case REG_DWORD:
            if (data.size() == 4) {
                DWORD value = 0;
                std::memcpy(&value, data.data(), 4);
                std::snprintf(number, sizeof number, "0x%x", static_cast<unsigned>(value));
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

void PrintValue(const std::string& name, DWORD type, const std::string& data) {
    std::cout << "    " << (name.empty() ? "(Default)" : name) << "    " << regfile::TypeName(type) << "    "
              << ShowData(type, data) << "\n";
}

struct KeyInfo {
    DWORD subKeys = 0, maxSubKey = 0, values = 0, maxName = 0, maxData = 0;
};

LONG Info(HKEY hKey, KeyInfo& info) {
    return Api().RegQueryInfoKeyA(hKey, nullptr, nullptr, nullptr, &info.subKeys, &info.maxSubKey, nullptr,
                                  &info.values, &info.maxName, &info.maxData, nullptr, nullptr);
}

LONG ReadValue(HKEY hKey, const std::string& name, DWORD& type, std::string& data) {
    DWORD size = 0;
    LONG error = Api().RegQueryValueExA(hKey, name.c_str(), nullptr, &type, nullptr, &size);
    while (error == ERROR_SUCCESS || error == ERROR_MORE_DATA) {
        data.assign(size, '\0');
        error = Api().RegQueryValueExA(hKey, name.c_str(), nullptr, &type,
                                       size ? reinterpret_cast<LPBYTE>(&data[0]) : nullptr, &size);
        if (error == ERROR_SUCCESS) {
            data.resize(size);
            break;
        }
    }
    return error;
}

std::vector<std::string> SubKeyNames(HKEY hKey, const KeyInfo& info) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        std::string name(info.maxSubKey + 256, '\0');
        DWORD length = static_cast<DWORD>(name.size());
        if (Api().RegEnumKeyExA(hKey, i, &name[0], &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        name.resize(length);
        names.push_back(name);
    }
    return names;
}

LONG QueryKey(HKEY hKey, const std::string& path, bool recurse) {
    KeyInfo info;
    if (const LONG error = Info(hKey, info)) {
        return error;
    }
    std::cout << "\n" << path << "\n";
    for (DWORD i = 0;; ++i) {
        std::string name(info.maxName + 256, '\0');
        std::string data(info.maxData + 1, '\0');
        DWORD length = static_cast<DWORD>(name.size());
        DWORD size = static_cast<DWORD>(data.size());
        DWORD type = 0;
        const LONG error =
            Api().RegEnumValueA(hKey, i, &name[0], &length, nullptr, &type, reinterpret_cast<LPBYTE>(&data[0]), &size);
        if (error == ERROR_MORE_DATA) {
            info.maxData = std::max(info.maxData * 2, size);
            --i;
            continue;
        }
        if (error != ERROR_SUCCESS) {
            break;
        }
        name.resize(length);
        data.resize(size);
        PrintValue(name, type, data);
    }
    const std::vector<std::string> names = SubKeyNames(hKey, info);
    if (!recurse) {
        if (!names.empty()) {
            std::cout << "\n";
        }
        for (const std::string& name : names) {
            std::cout << path << "\\" << name << "\n";
        }
        return ERROR_SUCCESS;
    }
    for (const std::string& name : names) {
        HKEY child = nullptr;
        if (Api().RegOpenKeyExA(hKey, name.c_str(), 0, KEY_READ, &child) == ERROR_SUCCESS) {
            QueryKey(child, path + "\\" + name, true);
            Api().RegCloseKey(child);
        }
    }
    return ERROR_SUCCESS;
}

int RunQuery(const Args& args) {
    const Options options = ParseOptions(args, "v ve s", 1);
    const KeyName key = ParseKey(options.key);
    HKEY hKey = nullptr;
    LONG error = Api().RegOpenKeyExA(key.root, key.subKey.c_str(), 0, KEY_READ, &hKey);
    if (error != ERROR_SUCCESS) {
        return Failure(error, key.Display());
    }
    if (options.hasValue) {
        DWORD type = 0;
        std::string data;
        error = ReadValue(hKey, options.valueName, type, data);
        Api().RegCloseKey(hKey);
        if (error == ERROR_FILE_NOT_FOUND && options.valueName.empty()) {
            std::cout << "\n" << key.Display() << "\n    (Default)    REG_SZ    (value not set)\n\n";
            return 0;
        }
        if (error != ERROR_SUCCESS) {
            return Failure(error, options.valueName.empty() ? "(Default)" : options.valueName);
        }
        std::cout << "\n" << key.Display() << "\n";
        PrintValue(options.valueName, type, data);
        std::cout << "\n";
        return 0;
    }
    error = QueryKey(hKey, key.Display(), options.recurse);
    Api().RegCloseKey(hKey);
    return error == ERROR_SUCCESS ? 0 : Failure(error, key.Display());
}

// ---- add --------------------------------------------------------------------------

std::string HexBytes(const std::string& text) {
    if (text.size() % 2 != 0) {
        throw Usage{"REG_BINARY data must be an even number of hexadecimal digits"};
    }
    std::string bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        if (!std::isxdigit(static_cast<unsigned char>(text[i])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            std::sscanf(text.substr(i, 2).c_str(), "%2x", &value) != 1) {
            throw Usage{"REG_BINARY data must be hexadecimal digits, not '" + text + "'"};
        }
        bytes += static_cast<char>(value);
    }
    return bytes;
}

void Encode(const Options& options, DWORD& type, std::string& bytes) {
    const std::string& data = options.data;
    if (options.type == "REG_SZ" || options.type == "REG_EXPAND_SZ") {
        type = options.type == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
        bytes = data + '\0';
    } else if (options.type == "REG_DWORD") {
        uint32_t number = 0;
        if (!ParseUInt32(data.empty() ? "0" : data, number)) {
            throw Usage{"REG_DWORD data must be a decimal or 0x-hexadecimal 32-bit number, not '" + data + "'"};
        }
        type = REG_DWORD;
        bytes.assign(reinterpret_cast<const char*>(&number), 4);
    } else if (options.type == "REG_BINARY") {
        type = REG_BINARY;
        bytes = HexBytes(data);
    } else if (options.type == "REG_MULTI_SZ") {
        type = REG_MULTI_SZ;
        if (options.separator.empty()) {
            throw Usage{"the separator of /s must not be empty"};
        }
        for (size_t start = 0; start <= data.size() && !data.empty();) {
            size_t end = data.find(options.separator, start);
            if (end == std::string::npos) {
                end = data.size();
            }
            const std::string item = data.substr(start, end - start);
            if (item.empty()) {
                throw Usage{"REG_MULTI_SZ data must not hold an empty string"};
            }
            bytes += item + '\0';
            start = end + options.separator.size();
        }
        bytes += '\0';
    } else {
        throw Usage{"unknown type " + options.type + " (REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_BINARY or REG_MULTI_SZ)"};
    }
}

int RunAdd(const Args& args) {
    const Options options = ParseOptions(args, "v ve t d f sep", 1);
    const KeyName key = ParseKey(options.key);
    DWORD type = 0;
    std::string bytes;
    const bool setValue = options.hasValue || options.hasData || options.hasType;
    if (setValue) {
        Encode(options, type, bytes);
    }
    HKEY hKey = nullptr;
    LONG error =
        Api().RegCreateKeyExA(key.root, key.subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr);
    if (error != ERROR_SUCCESS) {
        return Failure(error, key.Display());
    }
    if (setValue) {
        const std::string shown = options.valueName.empty() ? "(Default)" : options.valueName;
        DWORD existing = 0;
        if (!options.force &&
            Api().RegQueryValueExA(hKey, options.valueName.c_str(), nullptr, &existing, nullptr, nullptr) ==
                ERROR_SUCCESS &&
            !Confirm("Value " + shown + " exists, overwrite")) {
            Api().RegCloseKey(hKey);
            std::cout << "The operation was cancelled.\n";
            return kExitFailure;
        }
        error = Api().RegSetValueExA(hKey, options.valueName.c_str(), 0, type,
                                     reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
    }
    Api().RegCloseKey(hKey);
    if (error != ERROR_SUCCESS) {
        return Failure(error, options.valueName);
    }
    std::cout << "The operation completed successfully.\n";
    return 0;
}

// ---- delete -----------------------------------------------------------------------

int DeleteValues(const KeyName& key, const Options& options) {
    HKEY hKey = nullptr;
    LONG error = Api().RegOpenKeyExA(key.root, key.subKey.c_str(), 0, KEY_ALL_ACCESS, &hKey);
    if (error != ERROR_SUCCESS) {
        return Failure(error, key.Display());
    }
    if (options.allValues) {
        KeyInfo info;
        error = Info(hKey, info);
        // From the last to the first: nothing still to come moves.
        for (DWORD i = info.values; error == ERROR_SUCCESS && i-- > 0;) {
            std::string name(info.maxName + 1, '\0');
            DWORD length = info.maxName + 1;
            error = Api().RegEnumValueA(hKey, i, &name[0], &length, nullptr, nullptr, nullptr, nullptr);
            if (error == ERROR_SUCCESS) {
                name.resize(length);
                error = Api().RegDeleteValueA(hKey, name.c_str());
            }
        }
    } else {
        error = Api().RegDeleteValueA(hKey, options.valueName.c_str());
    }
    Api().RegCloseKey(hKey);
    if (error != ERROR_SUCCESS) {
        return Failure(error, options.allValues ? key.Display() : options.valueName);
    }
    std::cout << "The operation completed successfully.\n";
    return 0;
}

int RunDelete(const Args& args) {
    const Options options = ParseOptions(args, "v ve va f", 1);
    const KeyName key = ParseKey(options.key);
    if (options.hasValue || options.allValues) {
        const std::string what =
            options.allValues ? "all values of " + key.Display()
                              : "the registry value " + (options.valueName.empty() ? "(Default)" : options.valueName);
        if (!options.force && !Confirm("Delete " + what)) {
            std::cout << "The operation was cancelled.\n";
            return kExitFailure;
        }
        return DeleteValues(key, options);
    }
    if (key.subKey.empty()) {
        throw Usage{"a root key cannot be deleted"};
    }
    HKEY probe = nullptr;
    const LONG error = Api().RegOpenKeyExA(key.root, key.subKey.c_str(), 0, KEY_READ, &probe);
    if (error != ERROR_SUCCESS) {
        return Failure(error, key.Display());
    }
    Api().RegCloseKey(probe);
    if (!options.force && !Confirm("Permanently delete the registry key " + key.Display())) {
        std::cout << "The operation was cancelled.\n";
        return kExitFailure;
    }
    // The key object deletes the tree as the module does: deepest first on NT.
    CRegistryKey tree(key.root, key.subKey, true, false, true);
    const LONG result = tree.DeleteTree();
    if (result != ERROR_SUCCESS) {
        return Failure(result, key.Display());
    }
    std::cout << "The operation completed successfully.\n";
    return 0;
}

// ---- export and import ------------------------------------------------------------

// Larger .reg files are refused rather than read: reg.exe's own exports of whole
// hives stay well below this.
constexpr size_t kMaxRegFile = size_t{256} << 20;

// The first lines reg.exe would skip, then how many more there were.
void ReportSkipped(const std::string& file, const std::vector<regfile::Problem>& skipped) {
    const size_t kShown = 20;
    for (size_t i = 0; i < skipped.size() && i < kShown; ++i) {
        std::cerr << file;
        if (skipped[i].line != 0) {
            std::cerr << ":" << skipped[i].line;
        }
        std::cerr << ": " << skipped[i].reason << "\n";
    }
    if (skipped.size() > kShown) {
        std::cerr << file << ": " << skipped.size() - kShown << " more line(s) skipped\n";
    }
}

bool IsHelp(const std::string& arg) {
    return arg == "/?" || arg == "-?" || IsSwitch(arg, "h");
}

// reg.exe's answer to a wrong command line of these two verbs: exit 1.
int InvalidSyntax(const char* verb, const std::string& why) {
    std::cerr << "ERROR: Invalid syntax: " << why << ".\nType \"qvtr reg " << verb << " /?\" for usage.\n";
    return kExitFailure;
}

int RunExport(const Args& args) {
    // reg.exe wants KEY and FILE first, then the switches.
    Args rest;
    for (size_t i = 0; i < args.size(); ++i) {
        const bool view = IsSwitch(args[i], "reg:32") || IsSwitch(args[i], "reg:64");
        if (i < 2 && (view || IsSwitch(args[i], "y"))) {
            return InvalidSyntax("export", "KEY and FILE come before the switches");
        }
        if (!view) {
            rest.push_back(args[i]);
        }
    }
    Options options;
    try {
        options = ParseOptions(rest, "y", 2);
    } catch (const Usage& usage) {
        return InvalidSyntax("export", usage.message);
    }
    const KeyName key = ParseKey(options.key);
    if (!options.force && std::ifstream(options.file).good() &&
        !Confirm("File " + options.file + " already exists. Overwrite")) {
        std::cout << "The operation was cancelled.\n";
        return kExitFailure;
    }
    std::string bytes;
    std::string problem;
    const LONG error = regfile::Export(key.root, key.rootName, key.subKey, bytes, problem);
    if (error != ERROR_SUCCESS) {
        if (!problem.empty()) {
            std::cerr << "ERROR: cannot export " << key.Display() << ": " << problem << "; nothing written\n";
            return kExitFailure;
        }
        return Failure(error, key.Display());
    }
    std::ofstream out(options.file, std::ios::binary | std::ios::trunc);
    out << bytes;
    out.close();
    if (!out) {
        std::cerr << "ERROR: cannot write " << options.file << "\n";
        return kExitFailure;
    }
    // As for import, reg.exe reports success on standard error.
    std::cerr << "The operation completed successfully.\n";
    return 0;
}

int RunImport(const Args& args) {
    bool strict = false;
    std::vector<std::string> files;
    for (const std::string& arg : args) {
        if (IsHelp(arg)) {
            std::cout << kImportHelp;
            return 0;
        }
        if (IsSwitch(arg, "strict")) {
            strict = true;
        } else if (IsSwitch(arg, "reg:32") || IsSwitch(arg, "reg:64")) {
            // One registry view on Linux; on Windows the tool's own view.
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 1) {
        return InvalidSyntax("import", files.empty() ? "no FILE given" : "give exactly one FILE");
    }
    const std::string& file = files[0];
    std::string bytes;
    std::string reason;
    if (!ReadRegularFile(file, kMaxRegFile, bytes, reason)) {
        std::cerr << "ERROR: cannot read " << file << ": " << reason << "\n";
        return kExitFailure;
    }
    regfile::Document document;
    regfile::Problem problem;
    if (!regfile::Parse(bytes, document, problem)) {
        std::cerr << "ERROR: " << file;
        if (problem.line != 0) {
            std::cerr << ":" << problem.line;
        }
        std::cerr << ": " << problem.reason << "; nothing imported\n";
        return kExitFailure;
    }
    bytes = std::string();  // the parsed document is all that is needed now
    std::vector<regfile::Problem> skipped = std::move(document.skipped);
    if (strict && !skipped.empty()) {
        ReportSkipped(file, skipped);
        std::cerr << "ERROR: " << file << ": " << skipped.size() << " line(s) would be skipped; nothing imported\n";
        return kExitFailure;
    }
    const size_t parsed = skipped.size();
    const LONG error = regfile::Apply(document, strict, skipped);
    ReportSkipped(file, skipped);
    if (error != ERROR_SUCCESS) {
        std::cerr << "ERROR: " << file << ": " << ErrorText(error)
                  << (Api().QvtrRegTransaction ? "; nothing imported" : "") << "\n";
        return kExitFailure;
    }
    if (skipped.size() > parsed && Api().QvtrRegTransaction == nullptr) {
        std::cerr << "ERROR: " << file << ": some keys or values could not be written\n";
    }
    // reg.exe reports success on standard error; standard output stays empty.
    std::cerr << "The operation completed successfully.\n";
    return 0;
}

int RunReg(const Args& args) {
    if (args.empty()) {
        return UsageError(kName, "expects an operation: query, add, delete, export or import");
    }
    const std::string operation = args[0];
    const Args rest(args.begin() + 1, args.end());
    try {
        if (operation == "query") {
            return RunQuery(rest);
        }
        if (operation == "add") {
            return RunAdd(rest);
        }
        if (operation == "delete") {
            return RunDelete(rest);
        }
        if (operation == "export") {
            return RunExport(rest);
        }
        if (operation == "import") {
            return RunImport(rest);
        }
    } catch (const Usage& usage) {
        return UsageError(kName, operation + ": " + usage.message);
    } catch (long code) {
        return Failure(code);
    }
    return UsageError(kName, "unknown operation '" + operation + "' (query, add, delete, export or import)");
}

const CommandRegistrar kReg(
    {kName, "query, add, delete, export and import registry keys (reg.exe syntax)",
     "usage: qvtr reg query  KEY [/v NAME | /ve] [/s]\n"
     "       qvtr reg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEP] [/d DATA] [/f]\n"
     "       qvtr reg delete KEY [/v NAME | /ve | /va] [/f]\n"
     "       qvtr reg export KEY FILE [/y]\n"
     "       qvtr reg import FILE [/strict]\n\n"
     "KEY starts with a root: HKLM, HKCU, HKCR, HKU or HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER,\n"
     "HKEY_CLASSES_ROOT, HKEY_USERS, e.g. HKLM\\Software\\Quillon. Switches may start with / or -.\n\n"
     "query   prints the key's values (\"    name    TYPE    data\") and its sub-keys; /v NAME or\n"
     "        /ve (the default value) prints one value; /s prints the whole tree.\n"
     "add     creates the key and, with /v, /ve or /d, sets a value. TYPE is REG_SZ (the default),\n"
     "        REG_EXPAND_SZ, REG_DWORD (decimal or 0x-hex), REG_BINARY (hex digits, e.g. 0a1b) or\n"
     "        REG_MULTI_SZ (strings separated by SEP, default \\0). An existing value is replaced\n"
     "        after a Yes, or at once with /f.\n"
     "delete  deletes the key with everything below it, one value (/v, /ve) or all values of\n"
     "        the key (/va), after a Yes, or at once with /f.\n"
     "export  writes the key and everything below it to FILE as reg.exe does (UTF-16LE, \"Windows\n"
     "        Registry Editor Version 5.00\"); /y replaces an existing FILE without asking.\n"
     "import  applies a .reg file (5.00, REGEDIT4 or REGEDIT; ANSI or UTF-16LE) with reg.exe's\n"
     "        rules: a line reg.exe skips is named on stderr as FILE:LINE: reason and the rest\n"
     "        is imported; /strict refuses the whole file instead. On Linux one transaction.\n\n"
     "On Linux the registry is the database in $QVTR_REGISTRY (by default\n"
     "~/.local/share/qvtr/registry.db); on Windows it is the system's registry.\n"
     "Exit status: 0 success, 1 failure or a No, 2 bad usage.\n",
     RunReg});

}  // namespace

}  // namespace tool
