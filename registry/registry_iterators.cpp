#include "qvtr/registry.h"
#include "win32/api.h"

CRegistryKeyIterator::CRegistryKeyIterator()
    : m_nIndex(0), m_strName(), m_hParentKey(nullptr), m_lLastError(ERROR_SUCCESS), m_cchBuffer(0) {}

CRegistryKeyIterator::CRegistryKeyIterator(DWORD index, HKEY hParentKey, DWORD cchBuffer)
    : m_nIndex(index), m_strName(), m_hParentKey(hParentKey), m_lLastError(ERROR_SUCCESS), m_cchBuffer(cchBuffer) {}

CRegistryKeyIterator& CRegistryKeyIterator::operator++() {
    ++m_nIndex;
    return *this;
}

CRegistryKeyIterator CRegistryKeyIterator::operator++(int) {
    CRegistryKeyIterator previous(*this);
    ++m_nIndex;
    return previous;
}

CRegistryKey CRegistryKeyIterator::operator*() {
    m_strName.assign(m_cchBuffer, '\0');
    DWORD cchName = m_cchBuffer;
    FILETIME ftLastWrite;
    m_lLastError =
        Api().RegEnumKeyExA(m_hParentKey, m_nIndex, &m_strName[0], &cchName, nullptr, nullptr, nullptr, &ftLastWrite);
    m_strName.resize(cchName < m_strName.size() ? cchName : m_strName.size());
    if (m_lLastError != ERROR_SUCCESS) {
        throw static_cast<long>(m_lLastError);
    }
    // The temporary does not own its handle; the copy returned does, so exactly
    // one object closes it. The explicit copy keeps the compiler from eliding it.
    CRegistryKey subKey(m_hParentKey, m_strName, false, true, false);
    return CRegistryKey(subKey);
}

CRegistryValueIterator::CRegistryValueIterator()
    : m_nIndex(0), m_strName(), m_hParentKey(nullptr), m_lLastError(ERROR_SUCCESS), m_cchBuffer(0) {}

CRegistryValueIterator::CRegistryValueIterator(DWORD index, HKEY hParentKey, DWORD cchBuffer)
    : m_nIndex(index), m_strName(), m_hParentKey(hParentKey), m_lLastError(ERROR_SUCCESS), m_cchBuffer(cchBuffer) {}

CRegistryValueIterator& CRegistryValueIterator::operator++() {
    ++m_nIndex;
    return *this;
}

CRegistryValueIterator CRegistryValueIterator::operator++(int) {
    CRegistryValueIterator previous(*this);
    ++m_nIndex;
    return previous;
}

CRegistryValue CRegistryValueIterator::operator*() {
    CRegistryValue value;
    m_strName.assign(m_cchBuffer, '\0');
    m_lLastError = value.ReadAt(m_hParentKey, m_strName, m_nIndex);
    if (m_lLastError != ERROR_SUCCESS) {
        throw static_cast<long>(m_lLastError);
    }
    return value;
}
