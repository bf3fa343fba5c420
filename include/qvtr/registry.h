// One registry key with its values, sub-key and value iteration and recursive
// deletion, on the local machine or a remote machine's HKEY_LOCAL_MACHINE.
// Registry codes are Win32 codes (LONG, 0 = success); the opening constructors,
// Open on request and the iterators' dereference throw them as `long`.
#pragma once

#include <string>

#include "qvtr/export.h"
#include "qvtr/win32.h"

class CRegistryKey;

// One value in memory: a heap block that grows to the largest value read into it.
class QVTR_API CRegistryValue {
public:
    CRegistryValue();
    // A string value is built with its terminating NUL counted in `size`.
    CRegistryValue(const char* name, DWORD type, const BYTE* data, DWORD size);
    CRegistryValue(const CRegistryValue& other);
    CRegistryValue& operator=(const CRegistryValue& other);
    ~CRegistryValue();

    LONG Read(HKEY hKey, const std::string& name);
    LONG ReadAt(HKEY hKey, std::string& nameBuffer, DWORD index);
    // Stores m_cbData - 1 bytes: a string built with its NUL is stored without it.
    LONG Write(HKEY hKey, const std::string& name);
    LONG Delete(HKEY hKey);

    BYTE* m_pData;
    DWORD m_dwType;
    std::string m_strName;
    DWORD m_cbData;
};

// A position in a key's sub-key list; dereferencing opens that sub-key.
class QVTR_API CRegistryKeyIterator {
public:
    CRegistryKeyIterator();
    CRegistryKeyIterator(DWORD index, HKEY hParentKey, DWORD cchBuffer);

    bool operator==(const CRegistryKeyIterator& other) const { return m_nIndex == other.m_nIndex; }
    bool operator!=(const CRegistryKeyIterator& other) const { return m_nIndex != other.m_nIndex; }
    CRegistryKeyIterator& operator++();
    CRegistryKeyIterator operator++(int);
    CRegistryKey operator*();

    DWORD m_nIndex;
    std::string m_strName;
    HKEY m_hParentKey;
    LONG m_lLastError;
    DWORD m_cchBuffer;
};

// A position in a key's value list; dereferencing reads that value.
class QVTR_API CRegistryValueIterator {
public:
    CRegistryValueIterator();
    CRegistryValueIterator(DWORD index, HKEY hParentKey, DWORD cchBuffer);

    bool operator==(const CRegistryValueIterator& other) const { return m_nIndex == other.m_nIndex; }
    bool operator!=(const CRegistryValueIterator& other) const { return m_nIndex != other.m_nIndex; }
    CRegistryValueIterator& operator++();
    CRegistryValueIterator operator++(int);
    CRegistryValue operator*();

    DWORD m_nIndex;
    std::string m_strName;
    HKEY m_hParentKey;
    LONG m_lLastError;
    DWORD m_cchBuffer;
};

class QVTR_API CRegistryKey {
public:
    CRegistryKey();
    CRegistryKey(HKEY hRoot, const std::string& subKey, bool create, bool queryInfo, bool ownsHandle);
    CRegistryKey(const char* machine, HKEY hRoot, const std::string& subKey, bool create, bool queryInfo,
                 bool ownsHandle);
    // The copy owns the handle whatever the source's flag; the source keeps its own.
    CRegistryKey(const CRegistryKey& other);
    CRegistryKey& operator=(const CRegistryKey&) = delete;
    virtual ~CRegistryKey();

    bool Open(HKEY hRoot, const std::string& subKey, bool create, bool queryInfo, bool ownsHandle,
              bool throwOnError);
    void Close();
    LONG QueryValue(const std::string& name, CRegistryValue& value);
    LONG SetValue(const std::string& name, CRegistryValue& value);
    LONG SetValue(const char* name, CRegistryValue& value);
    LONG DeleteTree();

    std::string m_strSubKey;
    HKEY m_hKey;
    HKEY m_hRootKey;
    LONG m_lLastError;
    bool m_bOwnsHandle;
    bool m_bCreate;
    std::string m_strMachine;
    CRegistryKeyIterator m_itSubKeysBegin;
    CRegistryKeyIterator m_itSubKeysEnd;
    CRegistryValueIterator m_itValuesBegin;
    CRegistryValueIterator m_itValuesEnd;

private:
    bool EnsureOpen();
    bool QueryInfo();
};
