// The text format of regedit: import of "Windows Registry Editor Version 5.00",
// "REGEDIT4" and Windows 3.1 "REGEDIT" files with reg.exe's rules, export in
// reg.exe's 5.00 layout. Only Api() is used, so the same code serves the POSIX
// registry and the real one. Text goes through the ANSI code page of Api().
#pragma once

#include <string>
#include <vector>

#include "regfile/reg_tree.h"
#include "win32/win32.h"

namespace regfile {

struct Value {
    std::string name;     // empty: the key's default value (@)
    bool remove = false;  // "name"=-
    DWORD type = REG_NONE;
    std::string data;  // the bytes as the registry behind the A functions stores them
    int line = 0;
};

struct Key {
    std::string path;     // as written, from the root name on
    bool remove = false;  // [-path]
    std::vector<Value> values;
    int line = 0;
};

// Where and why a file was refused, a line skipped, or applying failed.
struct Problem {
    int line = 0;  // 0 when no line is to blame
    std::string reason;
    LONG code = ERROR_SUCCESS;  // the registry's code when applying failed
};

struct Document {
    bool version5 = true;  // false for REGEDIT4 and REGEDIT
    std::vector<Key> keys;
    std::vector<Problem> skipped;  // lines reg.exe passes over, in file order
};

// Parses a whole file (ANSI, or UTF-16LE with its byte-order mark). Lines that
// reg.exe skips land in document.skipped. False, with the reason, only for a file
// that is not a registry file or not text at all; nothing is applied by parsing.
bool Parse(const std::string& bytes, Document& document, Problem& problem);

// Applies a parsed file through Api(), inside one transaction where the backend
// offers one (QvtrRegTransaction). A key or value the registry refuses is added
// to `skipped` and the rest goes on; with `strict` the first one rolls everything
// back and is returned.
LONG Apply(const Document& document, bool strict, std::vector<Problem>& skipped);

// Strict Apply: the first failure is returned in `problem`.
LONG Apply(const Document& document, Problem& problem);

// Splits "HKLM\Software\X" or "HKEY_LOCAL_MACHINE\Software\X" into the
// predefined root, its long name and the path below it. False for another root.
bool SplitRoot(const std::string& path, HKEY& root, std::string& rootName, std::string& subKey);

// The key and everything below it as a 5.00 file in reg.exe's layout: UTF-16LE
// with a byte-order mark. A name the format cannot carry (a line break) or text
// the ANSI code page cannot convert fails with ERROR_INVALID_DATA and `problem`.
LONG Export(HKEY root, const std::string& rootName, const std::string& subKey, std::string& bytes,
            std::string& problem);
LONG Export(HKEY root, const std::string& rootName, const std::string& subKey, std::string& bytes);

// Lines of one value in the 5.00 layout, ANSI text, without the final line end.
std::string FormatValue(const std::string& name, DWORD type, const std::string& data);

// Whether two names are the same but for the case of ASCII letters, as the registry compares them.
bool SameText(const std::string& a, const std::string& b);

// "REG_SZ", "REG_DWORD", ...; "REG_0x1234" for a type without a name.
std::string TypeName(DWORD type);

}  // namespace regfile
