// COM class lookup and code page conversion.
//
// The ANSI code page of the emulated machine is UTF-8, the encoding of Linux
// text: CP_ACP, CP_OEMCP, CP_THREAD_ACP and CP_UTF8 all mean UTF-8. Invalid
// input becomes U+FFFD unless the caller asks for an error. WCHAR is UTF-16.
// Class identifiers come from the registry, as on Windows:
// HKCR\PROGID\CLSID holds the class of a ProgID.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "win32/posix/posix.h"

namespace posix {

namespace {

constexpr UINT kOemCodePage = 1;
constexpr UINT kThreadCodePage = 3;
constexpr DWORD kMbErrInvalidChars = 0x00000008;
constexpr DWORD kWcErrInvalidChars = 0x00000080;
constexpr DWORD kErrorNoUnicodeTranslation = 1113;
constexpr char32_t kReplacement = 0xFFFD;

bool IsUtf8CodePage(UINT codePage) {
    return codePage == CP_ACP || codePage == kOemCodePage || codePage == kThreadCodePage || codePage == CP_UTF8;
}

// Decodes UTF-8; false at the first invalid sequence when `strict`, else U+FFFD for it.
bool DecodeUtf8(const unsigned char* text, size_t size, bool strict, std::u16string& out) {
    for (size_t i = 0; i < size;) {
        const unsigned char lead = text[i];
        char32_t code = kReplacement;
        size_t length = 1;
        size_t need = 0;
        char32_t minimum = 0;
        if (lead < 0x80) {
            code = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1, code = lead & 0x1F, minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2, code = lead & 0x0F, minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3, code = lead & 0x07, minimum = 0x10000;
        } else {
            need = 0, code = kReplacement;
            if (strict) {
                return false;
            }
        }
        bool valid = lead < 0x80 || need > 0;
        for (size_t k = 1; valid && k <= need; ++k) {
            if (i + k >= size || (text[i + k] & 0xC0) != 0x80) {
                valid = false;
                length = k;
                break;
            }
            code = (code << 6) | (text[i + k] & 0x3F);
            length = k + 1;
        }
        if (valid && need > 0 && (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) {
            valid = false;
        }
        if (!valid) {
            if (strict) {
                return false;
            }
            code = kReplacement;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
        i += length;
    }
    return true;
}

// Encodes UTF-16 as UTF-8; false at a lone surrogate when `strict`, else U+FFFD for it.
bool EncodeUtf8(const char16_t* text, size_t size, bool strict, std::string& out) {
    for (size_t i = 0; i < size; ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < size && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            if (strict) {
                return false;
            }
            code = kReplacement;
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return true;
}

size_t WideLength(const char16_t* text) {
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

int WINAPI MultiByteToWideCharImpl(UINT codePage, DWORD flags, LPCSTR source, int sourceSize, LPWSTR target,
                                   int targetSize) {
    if (!IsUtf8CodePage(codePage) || source == nullptr || sourceSize == 0 || sourceSize < -1 || targetSize < 0 ||
        (target == nullptr && targetSize != 0) || (flags & ~kMbErrInvalidChars) != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // -1: the text and its terminator.
    const size_t size = sourceSize == -1 ? std::strlen(source) + 1 : static_cast<size_t>(sourceSize);
    std::u16string wide;
    if (!DecodeUtf8(reinterpret_cast<const unsigned char*>(source), size, (flags & kMbErrInvalidChars) != 0, wide)) {
        return Fail(kErrorNoUnicodeTranslation);
    }
    if (targetSize == 0) {
        return Succeed(static_cast<int>(wide.size()));
    }
    if (wide.size() > static_cast<size_t>(targetSize)) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(target, wide.data(), wide.size() * sizeof(WCHAR));
    return Succeed(static_cast<int>(wide.size()));
}

int WINAPI WideCharToMultiByteImpl(UINT codePage, DWORD flags, LPCWSTR source, int sourceSize, LPSTR target,
                                   int targetSize, LPCSTR defaultChar, LPBOOL usedDefaultChar) {
    // As for CP_UTF8 on Windows, there is no default character to substitute.
    const bool utf8Only = codePage == CP_UTF8 && (defaultChar != nullptr || usedDefaultChar != nullptr);
    if (!IsUtf8CodePage(codePage) || utf8Only || source == nullptr || sourceSize == 0 || sourceSize < -1 ||
        targetSize < 0 || (target == nullptr && targetSize != 0) || (flags & ~kWcErrInvalidChars) != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (usedDefaultChar != nullptr) {
        *usedDefaultChar = FALSE;
    }
    const size_t size = sourceSize == -1 ? WideLength(source) + 1 : static_cast<size_t>(sourceSize);
    std::string narrow;
    if (!EncodeUtf8(source, size, (flags & kWcErrInvalidChars) != 0, narrow)) {
        return Fail(kErrorNoUnicodeTranslation);
    }
    if (targetSize == 0) {
        return Succeed(static_cast<int>(narrow.size()));
    }
    if (narrow.size() > static_cast<size_t>(targetSize)) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(target, narrow.data(), narrow.size());
    return Succeed(static_cast<int>(narrow.size()));
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", either case.
bool ParseGuid(const std::string& text, GUID& guid) {
    if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' ||
        text[19] != '-' || text[24] != '-') {
        return false;
    }
    uint8_t bytes[16];
    size_t count = 0;
    for (size_t i = 1; i < 37;) {
        if (text[i] == '-') {
            ++i;
            continue;
        }
        const char pair[3] = {text[i], text[i + 1], '\0'};
        if (!std::isxdigit(static_cast<unsigned char>(pair[0])) ||
            !std::isxdigit(static_cast<unsigned char>(pair[1]))) {
            return false;
        }
        bytes[count++] = static_cast<uint8_t>(std::strtoul(pair, nullptr, 16));
        i += 2;
    }
    guid.Data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
    guid.Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    guid.Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
    std::memcpy(guid.Data4, bytes + 8, 8);
    return true;
}

HRESULT WINAPI CLSIDFromProgIDImpl(LPCOLESTR progId, LPCLSID clsid) {
    if (progId == nullptr || clsid == nullptr) {
        return E_INVALIDARG;
    }
    std::string name;
    if (!EncodeUtf8(progId, WideLength(progId), false, name) || name.empty()) {
        return CO_E_CLASSSTRING;
    }
    const Win32Api& api = Api();
    if (api.RegOpenKeyExA == nullptr || api.RegQueryValueExA == nullptr) {
        return REGDB_E_READREGDB;
    }
    HKEY key = nullptr;
    if (api.RegOpenKeyExA(HKEY_CLASSES_ROOT, (name + "\\CLSID").c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return CO_E_CLASSSTRING;
    }
    char text[64] = {};
    DWORD size = sizeof text - 1;
    DWORD type = REG_NONE;
    const LONG result = api.RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(text), &size);
    api.RegCloseKey(key);
    GUID guid{};
    if (result != ERROR_SUCCESS || type != REG_SZ || !ParseGuid(std::string(text, strnlen(text, size)), guid)) {
        return CO_E_CLASSSTRING;
    }
    *clsid = guid;
    return S_OK;
}

HRESULT WINAPI StringFromCLSIDImpl(REFCLSID clsid, LPOLESTR* text) {
    if (text == nullptr) {
        return E_INVALIDARG;
    }
    char narrow[40];
    std::snprintf(narrow, sizeof narrow, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(clsid.Data1), clsid.Data2, clsid.Data3, clsid.Data4[0], clsid.Data4[1],
                  clsid.Data4[2], clsid.Data4[3], clsid.Data4[4], clsid.Data4[5], clsid.Data4[6], clsid.Data4[7]);
    // Released by the caller with CoTaskMemFree.
    auto* wide = static_cast<LPOLESTR>(std::malloc(sizeof narrow * sizeof(OLECHAR)));
    if (wide == nullptr) {
        *text = nullptr;
        return E_OUTOFMEMORY;
    }
    size_t i = 0;
    for (; narrow[i] != '\0'; ++i) {
        wide[i] = static_cast<OLECHAR>(narrow[i]);
    }
    wide[i] = 0;
    *text = wide;
    return S_OK;
}

void WINAPI CoTaskMemFreeImpl(LPVOID block) {
    std::free(block);
}

}  // namespace

void BindCom(Win32Api& t) {
    t.CLSIDFromProgID = CLSIDFromProgIDImpl;
    t.StringFromCLSID = StringFromCLSIDImpl;
    t.CoTaskMemFree = CoTaskMemFreeImpl;
    t.MultiByteToWideChar = MultiByteToWideCharImpl;
    t.WideCharToMultiByte = WideCharToMultiByteImpl;
}

}  // namespace posix
