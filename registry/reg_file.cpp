// regedit's text format: parser, writer, import and export through Api().
#include "registry/reg_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "win32/api.h"

namespace regfile {

namespace {

const char* const kHeader5 = "Windows Registry Editor Version 5.00";
const char* const kHeader4 = "REGEDIT4";

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string TrimRight(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && (IsBlank(text[end - 1]) || text[end - 1] == '\r')) {
        --end;
    }
    return text.substr(0, end);
}

size_t SkipBlanks(const std::string& text, size_t at) {
    while (at < text.size() && IsBlank(text[at])) {
        ++at;
    }
    return at;
}

// Nothing but blanks or a comment may follow the data.
bool OnlyTrailing(const std::string& text, size_t at) {
    at = SkipBlanks(text, at);
    return at == text.size() || text[at] == ';';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// A file's bytes as ANSI lines. UTF-16LE text is narrowed character by character;
// a character beyond the ANSI range is refused.
bool DecodeLines(const std::string& bytes, std::vector<std::string>& lines, Problem& problem) {
    std::string text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2 != 0) {
            problem = {0, "the UTF-16 text ends in the middle of a character"};
            return false;
        }
        int line = 1;
        for (size_t i = 2; i < bytes.size(); i += 2) {
            const unsigned unit = static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8;
            if (unit > 0xFF) {
                char reason[96];
                std::snprintf(reason, sizeof reason, "character U+%04X is not in the ANSI range", unit);
                problem = {line, reason};
                return false;
            }
            line += unit == '\n';
            text += static_cast<char>(unit);
        }
    } else if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text = bytes.substr(3);
    } else {
        text = bytes;
    }
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
        start = end + 1;
    }
    return true;
}

// A quoted string starting at text[at] == '"', with \\ and \" escapes.
bool ParseQuoted(const std::string& text, size_t& at, std::string& out, std::string& reason) {
    out.clear();
    for (++at; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '"') {
            ++at;
            return true;
        }
        if (c == '\\') {
            if (at + 1 >= text.size()) {
                break;
            }
            const char next = text[++at];
            if (next != '\\' && next != '"') {
                reason = std::string("unknown escape \\") + next + " (only \\\\ and \\\" are allowed)";
                return false;
            }
            out += next;
        } else {
            out += c;
        }
    }
    reason = "the closing quote is missing";
    return false;
}

bool ParseHexBytes(const std::string& text, std::string& out, std::string& reason) {
    size_t at = SkipBlanks(text, 0);
    if (OnlyTrailing(text, at)) {
        return true;  // no bytes: an empty value
    }
    for (;;) {
        at = SkipBlanks(text, at);
        const int high = at < text.size() ? HexDigit(text[at]) : -1;
        if (high < 0) {
            reason = "expected a hexadecimal byte";
            return false;
        }
        int value = high;
        ++at;
        if (at < text.size() && HexDigit(text[at]) >= 0) {
            value = value * 16 + HexDigit(text[at]);
            ++at;
        }
        out += static_cast<char>(value);
        at = SkipBlanks(text, at);
        if (at < text.size() && text[at] == ',') {
            ++at;
            if (OnlyTrailing(text, at)) {
                return true;  // a trailing comma
            }
            continue;
        }
        if (OnlyTrailing(text, at)) {
            return true;
        }
        reason = "expected a comma between bytes";
        return false;
    }
}

bool IsTextType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The 5.00 format keeps string types given as hex in UTF-16LE; the registry
// behind the A functions holds them as ANSI bytes.
bool Narrow(const std::string& wide, std::string& out, std::string& reason) {
    if (wide.size() % 2 != 0) {
        reason = "UTF-16 data has an odd number of bytes";
        return false;
    }
    out.clear();
    for (size_t i = 0; i < wide.size(); i += 2) {
        const unsigned unit = static_cast<unsigned char>(wide[i]) | static_cast<unsigned char>(wide[i + 1]) << 8;
        if (unit > 0xFF) {
            char text[96];
            std::snprintf(text, sizeof text, "character U+%04X is not in the ANSI range", unit);
            reason = text;
            return false;
        }
        out += static_cast<char>(unit);
    }
    return true;
}

std::string Widen(const std::string& narrow) {
    std::string wide;
    wide.reserve(narrow.size() * 2);
    for (char c : narrow) {
        wide += c;
        wide += '\0';
    }
    return wide;
}

// The data after '=' of a value line, with continuation lines already joined.
bool ParseData(const std::string& text, bool version5, Value& value, std::string& reason) {
    size_t at = SkipBlanks(text, 0);
    if (at < text.size() && text[at] == '-') {
        value.remove = true;
        if (!OnlyTrailing(text, at + 1)) {
            reason = "unexpected text after '-'";
            return false;
        }
        return true;
    }
    if (at < text.size() && text[at] == '"') {
        if (!ParseQuoted(text, at, value.data, reason)) {
            return false;
        }
        if (!OnlyTrailing(text, at)) {
            reason = "unexpected text after the closing quote";
            return false;
        }
        value.type = REG_SZ;
        value.data += '\0';
        return true;
    }
    if (text.compare(at, 6, "dword:") == 0) {
        at += 6;
        size_t digits = 0;
        DWORD number = 0;
        while (at < text.size() && HexDigit(text[at]) >= 0) {
            number = number << 4 | static_cast<DWORD>(HexDigit(text[at]));
            ++at;
            ++digits;
        }
        if (digits == 0 || digits > 8 || !OnlyTrailing(text, at)) {
            reason = "dword: needs 1 to 8 hexadecimal digits";
            return false;
        }
        value.type = REG_DWORD;
        for (int i = 0; i < 4; ++i) {
            value.data += static_cast<char>(number >> (8 * i) & 0xFF);
        }
        return true;
    }
    if (text.compare(at, 4, "hex:") == 0) {
        value.type = REG_BINARY;
        at += 4;
    } else if (text.compare(at, 4, "hex(") == 0) {
        at += 4;
        const size_t close = text.find("):", at);
        if (close == std::string::npos || close == at || close - at > 8) {
            reason = "hex(N): needs a hexadecimal type number";
            return false;
        }
        DWORD type = 0;
        for (size_t i = at; i < close; ++i) {
            if (HexDigit(text[i]) < 0) {
                reason = "hex(N): needs a hexadecimal type number";
                return false;
            }
            type = type << 4 | static_cast<DWORD>(HexDigit(text[i]));
        }
        value.type = type;
        at = close + 2;
    } else {
        reason = "expected \"string\", dword:, hex:, hex(N): or -";
        return false;
    }
    std::string bytes;
    if (!ParseHexBytes(text.substr(at), bytes, reason)) {
        return false;
    }
    if (version5 && IsTextType(value.type)) {
        return Narrow(bytes, value.data, reason);
    }
    value.data = bytes;
    return true;
}

struct RootName {
    const char* shortName;
    const char* longName;
    HKEY root;
};

const RootName kRoots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKU", "HKEY_USERS", HKEY_USERS},
};

bool SameText(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

std::string CodeText(LONG code) {
    return "error " + std::to_string(code);
}

// A REG_SZ that a quoted string gives back byte for byte.
bool PrintableString(const std::string& data) {
    if (data.empty() || data.back() != '\0') {
        return false;
    }
    for (size_t i = 0; i + 1 < data.size(); ++i) {
        if (data[i] == '\0' || data[i] == '\r' || data[i] == '\n') {
            return false;
        }
    }
    return true;
}

LONG ExportKey(HKEY hKey, const std::string& path, std::string& text) {
    text += "[" + path + "]\r\n";
    DWORD subKeys = 0;
    DWORD maxSubKey = 0;
    DWORD values = 0;
    DWORD maxName = 0;
    DWORD maxData = 0;
    LONG error = Api().RegQueryInfoKeyA(hKey, nullptr, nullptr, nullptr, &subKeys, &maxSubKey, nullptr, &values,
                                        &maxName, &maxData, nullptr, nullptr);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    std::string name;
    std::string data;
    for (DWORD i = 0; i < values; ++i) {
        // Another writer may have made a value longer since the key was asked.
        for (;;) {
            name.assign(maxName + 1, '\0');
            data.assign(maxData + 1, '\0');
            DWORD nameLength = maxName + 1;
            DWORD dataSize = maxData + 1;
            DWORD type = 0;
            error = Api().RegEnumValueA(hKey, i, &name[0], &nameLength, nullptr, &type,
                                        reinterpret_cast<LPBYTE>(&data[0]), &dataSize);
            if (error == ERROR_MORE_DATA) {
                maxName = maxName * 2 + 256;
                maxData = std::max<DWORD>(maxData * 2, dataSize);
                continue;
            }
            if (error == ERROR_SUCCESS) {
                name.resize(nameLength);
                data.resize(dataSize);
                text += FormatValue(name, type, data) + "\r\n";
            }
            break;
        }
        if (error == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (error != ERROR_SUCCESS) {
            return error;
        }
    }
    text += "\r\n";
    for (DWORD i = 0; i < subKeys; ++i) {
        name.assign(maxSubKey + 256, '\0');
        DWORD nameLength = static_cast<DWORD>(name.size());
        error = Api().RegEnumKeyExA(hKey, i, &name[0], &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (error != ERROR_SUCCESS) {
            return error;
        }
        name.resize(nameLength);
        HKEY child = nullptr;
        error = Api().RegOpenKeyExA(hKey, name.c_str(), 0, KEY_READ, &child);
        if (error != ERROR_SUCCESS) {
            return error;
        }
        error = ExportKey(child, path + "\\" + name, text);
        Api().RegCloseKey(child);
        if (error != ERROR_SUCCESS) {
            return error;
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace

bool Parse(const std::string& bytes, Document& document, Problem& problem) {
    document = Document();
    std::vector<std::string> lines;
    if (!DecodeLines(bytes, lines, problem)) {
        return false;
    }
    const std::string header = TrimRight(lines.empty() ? std::string() : lines[0]);
    if (header == kHeader5) {
        document.version5 = true;
    } else if (header == kHeader4) {
        document.version5 = false;
    } else {
        problem = {
            1, std::string("not a registry file: the first line must be \"") + kHeader5 + "\" or \"" + kHeader4 + "\""};
        return false;
    }
    for (size_t index = 1; index < lines.size(); ++index) {
        const int lineNumber = static_cast<int>(index + 1);
        const std::string& raw = lines[index];
        const size_t at = SkipBlanks(raw, 0);
        if (at == raw.size() || raw[at] == ';') {
            continue;
        }
        if (raw[at] == '[') {
            const std::string text = TrimRight(raw);
            const size_t close = text.rfind(']');
            if (close == std::string::npos || close <= at + 1) {
                problem = {lineNumber, "a key line must be [KEY] or [-KEY]"};
                return false;
            }
            Key key;
            key.line = lineNumber;
            key.remove = raw[at + 1] == '-';
            key.path = text.substr(at + 1 + key.remove, close - at - 1 - key.remove);
            if (!OnlyTrailing(text, close + 1)) {
                problem = {lineNumber, "unexpected text after ']'"};
                return false;
            }
            HKEY root = nullptr;
            std::string rootName;
            std::string subKey;
            if (!SplitRoot(key.path, root, rootName, subKey)) {
                problem = {lineNumber, "unknown root key in [" + key.path + "]"};
                return false;
            }
            document.keys.push_back(key);
            continue;
        }
        if (raw[at] != '"' && raw[at] != '@') {
            problem = {lineNumber, "expected [KEY], \"name\"=..., @=... or a ; comment"};
            return false;
        }
        if (document.keys.empty()) {
            problem = {lineNumber, "a value before the first [KEY]"};
            return false;
        }
        if (document.keys.back().remove) {
            problem = {lineNumber, "a value under a key that is being deleted"};
            return false;
        }
        Value value;
        value.line = lineNumber;
        size_t pos = at;
        std::string reason;
        if (raw[at] == '@') {
            ++pos;
        } else if (!ParseQuoted(raw, pos, value.name, reason)) {
            problem = {lineNumber, "value name: " + reason};
            return false;
        }
        pos = SkipBlanks(raw, pos);
        if (pos >= raw.size() || raw[pos] != '=') {
            problem = {lineNumber, "expected '=' after the value name"};
            return false;
        }
        std::string data = raw.substr(pos + 1);
        // Hex data goes on over lines that end in a backslash.
        const size_t dataStart = SkipBlanks(data, 0);
        if (data.compare(dataStart, 3, "hex") == 0) {
            for (;;) {
                size_t end = data.size();
                while (end > 0 && IsBlank(data[end - 1])) {
                    --end;
                }
                if (end == 0 || data[end - 1] != '\\') {
                    break;
                }
                data.resize(end - 1);
                if (index + 1 >= lines.size()) {
                    problem = {lineNumber, "the file ends after a continued line"};
                    return false;
                }
                const std::string& next = lines[++index];
                data.append(next, SkipBlanks(next, 0), std::string::npos);
            }
        }
        if (!ParseData(data, document.version5, value, reason)) {
            problem = {lineNumber, reason};
            return false;
        }
        document.keys.back().values.push_back(value);
    }
    return true;
}

bool SplitRoot(const std::string& path, HKEY& root, std::string& rootName, std::string& subKey) {
    const size_t slash = path.find('\\');
    const std::string first = path.substr(0, slash);
    for (const RootName& candidate : kRoots) {
        if (SameText(first, candidate.shortName) || SameText(first, candidate.longName)) {
            root = candidate.root;
            rootName = candidate.longName;
            subKey = slash == std::string::npos ? std::string() : path.substr(slash + 1);
            while (!subKey.empty() && subKey.back() == '\\') {
                subKey.pop_back();
            }
            return true;
        }
    }
    return false;
}

LONG DeleteTree(HKEY root, const std::string& subKey) {
    HKEY hKey = nullptr;
    LONG error = Api().RegOpenKeyExA(root, subKey.c_str(), 0, KEY_ALL_ACCESS, &hKey);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    DWORD subKeys = 0;
    DWORD maxSubKey = 0;
    error = Api().RegQueryInfoKeyA(hKey, nullptr, nullptr, nullptr, &subKeys, &maxSubKey, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr);
    // From the last to the first, so that a deletion shifts nothing still to come.
    for (DWORD i = subKeys; error == ERROR_SUCCESS && i-- > 0;) {
        std::string name(maxSubKey + 1, '\0');
        DWORD length = maxSubKey + 1;
        error = Api().RegEnumKeyExA(hKey, i, &name[0], &length, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_SUCCESS) {
            name.resize(length);
            error = DeleteTree(hKey, name);
        }
    }
    Api().RegCloseKey(hKey);
    return error == ERROR_SUCCESS ? Api().RegDeleteKeyA(root, subKey.c_str()) : error;
}

LONG Apply(const Document& document, Problem& problem) {
    const bool transaction = Api().QvtrRegTransaction != nullptr;
    if (transaction) {
        if (const LONG error = Api().QvtrRegTransaction(QVTR_REG_BEGIN)) {
            problem = {0, "cannot start the import: " + CodeText(error), error};
            return error;
        }
    }
    auto fail = [&](int line, const std::string& what, LONG error) {
        problem = {line, what + ": " + CodeText(error), error};
        if (transaction) {
            Api().QvtrRegTransaction(QVTR_REG_ROLLBACK);
        }
        return error;
    };
    for (const Key& key : document.keys) {
        HKEY root = nullptr;
        std::string rootName;
        std::string subKey;
        if (!SplitRoot(key.path, root, rootName, subKey)) {
            return fail(key.line, "unknown root key in [" + key.path + "]", ERROR_INVALID_PARAMETER);
        }
        if (key.remove) {
            const LONG error = DeleteTree(root, subKey);
            if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) {
                return fail(key.line, "cannot delete " + key.path, error);
            }
            continue;
        }
        HKEY hKey = nullptr;
        LONG error =
            Api().RegCreateKeyExA(root, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr);
        if (error != ERROR_SUCCESS) {
            return fail(key.line, "cannot create " + key.path, error);
        }
        for (const Value& value : key.values) {
            const std::string shown = value.name.empty() ? "@" : "\"" + value.name + "\"";
            if (value.remove) {
                error = Api().RegDeleteValueA(hKey, value.name.c_str());
                if (error == ERROR_FILE_NOT_FOUND) {
                    error = ERROR_SUCCESS;
                }
            } else {
                // NT's RegSetValueExA counts a terminator in when a string's last byte
                // is not a NUL and the byte after it is: that byte is never a NUL here.
                std::string bytes = value.data;
                bytes += '\xFF';
                error = Api().RegSetValueExA(hKey, value.name.c_str(), 0, value.type,
                                             reinterpret_cast<const BYTE*>(bytes.data()),
                                             static_cast<DWORD>(value.data.size()));
            }
            if (error != ERROR_SUCCESS) {
                Api().RegCloseKey(hKey);
                return fail(value.line, "cannot " + std::string(value.remove ? "delete " : "set ") + shown, error);
            }
        }
        Api().RegCloseKey(hKey);
    }
    if (transaction) {
        if (const LONG error = Api().QvtrRegTransaction(QVTR_REG_COMMIT)) {
            problem = {0, "cannot commit the import: " + CodeText(error), error};
            return error;
        }
    }
    return ERROR_SUCCESS;
}

LONG Export(HKEY root, const std::string& rootName, const std::string& subKey, std::string& text) {
    HKEY hKey = nullptr;
    const LONG error = Api().RegOpenKeyExA(root, subKey.c_str(), 0, KEY_READ, &hKey);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    text = std::string(kHeader5) + "\r\n\r\n";
    const LONG result = ExportKey(hKey, subKey.empty() ? rootName : rootName + "\\" + subKey, text);
    Api().RegCloseKey(hKey);
    return result;
}

std::string FormatValue(const std::string& name, DWORD type, const std::string& data) {
    std::string line = name.empty() ? "@=" : "\"" + Escape(name) + "\"=";
    if (type == REG_SZ && PrintableString(data)) {
        return line + "\"" + Escape(data.substr(0, data.size() - 1)) + "\"";
    }
    if (type == REG_DWORD && data.size() == 4) {
        DWORD number = 0;
        for (int i = 3; i >= 0; --i) {
            number = number << 8 | static_cast<unsigned char>(data[static_cast<size_t>(i)]);
        }
        char text[16];
        std::snprintf(text, sizeof text, "dword:%08x", static_cast<unsigned>(number));
        return line + text;
    }
    char prefix[24];
    if (type == REG_BINARY) {
        std::snprintf(prefix, sizeof prefix, "hex:");
    } else {
        std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(type));
    }
    const std::string bytes = IsTextType(type) ? Widen(data) : data;
    // regedit's wrapping: a line is cut after the byte that reaches column 77,
    // ending in a backslash, and goes on indented by two blanks.
    size_t column = line.size() + std::strlen(prefix);
    line += prefix;
    for (size_t i = 0; i < bytes.size(); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(bytes[i]));
        line += hex;
        if (i + 1 == bytes.size()) {
            break;
        }
        line += ',';
        column += 3;
        if (column >= 77) {
            line += "\\\r\n  ";
            column = 2;
        }
    }
    return line;
}

std::string TypeName(DWORD type) {
    static const char* const kNames[] = {"REG_NONE",
                                         "REG_SZ",
                                         "REG_EXPAND_SZ",
                                         "REG_BINARY",
                                         "REG_DWORD",
                                         "REG_DWORD_BIG_ENDIAN",
                                         "REG_LINK",
                                         "REG_MULTI_SZ",
                                         "REG_RESOURCE_LIST",
                                         "REG_FULL_RESOURCE_DESCRIPTOR",
                                         "REG_RESOURCE_REQUIREMENTS_LIST",
                                         "REG_QWORD"};
    if (type < sizeof kNames / sizeof kNames[0]) {
        return kNames[type];
    }
    char text[24];
    std::snprintf(text, sizeof text, "REG_0x%x", static_cast<unsigned>(type));
    return text;
}

}  // namespace regfile
