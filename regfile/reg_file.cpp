// regedit's text format: parser, writer, import and export through Api().
#include "regfile/reg_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "win32/api.h"

namespace regfile {

namespace {

using Text = std::u16string;

const char* const kHeader5 = "Windows Registry Editor Version 5.00";

// ---- text through the ANSI code page ---------------------------------------------

bool ToWide(const char* bytes, size_t size, Text& out) {
    out.clear();
    if (size == 0) {
        return true;
    }
    const int length =
        Api().MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(size), nullptr, 0);
    if (length <= 0) {
        return false;
    }
    out.resize(static_cast<size_t>(length));
    // WCHAR is char16_t off Windows and wchar_t there: both UTF-16 units.
    return Api().MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(size),
                                     reinterpret_cast<LPWSTR>(&out[0]), length) == length;
}

// False for text the ANSI code page cannot hold; the platform's substitute is
// stored all the same, so the caller names the line.
bool ToAnsi(const char16_t* units, size_t size, std::string& out) {
    const LPCWSTR text = reinterpret_cast<LPCWSTR>(units);
    out.clear();
    if (size == 0) {
        return true;
    }
    BOOL lossy = FALSE;
    BOOL* flag = &lossy;
    int length = Api().WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(size), nullptr, 0, nullptr, flag);
    if (length <= 0) {
        // A UTF-8 ANSI code page takes no substitution flag: nothing is lost there.
        flag = nullptr;
        length = Api().WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
    }
    if (length <= 0) {
        return false;
    }
    out.resize(static_cast<size_t>(length));
    Api().WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(size), &out[0], length, nullptr, flag);
    return !lossy;
}

bool UnpairedSurrogate(const Text& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return true;
        }
    }
    return false;
}

// A name for a message, cut to a readable length.
std::string Cut(const std::string& name) {
    const size_t kLength = 100;
    return name.size() <= kLength ? name : name.substr(0, kLength) + "...";
}

// ---- reading lines ----------------------------------------------------------------

// A file's lines as UTF-16, one at a time. CR LF, LF and a lone CR end a line.
class CLineReader {
public:
    CLineReader(const std::string& bytes, bool wide) : m_bytes(bytes), m_at(wide ? 2 : 0), m_wide(wide) {
        if (!wide && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            m_at = 3;
        }
    }

    // False at the end of the file, or with `bad` set for a line that is not text.
    bool Next(Text& line, bool& bad) {
        bad = false;
        if (m_at >= m_bytes.size()) {
            return false;
        }
        ++m_number;
        return m_wide ? NextWide(line, bad) : NextAnsi(line, bad);
    }

    int Number() const { return m_number; }

private:
    char16_t Unit(size_t at) const {
        return static_cast<char16_t>(static_cast<unsigned char>(m_bytes[at]) |
                                     static_cast<unsigned char>(m_bytes[at + 1]) << 8);
    }

    bool NextWide(Text& line, bool& bad) {
        line.clear();
        while (m_at + 1 < m_bytes.size()) {
            const char16_t c = Unit(m_at);
            m_at += 2;
            if (c == u'\n' || c == u'\r') {
                if (c == u'\r' && m_at + 1 < m_bytes.size() && Unit(m_at) == u'\n') {
                    m_at += 2;
                }
                break;
            }
            line += c;
        }
        bad = UnpairedSurrogate(line);
        return true;
    }

    bool NextAnsi(Text& line, bool& bad) {
        const size_t start = m_at;
        size_t end = start;
        while (end < m_bytes.size() && m_bytes[end] != '\n' && m_bytes[end] != '\r') {
            ++end;
        }
        m_at = end + 1;
        if (end < m_bytes.size() && m_bytes[end] == '\r' && m_at < m_bytes.size() && m_bytes[m_at] == '\n') {
            ++m_at;
        }
        // A NUL byte ends the line's text, as it ends a C string.
        const void* nul = std::memchr(m_bytes.data() + start, '\0', end - start);
        if (nul != nullptr) {
            end = static_cast<size_t>(static_cast<const char*>(nul) - m_bytes.data());
        }
        bad = !ToWide(m_bytes.data() + start, end - start, line);
        return true;
    }

    const std::string& m_bytes;
    size_t m_at;
    bool m_wide;
    int m_number = 0;
};

// ---- parsing ----------------------------------------------------------------------

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

size_t SkipBlanks(const Text& text, size_t at) {
    while (at < text.size() && IsBlank(text[at])) {
        ++at;
    }
    return at;
}

// Blanks, then the end of the line or a ; comment.
bool OnlyTrailing(const Text& text, size_t at) {
    at = SkipBlanks(text, at);
    return at == text.size() || text[at] == u';';
}

bool StartsWith(const Text& text, size_t at, const char* prefix) {
    const size_t length = std::strlen(prefix);
    if (text.size() - std::min(at, text.size()) < length) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (text[at + i] != static_cast<char16_t>(prefix[i])) {
            return false;
        }
    }
    return true;
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    return -1;
}

bool IsTextType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// A quoted string starting after its opening quote; `at` ends after the closing one.
// \\ \" \n \r are escapes, another escaped character stands for itself; \0 and a
// missing closing quote fail, as they make reg.exe drop the line.
bool ParseQuoted(const Text& text, size_t& at, Text& out, std::string& reason) {
    out.clear();
    for (; at < text.size(); ++at) {
        char16_t c = text[at];
        if (c == u'"') {
            ++at;
            return true;
        }
        if (c == u'\\' && at + 1 < text.size()) {
            c = text[++at];
            if (c == u'0') {
                reason = "\\0 in a quoted string";
                return false;
            }
            c = c == u'n' ? u'\n' : c == u'r' ? u'\r' : c;
        }
        out += c;
    }
    reason = "the closing quote is missing";
    return false;
}

// One byte as reg.exe reads it: blanks, an optional sign and 0x, hex digits, at most FF.
bool ParseByte(const Text& text, size_t& at, unsigned char& out) {
    at = SkipBlanks(text, at);
    bool negative = false;
    if (at < text.size() && (text[at] == u'+' || text[at] == u'-')) {
        negative = text[at++] == u'-';
    }
    if (at + 1 < text.size() && text[at] == u'0' && (text[at + 1] == u'x' || text[at + 1] == u'X') &&
        at + 2 < text.size() && HexDigit(text[at + 2]) >= 0) {
        at += 2;
    }
    unsigned long value = 0;
    size_t digits = 0;
    for (; at < text.size() && HexDigit(text[at]) >= 0; ++at, ++digits) {
        value = std::min<unsigned long>(value * 16 + static_cast<unsigned long>(HexDigit(text[at])), 0x1000);
    }
    if (digits == 0 || value > 0xFF || (negative && value != 0)) {
        return false;
    }
    out = static_cast<unsigned char>(value);
    return true;
}

enum class HexEnd { Done, Continue, Bad };

// Comma-separated bytes from `at`, appended to `out`; Continue when the line
// ends in a backslash.
HexEnd ParseHexChunk(const Text& text, size_t at, bool continued, std::string& out) {
    auto afterComma = [&](size_t pos) {
        pos = SkipBlanks(text, pos);
        if (pos < text.size() && text[pos] == u'\\') {
            return OnlyTrailing(text, pos + 1) ? HexEnd::Continue : HexEnd::Bad;
        }
        return OnlyTrailing(text, pos) ? HexEnd::Done : HexEnd::Bad;
    };
    // Only the first line may hold no byte; a continued one must go on with one.
    const HexEnd empty = continued ? HexEnd::Bad : afterComma(at);
    if (empty != HexEnd::Bad) {
        return empty;
    }
    for (;;) {
        unsigned char byte = 0;
        if (!ParseByte(text, at, byte)) {
            return HexEnd::Bad;
        }
        out += static_cast<char>(byte);
        if (at < text.size() && text[at] == u',') {
            const HexEnd end = afterComma(++at);
            if (end != HexEnd::Bad) {
                return end;
            }
            continue;
        }
        return OnlyTrailing(text, at) ? HexEnd::Done : HexEnd::Bad;
    }
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

// Deeper trees than this are refused by Windows itself.
constexpr size_t kMaxLevels = 512;

class CParser {
public:
    CParser(Document& document) : m_document(document) {}

    // One line of the body (after the header).
    void Line(const Text& line, int number) {
        if (m_pending) {
            Continuation(line, number);
            return;
        }
        if (m_win31) {
            Win31Line(line, number);
            return;
        }
        const size_t at = SkipBlanks(line, 0);
        if (at == line.size() || line[at] == u';' || line[at] == u'#') {
            return;
        }
        if (line[at] == u'[') {
            KeyLine(line, at + 1, number);
        } else if (line[at] == u'@' || line[at] == u'"') {
            ValueLine(line, at, number);
        } else {
            Skip(number, "not a [KEY], a value or a comment");
        }
    }

    // The file ended: a value continued past the last line keeps what was read.
    void End() {
        if (m_pending) {
            Skip(m_pendingLine, "the file ends after a continued line: the bytes read so far are stored");
            FinishHex(m_pendingLine);
        }
    }

    bool m_win31 = false;

private:
    void Skip(int number, const std::string& reason) { m_document.skipped.push_back({number, reason}); }

    bool Convert(const Text& text, std::string& out, int number) {
        if (!ToAnsi(text.data(), text.size(), out)) {
            Skip(number, "text the ANSI code page cannot hold was stored with substitutes");
        }
        return true;
    }

    Key* Current() { return m_open ? &m_document.keys.back() : nullptr; }

    void OpenKey(const Text& name, bool remove, int number) {
        m_open = false;
        std::string path;
        Convert(name, path, number);
        HKEY root = nullptr;
        std::string rootName;
        std::string subKey;
        if (!SplitRoot(path, root, rootName, subKey)) {
            Skip(number, "unknown root key in [" + Cut(path) + "]");
            return;
        }
        if (static_cast<size_t>(std::count(path.begin(), path.end(), '\\')) > kMaxLevels) {
            Skip(number, "the key is more than 512 levels deep");
            return;
        }
        Key key;
        key.path = path;
        key.remove = remove;
        key.line = number;
        m_document.keys.push_back(std::move(key));
        m_open = !remove;
    }

    void KeyLine(const Text& line, size_t at, int number) {
        const size_t close = line.rfind(u']');
        if (at >= line.size() || IsBlank(line[at]) || close == Text::npos || close < at) {
            Skip(number, "a key line must be [KEY] or [-KEY]");
            return;
        }
        const bool remove = line[at] == u'-';
        OpenKey(line.substr(at + remove, close - at - remove), remove, number);
    }

    void ValueLine(const Text& line, size_t at, int number) {
        Value value;
        value.line = number;
        Text text;
        std::string reason;
        if (line[at] == u'@') {
            ++at;
        } else if (!ParseQuoted(line, ++at, text, reason)) {
            Skip(number, "value name: " + reason);
            return;
        }
        at = SkipBlanks(line, at);
        if (at >= line.size() || line[at] != u'=') {
            Skip(number, "expected '=' after the value name");
            return;
        }
        if (Current() == nullptr) {
            Skip(number, "a value outside a key");
            return;
        }
        Convert(text, value.name, number);
        at = SkipBlanks(line, at + 1);
        if (at < line.size() && line[at] == u'-') {
            if (!OnlyTrailing(line, at + 1)) {
                Skip(number, "unexpected text after '-'");
                return;
            }
            value.remove = true;
            Current()->values.push_back(std::move(value));
            return;
        }
        ValueData(line, at, value);
    }

    // What follows "name"=: a string, dword:, hex: or hex(N):.
    void ValueData(const Text& line, size_t at, Value& value) {
        const int number = value.line;
        Text text;
        std::string reason;
        if (at < line.size() && line[at] == u'"') {
            if (!ParseQuoted(line, ++at, text, reason)) {
                Skip(number, reason);
                return;
            }
            if (!OnlyTrailing(line, at)) {
                Skip(number, "unexpected text after the closing quote");
                return;
            }
            value.type = REG_SZ;
            Convert(text, value.data, number);
            value.data += '\0';
            Current()->values.push_back(std::move(value));
            return;
        }
        if (StartsWith(line, at, "dword:")) {
            DwordData(line, at + 6, value);
            return;
        }
        if (StartsWith(line, at, "hex:")) {
            value.type = REG_BINARY;
            at += 4;
        } else if (StartsWith(line, at, "hex(")) {
            at += 4;
            size_t digits = 0;
            DWORD type = 0;
            for (; at < line.size() && HexDigit(line[at]) >= 0 && digits < 8; ++at, ++digits) {
                type = type << 4 | static_cast<DWORD>(HexDigit(line[at]));
            }
            if (digits == 0 || !StartsWith(line, at, "):")) {
                Skip(number, "hex(N): needs a hexadecimal type number");
                return;
            }
            value.type = type;
            at += 2;
        } else {
            Skip(number, "expected \"string\", dword:, hex:, hex(N): or -");
            return;
        }
        m_pendingValue = std::move(value);
        m_pendingBytes.clear();
        m_pendingLine = number;
        HexLine(line, at, number);
    }

    void DwordData(const Text& line, size_t at, Value& value) {
        at = SkipBlanks(line, at);
        DWORD number = 0;
        size_t digits = 0;
        for (; at < line.size() && HexDigit(line[at]) >= 0; ++at, ++digits) {
            number = number << 4 | static_cast<DWORD>(HexDigit(line[at]));
        }
        if (digits == 0 || digits > 8 || !OnlyTrailing(line, at)) {
            Skip(value.line, "dword: needs 1 to 8 hexadecimal digits");
            return;
        }
        value.type = REG_DWORD;
        for (int i = 0; i < 4; ++i) {
            value.data += static_cast<char>(number >> (8 * i) & 0xFF);
        }
        Current()->values.push_back(std::move(value));
    }

    void HexLine(const Text& line, size_t at, int number) {
        switch (ParseHexChunk(line, at, number != m_pendingLine, m_pendingBytes)) {
            case HexEnd::Continue:
                m_pending = true;
                break;
            case HexEnd::Done:
                m_pending = false;
                FinishHex(number);
                break;
            case HexEnd::Bad:
                m_pending = false;
                Skip(number, m_pendingLine == number ? "malformed hexadecimal data"
                                                     : "malformed hexadecimal data continuing the value of line " +
                                                           std::to_string(m_pendingLine));
                break;
        }
    }

    void Continuation(const Text& line, int number) {
        const size_t at = SkipBlanks(line, 0);
        if (at == line.size() || line[at] == u';') {
            return;  // blank and comment lines between continued lines are passed over
        }
        HexLine(line, at, number);
    }

    void FinishHex(int number) {
        m_pending = false;
        Value& value = m_pendingValue;
        std::string& bytes = m_pendingBytes;
        // Text without its terminator gets one; no data at all stays an empty value.
        const bool terminate = (value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ) && !bytes.empty();
        if (m_document.version5 && IsTextType(value.type)) {
            if (bytes.size() % 2 != 0) {
                Skip(value.line, "UTF-16 text data with an odd number of bytes");
                return;
            }
            Text text(bytes.size() / 2, u'\0');
            for (size_t i = 0; i < text.size(); ++i) {
                text[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                                static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
            }
            if (UnpairedSurrogate(text)) {
                Skip(value.line, "UTF-16 text data with an unpaired surrogate");
                return;
            }
            if (terminate && (text.empty() || text.back() != u'\0')) {
                text += u'\0';
            }
            Convert(text, value.data, number);
        } else {
            value.data = std::move(bytes);
            if (terminate && (value.data.empty() || value.data.back() != '\0')) {
                value.data += '\0';
            }
        }
        if (Current() != nullptr) {
            Current()->values.push_back(std::move(value));
        }
    }

    // "HKEY_CLASSES_ROOT\path = text" sets the default value of that key.
    void Win31Line(const Text& line, int number) {
        if (!StartsWith(line, 0, "HKEY_CLASSES_ROOT")) {
            if (SkipBlanks(line, 0) != line.size()) {
                Skip(number, "not a HKEY_CLASSES_ROOT line");
            }
            return;
        }
        static const Text kSeparator = u" = ";
        const size_t separator = line.find(kSeparator);
        OpenKey(line.substr(0, separator), false, number);
        if (Current() == nullptr) {
            return;
        }
        Value value;
        value.type = REG_SZ;
        value.line = number;
        if (separator != Text::npos) {
            Convert(line.substr(separator + kSeparator.size()), value.data, number);
        }
        value.data += '\0';
        Current()->values.push_back(std::move(value));
        m_open = false;
    }

    Document& m_document;
    bool m_open = false;
    bool m_pending = false;
    Value m_pendingValue;
    std::string m_pendingBytes;
    int m_pendingLine = 0;
};

std::string TrimmedAnsi(const Text& line) {
    std::string out;
    for (size_t i = SkipBlanks(line, 0); i < line.size() && out.size() < 40; ++i) {
        out += line[i] < 0x80 ? static_cast<char>(line[i]) : '?';
    }
    return out;
}

// ---- export -----------------------------------------------------------------------

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

// "the system's text (error N)", from the messages the platform has.
std::string CodeText(LONG code) {
    char text[256] = "";
    const DWORD length = Api().FormatMessageA
                             ? Api().FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                                    static_cast<DWORD>(code), 0, text, sizeof text, nullptr)
                             : 0;
    std::string message(text, std::min<size_t>(length, sizeof text - 1));
    while (!message.empty() &&
           (message.back() == '\n' || message.back() == '\r' || message.back() == '.' || message.back() == ' ')) {
        message.pop_back();
    }
    const std::string number = "error " + std::to_string(code);
    return message.empty() ? number : message + " (" + number + ")";
}

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

// A name for a message: its line breaks shown as \r and \n.
std::string Shown(const std::string& name) {
    std::string out;
    for (char c : name) {
        out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
    }
    return out;
}

// The bytes of a value as the 5.00 format holds them: text types in UTF-16LE.
bool StoredBytes(DWORD type, const std::string& data, std::string& out) {
    if (!IsTextType(type)) {
        out = data;
        return true;
    }
    Text wide;
    if (!ToWide(data.data(), data.size(), wide)) {
        return false;
    }
    out.clear();
    out.reserve(wide.size() * 2);
    for (char16_t c : wide) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    return true;
}

std::string HexLines(std::string line, const char* prefix, const std::string& bytes) {
    // reg.exe's wrapping: a line is cut after the byte that reaches column 77,
    // ending in a backslash, and goes on indented by two blanks.
    size_t column = line.size() + std::strlen(prefix);
    line += prefix;
    line.reserve(line.size() + bytes.size() * 3 + bytes.size() / 12);
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(bytes[i]);
        line += kDigits[byte >> 4];
        line += kDigits[byte & 0x0F];
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

// One value's lines; false for text that the ANSI code page cannot convert.
bool FormatChecked(const std::string& name, DWORD type, const std::string& data, std::string& out) {
    const std::string line = name.empty() ? "@=" : "\"" + Escape(name) + "\"=";
    // A string that cannot carry a line break through the parser goes as hex(1).
    if (type == REG_SZ && !HasLineBreak(data.substr(0, data.find('\0')))) {
        out = line + "\"" + Escape(data.substr(0, data.find('\0'))) + "\"";
        return true;
    }
    if (type == REG_DWORD && data.size() == 4) {
        DWORD number = 0;
        for (int i = 3; i >= 0; --i) {
            number = number << 8 | static_cast<unsigned char>(data[static_cast<size_t>(i)]);
        }
        char text[16];
        std::snprintf(text, sizeof text, "dword:%08x", static_cast<unsigned>(number));
        out = line + text;
        return true;
    }
    char prefix[24];
    if (type == REG_BINARY) {
        std::snprintf(prefix, sizeof prefix, "hex:");
    } else {
        std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(type));
    }
    std::string bytes;
    if (!StoredBytes(type, data, bytes)) {
        return false;
    }
    out = HexLines(line, prefix, bytes);
    return true;
}

struct ExportState {
    std::string text;
    std::string problem;
};

bool CaseBlindLess(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) < std::toupper(static_cast<unsigned char>(y));
    });
}

LONG ExportKey(KeyVisit& key, ExportState& state) {
    if (HasLineBreak(key.path)) {
        state.problem = "the key name " + Shown(key.path) + " holds a line break, which a .reg file cannot carry";
        return ERROR_INVALID_DATA;
    }
    state.text += "[" + key.path + "]\r\n";
    std::vector<NamedValue> values;
    if (const LONG error = ReadValues(key.hKey, values)) {
        return error;
    }
    std::string lines;
    for (const NamedValue& value : values) {
        if (HasLineBreak(value.name)) {
            state.problem = "the value name \"" + Shown(value.name) + "\" in " + key.path +
                            " holds a line break, which a .reg file cannot carry";
            return ERROR_INVALID_DATA;
        }
        if (!FormatChecked(value.name, value.type, value.data, lines)) {
            state.problem = "the value \"" + Escape(value.name) + "\" in " + key.path +
                            " holds text that is not valid in the ANSI code page";
            return ERROR_INVALID_DATA;
        }
        state.text += lines + "\r\n";
    }
    state.text += "\r\n";
    // reg.exe writes sub-keys in the order of their names, case ignored.
    std::stable_sort(key.subKeys.begin(), key.subKeys.end(), CaseBlindLess);
    return ERROR_SUCCESS;
}

}  // namespace

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

bool Parse(const std::string& bytes, Document& document, Problem& problem) {
    document = Document();
    const bool wide = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                      static_cast<unsigned char>(bytes[1]) == 0xFE;
    if (wide && bytes.size() % 2 != 0) {
        problem = {0, "the UTF-16 text ends in the middle of a character; not a registry file"};
        return false;
    }
    if (!wide && bytes.size() >= 2 && (bytes[0] == '\0' || bytes[1] == '\0')) {
        problem = {1, "UTF-16 text without a byte-order mark; not a registry file"};
        return false;
    }
    CLineReader reader(bytes, wide);
    Text line;
    bool bad = false;
    const bool any = reader.Next(line, bad);
    auto notText = [&]() {
        problem = {reader.Number(), wide ? "an unpaired UTF-16 surrogate; not a registry file"
                                         : "bytes that are not text in the ANSI code page; not a registry file"};
        return false;
    };
    if (any && bad) {
        return notText();
    }
    const size_t at = SkipBlanks(line, 0);
    CParser parser(document);
    if (any && line.compare(at, Text::npos, u"REGEDIT") == 0) {
        parser.m_win31 = true;
        document.version5 = false;
    } else if (any && line.compare(at, Text::npos, u"REGEDIT4") == 0) {
        document.version5 = false;
    } else if (any && StartsWith(line, at, "REGEDIT")) {
        document.skipped.push_back({1, "reg.exe imports nothing from a file with the header " + TrimmedAnsi(line)});
        return true;
    } else if (!any || line.compare(at, Text::npos, u"Windows Registry Editor Version 5.00") != 0) {
        problem = {1, "not a registry file: the first line must be \"" + std::string(kHeader5) + "\" or \"REGEDIT4\""};
        return false;
    }
    while (reader.Next(line, bad)) {
        if (bad) {
            document = Document();
            return notText();
        }
        parser.Line(line, reader.Number());
    }
    parser.End();
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

LONG Apply(const Document& document, Problem& problem) {
    std::vector<Problem> skipped;
    const LONG error = Apply(document, true, skipped);
    problem = skipped.empty() ? Problem() : skipped.front();
    return error;
}

namespace {

// One value of a [key] block: "name"=- deletes it (gone already is fine), else it is set.
LONG ApplyValue(HKEY hKey, const Value& value) {
    if (value.remove) {
        const LONG error = Api().RegDeleteValueA(hKey, value.name.c_str());
        return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
    }
    // NT's RegSetValueExA counts a terminator in when a string's last byte
    // is not a NUL and the byte after it is: that byte is never a NUL here.
    std::string bytes = value.data;
    bytes += '\xFF';
    return Api().RegSetValueExA(hKey, value.name.c_str(), 0, value.type, reinterpret_cast<const BYTE*>(bytes.data()),
                                static_cast<DWORD>(value.data.size()));
}

}  // namespace

LONG Apply(const Document& document, bool strict, std::vector<Problem>& skipped) {
    const bool transaction = Api().QvtrRegTransaction != nullptr;
    if (transaction) {
        if (const LONG error = Api().QvtrRegTransaction(QVTR_REG_BEGIN)) {
            skipped.push_back({0, "cannot start the import: " + CodeText(error), error});
            return error;
        }
    }
    // Reports a key or value the registry refused; under `strict` it ends the import.
    auto refused = [&](int line, const std::string& what, LONG error) {
        skipped.push_back({line, what + ": " + CodeText(error), error});
        if (strict && transaction) {
            Api().QvtrRegTransaction(QVTR_REG_ROLLBACK);
        }
        return strict;
    };
    for (const Key& key : document.keys) {
        HKEY root = nullptr;
        std::string rootName;
        std::string subKey;
        if (!SplitRoot(key.path, root, rootName, subKey)) {
            if (refused(key.line, "unknown root key in [" + Cut(key.path) + "]", ERROR_INVALID_PARAMETER)) {
                return ERROR_INVALID_PARAMETER;
            }
            continue;
        }
        if (key.remove) {
            const LONG error = DeleteTree(root, subKey);
            if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND &&
                refused(key.line, "cannot delete " + Cut(key.path), error)) {
                return error;
            }
            continue;
        }
        HKEY hKey = nullptr;
        LONG error =
            Api().RegCreateKeyExA(root, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr);
        if (error != ERROR_SUCCESS) {
            if (refused(key.line, "cannot create " + Cut(key.path), error)) {
                return error;
            }
            continue;
        }
        for (const Value& value : key.values) {
            const std::string shown = value.name.empty() ? "@" : "\"" + Cut(value.name) + "\"";
            error = ApplyValue(hKey, value);
            if (error != ERROR_SUCCESS &&
                refused(value.line, "cannot " + std::string(value.remove ? "delete " : "set ") + shown, error)) {
                Api().RegCloseKey(hKey);
                return error;
            }
        }
        Api().RegCloseKey(hKey);
    }
    const LONG error = transaction ? Api().QvtrRegTransaction(QVTR_REG_COMMIT) : ERROR_SUCCESS;
    if (error != ERROR_SUCCESS) {
        skipped.push_back({0, "cannot commit the import: " + CodeText(error), error});
    }
    return error;
}

LONG Export(HKEY root, const std::string& rootName, const std::string& subKey, std::string& bytes,
            std::string& problem) {
    HKEY hKey = nullptr;
    LONG error = Api().RegOpenKeyExA(root, subKey.c_str(), 0, KEY_READ, &hKey);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    ExportState state;
    state.text = std::string(kHeader5) + "\r\n\r\n";
    error = Walk(hKey, subKey.empty() ? rootName : rootName + "\\" + subKey, true, OnError::kStop,
                 [&](KeyVisit& key) { return ExportKey(key, state); });
    Api().RegCloseKey(hKey);
    problem = state.problem;
    if (error != ERROR_SUCCESS) {
        return error;
    }
    Text wide;
    if (!ToWide(state.text.data(), state.text.size(), wide)) {
        problem = "a key name under " + rootName + "\\" + subKey + " is not valid in the ANSI code page";
        return ERROR_INVALID_DATA;
    }
    bytes.assign("\xFF\xFE");
    bytes.reserve(2 + wide.size() * 2);
    for (char16_t c : wide) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    return ERROR_SUCCESS;
}

LONG Export(HKEY root, const std::string& rootName, const std::string& subKey, std::string& bytes) {
    std::string problem;
    return Export(root, rootName, subKey, bytes, problem);
}

std::string FormatValue(const std::string& name, DWORD type, const std::string& data) {
    std::string out;
    if (!FormatChecked(name, type, data, out)) {
        FormatChecked(name, REG_BINARY, data, out);
    }
    return out;
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
