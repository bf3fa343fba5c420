// reg add: a key, and a value of any of reg.exe's types, with its data rules.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "reg_verbs.h"
#include "regfile/reg_file.h"
#include "win32/api.h"

namespace tool {
namespace reg {

namespace {

struct Addition {
    KeyPath path;
    std::string valueName;  // empty: the default value (/ve, or neither /v nor /ve)
    std::string typeName = "REG_SZ";
    bool hasData = false;
    std::string data;
    bool hasSeparator = false;
    char separator = '\0';
    bool force = false;
};

Addition ParseAddition(const Args& args) {
    if (args.empty() || LooksLikeSwitch(args[0])) {
        throw Usage{"the first argument must be the key"};
    }
    Addition addition;
    Switches switches(args, 1);
    const bool named = switches.Text("v", addition.valueName);
    if (switches.Flag("ve") && named) {
        throw Usage{"give /v or /ve, not both"};
    }
    switches.Text("t", addition.typeName);
    std::string separator;
    if ((addition.hasSeparator = switches.Text("s", separator))) {
        if (separator.size() != 1) {
            throw Usage{"the separator of /s is one character, not " + Shown(separator)};
        }
        addition.separator = separator[0];
    }
    addition.hasData = switches.Text("d", addition.data);
    addition.force = switches.Flag("f");
    switches.Finish();
    addition.path = ParseKeyPath(args[0]);
    if (addition.path.subKey.empty() && args[0].back() == '\\') {
        throw Refused("Invalid key name: " + Shown(args[0]));
    }
    std::transform(addition.typeName.begin(), addition.typeName.end(), addition.typeName.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return addition;
}

Failed BadData(const std::string& what) {
    return Refused("The data of /d must be " + what);
}

// reg.exe reads numbers as wcstoul does: blanks first, base 16 only after "0x". A
// REG_QWORD goes through wcstoull, which takes a minus sign on a decimal number.
unsigned long long Number(const std::string& text, bool qword) {
    const bool hex = text.size() > 1 && (text[1] == 'x' || text[1] == 'X');
    if (text.empty()) {
        return 0;
    }
    char* rest = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &rest, hex ? 16 : 10);
    const bool negative = text[0] == '-';
    if (*rest != '\0' || (negative && !qword) || errno == ERANGE || (!qword && value > 0xFFFFFFFFull)) {
        throw BadData("a decimal or 0x-hexadecimal number of the type's size, not " + Shown(text));
    }
    return value;
}

std::string LittleEndian(unsigned long long value, size_t size) {
    std::string bytes;
    for (size_t i = 0; i < size; ++i) {
        bytes += static_cast<char>(value >> (8 * i) & 0xFF);
    }
    return bytes;
}

// Hexadecimal digits; an odd count gets a leading zero, as reg.exe does.
std::string Binary(const std::string& text) {
    const std::string digits = text.size() % 2 ? "0" + text : text;
    std::string bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
        const std::string pair = digits.substr(i, 2);
        if (!std::isxdigit(static_cast<unsigned char>(pair[0])) ||
            !std::isxdigit(static_cast<unsigned char>(pair[1]))) {
            throw BadData("hexadecimal digits, not " + Shown(text));
        }
        bytes += static_cast<char>(std::strtoul(pair.c_str(), nullptr, 16));
    }
    return bytes;
}

// Items split at the separator (default the two characters \0); an empty item is
// allowed only at the end, as reg.exe allows it.
std::string MultiString(const Addition& addition) {
    const std::string& data = addition.data;
    std::string bytes;
    for (size_t i = 0; i < data.size(); ++i) {
        if (!addition.hasSeparator && data[i] == '\\' && i + 1 < data.size() && data[i + 1] == '0') {
            bytes += '\0';
            ++i;
        } else if (addition.hasSeparator && data[i] == addition.separator) {
            bytes += '\0';
        } else {
            bytes += data[i];
        }
        const size_t n = bytes.size();
        if (n > 1 && bytes[n - 2] == '\0' && (bytes[n - 1] == '\0' || n == 2)) {
            throw BadData("strings without an empty one between them, not " + Shown(data));
        }
    }
    if (!bytes.empty() && bytes.back() != '\0') {
        bytes += '\0';
    }
    return bytes + '\0';
}

// REG_NONE data is the text in UTF-16, as reg.exe stores it.
std::string WideText(const std::string& text) {
    const int count = Api().MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (count <= 0) {
        throw BadData("text in the system's code page");
    }
    std::vector<WCHAR> wide(static_cast<size_t>(count));
    Api().MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), count);
    std::string bytes;
    for (WCHAR c : wide) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8 & 0xFF);
    }
    return bytes;
}

void Encode(const Addition& addition, DWORD& type, std::string& bytes) {
    const std::string& name = addition.typeName;
    const std::string& data = addition.data;
    if (name == "REG_SZ" || name == "REG_EXPAND_SZ") {
        type = name == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
        bytes = data + '\0';
    } else if (name == "REG_QWORD") {
        type = REG_QWORD;  // without /d: zero, as reg.exe does
        bytes = LittleEndian(Number(data, true), 8);
    } else if (name == "REG_DWORD" || name == "REG_DWORD_LITTLE_ENDIAN" || name == "REG_DWORD_BIG_ENDIAN") {
        if (!addition.hasData) {
            throw Refused(name + " needs its number in /d");
        }
        // reg.exe stores a big-endian one in the machine's byte order too, under its own type.
        type = name == "REG_DWORD_BIG_ENDIAN" ? REG_DWORD_BIG_ENDIAN : REG_DWORD;
        bytes = LittleEndian(Number(data, false), 4);
    } else if (name == "REG_BINARY") {
        type = REG_BINARY;
        bytes = Binary(data);
    } else if (name == "REG_MULTI_SZ") {
        type = REG_MULTI_SZ;
        bytes = MultiString(addition);
    } else if (name == "REG_NONE") {
        type = REG_NONE;
        bytes = WideText(data);
    } else {
        throw Refused("Unsupported type " + Shown(name) +
                      " (REG_SZ, REG_MULTI_SZ, REG_EXPAND_SZ, REG_DWORD, REG_DWORD_LITTLE_ENDIAN, "
                      "REG_DWORD_BIG_ENDIAN, REG_QWORD, REG_BINARY or REG_NONE)");
    }
}

}  // namespace

int RunAdd(const Args& args) {
    const Addition addition = ParseAddition(args);
    DWORD type = REG_SZ;
    std::string bytes;
    Encode(addition, type, bytes);
    const Root root(addition.path);
    Key key;
    if (const LONG error = key.Create(root.Get(), addition.path.subKey, KEY_ALL_ACCESS)) {
        throw Failed{error, addition.path.Display()};
    }
    if (!addition.force &&
        Api().RegQueryValueExA(key.Get(), addition.valueName.c_str(), nullptr, nullptr, nullptr, nullptr) ==
            ERROR_SUCCESS &&
        !Confirm("Value " + (addition.valueName.empty() ? std::string("(Default)") : addition.valueName) +
                 " exists, overwrite")) {
        return Cancelled();
    }
    if (const LONG error =
            Api().RegSetValueExA(key.Get(), addition.valueName.c_str(), 0, type,
                                 reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()))) {
        throw Failed{error, addition.path.Display()};
    }
    return Success();
}

}  // namespace reg
}  // namespace tool
