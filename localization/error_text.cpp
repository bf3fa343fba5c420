#include <cstdio>
#include <cstdlib>

#include "localization/format_text.h"

#include "qvtr/localization.h"
#include "win32/api.h"

namespace {

// Language-file keys of the application errors, by index (code - 0x90000000).
const char* const kApplicationErrorKeys[] = {
    "UnexpectedError",      "NotInitialized",    "InvalidArgument", "LanguageFileMissing", "RegistryKeyMissing",
    "ServiceNotRegistered", "ServiceNotStarted", "SessionUnknown",  "LockNotAcquired",
};

constexpr DWORD kApplicationErrorMask = 0xF0000000;
constexpr DWORD kApplicationErrorBase = 0x90000000;

}  // namespace

const char* ApplicationErrorKey(DWORD index) {
    const DWORD count = sizeof kApplicationErrorKeys / sizeof kApplicationErrorKeys[0];
    return index < count ? kApplicationErrorKeys[index] : "UnknownError";
}

void CComModuleSupport::GetErrorText(std::string& text, DWORD code) {
    if ((code & kApplicationErrorMask) == kApplicationErrorBase) {
        // No arguments are given, so a text that asks for some stays as it stands.
        char* format =
            CLocalizedString::LookupText(m_szMessageSection, ApplicationErrorKey(code - kApplicationErrorBase));
        text = qvtr::FormatBounded(format ? format : "", 0);
        std::free(format);
        return;
    }
    const Win32Api& api = Api();
    char* message = nullptr;
    const DWORD length = api.FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&message), 0, nullptr);
    if (length == 0 || message == nullptr) {
        char unknown[32];
        std::snprintf(unknown, sizeof unknown, "Unknown error 0x%08X", static_cast<unsigned>(code));
        text = unknown;
        return;
    }
    text.assign(message, length);
    api.LocalFree(message);
}
