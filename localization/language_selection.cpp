// The choice of the current language: per user, then per machine, then the
// caller's fallback.
#include <cstring>

#include "qvtr/localization.h"
#include "qvtr/platform.h"
#include "qvtr/registry.h"

namespace {

const char kLanguageKey[] = QVTR_COMMON_SETTINGS_KEY "\\Language";
const char kCurrentLanguage[] = "CurrentLanguage";

// The value's data as text whatever its type, read no further than its size.
std::string TextOf(const CRegistryValue& value) {
    if (value.m_pData == nullptr) {
        return std::string();
    }
    const char* data = reinterpret_cast<const char*>(value.m_pData);
    const void* nul = std::memchr(data, '\0', value.m_cbData);
    return std::string(data, nul ? static_cast<const char*>(nul) - data : value.m_cbData);
}

}  // namespace

CLanguageSelection::CLanguageSelection() : m_eSource(LanguageSource::None) {}

CLanguageSelection::~CLanguageSelection() = default;

const std::string& CLanguageSelection::GetCurrentLanguage(const Fallback& fallback) {
    if (!m_strLanguage.empty()) {
        return m_strLanguage;
    }

    // A fresh value for each read: a value's block keeps its largest size, and
    // stale bytes past a shorter second value must not become part of the code.
    CRegistryKey key;
    if (key.Open(HKEY_CURRENT_USER, kLanguageKey, false, false, true, false)) {
        g_Module.Trace(4, QVTR_TRACE_PREFIX "HKCU %s OPENED\n", kLanguageKey);
        CRegistryValue value;
        key.QueryValue(kCurrentLanguage, value);
        if (key.m_lLastError == ERROR_SUCCESS) {
            m_strLanguage = TextOf(value);
            m_eSource = LanguageSource::CurrentUser;
            g_Module.Trace(4, QVTR_TRACE_PREFIX "CurrentLanguage FOUND, will use %s\n", m_strLanguage.c_str());
            return m_strLanguage;
        }
        g_Module.Trace(4, QVTR_TRACE_PREFIX "CurrentLanguage NOT FOUND\n");
        key.Close();
    }

    if (key.Open(HKEY_LOCAL_MACHINE, kLanguageKey, false, false, true, false)) {
        g_Module.Trace(4, QVTR_TRACE_PREFIX "HKLM %s OPENED\n", kLanguageKey);
        CRegistryValue value;
        key.QueryValue(kCurrentLanguage, value);
        if (key.m_lLastError == ERROR_SUCCESS) {
            m_strLanguage = TextOf(value);
            m_eSource = LanguageSource::LocalMachine;
            g_Module.Trace(4, QVTR_TRACE_PREFIX "CurrentLanguage FOUND, will use %s\n", m_strLanguage.c_str());
            return m_strLanguage;
        }
    }

    if (fallback) {
        fallback(*this);
    }
    m_eSource = LanguageSource::Fallback;
    g_Module.Trace(4, QVTR_TRACE_PREFIX "CurrentLanguage NOT FOUND, will use %s\n", m_strLanguage.c_str());
    return m_strLanguage;
}
