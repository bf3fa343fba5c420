// The text format of regedit: import of "Windows Registry Editor Version 5.00"
// and "REGEDIT4" files, export in the 5.00 layout. Only Api() is used, so the
// same code serves the POSIX registry and the real one.
#pragma once

#include <string>
#include <vector>

#include "win32/win32.h"

namespace regfile {

struct Value {
    std::string name;     // empty: the key's default value (@)
    bool remove = false;  // "name"=-
    DWORD type = REG_NONE;
    std::string data;  // the bytes as the registry stores them
    int line = 0;
};

struct Key {
    std::string path;     // as written, from the root name on
    bool remove = false;  // [-path]
    std::vector<Value> values;
    int line = 0;
};

struct Document {
    bool version5 = true;  // false for REGEDIT4
    std::vector<Key> keys;
};

// Where and why a file was refused, or why applying it failed.
struct Problem {
    int line = 0;  // 0 when no line is to blame
    std::string reason;
    LONG code = ERROR_SUCCESS;  // the registry's code when applying failed
};

// Parses a whole file (ANSI, or UTF-16LE with its byte-order mark). False with
// the first problem; nothing is applied by parsing.
bool Parse(const std::string& bytes, Document& document, Problem& problem);

// Applies a parsed file through Api(). Where the backend offers a transaction
// (QvtrRegTransaction) it is all or nothing; elsewhere a failure stops at the key
// or value named in `problem`.
LONG Apply(const Document& document, Problem& problem);

// Splits "HKLM\Software\X" or "HKEY_LOCAL_MACHINE\Software\X" into the
// predefined root, its long name and the path below it. False for another root.
bool SplitRoot(const std::string& path, HKEY& root, std::string& rootName, std::string& subKey);

// Deletes a key with everything below it, deepest first, through Api().
LONG DeleteTree(HKEY root, const std::string& subKey);

// The key and everything below it as a 5.00 file, in regedit's layout.
LONG Export(HKEY root, const std::string& rootName, const std::string& subKey, std::string& text);

// Lines of one value in the 5.00 layout, without the final line end.
std::string FormatValue(const std::string& name, DWORD type, const std::string& data);

// "REG_SZ", "REG_DWORD", ...; "REG_0x1234" for a type without a name.
std::string TypeName(DWORD type);

}  // namespace regfile
