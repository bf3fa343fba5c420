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
#include "reg_verbs.h"
#include "regfile/reg_file.h"
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

// reg.exe's rule: bad usage is exit status 1, with a pointer to the verb's help.
int InvalidSyntax(const std::string& verb, const std::string& detail) {
    std::cout.flush();
    const bool question = !detail.empty() && detail.back() == '?';
    std::cerr << "ERROR: Invalid syntax" << (detail.empty() ? std::string() : ": " + detail)
              << (question ? "\n" : ".\n") << "Type \"qvtr reg " << (verb.empty() ? std::string() : verb + " ")
              << "/?\" for usage.\n";
    return kExitFailure;
}

int RunExport(const Args& args) {
    // reg.exe wants KEY and FILE first, then the switches.
    for (size_t i = 0; i < args.size() && i < 2; ++i) {
        if (reg::IsSwitch(args[i], "reg:32") || reg::IsSwitch(args[i], "reg:64") || reg::IsSwitch(args[i], "y")) {
            throw reg::Usage{"KEY and FILE come before the switches"};
        }
    }
    if (args.size() < 2) {
        throw reg::Usage{"expects KEY and FILE"};
    }
    const reg::KeyPath key = reg::ParseKeyPath(args[0]);
    const std::string& file = args[1];
    reg::Switches switches(args, 2);
    const bool force = switches.Flag("y");
    switches.Finish();
    bool exists = false;
    std::string reason;
    // A name that cannot be used is refused before anything is asked or read.
    if (!tool::UsableOutput(file, exists, reason)) {
        return reg::Error("cannot write " + file + ": it " + reason);
    }
    if (!force && exists && !reg::Confirm("File " + file + " already exists. Overwrite")) {
        return reg::Cancelled();
    }
    const reg::Root root(key);
    std::string bytes;
    std::string problem;
    LONG error;
    {
        const reg::Snapshot snapshot;
        error = regfile::Export(root.Get(), key.rootName, key.subKey, bytes, problem);
    }
    if (error != ERROR_SUCCESS && !problem.empty()) {
        return reg::Error("cannot export " + key.Display() + ": " + problem + "; nothing written");
    }
    if (error != ERROR_SUCCESS) {
        throw reg::Failed{error, key.Display()};
    }
    if (!tool::ReplaceFile(file, bytes, reason)) {
        return reg::Error("cannot write " + file + ": " + reason);
    }
    // As for import, reg.exe reports success on standard error.
    std::cerr << "The operation completed successfully.\n";
    return 0;
}

int RunImport(const Args& args) {
    bool strict = false;
    std::vector<std::string> files;
    for (const std::string& arg : args) {
        if (reg::IsHelpSwitch(arg)) {
            std::cout << kImportHelp;
            return 0;
        }
        if (reg::IsSwitch(arg, "strict")) {
            strict = true;
        } else if (reg::IsSwitch(arg, "reg:32") || reg::IsSwitch(arg, "reg:64")) {
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
        std::cerr << "ERROR: " << file << ": " << ErrorLine(static_cast<DWORD>(error))
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

struct Verb {
    const char* name;
    int (*run)(const Args& args);
    const char* help;
};

const Verb kVerbs[] = {
    {"query", reg::RunQuery,
     "qvtr reg query KEY [/v NAME | /ve] [/s] [/f TEXT [/k] [/v] [/d] [/c] [/e]] [/t TYPE] [/reg:32 | /reg:64]\n\n"
     "  Prints the values and sub-keys of KEY; /v NAME or /ve one value; /s the whole tree (with /v,\n"
     "  the value wherever it is in the tree). /f searches for TEXT in key names (/k), value names\n"
     "  (/v) and data (/d), all three unless one is given; /c matches case, /e the whole text.\n"
     "  /t shows values of one type only. Exit status 0, or 1 when nothing was found.\n"},
    {"add", reg::RunAdd,
     "qvtr reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f] [/reg:32 | /reg:64]\n\n"
     "  Creates KEY and sets the value NAME (/v) or the default value (/ve, or neither).\n"
     "  TYPE: REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_DWORD_LITTLE_ENDIAN,\n"
     "  REG_DWORD_BIG_ENDIAN (stored little-endian, as reg.exe does), REG_QWORD (0 without /d),\n"
     "  REG_BINARY, REG_NONE.\n"
     "  Numbers are decimal or 0x-hexadecimal; binary data is hexadecimal digits; REG_MULTI_SZ\n"
     "  strings are separated by \\0 or by the one character given with /s. /f replaces an\n"
     "  existing value without asking.\n"},
    {"delete", reg::RunDelete,
     "qvtr reg delete KEY [/v NAME | /ve | /va] [/f] [/reg:32 | /reg:64]\n\n"
     "  Deletes KEY with its whole tree, or the value NAME (/v), the default value (/ve) or all\n"
     "  values of KEY (/va). /f deletes without asking.\n"},
    {"copy", reg::RunCopy,
     "qvtr reg copy KEY1 KEY2 [/s] [/f] [/reg:32 | /reg:64]\n\n"
     "  Copies the values of KEY1 into KEY2 (created if missing); /s the whole tree. /f\n"
     "  replaces existing values without asking. KEY2 may not be KEY1 or inside it.\n"},
    {"compare", reg::RunCompare,
     "qvtr reg compare KEY1 KEY2 [/v NAME | /ve] [/s] [/od | /oa | /os | /on] [/reg:32 | /reg:64]\n\n"
     "  Compares the values of two keys (/v NAME or /ve: one value; /s: the whole trees). Lines\n"
     "  start with < (only or different in KEY1), > (in KEY2) or = (the same); /od shows the\n"
     "  differences (default), /oa all, /os the same ones, /on none.\n"
     "  Exit status 0 identical, 2 different, 1 failure.\n"},
    {"export", RunExport,
     "qvtr reg export KEY FILE [/y]\n\n"
     "  Writes KEY and its tree to FILE in regedit's format; /y replaces FILE without asking.\n"},
    {"import", RunImport, kImportHelp},
};

int RunReg(const Args& args) {
    if (args.empty()) {
        return InvalidSyntax("", "expects an operation: query, add, delete, copy, compare, export or import");
    }
    std::string operation = args[0];
    std::transform(operation.begin(), operation.end(), operation.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const Verb* verb = nullptr;
    for (const Verb& candidate : kVerbs) {
        if (operation == candidate.name) {
            verb = &candidate;
        }
    }
    if (verb == nullptr) {
        std::vector<std::string> names;
        for (const Verb& candidate : kVerbs) {
            names.push_back(candidate.name);
        }
        return InvalidSyntax("", "unknown operation " + reg::Shown(args[0]) + DidYouMean(operation, names));
    }
    const Args rest(args.begin() + 1, args.end());
    if (rest.size() == 1 && reg::IsHelpSwitch(rest[0])) {
        std::istringstream help(verb->help);
        for (std::string line; std::getline(help, line);) {
            reg::Line(line);
        }
        return 0;
    }
    try {
        return verb->run(rest);
    } catch (const reg::Usage& usage) {
        return InvalidSyntax(operation, usage.detail);
    } catch (const reg::Failed& failed) {
        return reg::Fail(failed);
    }
}

const CommandRegistrar kReg(
    {kName, "query, add, delete, copy, compare, export and import registry keys (reg.exe syntax)",
     "usage: qvtr reg query   KEY [/v NAME | /ve] [/s] [/f TEXT [/k] [/v] [/d] [/c] [/e]] [/t TYPE]\n"
     "       qvtr reg add     KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
     "       qvtr reg delete  KEY [/v NAME | /ve | /va] [/f]\n"
     "       qvtr reg copy    KEY1 KEY2 [/s] [/f]\n"
     "       qvtr reg compare KEY1 KEY2 [/v NAME | /ve] [/s] [/od | /oa | /os | /on]\n"
     "       qvtr reg export  KEY FILE [/y]\n"
     "       qvtr reg import  FILE [/strict]\n\n"
     "KEY is [\\\\MACHINE\\]ROOT\\PATH with ROOT one of HKLM, HKCU, HKCR, HKU or their long names\n"
     "(only HKLM and HKU on a MACHINE). Switches start with / or -; /reg:32 and /reg:64 are\n"
     "accepted. 'qvtr reg VERB /?' prints the help of one verb.\n\n"
     "On Linux the registry is the database in $QVTR_REGISTRY (by default\n"
     "~/.local/share/qvtr/registry.db); on Windows it is the system's registry.\n"
     "Exit status: 0 success, 1 failure, bad usage or a No; compare: 0 identical, 2 different.\n",
     RunReg});

}  // namespace

}  // namespace tool
