#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "module/path.h"
#include "qvtr/localization.h"
#include "qvtr/module.h"
#include "win32/api.h"

namespace {

const char kIniName[] = "qvtr.ini";
const char kLogName[] = "qvtr.log";
const char kLogSection[] = "LOG";
const char kPathKey[] = "path";

// The first line buffer holds 256 bytes, later ones 256 more per attempt.
constexpr size_t kLineStep = 256;

// "%08X: " and the process id: the prefix of every line, 10 characters.
constexpr size_t kPrefixLength = 10;

// The "%08X: " prefix by hand: printf's machinery costs more than the rest of
// the line's formatting.
void WriteHex8(DWORD value, char* out) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = 7; i >= 0; --i) {
        out[i] = kDigits[value & 0xF];
        value >>= 4;
    }
}

void WritePrefix(DWORD processId, char* out) {
    WriteHex8(processId, out);
    out[8] = ':';
    out[9] = ' ';
}

// The module's own trace formats hold nothing but text, %s and %08X. Such a
// line is put together by hand when it fits `size` bytes with its terminator:
// printf's machinery costs more than the rest of a written line. False (and
// nothing consumed from the caller's list) for any other format.
bool FormatPlain(const char* format, va_list args, char* out, size_t size, int& length) {
    for (const char* p = std::strchr(format, '%'); p != nullptr; p = std::strchr(p + 1, '%')) {
        if (p[1] == 's') {
            ++p;
        } else if (p[1] == '0' && p[2] == '8' && p[3] == 'X') {
            p += 3;
        } else {
            return false;
        }
    }
    va_list list;
    va_copy(list, args);
    size_t at = 0;
    bool fits = true;
    for (const char* p = format; *p != '\0' && fits; ++p) {
        if (*p != '%') {
            fits = at + 1 < size;
            out[at++] = fits ? *p : '\0';
        } else if (p[1] == 's') {
            const char* text = va_arg(list, const char*);
            const size_t n = text != nullptr ? std::strlen(text) : size;  // printf writes "(null)": left to it
            fits = at + n < size;
            if (fits) {
                std::memcpy(out + at, text, n);
                at += n;
            }
            ++p;
        } else {
            fits = at + 8 < size;
            if (fits) {
                WriteHex8(va_arg(list, unsigned), out + at);
                at += 8;
            }
            p += 3;
        }
    }
    va_end(list);
    if (!fits) {
        return false;
    }
    out[at] = '\0';
    length = static_cast<int>(at);
    return true;
}

// Formats the prefix and the caller's text into `first` when they fit (nearly
// every line), else into a heap buffer grown in steps of 256 bytes until the
// line and its terminator fit; `heap` then owns it. Returns null (the line is
// dropped) on a bad format or without memory.
char* FormatLine(DWORD processId, const char* format, va_list args, char (&first)[kLineStep], int& length,
                 char*& heap) {
    heap = nullptr;
    WritePrefix(processId, first);
    int body = 0;
    if (FormatPlain(format, args, first + kPrefixLength, sizeof first - kPrefixLength, body)) {
        length = static_cast<int>(kPrefixLength) + body;
        return first;
    }
    va_list probe;
    va_copy(probe, args);
    body = std::vsnprintf(first + kPrefixLength, sizeof first - kPrefixLength, format, probe);
    va_end(probe);
    if (body < 0) {
        return nullptr;
    }
    length = static_cast<int>(kPrefixLength) + body;
    if (static_cast<size_t>(length) < sizeof first) {
        return first;
    }
    // The smallest multiple of the step that holds the line and its terminator.
    const size_t size = (static_cast<size_t>(length) / kLineStep + 1) * kLineStep;
    heap = static_cast<char*>(std::malloc(size));
    if (heap == nullptr) {
        return nullptr;
    }
    std::memcpy(heap, first, kPrefixLength);
    std::vsnprintf(heap + kPrefixLength, size - kPrefixLength, format, args);
    return heap;
}

HANDLE OpenLog(const std::string& path, DWORD disposition) {
    // Append-only access: each line lands whole at the end, whoever else writes.
    return Api().CreateFileA(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Where a user's lines go when the configured log is another user's (a shared
// temporary directory): beside it, under a name that says whose they are.
std::string OwnLogPath(const std::string& path) {
    char user[257] = {};
    DWORD size = sizeof user;
    if (!Api().GetUserNameA(user, &size) || user[0] == '\0') {
        return std::string();
    }
    std::string own = path + ".";
    for (const char* c = user; *c != '\0'; ++c) {
        const bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
                           *c == '.' || *c == '-' || *c == '_';
        own += plain ? *c : '_';
    }
    return own;
}

// The log in the user's temporary directory, or empty without one: a bare name
// would be relative to wherever each process happens to start.
std::string TemporaryLog() {
    char tempPath[MAX_PATH] = {};
    const DWORD length = Api().GetTempPathA(sizeof tempPath, tempPath);
    return length != 0 && length < sizeof tempPath ? std::string(tempPath) + kLogName : std::string();
}

// Where a user's lines go when the configured log cannot be theirs: beside it
// under the user's own name (a shared directory), else the user's own temporary
// directory (the log a first user's INI named in that user's directory).
std::vector<std::string> FallbackLogs(const std::string& path) {
    std::vector<std::string> fallbacks;
    const std::string own = OwnLogPath(path);
    if (!own.empty()) {
        fallbacks.push_back(own);
    }
    const std::string temporary = TemporaryLog();
    if (!temporary.empty() && temporary != path) {
        fallbacks.push_back(temporary);
    }
    return fallbacks;
}

void AppendToLog(const std::string& path, const char* text, DWORD length) {
    const Win32Api& api = Api();
    HANDLE file = OpenLog(path, OPEN_ALWAYS);
    if (file == INVALID_HANDLE_VALUE && api.GetLastError() == ERROR_ACCESS_DENIED) {
        for (const std::string& fallback : FallbackLogs(path)) {
            file = OpenLog(fallback, OPEN_ALWAYS);
            if (file != INVALID_HANDLE_VALUE) {
                break;
            }
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    // The low part alone is ambiguous past 4 GiB: 0xFFFFFFFF is also a size.
    LONG high = 0;
    const DWORD low = api.SetFilePointer(file, 0, &high, FILE_END);
    if (low != INVALID_SET_FILE_POINTER || api.GetLastError() == NO_ERROR) {
        DWORD written = 0;
        api.WriteFile(file, text, length, &written, nullptr);
    }
    api.CloseHandle(file);
}

}  // namespace

CComModuleSupport::CComModuleSupport() : m_bDebugString(false), m_nDebugLevel(0), m_szMessageSection() {
    std::strncpy(m_szMessageSection, QVTR_SHORT_NAME, sizeof m_szMessageSection - 1);
}

CComModuleSupport::~CComModuleSupport() = default;

HRESULT CComModuleSupport::Init(_ATL_OBJMAP_ENTRY* pObjMap, HINSTANCE hInstance, const GUID* pLibId,
                                const char* section) {
    CComModule::Init(pObjMap, hInstance, pLibId);
    m_strSection = section ? section : "";
    CLocalizedString::SetLanguageFile("00", "qvtr", hInstance, false);
    InitLogPath();
    ReadDebugSettings();
    Trace(5, "Init() log path %s\n", m_strLogPath.c_str());
    return S_OK;
}

void CComModuleSupport::Term() {
    CComModule::Term();
}

void CComModuleSupport::InitLogPath() {
    const Win32Api& api = Api();
    char buffer[MAX_PATH] = {};
    if (api.GetModuleFileNameA(m_hInst, buffer, sizeof buffer) == 0) {
        m_strIniPath = kIniName;
    } else {
        m_strIniPath = qvtr::DirectoryOf(buffer) + kIniName;
    }

    char logPath[MAX_PATH] = {};
    api.GetPrivateProfileStringA(kLogSection, kPathKey, "", logPath, sizeof logPath, m_strIniPath.c_str());
    if (logPath[0] != '\0') {
        m_strLogPath = logPath;
    } else {
        m_strLogPath = TemporaryLog();  // without a temporary directory there is no log
    }
    api.WritePrivateProfileStringA(kLogSection, kPathKey, m_strLogPath.c_str(), m_strIniPath.c_str());
}

std::string CComModuleSupport::LogPathInUse() const {
    if (m_strLogPath.empty()) {
        return m_strLogPath;
    }
    HANDLE file = OpenLog(m_strLogPath, OPEN_EXISTING);
    if (file != INVALID_HANDLE_VALUE) {
        Api().CloseHandle(file);
        return m_strLogPath;
    }
    if (Api().GetLastError() != ERROR_ACCESS_DENIED) {
        return m_strLogPath;
    }
    // The first fallback that exists or could be made, as the next line would find it.
    const std::vector<std::string> fallbacks = FallbackLogs(m_strLogPath);
    for (const std::string& fallback : fallbacks) {
        file = OpenLog(fallback, OPEN_EXISTING);
        if (file != INVALID_HANDLE_VALUE || Api().GetLastError() == ERROR_FILE_NOT_FOUND) {
            if (file != INVALID_HANDLE_VALUE) {
                Api().CloseHandle(file);
            }
            return fallback;
        }
    }
    return fallbacks.empty() ? m_strLogPath : fallbacks.back();
}

void CComModuleSupport::ReadDebugSettings() {
    const Win32Api& api = Api();
    m_nDebugLevel =
        static_cast<int32_t>(api.GetPrivateProfileIntA(m_strSection.c_str(), "debug", 0, m_strIniPath.c_str()));
    m_bDebugString = api.GetPrivateProfileIntA(m_strSection.c_str(), "debugstring", 0, m_strIniPath.c_str()) == 1;
}

void CComModuleSupport::WriteTrace(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char first[kLineStep];
    char* heap = nullptr;
    int length = 0;
    const char* line = FormatLine(Api().GetCurrentProcessId(), format, args, first, length, heap);
    va_end(args);
    if (line != nullptr) {
        AppendToLog(m_strLogPath, line, static_cast<DWORD>(length));
        if (m_bDebugString) {
            Api().OutputDebugStringA(line);
        }
    }
    std::free(heap);
}

const char* GetSystemErrorText(DWORD code) {
    static char s_szText[256];
    const Win32Api& api = Api();
    char* text = nullptr;
    const DWORD length = api.FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) {
        std::snprintf(s_szText, sizeof s_szText, "Unknown error 0x%08X", static_cast<unsigned>(code));
        return s_szText;
    }
    std::strncpy(s_szText, text, sizeof s_szText - 1);
    s_szText[sizeof s_szText - 1] = '\0';
    api.LocalFree(text);
    return s_szText;
}
