#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "qvtr/registry.h"
#include "win32/api.h"
#include "win32/registry_value.h"

namespace {

// Registry numbers are stored little-endian (REG_DWORD_BIG_ENDIAN aside),
// whatever the byte order of the host.
uint64_t DecodeNumber(const std::vector<BYTE>& data, bool bigEndian) {
    uint64_t nValue = 0;
    for (size_t i = 0; i < data.size(); ++i) {
        size_t nShift = bigEndian ? data.size() - 1 - i : i;
        nValue |= static_cast<uint64_t>(data[i]) << (8 * nShift);
    }
    return nValue;
}

// A stored string may or may not end with its NUL (SetValue leaves it out,
// reg.exe keeps it): the text is what comes before the first NUL, if any.
std::string TextBefore(const std::vector<BYTE>& data, size_t& pos) {
    size_t nEnd = pos;
    while (nEnd < data.size() && data[nEnd] != 0) {
        ++nEnd;
    }
    std::string text(data.begin() + static_cast<std::ptrdiff_t>(pos), data.begin() + static_cast<std::ptrdiff_t>(nEnd));
    pos = nEnd + 1;
    return text;
}

}  // namespace

LONG CRegistryKey::ReadRaw(const std::string& name, DWORD typeA, DWORD typeB, DWORD& type, std::vector<BYTE>& data) {
    if (!EnsureOpen()) {
        return m_lLastError;
    }
    try {
        m_lLastError = ReadRegistryValue(Api(), m_hKey, name.c_str(), type, data);
    } catch (const std::bad_alloc&) {
        m_lLastError = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (m_lLastError == ERROR_SUCCESS && type != typeA && type != typeB) {
        m_lLastError = ERROR_UNSUPPORTED_TYPE;
    }
    return m_lLastError;
}

LONG CRegistryKey::ReadString(const std::string& name, std::string& text) {
    DWORD dwType = REG_NONE;
    std::vector<BYTE> data;
    if (ReadRaw(name, REG_SZ, REG_EXPAND_SZ, dwType, data) != ERROR_SUCCESS) {
        return m_lLastError;
    }
    size_t nPos = 0;
    text = TextBefore(data, nPos);
    return m_lLastError;
}

LONG CRegistryKey::ReadMultiString(const std::string& name, std::vector<std::string>& texts) {
    DWORD dwType = REG_NONE;
    std::vector<BYTE> data;
    if (ReadRaw(name, REG_MULTI_SZ, REG_MULTI_SZ, dwType, data) != ERROR_SUCCESS) {
        return m_lLastError;
    }
    // The list ends at its first empty string, or at the end of the data when
    // the final terminators are missing.
    std::vector<std::string> list;
    for (size_t nPos = 0; nPos < data.size();) {
        std::string item = TextBefore(data, nPos);
        if (item.empty()) {
            break;
        }
        list.push_back(std::move(item));
    }
    texts.swap(list);
    return m_lLastError;
}

LONG CRegistryKey::ReadDword(const std::string& name, DWORD& number) {
    DWORD dwType = REG_NONE;
    std::vector<BYTE> data;
    if (ReadRaw(name, REG_DWORD, REG_DWORD_BIG_ENDIAN, dwType, data) != ERROR_SUCCESS) {
        return m_lLastError;
    }
    if (data.size() != sizeof(DWORD)) {
        return m_lLastError = ERROR_INVALID_DATA;
    }
    number = static_cast<DWORD>(DecodeNumber(data, dwType == REG_DWORD_BIG_ENDIAN));
    return m_lLastError;
}

LONG CRegistryKey::ReadQword(const std::string& name, uint64_t& number) {
    DWORD dwType = REG_NONE;
    std::vector<BYTE> data;
    if (ReadRaw(name, REG_QWORD, REG_QWORD, dwType, data) != ERROR_SUCCESS) {
        return m_lLastError;
    }
    if (data.size() != sizeof(uint64_t)) {
        return m_lLastError = ERROR_INVALID_DATA;
    }
    number = DecodeNumber(data, false);
    return m_lLastError;
}

LONG CRegistryKey::ReadBinary(const std::string& name, std::vector<BYTE>& bytes) {
    DWORD dwType = REG_NONE;
    std::vector<BYTE> data;
    if (ReadRaw(name, REG_BINARY, REG_NONE, dwType, data) != ERROR_SUCCESS) {
        return m_lLastError;
    }
    bytes.swap(data);
    return m_lLastError;
}
