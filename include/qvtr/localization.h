// Localized texts from INI language files beside the module, error texts of
// codes, and the choice of the current language.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>

#include "qvtr/export.h"
#include "qvtr/module.h"
#include "qvtr/win32.h"

// The module's application errors: codes whose top four bits are 1001. Their
// texts stand in the language file's section QVTR_SHORT_NAME.
enum : DWORD {
    QVTR_E_UNEXPECTED = 0x90000000,
    QVTR_E_NOT_INITIALIZED = 0x90000001,
    QVTR_E_INVALID_ARGUMENT = 0x90000002,
    QVTR_E_LANGUAGE_FILE = 0x90000003,
    QVTR_E_REGISTRY_KEY = 0x90000004,
    QVTR_E_SERVICE_NOT_REGISTERED = 0x90000005,
    QVTR_E_SERVICE_NOT_STARTED = 0x90000006,
    QVTR_E_SESSION_UNKNOWN = 0x90000007,
    QVTR_E_LOCK_NOT_ACQUIRED = 0x90000008,
};

// The language-file key of an application error's index; "UnknownError" past the table.
QVTR_API const char* ApplicationErrorKey(DWORD index);

// A std::string whose value is looked up by section and key in the current
// language file and formatted printf-style with the caller's arguments.
class QVTR_API CLocalizedString : public std::string {
public:
    CLocalizedString();
    CLocalizedString(const CLocalizedString& other);
    CLocalizedString(const char* section, const char* key, ...);
    virtual ~CLocalizedString();
    CLocalizedString& operator=(const CLocalizedString& other) = default;

    CLocalizedString& Load(const char* section, const char* key, ...);

    // The unformatted text (the key itself when missing) in a block the caller frees with free().
    static char* LookupText(const char* section, const char* key);

    // Makes <directory of module><baseName><languageCode>.lg the current language file.
    static bool SetLanguageFile(const char* languageCode, const char* baseName, HMODULE module, bool fix);

    // The number in the name of the language file current at the first call.
    static int32_t GetLanguageNumber();

    // GetPrivateProfileStringA into a realloc block that grows by 256 until the text fits.
    static DWORD ReadProfileText(const char* section, const char* key, const char* defaultText, char** block,
                                 const char* file);

    // The current language file's path (empty before the first SetLanguageFile).
    static std::string GetLanguageFile();

private:
    void FormatV(const char* section, const char* key, va_list args);
};

// ---- Language selection ----------------------------------------------------------

// Where a language code came from.
enum class LanguageSource : uint32_t {
    None = 0,          // nothing chosen yet
    CurrentUser = 1,   // HKEY_CURRENT_USER\<common settings>\Language "CurrentLanguage"
    LocalMachine = 2,  // the same value under HKEY_LOCAL_MACHINE
    Fallback = 3,      // the caller's fallback
};

// Holds the chosen language code. The code is read per user, then per machine,
// then taken from the caller's fallback, and kept once it is not empty.
class QVTR_API CLanguageSelection {
public:
    // Puts a code into the holder (m_strLanguage) when the registry has none.
    using Fallback = std::function<void(CLanguageSelection& holder)>;

    CLanguageSelection();
    virtual ~CLanguageSelection();

    // The held code; chosen (and traced at level 4) only while it is empty.
    const std::string& GetCurrentLanguage(const Fallback& fallback);

    std::string m_strLanguage;
    LanguageSource m_eSource;
};
