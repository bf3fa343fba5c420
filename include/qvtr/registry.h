// One registry key with its values, sub-key and value iteration and recursive
// deletion, on the local machine or a remote machine's HKEY_LOCAL_MACHINE.
// Registry codes are Win32 codes (LONG, 0 = success); the opening constructors,
// Open on request and the iterators' dereference throw them as `long`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

    bool Open(HKEY hRoot, const std::string& subKey, bool create, bool queryInfo, bool ownsHandle, bool throwOnError);
    void Close();
    LONG QueryValue(const std::string& name, CRegistryValue& value);
    LONG SetValue(const std::string& name, CRegistryValue& value);
    LONG SetValue(const char* name, CRegistryValue& value);
    LONG DeleteTree();

    // Typed reads: the registry's code, ERROR_UNSUPPORTED_TYPE when the value
    // has another type, ERROR_INVALID_DATA when its size cannot hold the type.
    // The output is changed only on success. Strings are taken up to their
    // first NUL, whether or not the stored data ends with one.
    LONG ReadString(const std::string& name, std::string& text);  // REG_SZ, REG_EXPAND_SZ (not expanded)
    LONG ReadMultiString(const std::string& name, std::vector<std::string>& texts);  // REG_MULTI_SZ
    LONG ReadDword(const std::string& name, DWORD& number);                          // REG_DWORD, REG_DWORD_BIG_ENDIAN
    LONG ReadQword(const std::string& name, uint64_t& number);                       // REG_QWORD
    LONG ReadBinary(const std::string& name, std::vector<BYTE>& bytes);              // REG_BINARY, REG_NONE

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
    // The value's bytes when its type is `typeA` or `typeB`; else ERROR_UNSUPPORTED_TYPE.
    LONG ReadRaw(const std::string& name, DWORD typeA, DWORD typeB, DWORD& type, std::vector<BYTE>& data);
};
