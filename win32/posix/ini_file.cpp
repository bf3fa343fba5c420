#include "win32/posix/ini_file.h"

#include <algorithm>
#include <cstring>

namespace posix::ini {

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

char Fold(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view TrimLeft(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) {
        ++i;
    }
    return text.substr(i);
}

bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

}  // namespace

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' || c == 0x1A;
}

std::string_view Trim(std::string_view text) {
    text = TrimLeft(text);
    size_t n = text.size();
    while (n > 0 && IsBlank(text[n - 1])) {
        --n;
    }
    return text.substr(0, n);
}

size_t FoldedHash::operator()(std::string_view text) const {
    uint64_t hash = 14695981039346656037ull;
    for (char c : text) {
        hash = (hash ^ static_cast<unsigned char>(Fold(c))) * 1099511628211ull;
    }
    return static_cast<size_t>(hash);
}

bool FoldedEqual::operator()(std::string_view a, std::string_view b) const {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (Fold(a[i]) != Fold(b[i])) {
            return false;
        }
    }
    return true;
}

// ---- parsing ------------------------------------------------------------------

IniFile::IniFile(std::string text) : m_text(std::move(text)) {
    if (m_text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        m_bodyStart = 3;
    }
    SplitLines();
    Parse();
}

// A line ends at CR, LF or CRLF; the exact bytes stay known so edits keep them.
void IniFile::SplitLines() {
    size_t pos = m_bodyStart;
    while (pos < m_text.size()) {
        const size_t end = m_text.find_first_of("\r\n", pos);
        if (end == std::string::npos) {
            m_lines.push_back({pos, m_text.size(), m_text.size()});
            break;
        }
        size_t next = end + 1;
        if (m_text[end] == '\r' && next < m_text.size() && m_text[next] == '\n') {
            ++next;
        }
        m_lines.push_back({pos, end, next});
        pos = next;
    }
}

void IniFile::Parse() {
    m_sections.push_back(Section{std::string_view(), kNone, 0, 0, {}, {}, {}});
    m_sectionIndex.emplace(std::string_view(), 0);
    for (size_t i = 0; i < m_lines.size(); ++i) {
        const Line& line = m_lines[i];
        const std::string_view content = Trim(std::string_view(m_text).substr(line.begin, line.end - line.begin));
        if (content.empty() || content[0] == ';') {
            continue;
        }
        const size_t close = content.rfind(']');
        if (content[0] == '[' && close != std::string_view::npos && close > 0) {
            m_sections.back().lastLine = i;
            const std::string_view name = Trim(content.substr(1, close - 1));
            m_sections.push_back(Section{name, i, i + 1, 0, {}, {}, {}});
            m_sectionIndex.emplace(name, m_sections.size() - 1);
            if (!name.empty()) {
                m_sectionNames.push_back(name);
            }
            continue;
        }
        AddEntry(m_sections.back(), content, i);
    }
    m_sections.back().lastLine = m_lines.size();
}

// "name = value"; a line without "=" holds nothing.
void IniFile::AddEntry(Section& section, std::string_view content, size_t line) {
    const size_t equals = content.find('=');
    if (equals == std::string_view::npos) {
        return;
    }
    const std::string_view name = Trim(content.substr(0, equals));
    const std::string_view value = TrimLeft(content.substr(equals + 1));
    section.entries.push_back(Entry{name, value, line});
    section.index.emplace(name, section.entries.size() - 1);
    if (!name.empty()) {
        section.keyNames.push_back(name);
    }
}

const IniFile::Section* IniFile::FindSection(std::string_view name) const {
    const auto it = m_sectionIndex.find(Trim(name));
    return it == m_sectionIndex.end() ? nullptr : &m_sections[it->second];
}

const std::string_view* IniFile::Find(std::string_view section, std::string_view key) const {
    const Section* found = FindSection(section);
    if (found == nullptr) {
        return nullptr;
    }
    const auto it = found->index.find(Trim(key));
    return it == found->index.end() ? nullptr : &found->entries[it->second].value;
}

const std::vector<std::string_view>* IniFile::KeyNames(std::string_view section) const {
    const Section* found = FindSection(section);
    return found ? &found->keyNames : nullptr;
}

// ---- edits --------------------------------------------------------------------

// New lines end like the file's first line; a new file gets the platform's LF.
std::string_view IniFile::LineEnd() const {
    for (const Line& line : m_lines) {
        if (line.next > line.end) {
            return std::string_view(m_text).substr(line.end, line.next - line.end);
        }
    }
    return "\n";
}

// A new key goes after the section's last non-blank line, so blank lines that
// separate it from the next section stay where they are. kNone: at the very top.
size_t IniFile::InsertionPoint(const Section& section) const {
    for (size_t i = section.lastLine; i > section.firstLine; --i) {
        const Line& line = m_lines[i - 1];
        if (!Trim(std::string_view(m_text).substr(line.begin, line.end - line.begin)).empty()) {
            return i - 1;
        }
    }
    return section.header;
}

std::string IniFile::WithValue(std::string_view section, std::string_view key, std::string_view value) const {
    section = Trim(section);
    key = Trim(key);
    value = TrimLeft(value);
    std::string text = m_text;
    const Section* found = FindSection(section);
    const std::string_view eol = LineEnd();
    if (found == nullptr) {
        if (!text.empty() && text.back() != '\n' && text.back() != '\r') {
            text.append(eol);
        }
        text.append("[").append(section).append("]").append(eol);
        text.append(key).append("=").append(value).append(eol);
        return text;
    }
    const auto it = found->index.find(key);
    if (it != found->index.end()) {
        const Entry& entry = found->entries[it->second];
        if (entry.value == value) {
            return text;
        }
        const size_t begin = static_cast<size_t>(entry.value.data() - m_text.data());
        text.replace(begin, m_lines[entry.line].end - begin, value);
        return text;
    }
    const std::string line = std::string(key) + "=" + std::string(value);
    const size_t after = InsertionPoint(*found);
    if (after == kNone) {
        text.insert(m_bodyStart, line + std::string(eol));
    } else if (m_lines[after].next > m_lines[after].end) {
        const Line& previous = m_lines[after];
        text.insert(previous.next, line + m_text.substr(previous.end, previous.next - previous.end));
    } else {
        text.insert(m_lines[after].next, std::string(eol) + line);  // the file ends without a line end
    }
    return text;
}

std::string IniFile::WithoutKey(std::string_view section, std::string_view key) const {
    const Section* found = FindSection(section);
    if (found == nullptr) {
        return m_text;
    }
    const auto it = found->index.find(Trim(key));
    if (it == found->index.end()) {
        return m_text;
    }
    const Line& line = m_lines[found->entries[it->second].line];
    std::string text = m_text;
    text.erase(line.begin, line.next - line.begin);
    return text;
}

std::string IniFile::WithoutSection(std::string_view section) const {
    const Section* found = FindSection(section);
    if (found == nullptr) {
        return m_text;
    }
    const size_t begin = found->header == kNone ? m_bodyStart : m_lines[found->header].begin;
    const size_t end = found->lastLine < m_lines.size() ? m_lines[found->lastLine].begin : m_text.size();
    std::string text = m_text;
    text.erase(begin, end - begin);
    return text;
}

// ---- answers ------------------------------------------------------------------

std::string_view EffectiveDefault(const char* defaultText) {
    if (defaultText == nullptr) {
        return std::string_view();
    }
    std::string_view text(defaultText);
    // Trailing spaces go, but never the first character (Windows keeps " " of "   ").
    while (text.size() > 1 && text.back() == ' ') {
        text.remove_suffix(1);
    }
    return text;
}

DWORD CopyValue(std::string_view value, char* buffer, DWORD size) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    if (value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    const size_t n = std::min<size_t>(value.size(), size - 1);
    value.copy(buffer, n);
    buffer[n] = '\0';
    return static_cast<DWORD>(n);
}

namespace {

// Names one after the other, each with its terminator, and a second terminator
// at the end. A cut list ends in a cut name and two terminators.
DWORD CopyNames(const std::vector<std::string_view>& names, char* buffer, DWORD size) {
    if (size < 2) {
        buffer[0] = '\0';
        return 0;
    }
    size_t pos = 0;
    size_t room = size;
    for (std::string_view name : names) {
        if (room <= 2) {
            break;
        }
        const size_t n = std::min(name.size(), room - 2);
        name.copy(buffer + pos, n);
        buffer[pos + n] = '\0';
        pos += n + 1;
        room -= n + 1;
        if (room < 2) {
            break;
        }
    }
    buffer[pos] = '\0';
    if (room <= 1) {
        return size - 2;
    }
    if (pos + 1 < size) {
        buffer[pos + 1] = '\0';
    }
    return static_cast<DWORD>(pos);
}

}  // namespace

DWORD ReadString(const IniFile* file, const char* section, const char* key, std::string_view defaultText, char* buffer,
                 DWORD size) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    static const std::vector<std::string_view> kNoNames;
    if (section == nullptr) {
        return CopyNames(file ? file->SectionNames() : kNoNames, buffer, size);
    }
    if (key != nullptr) {
        const std::string_view* value = file ? file->Find(section, key) : nullptr;
        return CopyValue(value ? *value : defaultText, buffer, size);
    }
    const std::vector<std::string_view>* names = file ? file->KeyNames(section) : nullptr;
    const DWORD count = CopyNames(names ? *names : kNoNames, buffer, size);
    // No keys at all (or no room for one): the default stands in, as a value.
    return buffer[0] == '\0' ? CopyValue(defaultText, buffer, size) : count;
}

UINT ParseInt(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') {
        ++i;
    }
    bool minus = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        minus = text[i] == '-';
        ++i;
    }
    uint32_t base = 10;
    if (text.size() - i >= 2 && text[i] == '0') {
        const char prefix = text[i + 1];
        base = prefix == 'x' ? 16 : prefix == 'o' ? 8 : prefix == 'b' ? 2 : 10;
        if (base != 10) {
            i += 2;
        }
    }
    uint32_t total = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        const uint32_t digit = (c >= '0' && c <= '9')   ? static_cast<uint32_t>(c - '0')
                               : (c >= 'a' && c <= 'z') ? static_cast<uint32_t>(c - 'a' + 10)
                               : (c >= 'A' && c <= 'Z') ? static_cast<uint32_t>(c - 'A' + 10)
                                                        : 99;
        if (digit >= base) {
            break;
        }
        total = total * base + digit;
    }
    return minus ? 0u - total : total;
}

bool IsWritableSection(std::string_view name) {
    return name.find_first_of("\r\n") == std::string_view::npos;
}

bool IsWritableKey(std::string_view name) {
    const std::string_view trimmed = Trim(name);
    return name.find_first_of("\r\n=") == std::string_view::npos &&
           (trimmed.empty() || (trimmed[0] != ';' && trimmed[0] != '['));
}

bool IsWritableValue(std::string_view value) {
    return value.find_first_of("\r\n") == std::string_view::npos;
}

}  // namespace posix::ini
