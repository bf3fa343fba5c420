// The INI text behind the profile functions: a parsed, immutable view of one
// file, the answers GetPrivateProfileStringA/IntA give from it, and edits that
// rewrite only the lines they touch. No I/O here, so the fuzzer can drive it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "win32/win32.h"

namespace posix::ini {

// The blanks that surround names and values (0x1A is the old end-of-file mark).
bool IsBlank(char c);
std::string_view Trim(std::string_view text);

struct FoldedHash {
    size_t operator()(std::string_view text) const;
};
struct FoldedEqual {
    bool operator()(std::string_view a, std::string_view b) const;
};
template <class T>
using FoldedMap = std::unordered_map<std::string_view, T, FoldedHash, FoldedEqual>;

class IniFile {
public:
    explicit IniFile(std::string text);
    // Names and values point into the text: the object stays where it was made.
    IniFile(const IniFile&) = delete;
    IniFile& operator=(const IniFile&) = delete;

    const std::string& Text() const { return m_text; }

    // The raw value of the first such key in the first such section, or null.
    const std::string_view* Find(std::string_view section, std::string_view key) const;
    // Section names in file order (the lines before the first header have none).
    const std::vector<std::string_view>& SectionNames() const { return m_sectionNames; }
    // Key names of the first such section in file order, or null when it is missing.
    const std::vector<std::string_view>* KeyNames(std::string_view section) const;

    // The whole text after one change; equal to Text() when nothing changes.
    std::string WithValue(std::string_view section, std::string_view key, std::string_view value) const;
    std::string WithoutKey(std::string_view section, std::string_view key) const;
    std::string WithoutSection(std::string_view section) const;

private:
    struct Line {
        size_t begin;  // first byte
        size_t end;    // end of the content, before the line end
        size_t next;   // first byte of the following line
    };
    struct Entry {
        std::string_view name;
        std::string_view value;
        size_t line;
    };
    struct Section {
        std::string_view name;
        size_t header;     // line of the header; npos for the lines before the first header
        size_t firstLine;  // first line after the header
        size_t lastLine;   // one past the section's last line
        std::vector<Entry> entries;
        std::vector<std::string_view> keyNames;
        FoldedMap<size_t> index;  // first entry of each name
    };

    void SplitLines();
    void Parse();
    void AddEntry(Section& section, std::string_view content, size_t line);
    const Section* FindSection(std::string_view name) const;
    std::string_view LineEnd() const;
    size_t InsertionPoint(const Section& section) const;

    std::string m_text;
    size_t m_bodyStart = 0;  // after a UTF-8 byte-order mark
    std::vector<Line> m_lines;
    std::vector<Section> m_sections;
    std::vector<std::string_view> m_sectionNames;
    FoldedMap<size_t> m_sectionIndex;
};

// The default text as the profile reader uses it: trailing spaces dropped, null as "".
std::string_view EffectiveDefault(const char* defaultText);

// Answers GetPrivateProfileStringA from `file` (null: the file does not exist).
// The buffer receives at most `size` bytes; the result is the count without the
// terminator, size-1 for a cut value and size-2 for a cut list of names.
DWORD ReadString(const IniFile* file, const char* section, const char* key, std::string_view defaultText, char* buffer,
                 DWORD size);

// Copies a value, without one pair of surrounding quotes, cut to fit `size`.
DWORD CopyValue(std::string_view value, char* buffer, DWORD size);

// The number at the start of a profile value: optional sign, then decimal digits,
// or 0x/0o/0b and digits of that base; arithmetic wraps at 32 bits.
UINT ParseInt(std::string_view text);

// True when a name or value can be written without changing the file's structure.
bool IsWritableSection(std::string_view name);
bool IsWritableKey(std::string_view name);
bool IsWritableValue(std::string_view value);

}  // namespace posix::ini
