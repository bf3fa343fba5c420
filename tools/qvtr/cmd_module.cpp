// report, trace, text, error: the module object, its trace log and its texts.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "command.h"
#include "error_names.h"
#include "localization/format_text.h"
#include "qvtr/localization.h"
#include "qvtr/module.h"
#include "text_check.h"
#include "win32/api.h"

namespace tool {

namespace {

std::string ModuleFile() {
    char path[MAX_PATH] = {};
    return Api().GetModuleFileNameA(g_Module.GetModuleInstance(), path, sizeof path) ? path : "(unknown)";
}

// Why the INI beside the module cannot be read by this user, or empty: its
// settings (threshold, log path) are then the defaults, which says little.
std::string IniProblem() {
    HANDLE file = Api().CreateFileA(g_Module.m_strIniPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        Api().CloseHandle(file);
        return "";
    }
    return Api().GetLastError() == ERROR_ACCESS_DENIED ? "this user cannot read it; its defaults apply" : "";
}

void PrintModule(std::ostream& out) {
    ReportLine(out, "Module file", ModuleFile());
    const std::string problem = IniProblem();
    ReportLine(out, "INI file", g_Module.m_strIniPath + (problem.empty() ? "" : " (" + problem + ")"));
    // The file lines really go to; the INI's path too when another user holds that one.
    const std::string logInUse = g_Module.LogPathInUse();
    ReportLine(out, "Log file", logInUse);
    if (logInUse != g_Module.m_strLogPath) {
        ReportLine(out, "Configured log", g_Module.m_strLogPath + " (not this user's: not written)");
    }
    ReportLine(out, "Trace section", g_Module.m_strSection);
    ReportLine(out, "Trace threshold", std::to_string(g_Module.m_nDebugLevel));
    ReportLine(out, "Debugger output", g_Module.m_bDebugString ? "on" : "off");
    ReportLine(out, "Language file", CLocalizedString::GetLanguageFile());
    ReportLine(out, "Language number", std::to_string(CLocalizedString::GetLanguageNumber()));
}

const ReportRegistrar kModuleSection({10, PrintModule});

// Where the emulated registry lives (the Windows registry needs no such line).
void PrintRegistry(std::ostream& out) {
    if (Api().QvtrDescribeRegistry == nullptr) {
        return;
    }
    std::string text(Api().QvtrDescribeRegistry(nullptr, 0), '\0');
    text.resize(Api().QvtrDescribeRegistry(&text[0], static_cast<DWORD>(text.size())));
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t tab = line.find('\t');
        ReportLine(out, line.substr(0, tab), tab == std::string::npos ? std::string() : line.substr(tab + 1));
    }
}

const ReportRegistrar kRegistrySection({15, PrintRegistry});

int RunReport(const Args& args) {
    if (args.size() == 2 && args[0] == "--machine") {
        return RunRemoteReport(args[1]);
    }
    if (!args.empty()) {
        return UsageError("report", "takes no arguments but --machine HOST");
    }
    std::vector<ReportSection> sections = ReportSections();
    std::stable_sort(sections.begin(), sections.end(),
                     [](const ReportSection& a, const ReportSection& b) { return a.order < b.order; });
    for (const ReportSection& section : sections) {
        section.print(std::cout);
    }
    return 0;
}

int RunTrace(const Args& args) {
    if (args.size() != 2) {
        return UsageError("trace", "expects LEVEL and TEXT");
    }
    int32_t level = 0;
    if (!ParseInt32(args[0], level)) {
        return UsageError("trace", "LEVEL must be a decimal number, not '" + args[0] + "'");
    }
    // The text is data, never a format; the line ends in a line feed like the module's own.
    g_Module.Trace(level, "%s\n", args[1].c_str());
    if (level > g_Module.m_nDebugLevel) {
        const std::string problem = IniProblem();
        std::cerr << "qvtr trace: level " << level << " is above the threshold " << g_Module.m_nDebugLevel << " of "
                  << g_Module.m_strIniPath << (problem.empty() ? "" : " (" + problem + ")") << "; nothing written\n";
    }
    return 0;
}

// Stands in for a missing key: no language file holds control characters.
const char kMissing[] = "\x01\x02qvtr: no such key\x02\x01";

int RunText(const Args& args) {
    if (args.size() < 2) {
        return UsageError("text", "expects SECTION and KEY");
    }
    const size_t count = args.size() - 2;
    if (count > 8) {
        return UsageError("text", "takes at most 8 arguments after SECTION and KEY");
    }
    char* block = nullptr;
    const std::string file = CLocalizedString::GetLanguageFile();
    CLocalizedString::ReadProfileText(args[0].c_str(), args[1].c_str(), kMissing, &block, file.c_str());
    const std::string text = block ? block : "";
    std::free(block);
    if (text == kMissing) {
        // The module gives the key's own name; the tool prints it as it stands, never as a format.
        std::cerr << "qvtr text: no key '" << args[1].substr(0, 64) << "' in [" << args[0].substr(0, 64) << "] of "
                  << file << "; printing the key itself\n";
        std::cout << args[1] << "\n";
        return 0;
    }
    const std::string why = WhyNotFormattable(text, count);
    if (!why.empty()) {
        return UsageError("text", "[" + args[0].substr(0, 64) + "] " + args[1].substr(0, 64) + ": " + why);
    }
    const char* a[8] = {"", "", "", "", "", "", "", ""};
    for (size_t i = 0; i < count; ++i) {
        a[i] = args[i + 2].c_str();
    }
    const std::string out = qvtr::FormatBounded(text.c_str(), count, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]);
    std::cout << out << "\n";
    if (out.size() >= qvtr::kMaxFormattedText) {
        std::cerr << "qvtr text: the text was cut at " << qvtr::kMaxFormattedText << " characters\n";
    }
    return 0;
}

constexpr uint32_t kWin32Facility = 0x80070000;

int RunError(const Args& args) {
    if (args.size() != 1) {
        return UsageError("error", "expects one CODE");
    }
    uint32_t code = 0;
    if (!ParseUInt32(args[0], code) && !FindErrorName(args[0], code)) {
        return UsageError("error",
                          "CODE must be a decimal or 0x-hexadecimal 32-bit number or a name such as "
                          "ERROR_ACCESS_DENIED, not '" +
                              args[0].substr(0, 64) + "'");
    }
    if ((code & 0xFFFF0000) == kWin32Facility) {
        // HRESULT_FROM_WIN32: the Win32 code in the low 16 bits carries the meaning.
        const uint32_t win32 = code & 0xFFFF;
        const std::string name = ErrorName(win32);
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
        std::cout << "HRESULT " << hex << " wraps Win32 code " << win32 << (name.empty() ? "" : " (" + name + ")")
                  << ":\n";
        code = win32;
    }
    // The system's text ends in its own CR LF: the line ends the platform's way instead.
    const std::string text = ErrorLine(code);
    const std::string name = ErrorName(code);
    char number[16];
    std::snprintf(number, sizeof number, code >= 0x80000000u ? "0x%08X" : "%u", static_cast<unsigned>(code));
    std::cout << (name.empty() ? std::string() : name + " (" + number + "): ") << text << "\n";
    return 0;
}

const CommandRegistrar kReport({"report", "show the module's configuration and the machine it runs on",
                                "usage: qvtr report [--machine HOST]\n\n"
                                "Loads the module as a host process does and prints its file, the INI and log\n"
                                "paths, the trace threshold and debugger output, the current language file and\n"
                                "number, and what the other facilities know about the machine.\n\n"
                                "With --machine HOST: the version and terminal-server answers of another\n"
                                "machine, read from its HKLM over ssh (qvtr installed there; see the README).\n",
                                RunReport});

const CommandRegistrar kTrace({"trace", "write a line to the trace log through the module",
                               "usage: qvtr trace LEVEL TEXT\n\n"
                               "Writes TEXT and a line feed through the module's Trace at LEVEL. The line\n"
                               "reaches the log only when LEVEL is not above the \"debug\" value of the\n"
                               "[QVTR] section of qvtr.ini beside the module; it is prefixed with the\n"
                               "process id as eight hex digits, a colon and a blank.\n",
                               RunTrace});

const CommandRegistrar kText({"text", "print a localized text from the current language file",
                              "usage: qvtr text SECTION KEY [ARG...]\n\n"
                              "Looks KEY up in SECTION of the current language file (qvtr00.lg beside the\n"
                              "module) and formats it with the ARGs, each passed as a string. The text\n"
                              "must hold exactly one %s per ARG and no other conversion (%% is a percent\n"
                              "sign); otherwise nothing is printed and the exit status is 2. A missing\n"
                              "key prints its own name as it stands, with a note on stderr. At most 8\n"
                              "ARGs; a result longer than 65,535 characters is cut.\n",
                              RunText});

const CommandRegistrar kError({"error", "print the text of an error code",
                               "usage: qvtr error CODE\n\n"
                               "CODE is decimal, 0x-hexadecimal or a symbolic name such as\n"
                               "ERROR_ACCESS_DENIED or E_INVALIDARG (any letter case). An HRESULT that\n"
                               "wraps a Win32 code (0x8007xxxx) is decoded: a first line says so, then the\n"
                               "text of the Win32 code follows. Codes 0x90000000 to 0x9FFFFFFF are the\n"
                               "module's application errors and come from the language file's [QVTR]\n"
                               "section; every other code gets the system's message.\n",
                               RunError});

}  // namespace

}  // namespace tool
