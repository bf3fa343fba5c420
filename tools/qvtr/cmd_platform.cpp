// session, language, and the platform part of `qvtr report`: the Windows
// version, the terminal-server tests, the session identity and the language.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

#include "command.h"
#include "qvtr/localization.h"
#include "qvtr/module.h"
#include "qvtr/platform.h"

namespace tool {

namespace {

const char kLanguageKeyPath[] = QVTR_COMMON_SETTINGS_KEY "\\Language";
const char kDefaultLanguage[] = "00";

std::string YesNo(bool value) {
    return value ? "yes" : "no";
}

std::string Hex8(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

std::string PlatformIdText(DWORD id) {
    const char* name = id == VER_PLATFORM_WIN32_WINDOWS ? "Windows 95 family"
                       : id == VER_PLATFORM_WIN32_NT    ? "Windows NT family"
                       : id == VER_PLATFORM_WIN32s      ? "Win32s or unknown"
                                                        : "unknown";
    return std::to_string(id) + " (" + name + ")";
}

std::string SessionPlatformText(SessionPlatform platform) {
    switch (platform) {
        case SessionPlatform::None:
            return "0 (none)";
        case SessionPlatform::Wts:
            return "1 (Windows Terminal Services)";
        case SessionPlatform::Citrix:
            return "2 (Citrix)";
    }
    return std::to_string(static_cast<uint32_t>(platform)) + " (unknown)";
}

std::string LanguageSourceText(LanguageSource source) {
    switch (source) {
        case LanguageSource::CurrentUser:
            return std::string("per user, HKEY_CURRENT_USER\\") + kLanguageKeyPath;
        case LanguageSource::LocalMachine:
            return std::string("per machine, HKEY_LOCAL_MACHINE\\") + kLanguageKeyPath;
        case LanguageSource::Fallback:
            return "fallback (no CurrentLanguage value in the registry)";
        case LanguageSource::None:
            break;
    }
    return "not chosen";
}

SessionIdentity QueryIdentity(bool slashPrefix) {
    SessionIdentity identity;
    std::memset(&identity, 0, sizeof identity);
    CWMU wmu;
    // The tool has no session identifier of its own for a single-user machine.
    QuerySessionIdentity(wmu, 0, slashPrefix, identity);
    return identity;
}

void PrintIdentity(std::ostream& out, const SessionIdentity& identity) {
    ReportLine(out, "Session ID", std::to_string(identity.m_dwSessionId) + " (" + Hex8(identity.m_dwSessionId) + ")");
    ReportLine(out, "Session platform", SessionPlatformText(identity.m_ePlatform));
    ReportLine(out, "Client name", identity.m_szClientName[0] ? identity.m_szClientName : "(empty)");
}

CLanguageSelection ChooseLanguage(const std::string& fallbackCode) {
    CLanguageSelection selection;
    selection.GetCurrentLanguage([&fallbackCode](CLanguageSelection& holder) { holder.m_strLanguage = fallbackCode; });
    return selection;
}

void PrintOsVersion(std::ostream& out) {
    const OSVERSIONINFOA& osvi = g_OsVersionInfo.m_osvi;
    ReportLine(out, "Platform id", PlatformIdText(osvi.dwPlatformId));
    // The Windows 95 family keeps the version in the high word of the build number.
    const DWORD build =
        osvi.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS ? (osvi.dwBuildNumber & 0xFFFF) : osvi.dwBuildNumber;
    ReportLine(
        out, "OS version",
        std::to_string(osvi.dwMajorVersion) + "." + std::to_string(osvi.dwMinorVersion) + "." + std::to_string(build));
    const void* nul = std::memchr(osvi.szCSDVersion, '\0', sizeof osvi.szCSDVersion);
    const std::string servicePack(osvi.szCSDVersion,
                                  nul ? static_cast<const char*>(nul) - osvi.szCSDVersion : sizeof osvi.szCSDVersion);
    ReportLine(out, "Service pack", servicePack.empty() ? "(none)" : servicePack);
}

void PrintTerminalServer(std::ostream& out) {
    ReportLine(out, "Terminal Server", YesNo(g_OsVersionInfo.IsTerminalServer()));
    ReportLine(out, "MetaFrame", YesNo(g_OsVersionInfo.IsMetaFrame()));
    ReportLine(out, "WinFrame", YesNo(g_OsVersionInfo.IsWinFrame()));
    ReportLine(out, "Multi-user", YesNo(g_OsVersionInfo.IsMultiUser()));
}

void PrintSession(std::ostream& out) {
    PrintIdentity(out, QueryIdentity(false));
}

void PrintLanguage(std::ostream& out) {
    const CLanguageSelection selection = ChooseLanguage(kDefaultLanguage);
    ReportLine(out, "Current language", selection.m_strLanguage.empty() ? "(empty)" : selection.m_strLanguage);
    ReportLine(out, "Language source", LanguageSourceText(selection.m_eSource));
}

const ReportRegistrar kOsVersionSection({20, PrintOsVersion});
const ReportRegistrar kTerminalServerSection({21, PrintTerminalServer});
const ReportRegistrar kSessionSection({22, PrintSession});
const ReportRegistrar kLanguageSection({23, PrintLanguage});

int RunSession(const Args& args) {
    bool slashPrefix = false;
    for (const std::string& arg : args) {
        if (arg == "--slash") {
            slashPrefix = true;
        } else {
            return UsageError("session", "unknown argument '" + arg + "'");
        }
    }
    PrintIdentity(std::cout, QueryIdentity(slashPrefix));
    return 0;
}

// A code becomes part of a file name: letters and digits only.
bool ValidLanguageCode(const std::string& code) {
    if (code.empty() || code.size() > 16) {
        return false;
    }
    for (const char c : code) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

int RunLanguage(const Args& args) {
    std::string fallback = kDefaultLanguage;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--fallback") {
            if (i + 1 == args.size()) {
                return UsageError("language", "--fallback expects a CODE");
            }
            fallback = args[++i];
        } else if (arg.compare(0, 11, "--fallback=") == 0) {
            fallback = arg.substr(11);
        } else {
            return UsageError("language", "unknown argument '" + arg + "'");
        }
    }
    if (!ValidLanguageCode(fallback)) {
        return UsageError("language", "CODE must be 1 to 16 letters or digits, such as 00, not '" + fallback + "'");
    }

    const CLanguageSelection selection = ChooseLanguage(fallback);
    const std::string& code = selection.m_strLanguage;
    ReportLine(std::cout, "Language code", code.empty() ? "(empty)" : code);
    ReportLine(std::cout, "Language source", LanguageSourceText(selection.m_eSource));
    if (!CLocalizedString::SetLanguageFile(code.c_str(), "qvtr", g_Module.GetModuleInstance(), false)) {
        std::cerr << "qvtr language: the module's file name is not available; the language file is unchanged\n";
        return kExitFailure;
    }
    const std::string file = CLocalizedString::GetLanguageFile();
    const bool present = std::ifstream(file).good();
    ReportLine(std::cout, "Language file", file + (present ? "" : " (missing: texts show their keys)"));
    return 0;
}

const CommandRegistrar kSession({"session", "show the identity of the calling terminal session",
                                 "usage: qvtr session [--slash]\n\n"
                                 "Prints the session ID, the terminal-server interface that answered (0 none,\n"
                                 "1 Windows Terminal Services, 2 Citrix) and the client machine's name. On a\n"
                                 "single-user machine the session ID is 0 and the client name is this\n"
                                 "computer's name. --slash puts \"/\" in front of the client name, keeping the\n"
                                 "first 49 characters of a longer name.\n",
                                 RunSession});

const CommandRegistrar kLanguage({"language", "choose the current language and set its language file",
                                  "usage: qvtr language [--fallback CODE]\n\n"
                                  "Reads the value CurrentLanguage of HKEY_CURRENT_USER\\" QVTR_COMMON_SETTINGS_KEY
                                  "\\Language,\n"
                                  "then of the same key under HKEY_LOCAL_MACHINE; when neither has it, CODE is used\n"
                                  "(default 00). Then makes qvtrCODE.lg beside the module the language file and\n"
                                  "prints the code, where it came from and the file. The choice lasts for this\n"
                                  "process only: every host process makes its own.\n",
                                  RunLanguage});

}  // namespace

}  // namespace tool
