#include "win32/posix/registry_answers.h"

#include <cstring>

namespace posix {

LONG CopyName(const std::string& name, LPSTR buffer, LPDWORD length) {
    if (name.size() + 1 > *length) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    *length = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

void PutFileTime(int64_t written, PFILETIME time) {
    if (time != nullptr) {
        time->dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(written) & 0xFFFFFFFFu);
        time->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(written) >> 32);
    }
}

LONG PutFacts(const reg::Facts& facts, LPSTR keyClass, LPDWORD classLength, LPDWORD subKeys, LPDWORD maxSubKeyLength,
              LPDWORD maxClassLength, LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
              LPDWORD securityDescriptor, PFILETIME lastWrite) {
    auto put = [](LPDWORD out, DWORD value) {
        if (out != nullptr) {
            *out = value;
        }
    };
    put(subKeys, facts.subKeys);
    put(maxSubKeyLength, facts.maxSubKey);
    put(maxClassLength, facts.maxClass);
    put(values, facts.values);
    put(maxValueNameLength, facts.maxValueName);
    put(maxValueLength, facts.maxValue);
    put(securityDescriptor, 0);
    PutFileTime(facts.written, lastWrite);
    if (keyClass != nullptr) {
        if (facts.keyClass.size() + 1 > *classLength) {
            *classLength = static_cast<DWORD>(facts.keyClass.size());
            return ERROR_MORE_DATA;
        }
        std::memcpy(keyClass, facts.keyClass.c_str(), facts.keyClass.size() + 1);
    }
    put(classLength, static_cast<DWORD>(facts.keyClass.size()));
    return ERROR_SUCCESS;
}

LONG PutValue(DWORD type, const void* bytes, size_t size, LPDWORD typeOut, LPBYTE data, LPDWORD dataSize) {
    if (typeOut != nullptr) {
        *typeOut = type;
    }
    if (data != nullptr) {
        if (size > *dataSize) {
            *dataSize = static_cast<DWORD>(size);
            return ERROR_MORE_DATA;
        }
        if (size != 0) {
            std::memcpy(data, bytes, size);
        }
    }
    if (dataSize != nullptr) {
        *dataSize = static_cast<DWORD>(size);
    }
    return ERROR_SUCCESS;
}

LONG PutSubKey(const reg::SubKeyRow& row, LPSTR name, LPDWORD nameLength, LPSTR keyClass, LPDWORD classLength,
               PFILETIME lastWrite) {
    if (const LONG error = CopyName(row.name, name, nameLength)) {
        return error;
    }
    if (keyClass != nullptr) {
        if (const LONG error = CopyName(row.keyClass, keyClass, classLength)) {
            return error;
        }
    } else if (classLength != nullptr) {
        *classLength = static_cast<DWORD>(row.keyClass.size());
    }
    PutFileTime(row.written, lastWrite);
    return ERROR_SUCCESS;
}

}  // namespace posix
