#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "localization/format_text.h"
#include "module/path.h"
#include "qvtr/localization.h"
#include "win32/api.h"

namespace {

// Class-wide state. The path is guarded: lookups on other threads may read it
// while SetLanguageFile replaces it.
std::mutex s_languageMutex;
std::string s_strLanguageFile;
std::atomic<bool> s_bFixed{false};
std::atomic<int32_t> s_nLanguageNumber{-1};

constexpr DWORD kTextStep = 256;

std::string LanguageFile() {
    std::lock_guard<std::mutex> lock(s_languageMutex);
    return s_strLanguageFile;
}

}  // namespace

CLocalizedString::CLocalizedString() = default;

CLocalizedString::CLocalizedString(const CLocalizedString& other) = default;

CLocalizedString::CLocalizedString(const char* section, const char* key, ...) {
    va_list args;
    va_start(args, key);
    FormatV(section, key, args);
    va_end(args);
}

CLocalizedString::~CLocalizedString() = default;

CLocalizedString& CLocalizedString::Load(const char* section, const char* key, ...) {
    va_list args;
    va_start(args, key);
    FormatV(section, key, args);
    va_end(args);
    return *this;
}

void CLocalizedString::FormatV(const char* section, const char* key, va_list args) {
    char* format = LookupText(section, key);
    // Bounded: a text from a file may ask for any width or precision.
    assign(qvtr::FormatBoundedV(format ? format : "", qvtr::kCallerArguments, args));
    std::free(format);
}

DWORD CLocalizedString::ReadProfileText(const char* section, const char* key, const char* defaultText, char** block,
                                        const char* file) {
    const Win32Api& api = Api();
    const DWORD spare = (section != nullptr && key != nullptr) ? 1 : 2;
    DWORD size = kTextStep + static_cast<DWORD>(api._msize(*block));
    for (;;) {
        char* grown = static_cast<char*>(std::realloc(*block, size + spare));
        if (grown == nullptr) {
            return 0;
        }
        *block = grown;
        const DWORD count = api.GetPrivateProfileStringA(section, key, defaultText, *block, size, file);
        if (count != size - spare) {
            return count;
        }
        size += kTextStep;  // may have been cut: read again with more room
    }
}

char* CLocalizedString::LookupText(const char* section, const char* key) {
    char* block = nullptr;
    const std::string path = LanguageFile();
    ReadProfileText(section, key, key, &block, path.c_str());
    return block;
}

bool CLocalizedString::SetLanguageFile(const char* languageCode, const char* baseName, HMODULE module, bool fix) {
    if (s_bFixed) {
        return true;
    }
    char moduleFile[MAX_PATH] = {};
    if (Api().GetModuleFileNameA(module, moduleFile, MAX_PATH) == 0) {
        g_Module.Trace(4, "CLocalizedString:  NO FILE NAME !!!\n");
        return false;
    }
    const std::string path = qvtr::DirectoryOf(moduleFile) + baseName + languageCode + ".lg";
    {
        std::lock_guard<std::mutex> lock(s_languageMutex);
        s_strLanguageFile = path;
    }
    g_Module.Trace(4, "CLocalizedString LANGUAGE FILE : *****  %s *****\n", path.c_str());
    s_bFixed = fix;
    return true;
}

int32_t CLocalizedString::GetLanguageNumber() {
    int32_t number = s_nLanguageNumber.load();
    if (number != -1) {
        return number;
    }
    const std::string path = LanguageFile();
    const size_t dot = path.rfind('.');
    number = 0;
    if (dot != std::string::npos) {
        const size_t start = dot >= 2 ? dot - 2 : 0;
        number = std::atoi(path.substr(start, dot - start).c_str());
    }
    // The first answer stays, also when another thread got here at the same time.
    int32_t expected = -1;
    s_nLanguageNumber.compare_exchange_strong(expected, number);
    return s_nLanguageNumber.load();
}

std::string CLocalizedString::GetLanguageFile() {
    return LanguageFile();
}
