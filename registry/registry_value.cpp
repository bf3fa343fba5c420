#include <cstdlib>
#include <cstring>
#include <new>

#include "qvtr/registry.h"
#include "win32/api.h"

namespace {

// A copy of `size` bytes in a block of its own; throws std::bad_alloc like any
// other C++ allocation, since constructors and assignment cannot return a code.
BYTE* CopyBlock(const BYTE* data, DWORD size) {
    // One byte at least, so that an empty value still has a block distinct from "no data".
    BYTE* block = static_cast<BYTE*>(std::malloc(size != 0 ? size : 1));
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    if (size != 0) {
        std::memcpy(block, data, size);
    }
    return block;
}

// Grows the block to `size` bytes, keeping its contents; never shrinks it. When
// the block cannot be grown the old one stays untouched and the read reports
// ERROR_NOT_ENOUGH_MEMORY, so a failed read never loses the bytes already held.
LONG GrowBlock(CRegistryValue& value, DWORD size) {
    DWORD current = value.m_pData != nullptr ? value.m_cbData : 0;
    if (size <= current) {
        return ERROR_SUCCESS;
    }
    void* block = std::realloc(value.m_pData, size);
    if (block == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    value.m_pData = static_cast<BYTE*>(block);
    value.m_cbData = size;
    return ERROR_SUCCESS;
}

}  // namespace

CRegistryValue::CRegistryValue() : m_pData(nullptr), m_dwType(REG_NONE), m_strName(), m_cbData(0) {}

CRegistryValue::CRegistryValue(const char* name, DWORD type, const BYTE* data, DWORD size)
    : m_pData(nullptr), m_dwType(type), m_strName(name != nullptr ? name : ""), m_cbData(0) {
    if (data != nullptr) {
        m_pData = CopyBlock(data, size);
        m_cbData = size;
    }
}

CRegistryValue::CRegistryValue(const CRegistryValue& other)
    : m_pData(nullptr), m_dwType(other.m_dwType), m_strName(other.m_strName), m_cbData(0) {
    if (other.m_pData != nullptr) {
        m_pData = CopyBlock(other.m_pData, other.m_cbData);
        m_cbData = other.m_cbData;
    }
}

CRegistryValue& CRegistryValue::operator=(const CRegistryValue& other) {
    if (this != &other) {
        // The new block first: a failed allocation leaves this value as it was.
        BYTE* block = other.m_pData != nullptr ? CopyBlock(other.m_pData, other.m_cbData) : nullptr;
        std::string name = other.m_strName;
        std::free(m_pData);
        m_pData = block;
        m_cbData = block != nullptr ? other.m_cbData : 0;
        m_dwType = other.m_dwType;
        m_strName.swap(name);
    }
    return *this;
}

CRegistryValue::~CRegistryValue() {
    std::free(m_pData);
}

LONG CRegistryValue::Read(HKEY hKey, const std::string& name) {
    DWORD cbData = m_pData != nullptr ? m_cbData : 0;
    Api().RegQueryValueExA(hKey, name.c_str(), nullptr, &m_dwType, nullptr, &cbData);
    LONG lResult = GrowBlock(*this, cbData);
    if (lResult == ERROR_SUCCESS) {
        lResult = Api().RegQueryValueExA(hKey, name.c_str(), nullptr, &m_dwType, m_pData, &cbData);
    }
    m_strName = name;
    return lResult;
}

LONG CRegistryValue::ReadAt(HKEY hKey, std::string& nameBuffer, DWORD index) {
    DWORD cbData = m_pData != nullptr ? m_cbData : 0;
    DWORD cchName = static_cast<DWORD>(nameBuffer.size());
    LONG lResult = Api().RegEnumValueA(hKey, index, &nameBuffer[0], &cchName, nullptr, &m_dwType, nullptr, &cbData);
    ++cchName;  // room for the terminator
    if (lResult != ERROR_SUCCESS) {
        return lResult;
    }
    lResult = GrowBlock(*this, cbData);
    if (lResult != ERROR_SUCCESS) {
        return lResult;
    }
    lResult = Api().RegEnumValueA(hKey, index, &nameBuffer[0], &cchName, nullptr, &m_dwType, m_pData, &cbData);
    // A failed call may leave the length anything; never read past the buffer.
    m_strName.assign(nameBuffer.c_str(), cchName < nameBuffer.size() ? cchName : nameBuffer.size());
    return lResult;
}

LONG CRegistryValue::Write(HKEY hKey, const std::string& name) {
    // The last byte of the block (a string's NUL) is not stored. A value without
    // data stores zero bytes rather than letting the length wrap around.
    DWORD cbStored = (m_pData != nullptr && m_cbData != 0) ? m_cbData - 1 : 0;
    return Api().RegSetValueExA(hKey, name.c_str(), 0, m_dwType, m_pData, cbStored);
}

LONG CRegistryValue::Delete(HKEY hKey) {
    return Api().RegDeleteValueA(hKey, m_strName.c_str());
}
